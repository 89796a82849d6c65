#include "monitor/wine_subfolders.h"

#include "monitor/long_path.h"
#include "monitor/tree_walk.h"

#include <windows.h>

void OpenFolderOnce(const std::wstring &folder) {
    HANDLE handle = CreateFileW(FileSystemPath(folder).c_str(), FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

void OpenArrivedFolders(const std::wstring &path, const std::vector<FolderChange> &changes) {
    for (const FolderChange &change : changes) {
        if (change.name.empty() ||
            (change.action != FILE_ACTION_ADDED && change.action != FILE_ACTION_RENAMED_NEW_NAME))
            continue;
        std::wstring full = path + L"\\" + change.name;
        DWORD attributes = GetFileAttributesW(FileSystemPath(full).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkAt(full)))
            continue;
        OpenFolderOnce(full);
        ForEachSubfolder(full, OpenFolderOnce);
    }
}
