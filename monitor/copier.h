// The change copier: mirrors the files of a change batch, and the waiting copies when they are
// due, flat into a pair's destination folder, through the one copy step that the walks
// (monitor/gap_walk.h) share. Runs on a watch thread.
#pragma once

#include "monitor/change_batch.h"
#include "monitor/copy_judge.h"
#include "monitor/mirror_state.h"
#include "monitor/tree_walk.h"

#include <windows.h>

#include <string>
#include <vector>

// How the pass looks up a source's facts without opening it (LookUpFileFacts). Tests put another
// in its place before they copy, to show a file as the system cannot make one here (a cloud
// placeholder), and put it back afterwards.
extern bool (*g_lookUpFacts)(const std::wstring &path, FileFacts &facts, DWORD &error);

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
// current or holds a file of that name changed later. A copy onto its own source is skipped,
// and so are temporary copies, other programs' temporary files (monitor/transient_names.h),
// links and whatever lies behind one, and whatever the judge (monitor/copy_judge.h) refuses. What
// cannot be copied now waits in the mirror state (monitor/pending_copies.h): a copy that still
// fails after its attempts (only a writer's hold is tried again here), a source its writer holds, a
// file that is still being written; a walk of the tree from `since` (FILETIME) would find their
// changes. Nothing happens when destRoot is empty. True when the pass handled every record (copied,
// skipped by rule, or waiting); false when it was cut short (the generation stops).
bool CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes, MirrorState &mirror, ULONGLONG now,
                      ULONGLONG since);

// Runs what of the waiting copies is due at tick `now`: looks at each absent destination folder
// whose look is due, and tries every copy that is due. Returns the number of copies made.
size_t RunDueCopies(MirrorState &mirror, ULONGLONG now);

// True when a file of this name is never copied: this program's own temporary copies, and
// other programs' temporary files (monitor/transient_names.h; one trace line per pair).
bool IsNameNotCopied(MirrorState &mirror, const std::wstring &srcFull,
                     const std::wstring &fileName);

// How the copy of one file ended.
enum class CopyOutcome { Copied, Skipped, Waiting, Stopped };

// Mirrors a file a walk found (its listing's entry) to dstFull, unless the judge
// (monitor/copy_judge.h) leaves the destination as it is, or a copy of it already waits for its
// turn. `look` is the destination's entry where the walk listed the destination (a default one:
// looked up when a rule needs it). One attempt; what fails waits in the mirror state, found again
// by a walk from `since`.
CopyOutcome MirrorFoundFile(MirrorState &mirror, const std::wstring &srcFull,
                            const FoundEntry &source, const std::wstring &dstFull, TargetLook look,
                            ULONGLONG since);
