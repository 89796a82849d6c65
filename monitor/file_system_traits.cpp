#include "monitor/file_system_traits.h"

#include "monitor/long_path.h"
#include "monitor/system_behaviour.h"

#include <cwchar>

namespace {

const ULONGLONG kMillisecond = 10000;
const ULONGLONG kSecond = 1000 * kMillisecond;
const ULONGLONG kTwoSecondStep = 2 * kSecond;

FileSystemTraits FatLike() {
    FileSystemTraits traits;
    traits.timeStep = kTwoSecondStep;
    traits.keepsChangeTime = false;
    traits.stableFileIds = false;
    return traits;
}

// The folder's own times in whole seconds, its change time no other than its last write.
bool TimesInWholeSeconds(const std::wstring &folder) {
    HANDLE handle = CreateFileW(FileSystemPath(folder).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    FILE_BASIC_INFO basic = {};
    bool read = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
    CloseHandle(handle);
    ULONGLONG lastWrite = (ULONGLONG)basic.LastWriteTime.QuadPart;
    ULONGLONG change = (ULONGLONG)basic.ChangeTime.QuadPart;
    return read && lastWrite != 0 && lastWrite % kSecond == 0 &&
           (change == 0 || change == lastWrite);
}

} // namespace

FileSystemTraits TraitsOfFileSystemAt(const std::wstring &folder) {
    FileSystemTraits traits;
    traits.timeStep = kFineTimeStep;
    bool namesTold = !ThisSystem().fileSystemsAllNamedNtfs;
    std::wstring full = FullPath(folder);
    wchar_t root[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    DWORD flags = 0;
    if (GetVolumePathNameW(FileSystemPath(full).c_str(), root, MAX_PATH)) {
        if (GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, fileSystem,
                                  MAX_PATH)) {
            if (_wcsicmp(fileSystem, L"FAT") == 0 || _wcsicmp(fileSystem, L"FAT32") == 0 ||
                _wcsicmp(fileSystem, L"exFAT") == 0)
                return FatLike();
            // A file system that cannot open files by their IDs may not keep them either.
            if (namesTold && !(flags & FILE_SUPPORTS_OPEN_BY_FILE_ID))
                traits.stableFileIds = false;
        }
        if (GetDriveTypeW(root) == DRIVE_REMOTE)
            traits.timeStep = kTwoSecondStep; // the server's clock is not ours
    }
    // Where every file system is named NTFS, a FAT-like one shows in its times. Elsewhere that
    // would be a guess: an NTFS folder's times fall on a whole second now and then.
    if (!namesTold && TimesInWholeSeconds(full))
        return FatLike();
    return traits;
}
