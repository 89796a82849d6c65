#include "monitor/volume_folders.h"

#include "monitor/long_path.h"

#include <windows.h>

namespace {

bool SameName(const std::wstring &name, const wchar_t *own) {
    return CompareStringOrdinal(name.c_str(), (int)name.size(), own, -1, TRUE) == CSTR_EQUAL;
}

} // namespace

bool IsVolumeRoot(const std::wstring &folder) {
    std::wstring full = FullPath(folder);
    if (full.empty())
        return false;
    if (full.back() != L'\\')
        full += L'\\';
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(FileSystemPath(full).c_str(), volume, MAX_PATH))
        return full.size() == RootLength(full) || full.size() == RootLength(full) + 1;
    std::wstring root = volume;
    return CompareStringOrdinal(root.c_str(), (int)root.size(), full.c_str(), (int)full.size(),
                                TRUE) == CSTR_EQUAL;
}

bool IsInVolumeOwnFolder(const std::wstring &relative) {
    size_t cut = relative.find_first_of(L"\\/");
    std::wstring first = cut == std::wstring::npos ? relative : relative.substr(0, cut);
    return SameName(first, L"$RECYCLE.BIN") || SameName(first, L"RECYCLER") ||
           SameName(first, L"System Volume Information");
}
