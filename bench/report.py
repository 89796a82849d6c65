"""Turns the harness's results into REPORT.md (program and reference side by side) and a PNG
chart of the mirror latency distribution, drawn with PIL."""
import math
import os
import statistics


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    if math.inf in values:
        return percentile(values, 0.5)
    return statistics.median(values)


def percentile(values, q):
    """Nearest-rank percentile; a None (never arrived) counts as slower than everything."""
    values = sorted(math.inf if v is None else v for v in values)
    if not values:
        return None
    rank = max(0, math.ceil(q * len(values)) - 1)
    return values[rank]


def ratio(a, b):
    if a is None or b is None or b == 0 or math.inf in (a, b):
        return None
    return a / b


def fmt(value, unit="", digits=None):
    if value is None:
        return "n/a"
    if value == math.inf:
        return "never"
    if digits is None:
        digits = 0 if abs(value) >= 100 else 1 if abs(value) >= 10 else 2
    return ("%." + str(digits) + "f%s") % (value, unit)


def fmt_last(value):
    return "incomplete" if value == math.inf else fmt(value, " s")


def fmt_ratio(value):
    return "n/a" if value is None else "%.2f×" % value


QUIET_S = 0.1  # the program waits until a large file has not been written for 100 ms
BIG_SHARE = 1.2  # large file: close to identical at most this × (one CopyFileW + QUIET_S)
BURST_SHARE = 0.8  # 1000-file burst: first write to last arrival at most this × the reference's
PASS_SHARE = 1.3  # one file through the copy pass at most this × CopyFileW then MoveFileExW
PASS_NEW_SHARE = 1.25  # the same pass to a new name
NOTES_BYTES = 1 << 20  # copy notes kept for an hour of saves: at most this written
STOP_MEDIAN_MS, STOP_MAX_MS = 50, 100  # StopMonitoring with every pair blocked in its read
PIECES_SHARE = 3.0  # file written in pieces: the destination written at most this × its size
PIECES_AFTER_S = 5.0  # and its copy identical within this of the writer's last close


def runs_of_big(run):
    """The large-file results of one pair run: one per size (a single one in older results)."""
    big = run.get("big")
    if big is None:
        return []
    return big if isinstance(big, list) else [big]


def summarise_big(items):
    """Per file size: the large-file runs of one side."""
    by_size = {}
    for run in items:
        for x in runs_of_big(run):
            by_size.setdefault(x["mib"], []).append(x)
    out = {}
    for mib, big in sorted(by_size.items()):
        d = {"runs": len(big)}
        copies = [math.inf if x["copy_s"] is None else x["copy_s"] for x in big]
        d["copy"] = median(copies)
        d["copy_max"] = max(copies, default=None)
        d["first"] = median([math.inf if x.get("first_copy_s") is None else x["first_copy_s"] for x in big])
        d["done"] = sum(1 for x in big if x["copy_s"] is not None)
        d["cp"] = median([x["cp_s"] for x in big])
        d["ratio_cp"] = median([math.inf if x["copy_s"] is None else ratio(x["copy_s"], x["cp_s"]) for x in big])
        # Times the destination was written: closes after writing of the file or of a temporary
        # copy (older results counted only what was put into place).
        d["writes"] = [x.get("writes", x["copies"]) for x in big]
        d["placed"] = [x["copies"] for x in big]
        d["copyfilew"] = median([x.get("copyfilew_s") for x in big])
        d["copyfilew_ratio"] = median([ratio(x.get("copyfilew_s"), x["cp_s"]) for x in big])
        d["loop"] = median([x.get("loop4m_s") for x in big])
        d["writer"] = median([x["writer_s"] for x in big])
        d["safely"] = median([x.get("copy_safely_s") for x in big])
        d["begun"] = median([x.get("copy_begun_s") for x in big])
        d["begun_runs"] = [x.get("copy_begun_s") for x in big]
        d["written_runs"] = [x.get("copy_written_s") for x in big]
        d["fail_if_exists"] = median([x.get("copy_ex_fail_if_exists_s") for x in big])
        d["move_wt"] = median([x.get("move_write_through_s") for x in big])
        d["move"] = median([x.get("move_s") for x in big])
        d["copyfilew_fresh"] = median([x.get("copyfilew_fresh_s") for x in big])
        d["writer_runs"] = [x["writer_s"] for x in big]
        d["floor_writer_runs"] = [v for x in big for v in (x.get("floor_writers_s") or [])]
        # The floor of each run: one CopyFileW of a file of this size just written by the same
        # writer (older results: of the file once on the disk), timed in the same run, and the
        # 100 ms the program waits for the writer to be done.
        def floors(key):
            return [None if not x.get(key) else x[key] + QUIET_S for x in big]

        def against(fl):
            return [None if f is None else (math.inf if x["copy_s"] is None else x["copy_s"] / f)
                    for x, f in zip(big, fl)]

        fresh = all(x.get("copyfilew_fresh_s") for x in big)
        d["floor_kind"] = "fresh" if fresh else "flushed"
        d["floors"] = floors("copyfilew_fresh_s" if fresh else "copyfilew_s")
        d["vs_floor"] = against(d["floors"])
        d["flushed_floors"] = floors("copyfilew_s")
        d["vs_flushed_floor"] = against(d["flushed_floors"])
        known = [v for v in d["vs_floor"] if v is not None]
        d["vs_floor_max"] = max(known) if known and len(known) == len(big) else None
        known = [v for v in d["vs_flushed_floor"] if v is not None]
        d["vs_flushed_floor_max"] = max(known) if known and len(known) == len(big) else None
        d["copies_per_run"] = [x["copy_s"] for x in big]
        out[mib] = d
    return out


def summarise_pieces(results):
    """The file written in pieces, by side (absent from older results)."""
    out = {}
    for x in results.get("pieces", []):
        x = dict(x)
        x["after"] = math.inf if x["identical_after_s"] is None else x["identical_after_s"]
        during = [t for t, _ in x["writes"] if t <= x["writer_s"]]
        x["first_write"] = during[0] if during else None
        x["longest_interval"] = max([b - a for a, b in zip(during, during[1:])], default=None)
        out[x["side"]] = x
    return out


def pieces_text(x):
    return "%d MiB in 1 MiB pieces, one every %s s over %s s, the file %s" % (
        x["mib"], fmt(x["gap_s"], digits=1), fmt(x["pieces"] * x["gap_s"], digits=0),
        "opened for appending and closed for each piece (a log appender)" if x["reopened"] else "kept open")


def pieces_rows(s):
    """Rows (figure, program, reference, ratio) of the file written in pieces; none when the run
    did not measure it."""
    p, r = s["pieces"].get("program"), s["pieces"].get("reference")
    if not p and not r:
        return []

    def side(x, show):
        return "—" if not x else show(x)

    rows = [("File written in pieces (one run a side), %s: the writer's last close to an identical copy" %
             pieces_text(p or r),
             side(p, lambda x: fmt_last(x["after"])), side(r, lambda x: fmt_last(x["after"])),
             fmt_ratio(ratio(p and p["after"], r and r["after"])) if p and r else ""),
            ("File written in pieces: times the destination was written (while the file was written; "
             "after its last close); the program's temporary copies never put into place",
             side(p, lambda x: "%d (%d; %d); %d" % (x["copies"], x["copies"] - x["copies_after_close"],
                                                    x["copies_after_close"], x["temporaries_not_placed"])),
             side(r, lambda x: "%d (%d; %d)" % (x["copies"], x["copies"] - x["copies_after_close"],
                                                x["copies_after_close"])), ""),
            ("File written in pieces: written to the destination, as a multiple of the file's size",
             side(p, lambda x: "%s (%s MiB)" % (fmt(x["written_share"], " ×", 1), fmt_count(x["written_mib"]))),
             side(r, lambda x: "%s (%s MiB)" % (fmt(x["written_share"], " ×", 1), fmt_count(x["written_mib"]))),
             fmt_ratio(ratio(p["written_share"], r["written_share"])) if p and r else ""),
            ("File written in pieces, while it was written: the destination's first write after the first "
             "piece; the longest interval between two of its writes",
             side(p, lambda x: "%s; %s" % (fmt(x["first_write"], " s"), fmt(x["longest_interval"], " s"))),
             side(r, lambda x: "%s; %s" % (fmt(x["first_write"], " s"), fmt(x["longest_interval"], " s"))), "")]
    return rows


def pieces_goal(s):
    """The goal row of the file written in pieces, or None when the run did not measure it."""
    p = s["pieces"].get("program")
    if not p:
        return None
    return ("File written in pieces (%d MiB over %s s, %d pieces): the destination written at most %s × "
            "the file's size, and identical within %s s of the writer's last close" % (
                p["mib"], fmt(p["pieces"] * p["gap_s"], digits=0), p["pieces"], fmt(PIECES_SHARE, digits=0),
                fmt(PIECES_AFTER_S, digits=0)),
            "%s the size (%d writes), identical after %s" % (fmt(p["written_share"], " ×", 1), p["copies"],
                                                            fmt_last(p["after"])),
            p["written_share"] <= PIECES_SHARE and p["after"] <= PIECES_AFTER_S)


def summarise(results):
    runs = {"program": [], "reference": []}
    for run in results["pair_runs"]:
        runs[run["side"]].append(run)
    s = {}
    for side, items in runs.items():
        lat = [v for r in items if "latency" in r for v in r["latency"]["latency_ms"].values()]
        sub_name = items[0]["latency"]["subfolder_file"] if items and "latency" in items[0] else None
        sub = [r["latency"]["latency_ms"].get(sub_name) for r in items if "latency" in r]
        rep_medians = [percentile(list(r["latency"]["latency_ms"].values()), 0.5) for r in items if "latency" in r]
        d = {
            "latencies": [v for v in lat if v is not None],
            "lat_missing": sum(1 for v in lat if v is None),
            "lat_total": len(lat),
            "lat_median": percentile(lat, 0.5),
            "lat_p90": percentile(lat, 0.9),
            "lat_max": percentile(lat, 1.0),
            "lat_rep_medians": rep_medians,
            "sub_arrived": sum(1 for v in sub if v is not None),
            "sub_total": len(sub),
        }
        for key in ("burst", "tree"):
            rs = [r[key] for r in items if key in r]
            d[key + "_share"] = median([x["right"] / x["files"] for x in rs])
            d[key + "_share_min"] = min([x["right"] / x["files"] for x in rs], default=None)
            d[key + "_right"] = ["%d/%d" % (x["right"], x["files"]) for x in rs]
            # The last arrival of an incomplete burst is no finishing time.
            d[key + "_last"] = median([x["last_arrival_s"] if x["right"] == x["files"] else math.inf for x in rs])
            d[key + "_writer"] = median([x["writer_s"] for x in rs])
        rw = [r["rewrite"] for r in items if "rewrite" in r]
        d["rewrite_ok"] = sum(1 for x in rw if x["final_ok"])
        d["rewrite_total"] = len(rw)
        d["rewrite_versions"] = [x["dest_version"] for x in rw]
        d["rewrite_after"] = median([x["final_after_ms"] for x in rw])
        d["rewrite_copies"] = median([x["copies"] for x in rw])
        d["big"] = summarise_big(items)
        slow = [r["slow"] for r in items if "slow" in r]
        d["slow_mib"] = slow[0]["mib"] if slow else None
        d["slow_s"] = slow[0]["seconds"] if slow else None
        d["slow_after"] = median([math.inf if x["identical_after_s"] is None else x["identical_after_s"]
                                  for x in slow])
        d["slow_after_max"] = max([math.inf if x["identical_after_s"] is None else x["identical_after_s"]
                                   for x in slow], default=None)
        d["slow_copies"] = median([x["copies"] for x in slow])
        d["slow_copies_max"] = max([x["copies"] for x in slow], default=None)
        d["slow_written"] = median([x["written_mib"] for x in slow])
        d["slow_total"] = len(slow)
        s[side] = d

    s["pieces"] = summarise_pieces(results)
    idle = results["idle"]
    s["idle"] = {
        "pairs": idle[0]["pairs"] if idle else None,
        "seconds": idle[0]["seconds"] if idle else None,
        "prog_cpu": median([i["program"]["cpu_s"] for i in idle]),
        "prog_ws_cpu": median([i["program"]["wineserver_cpu_s"] for i in idle]),
        "prog_rss": median([i["program"]["rss_kib"] for i in idle]),
        "prog_threads": median([i["program"]["threads"] for i in idle]),
        "base_cpu": median([i["program_no_pair"]["cpu_s"] for i in idle]),
        "base_ws_cpu": median([i["program_no_pair"]["wineserver_cpu_s"] for i in idle]),
        "base_rss": median([i["program_no_pair"]["rss_kib"] for i in idle]),
        "base_threads": median([i["program_no_pair"]["threads"] for i in idle]),
        "rss_above": median([i["program"]["rss_kib"] - i["program_no_pair"]["rss_kib"]
                             for i in idle if i["program"]["rss_kib"] and i["program_no_pair"]["rss_kib"]]),
        "ref_cpu": median([i["reference"]["cpu_s"] for i in idle]),
        "ref_rss": median([i["reference"]["rss_kib"] for i in idle]),
        "ref_pss": median([i["reference"]["pss_kib"] for i in idle]),
        "ref_procs": median([i["reference"]["processes"] for i in idle]),
        "prog_start": median([i.get("program_start_to_watching_s") for i in idle]),
        "ref_start": median([i.get("reference_start_to_watching_s") for i in idle]),
    }
    es, rs = results["engine_start_stop"], results["reference_start_stop"]
    s["stop"] = {
        "pairs": results["config"]["stop_pairs"],
        "cycles": len(es),
        "prog_stop": median([c["stop_ms"] for c in es]),
        "prog_stop_max": max([c["stop_ms"] for c in es], default=None),
        "prog_start": median([c["all_started_ms"] for c in es]),
        "prog_start_max": max([c["all_started_ms"] for c in es], default=None),
        "prog_start_return": median([c["start_return_ms"] for c in es]),
        "prog_mirrored": ["%d/%d" % (c["mirrored"], results["config"]["stop_pairs"]) for c in es],
        "prog_cancelled": [int(c["cancelled_reads"]) for c in es],
        "ref_stop": median([c["stop_ms"] for c in rs]),
        "ref_stop_max": max([c["stop_ms"] for c in rs], default=None),
        "ref_start": median([c["all_started_ms"] for c in rs]),
        "ref_start_max": max([c["all_started_ms"] for c in rs], default=None),
    }
    sw = results.get("sweep") or {}
    s["sweep"] = {
        "files": sw.get("files"),
        "folders": sw.get("folders"),
        "warmup": sw.get("warmup_ms"),
        "listings": sw.get("listing_ms", []),
        "sweeps": sw.get("sweep_ms", []),
        "listing": median(sw.get("listing_ms", [])),
        "sweep": median(sw.get("sweep_ms", [])),
        "copied": sum(sw.get("copied", [])),
        "complete": all(sw.get("complete", [])) and bool(sw.get("complete")),
    }
    s["sweep"]["ratio"] = ratio(s["sweep"]["sweep"], s["sweep"]["listing"])
    rec = {}
    for kind in ("large", "empty"):
        rs = [r for r in results.get("recovery", []) if r["kind"] == kind]
        rec[kind] = {
            "runs": len(rs),
            "last": median([r["last_arrival_s"] if r.get("right") == r.get("files") and r.get("last_arrival_s")
                            is not None else math.inf for r in rs]),
            "lasts": [r.get("last_arrival_s") for r in rs],
            "right": ["%d/%d" % (r["right"], r["files"]) for r in rs],
            "share_min": min([r["right"] / r["files"] for r in rs], default=None),
            "passes": [r.get("recovery_passes") for r in rs],
            "overflows": [r.get("overflows") for r in rs],
            "cpu": median([r.get("cpu_s") for r in rs]),
            "cpus": [r.get("cpu_s") for r in rs],
            "writer": median([r.get("writer_s") for r in rs]),
            "ready": median([r.get("ready_s") for r in rs]),
            "files": rs[0]["files"] if rs else None,
        }
    s["recovery"] = rec
    costs = results.get("call_costs_us") or {}
    s["pass_cost"] = costs.get("CopyChangedFiles_one_added_one_modified")
    s["pass_cost_new"] = costs.get("CopyChangedFiles_new_name")
    s["move_cost"] = costs.get("CopyFileW_then_MoveFileExW_new_name")
    s["notes"] = results.get("notes") or {}
    s["call_checks"] = results.get("call_checks") or {}
    cs = results.get("copy_stop") or []
    s["copystop"] = {
        "cycles": len(cs),
        "mib": int(cs[0]["mib"]) if cs else None,
        "stop": median([c["stop_ms"] for c in cs]),
        "stop_max": max([c["stop_ms"] for c in cs], default=None),
        "stops": [c["stop_ms"] for c in cs],
        "copying": [copies_under_way(c, results["config"]["stop_pairs"]) for c in cs],
        "running": [int(c["running_at_return"]) for c in cs],
        "ended": median([c["threads_end_ms"] for c in cs]),
        "ended_max": max([c["threads_end_ms"] for c in cs], default=None),
        "all_ended": all(c["all_ended"] == 1 for c in cs),
        "final_after": sum(int(c["final_names_after_stop"]) for c in cs),
        "final_before": sum(int(c["final_names_before_stop"]) for c in cs),
        "temporaries": sum(int(c["temporaries_left"]) for c in cs),
        "flush": median([c["flush_ms"] for c in cs]),
        "flush_max": max([c["flush_ms"] for c in cs], default=None),
    }
    return s


def copies_under_way(cycle, pairs):
    """Copies under way when the stop began: destinations that had shown a temporary file and
    whose final name was not made before the stop. Runs that did not count them per destination
    give a lower bound (a copy that began and ended between two looks was never seen)."""
    if "under_way" in cycle:
        return "%d/%d" % (cycle["under_way"], pairs)
    return "at least %d/%d" % (max(0, cycle["copying"] - cycle["final_names_before_stop"]), pairs)


def fmt_bytes(n):
    if n is None:
        return "n/a"
    if n >= 1 << 20:
        return "%.1f MiB" % (n / float(1 << 20))
    if n >= 1 << 10:
        return "%.0f KiB" % (n / float(1 << 10))
    return "%d bytes" % n


def goals(s):
    p, r, i, st = s["program"], s["reference"], s["idle"], s["stop"]
    rows = []

    def add(text, measured, met):
        rows.append((text, measured, "n/a" if met is None else ("yes" if met else "**no**")))

    add("100% of the 1000-file burst mirrored with the right content",
        "median %s, worst %s" % (fmt_pct(p["burst_share"]), fmt_pct(p["burst_share_min"])),
        None if p["burst_share_min"] is None else p["burst_share_min"] == 1.0)
    add("100% of the burst over subfolders mirrored with the right content",
        "median %s, worst %s" % (fmt_pct(p["tree_share"]), fmt_pct(p["tree_share_min"])),
        None if p["tree_share_min"] is None else p["tree_share_min"] == 1.0)
    add("Rapid rewrite ends with the final content", "%d of %d runs" % (p["rewrite_ok"], p["rewrite_total"]),
        None if not p["rewrite_total"] else p["rewrite_ok"] == p["rewrite_total"])
    add("Median mirror latency no worse than the reference's",
        "%s vs %s ms" % (fmt(p["lat_median"]), fmt(r["lat_median"])),
        None if p["lat_median"] is None or r["lat_median"] is None else p["lat_median"] <= r["lat_median"])
    burst_bound = None if r["burst_last"] in (None, math.inf) else BURST_SHARE * r["burst_last"]
    add("1000-file burst: first write to last arrival at most %.1f × the reference's" % BURST_SHARE,
        "%s vs %s × %s = %s (%s)" % (fmt_last(p["burst_last"]), BURST_SHARE, fmt_last(r["burst_last"]),
                                     fmt(burst_bound, " s"), fmt_ratio(ratio(p["burst_last"], r["burst_last"]))),
        None if p["burst_last"] is None or burst_bound is None else p["burst_last"] <= burst_bound)
    pass_cost, move_cost = s["pass_cost"], s["move_cost"]
    add("One file through the copy pass (`CopyChangedFiles_one_added_one_modified`) at most %.1f × "
        "`CopyFileW_then_MoveFileExW_new_name` of the same run" % PASS_SHARE,
        "%s vs %s µs (%s)" % (fmt(pass_cost), fmt(move_cost), fmt_ratio(ratio(pass_cost, move_cost))),
        None if pass_cost is None or not move_cost else pass_cost <= PASS_SHARE * move_cost)
    pass_new = s["pass_cost_new"]
    add("The same pass to a new name (`CopyChangedFiles_new_name`) at most %.2f × "
        "`CopyFileW_then_MoveFileExW_new_name` of the same run" % PASS_NEW_SHARE,
        "%s vs %s µs (%s)" % (fmt(pass_new), fmt(move_cost), fmt_ratio(ratio(pass_new, move_cost))),
        None if pass_new is None or not move_cost else pass_new <= PASS_NEW_SHARE * move_cost)
    notes = s["notes"]
    if notes:
        add("Copy notes: %d kept, a save a minute for an hour with %d copies a minute: at most %s "
            "written to the configuration folder" % (notes["kept"], notes["per_save"],
                                                     fmt_bytes(NOTES_BYTES)),
            fmt_bytes(notes["bytes_written"]), notes["bytes_written"] <= NOTES_BYTES)
    for mib, b in p["big"].items():
        worst = b["vs_floor_max"]
        add("%s MiB file: close to identical at most %.1f × (one CopyFileW of it + the %d ms quiet wait) "
            "in every run, with one destination write%s" % (
                mib, BIG_SHARE, QUIET_S * 1000,
                " (CopyFileW of a file just written, as the program meets it)" if b["floor_kind"] == "fresh"
                else ""),
            "worst %s (per run %s); writes per run %s" % (
                fmt(worst, "×", 2), ", ".join(fmt(v, "×", 2) for v in b["vs_floor"]),
                ", ".join(map(str, b["writes"]))),
            None if not b["runs"] or worst is None
            else (b["done"] == b["runs"] and worst <= BIG_SHARE and all(w == 1 for w in b["writes"])))
    add("Slow writer (%s MiB over %s s): at most 4 copies, identical within 2 s of the close"
        % (p["slow_mib"], fmt(p["slow_s"], digits=0)),
        "worst %s copies, worst %s" % (fmt(p["slow_copies_max"], digits=0), fmt(p["slow_after_max"], " s")),
        None if not p["slow_total"] else (p["slow_copies_max"] <= 4 and p["slow_after_max"] <= 2.0))
    pieces = pieces_goal(s)
    if pieces:
        add(*pieces)
    add("Idle: under 0.05 CPU s in %s s with %s pairs (program's process)" % (i["seconds"], i["pairs"]),
        "%s s" % fmt(i["prog_cpu"], digits=2), None if i["prog_cpu"] is None else i["prog_cpu"] < 0.05)
    add("Idle: RSS with %s pairs ≤ 10 MiB above no pair" % i["pairs"],
        "%s MiB above" % fmt(kib_to_mib(i["rss_above"]), digits=1),
        None if i["rss_above"] is None else i["rss_above"] <= 10 * 1024)
    add("StopMonitoring with %s pairs blocked in reads: median under %d ms, max under %d ms" %
        (st["pairs"], STOP_MEDIAN_MS, STOP_MAX_MS),
        "median %s, max %s ms" % (fmt(st["prog_stop"]), fmt(st["prog_stop_max"])),
        None if st["prog_stop_max"] is None
        else st["prog_stop"] < STOP_MEDIAN_MS and st["prog_stop_max"] < STOP_MAX_MS)
    cs = s["copystop"]
    add("StopMonitoring with %s pairs, each given a %s MiB file to copy at once: back within 1 s" %
        (st["pairs"], cs["mib"]),
        "median %s, max %s ms (copies under way: %s)" % (fmt(cs["stop"]), fmt(cs["stop_max"]),
                                                         ", ".join(cs["copying"])),
        None if cs["stop_max"] is None else cs["stop_max"] <= 1000)
    add("After that stop, no destination holds the file under its final name (put there after "
        "the stop began)", "%d of %d" % (cs["final_after"], cs["cycles"] * st["pairs"]),
        None if not cs["cycles"] else cs["final_after"] == 0)
    sw = s["sweep"]
    add("Sweep of the %s-file tree (%s folders) ≤ 1.5 × a bare FindFirstFileExW listing of it" %
        (fmt_count(sw["files"]), fmt_count(sw["folders"])),
        "%s vs %s (%s×)" % (fmt_ms(sw["sweep"]), fmt_ms(sw["listing"]), fmt(sw["ratio"], digits=2)),
        None if sw["ratio"] is None else (sw["ratio"] <= 1.5 and sw["complete"] and sw["copied"] == 0))
    rl, re_ = s["recovery"]["large"], s["recovery"]["empty"]
    bound = None if re_["last"] in (None, math.inf) or sw["listing"] is None else re_["last"] + 2 * sw["listing"] / 1000.0
    add("Overflowing %s-file burst in the %s-file tree: at most 2 bare listings over the same burst in "
        "an empty tree" % (fmt_count(rl["files"]), fmt_count(sw["files"])),
        "%s vs %s + 2 × %s = %s" % (fmt_last(rl["last"]), fmt_last(re_["last"]),
                                    fmt_ms(sw["listing"]), fmt(bound, " s", 2)),
        None if bound is None or rl["last"] is None else rl["last"] <= bound)
    add("100% of the overflowing burst mirrored with the right content (both trees)",
        "worst %s (large), %s (empty)" % (fmt_pct(rl["share_min"]), fmt_pct(re_["share_min"])),
        None if rl["share_min"] is None or re_["share_min"] is None
        else rl["share_min"] == 1.0 and re_["share_min"] == 1.0)
    return rows


def ms_to_s(v):
    return None if v is None else v / 1000.0


def fmt_ms(v):
    """A time given in ms, in seconds from one second up."""
    if v is None:
        return "n/a"
    return fmt(v / 1000.0, " s", 2) if v >= 1000 else fmt(v, " ms")


def fmt_count(v):
    return "n/a" if v is None else "{:,}".format(int(v)).replace(",", " ")


def fmt_pct(v):
    return "n/a" if v is None else "%.1f%%" % (100.0 * v)


def kib_to_mib(v):
    return None if v is None else v / 1024.0


def write(results, out_dir, smoke=False):
    s = summarise(results)
    chart = "latency-smoke.png" if smoke else "latency.png"
    draw_chart(s, os.path.join(out_dir, chart), results)
    p, r, i, st = s["program"], s["reference"], s["idle"], s["stop"]
    cfg = results["config"]
    reps = cfg["reps"]
    who = ("Vantrel.exe under Wine" if results["driver"] == "program"
           else "the monitoring engine in a headless host under Wine (Vantrel.exe did not stay running)")
    if results.get("traced"):
        who += ", traced under VantrelDebugView (every trace line a debug event: slower than normal)"
    lines = []
    add = lines.append
    add("# Vantrel benchmark report" + (" (smoke run)" if smoke else ""))
    add("")
    add("Run %s, %s mode, %.0f s. Program: %s. Reference: `inotifywait -m -r -e close_write,moved_to` "
        "piped into `cp`, one pipeline per pair. Machine: %s CPUs (%s), %s, inotify-tools %s." %
        (results["started"], results["mode"], results["duration_s"], who, results["machine"].get("cpus"),
         results["machine"].get("cpu", "?"), results["machine"].get("wine", "Wine"),
         results["machine"].get("inotifywait", "?")))
    add("")
    if results["machine"].get("loadavg_start"):
        add("Load average (1, 5, 15 min) at the start %s, at the end %s: other work on the machine "
            "shows up as noise in both columns." % (results["machine"]["loadavg_start"],
                                                    results["machine"].get("loadavg_end", "?")))
        add("")
    add("Both sides get the same scripted writes into a fresh source folder, one side at a time "
        "(order alternating), %d repetitions; medians over repetitions unless said otherwise. "
        "An arrival is the destination's close-after-write (inotify) whose content is identical. "
        "Ratios are program ÷ reference (below 1 means the program is faster or smaller)." % reps)
    add("")
    add("## Figures")
    add("")
    add("| # | Figure | Program | Reference | Ratio |")
    add("|---|---|---|---|---|")

    def row(num, text, a, b, rat):
        add("| %s | %s | %s | %s | %s |" % (num, text, a, b, rat))

    n = cfg["latency_files"]
    row(1, "Mirror latency, median (%d files × %d, %.1f s apart, one in a subfolder)" % (n, reps, cfg["latency_gap"]),
        fmt(p["lat_median"], " ms"), fmt(r["lat_median"], " ms"), fmt_ratio(ratio(p["lat_median"], r["lat_median"])))
    row("", "Mirror latency, p90", fmt(p["lat_p90"], " ms"), fmt(r["lat_p90"], " ms"),
        fmt_ratio(ratio(p["lat_p90"], r["lat_p90"])))
    row("", "Mirror latency, max", fmt(p["lat_max"], " ms"), fmt(r["lat_max"], " ms"),
        fmt_ratio(ratio(p["lat_max"], r["lat_max"])))
    row("", "Files never mirrored (of %d)" % p["lat_total"], p["lat_missing"], r["lat_missing"], "")
    row("", "File in the subfolder (existing before the watch) mirrored",
        "%d/%d" % (p["sub_arrived"], p["sub_total"]), "%d/%d" % (r["sub_arrived"], r["sub_total"]), "")
    row(2, "Burst of %d files into one folder: right content (median; per run)" % cfg["burst_files"],
        "%s (%s)" % (fmt_pct(p["burst_share"]), ", ".join(p["burst_right"])),
        "%s (%s)" % (fmt_pct(r["burst_share"]), ", ".join(r["burst_right"])), "")
    row("", "Burst: time from the first write to the last arrival (writer alone: %s s)" % fmt(p["burst_writer"]),
        fmt_last(p["burst_last"]), fmt_last(r["burst_last"]), fmt_ratio(ratio(p["burst_last"], r["burst_last"])))
    def timeline(side):
        parts = []
        for run in results["pair_runs"]:
            x = run.get("burst") or {}
            if run["side"] != side or "arrived_by_writer_end" not in x:
                continue
            parts.append("%d by %s; %s from %s (%d after)" % (
                x["arrived_by_writer_end"], fmt(x["writer_s"], " s"), fmt(x.get("longest_pause_s"), " s"),
                fmt(x.get("longest_pause_at_s"), " s"), x.get("arrived_after_pause", 0)))
        return "; ".join(parts) or "n/a"

    row("", "Burst timeline per run: files arrived by the writer's close of its last file; the longest "
        "pause between two arrivals, from when, and how many arrived after it", timeline("program"),
        timeline("reference"), "")
    tree_n = cfg["tree_folders"] * cfg["tree_files"]
    row("", "Burst of %d files over %d new subfolders: right content" % (tree_n, cfg["tree_folders"]),
        "%s (%s)" % (fmt_pct(p["tree_share"]), ", ".join(p["tree_right"])),
        "%s (%s)" % (fmt_pct(r["tree_share"]), ", ".join(r["tree_right"])), "")
    row("", "Subfolder burst: first write to last arrival",
        fmt_last(p["tree_last"]), fmt_last(r["tree_last"]), fmt_ratio(ratio(p["tree_last"], r["tree_last"])))
    row(3, "Rapid rewrites (%d × %d ms): destination ends with the final content" % (cfg["rewrites"], cfg["rewrite_gap"] * 1000),
        "%d/%d (versions left: %s)" % (p["rewrite_ok"], p["rewrite_total"], ", ".join(map(str, p["rewrite_versions"]))),
        "%d/%d (versions left: %s)" % (r["rewrite_ok"], r["rewrite_total"], ", ".join(map(str, r["rewrite_versions"]))), "")
    row("", "Rapid rewrites: last close to final content", fmt(p["rewrite_after"], " ms"),
        fmt(r["rewrite_after"], " ms"), fmt_ratio(ratio(p["rewrite_after"], r["rewrite_after"])))
    fig4 = 4
    for mib, b in p["big"].items():
        rb = r["big"].get(mib, {})
        row(fig4, "%s MiB file written at full speed: close to an identical copy (the destination's last "
            "write), median; worst (%d/%d runs complete)" % (mib, b["done"], b["runs"]),
            "%s; %s" % (fmt(b["copy"], " s"), fmt(b["copy_max"], " s")),
            "%s; %s" % (fmt(rb.get("copy"), " s"), fmt(rb.get("copy_max"), " s")),
            fmt_ratio(ratio(b["copy"], rb.get("copy"))))
        fig4 = ""
        row("", "%s MiB file: from the writer's close, per run: the copy that arrived begun (its file "
            "made); that file closed after writing; the copy in place and identical" % mib,
            "; ".join("%s, %s, %s" % (fmt(a, " s"), fmt(w, " s"), fmt(c, " s"))
                      for a, w, c in zip(b["begun_runs"], b["written_runs"], b["copies_per_run"])),
            "; ".join("%s, %s, %s" % (fmt(a, " s"), fmt(w, " s"), fmt(c, " s"))
                      for a, w, c in zip(rb.get("begun_runs", []), rb.get("written_runs", []),
                                         rb.get("copies_per_run", []))), "")
        row("", "%s MiB file: the writer, open to close, per run (program's runs, and the files of its "
            "floor below; reference's runs)" % mib,
            ", ".join(fmt(v, " s") for v in b["writer_runs"]) +
            (" (floor: %s)" % ", ".join(fmt(v, " s") for v in b["floor_writer_runs"]) if b["floor_writer_runs"] else ""),
            ", ".join(fmt(v, " s") for v in rb.get("writer_runs", [])), "")
        row("", "%s MiB file: one CopyFileW of it alone, inside a Wine process, median: of a file just "
            "written (as the program meets it); of the file once on the disk (× cp; cp: %s s)" % (
                mib, fmt(median([b["cp"], rb.get("cp")]))),
            "%s; %s (%s × cp)" % (fmt(b["copyfilew_fresh"], " s"), fmt(b["copyfilew"], " s"),
                                  fmt(b["copyfilew_ratio"], digits=2)), "—", "")
        row("", "%s MiB file: close to identical ÷ (that run's CopyFileW of a file just written + %d ms "
            "quiet wait), per run" % (mib, QUIET_S * 1000),
            ", ".join("%s (%s ÷ %s)" % (fmt(v, "×", 2), fmt(c, " s"), fmt(f, " s"))
                      for v, c, f in zip(b["vs_floor"], b["copies_per_run"], b["floors"])), "—", "")
        row("", "%s MiB file: the same ÷ (that run's CopyFileW of the file once on the disk + %d ms), per run" % (
            mib, QUIET_S * 1000),
            ", ".join("%s (%s ÷ %s)" % (fmt(v, "×", 2), fmt(c, " s"), fmt(f, " s"))
                      for v, c, f in zip(b["vs_flushed_floor"], b["copies_per_run"], b["flushed_floors"])),
            "—", "")
        row("", "%s MiB file: times the destination was written, per run (closes after writing: the "
            "program's temporary copies, `cp`'s file); put into place" % mib,
            "%s; %s" % (", ".join(map(str, b["writes"])), ", ".join(map(str, b["placed"]))),
            "%s; %s" % (", ".join(map(str, rb.get("writes", []))), ", ".join(map(str, rb.get("placed", [])))), "")
        row("", "%s MiB file: as a multiple of plain `cp`" % mib,
            fmt(b["ratio_cp"], " × cp"), fmt(rb.get("ratio_cp"), " × cp"),
            fmt_ratio(ratio(b["ratio_cp"], rb.get("ratio_cp"))))
        row("", "%s MiB file, once on the disk: the engine's copy alone (`CopyFileSafely`: temporary file, "
            "then `MoveFileExW`); `CopyFileExW` to a name that must not exist yet "
            "(`COPY_FILE_FAIL_IF_EXISTS`); 4 MiB ReadFile/WriteFile steps; the move alone, with "
            "`MOVEFILE_WRITE_THROUGH` / without" % mib,
            "%s; %s; %s; %s / %s" % (fmt(b["safely"], " s"), fmt(b["fail_if_exists"], " s"), fmt(b["loop"], " s"),
                                 fmt_ms(None if b["move_wt"] is None else b["move_wt"] * 1000),
                                 fmt_ms(None if b["move"] is None else b["move"] * 1000)), "—", "")
    row("", "Slow writer, %s MiB in 1 MiB pieces over %s s: close to an identical copy" % (
        p["slow_mib"], fmt(p["slow_s"], digits=0)),
        fmt(p["slow_after"], " s"), fmt(r["slow_after"], " s"), fmt_ratio(ratio(p["slow_after"], r["slow_after"])))
    row("", "Slow writer: times the destination was written (worst run)",
        "%s (%s)" % (fmt(p["slow_copies"], digits=0), fmt(p["slow_copies_max"], digits=0)),
        "%s (%s)" % (fmt(r["slow_copies"], digits=0), fmt(r["slow_copies_max"], digits=0)), "")
    row("", "Slow writer: MiB written to the destination", fmt(p["slow_written"], " MiB", 0),
        fmt(r["slow_written"], " MiB", 0), fmt_ratio(ratio(p["slow_written"], r["slow_written"])))
    for text, a, b, rat in pieces_rows(s):
        row("", text, a, b, rat)
    row(5, "Idle, %s pairs, %s s: CPU s of the watcher's own processes" % (i["pairs"], i["seconds"]),
        fmt(i["prog_cpu"], " s", 2), fmt(i["ref_cpu"], " s", 2) + " (%s processes)" % fmt(i["ref_procs"], digits=0),
        fmt_ratio(ratio(i["prog_cpu"], i["ref_cpu"])))
    row("", "Idle: wineserver CPU s in the same window (no pair: %s)" % fmt(i["base_ws_cpu"], " s", 2),
        fmt(i["prog_ws_cpu"], " s", 2), "—", "")
    row("", "Idle: program with no pair, CPU s", fmt(i["base_cpu"], " s", 2), "—", "")
    row("", "Idle: resident memory with %s pairs" % i["pairs"],
        "%s MiB (no pair %s MiB, %s threads)" % (fmt(kib_to_mib(i["prog_rss"]), digits=1),
                                                 fmt(kib_to_mib(i["base_rss"]), digits=1), fmt(i["prog_threads"], digits=0)),
        "%s MiB RSS sum, %s MiB PSS" % (fmt(kib_to_mib(i["ref_rss"]), digits=1), fmt(kib_to_mib(i["ref_pss"]), digits=1)), "")
    row("", "Idle: memory the pairs add (program: above no pair; reference: PSS of all pipelines)",
        fmt(kib_to_mib(i["rss_above"]), " MiB", 1), fmt(kib_to_mib(i["ref_pss"]), " MiB", 1),
        fmt_ratio(ratio(i["rss_above"], i["ref_pss"])))
    row(6, "Stop with %s pairs blocked in reads, median (program: `StopMonitoring`; reference: end all pipelines)" % st["pairs"],
        fmt(st["prog_stop"], " ms"), fmt(st["ref_stop"], " ms"), fmt_ratio(ratio(st["prog_stop"], st["ref_stop"])))
    row("", "Stop, max of %d cycles" % st["cycles"], fmt(st["prog_stop_max"], " ms"), fmt(st["ref_stop_max"], " ms"),
        fmt_ratio(ratio(st["prog_stop_max"], st["ref_stop_max"])))
    row("", "Start-up to all %s watching, median (program: `StartMonitoring` to the last thread's "
        "open folder; reference: to the last \"Watches established\")" % st["pairs"],
        fmt(st["prog_start"], " ms"), fmt(st["ref_start"], " ms"), fmt_ratio(ratio(st["prog_start"], st["ref_start"])))
    row("", "Start-up, max", fmt(st["prog_start_max"], " ms"), fmt(st["ref_start_max"], " ms"),
        fmt_ratio(ratio(st["prog_start_max"], st["ref_start_max"])))
    row("", "Whole start, process launch to every pair mirroring a probe (%s pairs)" % i["pairs"],
        fmt(i["prog_start"], " s"), fmt(i["ref_start"], " s"), fmt_ratio(ratio(i["prog_start"], i["ref_start"])))
    cs = s["copystop"]
    row("", "Stop with %s pairs, each given a %s MiB file to copy at once (`StopMonitoring`), median "
        "(max) of %d cycles; per cycle" % (st["pairs"], cs["mib"], cs["cycles"]),
        "%s (%s): %s" % (fmt(cs["stop"], " ms"), fmt(cs["stop_max"], " ms"),
                         ", ".join(fmt(v) for v in cs["stops"])), "—", "")
    row("", "Mid-copy stop: copies under way when the stop began (the stop comes once every destination has "
        "shown a temporary file, or a first copy is in place; under way: a temporary file seen and no "
        "final name made before the stop)",
        ", ".join(cs["copying"]) or "n/a", "—", "")
    row("", "Mid-copy stop: the stopped threads all ended, after the stop began, median (max); threads "
        "still running when it returned",
        "%s (%s); %s" % (fmt_ms(cs["ended"]), fmt_ms(cs["ended_max"]),
                         ", ".join(map(str, cs["running"]))), "—", "")
    row("", "Mid-copy stop: destinations holding the file under its final name afterwards, put there "
        "after the stop began (before it)", "%d (%d)" % (cs["final_after"], cs["final_before"]), "—", "")
    row("", "Mid-copy stop: temporary files left once the threads ended", cs["temporaries"], "—", "")
    row("", "Mid-copy stop: one small file written through to the disk under the same load, right "
        "after the stop returned, median (max)", "%s (%s)" % (fmt(cs["flush"], " ms"), fmt(cs["flush_max"], " ms")),
        "—", "")
    sw = s["sweep"]
    row(7, "Sweep of a tree of %s files in %s folders (the engine's walk since now: nothing to copy), "
        "median of %d; per run" % (fmt_count(sw["files"]), fmt_count(sw["folders"]), len(sw["sweeps"])),
        "%s: %s" % (fmt_ms(sw["sweep"]), ", ".join(fmt_ms(v) for v in sw["sweeps"])),
        "—", "")
    row("", "Bare recursive FindFirstFileExW listing of the same tree, same process, alternating; per "
        "run (first, cold listing: %s)" % fmt_ms(sw["warmup"]),
        "%s: %s" % (fmt_ms(sw["listing"]), ", ".join(fmt_ms(v) for v in sw["listings"])),
        "—", "")
    row("", "Sweep ÷ bare listing", fmt(sw["ratio"], "×", 2), "—", "")
    rl, re_ = s["recovery"]["large"], s["recovery"]["empty"]
    row(8, "Overflowing burst of %s files into a watched folder that holds the %s-file tree: first "
        "write to last arrival, median; per run" % (fmt_count(rl["files"]), fmt_count(sw["files"])),
        "%s: %s" % (fmt_last(rl["last"]), ", ".join(fmt(v, digits=2) for v in rl["lasts"])), "—", "")
    row("", "The same burst into an empty watched folder; per run",
        "%s: %s" % (fmt_last(re_["last"]), ", ".join(fmt(v, digits=2) for v in re_["lasts"])), "—", "")
    row("", "Right content, per run: large tree; empty", "%s; %s" % (", ".join(rl["right"]), ", ".join(re_["right"])),
        "—", "")
    row("", "\"recovery pass\" trace lines (overflows) per run: large tree; empty",
        "%s; %s" % (", ".join("%s (%s)" % (a, b) for a, b in zip(rl["passes"], rl["overflows"])),
                    ", ".join("%s (%s)" % (a, b) for a, b in zip(re_["passes"], re_["overflows"]))), "—", "")
    row("", "Program CPU s from the first write until its trace is quiet, median: large tree; empty",
        "%s; %s" % (fmt(rl["cpu"], " s"), fmt(re_["cpu"], " s")), "—", "")
    row("", "Watch ready (its catch-up line) after the program's start: large tree; empty",
        "%s; %s" % (fmt(rl["ready"], " s"), fmt(re_["ready"], " s")), "—", "")
    row(9, "One file through the copy pass (`CopyChangedFiles`, one added and one modified record, over "
        "its earlier copy), mean; beside `CopyFileW` to a temporary name then `MoveFileExW` to a new name "
        "(`CopyFileW_then_MoveFileExW_new_name`), same run",
        "%s vs %s (%s)" % (fmt(s["pass_cost"], " µs"), fmt(s["move_cost"], " µs"),
                           fmt_ratio(ratio(s["pass_cost"], s["move_cost"]))), "—", "")
    row("", "The same pass for a file the destination does not hold yet (a burst's case: every call a new "
        "name, in a destination folder that fills), mean",
        "%s vs %s (%s)" % (fmt(s["pass_cost_new"], " µs"), fmt(s["move_cost"], " µs"),
                           fmt_ratio(ratio(s["pass_cost_new"], s["move_cost"]))), "—", "")
    notes = s["notes"]
    if notes:
        row(10, "Copy notes: %d kept (a file of %s), then a save of the points a minute for an hour, each "
            "after %d copies; bytes written to the configuration folder (what each file grew by, or its "
            "whole size where it was replaced)" % (notes["kept"], fmt_bytes(notes["file_bytes_start"]),
                                                   notes["per_save"]),
            "%s (the file then %s; written whole at every save: %s)" % (
                fmt_bytes(notes["bytes_written"]), fmt_bytes(notes["file_bytes_end"]),
                fmt_bytes(notes["file_bytes_start"] * notes["saves"])), "—", "")
    add("")
    if results.get("failed_starts"):
        add("Program starts that ended at once and were repeated (a Wine desktop race, see notes): %s." %
            ", ".join(results["failed_starts"]))
        add("")
    add("Inside the engine's start/stop cycles: pairs that mirrored a probe file after start-up: %s; "
        "reads cancelled by the stop: %s." % (", ".join(st["prog_mirrored"]) or "n/a",
                                             ", ".join(map(str, st["prog_cancelled"])) or "n/a"))
    add("")
    costs = results.get("call_costs_us") or {}
    if costs:
        add("What the copy pass's calls cost one file under Wine (mean of repeated calls, µs): " +
            ", ".join("`%s` %s" % (name, fmt(value)) for name, value in costs.items()) + ".")
        add("")
    if s["call_checks"]:
        add("Checks of the copy passes timed there: " +
            "; ".join("`%s` %s" % (name, text) for name, text in sorted(s["call_checks"].items())) + ".")
        add("")
    add("![Mirror latency distribution](%s)" % chart)
    add("")
    add("## Goals")
    add("")
    add("| Goal | Measured | Met |")
    add("|---|---|---|")
    for text, measured, met in goals(s):
        add("| %s | %s | %s |" % (text, measured, met))
    add("")
    add("Per-repetition latency medians (ms): program %s; reference %s." % (
        ", ".join(fmt(v) for v in p["lat_rep_medians"]), ", ".join(fmt(v) for v in r["lat_rep_medians"])))
    add("")
    notes_file = os.path.join(os.path.dirname(os.path.abspath(__file__)), "NOTES.md")
    if not smoke and os.path.exists(notes_file):
        with open(notes_file) as f:
            lines.append(f.read().rstrip())
        add("")
    add("Raw numbers: `%s`. Regenerate with `bench/run.sh`%s." %
        ("smoke-results.json" if smoke else "results.json", " --smoke" if smoke else ""))
    name = "SMOKE-REPORT.md" if smoke else "REPORT.md"
    with open(os.path.join(out_dir, name), "w") as f:
        f.write("\n".join(lines) + "\n")
    complete = all(x is not None for x in (p["lat_median"], r["lat_median"], st["prog_stop"], i["prog_cpu"]))
    return {"complete": complete, "summary": s}


def write_pieces(results, out_dir, smoke=False):
    """PIECES-REPORT.md of a run of the file written in pieces alone (bench.py --pieces-only)."""
    s = {"pieces": summarise_pieces(results)}
    machine = results["machine"]
    lines = ["# Vantrel benchmark: a file written in pieces, the program alone" + (" (smoke run)" if smoke else ""),
             "",
             "Run %s, %s mode, %.0f s. Program: %s. Machine: %s CPUs (%s), %s. Load average (1, 5, 15 min) "
             "at the start %s, at the end %s." % (
                 results["started"], results["mode"], results["duration_s"],
                 "Vantrel.exe under Wine" if results["driver"] == "program"
                 else "the monitoring engine in a headless host under Wine", machine.get("cpus"),
                 machine.get("cpu", "?"), machine.get("wine", "Wine"), machine.get("loadavg_start", "?"),
                 machine.get("loadavg_end", "?")),
             "",
             "| Figure | Program | Reference | Ratio |",
             "|---|---|---|---|"]
    lines += ["| %s | %s | %s | %s |" % row for row in pieces_rows(s)]
    goal = pieces_goal(s)
    if goal:
        text, measured, met = goal
        lines += ["", "| Goal | Measured | Met |", "|---|---|---|",
                  "| %s | %s | %s |" % (text, measured, "yes" if met else "**no**")]
    lines += ["", "Raw numbers: `%spieces-results.json`. Regenerate with `bench/run.sh --pieces-only%s`." % (
        "smoke-" if smoke else "", " --smoke" if smoke else "")]
    with open(os.path.join(out_dir, "PIECES-REPORT.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return {"complete": bool(s["pieces"].get("program")), "summary": s}


# ---------------------------------------------------------------------------------------------

def draw_chart(s, path, results):
    from PIL import Image, ImageDraw, ImageFont
    width, height = 1000, 560
    img = Image.new("RGB", (width, height), "white")
    d = ImageDraw.Draw(img)

    def font(size, bold=False):
        name = "DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"
        try:
            return ImageFont.truetype("/usr/share/fonts/truetype/dejavu/" + name, size)
        except OSError:
            return ImageFont.load_default()

    f_title, f_text, f_small = font(18, True), font(13), font(11)
    colours = {"program": (31, 119, 180), "reference": (214, 96, 39)}
    labels = {"program": "Vantrel under Wine", "reference": "inotifywait | cp"}
    n = results["config"]["latency_files"] * results["config"]["reps"]
    d.text((60, 14), "Mirror latency: writer's close to identical copy (%d files per side)" % n,
           font=f_title, fill="black")
    left, right, top, bottom = 80, width - 30, 60, height - 150
    all_values = s["program"]["latencies"] + s["reference"]["latencies"]
    if not all_values:
        d.text((left, top + 40), "no latency measured", font=f_text, fill="black")
        img.save(path)
        return
    lo = 10 ** math.floor(math.log10(max(min(all_values), 0.1)))
    hi = 10 ** math.ceil(math.log10(max(all_values) * 1.05))

    def x_of(v):
        v = min(max(v, lo), hi)
        return left + (right - left) * (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))

    def y_of(q):
        return bottom - (bottom - top) * q

    d.rectangle([left, top, right, bottom], outline=(120, 120, 120))
    decade = lo
    while decade <= hi * 1.0001:
        for m in (1, 2, 5):
            v = decade * m
            if lo <= v <= hi:
                x = x_of(v)
                d.line([x, top, x, bottom], fill=(225, 225, 225) if m != 1 else (190, 190, 190))
                label = ("%g" % v) + (" ms" if v == lo else "")
                d.text((x - 10, bottom + 6), label, font=f_small, fill="black")
        decade *= 10
    for q in (0.0, 0.25, 0.5, 0.75, 0.9, 1.0):
        y = y_of(q)
        d.line([left, y, right, y], fill=(225, 225, 225))
        d.text((left - 40, y - 7), "%d%%" % (q * 100), font=f_small, fill="black")
    d.text((left, bottom + 24), "latency (ms, log scale); curve = share of files mirrored within that time",
           font=f_small, fill="black")

    legend_y = top + 8
    for idx, side in enumerate(("program", "reference")):
        values = sorted(s[side]["latencies"])
        total = s[side]["lat_total"] or 1
        colour = colours[side]
        if values:
            points = [(x_of(values[0]), y_of(0.0))]
            for k, v in enumerate(values):
                points.append((x_of(v), y_of(k / total)))
                points.append((x_of(v), y_of((k + 1) / total)))
            d.line(points, fill=colour, width=3)
            med = s[side]["lat_median"]
            if med is not None:
                d.line([x_of(med), top, x_of(med), bottom], fill=colour, width=1)
        # Strip of individual files below the plot.
        strip_y = bottom + 55 + idx * 30
        d.text((10, strip_y - 7), side, font=f_small, fill=colour)
        d.line([left, strip_y, right, strip_y], fill=(230, 230, 230))
        for v in values:
            x = x_of(v)
            d.ellipse([x - 3, strip_y - 3 + (hash(v) % 5) - 2, x + 3, strip_y + 3 + (hash(v) % 5) - 2],
                      outline=colour)
        text = "%s: median %s ms, p90 %s ms, max %s ms, missing %d of %d" % (
            labels[side], fmt(s[side]["lat_median"]), fmt(s[side]["lat_p90"]), fmt(s[side]["lat_max"]),
            s[side]["lat_missing"], s[side]["lat_total"])
        d.rectangle([left + 10, legend_y + 3, left + 25, legend_y + 13], fill=colour)
        d.text((left + 30, legend_y), text, font=f_small, fill="black")
        legend_y += 20
    img.save(path)
