#include "monitor/file_identity.h"

#include "monitor/long_path.h"

#include <cstring>

bool IdentityKnown(const FileIdentity &identity) {
    static const BYTE kZero[16] = {};
    return std::memcmp(identity.id, kZero, sizeof kZero) != 0;
}

bool ReadFileIdentity(HANDLE file, FileIdentity &identity) {
    identity = FileIdentity();
    FILE_ID_INFO info = {};
    if (GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof info)) {
        identity.volume = info.VolumeSerialNumber;
        static_assert(sizeof info.FileId.Identifier == sizeof identity.id, "128-bit file ID");
        std::memcpy(identity.id, info.FileId.Identifier, sizeof identity.id);
        return true;
    }
    // Older systems and some file systems know only the 64-bit index.
    BY_HANDLE_FILE_INFORMATION basic;
    if (!GetFileInformationByHandle(file, &basic))
        return false;
    identity.volume = basic.dwVolumeSerialNumber;
    ULONGLONG index = ((ULONGLONG)basic.nFileIndexHigh << 32) | basic.nFileIndexLow;
    std::memcpy(identity.id, &index, sizeof index);
    return true;
}

bool ReadPathIdentity(const std::wstring &path, FileIdentity &identity) {
    HANDLE file = CreateFileW(FileSystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = ReadFileIdentity(file, identity);
    CloseHandle(file);
    return ok;
}

bool SameFileIdentity(const FileIdentity &first, const FileIdentity &second) {
    return IdentityKnown(first) && IdentityKnown(second) && first.volume == second.volume &&
           std::memcmp(first.id, second.id, sizeof first.id) == 0;
}

bool KnownToDiffer(const FileIdentity &first, const FileIdentity &second) {
    return IdentityKnown(first) && IdentityKnown(second) && !SameFileIdentity(first, second);
}

bool IsSameFile(const std::wstring &first, const std::wstring &second) {
    std::wstring a = FullPath(first), b = FullPath(second);
    if (CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
        CSTR_EQUAL)
        return true;
    // Other spellings of one file: short names, links, a second path to the same volume.
    // The second path (a destination) is usually missing: look at it first.
    FileIdentity identityA, identityB;
    if (!ReadPathIdentity(second, identityB) || !ReadPathIdentity(first, identityA))
        return false;
    return SameFileIdentity(identityA, identityB);
}
