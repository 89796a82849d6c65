// The copy pass of one batch, and the tree walks that catch files no record names.
//
// A batch may name one file many times (some systems report every write() as its own
// modification), so the pass first finds the last record of each source file and copies
// only there: the destination ends as with one copy per record, at a fraction of the cost.
#include "monitor/copier.h"

#include "monitor/trace.h"

#include <functional>
#include <unordered_map>

namespace {

const int kAttemptLimit = 5;
const DWORD kRetryPauseMs = 200;

// What one source path does in a batch: where its last copied record stands, and whether
// any of its records says that it arrived (added or renamed into place).
struct SourceInBatch {
    size_t lastRecord;
    bool arrived;
};

bool IsCopiedAction(DWORD action) {
    return action == FILE_ACTION_ADDED || action == FILE_ACTION_MODIFIED ||
           action == FILE_ACTION_RENAMED_NEW_NAME;
}

std::wstring BaseNameOf(const std::wstring &name) {
    size_t cut = name.find_last_of(L"\\/");
    return cut == std::wstring::npos ? name : name.substr(cut + 1);
}

// File names compare without regard to case, as the file system does.
std::wstring FoldCase(const std::wstring &text) {
    std::wstring folded = text;
    if (!folded.empty())
        CharUpperBuffW(folded.data(), (DWORD)folded.size());
    return folded;
}

ULONGLONG TimeValue(const FILETIME &time) {
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

std::wstring FullPathOf(const std::wstring &path) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    return full;
}

bool IdentityOf(const std::wstring &path, BY_HANDLE_FILE_INFORMATION &info) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    return ok;
}

// One entry of a folder listing.
struct FoundEntry {
    std::wstring name;
    DWORD attributes;
    ULONGLONG size;
    ULONGLONG lastWriteTime;
    ULONGLONG changeTime; // 0 when the listing does not tell it
};

void ListWithFindFile(const std::wstring &folder, std::vector<FoundEntry> &entries) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        ULONGLONG size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        entries.push_back(FoundEntry{found.cFileName, found.dwFileAttributes, size,
                                     TimeValue(found.ftLastWriteTime), 0});
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// Lists a folder through its handle, which gives every entry's change time with the listing
// (no file has to be opened for it); falls back on FindFirstFileExW where that is refused.
void ListFolder(const std::wstring &folder, std::vector<FoundEntry> &entries) {
    entries.clear();
    HANDLE dir = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
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

// True when the destination already holds a copy of the same size and last-write time.
bool DestinationIsCurrent(const FoundEntry &source, const std::wstring &dstFull) {
    WIN32_FILE_ATTRIBUTE_DATA dst;
    if (!GetFileAttributesExW(dstFull.c_str(), GetFileExInfoStandard, &dst))
        return false;
    return source.size == (((ULONGLONG)dst.nFileSizeHigh << 32) | dst.nFileSizeLow) &&
           source.lastWriteTime == TimeValue(dst.ftLastWriteTime);
}

// True when the file at `full` was written or changed at or after `since`. A file moved into
// the tree keeps its old last-write time; its change time moves.
bool ChangedSince(const std::wstring &full, const FoundEntry &found, ULONGLONG since) {
    if (found.lastWriteTime >= since)
        return true;
    if (found.changeTime != 0)
        return found.changeTime >= since;
    HANDLE file = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
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

using FileVisitor =
    std::function<void(const std::wstring &full, const std::wstring &relative, const FoundEntry &)>;

// Walks the tree below `folder`: onFile for every file, onFolder for every folder before its
// contents, each with its full path and its path relative to the walk's root.
void WalkTree(const std::wstring &folder, const std::wstring &relative, const FileVisitor &onFile,
              const std::function<void(const std::wstring &)> &onFolder) {
    std::vector<FoundEntry> entries;
    ListFolder(folder, entries);
    std::vector<std::wstring> subfolders;
    for (const FoundEntry &entry : entries) {
        if (entry.name == L"." || entry.name == L"..")
            continue;
        std::wstring full = folder + L"\\" + entry.name;
        std::wstring rel = relative.empty() ? entry.name : relative + L"\\" + entry.name;
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A linked folder may lead back into the tree; it is not followed.
            if (!(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                subfolders.push_back(entry.name);
        } else if (onFile) {
            onFile(full, rel, entry);
        }
    }
    entries.clear();
    for (const std::wstring &name : subfolders) {
        std::wstring full = folder + L"\\" + name;
        if (onFolder)
            onFolder(full);
        WalkTree(full, relative.empty() ? name : relative + L"\\" + name, onFile, onFolder);
    }
}

// Copies srcFull to dstFull with the retries for files held by their writers. Returns true
// when a copy was made.
bool CopyWithRetries(const std::wstring &srcFull, const std::wstring &dstFull) {
    if (IsSameFile(srcFull, dstFull)) {
        // The destination is the source itself (the destination folder is the watched folder
        // or lies inside the tree): copying would truncate it, and the copy would come back
        // as a change of the tree.
        Trace512(L"Skipping copy onto its own source: %ls\n", srcFull.c_str());
        return false;
    }
    bool copied = false;
    int attempt = 0;
    while (attempt < kAttemptLimit && !copied) {
        copied = CopyFileW(srcFull.c_str(), dstFull.c_str(), FALSE) != FALSE;
        if (!copied) {
            DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                error == ERROR_ACCESS_DENIED) {
                Sleep(kRetryPauseMs);
                ++attempt;
                continue;
            }
            Trace512(L"CopyFile failed (attempt %d): %ls -> %ls err=%u\n", attempt + 1,
                     srcFull.c_str(), dstFull.c_str(), error);
            break;
        }
        ++attempt;
    }
    if (copied)
        Trace512(L"CopyFile succeeded: %ls -> %ls\n", srcFull.c_str(), dstFull.c_str());
    return copied;
}

// Mirrors one file found by a walk; returns true when a copy was made.
bool MirrorWalkedFile(const std::wstring &srcFull, const FoundEntry &source,
                      const std::wstring &destRoot) {
    CreateDirectoryW(destRoot.c_str(), nullptr);
    std::wstring dstFull = destRoot + L"\\" + source.name;
    if (DestinationIsCurrent(source, dstFull))
        return false;
    return CopyWithRetries(srcFull, dstFull);
}

} // namespace

bool IsSameFile(const std::wstring &first, const std::wstring &second) {
    std::wstring a = FullPathOf(first), b = FullPathOf(second);
    if (CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
        CSTR_EQUAL)
        return true;
    // Other spellings of one file: short names, links, a second path to the same volume.
    // The second path (a destination) is usually missing: look at it first.
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    if (!IdentityOf(second, infoB) || !IdentityOf(first, infoA))
        return false;
    return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

void CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes) {
    std::unordered_map<std::wstring, SourceInBatch> sources;
    for (size_t k = 0; k < changes.size(); ++k) {
        const FolderChange &change = changes[k];
        if (change.name.empty() || !IsCopiedAction(change.action))
            continue;
        SourceInBatch &source = sources[FoldCase(change.name)];
        source.lastRecord = k;
        source.arrived = source.arrived || change.action != FILE_ACTION_MODIFIED;
    }

    for (size_t k = 0; k < changes.size(); ++k) {
        const FolderChange &change = changes[k];
        if (change.name.empty() || !IsCopiedAction(change.action))
            continue;
        const SourceInBatch &source = sources[FoldCase(change.name)];
        if (source.lastRecord != k)
            continue;
        std::wstring srcFull = path + L"\\" + change.name;
        std::wstring baseName = BaseNameOf(change.name);
        if (destRoot.empty())
            continue;
        CreateDirectoryW(destRoot.c_str(), nullptr);
        std::wstring dstFull = destRoot + L"\\" + baseName;
        DWORD attributes = GetFileAttributesW(srcFull.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", srcFull.c_str(),
                     attributes);
            if (attributes != INVALID_FILE_ATTRIBUTES && source.arrived) {
                // A folder moved or created in place brings files no record will name.
                // Files with a later record of their own are copied at that record.
                WalkTree(
                    srcFull, change.name,
                    [&](const std::wstring &full, const std::wstring &rel,
                        const FoundEntry &found) {
                        auto later = sources.find(FoldCase(rel));
                        if (later != sources.end() && later->second.lastRecord > k)
                            return;
                        MirrorWalkedFile(full, found, destRoot);
                    },
                    nullptr);
            }
            continue;
        }
        CopyWithRetries(srcFull, dstFull);
    }
}

size_t CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                             ULONGLONG since) {
    size_t copied = 0;
    if (destRoot.empty())
        return 0;
    WalkTree(
        path, std::wstring(),
        [&](const std::wstring &full, const std::wstring &, const FoundEntry &found) {
            if (ChangedSince(full, found, since) && MirrorWalkedFile(full, found, destRoot))
                ++copied;
        },
        nullptr);
    return copied;
}

void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full)) {
    WalkTree(folder, std::wstring(), nullptr, onFolder);
}
