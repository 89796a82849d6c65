// Help for change notifications under Wine.
//
// Under Wine a watch of a whole tree reports changes in a subfolder only once that subfolder
// has been opened after the watch began: folders that existed before the first read, and
// folders that arrive later, stay silent until then. Opening each of them once is enough.
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
