#include "store/pair_file.h"

#include "store/pair_table.h"

static std::string Utf8Of(const wchar_t *text, size_t length) {
    if (length == 0)
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, nullptr, 0, nullptr, nullptr);
    std::string utf8(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, (int)length, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

// A line of a byte file in UTF-8: as it is when it is valid UTF-8, else read in the ANSI code
// page (what cmd's "echo ... >>" writes).
static std::string LineAsUtf8(const std::string &bytes) {
    if (bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                             (int)bytes.size(), nullptr, 0) > 0)
        return bytes;
    int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), wide.data(), n);
    return Utf8Of(wide.data(), wide.size());
}

static void AddLine(std::vector<PairFileLine> &lines, std::string text) {
    // Windows editors end lines with CR LF; the writers end them with LF alone.
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    PairFileLine line;
    line.isPair = DecodePairLine(text, line.source, line.dest);
    line.text = std::move(text);
    lines.push_back(std::move(line));
}

// The lines of a file that began with a UTF-16 byte order mark; `bytes` without it.
static void SplitUtf16(const std::string &bytes, bool bigEndian, std::vector<PairFileLine> &lines) {
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char first = (unsigned char)bytes[2 * i], second = (unsigned char)bytes[2 * i + 1];
        text[i] = bigEndian ? (wchar_t)(first << 8 | second) : (wchar_t)(second << 8 | first);
    }
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        AddLine(lines, Utf8Of(text.data() + start, end - start));
        start = end + 1;
    }
}

static void SplitBytes(const std::string &bytes, std::vector<PairFileLine> &lines) {
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        // The UTF-8 byte order mark counts only at the very start of the file.
        if (start == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        AddLine(lines, LineAsUtf8(line));
        start = end + 1;
    }
}

bool ReadPairLines(HANDLE file, std::vector<PairFileLine> &lines, DWORD &error) {
    lines.clear();
    std::string bytes;
    char chunk[16384];
    DWORD got = 0;
    bool whole = true;
    for (;;) {
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            error = GetLastError();
            whole = false;
            break;
        }
        if (got == 0)
            break;
        bytes.append(chunk, got);
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0)
        SplitUtf16(bytes.substr(2), bytes[0] == '\xFE', lines);
    else
        SplitBytes(bytes, lines);
    return whole;
}

bool ReadPairFile(const std::wstring &path, std::vector<PairFileLine> &lines, DWORD &error) {
    lines.clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    bool whole = ReadPairLines(file, lines, error);
    CloseHandle(file);
    return whole;
}

bool IsUnreadLine(const PairFileLine &line) {
    return !line.isPair && !line.text.empty();
}
