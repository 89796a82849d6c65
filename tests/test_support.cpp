#include "tests/test_support.h"

#include "monitor/saved_points.h"

#include <atomic>
#include <mutex>

std::wstring MakeTempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    for (;;) {
        wchar_t name[64];
        swprintf(name, 64, L"vantrel-test-%lu-%u-%lu", GetCurrentProcessId(), counter++,
                 GetTickCount());
        std::wstring dir = std::wstring(base) + name;
        if (CreateDirectoryW(dir.c_str(), nullptr))
            return dir;
    }
}

void RemoveTree(const std::wstring &path) {
    // The tree may hold the program's configuration folder: a stop's write of the points file
    // ends first, so that it neither fails into a later test's trace nor leaves the tree behind.
    FinishKeepingPoints();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = path + L"\\" + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

std::string ReadFileBytes(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    if (!bytes.empty())
        WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
}

bool FileExists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Utf8ToWide(const std::string &text) {
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n);
    return out;
}

std::string WideToUtf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring UseConfigRoot(const std::wstring &root) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", root.c_str());
    return root + L"\\Vantrel\\folders.txt";
}

static std::mutex g_captureMutex;
static std::vector<std::wstring> g_captured;
static PVOID g_captureHandler = nullptr;

// OutputDebugStringW raises DBG_PRINTEXCEPTION_WIDE_C (with the text in both forms) on newer
// Windows and DBG_PRINTEXCEPTION_C (ANSI only) everywhere; Wine raises only the ANSI one.
static LONG CALLBACK CaptureDebugString(EXCEPTION_POINTERS *info) {
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    const DWORD kWide = 0x4001000A, kAnsi = 0x40010006;
    if (record->ExceptionCode == kWide && record->NumberParameters >= 2) {
        std::lock_guard<std::mutex> lock(g_captureMutex);
        g_captured.push_back((const wchar_t *)record->ExceptionInformation[1]);
        // Windows follows the wide exception with the ANSI one; take the text once.
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record->ExceptionCode == kAnsi && record->NumberParameters >= 2) {
        const char *text = (const char *)record->ExceptionInformation[1];
        int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
        std::lock_guard<std::mutex> lock(g_captureMutex);
        g_captured.push_back(wide);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void StartDebugCapture() {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    g_captured.clear();
    if (!g_captureHandler)
        g_captureHandler = AddVectoredExceptionHandler(1, CaptureDebugString);
}

std::vector<std::wstring> TakeDebugOutput() {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    std::vector<std::wstring> lines;
    lines.swap(g_captured);
    return lines;
}

bool PumpUntil(const std::function<bool()> &pred, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (pred())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring SmallFileSystemFolder() {
    char linuxPath[1024] = {};
    if (!GetEnvironmentVariableA("VANTREL_SMALL_FS", linuxPath, sizeof linuxPath))
        return std::wstring();
    std::wstring path = L"Z:" + Utf8ToWide(linuxPath);
    for (wchar_t &c : path)
        if (c == L'/')
            c = L'\\';
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExW((path + L"\\").c_str(), nullptr, &total, nullptr) ||
        total.QuadPart > 16 * 1024 * 1024)
        return std::wstring();
    std::wstring folder = path + L"\\run" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(folder);
    return CreateDirectoryW(folder.c_str(), nullptr) ? folder : std::wstring();
}

std::wstring FatFileSystemFolder(bool exfat) {
    char linuxPath[1024] = {};
    if (!GetEnvironmentVariableA(exfat ? "VANTREL_EXFAT_FS" : "VANTREL_FAT_FS", linuxPath,
                                 sizeof linuxPath))
        return std::wstring();
    std::wstring path = L"Z:" + Utf8ToWide(linuxPath);
    for (wchar_t &c : path)
        if (c == L'/')
            c = L'\\';
    if (!FileExists(path + L"\\vantrel-fat"))
        return std::wstring();
    std::wstring folder = path + L"\\run" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount64());
    return CreateDirectoryW(folder.c_str(), nullptr) ? folder : std::wstring();
}

void FillDisk(const std::wstring &folder) {
    HANDLE file = CreateFileW((folder + L"\\filler").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::string block(4096, 'f');
    DWORD written = 0;
    while (WriteFile(file, block.data(), (DWORD)block.size(), &written, nullptr) &&
           written == block.size()) {
    }
    CloseHandle(file);
}

void FreeDisk(const std::wstring &folder) {
    DeleteFileW((folder + L"\\filler").c_str());
}
