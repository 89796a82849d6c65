#include "monitor/safe_copy.h"

#include "monitor/long_path.h"
#include "monitor/tree_walk.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

namespace {

const wchar_t kTemporaryPrefix[] = L"~vantrel-";
const wchar_t kTemporarySuffix[] = L".tmp";
const DWORD kInTheWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

std::atomic<unsigned> g_temporaryCount{0}; // numbers this process's temporary files

std::wstring NewTemporaryPath(const std::wstring &folder) {
    wchar_t name[64];
    swprintf(name, 64, L"%ls%lx-%x%ls", kTemporaryPrefix, GetCurrentProcessId(),
             g_temporaryCount.fetch_add(1), kTemporarySuffix);
    return folder + L"\\" + name;
}

// A temporary copy of a read-only source is read-only too, and DeleteFileW refuses those.
void RemoveTemporary(const std::wstring &path) {
    std::wstring fsPath = FileSystemPath(path);
    SetFileAttributesW(fsPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(fsPath.c_str());
}

// Moves the finished temporary copy over the destination. A read-only (or hidden or system)
// destination refuses to be replaced: it is our own copy, so what stands in the way is
// cleared, and put back if the move still fails.
bool ReplaceDestination(const std::wstring &temporary, const std::wstring &dstFull, DWORD &error) {
    std::wstring from = FileSystemPath(temporary), to = FileSystemPath(dstFull);
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(from.c_str(), to.c_str(), flags))
        return true;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED)
        return false;
    DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & kInTheWay) ||
        !SetFileAttributesW(to.c_str(), attributes & ~kInTheWay))
        return false;
    if (MoveFileExW(from.c_str(), to.c_str(), flags))
        return true;
    error = GetLastError();
    SetFileAttributesW(to.c_str(), attributes);
    return false;
}

bool EndsWithNoCase(const std::wstring &text, const wchar_t *suffix) {
    size_t n = wcslen(suffix);
    return text.size() >= n && CompareStringOrdinal(text.c_str() + text.size() - n, (int)n, suffix,
                                                    (int)n, TRUE) == CSTR_EQUAL;
}

bool Asked(const std::function<bool()> &cancelled) {
    return cancelled && cancelled();
}

// Called by the system as the copy goes on.
DWORD CALLBACK OnCopyProgress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                              DWORD, HANDLE, HANDLE, LPVOID cancelled) {
    return Asked(*(const std::function<bool()> *)cancelled) ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

// Gives a copy in place its source's last-write time again; a failure leaves the copy as it is
// (it only looks out of date, and is copied again).
void KeepLastWrite(const std::wstring &dstFull, ULONGLONG lastWrite) {
    HANDLE file = CreateFileW(FileSystemPath(dstFull).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILETIME time;
    time.dwLowDateTime = (DWORD)lastWrite;
    time.dwHighDateTime = (DWORD)(lastWrite >> 32);
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
}

} // namespace

bool CopyFileSafely(const std::wstring &srcFull, const std::wstring &dstFull, DWORD &error,
                    const std::function<bool()> &cancelled, ULONGLONG lastWrite) {
    std::wstring temporary = NewTemporaryPath(FolderOf(dstFull));
    BOOL cancel = FALSE;
    // The temporary name is new: nothing to replace there, and no search for what is in its way.
    if (!CopyFileExW(FileSystemPath(srcFull).c_str(), FileSystemPath(temporary).c_str(),
                     OnCopyProgress, (LPVOID)&cancelled, &cancel, COPY_FILE_FAIL_IF_EXISTS)) {
        error = Asked(cancelled) ? ERROR_REQUEST_ABORTED : GetLastError();
        RemoveTemporary(temporary);
        return false;
    }
    // The copy ran to its end although its generation stopped: a later one owns the name now.
    if (Asked(cancelled)) {
        error = ERROR_REQUEST_ABORTED;
        RemoveTemporary(temporary);
        return false;
    }
    if (!ReplaceDestination(temporary, dstFull, error)) {
        RemoveTemporary(temporary);
        return false;
    }
    if (lastWrite != 0)
        KeepLastWrite(dstFull, lastWrite);
    return true;
}

bool ReadFileFacts(const std::wstring &path, DWORD access, DWORD share, FileFacts &facts,
                   DWORD &error) {
    HANDLE file = CreateFileW(FileSystemPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    bool read = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
                GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard);
    error = read ? (standard.Directory ? ERROR_DIRECTORY : ERROR_SUCCESS) : GetLastError();
    CloseHandle(file);
    if (error != ERROR_SUCCESS)
        return false;
    facts.attributes = basic.FileAttributes;
    facts.size = (ULONGLONG)standard.EndOfFile.QuadPart;
    facts.lastWrite = (ULONGLONG)basic.LastWriteTime.QuadPart;
    facts.changeTime = (ULONGLONG)basic.ChangeTime.QuadPart;
    return true;
}

bool LookUpFileFacts(const std::wstring &path, FileFacts &facts, DWORD &error) {
    // NtQueryFullAttributesFile (what GetFileAttributesExW calls, which leaves out the change
    // time), by the object name of the path: \??\C:\... or \??\UNC\server\share\...
    struct NetworkOpenInformation {
        LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, allocationSize,
            endOfFile;
        ULONG fileAttributes;
    };
    struct ObjectName {
        USHORT length, maximumLength;
        PWSTR buffer;
    };
    struct ObjectAttributes {
        ULONG length;
        HANDLE rootDirectory;
        ObjectName *objectName;
        ULONG attributes;
        PVOID securityDescriptor, securityQualityOfService;
    };
    typedef LONG(NTAPI * QueryFullAttributes)(ObjectAttributes *, NetworkOpenInformation *);
    typedef ULONG(NTAPI * StatusToError)(LONG);
    static const QueryFullAttributes query = (QueryFullAttributes)(void *)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQueryFullAttributesFile");
    static const StatusToError toError = (StatusToError)(void *)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError");
    std::wstring name = ExtendedLengthPath(path);
    if (!query || !toError || name.compare(0, 4, L"\\\\?\\") != 0 || name.size() > 32000) {
        DWORD failure = 0;
        bool read =
            ReadFileFacts(path, FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, facts, failure);
        error = failure == ERROR_DIRECTORY ? ERROR_SUCCESS : failure;
        return read || failure == ERROR_DIRECTORY;
    }
    name[1] = L'?'; // the object name: \??\ in place of \\?\ in front
    ObjectName objectName = {USHORT(name.size() * sizeof(wchar_t)),
                             USHORT(name.size() * sizeof(wchar_t)), name.data()};
    const ULONG kCaseInsensitive = 0x40; // OBJ_CASE_INSENSITIVE
    ObjectAttributes attributes = {sizeof attributes, nullptr, &objectName,
                                   kCaseInsensitive,  nullptr, nullptr};
    NetworkOpenInformation information = {};
    LONG status = query(&attributes, &information);
    if (status < 0) {
        error = toError(status);
        return false;
    }
    error = ERROR_SUCCESS;
    facts.attributes = information.fileAttributes;
    facts.size = (ULONGLONG)information.endOfFile.QuadPart;
    facts.lastWrite = (ULONGLONG)information.lastWriteTime.QuadPart;
    facts.changeTime = (ULONGLONG)information.changeTime.QuadPart;
    return true;
}

bool ReadFileTimes(const std::wstring &path, ULONGLONG &size, ULONGLONG &lastWrite,
                   ULONGLONG &changeTime, DWORD *error) {
    FileFacts facts;
    DWORD failure = 0;
    bool read =
        LookUpFileFacts(path, facts, failure) && !(facts.attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (read == false && failure == ERROR_SUCCESS)
        failure = ERROR_DIRECTORY;
    if (error)
        *error = failure;
    if (read) {
        size = facts.size;
        lastWrite = facts.lastWrite;
        changeTime = facts.changeTime;
    }
    return read;
}

BOOL(WINAPI *g_createDirectory)(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) = CreateDirectoryW;

bool FolderIsThere(const std::wstring &folder) {
    std::wstring path = folder;
    if (path.size() == 2 && path[1] == L':')
        path += L'\\'; // "E:" alone is the current folder of drive E
    DWORD attributes = GetFileAttributesW(FileSystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolderTree(const std::wstring &folder) {
    std::wstring path = folder;
    // Trailing separators go, but a root keeps its own ("E:\\").
    size_t root = RootLength(path);
    while (path.size() > std::max<size_t>(root, 1) && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    if (path.empty())
        return false;
    if (FolderIsThere(path))
        return true;
    if (path.size() <= RootLength(path))
        return false; // a drive or a share is plugged in or connected, never made
    if (g_createDirectory(FileSystemPath(path).c_str(), nullptr))
        return true;
    if (GetLastError() != ERROR_PATH_NOT_FOUND)
        return FolderIsThere(path); // made meanwhile by someone else, or not to be made
    std::wstring parent = ParentFolder(path);
    if (parent.empty() || !CreateFolderTree(parent))
        return false;
    return g_createDirectory(FileSystemPath(path).c_str(), nullptr) || FolderIsThere(path);
}

bool IsTemporaryCopyName(const std::wstring &fileName) {
    size_t n = wcslen(kTemporaryPrefix);
    return fileName.size() > n &&
           CompareStringOrdinal(fileName.c_str(), (int)n, kTemporaryPrefix, (int)n, TRUE) ==
               CSTR_EQUAL &&
           EndsWithNoCase(fileName, kTemporarySuffix);
}

void RemoveLeftoverCopies(const std::wstring &folder) {
    // A process that still runs may have copies under way here: this one (another pair), or
    // another Vantrel, of this user or another (whose process we may not open: kept too).
    auto writerHasEnded = [](const std::wstring &name) {
        wchar_t *end = nullptr;
        unsigned long id = wcstoul(name.c_str() + wcslen(kTemporaryPrefix), &end, 16);
        if (*end != L'-')
            return true; // no process's copy under way: we never write such a name
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
        if (!process)
            return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
        bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        CloseHandle(process);
        return ended;
    };
    WIN32_FIND_DATAW found;
    std::wstring pattern = folder + L"\\" + kTemporaryPrefix + L"*" + kTemporarySuffix;
    HANDLE find = FindFirstFileExW(FileSystemPath(pattern).c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (IsTemporaryCopyName(name) && writerHasEnded(name))
            RemoveTemporary(folder + L"\\" + name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}
