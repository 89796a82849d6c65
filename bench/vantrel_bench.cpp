// The Windows side of the benchmarks, one console program with these commands:
//
//   vantrel_bench launch ROOT EXE [ARGS...]
//                                   runs EXE with LOCALAPPDATA=ROOT (Wine takes LOCALAPPDATA
//                                   from its registry, so the harness cannot set it from
//                                   outside); ends EXE when standard input closes.
//   vantrel_bench host ROOT         the monitoring engine with LOCALAPPDATA=ROOT and a hidden
//                                   message-only window in place of the main window; runs until
//                                   standard input closes.
//   vantrel_bench copyfile SOURCE TARGET [once]
//                                   times one CopyFileW, the MoveFileExW that puts a fresh
//                                   copy into place, and the engine's whole copy (with "once":
//                                   the CopyFileW alone).
//   vantrel_bench callcost WORK ROUNDS
//                                   the mean cost of each call a copy pass makes per file.
//   vantrel_bench startstop WORK PAIRS CYCLES
//                                   times StartMonitoring until every watch thread has opened
//                                   its folder, checks that each pair mirrors a file, and times
//                                   StopMonitoring with every thread blocked in its read.
//   vantrel_bench copystop WORK PAIRS MIB CYCLES
//                                   times StopMonitoring with every watch thread in the middle
//                                   of copying a MIB MiB file (which the harness links into
//                                   every source when told "ready"), then how long the stopped
//                                   threads take to end, and what they left.
//   vantrel_bench notes ROOT NOTES SAVES PERSAVE
//                                   what keeping the copy notes writes to the configuration
//                                   folder (LOCALAPPDATA=ROOT): NOTES notes kept, then SAVES saves
//                                   of the points, each after PERSAVE new copies.
//   vantrel_bench sweep TREE DEST REPS
//                                   times one sweep of TREE by the engine (nothing changed,
//                                   nothing copied) against a bare FindFirstFileExW listing of
//                                   it, REPS times each, in alternating order.
//
// Results go to standard output as "key value" lines that the harness reads.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "monitor/copier.h"
#include "monitor/copy_records.h"
#include "monitor/gap_walk.h"
#include "monitor/file_identity.h"
#include "monitor/monitor.h"
#include "monitor/safe_copy.h"
#include "monitor/saved_points.h"
#include "monitor/tree_walk.h"
#include "monitor/watch_thread.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"

static std::mutex g_traceMutex;            // guards the counters below
static size_t g_startedLines = 0;          // "MonitorThread[..] started" lines seen
static size_t g_readFailedLines = 0;       // "ReadDirectoryChangesW failed" lines seen
static size_t g_catchUpLines = 0;          // "MonitorThread[..] catch-up pass" lines seen
static LARGE_INTEGER g_lastStartedAt = {}; // when the latest "started" line was written
static std::atomic<LONG> g_noticesReceived{0};

static double MillisecondsBetween(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

static LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// Counts the engine's trace lines as they are written. Wine raises only the ANSI debug-print
// exception; newer Windows raises the wide one first and then the ANSI one, so count the wide
// one and let the ANSI one pass.
static LONG CALLBACK CountTraceLine(EXCEPTION_POINTERS *info) {
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    const DWORD kWide = 0x4001000A, kAnsi = 0x40010006;
    std::string text;
    if (record->ExceptionCode == kWide && record->NumberParameters >= 2) {
        const wchar_t *wide = (const wchar_t *)record->ExceptionInformation[1];
        for (; *wide; ++wide)
            text.push_back(*wide < 128 ? char(*wide) : '?');
    } else if (record->ExceptionCode == kAnsi && record->NumberParameters >= 2) {
        text = (const char *)record->ExceptionInformation[1];
    } else {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    LARGE_INTEGER now = Now();
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (text.rfind("MonitorThread[", 0) == 0 &&
            text.find("] started for path") != std::string::npos) {
            ++g_startedLines;
            g_lastStartedAt = now;
        } else if (text.rfind("ReadDirectoryChangesW failed", 0) == 0) {
            ++g_readFailedLines;
        } else if (text.rfind("MonitorThread[", 0) == 0 &&
                   text.find("] catch-up pass") != std::string::npos) {
            ++g_catchUpLines;
        }
    }
    return record->ExceptionCode == kWide ? EXCEPTION_CONTINUE_EXECUTION
                                          : EXCEPTION_CONTINUE_SEARCH;
}

static LRESULT CALLBACK HostWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_FOLDER_CHANGED) {
        delete[](wchar_t *) lParam;
        g_noticesReceived++;
        return 0;
    }
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden message-only window that receives the engine's notices in place of the main window.
static HWND CreateHostWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VantrelBenchHost";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           wc.hInstance, nullptr);
}

static void PumpMessagesFor(DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        ULONGLONG now = GetTickCount64();
        if (now >= end)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(end - now), QS_ALLINPUT);
    }
}

// Waits on its own thread for standard input to reach its end, then posts WM_CLOSE to the
// window given as parameter (or ends the process given as parameter).
struct StdinWatch {
    HWND window;
    HANDLE process;
};

static DWORD WINAPI WaitForStdinEnd(LPVOID parameter) {
    StdinWatch *watch = (StdinWatch *)parameter;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char chunk[256];
    DWORD got = 0;
    while (input && input != INVALID_HANDLE_VALUE &&
           ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    }
    if (watch->window)
        PostMessageW(watch->window, WM_CLOSE, 0, 0);
    if (watch->process)
        TerminateProcess(watch->process, 0);
    return 0;
}

static int RunLaunch(const std::wstring &root, int argc, wchar_t **argv) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", root.c_str());
    std::wstring commandLine;
    for (int i = 0; i < argc; ++i)
        commandLine += (i ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    // The child writes to our standard output and error (a debug viewer prints the trace there).
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[0], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        printf("error CreateProcessW %lu\n", GetLastError());
        return 1;
    }
    printf("pid %lu\n", process.dwProcessId);
    fflush(stdout);
    StdinWatch watch = {nullptr, process.hProcess};
    HANDLE watcher = CreateThread(nullptr, 0, WaitForStdinEnd, &watch, 0, nullptr);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    printf("exit %lu\n", code);
    fflush(stdout);
    // The stdin thread may still be blocked in its read; the process ends it.
    if (watcher)
        CloseHandle(watcher);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ExitProcess(0);
}

static int RunHost(const std::wstring &root) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", root.c_str());
    g_hMainWnd = CreateHostWindow();
    if (!g_hMainWnd) {
        printf("error CreateWindowExW %lu\n", GetLastError());
        return 1;
    }
    StartMonitoring();
    printf("ready %zu\n", g_sourceFolders.size());
    fflush(stdout);
    StdinWatch watch = {g_hMainWnd, nullptr};
    HANDLE watcher = CreateThread(nullptr, 0, WaitForStdinEnd, &watch, 0, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    StopMonitoring();
    printf("notices %ld\n", g_noticesReceived.load());
    fflush(stdout);
    if (watcher)
        CloseHandle(watcher);
    ExitProcess(0);
}

static bool WriteSmallFile(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

static std::string ReadSmallFile(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    char chunk[4096];
    DWORD got = 0;
    std::string bytes;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

static size_t StartedLines() {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_startedLines;
}

// Makes `pairs` pairs WORK\srcNN -> WORK\dstNN in a pair file of a configuration folder in
// WORK, and the window the engine posts to. False (with an error line) when the pair file
// cannot be written.
static bool PreparePairs(const std::wstring &work, size_t pairs) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", (work + L"\\cfg").c_str());
    CreateDirectoryW((work + L"\\cfg").c_str(), nullptr);
    g_sourceFolders.clear();
    g_destFolders.clear();
    for (size_t i = 0; i < pairs; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"\\src%02zu", i);
        std::wstring source = work + name;
        swprintf(name, 32, L"\\dst%02zu", i);
        std::wstring dest = work + name;
        CreateDirectoryW(source.c_str(), nullptr);
        CreateDirectoryW(dest.c_str(), nullptr);
        g_sourceFolders.push_back(source);
        g_destFolders.push_back(dest);
    }
    std::wstring errorText;
    if (!SaveAllFolderPairs(errorText)) {
        printf("error SaveAllFolderPairs %ls\n", errorText.c_str());
        return false;
    }
    g_hMainWnd = CreateHostWindow();
    AddVectoredExceptionHandler(1, CountTraceLine);
    return true;
}

static int RunStartStop(const std::wstring &work, size_t pairs, int cycles) {
    if (!PreparePairs(work, pairs))
        return 1;

    for (int cycle = 0; cycle < cycles; ++cycle) {
        {
            std::lock_guard<std::mutex> lock(g_traceMutex);
            g_startedLines = 0;
            g_readFailedLines = 0;
        }
        LARGE_INTEGER begin = Now();
        StartMonitoring();
        LARGE_INTEGER returned = Now();
        ULONGLONG deadline = GetTickCount64() + 20000;
        while (StartedLines() < pairs && GetTickCount64() < deadline)
            Sleep(1);
        LARGE_INTEGER allStarted;
        size_t started;
        {
            std::lock_guard<std::mutex> lock(g_traceMutex);
            allStarted = g_lastStartedAt;
            started = g_startedLines;
        }
        // Let every thread reach its read before the probe files are written.
        PumpMessagesFor(300);

        // One probe file per pair: proves that every thread watches and copies.
        std::vector<std::string> probes(pairs);
        LARGE_INTEGER probesWritten = Now();
        for (size_t i = 0; i < pairs; ++i) {
            char text[64];
            snprintf(text, sizeof text, "probe %d of pair %zu\n", cycle, i);
            probes[i] = text;
            WriteSmallFile(g_sourceFolders[i] + L"\\probe.txt", probes[i]);
        }
        size_t mirrored = 0;
        LARGE_INTEGER allMirrored = {};
        std::vector<bool> done(pairs, false);
        deadline = GetTickCount64() + 10000;
        while (mirrored < pairs && GetTickCount64() < deadline) {
            for (size_t i = 0; i < pairs; ++i) {
                if (!done[i] && ReadSmallFile(g_destFolders[i] + L"\\probe.txt") == probes[i]) {
                    done[i] = true;
                    ++mirrored;
                    allMirrored = Now();
                }
            }
            PumpMessagesFor(5);
        }
        // Past the throttle window, so no thread is handling a batch when the stop comes.
        PumpMessagesFor(1500);

        {
            std::lock_guard<std::mutex> lock(g_traceMutex);
            g_readFailedLines = 0;
        }
        LARGE_INTEGER stopBegin = Now();
        StopMonitoring();
        LARGE_INTEGER stopEnd = Now();
        size_t failedLines;
        {
            std::lock_guard<std::mutex> lock(g_traceMutex);
            failedLines = g_readFailedLines;
        }
        printf("cycle %d start_return_ms %.3f all_started_ms %.3f started %zu mirrored %zu "
               "mirror_ms %.3f stop_ms %.3f cancelled_reads %zu\n",
               cycle, MillisecondsBetween(begin, returned),
               started ? MillisecondsBetween(begin, allStarted) : -1.0, started, mirrored,
               mirrored ? MillisecondsBetween(probesWritten, allMirrored) : -1.0,
               MillisecondsBetween(stopBegin, stopEnd), failedLines);
        fflush(stdout);
        for (size_t i = 0; i < pairs; ++i) {
            DeleteFileW((g_sourceFolders[i] + L"\\probe.txt").c_str());
            DeleteFileW((g_destFolders[i] + L"\\probe.txt").c_str());
        }
        PumpMessagesFor(200);
    }
    ExitProcess(0);
}

static size_t CatchUpLines() {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_catchUpLines;
}

// The names in `folder` that match `pattern` (wildcards as FindFirstFileW takes them).
static std::vector<std::wstring> MatchingNames(const std::wstring &folder, const wchar_t *pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((folder + L"\\" + pattern).c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

// Waits until every handle is signalled (any number of them); false when `ms` ran out first.
static bool WaitForAll(const std::vector<HANDLE> &handles, DWORD ms) {
    ULONGLONG deadline = GetTickCount64() + ms;
    for (size_t first = 0; first < handles.size(); first += MAXIMUM_WAIT_OBJECTS) {
        DWORD count = DWORD(std::min<size_t>(MAXIMUM_WAIT_OBJECTS, handles.size() - first));
        ULONGLONG now = GetTickCount64();
        if (now >= deadline || WaitForMultipleObjects(count, handles.data() + first, TRUE,
                                                      DWORD(deadline - now)) == WAIT_TIMEOUT)
            return false;
    }
    return true;
}

// StopMonitoring while every watch thread is in the middle of a copy: each source gets a
// file of `mib` MiB at once, and the stop comes when every destination holds a temporary
// copy (every copy under way). Then how long the stopped threads take to end (where the
// system cannot cancel a copy it runs to its end), and whether any destination holds the
// file under its final name. The copies are deleted afterwards, and the source names (the
// harness keeps the files they link to).
static int RunCopyStop(const std::wstring &work, size_t pairs, int mib, int cycles) {
    if (!PreparePairs(work, pairs))
        return 1;
    const wchar_t kName[] = L"big.bin";
    for (int cycle = 0; cycle < cycles; ++cycle) {
        {
            std::lock_guard<std::mutex> lock(g_traceMutex);
            g_startedLines = 0;
            g_catchUpLines = 0;
        }
        StartMonitoring();
        // Every thread in its read, its catch-up walk done: the big files are its only work.
        ULONGLONG deadline = GetTickCount64() + 30000;
        while ((StartedLines() < pairs || CatchUpLines() < pairs) && GetTickCount64() < deadline)
            PumpMessagesFor(5);
        PumpMessagesFor(300);
        // The harness links a big file into every source now, all within a few milliseconds
        // (from here the links would compete for the processor with the first copies).
        printf("ready %d\n", cycle);
        fflush(stdout);
        LARGE_INTEGER written = Now();
        // Every destination has held a temporary copy and none yet the final name: every copy
        // is under way (a copy that ended would have left its final name).
        std::vector<bool> seen(pairs, false);
        size_t copying = 0, finished = 0;
        deadline = GetTickCount64() + 60000;
        while (GetTickCount64() < deadline) {
            finished = 0;
            for (size_t i = 0; i < pairs; ++i) {
                for (const std::wstring &name : MatchingNames(g_destFolders[i], L"*")) {
                    if (IsTemporaryCopyName(name) && !seen[i]) {
                        seen[i] = true;
                        ++copying;
                    }
                    finished += name == kName;
                }
            }
            if (copying == pairs || finished > 0)
                break;
            PumpMessagesFor(2);
        }
        LARGE_INTEGER allCopying = Now();

        // The stop closes the thread handles: keep our own to see the threads end.
        std::vector<HANDLE> threads;
        for (HANDLE thread : g_threadHandles) {
            HANDLE own = nullptr;
            if (thread && DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own,
                                          SYNCHRONIZE, FALSE, 0))
                threads.push_back(own);
        }
        FILETIME stopTime;
        GetSystemTimeAsFileTime(&stopTime);
        LARGE_INTEGER stopBegin = Now();
        StopMonitoring();
        LARGE_INTEGER stopEnd = Now();
        size_t running = 0;
        for (HANDLE thread : threads)
            running += WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
        // What one small file written through to the disk costs under this load (the stop
        // writes the mirror points so): the copies of a stopped generation run on under Wine.
        std::wstring probe = work + L"\\cfg\\flush-probe.txt";
        LARGE_INTEGER flushBegin = Now();
        HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD done = 0;
            WriteFile(file, std::string(2048, 'p').data(), 2048, &done, nullptr);
            FlushFileBuffers(file);
            CloseHandle(file);
        }
        MoveFileExW(probe.c_str(), (probe + L".moved").c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        LARGE_INTEGER flushEnd = Now();
        DeleteFileW((probe + L".moved").c_str());
        bool allEnded = WaitForAll(threads, 300000);
        LARGE_INTEGER ended = Now();
        for (HANDLE thread : threads)
            CloseHandle(thread);

        // A file under its final name was put there before the stop began (its change time,
        // set by the move into place) or after. A copy was under way when the stop began if its
        // temporary file had been seen and its final name was not put there before.
        size_t finalBefore = 0, finalAfter = 0, temporaries = 0, underWay = 0;
        for (size_t i = 0; i < pairs; ++i) {
            ULONGLONG size = 0, lastWrite = 0, changeTime = 0;
            bool before = false;
            if (ReadFileTimes(g_destFolders[i] + L"\\" + kName, size, lastWrite, changeTime)) {
                before = changeTime != 0 && changeTime < FileTimeValue(stopTime);
                ++(before ? finalBefore : finalAfter);
            }
            underWay += seen[i] && !before;
            temporaries += MatchingNames(g_destFolders[i], L"~vantrel-*.tmp").size();
        }
        printf("copycycle %d mib %d copying %zu finished_before_stop %zu copying_after_ms %.3f "
               "stop_ms %.3f running_at_return %zu flush_ms %.3f threads_end_ms %.3f "
               "all_ended %d final_names_before_stop %zu final_names_after_stop %zu "
               "temporaries_left %zu under_way %zu\n",
               cycle, mib, copying, finished, MillisecondsBetween(written, allCopying),
               MillisecondsBetween(stopBegin, stopEnd), running,
               MillisecondsBetween(flushBegin, flushEnd), MillisecondsBetween(stopBegin, ended),
               allEnded ? 1 : 0, finalBefore, finalAfter, temporaries, underWay);
        fflush(stdout);
        for (size_t i = 0; i < pairs; ++i) {
            DeleteFileW((g_sourceFolders[i] + L"\\" + kName).c_str());
            for (const std::wstring &name : MatchingNames(g_destFolders[i], L"*"))
                DeleteFileW((g_destFolders[i] + L"\\" + name).c_str());
        }
        PumpMessagesFor(200);
    }
    ExitProcess(0);
}

// Lists the tree below `folder` the plain way (FindFirstFileExW, basic information, large
// fetches), counting its files and folders: the floor for any walk of the tree.
static void ListTreeBare(const std::wstring &folder, size_t &files, size_t &folders) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> subfolders;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ++files;
        else if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            subfolders.push_back(found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    for (const std::wstring &sub : subfolders) {
        ++folders;
        ListTreeBare(folder + L"\\" + sub, files, folders);
    }
}

// One sweep of TREE as a watch thread makes it (nothing changed since now, so nothing is
// copied), against the bare listing of the same tree, `reps` times each in alternating
// order, after one listing that warms the caches.
static int RunSweep(const std::wstring &tree, const std::wstring &dest, int reps) {
    CreateDirectoryW(dest.c_str(), nullptr);
    MirrorState mirror;
    PrepareMirror(mirror, tree, dest);
    size_t files = 0, folders = 0;
    LARGE_INTEGER begin = Now();
    ListTreeBare(tree, files, folders);
    printf("warmup ms %.3f files %zu folders %zu\n", MillisecondsBetween(begin, Now()), files,
           folders);
    fflush(stdout);
    for (int rep = 0; rep < reps; ++rep) {
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == (rep % 2 == 0)) {
                files = folders = 0;
                begin = Now();
                ListTreeBare(tree, files, folders);
                printf("listing %d ms %.3f files %zu folders %zu\n", rep,
                       MillisecondsBetween(begin, Now()), files, folders);
            } else {
                FILETIME now;
                GetSystemTimeAsFileTime(&now);
                begin = Now();
                WalkReport walk =
                    CopyFilesChangedSince(tree, dest, FileTimeValue(now), mirror, WalkMode());
                printf("sweep %d ms %.3f copied %zu complete %d\n", rep,
                       MillisecondsBetween(begin, Now()), walk.copied, walk.complete ? 1 : 0);
            }
            fflush(stdout);
        }
    }
    ExitProcess(0);
}

// A progress routine that lets every copy run on, as the engine's does while no stop comes.
static DWORD CALLBACK CopyProgressContinue(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER,
                                           LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID) {
    return PROGRESS_CONTINUE;
}

// What one call costs under this system, in microseconds (the mean of `rounds` calls): the
// calls a copy pass makes per file. A small file and its copy in WORK.
static int RunCallCost(const std::wstring &work, int rounds) {
    std::wstring src = work + L"\\source.txt", dst = work + L"\\dest.txt";
    std::wstring folder = work + L"\\dest";
    CreateDirectoryW(folder.c_str(), nullptr);
    WriteSmallFile(src, std::string(200, 'x'));
    CopyFileW(src.c_str(), dst.c_str(), FALSE);
    auto timeCall = [&](const char *name, const auto &call) {
        call();
        LARGE_INTEGER begin = Now();
        for (int i = 0; i < rounds; ++i)
            call();
        printf("call %s us %.2f\n", name, MillisecondsBetween(begin, Now()) * 1000.0 / rounds);
        fflush(stdout);
    };
    timeCall("GetFileAttributesW", [&] { GetFileAttributesW(src.c_str()); });
    timeCall("GetFileAttributesExW", [&] {
        WIN32_FILE_ATTRIBUTE_DATA data;
        GetFileAttributesExW(src.c_str(), GetFileExInfoStandard, &data);
    });
    timeCall("CreateDirectoryW_existing", [&] { CreateDirectoryW(folder.c_str(), nullptr); });
    timeCall("GetFullPathNameW", [&] {
        wchar_t full[MAX_PATH];
        GetFullPathNameW(src.c_str(), MAX_PATH, full, nullptr);
    });
    timeCall("CreateFileW_CloseHandle", [&] {
        HANDLE file = CreateFileW(src.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    });
    timeCall("IsSameFile", [&] { IsSameFile(src, dst); });
    // What a walk asks of every folder it lists, on the folder's open handle: its identity
    // (the engine's ReadFileIdentity), against its times and its 64-bit index alone.
    HANDLE held = CreateFileW(work.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    timeCall("ReadFileIdentity_open_folder", [&] {
        FileIdentity identity;
        ReadFileIdentity(held, identity);
    });
    timeCall("GetFileInformationByHandleEx_FileBasicInfo_open_folder", [&] {
        FILE_BASIC_INFO basic;
        GetFileInformationByHandleEx(held, FileBasicInfo, &basic, sizeof basic);
    });
    typedef LONG(NTAPI * QueryInformationFile)(HANDLE, void *, void *, ULONG, int);
    QueryInformationFile query = (QueryInformationFile)(void *)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile");
    if (query) {
        timeCall("NtQueryInformationFile_FileInternalInformation_open_folder", [&] {
            ULONG_PTR status[2];
            LARGE_INTEGER index;
            query(held, status, &index, sizeof index, 6 /* FileInternalInformation */);
        });
    }
    CloseHandle(held);
    // Looking up a name that a folder does not hold, in an empty folder and in one of 1000
    // files: every copy to a new name makes such lookups (the temporary file, the final name).
    std::wstring few = work + L"\\lookup-0", many = work + L"\\lookup-1000";
    CreateDirectoryW(few.c_str(), nullptr);
    CreateDirectoryW(many.c_str(), nullptr);
    for (int i = 0; i < 1000; ++i)
        WriteSmallFile(many + L"\\f" + std::to_wstring(i) + L".txt", "x");
    int probe = 0;
    timeCall("GetFileAttributesW_missing_name_empty_folder", [&] {
        GetFileAttributesW((few + L"\\m" + std::to_wstring(probe++) + L".txt").c_str());
    });
    timeCall("GetFileAttributesW_missing_name_1000_files", [&] {
        GetFileAttributesW((many + L"\\m" + std::to_wstring(probe++) + L".txt").c_str());
    });
    timeCall("GetFileAttributesW_present_name_1000_files", [&] {
        GetFileAttributesW((many + L"\\f" + std::to_wstring(probe++ % 1000) + L".txt").c_str());
    });
    for (const std::wstring &name : MatchingNames(many, L"*"))
        DeleteFileW((many + L"\\" + name).c_str());
    RemoveDirectoryW(many.c_str());
    RemoveDirectoryW(few.c_str());
    timeCall("CopyFileW_200_bytes", [&] { CopyFileW(src.c_str(), dst.c_str(), FALSE); });
    timeCall("CopyFileW_then_MoveFileExW", [&] {
        CopyFileW(src.c_str(), (dst + L".new").c_str(), FALSE);
        MoveFileExW((dst + L".new").c_str(), dst.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    });
    timeCall("CopyFileW_then_MoveFileExW_no_write_through", [&] {
        CopyFileW(src.c_str(), (dst + L".new").c_str(), FALSE);
        MoveFileExW((dst + L".new").c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING);
    });
    DWORD error = 0;
    timeCall("CopyFileSafely_200_bytes", [&] { CopyFileSafely(src, dst, error, {}); });
    // The same to names the destination does not hold yet, as in a burst of new files: every
    // round a name of its own, in a folder of its own for each kind (a folder grows as a
    // burst's destination does), all removed afterwards.
    int serial = 0;
    std::vector<std::wstring> kinds;
    auto fresh = [&](const wchar_t *kind) {
        std::wstring sub = folder + L"\\" + kind;
        if (std::find(kinds.begin(), kinds.end(), sub) == kinds.end()) {
            CreateDirectoryW(sub.c_str(), nullptr);
            kinds.push_back(sub);
        }
        return sub + L"\\f" + std::to_wstring(serial++) + L".txt";
    };
    timeCall("CopyFileW_new_name", [&] { CopyFileW(src.c_str(), fresh(L"plain").c_str(), FALSE); });
    timeCall("CopyFileExW_progress_new_name", [&] {
        BOOL cancel = FALSE;
        CopyFileExW(src.c_str(), fresh(L"ex").c_str(), CopyProgressContinue, nullptr, &cancel, 0);
    });
    timeCall("CopyFileExW_progress_fail_if_exists_new_name", [&] {
        BOOL cancel = FALSE;
        CopyFileExW(src.c_str(), fresh(L"exnew").c_str(), CopyProgressContinue, nullptr, &cancel,
                    COPY_FILE_FAIL_IF_EXISTS);
    });
    timeCall("CopyFileW_then_MoveFileExW_new_name_no_write_through", [&] {
        std::wstring to = fresh(L"movednwt");
        CopyFileW(src.c_str(), (to + L".new").c_str(), FALSE);
        MoveFileExW((to + L".new").c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
    });
    timeCall("CopyFileSafely_new_name", [&] { CopyFileSafely(src, fresh(L"safe"), error, {}); });
    // The move alone: a file made once per round outside the timing is not possible in this
    // loop, so a name is moved back and forth between two names.
    std::wstring one = folder + L"\\one.txt", two = folder + L"\\two.txt";
    CopyFileW(src.c_str(), one.c_str(), FALSE);
    bool atOne = true;
    auto moveOnce = [&](DWORD flags) {
        MoveFileExW((atOne ? one : two).c_str(), (atOne ? two : one).c_str(), flags);
        atOne = !atOne;
    };
    timeCall("MoveFileExW_new_name", [&] { moveOnce(MOVEFILE_REPLACE_EXISTING); });
    timeCall("MoveFileExW_new_name_write_through",
             [&] { moveOnce(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH); });
    for (const std::wstring &sub : kinds) {
        for (const std::wstring &name : MatchingNames(sub, L"*"))
            DeleteFileW((sub + L"\\" + name).c_str());
        RemoveDirectoryW(sub.c_str());
    }
    DeleteFileW(one.c_str());
    DeleteFileW(two.c_str());
    // The copy pass of one file and its floor, timed side by side: each round calls the three
    // (in turns, each first in one round of three), so that whatever else the machine does
    // weighs on them alike.
    // - the floor: CopyFileW to a temporary name, then MoveFileExW to a name the folder does not
    //   hold yet, in a folder that fills as the rounds go on;
    // - the pass over an earlier copy: every round a file of its own (made before the timing) in
    //   a subfolder of its own, over the destination's earlier copy of that name (the program
    //   copies a file that keeps changing less often, and a file it has copied as it is not at
    //   all, so one file again and again would measure no copy). The tree lies beside the
    //   destination, as a pair's source does;
    // - the pass for a file the destination does not hold yet, as in a burst of new files: every
    //   round a source file of its own and a destination folder that fills.
    std::wstring floorFolder = work + L"\\floor";
    CreateDirectoryW(floorFolder.c_str(), nullptr);
    std::wstring tree = work + L"\\versions";
    CreateDirectoryW(tree.c_str(), nullptr);
    std::vector<std::wstring> versions;
    for (int i = 0; i <= rounds + 1; ++i) {
        versions.push_back(L"v" + std::to_wstring(i));
        CreateDirectoryW((tree + L"\\" + versions.back()).c_str(), nullptr);
        WriteSmallFile(tree + L"\\" + versions.back() + L"\\source.txt",
                       std::string(200, char('a' + i % 26)));
    }
    std::wstring sources = work + L"\\fresh-src", copies = work + L"\\fresh-dst";
    CreateDirectoryW(sources.c_str(), nullptr);
    CreateDirectoryW(copies.c_str(), nullptr);
    std::vector<std::wstring> names;
    for (int i = 0; i <= rounds + 1; ++i) {
        names.push_back(L"n" + std::to_wstring(i) + L".txt");
        WriteSmallFile(sources + L"\\" + names.back(), std::string(200, 'y'));
    }
    MirrorState mirror, freshMirror;
    PrepareMirror(mirror, tree, folder);
    PrepareMirror(freshMirror, sources, copies);
    CopyChangedFiles(tree, folder, {{versions.back() + L"\\source.txt", FILE_ACTION_ADDED}}, mirror,
                     GetTickCount64(), 0);
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    size_t version = 0, next = 0;
    int floorCopies = 0;
    auto floorCall = [&] {
        std::wstring to = floorFolder + L"\\f" + std::to_wstring(floorCopies++) + L".txt";
        CopyFileW(src.c_str(), (to + L".new").c_str(), FALSE);
        MoveFileExW((to + L".new").c_str(), to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    };
    auto passCall = [&] {
        std::wstring name = versions[version++] + L"\\source.txt";
        std::vector<FolderChange> changes = {{name, FILE_ACTION_ADDED},
                                             {name, FILE_ACTION_MODIFIED}};
        CopyChangedFiles(tree, folder, changes, mirror, GetTickCount64(), 0);
    };
    auto newNameCall = [&] {
        const std::wstring &name = names[next++];
        std::vector<FolderChange> changes = {{name, FILE_ACTION_ADDED},
                                             {name, FILE_ACTION_MODIFIED}};
        CopyChangedFiles(sources, copies, changes, freshMirror, GetTickCount64(), 0);
    };
    const std::function<void()> calls[3] = {floorCall, passCall, newNameCall};
    double spent[3] = {};
    for (int round = -1; round < rounds; ++round) { // the first round warms up, untimed
        for (int k = 0; k < 3; ++k) {
            int which = (round + 3 + k) % 3;
            LARGE_INTEGER begin = Now();
            calls[which]();
            if (round >= 0)
                spent[which] += MillisecondsBetween(begin, Now());
        }
    }
    const char *callNames[3] = {"CopyFileW_then_MoveFileExW_new_name",
                                "CopyChangedFiles_one_added_one_modified",
                                "CopyChangedFiles_new_name"};
    for (int k = 0; k < 3; ++k)
        printf("call %s us %.2f\n", callNames[k], spent[k] * 1000.0 / rounds);
    // Every call copies: the copy was put into place after the calls began (its change time),
    // and no temporary file is left.
    ULONGLONG size = 0, lastWrite = 0, changeTime = 0;
    bool replaced =
        ReadFileTimes(folder + L"\\source.txt", size, lastWrite, changeTime) &&
        changeTime >= FileTimeValue(before) && size == 200 &&
        ReadSmallFile(folder + L"\\source.txt") == std::string(200, char('a' + (version - 1) % 26));
    printf("check CopyChangedFiles_one_added_one_modified placed %d temporaries %zu\n",
           replaced ? 1 : 0, MatchingNames(folder, L"~vantrel-*.tmp").size());
    for (const std::wstring &name : versions) {
        DeleteFileW((tree + L"\\" + name + L"\\source.txt").c_str());
        RemoveDirectoryW((tree + L"\\" + name).c_str());
    }
    RemoveDirectoryW(tree.c_str());
    for (const std::wstring &name : MatchingNames(floorFolder, L"*"))
        DeleteFileW((floorFolder + L"\\" + name).c_str());
    RemoveDirectoryW(floorFolder.c_str());
    size_t arrived = 0;
    for (size_t k = 0; k < next; ++k)
        arrived += ReadSmallFile(copies + L"\\" + names[k]).size() == 200;
    printf("check CopyChangedFiles_new_name placed %zu of %zu temporaries %zu\n", arrived, next,
           MatchingNames(copies, L"~vantrel-*.tmp").size());
    fflush(stdout);
    for (const std::wstring &name : names) {
        DeleteFileW((sources + L"\\" + name).c_str());
        DeleteFileW((copies + L"\\" + name).c_str());
    }
    RemoveDirectoryW(sources.c_str());
    RemoveDirectoryW(copies.c_str());
    ExitProcess(0);
}

// How long CopyFileW alone takes for one file: the large-file copy without the watching.
static int RunCopyFile(const std::wstring &source, const std::wstring &target, bool once) {
    LARGE_INTEGER begin = Now();
    BOOL copied = CopyFileW(source.c_str(), target.c_str(), FALSE);
    LARGE_INTEGER end = Now();
    if (!copied) {
        printf("error CopyFileW %lu\n", GetLastError());
        return 1;
    }
    printf("copy_s %.4f\n", MillisecondsBetween(begin, end) / 1000.0);
    fflush(stdout);
    if (once) {
        DeleteFileW(target.c_str());
        return 0;
    }
    // The engine puts a finished copy into place with MoveFileExW: what the move of a fresh
    // copy costs, with and without MOVEFILE_WRITE_THROUGH, and the engine's whole copy.
    std::wstring moved = target + L".moved";
    const DWORD flags[2] = {MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH,
                            MOVEFILE_REPLACE_EXISTING};
    const char *names[2] = {"move_write_through_s", "move_s"};
    for (int k = 0; k < 2; ++k) {
        if (k > 0 && !CopyFileW(source.c_str(), target.c_str(), FALSE))
            break;
        begin = Now();
        BOOL done = MoveFileExW(target.c_str(), moved.c_str(), flags[k]);
        end = Now();
        if (done)
            printf("%s %.4f\n", names[k], MillisecondsBetween(begin, end) / 1000.0);
        DeleteFileW(moved.c_str());
        DeleteFileW(target.c_str());
    }
    BOOL cancel = FALSE;
    begin = Now();
    if (CopyFileExW(source.c_str(), target.c_str(), CopyProgressContinue, nullptr, &cancel, 0))
        printf("copy_ex_progress_s %.4f\n", MillisecondsBetween(begin, Now()) / 1000.0);
    DeleteFileW(target.c_str());
    // The same copy to a name that must not exist yet (a temporary copy's): the file is made
    // without the truncation that CopyFileW's "replace" asks for.
    cancel = FALSE;
    begin = Now();
    if (CopyFileExW(source.c_str(), target.c_str(), CopyProgressContinue, nullptr, &cancel,
                    COPY_FILE_FAIL_IF_EXISTS))
        printf("copy_ex_fail_if_exists_s %.4f\n", MillisecondsBetween(begin, Now()) / 1000.0);
    DeleteFileW(target.c_str());
    DWORD error = 0;
    begin = Now();
    if (CopyFileSafely(source, target, error, {}))
        printf("copy_safely_s %.4f\n", MillisecondsBetween(begin, Now()) / 1000.0);
    fflush(stdout);
    DeleteFileW(target.c_str());

    // For comparison: the same copy as a loop of 4 MiB reads and writes (CopyFileW copies in
    // much smaller pieces, each a round of system calls under Wine).
    begin = Now();
    HANDLE in = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    HANDLE out = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
        printf("error CreateFileW %lu\n", GetLastError());
        return 1;
    }
    std::vector<char> chunk(4 << 20);
    DWORD got = 0, written = 0;
    bool ok = true;
    while (ok && ReadFile(in, chunk.data(), DWORD(chunk.size()), &got, nullptr) && got > 0)
        ok = WriteFile(out, chunk.data(), got, &written, nullptr) && written == got;
    CloseHandle(in);
    CloseHandle(out);
    end = Now();
    printf("loop4m_s %.4f\n", MillisecondsBetween(begin, end) / 1000.0);
    DeleteFileW(target.c_str());
    return ok ? 0 : 1;
}

// A file of the configuration folder as a save leaves it: its size and its identity (a file
// replaced in one step is a new file).
struct KeptFileSeen {
    ULONGLONG size = 0;
    std::string identity;
};

static KeptFileSeen SeeKeptFile(const std::wstring &path) {
    KeptFileSeen seen;
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return seen;
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    seen.size = (ULONGLONG)size.QuadPart;
    FileIdentity identity;
    if (ReadFileIdentity(file, identity))
        seen.identity = std::string((const char *)&identity, sizeof identity);
    CloseHandle(file);
    return seen;
}

// Keeps NOTES notes of one pair, then saves SAVES times after PERSAVE new copies each, as a pair
// copying while the user works with the points saved once a minute; counts the bytes the saves
// write to the configuration folder: what each file grew by, or its whole size where it was
// replaced.
static int RunNotes(const std::wstring &root, size_t notes, int saves, size_t perSave) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", root.c_str());
    std::wstring config = GetConfigDirectory();
    LoadKeptPoints({}, false);
    const unsigned long long pair = NotesPairOf(L"C:\\Users\\me\\Pictures", L"E:\\Backup");
    unsigned long long next = 1;
    auto copyMade = [&] {
        CopyNote note;
        note.copy = 0x100000000ULL + next;
        note.source = 0x200000000ULL + next;
        note.pair = pair;
        note.size = 3000000 + next;
        note.lastWrite = note.copyWrite = 133000000000000000ULL + next * 10000000;
        note.changeTime = note.lastWrite + 1;
        note.attributes = FILE_ATTRIBUTE_ARCHIVE;
        note.copiedAt = note.changeTime + 5000000;
        ++next;
        NoteCopyMade(note);
    };
    ULONGLONG point = 133900000000000000ULL;
    auto save = [&] {
        point += 600000000ULL; // a minute on
        KeepPoints({{L"C:\\Users\\me\\Pictures", L"E:\\Backup", point, nullptr, std::string()}});
        FinishKeepingPoints();
    };
    for (size_t k = 0; k < notes; ++k)
        copyMade();
    save();
    const wchar_t *names[] = {L"\\mirror-points.txt", L"\\mirror-folders.txt",
                              L"\\mirror-copies.txt"};
    KeptFileSeen before[3];
    for (int f = 0; f < 3; ++f)
        before[f] = SeeKeptFile(config + names[f]);
    ULONGLONG startSize = before[2].size;
    unsigned long long written = 0;
    for (int k = 0; k < saves; ++k) {
        for (size_t c = 0; c < perSave; ++c)
            copyMade();
        save();
        for (int f = 0; f < 3; ++f) {
            KeptFileSeen after = SeeKeptFile(config + names[f]);
            if (after.identity != before[f].identity)
                written += after.size;
            else if (after.size > before[f].size)
                written += after.size - before[f].size;
            before[f] = after;
        }
    }
    printf("notes_kept %zu\n", notes);
    printf("notes_file_bytes_start %llu\n", startSize);
    printf("notes_file_bytes_end %llu\n", before[2].size);
    printf("notes_saves %d\n", saves);
    printf("notes_per_save %zu\n", perSave);
    printf("notes_bytes_written %llu\n", written);
    fflush(stdout);
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"launch" && argc >= 4)
        return RunLaunch(argv[2], argc - 3, argv + 3);
    if (command == L"host" && argc == 3)
        return RunHost(argv[2]);
    if (command == L"copyfile" && (argc == 4 || (argc == 5 && std::wstring(argv[4]) == L"once")))
        return RunCopyFile(argv[2], argv[3], argc == 5);
    if (command == L"callcost" && argc == 4)
        return RunCallCost(argv[2], _wtoi(argv[3]));
    if (command == L"startstop" && argc == 5)
        return RunStartStop(argv[2], size_t(_wtoi(argv[3])), _wtoi(argv[4]));
    if (command == L"copystop" && argc == 6)
        return RunCopyStop(argv[2], size_t(_wtoi(argv[3])), _wtoi(argv[4]), _wtoi(argv[5]));
    if (command == L"notes" && argc == 6)
        return RunNotes(argv[2], size_t(_wtoi(argv[3])), _wtoi(argv[4]), size_t(_wtoi(argv[5])));
    if (command == L"sweep" && argc == 5)
        return RunSweep(argv[2], argv[3], _wtoi(argv[4]));
    fprintf(stderr, "usage: vantrel_bench launch ROOT EXE [ARGS...] | host ROOT | "
                    "startstop WORK PAIRS CYCLES | copystop WORK PAIRS MIB CYCLES | "
                    "sweep TREE DEST REPS | callcost WORK ROUNDS | copyfile SOURCE TARGET [once] | "
                    "notes ROOT NOTES SAVES PERSAVE\n");
    return 2;
}
