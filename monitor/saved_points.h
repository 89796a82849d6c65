// The pairs' mirror points, kept from one generation of watch threads to the next and from
// one run of the program to the next.
//
// When monitoring stops, each pair's mirror point is kept here under the pair's key (its
// source and destination), with the folders its tree held (monitor/known_folders.h) and the
// identity of its watched folder; the next generation's watch of the pair opens a gap there, so
// its first walk copies what changed in between, and compares every file when another folder
// now stands at the watched path. The table is also written to "mirror-points.txt" beside the
// pair file and the folders to "mirror-folders.txt" (each replaced in one step, never edited in
// place), and what this program copied where to "mirror-copies.txt" (monitor/copy_records.h:
// appended to, and now and then replaced in one step; a line cut short by a crash is cut off
// when the file is read), at every stop and at most once a minute while something moved, so the
// first generation of the next run catches up from where this one was. A pair without a kept point
// starts with no past. The files are the program's own: the pair file is never touched. A file that
// is missing, unreadable or damaged, or that cannot be written, costs only that catch-up. Points
// are forgotten only for pairs that a pair file that was read whole no longer holds.
#pragma once

#include "monitor/copy_records.h"
#include "monitor/known_folders.h"

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

struct KeptPoint {
    std::wstring source, dest;                   // the pair, as the pair file spells it
    ULONGLONG point = 0;                         // FILETIME
    std::shared_ptr<const KnownFolders> folders; // the folders its tree held; may be null
    std::string watchedFolder; // IdentityKey of the watched folder; empty when not known
};
// By PairKey.
using KeptPoints = std::map<std::wstring, KeptPoint>;

// The key of a pair: both paths, case folded.
std::wstring PairKey(const std::wstring &source, const std::wstring &dest);

// The points file's bytes for `points`, and the points in `bytes` (lines that cannot be read
// are skipped and counted in `skipped`).
std::string FormatKeptPoints(const KeptPoints &points);
KeptPoints ParseKeptPoints(const std::string &bytes, size_t &skipped);
// The folders file's bytes, and the folders in `bytes` given to the points of their pairs.
std::string FormatKeptFolders(const KeptPoints &points);
void ParseKeptFolders(const std::string &bytes, KeptPoints &points, size_t &skipped);

// Reads the files of the configuration directory the first time it is called for it (later
// calls do nothing), then, when `pairFileRead`, forgets the points of pairs that are not in
// `pairs` (source, dest). UI thread.
void LoadKeptPoints(const std::vector<std::pair<std::wstring, std::wstring>> &pairs,
                    bool pairFileRead);

// The kept point of a pair; a point of 0 when none is kept.
KeptPoint KeptPointOf(const std::wstring &source, const std::wstring &dest);

// Keeps the given points (a pair met twice keeps the earlier point) and has the files written
// on a thread-pool thread when anything differs from what they hold.
void KeepPoints(const std::vector<KeptPoint> &points);

// Waits until the writes asked for so far are done. Before the process ends.
void FinishKeepingPoints();
