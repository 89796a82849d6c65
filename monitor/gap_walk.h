// The walks that copy what no record named: the walk of a gap over the whole tree, and the walk
// of one folder that an earlier walk could not list (monitor/unlisted_folders.h).
//
// A walk finds files by their own times: every regular file whose creation, last-write or
// change time is at or after the walk's start (less the source file system's time step, as far
// as its times may lag behind a change), and every file inside a folder that arrived since then
// (a folder not among the pair's known folders where they tell, monitor/known_folders.h; else
// one that looks arrived by its times). It first gathers, for each file name, the file changed
// last, then copies those whose copy is not current (monitor/copier.h), so that listing order
// never decides which of two same-named files stays. What fails waits in the mirror state,
// without attempts here.
#pragma once

#include "monitor/known_folders.h"
#include "monitor/mirror_state.h"

#include <windows.h>

#include <memory>
#include <string>

// What a walk did.
struct WalkReport {
    size_t copied = 0;
    bool complete = true;    // ran to its end: every folder listed, gone or handled alone
    ULONGLONG startedAt = 0; // FILETIME the walk began
    std::shared_ptr<const KnownFolders> folders; // the folders it knows the tree to hold
};

// How a walk of the tree looks.
struct WalkMode {
    bool wholeTree = false; // every file is compared with its copy, whatever its times
    bool sweep = false;     // the hourly sweep: folders left out of the tree are looked at again
    bool closesGap = false; // it walks a gap: folders it cannot list hold the point back
};

// Walks the tree below `path`, any depth, links skipped, and mirrors what changed since `since`
// (FILETIME) into destRoot. A folder it cannot list is handed to the mirror's unlisted folders
// and walked again alone later; a folder left out of the tree is skipped, except by the sweep.
WalkReport CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                                 ULONGLONG since, MirrorState &mirror, WalkMode mode);

// Walks each folder of the mirror's unlisted folders whose walk is due at tick `now`, alone, for
// what changed since that folder's own start; returns the number of files copied.
size_t WalkWaitingFolders(const std::wstring &destRoot, MirrorState &mirror, ULONGLONG now);
