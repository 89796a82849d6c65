#include "monitor/saved_points.h"

#include "monitor/clock.h"
#include "monitor/copy_records.h"
#include "monitor/long_path.h"
#include "monitor/trace.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"
#include "monitor/tree_walk.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>

namespace {

const wchar_t kPointsFileName[] = L"\\mirror-points.txt";
const wchar_t kFoldersFileName[] = L"\\mirror-folders.txt";
const wchar_t kCopiesFileName[] = L"\\mirror-copies.txt";

// The table and what the files hold now: the UI thread, the generation's timer and the
// writer, under the lock. The writer runs on a thread-pool thread, so that a stop never waits
// for the disk (with every pair copying, a flush can take hundreds of milliseconds); its own
// lock keeps two writes of the files apart, and each writes the table as it is then.
std::mutex g_keptLock;
KeptPoints g_kept;
std::wstring g_folder;        // the configuration directory the table belongs to; empty: none read
std::string g_written;        // the points file's bytes as last read or written
std::string g_writtenFolders; // the folders file's, likewise
std::mutex g_writeLock;
PTP_WORK g_writer = nullptr; // created at the first write; null when it could not be

std::string Utf8Of(const std::wstring &text) {
    std::string utf8;
    ConvertToUtf8(text, utf8);
    return utf8;
}

bool WideOf(const std::string &utf8, std::wstring &text) {
    if (utf8.empty())
        return false;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), (int)utf8.size(),
                                nullptr, 0);
    if (n <= 0)
        return false;
    text.assign(n, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), (int)utf8.size(), text.data(),
                        n);
    return true;
}

// Calls onLine with every line of `bytes` that is not empty, without its line end (LF or
// CR LF).
void ForEachLine(const std::string &bytes, const std::function<void(const std::string &)> &onLine) {
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            onLine(line);
    }
}

// Reads the whole file; false with the error when it cannot be opened or read.
bool ReadWholeFile(const std::wstring &path, std::string &bytes, DWORD &error) {
    bytes.clear();
    HANDLE file = CreateFileW(FileSystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != FALSE) && got > 0)
        bytes.append(chunk, got);
    if (!ok) {
        error = GetLastError();
        bytes.clear();
    }
    CloseHandle(file);
    return ok;
}

// Writes the file whole beside itself and moves it into place, so that a crash or a full disk
// leaves the old file or the new one, never a part.
bool ReplaceWholeFile(const std::wstring &path, const std::string &bytes, DWORD &error) {
    error = 0;
    std::wstring temporary = path + L".tmp";
    HANDLE file = CreateFileW(FileSystemPath(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) != FALSE;
    if (!ok)
        error = GetLastError();
    else if (written != bytes.size()) // a full disk may report success with a short count
        error = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(file))
        error = GetLastError();
    ok = ok && written == bytes.size() && error == 0;
    CloseHandle(file);
    if (ok && MoveFileExW(FileSystemPath(temporary).c_str(), FileSystemPath(path).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (ok)
        error = GetLastError();
    DeleteFileW(FileSystemPath(temporary).c_str());
    return false;
}

// Appends `bytes` to the file (made when missing); a write that fails or is cut short (a full
// disk may report success with a short count) is taken back, so that the file never ends in a
// part of a line.
bool AppendToFile(const std::wstring &path, const std::string &bytes, DWORD &error) {
    error = 0;
    HANDLE file = CreateFileW(FileSystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    LARGE_INTEGER size = {}, zero = {};
    DWORD written = 0;
    if (!GetFileSizeEx(file, &size) || !SetFilePointerEx(file, zero, nullptr, FILE_END)) {
        error = GetLastError();
        CloseHandle(file);
        return false;
    }
    if (!WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr))
        error = GetLastError();
    else if (written != bytes.size())
        error = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(file))
        error = GetLastError();
    if (error != 0 && SetFilePointerEx(file, size, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
    CloseHandle(file);
    return error == 0;
}

// Cuts the file off at `length` bytes; false when it cannot be.
bool CutFileAt(const std::wstring &path, size_t length) {
    HANDLE file = CreateFileW(FileSystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)length;
    bool cut = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return cut;
}

// Writes `bytes` to `folder` + `name` when they differ from `written` (what the file of the
// table's folder holds), which then holds them.
void WriteIfChanged(const std::wstring &folder, const wchar_t *name, const std::string &bytes,
                    std::string &written) {
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        if (folder == g_folder && bytes == written)
            return;
    }
    std::wstring path = folder + name;
    DWORD error = 0;
    if (!ReplaceWholeFile(path, bytes, error)) {
        Trace512(L"Mirror points not written to %ls err=%u\n", path.c_str(), error);
        return;
    }
    std::lock_guard<std::mutex> lock(g_keptLock);
    if (folder == g_folder)
        written = bytes;
}

// Writes the table's files where they differ from it.
void WriteKeptPoints() {
    std::lock_guard<std::mutex> writing(g_writeLock);
    std::string points, folders;
    std::wstring folder;
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        points = FormatKeptPoints(g_kept);
        folders = FormatKeptFolders(g_kept);
        folder = g_folder;
    }
    if (folder.empty()) {
        Trace512(L"Mirror points not written to %ls err=%u\n", kPointsFileName + 1,
                 ERROR_PATH_NOT_FOUND);
        return;
    }
    WriteIfChanged(folder, kPointsFileName, points, g_written);
    WriteIfChanged(folder, kFoldersFileName, folders, g_writtenFolders);
    // Thousands of notes: only what was noted since the last write is appended.
    NotesToWrite notes;
    if (!TakeNotesToWrite(notes))
        return;
    DWORD error = 0;
    std::wstring path = folder + kCopiesFileName;
    bool written = notes.rewrite ? ReplaceWholeFile(path, notes.bytes, error)
                                 : AppendToFile(path, notes.bytes, error);
    NotesWritten(notes, written);
    if (!written)
        Trace512(L"Mirror points not written to %ls err=%u\n", path.c_str(), error);
}

// Reads what this program copied where. Without it copies are judged by their times. A run that
// reads another configuration's notes forgets its own, as a new run of the program would. A
// line cut short at the end (a crash while it was appended) is cut off, so that the next line
// appended starts a line of its own.
void LoadNotes(const std::wstring &folder) {
    std::string bytes;
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::wstring path = folder.empty() ? std::wstring() : folder + kCopiesFileName;
    bool read = !path.empty() && ReadWholeFile(path, bytes, error);
    size_t skipped = 0, goodEnd = 0;
    std::vector<CopyNote> notes = ParseNoteLines(bytes, skipped, &goodEnd);
    bool healed = goodEnd == bytes.size() || CutFileAt(path, goodEnd);
    if (goodEnd < bytes.size())
        Trace512(L"Copy notes: the damaged end of %ls (%zu bytes) cut off\n", path.c_str(),
                 bytes.size() - goodEnd);
    // A file that is there but could not be read, or not healed, is written anew.
    bool unreadable = !read && !IsGoneError(error);
    ReplaceNotes(notes, (size_t)std::count(bytes.begin(), bytes.begin() + goodEnd, '\n'),
                 unreadable || !healed);
}

VOID CALLBACK WriteKeptPointsWork(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK) {
    WriteKeptPoints();
}

} // namespace

std::wstring PairKey(const std::wstring &source, const std::wstring &dest) {
    return FoldCase(source) + L"\n" + FoldCase(dest);
}

std::string FormatKeptPoints(const KeptPoints &points) {
    std::string bytes;
    for (const auto &[key, kept] : points) {
        bytes += std::to_string(kept.point) + "\t" + Utf8Of(kept.source) + "\t" + Utf8Of(kept.dest);
        if (!kept.watchedFolder.empty()) {
            bytes += '\t';
            bytes += IdentityKeyText(kept.watchedFolder);
        }
        bytes += "\r\n";
    }
    return bytes;
}

KeptPoints ParseKeptPoints(const std::string &bytes, size_t &skipped) {
    KeptPoints points;
    skipped = 0;
    // point \t source \t dest [\t watched folder]: files written before the watched folder was
    // kept have no fourth field.
    ForEachLine(bytes, [&](const std::string &line) {
        size_t first = line.find('\t'), second = line.find('\t', first + 1);
        size_t third = second == std::string::npos ? second : line.find('\t', second + 1);
        size_t destEnd = third == std::string::npos ? line.size() : third;
        KeptPoint kept;
        if (first == std::string::npos || second == std::string::npos ||
            (third != std::string::npos && line.find('\t', third + 1) != std::string::npos) ||
            !ParseDecimalTime(line.substr(0, first), kept.point) ||
            !WideOf(line.substr(first + 1, second - first - 1), kept.source) ||
            !(second + 1 == destEnd ||
              WideOf(line.substr(second + 1, destEnd - second - 1), kept.dest)) ||
            (third != std::string::npos &&
             !ParseIdentityKeyText(line.substr(third + 1), kept.watchedFolder))) {
            ++skipped;
            return;
        }
        points[PairKey(kept.source, kept.dest)] = kept;
    });
    return points;
}

std::string FormatKeptFolders(const KeptPoints &points) {
    std::string bytes;
    for (const auto &[key, kept] : points)
        if (kept.folders)
            bytes += Utf8Of(kept.source) + "\t" + Utf8Of(kept.dest) + "\t" +
                     FormatKnownFolders(*kept.folders) + "\r\n";
    return bytes;
}

void ParseKeptFolders(const std::string &bytes, KeptPoints &points, size_t &skipped) {
    skipped = 0;
    ForEachLine(bytes, [&](const std::string &line) {
        size_t first = line.find('\t'), second = line.find('\t', first + 1);
        std::wstring source, dest;
        auto folders = std::make_shared<KnownFolders>();
        if (first == std::string::npos || second == std::string::npos ||
            !WideOf(line.substr(0, first), source) ||
            !(second == first + 1 || WideOf(line.substr(first + 1, second - first - 1), dest)) ||
            !ParseKnownFolders(line.substr(second + 1), *folders)) {
            ++skipped;
            return;
        }
        auto kept = points.find(PairKey(source, dest));
        if (kept != points.end())
            kept->second.folders = folders;
    });
}

void LoadKeptPoints(const std::vector<std::pair<std::wstring, std::wstring>> &pairs,
                    bool pairFileRead) {
    std::lock_guard<std::mutex> lock(g_keptLock);
    std::wstring folder = GetConfigDirectory();
    if (folder != g_folder || folder.empty()) {
        g_folder = folder;
        g_kept.clear();
        g_written.clear();
        g_writtenFolders.clear();
        std::wstring path = folder.empty() ? std::wstring() : folder + kPointsFileName;
        DWORD error = ERROR_PATH_NOT_FOUND;
        if (path.empty() || !ReadWholeFile(path, g_written, error)) {
            Trace512(L"Mirror points not read from %ls err=%u: pairs start without catch-up\n",
                     path.c_str(), error);
        } else {
            size_t skipped = 0;
            g_kept = ParseKeptPoints(g_written, skipped);
            if (skipped > 0)
                Trace512(L"Mirror points: %zu unreadable lines of %ls ignored\n", skipped,
                         path.c_str());
            // Without its folders a pair's walks judge folders by their times.
            if (ReadWholeFile(folder + kFoldersFileName, g_writtenFolders, error))
                ParseKeptFolders(g_writtenFolders, g_kept, skipped);
        }
        LoadNotes(folder);
    }
    if (!pairFileRead)
        return; // a pair file that could not be read says nothing of which pairs are gone
    std::set<std::wstring> registered;
    for (const auto &[source, dest] : pairs)
        registered.insert(PairKey(source, dest));
    for (auto it = g_kept.begin(); it != g_kept.end();)
        it = registered.count(it->first) ? std::next(it) : g_kept.erase(it);
}

KeptPoint KeptPointOf(const std::wstring &source, const std::wstring &dest) {
    std::lock_guard<std::mutex> lock(g_keptLock);
    auto found = g_kept.find(PairKey(source, dest));
    return found == g_kept.end() ? KeptPoint{source, dest, 0, nullptr, std::string()}
                                 : found->second;
}

void KeepPoints(const std::vector<KeptPoint> &points) {
    std::unique_lock<std::mutex> lock(g_keptLock);
    KeptPoints fresh;
    for (const KeptPoint &kept : points) {
        if (kept.point == 0)
            continue;
        std::wstring key = PairKey(kept.source, kept.dest);
        auto found = fresh.find(key);
        if (found == fresh.end() || kept.point < found->second.point)
            fresh[key] = kept;
    }
    for (auto &[key, kept] : fresh)
        g_kept[key] = kept;
    if (!g_writer)
        g_writer = CreateThreadpoolWork(WriteKeptPointsWork, nullptr, nullptr);
    if (g_writer) {
        SubmitThreadpoolWork(g_writer);
    } else {
        lock.unlock();
        WriteKeptPoints();
    }
}

void FinishKeepingPoints() {
    PTP_WORK writer = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        writer = g_writer;
    }
    if (writer)
        WaitForThreadpoolWorkCallbacks(writer, FALSE);
}
