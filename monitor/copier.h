// The change copier: mirrors the files of a change batch flat into a pair's destination
// folder, retrying files that are still held by their writers. Runs on a watch thread.
#pragma once

#include "monitor/change_batch.h"

#include <windows.h>

#include <string>
#include <vector>

// Copies every file that `changes` reports as added, modified or renamed into place, from
// below `path` to destRoot\<its own file name>. Each distinct source file is copied once, at
// the place of its last record. A folder that arrived (added or renamed into place) has every
// file inside it copied too, any depth, unless the destination copy already has the same size
// and last-write time. A copy onto its own source is skipped. Nothing happens when destRoot
// is empty.
void CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes);

// Copies every regular file below `path`, any depth, whose last-write or change time is at or
// after `since`, by the same flat rules and retries, skipping files whose destination copy
// already has the same size and last-write time. Returns the number of files copied.
size_t CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                             ULONGLONG since);

// True when the two paths name the same file: the same full path (compared without regard
// to case) or, when both exist, the same file identity.
bool IsSameFile(const std::wstring &first, const std::wstring &second);

// Calls onFolder for every folder below `folder`, any depth, parents before their children,
// with its full path. Folders that are reparse points are not entered.
void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full));
