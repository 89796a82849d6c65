// VantrelDebugView: starts a program as its debuggee and prints everything it writes to the
// debugger output (OutputDebugString) on standard output, as it arrives.
//
//   VantrelDebugView.exe program.exe [arguments...]
//
// Output goes to a console as UTF-16 (WriteConsoleW, right whatever the console code page),
// to a pipe or file as UTF-8. ANSI debug strings are in the debuggee's ANSI code page, which is
// ours: it is the same system in the same session. The exit code is the debuggee's, or 2 when
// the program could not be started.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

static bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

static void WriteText(HANDLE out, bool console, const std::wstring &text) {
    if (text.empty())
        return;
    DWORD done = 0;
    if (console) {
        WriteConsoleW(out, text.data(), (DWORD)text.size(), &done, nullptr);
        return;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0)
        return;
    std::string utf8(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), utf8.data(), n, nullptr,
                        nullptr);
    WriteFile(out, utf8.data(), (DWORD)utf8.size(), &done, nullptr);
}

static void WriteError(const std::wstring &text) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    WriteText(err, IsConsole(err), L"VantrelDebugView: " + text + L"\n");
}

static void WriteFailure(const wchar_t *call, DWORD code) {
    wchar_t *reason = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, (LPWSTR)&reason, 0, nullptr);
    std::wstring text = reason ? reason : L"";
    if (reason)
        LocalFree(reason);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    WriteError(std::wstring(call) + L" failed (" + std::to_wstring(code) + L"): " + text);
}

// The debuggee's command line: ours without its first word (our own program name).
static std::wstring DebuggeeCommandLine() {
    const wchar_t *p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"')
            ++p;
        if (*p == L'"')
            ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

// The text of one OUTPUT_DEBUG_STRING_EVENT, read from the debuggee's memory.
static std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info) {
    size_t units = info.nDebugStringLength; // includes the terminating NUL
    if (units == 0 || !info.lpDebugStringData)
        return std::wstring();
    SIZE_T got = 0;
    if (info.fUnicode) {
        std::wstring text(units, L'\0');
        if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(),
                               units * sizeof(wchar_t), &got))
            return std::wstring();
        text.resize(wcsnlen(text.c_str(), got / sizeof(wchar_t)));
        return text;
    }
    std::string ansi(units, '\0');
    if (!ReadProcessMemory(process, info.lpDebugStringData, ansi.data(), units, &got))
        return std::wstring();
    ansi.resize(strnlen(ansi.c_str(), got));
    if (ansi.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), text.data(), n);
    return text;
}

static void CloseEventHandles(const DEBUG_EVENT &event) {
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
        if (event.u.CreateProcessInfo.hFile)
            CloseHandle(event.u.CreateProcessInfo.hFile);
    } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
        if (event.u.LoadDll.hFile)
            CloseHandle(event.u.LoadDll.hFile);
    }
}

int wmain() {
    std::wstring commandLine = DebuggeeCommandLine();
    if (commandLine.empty()) {
        WriteError(L"usage: VantrelDebugView program.exe [arguments...]");
        return 2;
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool console = IsConsole(out);

    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &child)) {
        WriteFailure(L"CreateProcessW", GetLastError());
        return 2;
    }

    // The Ex form (Windows 10 and later) delivers wide debug strings as such; the plain one
    // turns them into ANSI first, which loses what the ANSI code page cannot hold.
    using WaitFunction = BOOL(WINAPI *)(LPDEBUG_EVENT, DWORD);
    WaitFunction wait = reinterpret_cast<WaitFunction>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WaitForDebugEventEx")));
    if (!wait)
        wait = WaitForDebugEvent;

    DWORD exitCode = 0;
    bool seenLoaderBreakpoint = false;
    for (;;) {
        DEBUG_EVENT event = {};
        if (!wait(&event, INFINITE)) {
            WriteFailure(L"WaitForDebugEvent", GetLastError());
            exitCode = 2;
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            WriteText(out, console, ReadDebugString(child.hProcess, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint is meant for us; every real exception goes back to the
            // program's own handlers, as without a debugger.
            if (!seenLoaderBreakpoint &&
                event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT)
                seenLoaderBreakpoint = true;
            else
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode = event.u.ExitProcess.dwExitCode;
            break;
        default:
            CloseEventHandles(event);
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return (int)exitCode;
}
