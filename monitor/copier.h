// The change copier: mirrors the files of a change batch flat into a pair's destination
// folder, retrying files that are still held by their writers. Runs on a watch thread.
#pragma once

#include "monitor/change_batch.h"
#include "monitor/pending_copies.h"

#include <windows.h>

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
// after its attempts, and a large file copied moments ago that is still changing, wait in
// the mirror state; a walk of the tree from `since` (FILETIME) would find their changes.
// Nothing happens when destRoot is empty.
void CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes, MirrorState &mirror, ULONGLONG now,
                      ULONGLONG since);

// Walks the tree below `path`, any depth, links skipped, and mirrors by the same flat rules
// and retries every regular file whose own last-write or change time is at or after `since`,
// and every file inside a folder that may have arrived since then (the whole tree when
// rootArrived). Of several files of one name, only the one changed last is copied, and not
// when its copy is current or the destination holds a file of its name changed later. Returns
// the number of files copied; `complete` tells whether the walk ran to its end (a stop ends
// it).
size_t CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                             ULONGLONG since, MirrorState &mirror, bool rootArrived = false,
                             bool *complete = nullptr);
