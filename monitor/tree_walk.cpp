#include "monitor/tree_walk.h"

#include "monitor/long_path.h"
#include "monitor/trace.h"

#include <algorithm>
#include <cstring>

namespace {

bool ListWithFindFile(const std::wstring &folder, std::vector<FoundEntry> &entries, DWORD &error) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW(FileSystemPath(folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    do {
        ULONGLONG size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        DWORD tag = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? found.dwReserved0 : 0;
        entries.push_back(FoundEntry{found.cFileName, found.dwFileAttributes, size,
                                     FileTimeValue(found.ftCreationTime),
                                     FileTimeValue(found.ftLastWriteTime), 0, tag, 0});
    } while (FindNextFileW(find, &found));
    error = GetLastError();
    FindClose(find);
    return error == ERROR_NO_MORE_FILES;
}

bool IsLinkTag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag == 0 || IsReparseTagNameSurrogate(tag));
}

void TraceLink(const std::wstring &full) {
    Trace512(L"Skipping link: %ls\n", full.c_str());
}

} // namespace

HANDLE OpenFolderToList(const std::wstring &path, DWORD flags) {
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

HANDLE (*g_openFolderToList)(const std::wstring &path, DWORD flags) = OpenFolderToList;

bool IsGoneError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsLink(const FoundEntry &entry) {
    return IsLinkTag(entry.attributes, entry.reparseTag);
}

bool IsLinkAt(const std::wstring &path) {
    // Most folders are no reparse point at all: that needs no look at the folder's parent.
    DWORD attributes = GetFileAttributesW(FileSystemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW(FileSystemPath(path).c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    return IsLinkTag(found.dwFileAttributes, found.dwReserved0);
}

bool ListFolder(const std::wstring &folder, std::vector<FoundEntry> &entries, DWORD &error,
                bool followLink, FileIdentity *identity) {
    entries.clear();
    error = ERROR_SUCCESS;
    if (identity)
        *identity = FileIdentity();
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE dir = g_openFolderToList(FileSystemPath(folder), flags);
    if (dir == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    // Made into a link since it was listed as a folder: not ours to enter.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!followLink && GetFileInformationByHandleEx(dir, FileAttributeTagInfo, &tag, sizeof tag) &&
        IsLinkTag(tag.FileAttributes, tag.ReparseTag)) {
        CloseHandle(dir);
        return true;
    }
    if (identity)
        ReadFileIdentity(dir, *identity);
    std::vector<LONGLONG> buffer(8192); // 64 KiB, aligned as the records need
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    bool listed = false;
    while (GetFileInformationByHandleEx(dir, infoClass, buffer.data(),
                                        DWORD(buffer.size() * sizeof(LONGLONG)))) {
        listed = true;
        infoClass = FileIdBothDirectoryInfo;
        const BYTE *at = (const BYTE *)buffer.data();
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO *info = (const FILE_ID_BOTH_DIR_INFO *)at;
            // For a reparse point the listing gives its tag where the size of the extended
            // attributes would be. An ID of all ones is one that does not fit 64 bits.
            DWORD reparseTag =
                (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info->EaSize : 0;
            ULONGLONG fileId = (ULONGLONG)info->FileId.QuadPart;
            entries.push_back(FoundEntry{
                std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)),
                info->FileAttributes, (ULONGLONG)info->EndOfFile.QuadPart,
                (ULONGLONG)info->CreationTime.QuadPart, (ULONGLONG)info->LastWriteTime.QuadPart,
                (ULONGLONG)info->ChangeTime.QuadPart, reparseTag, fileId == ~0ULL ? 0 : fileId});
            if (info->NextEntryOffset == 0)
                break;
            at += info->NextEntryOffset;
        }
    }
    error = GetLastError();
    CloseHandle(dir);
    if (error == ERROR_NO_MORE_FILES) {
        error = ERROR_SUCCESS;
        return true;
    }
    // Cut short part-way: what was listed is not the folder.
    if (listed)
        return false;
    // A file system that does not list through handles.
    entries.clear();
    return ListWithFindFile(folder, entries, error);
}

namespace {

// Walks `folder` (below the root: `self` is its entry in the folder that holds it, whose last
// write is parentLastWrite), then everything below it.
bool WalkFolder(const std::wstring &folder, const std::wstring &relative, const FoundEntry *self,
                ULONGLONG parentLastWrite, ULONGLONG volume, const TreeVisitor &visitor,
                ULONGLONG markedAt) {
    std::vector<FoundEntry> entries;
    DWORD error = ERROR_SUCCESS;
    FileIdentity root;
    if (!ListFolder(folder, entries, error, relative.empty(), self ? nullptr : &root)) {
        if (IsGoneError(error))
            return true; // renamed or removed since its parent was listed: nothing below
        return visitor.onUnlisted && visitor.onUnlisted(folder, relative, error, markedAt);
    }
    if (!self)
        volume = root.volume;
    if (self && visitor.markFolder) {
        // Its identity as the listing of its parent gave it: no call of its own.
        FileIdentity identity;
        if (self->fileId != 0) {
            identity.volume = volume;
            std::memcpy(identity.id, &self->fileId, sizeof self->fileId);
        }
        markedAt = std::max(markedAt, visitor.markFolder(folder, *self, identity, parentLastWrite));
    }
    std::vector<FoundEntry> subfolders;
    ULONGLONG lastWrite = 0; // this folder's own, from its "." entry
    for (const FoundEntry &entry : entries) {
        if (entry.name == L".")
            lastWrite = entry.lastWriteTime;
        if (entry.name == L"." || entry.name == L"..")
            continue;
        if (visitor.stopped && visitor.stopped())
            return false;
        std::wstring full = folder + L"\\" + entry.name;
        if (IsLink(entry)) {
            TraceLink(full);
        } else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            subfolders.push_back(entry);
        } else if (visitor.onFile) {
            std::wstring rel = relative.empty() ? entry.name : relative + L"\\" + entry.name;
            visitor.onFile(full, rel, entry, markedAt);
        }
    }
    entries.clear();
    bool complete = true;
    for (const FoundEntry &sub : subfolders) {
        if (visitor.stopped && visitor.stopped())
            return false;
        std::wstring full = folder + L"\\" + sub.name;
        if (visitor.onFolder && !visitor.onFolder(full))
            continue;
        std::wstring rel = relative.empty() ? sub.name : relative + L"\\" + sub.name;
        if (!WalkFolder(full, rel, &sub, lastWrite, volume, visitor, markedAt)) {
            if (visitor.stopped && visitor.stopped())
                return false;
            complete = false;
        }
    }
    return complete;
}

} // namespace

bool WalkTree(const std::wstring &folder, const std::wstring &relative, const TreeVisitor &visitor,
              ULONGLONG markedAt) {
    return WalkFolder(folder, relative, nullptr, 0, 0, visitor, markedAt);
}

void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full)) {
    TreeVisitor visitor;
    visitor.onFolder = [onFolder](const std::wstring &full) {
        onFolder(full);
        return true;
    };
    WalkTree(folder, std::wstring(), visitor);
}

bool ChangedSince(const std::wstring &full, const FoundEntry &entry, ULONGLONG since) {
    if (entry.lastWriteTime >= since || entry.creationTime >= since)
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

bool ArrivedSince(const FoundEntry &folder, ULONGLONG parentLastWrite, ULONGLONG since) {
    return folder.changeTime != 0 && folder.changeTime >= since &&
           (folder.lastWriteTime < since || (parentLastWrite != 0 && parentLastWrite >= since));
}

ULONGLONG LastChangeOf(const FoundEntry &entry) {
    return std::max({entry.lastWriteTime, entry.changeTime, entry.creationTime});
}
