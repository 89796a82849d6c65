// The pairs' mirror points, kept from one generation of watch threads to the next and from
// one run of the program to the next.
//
// When monitoring stops, each pair's mirror point is kept here under the pair's key (its
// source and destination); the next generation's watch of the pair opens a gap there, so its
// first walk copies what changed in between. The table is also written to
// "mirror-points.txt" beside the pair file (replaced in one step, never edited in place), at
// every stop and at most once a minute while a point moved, so the first generation of the
// next run catches up from where this one was. A pair without a kept point starts with no
// past. The file is the program's own: the pair file is never touched. A file that is
// missing, unreadable or damaged, or that cannot be written, costs only that catch-up.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct KeptPoint {
    std::wstring source, dest; // the pair, as the pair file spells it
    ULONGLONG point = 0;       // FILETIME
};
// By PairKey.
using KeptPoints = std::map<std::wstring, KeptPoint>;

// The key of a pair: both paths, case folded.
std::wstring PairKey(const std::wstring &source, const std::wstring &dest);

// The file's bytes for `points`, and the points in `bytes` (lines that cannot be read are
// skipped and counted in `skipped`).
std::string FormatKeptPoints(const KeptPoints &points);
KeptPoints ParseKeptPoints(const std::string &bytes, size_t &skipped);

// Reads the file the first time it is called in this process (later calls do nothing), then
// forgets the points of pairs that are not in `pairs` (source, dest). UI thread.
void LoadKeptPoints(const std::vector<std::pair<std::wstring, std::wstring>> &pairs);

// The kept point of a pair; 0 when none is kept.
ULONGLONG KeptPointOf(const std::wstring &source, const std::wstring &dest);

// Keeps the given points (a pair met twice keeps the earlier point) and has the file written
// on a thread-pool thread when anything differs from what it holds.
void KeepPoints(const std::vector<KeptPoint> &points);

// Waits until the writes asked for so far are done. Before the process ends.
void FinishKeepingPoints();
