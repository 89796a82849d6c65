#include "monitor/tree_walk.h"

#include "monitor/long_path.h"

namespace {

void ListWithFindFile(const std::wstring &folder, std::vector<FoundEntry> &entries) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW(FileSystemPath(folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        ULONGLONG size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        entries.push_back(FoundEntry{found.cFileName, found.dwFileAttributes, size,
                                     FileTimeValue(found.ftLastWriteTime), 0});
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

} // namespace

void ListFolder(const std::wstring &folder, std::vector<FoundEntry> &entries) {
    entries.clear();
    HANDLE dir = CreateFileW(FileSystemPath(folder).c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return;
    std::vector<LONGLONG> buffer(8192); // 64 KiB, aligned as the records need
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileFullDirectoryRestartInfo;
    bool listed = false;
    while (GetFileInformationByHandleEx(dir, infoClass, buffer.data(),
                                        DWORD(buffer.size() * sizeof(LONGLONG)))) {
        listed = true;
        infoClass = FileFullDirectoryInfo;
        const BYTE *at = (const BYTE *)buffer.data();
        for (;;) {
            const FILE_FULL_DIR_INFO *info = (const FILE_FULL_DIR_INFO *)at;
            entries.push_back(FoundEntry{
                std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)),
                info->FileAttributes, (ULONGLONG)info->EndOfFile.QuadPart,
                (ULONGLONG)info->LastWriteTime.QuadPart, (ULONGLONG)info->ChangeTime.QuadPart});
            if (info->NextEntryOffset == 0)
                break;
            at += info->NextEntryOffset;
        }
    }
    DWORD error = GetLastError();
    CloseHandle(dir);
    if (!listed && error != ERROR_NO_MORE_FILES)
        ListWithFindFile(folder, entries);
}

void WalkTree(const std::wstring &folder, const std::wstring &relative, const TreeVisitor &visitor,
              bool marked) {
    std::vector<FoundEntry> entries;
    ListFolder(folder, entries);
    std::vector<FoundEntry> subfolders;
    for (const FoundEntry &entry : entries) {
        if (entry.name == L"." || entry.name == L"..")
            continue;
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                subfolders.push_back(entry);
        } else if (visitor.onFile) {
            std::wstring rel = relative.empty() ? entry.name : relative + L"\\" + entry.name;
            visitor.onFile(folder + L"\\" + entry.name, rel, entry, marked);
        }
    }
    entries.clear();
    for (const FoundEntry &sub : subfolders) {
        std::wstring full = folder + L"\\" + sub.name;
        if (visitor.onFolder)
            visitor.onFolder(full);
        bool mark = marked || (visitor.markFolder && visitor.markFolder(sub));
        WalkTree(full, relative.empty() ? sub.name : relative + L"\\" + sub.name, visitor, mark);
    }
}

void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full)) {
    TreeVisitor visitor;
    visitor.onFolder = onFolder;
    WalkTree(folder, std::wstring(), visitor);
}

bool ChangedSince(const std::wstring &full, const FoundEntry &entry, ULONGLONG since) {
    if (entry.lastWriteTime >= since)
        return true;
    if (entry.changeTime != 0)
        return entry.changeTime >= since;
    HANDLE file = CreateFileW(FileSystemPath(full).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILE_BASIC_INFO basic = {};
    bool changed = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
                   (ULONGLONG)basic.ChangeTime.QuadPart >= since;
    CloseHandle(file);
    return changed;
}

bool ArrivedSince(const FoundEntry &folder, ULONGLONG since) {
    return folder.changeTime >= since && folder.lastWriteTime < since;
}
