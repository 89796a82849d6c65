// The instance mutex and the main window's mark; the design is in single_instance.h.
#include "app/single_instance.h"

#include "app/main_window.h"
#include "monitor/long_path.h"
#include "monitor/trace.h"
#include "store/pair_table.h"

#include <cwchar>
#include <string>

static const wchar_t kMarkProperty[] = L"Vantrel.Instance";

// How long a second start looks for the running copy's window, which may still be in the
// making, and how often.
static constexpr ULONGLONG kWindowWaitMs = 5000;
static constexpr DWORD kLookEveryMs = 50;

// Never zero: GetPropW returns null for a window without the mark.
static UINT_PTR InstanceMark(unsigned long long key) {
    return (UINT_PTR)(key | 1);
}

static HWND FindMarkedWindow(const wchar_t *mainWindowClass, UINT_PTR mark) {
    for (HWND window = FindWindowExW(nullptr, nullptr, mainWindowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, mainWindowClass, nullptr))
        if ((UINT_PTR)GetPropW(window, kMarkProperty) == mark)
            return window;
    return nullptr;
}

static void AskToShowItself(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    // The running copy is in the background, and the system lets a background process take
    // the foreground only when the foreground process (this start, begun by the user) allows.
    AllowSetForegroundWindow(process);
    PostMessageW(window, WM_TRAYICON, 0, WM_LBUTTONDBLCLK);
}

void EndInstanceClaim(HANDLE mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

std::wstring InstanceMutexName(const std::wstring &configDirectory) {
    unsigned long long key = PathHash(configDirectory);
    wchar_t name[64];
    swprintf(name, 64, L"Local\\Vantrel-%08lx%08lx", (unsigned long)(key >> 32),
             (unsigned long)(key & 0xFFFFFFFFu));
    return name;
}

bool ClaimInstanceOrShowRunningOne(InstanceClaim &claim, const wchar_t *mainWindowClass) {
    std::wstring configDirectory = GetConfigDirectory();
    std::wstring name = InstanceMutexName(configDirectory);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) {
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED) {
            Trace256(L"Instance: CreateMutexW failed err=%u; running without the guard\n", error);
            return true;
        }
        // Only a mutex that exists can refuse this start: a copy with rights this start lacks
        // (started as administrator) made it, and runs.
        Trace256(L"Instance: CreateMutexW denied access; Vantrel runs for this configuration "
                 L"with rights this start lacks\n");
    }
    // Waiting on the mutex paces the search: the running copy may still be creating its
    // window, or be ending, and then this start takes its place. Refused the mutex, this start
    // pauses instead, and asks for it again in case that copy has ended.
    UINT_PTR mark = InstanceMark(PathHash(configDirectory));
    ULONGLONG end = GetTickCount64() + kWindowWaitMs;
    for (DWORD wait = 0;; wait = kLookEveryMs) {
        if (!mutex) {
            Sleep(wait);
            mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        }
        // WAIT_FAILED runs too, unguarded: better than not running at all.
        if (mutex && WaitForSingleObject(mutex, wait) != WAIT_TIMEOUT) {
            claim.reset(mutex);
            return true;
        }
        if (HWND window = FindMarkedWindow(mainWindowClass, mark)) {
            Trace256(L"Instance: Vantrel already runs for this configuration; showing its "
                     L"window\n");
            AskToShowItself(window);
            break;
        }
        if (GetTickCount64() >= end) {
            Trace256(L"Instance: Vantrel already runs for this configuration, but its window "
                     L"did not appear\n");
            break;
        }
    }
    if (mutex)
        CloseHandle(mutex);
    return false;
}

void MarkInstanceWindow(HWND mainWindow) {
    SetPropW(mainWindow, kMarkProperty, (HANDLE)InstanceMark(PathHash(GetConfigDirectory())));
    // A copy started as administrator takes messages above WM_USER from a normal start only
    // once it lets them in, and a second start asks it to show itself with one.
    ChangeWindowMessageFilterEx(mainWindow, WM_TRAYICON, MSGFLT_ALLOW, nullptr);
}

void UnmarkInstanceWindow(HWND mainWindow) {
    RemovePropW(mainWindow, kMarkProperty);
}
