#include "store/pair_check.h"

#include "monitor/file_identity.h"

static bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

static bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\u3000'; // the Japanese input's wide blank too
}

// "C:\..." and "\\server\share\..." (the \\?\ forms among them), not "C:", "C:x" or "\x".
static bool IsFullPath(const std::wstring &path) {
    bool driveLetter = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') ||
                                            (path[0] >= L'a' && path[0] <= L'z'));
    if (driveLetter && path[1] == L':' && IsSeparator(path[2]))
        return true;
    return path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
           !IsSeparator(path[2]);
}

static std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && IsSeparator(path.back()))
        path.pop_back();
    return path;
}

PairRefusal CheckFolderPair(const std::wstring &source, const std::wstring &dest) {
    if (!IsFullPath(source) || (!dest.empty() && !IsFullPath(dest)))
        return PairRefusal::RelativePath;
    if (!dest.empty() &&
        IsSameFile(WithoutTrailingSeparators(source), WithoutTrailingSeparators(dest)))
        return PairRefusal::SameFolder;
    return PairRefusal::None;
}

std::wstring TrimTypedPath(const std::wstring &typed) {
    auto trim = [](const std::wstring &text) {
        size_t begin = 0, end = text.size();
        while (begin < end && IsBlank(text[begin]))
            ++begin;
        while (end > begin && IsBlank(text[end - 1]))
            --end;
        return text.substr(begin, end - begin);
    };
    std::wstring path = trim(typed);
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
        path = trim(path.substr(1, path.size() - 2));
    return path;
}
