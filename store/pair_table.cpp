#include "store/pair_table.h"

#include "store/pair_file.h"

#include <windows.h>

std::vector<std::wstring> g_sourceFolders;
std::vector<std::wstring> g_destFolders;

static constexpr DWORD kEnvironmentBufferSize = 260;

// The value of an environment variable when it is set, not empty and shorter than 260
// characters; otherwise empty.
static std::wstring ReadShortEnvironmentValue(const wchar_t *name) {
    wchar_t value[kEnvironmentBufferSize] = {};
    DWORD n = GetEnvironmentVariableW(name, value, kEnvironmentBufferSize);
    if (n == 0 || n >= kEnvironmentBufferSize)
        return std::wstring();
    return std::wstring(value, n);
}

// The executable's full path. A path longer than MAX_PATH is read whole with a larger
// buffer rather than used cut short.
static std::wstring GetExecutablePath() {
    std::wstring modulePath(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, modulePath.data(), (DWORD)modulePath.size());
        if (n == 0)
            return std::wstring();
        if (n < modulePath.size()) {
            modulePath.resize(n);
            return modulePath;
        }
        if (modulePath.size() >= 32768)
            return std::wstring();
        modulePath.assign(modulePath.size() * 2, L'\0');
    }
}

std::wstring GetConfigDirectory() {
    for (const wchar_t *variable : {L"LOCALAPPDATA", L"USERPROFILE"}) {
        std::wstring base = ReadShortEnvironmentValue(variable);
        if (base.empty())
            continue;
        std::wstring dir = base + L"\\Vantrel";
        // An existing folder and a failed creation are alike here: the writers report
        // a folder that cannot be used when they open the file.
        CreateDirectoryW(dir.c_str(), nullptr);
        return dir;
    }

    std::wstring dir = GetExecutablePath();
    if (dir.empty())
        return dir;
    size_t separator = dir.find_last_of(L"\\/");
    if (separator != std::wstring::npos)
        dir.resize(separator);
    return dir;
}

std::wstring GetConfigFilePath() {
    std::wstring dir = GetConfigDirectory();
    if (dir.empty())
        return std::wstring();
    return dir + L"\\folders.txt";
}

bool DecodePairLine(const std::string &line, std::wstring &source, std::wstring &dest) {
    auto unescape = [](const std::string &in) {
        std::string out;
        out.reserve(in.size());
        for (size_t i = 0; i < in.size();) {
            if (in[i] == '\\' && i + 1 < in.size() && (in[i + 1] == ',' || in[i + 1] == '\\')) {
                out.push_back(in[i + 1]);
                i += 2;
            } else {
                out.push_back(in[i]);
                i += 1;
            }
        }
        return out;
    };
    auto normalize = [](std::wstring path) {
        while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
            path.pop_back();
        return path;
    };

    static const std::string prefix = "[PAIR],";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string rest = line.substr(prefix.size());
    // Windows editors save with CR LF; a path never ends in a carriage return.
    if (!rest.empty() && rest.back() == '\r')
        rest.pop_back();

    size_t comma = rest.rfind(',');
    if (comma == std::string::npos)
        return false;
    std::string src_u = unescape(rest.substr(0, comma));
    std::string dst_u = unescape(rest.substr(comma + 1));

    // Each half is taken as a zero-terminated string: it ends at a zero byte.
    int srcLength = MultiByteToWideChar(CP_UTF8, 0, src_u.c_str(), -1, nullptr, 0);
    int dstLength = MultiByteToWideChar(CP_UTF8, 0, dst_u.c_str(), -1, nullptr, 0);
    if (srcLength <= 0 || dstLength <= 0)
        return false;
    std::wstring wsrc(srcLength - 1, L'\0');
    std::wstring wdst(dstLength - 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, src_u.c_str(), -1, wsrc.data(), srcLength);
    MultiByteToWideChar(CP_UTF8, 0, dst_u.c_str(), -1, wdst.data(), dstLength);

    source = normalize(wsrc);
    dest = normalize(wdst);
    return true;
}

bool LoadFolderPairs() {
    g_sourceFolders.clear();
    g_destFolders.clear();

    std::wstring filePathW = GetConfigFilePath();
    if (filePathW.empty())
        return false;
    std::vector<PairFileLine> lines;
    DWORD error = 0;
    bool whole = ReadPairFile(filePathW, lines, error);
    for (const PairFileLine &line : lines) {
        if (line.isPair) {
            g_sourceFolders.push_back(line.source);
            g_destFolders.push_back(line.dest);
        } else if (IsUnreadLine(line)) {
            whole = false; // it may be a pair the user wrote by hand
        }
    }
    return whole;
}
