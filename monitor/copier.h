// The change copier: mirrors the files of a change batch flat into a pair's destination
// folder, retrying files that are still held by their writers. Runs on a watch thread.
#pragma once

#include "monitor/change_batch.h"
#include "monitor/known_folders.h"
#include "monitor/pending_copies.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// Readies a pair's copy state before its first pass: removes temporary copies that an ended
// process left in the destination folder, and finds out whether a destination file can be a
// source file at all (the destination folder is the watched folder or lies inside its tree,
// under any spelling).
void PrepareMirror(MirrorState &mirror, const std::wstring &path, const std::wstring &destRoot);

// Copies every file that `changes` reports as added, modified or renamed into place, from
// below `path` to destRoot\<its own file name>, creating the destination folder with its
// parents. Each distinct source file is copied once, at the place of its last record; a
// short (8.3) name counts as its long name. A folder that arrived (added or renamed into
// place) has every file inside it copied too, any depth, unless the destination copy is
// current or holds a file of that name changed later. A copy onto its own source is skipped, and so
// are temporary copies, and so are links and whatever lies behind one. A copy that still fails
// after its attempts (only a file held by its writer is tried again here), a source that
// cannot be read just now, and a large file copied moments ago that is still changing, wait in
// the mirror state; a walk of the tree from `since` (FILETIME) would find their changes.
// Nothing happens when destRoot is empty. True when the pass handled every record (copied,
// skipped by rule, or waiting); false when it was cut short (the generation stops) or a folder
// that arrived could not be listed whole.
bool CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes, MirrorState &mirror, ULONGLONG now,
                      ULONGLONG since);

// What a walk did.
struct WalkReport {
    size_t copied = 0;
    bool complete = true;    // ran to its end: every folder listed (or gone), nothing cut short
    ULONGLONG startedAt = 0; // FILETIME the walk began
    std::shared_ptr<const KnownFolders> folders; // the folders it listed, when complete
};

// Walks the tree below `path`, any depth, links skipped, and mirrors by the same flat rules
// every regular file whose own creation, last-write or change time is at or after `since` (less
// the mirror's look-back: the source file system's time step), and
// every file inside a folder that arrived since then (the whole tree when wholeTree): a folder
// not among the pair's known folders when they tell, else one that looks arrived by its times.
// Of several files of one name, only the one changed last is copied, and not when its copy is
// current or the destination holds a file of its name changed later. What fails waits in the
// mirror state, without attempts here.
WalkReport CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                                 ULONGLONG since, MirrorState &mirror, bool wholeTree = false);
