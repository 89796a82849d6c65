// Opening subfolders, for systems whose watch of a tree stays silent about a subfolder until
// it has been opened after the watch began (Wine: monitor/system_behaviour.h). Folders that
// existed before the first read, and folders that arrive later, stay silent until then;
// opening each of them once is enough.
#pragma once

#include "monitor/change_batch.h"

#include <string>
#include <vector>

// Opens a folder once and closes it again.
void OpenFolderOnce(const std::wstring &folder);

// Opens every folder that `changes` reports as arrived (added or renamed into place) below
// `path`, with every folder inside it, so that later changes inside them are reported.
void OpenArrivedFolders(const std::wstring &path, const std::vector<FolderChange> &changes);
