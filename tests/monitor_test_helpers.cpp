#include "tests/monitor_test_helpers.h"

#include "monitor/device_removal.h"
#include "monitor/monitor.h"
#include "monitor/clock.h"
#include "app/main_window.h"
#include "monitor/watch_thread.h"
#include "monitor/pair_trouble.h"
#include "store/pair_writer.h"
#include "tests/test_support.h"

static std::vector<ReceivedNotice> g_received;
static std::vector<std::wstring> g_lines;

static LRESULT CALLBACK NoticeSinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_FOLDER_CHANGED) {
        wchar_t *text = (wchar_t *)lParam;
        g_received.push_back(ReceivedNotice{wParam, text});
        delete[] text;
        return 0;
    }
    if (message == WM_PAIR_TROUBLE) {
        delete (PairTrouble *)lParam;
        return 0;
    }
    if (message == WM_DEVICECHANGE)
        return OnFolderDeviceChange(wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateNoticeSink() {
    static ATOM atom = 0;
    if (!atom) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = NoticeSinkProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VantrelTestNoticeSink";
        atom = RegisterClassW(&wc);
    }
    return CreateWindowExW(0, L"VantrelTestNoticeSink", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
}

std::vector<ReceivedNotice> &ReceivedNotices() {
    return g_received;
}

// The configuration root of WritePairFile; a fresh one reads the kept points anew.
static std::wstring g_configRoot;

std::wstring UseFreshConfig() {
    g_configRoot = MakeTempDir();
    UseConfigRoot(g_configRoot);
    CreateDirectoryW((g_configRoot + L"\\Vantrel").c_str(), nullptr);
    return g_configRoot + L"\\Vantrel";
}

void WritePairFile(const std::vector<std::pair<std::wstring, std::wstring>> &pairs) {
    std::wstring &root = g_configRoot;
    if (root.empty())
        root = MakeTempDir();
    std::wstring file = UseConfigRoot(root);
    CreateDirectoryW((root + L"\\Vantrel").c_str(), nullptr);
    std::string bytes = "\xEF\xBB\xBF";
    for (const auto &pair : pairs)
        bytes += FormatRewriteLine(WideToUtf8(pair.first), WideToUtf8(pair.second));
    WriteFileBytes(file, bytes);
}

std::vector<std::wstring> &CapturedLines() {
    return g_lines;
}

void CollectTrace() {
    for (std::wstring &line : TakeDebugOutput())
        g_lines.push_back(std::move(line));
}

size_t CountLines(const std::wstring &prefix) {
    CollectTrace();
    size_t count = 0;
    for (const std::wstring &line : g_lines)
        if (line.compare(0, prefix.size(), prefix) == 0)
            ++count;
    return count;
}

size_t CountLinesContaining(const std::wstring &part) {
    CollectTrace();
    size_t count = 0;
    for (const std::wstring &line : g_lines)
        if (line.find(part) != std::wstring::npos)
            ++count;
    return count;
}

void SaveKeepingTime(const std::wstring &file, const std::string &text) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    FILETIME written;
    DWORD count = 0;
    ASSERT_TRUE(GetFileTime(handle, nullptr, nullptr, &written));
    ASSERT_TRUE(WriteFile(handle, text.data(), DWORD(text.size()), &count, nullptr));
    ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &written));
    CloseHandle(handle);
}

void WriteText(const std::wstring &path, const std::string &text) {
    WriteFileBytes(path, text);
}

size_t CountFiles(const std::wstring &folder) {
    size_t count = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ++count;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return count;
}

std::wstring LinuxPathOf(const std::wstring &path) {
    typedef char *(CDECL * UnixName)(const wchar_t *);
    UnixName unixName = (UnixName)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                         "wine_get_unix_file_name");
    char *unixPath = unixName ? unixName(path.c_str()) : nullptr;
    if (!unixPath)
        return std::wstring();
    std::wstring converted = Utf8ToWide(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    return converted;
}

bool StartLinuxProgram(const std::wstring &program, const std::wstring &arguments) {
    std::wstring command = program + L" " + arguments, module = L"Z:" + program;
    for (wchar_t &c : module)
        if (c == L'/')
            c = L'\\';
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(module.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

bool MakeLinuxLink(const std::wstring &target, const std::wstring &link) {
    std::wstring from = LinuxPathOf(target), to = LinuxPathOf(link);
    return !from.empty() && !to.empty() &&
           StartLinuxProgram(L"/bin/ln", L"-s \"" + from + L"\" \"" + to + L"\"") &&
           PumpUntil([&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; },
                     10000);
}

bool WaitForReadsPending(DWORD timeoutMs) {
    // A new watch's first read is interrupted once it is pending, for its catch-up walk: once
    // that walk has run, changes reach the reads.
    return PumpUntil(
        [&] {
            for (const auto &context : g_watchContexts)
                if (!context->ended.load() && context->schedule.catchUpPending.load() &&
                    FileExists(context->path))
                    return false;
            return true;
        },
        timeoutMs);
}

SystemBehaviour TrustedBatches() {
    SystemBehaviour reports = NativeSystemBehaviour();
    reports.batchesMayMissChanges = false;
    return reports;
}

SystemBehaviour WindowsBehaviour() {
    return SystemBehaviour();
}

void WatchTest::SetUp() {
    // The engine as it runs on Windows, wherever Wine's batches are right.
    SetSystemBehaviour(TrustedBatches());
    root = MakeTempDir();
    src = root + L"\\src";
    dst = root + L"\\dst";
    CreateDirectoryW(src.c_str(), nullptr);
    sink = CreateNoticeSink();
    ASSERT_TRUE(sink);
    g_hMainWnd = sink;
    ReceivedNotices().clear();
    CapturedLines().clear();
    StartDebugCapture();
}

void WatchTest::TearDown() {
    StopMonitoring();
    PumpFor(50);
    g_hMainWnd = nullptr;
    DestroyWindow(sink);
    RemoveTree(root);
    SetSystemBehaviour(NativeSystemBehaviour());
}

static ULONGLONG g_clockAhead = 0; // what the engine's clock runs ahead of the system's

static ULONGLONG ClockAhead() {
    return SystemClock() + g_clockAhead;
}

void StartMonitoringLater(DWORD ms) {
    g_clockAhead = ULONGLONG(ms) * 10000;
    g_systemClock = ClockAhead;
    StartMonitoring();
    g_systemClock = SystemClock;
}

void WatchTest::StartWatching(const std::wstring &dest) {
    WritePairFile({{src, dest}});
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    ASSERT_TRUE(WaitForLine(L"MonitorThread[0] catch-up pass copied "));
}

testing::AssertionResult WatchTest::WaitForLine(const std::wstring &prefix, DWORD timeoutMs) {
    if (PumpUntil([&] { return CountLines(prefix) > 0; }, timeoutMs))
        return testing::AssertionSuccess();
    std::string traced;
    for (const std::wstring &line : CapturedLines())
        traced += "  " + WideToUtf8(line);
    return testing::AssertionFailure() << "no line began with \"" << WideToUtf8(prefix)
                                       << "\" within " << timeoutMs << " ms; traced:\n"
                                       << traced;
}

testing::AssertionResult WatchTest::WaitForContent(const std::wstring &file,
                                                   const std::string &text, DWORD timeoutMs) {
    if (PumpUntil([&] { return ReadFileBytes(file) == text; }, timeoutMs))
        return testing::AssertionSuccess();
    std::string held = ReadFileBytes(file);
    return testing::AssertionFailure()
           << WideToUtf8(file) << " did not come to hold \"" << text.substr(0, 80) << "\" within "
           << timeoutMs << " ms; it holds " << held.size() << " bytes"
           << (FileExists(file) ? "" : " (missing)");
}
