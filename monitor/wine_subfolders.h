// Help for change notifications under Wine.
//
// Under Wine a watch of a whole tree reports changes in a subfolder only once that subfolder
// has been opened after the watch began: folders that existed before the first read, and
// folders that arrive later, stay silent until then. Opening each of them once is enough.
//
// Wine also keeps each watched folder's name from when it first saw it, and its watches of
// folders below the top one can go quiet: after a folder is renamed inside the tree, the
// changes below it are reported under its old name (a path that does not exist); once a new
// folder of the old name comes and goes, or a watch of the tree is opened again while other
// handles are open below it, changes in folders two or more levels down may not be reported
// at all. So under Wine the reports of a busy spell are not trusted alone: every spell opens a
// gap in the pair's mirror point, walked once the pair has been quiet for a moment (and at
// least every half minute while it stays busy).
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

// Opens every folder that `changes` reports as arrived (added or renamed into place) below
// `path`, with every folder inside it, so that later changes inside them are reported.
void OpenArrivedFolders(const std::wstring &path, const std::vector<FolderChange> &changes);
