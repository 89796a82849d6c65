#include "monitor/long_path.h"

#include <windows.h>

namespace {

// Folders are the stricter case: CreateDirectoryW leaves room for an 8.3 name (12 characters).
const size_t kLongestPlainPath = MAX_PATH - 12 - 1;

bool StartsWith(const std::wstring &text, const wchar_t *prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "server\share" of a share path without its leading separators: where its root ends.
size_t ShareRootEnd(const std::wstring &path, size_t serverStart) {
    size_t shareStart = path.find_first_of(L"\\/", serverStart);
    if (shareStart == std::wstring::npos)
        return path.size();
    size_t shareEnd = path.find_first_of(L"\\/", shareStart + 1);
    return shareEnd == std::wstring::npos ? path.size() : shareEnd;
}

} // namespace

std::wstring FullPath(const std::wstring &path) {
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

std::wstring ExtendedLengthPath(const std::wstring &path) {
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\") || StartsWith(path, L"\\??\\"))
        return path;
    std::wstring full = FullPath(path);
    if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\"))
        return full;
    if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1]))
        return L"\\\\?\\UNC\\" + full.substr(2);
    if (full.size() >= 3 && full[1] == L':' && IsSeparator(full[2]))
        return L"\\\\?\\" + full;
    return full;
}

std::wstring FileSystemPath(const std::wstring &path) {
    return path.size() <= kLongestPlainPath ? path : ExtendedLengthPath(path);
}

std::wstring FoldCase(const std::wstring &path) {
    std::wstring folded = path;
    if (!folded.empty())
        CharUpperBuffW(folded.data(), (DWORD)folded.size());
    return folded;
}

unsigned long long PathHash(const std::wstring &path) {
    unsigned long long hash = 14695981039346656037ULL;
    for (wchar_t c : FoldCase(FullPath(path))) {
        hash ^= (unsigned short)c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::wstring FolderOf(const std::wstring &path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring(L".") : path.substr(0, cut);
}

std::wstring ParentFolder(const std::wstring &path) {
    size_t cut = path.find_last_of(L"\\/");
    size_t root = RootLength(path);
    if (cut == std::wstring::npos || path.size() <= root || cut + 1 < root)
        return std::wstring();
    return path.substr(0, cut + 1 == root ? root : cut);
}

size_t RootLength(const std::wstring &path) {
    if (StartsWith(path, L"\\\\?\\UNC\\"))
        return ShareRootEnd(path, 8);
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) {
        size_t end = path.find(L'\\', 4);
        return end == std::wstring::npos ? path.size() : end + 1;
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
        return ShareRootEnd(path, 2);
    if (path.size() >= 2 && path[1] == L':')
        return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
    if (!path.empty() && IsSeparator(path[0]))
        return 1;
    return 0;
}
