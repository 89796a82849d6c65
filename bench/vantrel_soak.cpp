// The soak: Vantrel.exe under a randomized, seeded workload with faults mixed in, then a check
// that every file still in a source tree is in its destination with its final content.
//
//   vantrel_soak run --root DIR --program EXE --viewer EXE --seconds N --seed N
//                    [--small DIR] [--settle N] [--without KIND,KIND...] [--restart-every N]
//                    [--trust-batches]
//
// ROOT is the run folder (it must not exist yet or be empty): the pairs' folders, the program's
// configuration (LOCALAPPDATA), the program's trace (trace.log, every debug line with the time
// it arrived), this driver's own log of operations (ops.log) and the result (result.txt). The
// program (Vantrel.exe) runs under the viewer (VantrelDebugView.exe), which passes its whole
// trace on. SMALL, when given, is a folder on a small file system that holds one pair's
// destination and is filled and freed again during the run. --without leaves kinds of
// operation out (the names ops.log uses, "disk-full", "swap" and "large" for the periodic
// ones), to tell apart what a failure needs; --restart-every sets the mean time between
// restarts (about a minute otherwise). --trust-batches runs the program with
// VANTREL_TRUST_BATCHES=1, so that it trusts its change batches as it does on Windows
// (monitor/system_behaviour.h), and leaves out what Wine's batches get wrong: a folder renamed
// inside a watched tree. Without it the variable is taken out of the program's environment, so
// the program behaves as it does on this system.
//
// The workload runs here, as a Windows program, because some of it needs Windows semantics: a
// writer that holds its file without sharing, a reader that holds a destination copy so that
// it cannot be replaced. What it does, on three pairs: new files, rewrites in place, saves by
// rename, renames, deletions, new folders, folders made elsewhere and moved in with files,
// folders renamed (half the time a new folder then takes the old name) and deleted, bursts of
// several hundred files (more than one read holds), files held by their writers for 1-6 s,
// destination copies held by a reader while their source changes, the small destination disk
// filled for a while, the third pair's source folder swapped for another (at once or after a
// gap) or removed and made again, a restart through the registration dialog about every minute
// (a throwaway pair is registered, which stops and starts every watch; now and then twice in
// quick succession), a few large files written slowly. Base names are unique per pair (the
// copy is flat), except a few same-name files on purpose in the first pair.
//
// Every file's content carries its own identity, version and length in a header, and the rest
// follows from those, so any file can be checked on its own: it is one version of one file,
// a beginning of one, or bytes of no version. While the workload runs, destination files are
// sampled: a copy that once held a good version must never vanish, never hold a partial copy
// and never bytes of no version. After the workload a settle period lets waiting copies finish
// (it ends as soon as everything is right), then the final check runs.
//
// The program's threads, handles and private memory are sampled from here, from outside its
// process: once its first start has settled, after each restart and at the end. A restart
// stops and starts every watch inside the same process, so what a stopped generation leaves
// behind shows as growth beyond what the one pair that each restart registers costs.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/process_counts.h"

namespace {

// ---- Clock, text, logs ------------------------------------------------------------------------

LARGE_INTEGER g_clockStart = {}; // QueryPerformanceCounter at the start of the run
LARGE_INTEGER g_clockRate = {};

// Milliseconds since the start of the run; the time of every log and trace line.
double NowMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - g_clockStart.QuadPart) * 1000.0 / double(g_clockRate.QuadPart);
}

std::string Utf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::wstring Fold(const std::wstring &text) {
    std::wstring out = text;
    if (!out.empty())
        CharUpperBuffW(out.data(), (DWORD)out.size());
    return out;
}

std::string Format(const char *format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    return std::string(line, std::min<size_t>((size_t)n, sizeof line - 1));
}

HANDLE g_resultFile = INVALID_HANDLE_VALUE; // result.txt: the summary and what was lost
std::mutex g_printLock;

// Prints a line on standard output and into result.txt.
void Report(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::string text = line + "\n";
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    if (g_resultFile != INVALID_HANDLE_VALUE) {
        DWORD done = 0;
        WriteFile(g_resultFile, text.data(), (DWORD)text.size(), &done, nullptr);
    }
}

HANDLE OpenLog(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WriteLog(HANDLE log, const std::string &text) {
    DWORD done = 0;
    if (log != INVALID_HANDLE_VALUE)
        WriteFile(log, text.data(), (DWORD)text.size(), &done, nullptr);
}

// ---- Content ----------------------------------------------------------------------------------

ULONGLONG g_seed = 1;
const size_t kHeaderBytes = 46; // "vantrel-soak id=%07u v=%05u len=%09llu\n"

ULONGLONG Mix(ULONGLONG x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::string Header(unsigned id, unsigned version, ULONGLONG length) {
    return Format("vantrel-soak id=%07u v=%05u len=%09llu\n", id, version,
                  (unsigned long long)length);
}

// Byte `at` (past the header) of version `version` of file `id`: printable lines of 64.
char FillerByte(unsigned id, unsigned version, ULONGLONG at) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (at % 64 == 63)
        return '\n';
    ULONGLONG x =
        Mix(g_seed ^ ((ULONGLONG)id << 24) ^ ((ULONGLONG)version << 48) ^ Mix(at / 8 + 0x51ED));
    return kAlphabet[((x >> ((at % 8) * 8)) & 0xFF) % 62];
}

// Bytes [from, from + count) of a version.
std::string ContentPiece(unsigned id, unsigned version, ULONGLONG length, ULONGLONG from,
                         size_t count) {
    std::string header = Header(id, version, length);
    std::string out(count, '\0');
    for (size_t k = 0; k < count; ++k) {
        ULONGLONG at = from + k;
        out[k] = at < kHeaderBytes ? header[(size_t)at] : FillerByte(id, version, at);
    }
    return out;
}

std::string Content(unsigned id, unsigned version, ULONGLONG length) {
    return ContentPiece(id, version, length, 0, (size_t)length);
}

// What a file's bytes are, judged by themselves.
struct Judged {
    bool parsed = false; // the header names a file, a version and a length
    unsigned id = 0, version = 0;
    ULONGLONG length = 0;
    bool complete = false; // exactly that version
    bool prefix = false;   // a beginning of it (an empty file is one of anything)
    bool torn = false;     // each byte from this version or the one before or after
    size_t size = 0;
};

bool ParseHeader(const std::string &bytes, unsigned &id, unsigned &version, ULONGLONG &length) {
    if (bytes.size() < kHeaderBytes)
        return false;
    unsigned long long len = 0;
    char tail = 0;
    if (sscanf(bytes.c_str(), "vantrel-soak id=%7u v=%5u len=%9llu%c", &id, &version, &len,
               &tail) != 4 ||
        tail != '\n')
        return false;
    length = len;
    return Header(id, version, length) == bytes.substr(0, kHeaderBytes);
}

bool MatchesVersion(const std::string &bytes, unsigned id, unsigned version, ULONGLONG length) {
    std::string header = Header(id, version, length);
    for (size_t at = 0; at < bytes.size(); ++at) {
        char expected = at < kHeaderBytes ? header[at] : FillerByte(id, version, at);
        if (bytes[at] != expected)
            return false;
    }
    return true;
}

Judged Judge(const std::string &bytes) {
    Judged judged;
    judged.size = bytes.size();
    if (bytes.empty()) {
        judged.prefix = true;
        return judged;
    }
    if (!ParseHeader(bytes, judged.id, judged.version, judged.length)) {
        // A copy cut inside its header is still a beginning of something, if it reads so.
        const std::string start = "vantrel-soak id=";
        judged.prefix = bytes.size() < kHeaderBytes &&
                        bytes.compare(0, std::min(bytes.size(), start.size()), start, 0,
                                      std::min(bytes.size(), start.size())) == 0;
        return judged;
    }
    judged.parsed = true;
    if (bytes.size() > judged.length)
        return judged;
    if (MatchesVersion(bytes, judged.id, judged.version, judged.length)) {
        judged.complete = bytes.size() == judged.length;
        judged.prefix = !judged.complete;
        return judged;
    }
    // A rewrite in place read while it was being written: every byte from one of two
    // neighbouring versions of the same file (same length by construction).
    for (unsigned other : {judged.version - 1, judged.version + 1}) {
        if (other == 0 || bytes.size() != judged.length)
            continue;
        std::string a = Header(judged.id, judged.version, judged.length);
        std::string b = Header(judged.id, other, judged.length);
        bool torn = true;
        for (size_t at = 0; at < bytes.size() && torn; ++at) {
            char x = at < kHeaderBytes ? a[at] : FillerByte(judged.id, judged.version, at);
            char y = at < kHeaderBytes ? b[at] : FillerByte(judged.id, other, at);
            torn = bytes[at] == x || bytes[at] == y;
        }
        if (torn) {
            judged.torn = true;
            return judged;
        }
    }
    return judged;
}

std::string Describe(const Judged &judged) {
    if (judged.complete)
        return Format("id %u v%u", judged.id, judged.version);
    if (judged.torn)
        return Format("id %u v%u torn (%zu bytes)", judged.id, judged.version, judged.size);
    if (judged.prefix && judged.parsed)
        return Format("id %u v%u cut at %zu of %llu bytes", judged.id, judged.version, judged.size,
                      (unsigned long long)judged.length);
    if (judged.prefix)
        return Format("%zu bytes, no header yet", judged.size);
    if (judged.parsed)
        return Format("id %u v%u header, bytes of no version (%zu bytes)", judged.id,
                      judged.version, judged.size);
    return Format("bytes of no version (%zu bytes)", judged.size);
}

// ---- Files ------------------------------------------------------------------------------------

bool Exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Reads a whole file shared every way (a sample must not be what stands in a copy's way).
bool ReadWhole(const std::wstring &path, std::string &bytes, DWORD &error) {
    bytes.clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return true;
}

bool WriteAll(HANDLE file, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        if (!WriteFile(file, bytes.data() + done, (DWORD)(bytes.size() - done), &wrote, nullptr) ||
            wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

// Runs `step` until it succeeds, for a while: the program's own copies hold sources and
// destinations for moments, and those moments are not faults of the workload.
bool Retried(const std::function<bool()> &step, DWORD &error, int attempts = 100) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (step())
            return true;
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
            error != ERROR_LOCK_VIOLATION)
            return false;
        Sleep(10);
    }
    return false;
}

HANDLE OpenRetried(const std::wstring &path, DWORD access, DWORD share, DWORD disposition,
                   DWORD &error) {
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried(
        [&] {
            file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        error);
    return file;
}

void ListFolder(const std::wstring &folder, std::vector<WIN32_FIND_DATAW> &entries) {
    entries.clear();
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            entries.push_back(found);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// Every file below `folder`, as paths relative to it.
void ListTree(const std::wstring &folder, const std::wstring &relative,
              std::vector<std::wstring> &files) {
    std::vector<WIN32_FIND_DATAW> entries;
    ListFolder(relative.empty() ? folder : folder + L"\\" + relative, entries);
    for (const WIN32_FIND_DATAW &entry : entries) {
        std::wstring rel = relative.empty() ? entry.cFileName : relative + L"\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListTree(folder, rel, files);
        else
            files.push_back(rel);
    }
}

bool DeleteTree(const std::wstring &folder) {
    std::vector<WIN32_FIND_DATAW> entries;
    ListFolder(folder, entries);
    DWORD error = 0;
    for (const WIN32_FIND_DATAW &entry : entries) {
        std::wstring full = folder + L"\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            DeleteTree(full);
        else
            Retried([&] { return DeleteFileW(full.c_str()) != FALSE; }, error);
    }
    return Retried([&] { return RemoveDirectoryW(folder.c_str()) != FALSE; }, error);
}

std::wstring BaseName(const std::wstring &path) {
    size_t cut = path.find_last_of(L'\\');
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring Parent(const std::wstring &path) {
    size_t cut = path.find_last_of(L'\\');
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring Join(const std::wstring &a, const std::wstring &b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a + L"\\" + b;
}

// ---- The model of what was written ------------------------------------------------------------

struct SoakFile {
    unsigned id = 0;
    int pair = 0;
    std::wstring rel;             // below the pair's source folder, while present
    ULONGLONG length = 0;         // every version of a file has the same length
    bool large = false;           // written slowly, never rewritten
    bool present = false;         // in the source tree now
    bool busy = false;            // held by its writer or being written in the background
    unsigned version = 0;         // the last version whose write has begun
    ULONGLONG lastWrite = 0;      // order of the last write among all files (same names)
    bool sameName = false;        // shares its base name on purpose
    std::vector<size_t> ops;      // what happened to it, as indexes into g_ops
    std::set<std::wstring> names; // every base name it had (folded)
};

// What a destination name has shown to the sampler.
struct DestName {
    bool good = false; // once held a complete version
    double goodAt = 0; // when first seen so
    std::set<unsigned> ids;
};

struct SoakPair {
    int index = 0;
    std::wstring source, dest;
    bool smallDisk = false;                     // its destination is on the small file system
    std::vector<unsigned> present;              // ids in the source tree
    std::set<std::wstring> folders;             // folders below the source, relative; "" the root
    std::map<std::wstring, DestName> destNames; // by folded base name
    int holds = 0;                              // background holds under way on this pair
};

struct OpRecord {
    double at = 0;
    int pair = -1;
    std::string kind;
    std::string text;
    unsigned changed = ~0u; // the file whose content this changed in the source, if any
    std::wstring path;      // and its path then, below the source folder
};

std::mutex g_modelLock; // guards everything below; the workload, holders and the sampler share it
std::vector<SoakFile> g_files;
std::vector<SoakPair> g_pairs;
std::vector<OpRecord> g_ops;
std::map<std::string, unsigned> g_opCounts;
HANDLE g_opLog = INVALID_HANDLE_VALUE;
ULONGLONG g_writeOrder = 0;
unsigned g_nameCounter = 0;

struct Violation {
    double at;
    int pair;
    std::wstring name;
    std::string what;
};
std::vector<Violation> g_violations;
unsigned g_tornSamples = 0, g_samples = 0;

// Records an operation (under the model lock) and returns its index.
size_t NoteOp(int pair, const char *kind, const std::string &text,
              std::initializer_list<unsigned> ids = {}) {
    OpRecord op;
    op.at = NowMs();
    op.pair = pair;
    op.kind = kind;
    op.text = text;
    g_ops.push_back(op);
    size_t index = g_ops.size() - 1;
    for (unsigned id : ids)
        g_files[id].ops.push_back(index);
    ++g_opCounts[kind];
    WriteLog(g_opLog, Format("%10.1f p%d %-14s %s\n", op.at, pair, kind, text.c_str()));
    return index;
}

void AddOpToFile(unsigned id, size_t op) {
    g_files[id].ops.push_back(op);
}

std::string FileText(const SoakFile &file) {
    return Format("id %u v%u %s", file.id, file.version, Utf8(file.rel).c_str());
}

// Records an operation that gave file `id` a new content in the source.
void NoteChange(int pair, const char *kind, unsigned id, const std::string &extra = "") {
    size_t op = NoteOp(pair, kind, FileText(g_files[id]) + extra, {id});
    g_ops[op].changed = id;
    g_ops[op].path = g_files[id].rel;
}

unsigned NewFile(int pair, const std::wstring &rel, ULONGLONG length, bool large) {
    SoakFile file;
    file.id = (unsigned)g_files.size();
    file.pair = pair;
    file.rel = rel;
    file.length = length;
    file.large = large;
    file.version = 1;
    file.lastWrite = ++g_writeOrder;
    file.names.insert(Fold(BaseName(rel)));
    g_files.push_back(file);
    g_pairs[pair].destNames[Fold(BaseName(rel))].ids.insert(file.id);
    return file.id;
}

void SetPresent(unsigned id, bool present) {
    SoakFile &file = g_files[id];
    std::vector<unsigned> &list = g_pairs[file.pair].present;
    if (present && !file.present)
        list.push_back(id);
    if (!present && file.present)
        list.erase(std::find(list.begin(), list.end(), id));
    file.present = present;
}

void Rename(unsigned id, const std::wstring &rel) {
    SoakFile &file = g_files[id];
    file.rel = rel;
    file.names.insert(Fold(BaseName(rel)));
    g_pairs[file.pair].destNames[Fold(BaseName(rel))].ids.insert(id);
}

// ---- Random choices (workload thread) ---------------------------------------------------------

std::mt19937_64 g_random;

unsigned Uniform(unsigned low, unsigned high) {
    return std::uniform_int_distribution<unsigned>(low, high)(g_random);
}

double UniformMs(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(g_random);
}

bool Chance(double p) {
    return std::uniform_real_distribution<double>(0, 1)(g_random) < p;
}

std::wstring NewBaseName(int pair, const wchar_t *stem) {
    static const wchar_t *kExtensions[] = {L".txt", L".docx", L".csv", L".dat", L".log"};
    wchar_t name[96];
    // Now and then a Japanese name, as the program's users write them.
    const wchar_t *prefix = Chance(0.1) ? L"報告" : L"";
    swprintf(name, 96, L"%lsp%d-%ls%06u%ls", prefix, pair, stem, ++g_nameCounter,
             kExtensions[Uniform(0, 4)]);
    return name;
}

std::wstring NewFolderName(const wchar_t *stem) {
    wchar_t name[64];
    swprintf(name, 64, L"%ls%ls%05u", Chance(0.1) ? L"資料" : L"", stem, ++g_nameCounter);
    return name;
}

ULONGLONG SmallLength() {
    return Chance(0.8) ? Uniform(60, 1500) : Uniform(1500, 12000);
}

// A present file of the pair that nothing holds, or -1.
int PickFile(int pair, bool allowLarge = false) {
    SoakPair &p = g_pairs[pair];
    for (int attempt = 0; attempt < 20 && !p.present.empty(); ++attempt) {
        unsigned id = p.present[Uniform(0, (unsigned)p.present.size() - 1)];
        const SoakFile &file = g_files[id];
        if (!file.busy && (allowLarge || !file.large) && !file.sameName)
            return (int)id;
    }
    return -1;
}

std::wstring PickFolder(int pair) {
    const std::set<std::wstring> &folders = g_pairs[pair].folders;
    auto it = folders.begin();
    std::advance(it, Uniform(0, (unsigned)folders.size() - 1));
    return *it;
}

// ---- Background holds and slow writers --------------------------------------------------------

std::atomic<int> g_background{0};

struct Hold {
    std::function<void()> body;
};

DWORD WINAPI RunHold(LPVOID parameter) {
    Hold *hold = (Hold *)parameter;
    hold->body();
    delete hold;
    g_background.fetch_sub(1);
    return 0;
}

void InBackground(std::function<void()> body) {
    g_background.fetch_add(1);
    Hold *hold = new Hold{std::move(body)};
    HANDLE thread = CreateThread(nullptr, 0, RunHold, hold, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
    } else {
        g_background.fetch_sub(1);
        delete hold;
    }
}

// ---- Operations (workload thread) -------------------------------------------------------------

std::wstring SourcePath(int pair, const std::wstring &rel) {
    return Join(g_pairs[pair].source, rel);
}

void Failed(int pair, const char *kind, const std::wstring &path, DWORD error) {
    std::lock_guard<std::mutex> lock(g_modelLock);
    NoteOp(pair, "op-failed", Format("%s %s err=%lu", kind, Utf8(path).c_str(), error));
}

bool WriteNewFile(const std::wstring &path, const std::string &bytes, DWORD &error) {
    HANDLE file = OpenRetried(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, error);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAll(file, bytes);
    if (!ok)
        error = GetLastError();
    CloseHandle(file);
    return ok;
}

void OpCreate(int pair, const std::wstring &folder, const char *kind = "create") {
    std::wstring rel = Join(folder, NewBaseName(pair, L"f"));
    ULONGLONG length = SmallLength();
    unsigned id;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        id = NewFile(pair, rel, length, false);
    }
    DWORD error = 0;
    if (!WriteNewFile(SourcePath(pair, rel), Content(id, 1, length), error)) {
        Failed(pair, kind, rel, error);
        return;
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    SetPresent(id, true);
    NoteChange(pair, kind, id);
}

// A second file with the base name of an existing one, in another folder: the later write
// must win in the destination.
void OpSameName(int pair) {
    std::wstring rel;
    unsigned id;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        int other = PickFile(pair);
        if (other < 0)
            return;
        std::wstring base = BaseName(g_files[other].rel);
        std::wstring folder = PickFolder(pair);
        if (Fold(folder) == Fold(Parent(g_files[other].rel)))
            return;
        rel = Join(folder, base);
        for (unsigned known : g_pairs[pair].destNames[Fold(base)].ids)
            if (g_files[known].present && Fold(g_files[known].rel) == Fold(rel))
                return;
        id = NewFile(pair, rel, SmallLength(), false);
        g_files[id].sameName = true;
        g_files[other].sameName = true;
    }
    DWORD error = 0;
    if (!WriteNewFile(SourcePath(pair, rel), Content(id, 1, g_files[id].length), error)) {
        Failed(pair, "same-name", rel, error);
        return;
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    SetPresent(id, true);
    NoteChange(pair, "same-name", id);
}

// Writes the next version over the file in place: same length, no truncation, so every moment
// of the source is one version or the next.
bool RewriteInPlace(unsigned id, unsigned version, const std::wstring &path, DWORD share,
                    HANDLE *keep, DWORD &error) {
    HANDLE file = OpenRetried(path, GENERIC_WRITE, share, OPEN_EXISTING, error);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAll(file, Content(id, version, g_files[id].length));
    if (!ok)
        error = GetLastError();
    if (keep && ok)
        *keep = file;
    else
        CloseHandle(file);
    return ok;
}

// The next version of file `id`, the latest write so far. Under g_modelLock.
unsigned NextVersion(unsigned id) {
    g_files[id].lastWrite = ++g_writeOrder;
    return ++g_files[id].version;
}

// Picks a file of the pair and gives it its next version; false when the pair has none.
bool PickForNewVersion(int pair, unsigned &id, unsigned &version, std::wstring &rel) {
    std::lock_guard<std::mutex> lock(g_modelLock);
    int picked = PickFile(pair);
    if (picked < 0)
        return false;
    id = (unsigned)picked;
    version = NextVersion(id);
    rel = g_files[id].rel;
    return true;
}

void OpRewrite(int pair) {
    unsigned id, version;
    std::wstring rel;
    if (!PickForNewVersion(pair, id, version, rel))
        return;
    DWORD error = 0;
    if (!RewriteInPlace(id, version, SourcePath(pair, rel), FILE_SHARE_READ, nullptr, error)) {
        Failed(pair, "rewrite", rel, error);
        return;
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    NoteChange(pair, "rewrite", id);
}

// Saves as editors do: the new version into a temporary file, then moved over the file.
bool SaveByRename(int pair, unsigned id, unsigned version, const std::wstring &rel, DWORD &error) {
    wchar_t temp[64];
    swprintf(temp, 64, L"save-%u-%u.tmp", id, version);
    std::wstring tempPath = SourcePath(pair, Join(Parent(rel), temp));
    if (!WriteNewFile(tempPath, Content(id, version, g_files[id].length), error))
        return false;
    std::wstring target = SourcePath(pair, rel);
    if (Retried(
            [&] {
                return MoveFileExW(tempPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) !=
                       FALSE;
            },
            error))
        return true;
    DeleteFileW(tempPath.c_str());
    return false;
}

void OpSave(int pair) {
    unsigned id, version;
    std::wstring rel;
    if (!PickForNewVersion(pair, id, version, rel))
        return;
    DWORD error = 0;
    if (!SaveByRename(pair, id, version, rel, error)) {
        Failed(pair, "save-rename", rel, error);
        return;
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    NoteChange(pair, "save-rename", id);
}

void OpRenameFile(int pair) {
    unsigned id;
    std::wstring from, to;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        int picked = PickFile(pair);
        if (picked < 0)
            return;
        id = (unsigned)picked;
        from = g_files[id].rel;
        std::wstring folder = Chance(0.5) ? Parent(from) : PickFolder(pair);
        to = Join(folder, NewBaseName(pair, L"r"));
        g_files[id].busy = true;
    }
    DWORD error = 0;
    std::wstring a = SourcePath(pair, from), b = SourcePath(pair, to);
    bool ok = Retried([&] { return MoveFileExW(a.c_str(), b.c_str(), 0) != FALSE; }, error);
    std::lock_guard<std::mutex> lock(g_modelLock);
    g_files[id].busy = false;
    if (!ok) {
        NoteOp(pair, "op-failed", Format("rename %s err=%lu", Utf8(from).c_str(), error));
        return;
    }
    Rename(id, to);
    NoteOp(pair, "rename", Format("id %u %s -> %s", id, Utf8(from).c_str(), Utf8(to).c_str()),
           {id});
}

void OpDelete(int pair) {
    unsigned id;
    std::wstring rel;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        int picked = PickFile(pair);
        if (picked < 0)
            return;
        id = (unsigned)picked;
        rel = g_files[id].rel;
        g_files[id].busy = true;
    }
    DWORD error = 0;
    std::wstring path = SourcePath(pair, rel);
    bool ok = Retried([&] { return DeleteFileW(path.c_str()) != FALSE; }, error);
    std::lock_guard<std::mutex> lock(g_modelLock);
    g_files[id].busy = false;
    if (!ok) {
        NoteOp(pair, "op-failed", Format("delete %s err=%lu", Utf8(rel).c_str(), error));
        return;
    }
    SetPresent(id, false);
    NoteOp(pair, "delete", FileText(g_files[id]), {id});
}

void OpMakeFolder(int pair) {
    std::wstring rel;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        std::wstring parent = PickFolder(pair);
        if (std::count(parent.begin(), parent.end(), L'\\') >= 3)
            parent.clear();
        rel = Join(parent, NewFolderName(L"d"));
    }
    std::wstring path = SourcePath(pair, rel);
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        Failed(pair, "mkdir", rel, GetLastError());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        g_pairs[pair].folders.insert(rel);
        NoteOp(pair, "mkdir", Utf8(rel));
    }
    // A new folder usually gets a file at once.
    if (Chance(0.7))
        OpCreate(pair, rel);
}

// Files written into a folder outside every watched tree, to be moved in whole. Returns the
// ids, their paths relative to the built folder.
std::vector<unsigned> BuildFolder(int pair, const std::wstring &at, unsigned files, bool nested,
                                  std::vector<std::wstring> &folders) {
    std::vector<unsigned> ids;
    CreateDirectoryW(at.c_str(), nullptr);
    folders.push_back(L"");
    if (nested) {
        std::wstring sub = NewFolderName(L"n");
        CreateDirectoryW((at + L"\\" + sub).c_str(), nullptr);
        folders.push_back(sub);
    }
    for (unsigned k = 0; k < files; ++k) {
        std::wstring folder = folders[Uniform(0, (unsigned)folders.size() - 1)];
        std::wstring rel = Join(folder, NewBaseName(pair, L"m"));
        ULONGLONG length = SmallLength();
        unsigned id;
        {
            std::lock_guard<std::mutex> lock(g_modelLock);
            id = NewFile(pair, rel, length, false);
        }
        DWORD error = 0;
        if (WriteNewFile(Join(at, rel), Content(id, 1, length), error))
            ids.push_back(id);
    }
    return ids;
}

std::wstring g_stage; // a folder beside the pairs, outside every watched tree

// Places the built folder's files in the model below `rel` once it has been moved there.
void AdoptFolder(int pair, const std::wstring &rel, const std::vector<unsigned> &ids,
                 const std::vector<std::wstring> &folders, size_t op) {
    for (const std::wstring &folder : folders)
        g_pairs[pair].folders.insert(Join(rel, folder));
    for (unsigned id : ids) {
        g_files[id].rel = Join(rel, g_files[id].rel);
        SetPresent(id, true);
        AddOpToFile(id, op);
    }
}

void OpMoveFolderIn(int pair) {
    std::wstring name = NewFolderName(L"in");
    std::wstring built = g_stage + L"\\" + name;
    std::vector<std::wstring> folders;
    std::vector<unsigned> ids = BuildFolder(pair, built, Uniform(3, 25), Chance(0.5), folders);
    std::wstring rel;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        std::wstring parent = PickFolder(pair);
        if (std::count(parent.begin(), parent.end(), L'\\') >= 3)
            parent.clear();
        rel = Join(parent, name);
    }
    DWORD error = 0;
    std::wstring target = SourcePath(pair, rel);
    if (!Retried([&] { return MoveFileExW(built.c_str(), target.c_str(), 0) != FALSE; }, error)) {
        Failed(pair, "move-in", rel, error);
        return;
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    size_t op = NoteOp(pair, "move-in", Format("%s with %zu files", Utf8(rel).c_str(), ids.size()));
    AdoptFolder(pair, rel, ids, folders, op);
}

// Renames a folder of the tree (one that holds nothing busy): every file below gets a new
// path, none a new base name.
void OpRenameFolder(int pair) {
    std::wstring from, to, pendingCreate;
    std::vector<unsigned> below;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        if (g_pairs[pair].folders.size() < 2)
            return;
        from = PickFolder(pair);
        if (from.empty())
            return;
        std::wstring prefix = Fold(from + L"\\");
        for (unsigned id : g_pairs[pair].present) {
            if (Fold(g_files[id].rel).compare(0, prefix.size(), prefix) != 0)
                continue;
            if (g_files[id].busy)
                return;
            below.push_back(id);
        }
        to = Join(Parent(from), NewFolderName(L"ren"));
        for (unsigned id : below)
            g_files[id].busy = true;
    }
    DWORD error = 0;
    std::wstring a = SourcePath(pair, from), b = SourcePath(pair, to);
    bool ok = Retried([&] { return MoveFileExW(a.c_str(), b.c_str(), 0) != FALSE; }, error);
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        for (unsigned id : below)
            g_files[id].busy = false;
        if (!ok) {
            NoteOp(pair, "op-failed",
                   Format("rename-folder %s err=%lu", Utf8(from).c_str(), error));
            return;
        }
        size_t op = NoteOp(
            pair, "rename-folder",
            Format("%s -> %s (%zu files)", Utf8(from).c_str(), Utf8(to).c_str(), below.size()));
        std::set<std::wstring> &folders = g_pairs[pair].folders;
        std::set<std::wstring> renamed;
        std::wstring prefix = Fold(from + L"\\");
        for (auto it = folders.begin(); it != folders.end();) {
            if (Fold(*it) == Fold(from) || Fold(*it).compare(0, prefix.size(), prefix) == 0) {
                renamed.insert(to + it->substr(from.size()));
                it = folders.erase(it);
            } else {
                ++it;
            }
        }
        folders.insert(renamed.begin(), renamed.end());
        for (unsigned id : below) {
            g_files[id].rel = to + g_files[id].rel.substr(from.size());
            AddOpToFile(id, op);
        }
        // Half the time a new folder takes the old name at once ("keep the old one, start a new
        // one"), and gets a file.
        if (Chance(0.5) && CreateDirectoryW(a.c_str(), nullptr)) {
            folders.insert(from);
            NoteOp(pair, "mkdir", Utf8(from) + " (the renamed folder's old name)");
            pendingCreate = from;
        }
    }
    if (!pendingCreate.empty())
        OpCreate(pair, pendingCreate);
}

// Deletes a folder of the tree with everything in it (one that holds nothing busy).
void OpDeleteFolder(int pair) {
    std::wstring rel;
    std::vector<unsigned> below;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        rel = PickFolder(pair);
        if (rel.empty())
            return;
        std::wstring prefix = Fold(rel + L"\\");
        for (unsigned id : g_pairs[pair].present) {
            if (Fold(g_files[id].rel).compare(0, prefix.size(), prefix) != 0)
                continue;
            if (g_files[id].busy)
                return;
            below.push_back(id);
        }
        for (unsigned id : below)
            g_files[id].busy = true;
    }
    bool ok = DeleteTree(SourcePath(pair, rel));
    DWORD error = ok ? 0 : GetLastError();
    std::vector<std::wstring> left;
    ListTree(SourcePath(pair, rel), L"", left);
    std::lock_guard<std::mutex> lock(g_modelLock);
    for (unsigned id : below)
        g_files[id].busy = false;
    // What is gone is gone, whatever failed.
    size_t op =
        NoteOp(pair, ok ? "delete-folder" : "op-failed",
               Format("%s%s (%zu files)", ok ? "" : "delete-folder, partly: ", Utf8(rel).c_str(),
                      below.size()) +
                   (ok ? "" : Format(" err=%lu", error)));
    std::set<std::wstring> stillThere;
    for (const std::wstring &file : left)
        stillThere.insert(Fold(Join(rel, file)));
    for (unsigned id : below) {
        if (stillThere.count(Fold(g_files[id].rel)))
            continue;
        SetPresent(id, false);
        AddOpToFile(id, op);
    }
    if (!Exists(SourcePath(pair, rel))) {
        std::set<std::wstring> &folders = g_pairs[pair].folders;
        std::wstring prefix = Fold(rel + L"\\");
        for (auto it = folders.begin(); it != folders.end();)
            it = Fold(*it) == Fold(rel) || Fold(*it).compare(0, prefix.size(), prefix) == 0
                     ? folders.erase(it)
                     : std::next(it);
    }
}

// Several hundred files at full speed into a new folder: far more records than one read holds.
void OpBurst(int pair) {
    std::wstring rel = NewFolderName(L"burst");
    if (!CreateDirectoryW(SourcePath(pair, rel).c_str(), nullptr)) {
        Failed(pair, "burst", rel, GetLastError());
        return;
    }
    unsigned count = Uniform(300, 800);
    std::vector<unsigned> ids;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        g_pairs[pair].folders.insert(rel);
        for (unsigned k = 0; k < count; ++k)
            ids.push_back(
                NewFile(pair, Join(rel, NewBaseName(pair, L"b")), Uniform(60, 600), false));
    }
    double started = NowMs();
    std::vector<unsigned> written;
    for (unsigned id : ids) {
        DWORD error = 0;
        if (WriteNewFile(SourcePath(pair, g_files[id].rel), Content(id, 1, g_files[id].length),
                         error))
            written.push_back(id);
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    size_t op = NoteOp(
        pair, "burst",
        Format("%s: %zu files in %.0f ms", Utf8(rel).c_str(), written.size(), NowMs() - started));
    for (unsigned id : written) {
        SetPresent(id, true);
        AddOpToFile(id, op);
    }
}

// A writer that keeps its file open without sharing for 1-6 s: copies fail meanwhile.
void OpHeldWriter(int pair) {
    DWORD holdMs = Uniform(1000, 6000);
    bool fresh = Chance(0.4);
    unsigned id, version;
    std::wstring rel;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        if (fresh) {
            rel = Join(PickFolder(pair), NewBaseName(pair, L"h"));
            id = NewFile(pair, rel, SmallLength(), false);
        } else {
            int picked = PickFile(pair);
            if (picked < 0)
                return;
            id = (unsigned)picked;
            ++g_files[id].version;
            g_files[id].lastWrite = ++g_writeOrder;
            rel = g_files[id].rel;
        }
        version = g_files[id].version;
        g_files[id].busy = true;
        ++g_pairs[pair].holds;
    }
    DWORD error = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring path = SourcePath(pair, rel);
    bool ok;
    if (fresh) {
        file = OpenRetried(path, GENERIC_WRITE, 0, CREATE_NEW, error);
        ok = file != INVALID_HANDLE_VALUE && WriteAll(file, Content(id, 1, g_files[id].length));
    } else {
        ok = RewriteInPlace(id, version, path, 0, &file, error);
    }
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        if (!ok) {
            g_files[id].busy = false;
            --g_pairs[pair].holds;
            NoteOp(pair, "op-failed", Format("held-writer %s err=%lu", Utf8(rel).c_str(), error));
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
            return;
        }
        if (fresh)
            SetPresent(id, true);
        NoteChange(pair, "held-writer", id, Format(", held %lu ms", holdMs));
    }
    InBackground([=] {
        Sleep(holdMs);
        CloseHandle(file);
        std::lock_guard<std::mutex> lock(g_modelLock);
        g_files[id].busy = false;
        --g_pairs[pair].holds;
        NoteOp(pair, "writer-closed", FileText(g_files[id]), {id});
    });
}

// A reader (a backup tool, a viewer) holds a destination copy without sharing delete, so that
// it cannot be replaced, while its source changes.
void OpHeldReader(int pair) {
    DWORD holdMs = Uniform(1000, 6000);
    unsigned id, version;
    std::wstring rel, dest;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        int picked = PickFile(pair);
        if (picked < 0)
            return;
        id = (unsigned)picked;
        rel = g_files[id].rel;
        dest = g_pairs[pair].dest + L"\\" + BaseName(rel);
        if (g_files[id].sameName || !Exists(dest))
            return;
        g_files[id].busy = true;
        version = NextVersion(id);
        ++g_pairs[pair].holds;
    }
    HANDLE reader = CreateFileW(dest.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    DWORD readerError = reader == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    DWORD error = 0;
    bool ok = Chance(0.5) ? RewriteInPlace(id, version, SourcePath(pair, rel), FILE_SHARE_READ,
                                           nullptr, error)
                          : SaveByRename(pair, id, version, rel, error);
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        g_files[id].busy = false;
        if (!ok)
            NoteOp(pair, "op-failed", Format("held-reader %s err=%lu", Utf8(rel).c_str(), error));
        else
            NoteChange(pair, "held-reader", id,
                       Format(", destination held %lu ms%s", holdMs,
                              reader == INVALID_HANDLE_VALUE
                                  ? Format(" (could not open it: err=%lu)", readerError).c_str()
                                  : ""));
    }
    InBackground([=] {
        Sleep(holdMs);
        if (reader != INVALID_HANDLE_VALUE)
            CloseHandle(reader);
        std::lock_guard<std::mutex> lock(g_modelLock);
        --g_pairs[pair].holds;
        NoteOp(pair, "reader-closed", Format("id %u", id), {id});
    });
}

// A large file written slowly, in pieces, as a download or an export does.
void OpLargeFile(int pair) {
    ULONGLONG length = (ULONGLONG)Uniform(4, 24) << 20;
    DWORD spreadMs = Uniform(2000, 8000);
    unsigned id;
    std::wstring rel;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        rel = Join(PickFolder(pair), NewBaseName(pair, L"large"));
        id = NewFile(pair, rel, length, true);
        g_files[id].busy = true;
        ++g_pairs[pair].holds;
    }
    DWORD error = 0;
    HANDLE file =
        OpenRetried(SourcePath(pair, rel), GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, error);
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        if (file == INVALID_HANDLE_VALUE) {
            g_files[id].busy = false;
            --g_pairs[pair].holds;
            NoteOp(pair, "op-failed", Format("large %s err=%lu", Utf8(rel).c_str(), error));
            return;
        }
        SetPresent(id, true);
        NoteOp(pair, "large-start",
               Format("%s, %llu MiB over %lu ms", FileText(g_files[id]).c_str(),
                      (unsigned long long)(length >> 20), spreadMs),
               {id});
    }
    InBackground([=] {
        const size_t kPiece = 256 * 1024;
        ULONGLONG pieces = (length + kPiece - 1) / kPiece;
        bool ok = true;
        for (ULONGLONG k = 0; k < pieces && ok; ++k) {
            ULONGLONG from = k * kPiece;
            size_t count = (size_t)std::min<ULONGLONG>(kPiece, length - from);
            ok = WriteAll(file, ContentPiece(id, 1, length, from, count));
            Sleep((DWORD)(spreadMs / pieces));
        }
        CloseHandle(file);
        std::lock_guard<std::mutex> lock(g_modelLock);
        g_files[id].busy = false;
        --g_pairs[pair].holds;
        if (ok)
            NoteChange(pair, "large-done", id);
        else
            NoteOp(pair, "op-failed", "large " + FileText(g_files[id]), {id});
    });
}

// ---- The small destination disk ---------------------------------------------------------------

std::wstring g_smallFolder; // empty: no small file system
std::wstring g_filler;      // the file that fills it while it is full

// Fills the small file system up to its last byte.
void FillDisk() {
    wchar_t name[32];
    swprintf(name, 32, L"\\filler-%u.bin", ++g_nameCounter);
    g_filler = g_smallFolder + name;
    HANDLE file = CreateFileW(g_filler.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Failed(-1, "disk-full", g_filler, GetLastError());
        g_filler.clear();
        return;
    }
    std::string chunk(1 << 20, 'x');
    ULONGLONG total = 0;
    for (size_t size : {size_t(1) << 20, size_t(4096), size_t(512), size_t(1)}) {
        for (;;) {
            DWORD wrote = 0;
            if (!WriteFile(file, chunk.data(), (DWORD)size, &wrote, nullptr) || wrote == 0)
                break;
            total += wrote;
            if (wrote < size)
                break;
        }
    }
    CloseHandle(file);
    std::lock_guard<std::mutex> lock(g_modelLock);
    for (const SoakPair &pair : g_pairs)
        if (pair.smallDisk)
            NoteOp(pair.index, "disk-full",
                   Format("destination disk filled (%llu KiB)", (unsigned long long)(total >> 10)));
}

void FreeDisk() {
    if (g_filler.empty())
        return;
    DWORD error = 0;
    bool ok = Retried([&] { return DeleteFileW(g_filler.c_str()) != FALSE; }, error);
    std::lock_guard<std::mutex> lock(g_modelLock);
    for (const SoakPair &pair : g_pairs)
        if (pair.smallDisk)
            NoteOp(pair.index, ok ? "disk-freed" : "op-failed",
                   ok ? std::string("destination disk freed") : Format("free disk err=%lu", error));
    g_filler.clear();
}

// ---- The swapped source folder ----------------------------------------------------------------

// Takes every file of the pair out of the model: the tree is gone from the watched path.
void ForgetTree(int pair, size_t op) {
    std::vector<unsigned> present = g_pairs[pair].present;
    for (unsigned id : present) {
        SetPresent(id, false);
        AddOpToFile(id, op);
    }
    g_pairs[pair].folders.clear();
    g_pairs[pair].folders.insert(L"");
}

// The watched folder renamed away and another folder, with files, renamed into its place: at
// once, or after a gap of up to 8 s in which the path names nothing (the other pairs go on;
// this one waits for CompleteSwap).
struct PendingSwap {
    int pair = -1;
    double due = 0;
    std::wstring built, name;
    std::vector<unsigned> ids;
    std::vector<std::wstring> folders;
};
PendingSwap g_swap; // workload thread

void CompleteSwap() {
    int pair = g_swap.pair;
    std::wstring source = g_pairs[pair].source;
    DWORD error = 0;
    bool ok = Retried([&] { return MoveFileExW(g_swap.built.c_str(), source.c_str(), 0) != FALSE; },
                      error);
    std::lock_guard<std::mutex> lock(g_modelLock);
    size_t op = NoteOp(
        pair, "swap-source",
        ok ? Format("%s with %zu files renamed in", Utf8(g_swap.name).c_str(), g_swap.ids.size())
           : Format("renaming the new source in failed, err=%lu", error));
    if (ok)
        AdoptFolder(pair, L"", g_swap.ids, g_swap.folders, op);
    else
        CreateDirectoryW(source.c_str(), nullptr);
    g_swap = PendingSwap();
}

void OpSwapSource(int pair) {
    g_swap.name = NewFolderName(L"swap");
    g_swap.built = g_stage + L"\\" + g_swap.name;
    g_swap.folders.clear();
    g_swap.ids = BuildFolder(pair, g_swap.built, Uniform(5, 40), true, g_swap.folders);
    std::wstring source = g_pairs[pair].source;
    std::wstring away = source + L"-old-" + g_swap.name;
    DWORD error = 0;
    if (!Retried([&] { return MoveFileExW(source.c_str(), away.c_str(), 0) != FALSE; }, error)) {
        Failed(pair, "swap", source, error);
        g_swap = PendingSwap();
        return;
    }
    double gap = Chance(0.5) ? UniformMs(500, 8000) : 0;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        size_t op = NoteOp(pair, "swap-away",
                           Format("source renamed away; another comes in %.0f ms later", gap));
        ForgetTree(pair, op);
    }
    g_swap.pair = pair;
    g_swap.due = NowMs() + gap;
    if (gap == 0)
        CompleteSwap();
}

// The watched folder deleted with everything in it, then made again with a few files. Under
// Wine a folder that another process has open is only marked for deletion: it stays, empty,
// until the last handle closes (and stays for good if it holds files then). Making it again
// then fails with ERROR_ALREADY_EXISTS, as for any program, and the files go into it.
void OpRemoveSource(int pair) {
    std::wstring source = g_pairs[pair].source;
    bool removed = DeleteTree(source);
    DWORD removeError = removed ? 0 : GetLastError();
    bool stayed = Exists(source);
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        size_t op =
            NoteOp(pair, "remove-source",
                   stayed ? Format("source deleted; the folder stays (err=%lu)", removeError)
                          : std::string("source deleted"));
        ForgetTree(pair, op);
    }
    if (!CreateDirectoryW(source.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        Failed(pair, "remake-source", source, GetLastError());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        NoteOp(pair, "remake-source", "source made again");
    }
    for (unsigned k = Uniform(2, 8); k > 0; --k)
        OpCreate(pair, L"");
}

// A source folder that went away by itself (a deleted folder that stayed while the program
// had it open goes when the program closes it: at a restart) is made again, as its user
// would, before anything else is written there.
void RemakeVanishedSource(int pair) {
    std::wstring source = g_pairs[pair].source;
    if (Exists(source) || !CreateDirectoryW(source.c_str(), nullptr))
        return;
    std::lock_guard<std::mutex> lock(g_modelLock);
    size_t op = NoteOp(pair, "remake-source", "source had gone; made again");
    ForgetTree(pair, op);
}

// ---- The program: launch, trace, restart, exit ------------------------------------------------

struct TraceLine {
    double at;
    std::string text;
};

std::mutex g_traceLock;
std::vector<TraceLine> g_trace;
HANDLE g_traceLog = INVALID_HANDLE_VALUE;
PROCESS_INFORMATION g_viewer = {}; // VantrelDebugView.exe, which runs Vantrel.exe

DWORD WINAPI ReadTrace(LPVOID parameter) {
    HANDLE pipe = (HANDLE)parameter;
    std::string pending;
    char chunk[8192];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        double at = NowMs();
        pending.append(chunk, got);
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            WriteLog(g_traceLog, Format("%10.1f ", at) + line + "\n");
            std::lock_guard<std::mutex> lock(g_traceLock);
            g_trace.push_back({at, line});
        }
        pending.erase(0, start);
    }
    return 0;
}

bool LaunchProgram(const std::wstring &program, const std::wstring &viewer,
                   const std::wstring &config, bool trustBatches) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", config.c_str());
    // Set or taken out, never inherited: the run says which behaviour it soaked.
    SetEnvironmentVariableW(L"VANTREL_TRUST_BATCHES", trustBatches ? L"1" : nullptr);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 1 << 16))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring line = L"\"" + viewer + L"\" \"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &g_viewer) != FALSE;
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    HANDLE reader = CreateThread(nullptr, 0, ReadTrace, readEnd, 0, nullptr);
    if (reader)
        CloseHandle(reader);
    return true;
}

bool Running() {
    return g_viewer.hProcess && WaitForSingleObject(g_viewer.hProcess, 0) == WAIT_TIMEOUT;
}

HWND MainWindow() {
    return FindWindowW(L"MERIDAX", nullptr);
}

bool WaitUntil(const std::function<bool()> &state, DWORD timeoutMs) {
    double start = NowMs();
    while (!state()) {
        if (NowMs() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

struct FoundWindow {
    HWND owner;
    const wchar_t *caption;
    HWND found;
};

BOOL CALLBACK FindOwned(HWND window, LPARAM parameter) {
    FoundWindow *want = (FoundWindow *)parameter;
    wchar_t className[64] = {}, caption[128] = {};
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, caption, 128);
    if (wcscmp(className, L"#32770") == 0 && GetWindow(window, GW_OWNER) == want->owner &&
        IsWindowVisible(window) && wcscmp(caption, want->caption) == 0) {
        want->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND OwnedDialog(HWND owner, const wchar_t *caption) {
    FoundWindow want = {owner, caption, nullptr};
    EnumWindows(FindOwned, (LPARAM)&want);
    return want.found;
}

void PressButton(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

bool SetItemText(HWND dialog, int id, const std::wstring &text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, (LPARAM)text.c_str(),
                               SMTO_NORMAL, 10000, &result) != 0;
}

std::wstring g_root; // the run folder
std::atomic<unsigned> g_restarts{0};
std::atomic<bool> g_restarting{false}; // a restart runs in the background

// Registers a throwaway pair through the program's own window, as a user does: the panel's
// first button, both paths typed, 登録, the 情報 box accepted. The program then stops every
// watch and starts them again.
bool RestartThroughDialog() {
    wchar_t name[32];
    swprintf(name, 32, L"\\extra\\%u", g_restarts.fetch_add(1) + 1);
    std::wstring source = g_root + name + L"-src", dest = g_root + name + L"-dst";
    CreateDirectoryW((g_root + L"\\extra").c_str(), nullptr);
    CreateDirectoryW(source.c_str(), nullptr);
    std::string problem;
    double started = NowMs();
    HWND main = MainWindow();
    HWND panel = main ? FindWindowExW(main, nullptr, L"#32770", nullptr) : nullptr;
    HWND dialog = nullptr, box = nullptr;
    if (!panel) {
        problem = "no main window or panel";
    } else {
        PressButton(panel, 1001);
        if (!WaitUntil([&] { return (dialog = OwnedDialog(main, L"監視フォルダ登録")) != nullptr; },
                       30000))
            problem = "the registration dialog did not open";
    }
    if (problem.empty() && (!SetItemText(dialog, 1003, source) || !SetItemText(dialog, 1006, dest)))
        problem = "could not type the paths";
    if (problem.empty()) {
        PressButton(dialog, 1008);
        if (!WaitUntil([&] { return (box = OwnedDialog(dialog, L"情報")) != nullptr; }, 30000))
            problem = "no 情報 box after 登録";
    }
    double stopping = 0;
    if (problem.empty()) {
        stopping = NowMs();
        PressButton(box, IDOK);
        if (!WaitUntil([&] { return !IsWindow(dialog); }, 60000))
            problem = "the dialog stayed open after the 情報 box";
    }
    std::lock_guard<std::mutex> lock(g_modelLock);
    if (!problem.empty()) {
        NoteOp(-1, "op-failed", "restart: " + problem);
        return false;
    }
    NoteOp(-1, "restart",
           Format("registered %s (dialog %.0f ms, stop and start %.0f ms)", Utf8(source).c_str(),
                  stopping - started, NowMs() - stopping));
    return true;
}

void EndProgram() {
    if (!Running())
        return;
    HWND main = MainWindow();
    if (main)
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(105, 0), 0); // File > 終了する
    if (WaitForSingleObject(g_viewer.hProcess, 15000) != WAIT_OBJECT_0)
        TerminateProcess(g_viewer.hProcess, 1);
}

// ---- The program's threads, handles and memory ------------------------------------------------

// One look at the program's process from outside; -1 where the system would not say.
struct ProcessSample {
    std::string when;
    double at = 0;
    long long pairs = -1;      // pairs in the pair file: each watched pair costs a thread
    long long threads = -1;    // from a Toolhelp snapshot
    long long handles = -1;    // GetProcessHandleCount, or the system's handle table
    long long privateKiB = -1; // PrivateUsage (PagefileUsage) of GetProcessMemoryInfo
    long long workingKiB = -1; // WorkingSetSize of GetProcessMemoryInfo
    bool handlesFromTable = false;
};

std::mutex g_processSampleLock;              // guards g_processSamples
std::vector<ProcessSample> g_processSamples; // the run's thread and the restarts' add to it

// From the restart's dialog closing to its sample: the program's stop waits 700 ms at most for
// the stopped threads, and releases what is left of them on a thread-pool thread after that.
const DWORD kSampleAfterRestartMs = 2000;

// The program's process: the owner of its main window, else the process the viewer started.
DWORD ProgramProcessId() {
    DWORD id = 0;
    HWND main = MainWindow();
    if (main)
        GetWindowThreadProcessId(main, &id);
    if (id != 0 || !g_viewer.hProcess)
        return id;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && id == 0;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == g_viewer.dwProcessId)
            id = entry.th32ProcessID;
    CloseHandle(snapshot);
    return id;
}

long long PairsInPairFile() {
    std::string text;
    DWORD error = 0;
    if (!ReadWhole(g_root + L"\\cfg\\Vantrel\\folders.txt", text, error))
        return -1;
    long long count = 0;
    for (size_t at = text.find("[PAIR],"); at != std::string::npos;
         at = text.find("[PAIR],", at + 1))
        ++count;
    return count;
}

// Samples the program's process; a value it cannot get stays unknown, and the run goes on.
void SampleProgram(const std::string &when) {
    ProcessSample sample;
    sample.when = when;
    sample.at = NowMs();
    sample.pairs = PairsInPairFile();
    DWORD id = ProgramProcessId();
    HANDLE process = nullptr;
    if (id != 0) {
        sample.threads = ThreadsOfProcess(id);
        process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
        if (!process)
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    }
    if (process) {
        bool fromTable = false;
        sample.handles = HandlesOfProcess(process, id, &fromTable);
        sample.handlesFromTable = fromTable && sample.handles >= 0;
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS *)&memory, sizeof memory)) {
            // Both are the process's commit charge; Wine fills in only PagefileUsage.
            SIZE_T privateBytes =
                memory.PrivateUsage > 0 ? memory.PrivateUsage : memory.PagefileUsage;
            if (privateBytes > 0)
                sample.privateKiB = (long long)(privateBytes >> 10);
            if (memory.WorkingSetSize > 0)
                sample.workingKiB = (long long)(memory.WorkingSetSize >> 10);
        }
        CloseHandle(process);
    }
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        WriteLog(g_opLog, Format("%10.1f p-1 %-14s %s: pairs %lld, threads %lld, handles %lld, "
                                 "private %lld KiB, working set %lld KiB\n",
                                 sample.at, "process", when.c_str(), sample.pairs, sample.threads,
                                 sample.handles, sample.privateKiB, sample.workingKiB));
    }
    std::lock_guard<std::mutex> lock(g_processSampleLock);
    g_processSamples.push_back(sample);
}

// A restart through the dialog, a second one `again` ms later unless that is 0, then a sample
// of the program once the new watches have had a moment to start and the stopped generation to
// be released.
void RestartAndSample(DWORD again) {
    unsigned first = g_restarts.load() + 1;
    if (!RestartThroughDialog())
        return;
    if (again != 0) {
        Sleep(again);
        RestartThroughDialog();
    }
    Sleep(kSampleAfterRestartMs);
    unsigned last = g_restarts.load();
    SampleProgram(last == first ? Format("after restart %u", last)
                                : Format("after restarts %u-%u", first, last));
}

std::string Cell(long long value) {
    return value < 0 ? std::string("n/a") : Format("%lld", value);
}

std::string Growth(long long from, long long to) {
    return from < 0 || to < 0 ? std::string("n/a") : Format("%+lld", to - from);
}

void ReportProcessRow(const ProcessSample &sample) {
    Report(Format("  %-22s %7.1f %5s %7s %7s %11s %11s", sample.when.c_str(), sample.at / 1000,
                  Cell(sample.pairs).c_str(), Cell(sample.threads).c_str(),
                  Cell(sample.handles).c_str(), Cell(sample.privateKiB).c_str(),
                  Cell(sample.workingKiB).c_str()));
}

// How much each value grew; and, as every restart registers one more pair, what the threads
// beyond one a pair did and what each pair added cost in handles and private memory.
std::string GrowthBetween(const ProcessSample &from, const ProcessSample &to) {
    std::string text = Format(
        "pairs %s, threads %s, handles %s, private %s KiB, working set %s KiB",
        Growth(from.pairs, to.pairs).c_str(), Growth(from.threads, to.threads).c_str(),
        Growth(from.handles, to.handles).c_str(), Growth(from.privateKiB, to.privateKiB).c_str(),
        Growth(from.workingKiB, to.workingKiB).c_str());
    if (from.pairs < 0 || to.pairs < 0)
        return text;
    if (from.threads >= 0 && to.threads >= 0)
        text += Format("; threads beyond one a pair %lld -> %lld", from.threads - from.pairs,
                       to.threads - to.pairs);
    long long added = to.pairs - from.pairs;
    if (added > 0 && from.handles >= 0 && to.handles >= 0)
        text += Format("; per pair added: handles %.1f",
                       double(to.handles - from.handles) / double(added));
    if (added > 0 && from.privateKiB >= 0 && to.privateKiB >= 0)
        text +=
            Format(", private %.0f KiB", double(to.privateKiB - from.privateKiB) / double(added));
    return text;
}

// The samples as a table, the first and last few when there are many, and how much each
// value grew: from the first start to the end, and from the first restart to the last.
void ReportProcessSamples() {
    std::vector<ProcessSample> samples;
    {
        std::lock_guard<std::mutex> lock(g_processSampleLock);
        samples = g_processSamples;
    }
    bool fromTable = false;
    for (const ProcessSample &sample : samples)
        fromTable = fromTable || sample.handlesFromTable;
    Report(std::string("The program's process (threads: Toolhelp snapshot; handles: ") +
           (fromTable ? "the system's handle table, as GetProcessHandleCount says 0"
                      : "GetProcessHandleCount") +
           "; private: PrivateUsage, or PagefileUsage where that is 0, and working set: "
           "WorkingSetSize, of GetProcessMemoryInfo):");
    Report(Format("  %-22s %7s %5s %7s %7s %11s %11s", "", "at s", "pairs", "threads", "handles",
                  "private KiB", "working KiB"));
    const size_t kHead = 4, kTail = 5;
    for (size_t k = 0; k < samples.size(); ++k) {
        if (samples.size() > kHead + kTail + 1 && k == kHead)
            Report(Format("  ... %zu more", samples.size() - kHead - kTail));
        if (samples.size() <= kHead + kTail + 1 || k < kHead || k >= samples.size() - kTail)
            ReportProcessRow(samples[k]);
    }
    std::vector<const ProcessSample *> restarts;
    for (const ProcessSample &sample : samples)
        if (sample.when.rfind("after restart", 0) == 0)
            restarts.push_back(&sample);
    if (samples.size() >= 2)
        Report(Format("  From \"%s\" to \"%s\": %s", samples.front().when.c_str(),
                      samples.back().when.c_str(),
                      GrowthBetween(samples.front(), samples.back()).c_str()));
    if (restarts.size() >= 2)
        Report(Format("  From \"%s\" to \"%s\": %s", restarts.front()->when.c_str(),
                      restarts.back()->when.c_str(),
                      GrowthBetween(*restarts.front(), *restarts.back()).c_str()));
}

// ---- Sampling destination copies while the workload runs --------------------------------------

std::atomic<bool> g_sampling{true};

// Judges one destination file against what was written under its name.
void Sample(int pair, const std::wstring &folded, const std::wstring &name) {
    std::wstring path = g_pairs[pair].dest + L"\\" + name;
    std::string bytes;
    DWORD error = 0;
    bool read = ReadWhole(path, bytes, error);
    double at = NowMs();
    std::lock_guard<std::mutex> lock(g_modelLock);
    DestName &dest = g_pairs[pair].destNames[folded];
    ++g_samples;
    if (!read) {
        if (dest.good && error == ERROR_FILE_NOT_FOUND)
            g_violations.push_back({at, pair, name, "a good copy vanished"});
        return;
    }
    Judged judged = Judge(bytes);
    bool known = judged.parsed && dest.ids.count(judged.id) && judged.id < g_files.size() &&
                 judged.version <= g_files[judged.id].version &&
                 judged.length == g_files[judged.id].length;
    if (judged.torn && known) {
        ++g_tornSamples;
        return;
    }
    if (judged.complete && known) {
        if (!dest.good) {
            dest.good = true;
            dest.goodAt = at;
        }
        return;
    }
    if ((judged.prefix && !judged.parsed) || (judged.prefix && known)) {
        if (dest.good)
            g_violations.push_back(
                {at, pair, name, "a good copy was replaced by a partial one: " + Describe(judged)});
        return;
    }
    g_violations.push_back(
        {at, pair, name, "holds bytes of no version written under this name: " + Describe(judged)});
}

DWORD WINAPI SampleDestinations(LPVOID) {
    std::mt19937_64 random(g_seed * 7919);
    while (g_sampling.load()) {
        Sleep(15);
        int pair = -1;
        std::wstring folded, name;
        {
            std::lock_guard<std::mutex> lock(g_modelLock);
            // Half the samples follow the files changed last, where copies are under way.
            unsigned id = 0;
            if (g_files.empty())
                continue;
            if (random() % 2 == 0 && g_ops.size() > 0) {
                unsigned back = (unsigned)(random() % std::min<size_t>(g_files.size(), 200));
                id = (unsigned)(g_files.size() - 1 - back);
            } else {
                id = (unsigned)(random() % g_files.size());
            }
            const SoakFile &file = g_files[id];
            if (file.rel.empty())
                continue;
            pair = file.pair;
            name = BaseName(file.rel);
            folded = Fold(name);
        }
        Sample(pair, folded, name);
    }
    return 0;
}

// ---- The final check --------------------------------------------------------------------------

struct Loss {
    int pair;
    unsigned id;
    std::wstring rel;
    std::string expected, found;
};

// Every file in each source tree against its destination copy; same-name files against the
// one written last. Also lists leftover temporary copies.
void CheckFinal(std::vector<Loss> &losses, std::vector<std::wstring> &leftovers, size_t &checked) {
    losses.clear();
    leftovers.clear();
    checked = 0;
    for (const SoakPair &pair : g_pairs) {
        std::vector<std::wstring> files;
        ListTree(pair.source, L"", files);
        // The source file that the destination name must hold: the one written last.
        std::map<std::wstring, std::pair<std::wstring, ULONGLONG>> wanted;
        for (const std::wstring &rel : files) {
            std::string bytes;
            DWORD error = 0;
            ULONGLONG order = 0;
            if (ReadWhole(Join(pair.source, rel), bytes, error)) {
                Judged judged = Judge(bytes);
                std::lock_guard<std::mutex> lock(g_modelLock);
                if (judged.parsed && judged.id < g_files.size())
                    order = g_files[judged.id].lastWrite;
            }
            auto &slot = wanted[Fold(BaseName(rel))];
            if (slot.first.empty() || order > slot.second)
                slot = {rel, order};
        }
        for (const auto &[folded, source] : wanted) {
            // A name whose file written last has been deleted or renamed keeps that file's
            // copy, rightly (deletions are not mirrored): nothing left in the source says what
            // it must hold.
            bool deletedWinner = false;
            {
                std::lock_guard<std::mutex> lock(g_modelLock);
                auto name = pair.destNames.find(folded);
                if (name != pair.destNames.end() && name->second.ids.size() > 1) {
                    unsigned last = *name->second.ids.begin();
                    for (unsigned id : name->second.ids)
                        if (g_files[id].lastWrite > g_files[last].lastWrite)
                            last = id;
                    deletedWinner =
                        !g_files[last].present || Fold(BaseName(g_files[last].rel)) != folded;
                }
            }
            if (deletedWinner)
                continue;
            ++checked;
            std::string want, have;
            DWORD error = 0;
            ReadWhole(Join(pair.source, source.first), want, error);
            std::wstring destPath = pair.dest + L"\\" + BaseName(source.first);
            bool found = ReadWhole(destPath, have, error);
            if (found && have == want)
                continue;
            Judged expected = Judge(want);
            Loss loss{pair.index, expected.parsed ? expected.id : 0u, source.first,
                      Describe(expected), found ? Describe(Judge(have)) : "missing"};
            losses.push_back(loss);
        }
        std::vector<WIN32_FIND_DATAW> entries;
        ListFolder(pair.dest, entries);
        for (const WIN32_FIND_DATAW &entry : entries)
            if (wcsncmp(entry.cFileName, L"~vantrel-", 9) == 0)
                leftovers.push_back(pair.dest + L"\\" + entry.cFileName);
    }
}

// The file names a trace line mentions (the last component of each path in it), UTF-8.
std::vector<std::string> NamesInLine(const std::string &line) {
    static const char *kEndings[] = {".txt", ".docx", ".csv", ".dat", ".log"};
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t at = 0; at <= line.size(); ++at) {
        char c = at < line.size() ? line[at] : ' ';
        if (c != '\\' && c != ' ' && c != '>' && c != '(')
            continue;
        std::string word = line.substr(start, at - start);
        for (const char *ending : kEndings) {
            size_t n = strlen(ending);
            if (word.size() > n && word.compare(word.size() - n, n, ending) == 0)
                names.push_back(word);
        }
        start = at + 1;
    }
    return names;
}

// How the program heard of each change the workload made to a file's content: the first trace
// line that names the file after the change (a copy, a copy deferred, a record skipped). A
// change that nothing names within 10 s, although its file stayed where it was, went unheard
// for a while: a run of them on one pair is a watch gone deaf. A line that names the file under
// another folder means a record named it by a wrong path.
void ReportUnheardChanges() {
    const double kLateMs = 10000;
    std::map<std::string, std::vector<size_t>> mentions; // file name -> trace line indexes
    std::vector<TraceLine> trace;
    {
        std::lock_guard<std::mutex> lock(g_traceLock);
        trace = g_trace;
    }
    for (size_t k = 0; k < trace.size(); ++k)
        for (const std::string &name : NamesInLine(trace[k].text))
            mentions[name].push_back(k);
    std::lock_guard<std::mutex> lock(g_modelLock);
    struct Unheard {
        double at, heardAfter; // heardAfter < 0: never
        int pair;
        std::wstring path;
    };
    std::vector<Unheard> late;
    size_t changes = 0, misnamed = 0, never = 0;
    for (size_t k = 0; k < g_ops.size(); ++k) {
        const OpRecord &op = g_ops[k];
        if (op.changed == ~0u)
            continue;
        // A file renamed, deleted or taken away soon after may never be copied, rightly.
        const SoakFile &file = g_files[op.changed];
        auto self = std::find(file.ops.begin(), file.ops.end(), k);
        if (self != file.ops.end() && self + 1 != file.ops.end() &&
            g_ops[*(self + 1)].at - op.at < kLateMs && g_ops[*(self + 1)].changed == ~0u &&
            g_ops[*(self + 1)].kind != "writer-closed" &&
            g_ops[*(self + 1)].kind != "reader-closed")
            continue;
        ++changes;
        std::string base = Utf8(BaseName(op.path));
        std::string where = Utf8(Join(g_pairs[op.pair].source, op.path));
        double heard = -1;
        bool rightPath = false;
        auto found = mentions.find(base);
        if (found != mentions.end()) {
            for (size_t line : found->second) {
                if (trace[line].at < op.at - 50)
                    continue;
                if (heard < 0)
                    heard = trace[line].at;
                if (trace[line].text.find(where) != std::string::npos) {
                    rightPath = true;
                    break;
                }
                if (trace[line].at > heard + kLateMs)
                    break;
            }
        }
        if (heard >= 0 && !rightPath)
            ++misnamed;
        if (heard < 0)
            ++never;
        if (heard < 0 || heard - op.at > kLateMs)
            late.push_back({op.at, heard < 0 ? -1 : heard - op.at, op.pair, op.path});
    }
    Report(Format("Changes to files: %zu; named by a wrong path: %zu; not named for 10 s or more: "
                  "%zu, never: %zu",
                  changes, misnamed, late.size(), never));
    // Runs of unheard changes on one pair, each less than 10 s after the one before.
    std::sort(late.begin(), late.end(), [](const Unheard &a, const Unheard &b) {
        return a.pair != b.pair ? a.pair < b.pair : a.at < b.at;
    });
    for (size_t first = 0; first < late.size();) {
        size_t last = first;
        while (last + 1 < late.size() && late[last + 1].pair == late[first].pair &&
               late[last + 1].at - late[last].at < kLateMs)
            ++last;
        if (last - first + 1 >= 3) {
            std::set<std::wstring> folders;
            for (size_t k = first; k <= last; ++k)
                folders.insert(Parent(late[k].path));
            std::string list;
            for (const std::wstring &folder : folders)
                list += " " + (folder.empty() ? std::string(".") : Utf8(folder));
            Report(Format("  deaf spell, pair %d: %zu changes from %.1f to %.1f s not named for "
                          "10 s or more, in:%s",
                          late[first].pair, last - first + 1, late[first].at / 1000,
                          late[last].at / 1000, list.c_str()));
        }
        first = last + 1;
    }
}

size_t CountTrace(const char *text) {
    std::lock_guard<std::mutex> lock(g_traceLock);
    size_t count = 0;
    for (const TraceLine &line : g_trace)
        if (line.text.find(text) != std::string::npos)
            ++count;
    return count;
}

// The situation a lost file was in, as far as the workload knows it: below a folder renamed
// inside the tree, one of several files of one name, written around a restart, or else.
std::string LossSituation(const Loss &loss) {
    std::wstring folder = Parent(loss.rel);
    for (size_t from = 0; from < folder.size();) {
        size_t cut = std::min(folder.find(L'\\', from), folder.size());
        std::wstring part = folder.substr(from, cut - from);
        if (part.rfind(L"資料", 0) == 0)
            part = part.substr(2);
        if (part.size() > 3 && part.rfind(L"ren", 0) == 0 && iswdigit(part[3]))
            return "below a renamed folder";
        from = cut + 1;
    }
    if (loss.id < g_files.size() && g_files[loss.id].sameName)
        return "same name";
    if (loss.id < g_files.size() && !g_files[loss.id].ops.empty()) {
        double last = g_ops[g_files[loss.id].ops.back()].at;
        for (const OpRecord &op : g_ops)
            if (op.kind == "restart" && op.at > last - 5000 && op.at < last + 2000)
                return "around a restart";
    }
    return "other";
}

std::map<std::string, unsigned> g_lossSituations;

void ReportLoss(const Loss &loss) {
    std::lock_guard<std::mutex> lock(g_modelLock);
    std::string situation = LossSituation(loss);
    ++g_lossSituations[situation];
    Report(Format("  LOST pair %d %s: expected %s, found %s [%s]", loss.pair,
                  Utf8(loss.rel).c_str(), loss.expected.c_str(), loss.found.c_str(),
                  situation.c_str()));
    if (loss.id >= g_files.size())
        return;
    // Its last operations, with the restarts and the pair's faults among them.
    const std::vector<size_t> &ops = g_files[loss.id].ops;
    size_t first = ops.size() > 8 ? ops.size() - 8 : 0;
    if (ops.empty())
        return;
    double from = g_ops[ops[first]].at - 3000, to = g_ops[ops.back()].at + 10000;
    std::vector<size_t> shown(ops.begin() + first, ops.end());
    for (size_t k = 0; k < g_ops.size(); ++k) {
        const OpRecord &op = g_ops[k];
        bool fault =
            op.kind == "restart" ||
            (op.pair == loss.pair && (op.kind.rfind("disk-", 0) == 0 || op.kind == "swap-source" ||
                                      op.kind == "remove-source" || op.kind == "remake-source" ||
                                      op.kind == "burst" || op.kind == "rename-folder"));
        if (fault && op.at >= from && op.at <= to)
            shown.push_back(k);
    }
    std::sort(shown.begin(), shown.end());
    shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
    for (size_t k : shown) {
        const OpRecord &op = g_ops[k];
        Report(
            Format("      %10.1f p%d %-14s %s", op.at, op.pair, op.kind.c_str(), op.text.c_str()));
    }
}

// ---- The run ----------------------------------------------------------------------------------

std::set<std::string> g_without; // kinds of operation left out

// The kinds of operation that rename a folder inside a watched tree, where Wine's batches go
// wrong (monitor/system_behaviour.h). A folder moved in from outside (move-in) and the source
// folder itself swapped or removed (swap) are not among them.
const char *const kRenamesFolderInTree[] = {"rename-folder"};

struct Options {
    std::wstring root, program, viewer, small;
    double seconds = 600;
    double settleSeconds = 120;
    double restartSeconds = 0; // the mean time between restarts; 0: about a minute
    bool trustBatches = false; // the program runs with VANTREL_TRUST_BATCHES=1
};

bool ParseOptions(int argc, wchar_t **argv, Options &options) {
    for (int i = 2; i < argc; ++i) {
        std::wstring key = argv[i];
        if (key == L"--trust-batches") {
            options.trustBatches = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::wstring value = argv[++i];
        if (key == L"--root")
            options.root = value;
        else if (key == L"--program")
            options.program = value;
        else if (key == L"--viewer")
            options.viewer = value;
        else if (key == L"--small")
            options.small = value;
        else if (key == L"--seconds")
            options.seconds = _wtof(value.c_str());
        else if (key == L"--settle")
            options.settleSeconds = _wtof(value.c_str());
        else if (key == L"--restart-every")
            options.restartSeconds = _wtof(value.c_str());
        else if (key == L"--seed")
            g_seed = _wcstoui64(value.c_str(), nullptr, 10);
        else if (key == L"--without")
            for (size_t from = 0; from <= value.size();) {
                size_t comma = std::min(value.find(L',', from), value.size());
                g_without.insert(Utf8(value.substr(from, comma - from)));
                from = comma + 1;
            }
        else
            return false;
    }
    return !options.root.empty() && !options.program.empty() && !options.viewer.empty() &&
           options.seconds > 0;
}

bool WritePairFile(const std::wstring &config) {
    std::wstring folder = config + L"\\Vantrel";
    CreateDirectoryW(config.c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    std::string text = "\xEF\xBB\xBF";
    for (const SoakPair &pair : g_pairs)
        text += "[PAIR]," + Utf8(pair.source) + "\\," + Utf8(pair.dest) + "\n";
    HANDLE file = CreateFileW((folder + L"\\folders.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAll(file, text);
    CloseHandle(file);
    return ok;
}

// Events that come now and then rather than at random: each has its next time.
struct Periodic {
    const char *name;
    double next, low, high; // ms
};

void RunOneOperation(int pair) {
    if (g_swap.pair == pair)
        return;
    RemakeVanishedSource(pair);
    // Weights of the steady operations.
    static const struct {
        const char *kind;
        unsigned weight;
    } kKinds[] = {{"create", 22},     {"rewrite", 20},    {"save", 10},     {"rename", 8},
                  {"delete", 7},      {"mkdir", 3},       {"move-in", 3},   {"rename-folder", 1},
                  {"held-writer", 4}, {"held-reader", 3}, {"same-name", 1}, {"delete-folder", 1}};
    unsigned total = 0;
    for (const auto &kind : kKinds)
        total += kind.weight;
    unsigned pick = Uniform(1, total);
    std::string kind;
    for (const auto &k : kKinds) {
        if (pick <= k.weight) {
            kind = k.kind;
            break;
        }
        pick -= k.weight;
    }
    if (g_without.count(kind))
        return;
    if (kind == "create") {
        std::wstring folder;
        {
            std::lock_guard<std::mutex> lock(g_modelLock);
            folder = PickFolder(pair);
        }
        OpCreate(pair, folder);
    } else if (kind == "rewrite") {
        OpRewrite(pair);
    } else if (kind == "save") {
        OpSave(pair);
    } else if (kind == "rename") {
        OpRenameFile(pair);
    } else if (kind == "delete") {
        OpDelete(pair);
    } else if (kind == "mkdir") {
        OpMakeFolder(pair);
    } else if (kind == "move-in") {
        OpMoveFolderIn(pair);
    } else if (kind == "rename-folder") {
        OpRenameFolder(pair);
    } else if (kind == "delete-folder") {
        OpDeleteFolder(pair);
    } else if (kind == "held-writer") {
        OpHeldWriter(pair);
    } else if (kind == "held-reader") {
        OpHeldReader(pair);
    } else if (kind == "same-name" && pair == 0) {
        OpSameName(pair);
    }
}

bool PairHolds(int pair) {
    std::lock_guard<std::mutex> lock(g_modelLock);
    return g_pairs[pair].holds > 0;
}

void RunWorkload(double seconds, double restartSeconds) {
    double end = seconds * 1000;
    // Scaled to the run: a one-minute run still meets every fault once.
    double minute = std::min(60000.0, end / 2);
    double restartEvery = restartSeconds > 0 ? restartSeconds * 1000 : minute;
    std::vector<Periodic> periodic = {
        {"restart", UniformMs(0.5, 0.7) * restartEvery, 0.85 * restartEvery, 1.15 * restartEvery},
        {"burst", UniformMs(0.2, 0.5) * minute, 0.7 * minute, 1.5 * minute},
        {"large", UniformMs(0.1, 0.3) * minute, 1.0 * minute, 2.0 * minute},
        {"disk-full", UniformMs(0.25, 0.4) * minute, 1.8 * minute, 2.6 * minute},
        {"swap", UniformMs(0.6, 0.9) * minute, 1.6 * minute, 2.4 * minute},
    };
    double fullUntil = 0;
    bool swapNext = true;
    int pairs = (int)g_pairs.size();
    while (NowMs() < end) {
        double now = NowMs();
        if (fullUntil != 0 && now >= fullUntil) {
            FreeDisk();
            fullUntil = 0;
        }
        if (g_swap.pair >= 0 && now >= g_swap.due)
            CompleteSwap();
        for (Periodic &event : periodic) {
            if (now < event.next)
                continue;
            std::string name = event.name;
            bool done = true;
            if (g_without.count(name)) {
            } else if (name == "restart") {
                // In the background: the workload goes on while the program stops and
                // starts its watches, as it would for a user.
                // Now and then twice in quick succession, as when two pairs are registered
                // one after the other: the second stop may come before the first start has
                // caught up.
                DWORD again = !Chance(0.4)  ? 0
                              : Chance(0.5) ? Uniform(100, 400)
                                            : Uniform(400, 2500);
                if (!g_restarting.exchange(true))
                    InBackground([again] {
                        RestartAndSample(again);
                        g_restarting.store(false);
                    });
            } else if (name == "burst") {
                int pair = Uniform(0, pairs - 1);
                if (pair != g_swap.pair)
                    OpBurst(pair);
            } else if (name == "large") {
                OpLargeFile(Chance(0.5) || g_swap.pair == 2 ? 0 : 2);
            } else if (name == "disk-full") {
                if (!g_smallFolder.empty() && fullUntil == 0) {
                    FillDisk();
                    fullUntil = NowMs() + UniformMs(5000, 20000);
                }
            } else if (name == "swap") {
                // Only while nothing of the pair is held: a held file keeps Windows from
                // renaming or deleting its folder.
                done = !PairHolds(2) && g_swap.pair < 0;
                if (done) {
                    if (swapNext)
                        OpSwapSource(2);
                    else
                        OpRemoveSource(2);
                    swapNext = !swapNext;
                }
            }
            event.next = done ? NowMs() + UniformMs(event.low, event.high) : NowMs() + 500;
        }
        RunOneOperation(Uniform(0, pairs - 1));
        Sleep(Uniform(0, 220));
    }
    if (fullUntil != 0)
        FreeDisk();
    if (g_swap.pair >= 0)
        CompleteSwap();
}

int RunSoak(const Options &options) {
    g_root = options.root;
    g_random.seed(g_seed);
    if (!CreateDirectoryW(g_root.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        printf("error: cannot make the run folder\n");
        return 2;
    }
    g_resultFile = OpenLog(g_root + L"\\result.txt");
    g_opLog = OpenLog(g_root + L"\\ops.log");
    g_traceLog = OpenLog(g_root + L"\\trace.log");
    g_stage = g_root + L"\\stage";
    CreateDirectoryW(g_stage.c_str(), nullptr);
    g_smallFolder = options.small;

    // Three pairs: the second one's destination on the small disk when there is one, the
    // third one's source swapped and removed now and then.
    for (int i = 0; i < 3; ++i) {
        SoakPair pair;
        pair.index = i;
        wchar_t name[32];
        swprintf(name, 32, L"\\p%d-src", i);
        pair.source = g_root + name;
        swprintf(name, 32, L"\\p%d-dst", i);
        pair.dest = g_root + name;
        if (i == 1 && !g_smallFolder.empty()) {
            pair.dest = g_smallFolder + L"\\p1-dst";
            pair.smallDisk = true;
        }
        pair.folders.insert(L"");
        CreateDirectoryW(pair.source.c_str(), nullptr);
        CreateDirectoryW(pair.dest.c_str(), nullptr);
        g_pairs.push_back(pair);
    }
    if (!WritePairFile(g_root + L"\\cfg")) {
        printf("error: cannot write the pair file\n");
        return 2;
    }
    Report(Format("Soak: seed %llu, %.0f s, run folder %s", (unsigned long long)g_seed,
                  options.seconds, Utf8(g_root).c_str()));
    if (g_smallFolder.empty())
        Report("  no small file system: the destination disk is never filled");
    if (options.trustBatches)
        for (const char *kind : kRenamesFolderInTree)
            g_without.insert(kind);
    std::string behaviour =
        options.trustBatches
            ? "batches trusted, as on Windows (VANTREL_TRUST_BATCHES=1; no folder renamed inside "
              "a tree)"
            : "as the system does";
    Report("  change batches: " + behaviour);
    if (!g_without.empty()) {
        std::string list;
        for (const std::string &kind : g_without)
            list += (list.empty() ? " " : ", ") + kind;
        Report("  left out:" + list);
    }

    QueryPerformanceCounter(&g_clockStart);
    if (!LaunchProgram(options.program, options.viewer, g_root + L"\\cfg", options.trustBatches)) {
        Report(Format("error: cannot start the program (err=%lu)", GetLastError()));
        return 2;
    }
    // The program is up once its three pairs are watched.
    if (!WaitUntil([] { return CountTrace("started for path") >= 3 && MainWindow() != nullptr; },
                   60000)) {
        Report("error: the program did not start watching its three pairs within 60 s");
        EndProgram();
        return 2;
    }
    // Its first catch-up walks, of empty trees, take moments.
    Sleep(1000);
    QueryPerformanceCounter(&g_clockStart);
    SampleProgram("after first start");
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        NoteOp(-1, "start", "workload starts");
    }
    HANDLE sampler = CreateThread(nullptr, 0, SampleDestinations, nullptr, 0, nullptr);
    RunWorkload(options.seconds, options.restartSeconds);
    double workloadEnd = NowMs();
    WaitUntil([] { return g_background.load() == 0; }, 60000);
    g_sampling.store(false);
    if (sampler) {
        WaitForSingleObject(sampler, INFINITE);
        CloseHandle(sampler);
    }
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        NoteOp(-1, "end", "workload ends, settling");
    }

    // Settle: no operations; ends as soon as every file is right.
    std::vector<Loss> losses;
    std::vector<std::wstring> leftovers;
    size_t checked = 0;
    double settleStart = NowMs();
    for (;;) {
        CheckFinal(losses, leftovers, checked);
        if ((losses.empty() && leftovers.empty()) ||
            NowMs() - settleStart > options.settleSeconds * 1000)
            break;
        Sleep(2000);
    }
    double settled = NowMs() - settleStart;
    SampleProgram("at the end");
    bool alive = Running() && MainWindow() != nullptr;

    size_t deferred = CountTrace("CopyFile deferred");
    size_t overflows = CountTrace("err=1022");
    size_t zeroCatchUps = CountTrace("catch-up pass copied 0 files");
    size_t catchUps = CountTrace("catch-up pass copied");
    size_t recoveries = CountTrace("recovery pass copied");
    size_t starts = CountTrace("StartMonitoring: created thread 0 ");
    size_t busySpellWalks = CountTrace("busy spell walked");
    bool passed = losses.empty() && leftovers.empty() && g_violations.empty() && alive;

    Report("");
    Report(Format("Seed %llu, workload %.0f s, settled %.1f s%s", (unsigned long long)g_seed,
                  workloadEnd / 1000, settled / 1000,
                  losses.empty() && leftovers.empty() ? "" : " (gave up waiting)"));
    std::string counts;
    unsigned files = 0;
    {
        std::lock_guard<std::mutex> lock(g_modelLock);
        for (const auto &[kind, count] : g_opCounts)
            counts += Format(" %s %u,", kind.c_str(), count);
        files = (unsigned)g_files.size();
    }
    if (!counts.empty())
        counts.pop_back();
    Report("Operations:" + counts);
    Report(Format("Files written: %u; checked at the end: %zu destination names", files, checked));
    Report(Format("Deferred copies: %zu; restarts: %u through the dialog (%zu starts of the "
                  "watches); overflows: %zu; recovery passes: %zu; catch-up passes: %zu, %zu of "
                  "them copied 0 files",
                  deferred, g_restarts.load(), starts > 0 ? starts - 1 : 0, overflows, recoveries,
                  catchUps, zeroCatchUps));
    Report(Format("Samples of destination copies: %u (%u torn reads of a rewrite in place, not "
                  "counted as faults)",
                  g_samples, g_tornSamples));
    Report(
        Format("Change batches: %s; busy spells walked: %zu", behaviour.c_str(), busySpellWalks));
    ReportProcessSamples();
    ReportUnheardChanges();
    for (const Loss &loss : losses)
        ReportLoss(loss);
    for (const std::wstring &leftover : leftovers)
        Report("  LEFT temporary copy " + Utf8(leftover));
    for (const Violation &violation : g_violations)
        Report(Format("  SAMPLE at %.1f s, pair %d %s: %s", violation.at / 1000, violation.pair,
                      Utf8(violation.name).c_str(), violation.what.c_str()));
    if (!alive)
        Report("  The program is not running or has no window");
    if (!losses.empty()) {
        std::string tally;
        for (const auto &[situation, count] : g_lossSituations)
            tally += Format(" %s %u,", situation.c_str(), count);
        tally.pop_back();
        Report("Losses by situation:" + tally);
    }
    Report(Format("Result: %s, %s (%zu lost of %zu, %zu temporary copies left, %zu bad samples, "
                  "program %s)",
                  passed ? "PASS" : "FAIL",
                  options.trustBatches ? "batches trusted" : "as the system does", losses.size(),
                  checked, leftovers.size(), g_violations.size(), alive ? "alive" : "gone"));
    EndProgram();
    Sleep(200); // the last trace lines
    return passed ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    QueryPerformanceFrequency(&g_clockRate);
    QueryPerformanceCounter(&g_clockStart);
    Options options;
    if (argc < 2 || wcscmp(argv[1], L"run") != 0 || !ParseOptions(argc, argv, options)) {
        printf("usage: vantrel_soak run --root DIR --program EXE --viewer EXE [--seconds N] "
               "[--seed N] [--small DIR] [--settle N] [--without KIND,...] [--restart-every N] "
               "[--trust-batches]\n");
        return 2;
    }
    int code = RunSoak(options);
    fflush(stdout);
    ExitProcess((UINT)code);
}
