#include "monitor/transient_names.h"

#include <windows.h>

#include <cwchar>

namespace {

bool Same(const wchar_t *a, size_t n, const wchar_t *b) {
    return wcslen(b) == n && CompareStringOrdinal(a, (int)n, b, (int)n, TRUE) == CSTR_EQUAL;
}

bool StartsWith(const std::wstring &name, const wchar_t *prefix) {
    size_t n = wcslen(prefix);
    return name.size() >= n && Same(name.c_str(), n, prefix);
}

bool EndsWith(const std::wstring &name, const wchar_t *suffix) {
    size_t n = wcslen(suffix);
    return name.size() >= n && Same(name.c_str() + name.size() - n, n, suffix);
}

} // namespace

bool IsTransientName(const std::wstring &name) {
    return StartsWith(name, L"~$") || (StartsWith(name, L".~lock.") && EndsWith(name, L"#")) ||
           (name.size() > 4 && StartsWith(name, L"~") && EndsWith(name, L".tmp")) ||
           EndsWith(name, L".crdownload") || EndsWith(name, L".part") ||
           EndsWith(name, L".partial") || Same(name.c_str(), name.size(), L"Thumbs.db") ||
           Same(name.c_str(), name.size(), L"desktop.ini");
}
