#include "monitor/file_system_times.h"

#include "monitor/long_path.h"

#include <cwchar>

namespace {

const ULONGLONG kMillisecond = 10000;
const ULONGLONG kClockTickStep = 100 * kMillisecond; // the system clock's coarse ticks, with room
const ULONGLONG kTwoSecondStep = 2000 * kMillisecond;

} // namespace

FileSystemTimes TimesOfFileSystemAt(const std::wstring &path) {
    FileSystemTimes times;
    times.step = kClockTickStep;
    std::wstring full = FullPath(path);
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(FileSystemPath(full).c_str(), root, MAX_PATH))
        return times;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH) &&
        (_wcsicmp(fileSystem, L"FAT") == 0 || _wcsicmp(fileSystem, L"FAT32") == 0 ||
         _wcsicmp(fileSystem, L"exFAT") == 0)) {
        times.step = kTwoSecondStep;
        times.keepsChangeTime = false;
        return times;
    }
    if (GetDriveTypeW(root) == DRIVE_REMOTE)
        times.step = kTwoSecondStep; // the server's clock is not ours
    return times;
}
