#include "store/pair_writer.h"

#include "store/pair_file.h"
#include "store/pair_table.h"

#include <windows.h>

#include <cstring>
#include <functional>

static const char kBom[3] = {'\xEF', '\xBB', '\xBF'};

// errorText = prefix + the system's text for code, as the system gives it (not trimmed).
static void SetSystemErrorText(std::wstring &errorText, const wchar_t *prefix, DWORD code) {
    wchar_t buf[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   buf, 512, nullptr);
    errorText = prefix;
    errorText += buf;
}

// Writes all of bytes; a write that stores fewer bytes than asked is a failure too (a full
// disk can report success with a short count). On failure, *code is the reason.
static bool WriteAll(HANDLE file, const char *bytes, size_t size, DWORD *code) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, (DWORD)size, &written, nullptr)) {
        *code = GetLastError();
        return false;
    }
    if (written != size) {
        *code = ERROR_DISK_FULL;
        return false;
    }
    return true;
}

bool ConvertToUtf8(const std::wstring &path, std::string &utf8) {
    int n = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    utf8.assign(n - 1, '\0');
    // The terminator lands in the string's own terminator place.
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, utf8.data(), n, nullptr, nullptr);
    return true;
}

std::string FormatAppendLine(const std::string &sourceUtf8, const std::string &destUtf8) {
    return "[PAIR]," + sourceUtf8 + "\\," + destUtf8 + "\n";
}

std::string FormatRewriteLine(const std::string &sourceUtf8, const std::string &destUtf8) {
    auto escape = [](const std::string &in) {
        std::string out;
        out.reserve(in.size());
        for (char c : in) {
            if (c == '\\')
                out += "\\\\";
            else if (c == ',')
                out += "\\,";
            else
                out.push_back(c);
        }
        return out;
    };
    return "[PAIR]," + escape(sourceUtf8) + "," + escape(destUtf8) + "\n";
}

bool AppendFolderPair(const std::wstring &source, const std::wstring &dest,
                      std::wstring &errorText) {
    std::wstring filePath = GetConfigFilePath();
    if (filePath.empty()) {
        errorText = L"GetConfigFilePath failed";
        return false;
    }
    std::string sa, sb;
    if (!source.empty() && !ConvertToUtf8(source, sa)) {
        errorText = L"WideCharToMultiByte failed for first string";
        return false;
    }
    if (!dest.empty() && !ConvertToUtf8(dest, sb)) {
        errorText = L"WideCharToMultiByte failed for second string";
        return false;
    }

    HANDLE file = CreateFileW(filePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetSystemErrorText(errorText, L"CreateFileW failed: ", GetLastError());
        return false;
    }
    // Every failure from here on closes the file; one after a write also cuts the file back
    // to its old size, so a later append never continues a partial line.
    LARGE_INTEGER fileSize = {};
    auto fail = [&](const wchar_t *prefix, DWORD code, bool cutBack) {
        SetSystemErrorText(errorText, prefix, code);
        if (cutBack && SetFilePointerEx(file, fileSize, nullptr, FILE_BEGIN))
            SetEndOfFile(file);
        CloseHandle(file);
        return false;
    };

    if (!GetFileSizeEx(file, &fileSize))
        return fail(L"GetFileSizeEx failed: ", GetLastError(), false);
    // A UTF-8 line after UTF-16 (a file PowerShell wrote) would read as neither: the file is
    // rewritten instead, in UTF-8, with the new pair at its end.
    char head[2] = {};
    DWORD headSize = 0;
    if (fileSize.QuadPart >= 2 && ReadFile(file, head, 2, &headSize, nullptr) && headSize == 2 &&
        (memcmp(head, "\xFF\xFE", 2) == 0 || memcmp(head, "\xFE\xFF", 2) == 0)) {
        CloseHandle(file);
        return AppendFolderPairByRewrite(source, dest, errorText);
    }
    // A file saved by hand (Notepad) may end without a line feed: the new line must not run
    // on from its last line. A file that is only a byte order mark has no line to end.
    bool endsLine = true;
    if (fileSize.QuadPart > 0) {
        char tail[sizeof kBom] = {};
        DWORD tailSize = fileSize.QuadPart < (LONGLONG)sizeof tail ? (DWORD)fileSize.QuadPart
                                                                   : (DWORD)sizeof tail;
        LARGE_INTEGER tailStart;
        tailStart.QuadPart = fileSize.QuadPart - tailSize;
        DWORD got = 0;
        if (!SetFilePointerEx(file, tailStart, nullptr, FILE_BEGIN) ||
            !ReadFile(file, tail, tailSize, &got, nullptr) || got != tailSize)
            return fail(L"ReadFile failed: ", GetLastError(), false);
        bool onlyBom = fileSize.QuadPart == sizeof kBom && memcmp(tail, kBom, sizeof kBom) == 0;
        endsLine = tail[tailSize - 1] == '\n' || onlyBom;
    }
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_END))
        return fail(L"SetFilePointerEx failed: ", GetLastError(), false);

    DWORD code = 0;
    if (fileSize.QuadPart == 0 && !WriteAll(file, kBom, sizeof kBom, &code))
        return fail(L"WriteFile(BOM) failed: ", code, true);
    std::string out = endsLine ? std::string() : std::string("\n");
    out += FormatAppendLine(sa, sb);
    if (!WriteAll(file, out.data(), out.size(), &code))
        return fail(L"WriteFile(content) failed: ", code, true);

    CloseHandle(file);
    return true;
}

// Reads the pair file as it is now for a rewrite, which replaces it whole: the rewrite must
// not go ahead without the lines it carries over. The file is opened for writing too, as the
// in-place rewrite did, so that a file that cannot be written (a folder, read-only, a missing
// directory, held by another program) fails as before, untouched. A missing file is created
// empty.
static bool ReadForRewrite(const std::wstring &filePath, std::vector<PairFileLine> &lines,
                           std::wstring &errorText) {
    HANDLE file = CreateFileW(filePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetSystemErrorText(errorText, L"CreateFileW failed: ", GetLastError());
        return false;
    }
    DWORD code = 0;
    bool read = ReadPairLines(file, lines, code);
    CloseHandle(file);
    if (!read)
        SetSystemErrorText(errorText, L"ReadFile failed: ", code);
    return read;
}

static PairFileLine PairLine(const std::wstring &source, const std::wstring &dest) {
    PairFileLine line;
    line.isPair = true;
    line.source = source;
    line.dest = dest;
    return line;
}

// Moves the new pair file over the old one. A file that another program has open cannot be
// replaced, and an indexer, a virus scanner or a backup may be reading the pair file just now:
// a refusal is tried again for up to two seconds while the file is not read-only.
static bool MoveOverPairFile(const std::wstring &tempPath, const std::wstring &filePath) {
    const DWORD kStepMs = 50, kSteps = 40;
    for (DWORD step = 0;; ++step) {
        if (MoveFileExW(tempPath.c_str(), filePath.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        DWORD code = GetLastError();
        DWORD attributes = GetFileAttributesW(filePath.c_str());
        bool held = (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) &&
                    attributes != INVALID_FILE_ATTRIBUTES &&
                    !(attributes & FILE_ATTRIBUTE_READONLY);
        if (!held || step == kSteps) {
            SetLastError(code);
            return false;
        }
        Sleep(kStepMs);
    }
}

// Replaces the pair file with a byte order mark and `lines`: pairs in the rewrite form, every
// other line that is not empty as it was read. The new content is written beside the file and
// moved over it in one step, so a failure leaves the old file as it was; the old file is kept
// as folders.txt.bak first.
static bool ReplacePairFile(const std::wstring &filePathW, const std::vector<PairFileLine> &lines,
                            std::wstring &errorText) {
    std::wstring tempPath = filePathW + L".tmp";
    HANDLE temp = CreateFileW(tempPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp == INVALID_HANDLE_VALUE) {
        SetSystemErrorText(errorText, L"CreateFileW failed: ", GetLastError());
        return false;
    }
    auto fail = [&](const wchar_t *prefix, DWORD code) {
        SetSystemErrorText(errorText, prefix, code);
        if (temp != INVALID_HANDLE_VALUE)
            CloseHandle(temp);
        DeleteFileW(tempPath.c_str());
        return false;
    };

    DWORD code = 0;
    if (!WriteAll(temp, kBom, sizeof kBom, &code))
        return fail(L"WriteFile(BOM) failed: ", code);
    for (const PairFileLine &line : lines) {
        std::string bytes;
        if (line.isPair) {
            // A path that cannot be converted is written as an empty half.
            std::string sa, sb;
            if (!ConvertToUtf8(line.source, sa))
                sa.clear();
            if (!ConvertToUtf8(line.dest, sb))
                sb.clear();
            bytes = FormatRewriteLine(sa, sb);
        } else if (IsUnreadLine(line)) {
            bytes = line.text + "\n";
        }
        if (!bytes.empty() && !WriteAll(temp, bytes.data(), bytes.size(), &code))
            return fail(L"WriteFile(content) failed: ", code);
    }
    if (!FlushFileBuffers(temp))
        return fail(L"FlushFileBuffers failed: ", GetLastError());
    CloseHandle(temp);
    temp = INVALID_HANDLE_VALUE;

    if (!CopyFileW(filePathW.c_str(), (filePathW + L".bak").c_str(), FALSE))
        return fail(L"CopyFileW failed: ", GetLastError());
    if (!MoveOverPairFile(tempPath, filePathW))
        return fail(L"MoveFileExW failed: ", GetLastError());
    return true;
}

// Reads the pair file as it is now, lets `edit` change its lines (false: nothing to write) and
// puts the result in its place: the one way every rewrite goes.
static bool RewritePairFile(std::wstring &errorText,
                            const std::function<bool(std::vector<PairFileLine> &)> &edit) {
    std::wstring filePathW = GetConfigFilePath();
    if (filePathW.empty()) {
        errorText = L"GetConfigFilePath failed";
        return false;
    }
    std::vector<PairFileLine> lines;
    if (!ReadForRewrite(filePathW, lines, errorText))
        return false;
    return !edit(lines) || ReplacePairFile(filePathW, lines, errorText);
}

bool SaveAllFolderPairs(std::wstring &errorText) {
    return RewritePairFile(errorText, [](std::vector<PairFileLine> &lines) {
        // The table's pairs take the places of the file's pairs in order; more follow at the end.
        size_t next = 0, count = g_sourceFolders.size();
        auto tablePair = [&] {
            size_t i = next++;
            return PairLine(g_sourceFolders[i], i < g_destFolders.size() ? g_destFolders[i] : L"");
        };
        std::vector<PairFileLine> out;
        for (const PairFileLine &line : lines) {
            if (!line.isPair)
                out.push_back(line);
            else if (next < count)
                out.push_back(tablePair());
        }
        while (next < count)
            out.push_back(tablePair());
        lines.swap(out);
        return true;
    });
}

bool AppendFolderPairByRewrite(const std::wstring &source, const std::wstring &dest,
                               std::wstring &errorText) {
    return RewritePairFile(errorText, [&](std::vector<PairFileLine> &lines) {
        lines.push_back(PairLine(source, dest));
        return true;
    });
}

bool RemoveFolderPair(const std::wstring &source, const std::wstring &dest, size_t occurrence,
                      std::wstring &errorText) {
    return RewritePairFile(errorText, [&](std::vector<PairFileLine> &lines) {
        for (auto line = lines.begin(); line != lines.end(); ++line) {
            if (line->isPair && line->source == source && line->dest == dest && occurrence-- == 0) {
                lines.erase(line);
                return true;
            }
        }
        return false; // the file no longer holds it: nothing to remove
    });
}
