// Help for change notifications under Wine.
//
// Under Wine a watch of a whole tree reports changes in a subfolder only once that subfolder
// has been opened after the watch began: folders that existed before the first read, and
// folders that arrive later, stay silent until then. Opening each of them once is enough.
//
// Wine also keeps each watched folder's name from when it first saw it: after a folder is
// renamed inside the tree, the changes below it are reported under its old name (a path that
// does not exist), and once a new folder of the old name comes and goes, whatever lies below
// the renamed folder's subfolders is not reported at all. The names are right again only with
// a new watch, once the old one is closed; so a batch that renames a folder in the tree, or
// names a file in a folder that does not exist, ends the watch, and the next one walks for
// what was named wrongly or not at all.
//
// On Windows none of this runs.
#pragma once

#include "monitor/change_batch.h"

#include <string>
#include <vector>

// True when this process runs under Wine.
bool RunsUnderWine();

// Opens a folder once and closes it again.
void OpenFolderOnce(const std::wstring &folder);

// True when `changes` (a batch of the watch of `path`) renames a folder inside the tree, or
// names a file to copy whose folder does not exist: Wine's names for the tree are stale.
bool NamesGoneStale(const std::wstring &path, const std::vector<FolderChange> &changes);

// Opens every folder that `changes` reports as arrived (added or renamed into place) below
// `path`, with every folder inside it, so that later changes inside them are reported.
void OpenArrivedFolders(const std::wstring &path, const std::vector<FolderChange> &changes);
