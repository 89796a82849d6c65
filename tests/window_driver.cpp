#include "tests/window_driver.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

static const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT); // 1041

// ---- Dialog templates ------------------------------------------------------------------------

std::vector<BYTE> ResourceBytes(LPCWSTR type, LPCWSTR name) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceExW(module, type, name, kJapanese);
    if (!info)
        return {};
    const BYTE *data = static_cast<const BYTE *>(LockResource(LoadResource(module, info)));
    DWORD size = SizeofResource(module, info);
    if (!data)
        return {};
    return std::vector<BYTE>(data, data + size);
}

bool ParseDialogTemplateEx(const std::vector<BYTE> &bytes, DialogTemplate &out) {
    size_t pos = 0;
    bool ok = true;
    auto need = [&](size_t n) {
        if (pos + n > bytes.size())
            ok = false;
        return ok;
    };
    auto word = [&]() -> WORD {
        if (!need(2))
            return 0;
        WORD v;
        std::memcpy(&v, &bytes[pos], 2);
        pos += 2;
        return v;
    };
    auto dword = [&]() -> DWORD {
        DWORD lo = word();
        DWORD hi = word();
        return lo | (hi << 16);
    };
    auto byte = [&]() -> BYTE {
        if (!need(1))
            return 0;
        return bytes[pos++];
    };
    auto stringFrom = [&](WORD first) {
        std::wstring s;
        for (WORD c = first; ok && c != 0; c = word())
            s += (wchar_t)c;
        return s;
    };
    // A string, or 0xFFFF and an ordinal (handed back as "#n" and in ordinal).
    auto stringOrOrdinal = [&](WORD *ordinal) {
        WORD first = word();
        if (first != 0xFFFF)
            return stringFrom(first);
        WORD value = word();
        if (ordinal)
            *ordinal = value;
        return L"#" + std::to_wstring(value);
    };
    auto align = [&] { pos = (pos + 3) & ~size_t(3); };

    if (word() != 1 || word() != 0xFFFF)
        return false;
    out.helpId = dword();
    out.exStyle = dword();
    out.style = dword();
    WORD count = word();
    out.x = (short)word();
    out.y = (short)word();
    out.cx = (short)word();
    out.cy = (short)word();
    out.menu = stringOrOrdinal(nullptr);
    out.windowClass = stringOrOrdinal(nullptr);
    out.caption = stringFrom(word());
    if (out.style & (DS_SETFONT | DS_SHELLFONT)) {
        out.pointSize = word();
        out.weight = word();
        out.italic = byte();
        out.charset = byte();
        out.typeface = stringFrom(word());
    }
    static const wchar_t *const kPredefined[] = {L"Button",  L"Edit",      L"Static",
                                                 L"ListBox", L"ScrollBar", L"ComboBox"};
    out.items.clear();
    for (WORD i = 0; ok && i < count; ++i) {
        align();
        TemplateItem item;
        item.helpId = dword();
        item.exStyle = dword();
        item.style = dword();
        item.x = (short)word();
        item.y = (short)word();
        item.cx = (short)word();
        item.cy = (short)word();
        item.id = (int)dword();
        item.className = stringOrOrdinal(&item.classOrdinal);
        if (item.classOrdinal >= 0x80 && item.classOrdinal <= 0x85)
            item.className = kPredefined[item.classOrdinal - 0x80];
        item.text = stringOrOrdinal(nullptr);
        WORD extra = word();
        if (need(extra))
            pos += extra;
        out.items.push_back(item);
    }
    return ok;
}

bool LoadDialogTemplate(int id, DialogTemplate &out) {
    std::vector<BYTE> bytes = ResourceBytes(RT_DIALOG, MAKEINTRESOURCEW(id));
    return !bytes.empty() && ParseDialogTemplateEx(bytes, out);
}

// ---- Waiting ---------------------------------------------------------------------------------

static std::mutex g_problemsLock;
static std::vector<std::string> g_problems; // notes of the driver, reported by the test thread

bool WaitFor(const std::function<bool()> &pred, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!pred()) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(5);
    }
    return true;
}

void NoteDriverProblem(const std::string &problem) {
    std::lock_guard<std::mutex> lock(g_problemsLock);
    g_problems.push_back(problem);
}

void ReportDriverProblems() {
    std::vector<std::string> problems;
    {
        std::lock_guard<std::mutex> lock(g_problemsLock);
        problems.swap(g_problems);
    }
    for (const std::string &problem : problems)
        ADD_FAILURE() << "driver: " << problem;
}

bool SyncWithWindowThread(HWND window) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMs, &result))
        return true;
    if (IsWindow(window)) {
        DWORD thread = GetWindowThreadProcessId(window, nullptr);
        NoteDriverProblem("the window's thread took no message within the bound; " +
                          DescribeFocus(thread));
    }
    return false;
}

// ---- Windows ---------------------------------------------------------------------------------

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring TextOf(HWND window) {
    int n = GetWindowTextLengthW(window);
    std::wstring text(n + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), n + 1));
    return text;
}

std::wstring ItemText(HWND dialog, int id) {
    return TextOf(GetDlgItem(dialog, id));
}

static std::vector<HWND> ThreadWindows(DWORD thread) {
    std::vector<HWND> windows;
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM param) {
            reinterpret_cast<std::vector<HWND> *>(param)->push_back(window);
            return TRUE;
        },
        (LPARAM)&windows);
    return windows;
}

HWND FindThreadWindow(DWORD thread, const wchar_t *className, HWND owner) {
    for (HWND window : ThreadWindows(thread)) {
        if (IsWindowVisible(window) && ClassOf(window) == className &&
            (!owner || GetWindow(window, GW_OWNER) == owner))
            return window;
    }
    return nullptr;
}

HWND WaitForThreadWindow(DWORD thread, const wchar_t *className, HWND owner) {
    HWND found = nullptr;
    if (WaitFor([&] { return (found = FindThreadWindow(thread, className, owner)) != nullptr; }))
        return found;
    char owned[64] = "";
    if (owner)
        snprintf(owned, sizeof owned, " owned by %p", (void *)owner);
    NoteDriverProblem("no visible " + WideToUtf8(className) + " window" + owned +
                      " came; the thread has " + DescribeThreadWindows(thread));
    return nullptr;
}

// Names a window without sending it anything: class, title and handle.
static std::string Describe(HWND window) {
    if (!window)
        return "none";
    wchar_t title[128] = {};
    InternalGetWindowText(window, title, 128);
    char handle[32];
    snprintf(handle, sizeof handle, " %p", (void *)window);
    return WideToUtf8(ClassOf(window)) + " \"" + WideToUtf8(title) + "\"" + handle;
}

std::string DescribeThreadWindows(DWORD thread) {
    std::string text;
    for (HWND window : ThreadWindows(thread)) {
        if (!text.empty())
            text += ", ";
        text += Describe(window) + (IsWindowVisible(window) ? " visible" : " hidden");
        if (HWND owner = GetWindow(window, GW_OWNER))
            text += " owner " + Describe(owner);
    }
    return text.empty() ? "no windows" : text;
}

std::string DescribeFocus(DWORD thread) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(thread, &info);
    char flags[32];
    snprintf(flags, sizeof flags, "%#lx", (unsigned long)info.flags);
    return "active " + Describe(info.hwndActive) + ", focus " + Describe(info.hwndFocus) +
           ", capture " + Describe(info.hwndCapture) + ", flags " + flags + ", foreground " +
           Describe(GetForegroundWindow());
}

// ---- Controls --------------------------------------------------------------------------------

void Press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void Type(HWND dialog, int id, const std::wstring &text) {
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, (LPARAM)text.c_str());
}

// ---- Real input ------------------------------------------------------------------------------

// The watched thread's hooks and counts. The hooks run on the watched thread; the driver
// thread reads the counts.
static HHOOK g_keyboardHook = nullptr;
static HHOOK g_mouseHook = nullptr;
static DWORD g_watchedThread = 0;
static std::atomic<unsigned> g_keyPressesTaken{0}, g_buttonReleasesTaken{0};
static std::atomic<unsigned> g_keyPressesSent{0}, g_buttonReleasesSent{0};

// Called as the thread takes a key message from its queue (HC_ACTION); bit 31 marks a release.
static LRESULT CALLBACK CountKeyPresses(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && !(lParam & 0x80000000))
        ++g_keyPressesTaken;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

static LRESULT CALLBACK CountButtonReleases(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && (wParam == WM_LBUTTONUP || wParam == WM_RBUTTONUP ||
                              wParam == WM_NCLBUTTONUP || wParam == WM_NCRBUTTONUP))
        ++g_buttonReleasesTaken;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The pointer is moved by the watched thread itself: Wine then drops the X pointer events that
// were generated before the move but reach the thread only after it (an old position arriving
// while a list view tracks a right click would start a drag instead of opening the menu).
static const UINT kMovePointer = WM_APP + 17;
static HWND g_pointerMover = nullptr; // a message-only window of the watched thread

static LRESULT CALLBACK MovePointerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMovePointer)
        return SetCursorPos((int)wParam, (int)lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

static void MovePointer(POINT screen) {
    if (GetCurrentThreadId() == g_watchedThread || !g_pointerMover) {
        SetCursorPos(screen.x, screen.y);
        return;
    }
    DWORD_PTR moved = 0;
    if (!SendMessageTimeoutW(g_pointerMover, kMovePointer, (WPARAM)screen.x, (LPARAM)screen.y,
                             SMTO_NORMAL, kWaitMs, &moved))
        NoteDriverProblem("the watched thread did not move the pointer; " +
                          DescribeFocus(g_watchedThread));
}

void WatchInput() {
    StopWatchingInput();
    g_watchedThread = GetCurrentThreadId();
    static ATOM moverClass = 0;
    if (!moverClass) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = MovePointerProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VantrelTestPointerMover";
        moverClass = RegisterClassW(&wc);
    }
    g_pointerMover = CreateWindowExW(0, L"VantrelTestPointerMover", L"", 0, 0, 0, 0, 0,
                                     HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(g_pointerMover, nullptr) << GetLastError();
    g_keyPressesTaken = g_buttonReleasesTaken = g_keyPressesSent = g_buttonReleasesSent = 0;
    g_keyboardHook = SetWindowsHookExW(WH_KEYBOARD, CountKeyPresses, nullptr, g_watchedThread);
    g_mouseHook = SetWindowsHookExW(WH_MOUSE, CountButtonReleases, nullptr, g_watchedThread);
    EXPECT_NE(g_keyboardHook, nullptr) << GetLastError();
    EXPECT_NE(g_mouseHook, nullptr) << GetLastError();
}

void StopWatchingInput() {
    if (g_keyboardHook)
        UnhookWindowsHookEx(g_keyboardHook);
    if (g_mouseHook)
        UnhookWindowsHookEx(g_mouseHook);
    g_keyboardHook = g_mouseHook = nullptr;
    if (g_pointerMover)
        DestroyWindow(g_pointerMover);
    g_pointerMover = nullptr;
    g_watchedThread = 0;
}

// Real input reaches the thread of the foreground window.
static void NoteUnlessWatchedThreadInFront(const char *what) {
    if (!g_watchedThread) {
        NoteDriverProblem(std::string(what) + " sent while no thread watches its input");
        return;
    }
    HWND foreground = GetForegroundWindow();
    if (GetWindowThreadProcessId(foreground, nullptr) != g_watchedThread)
        NoteDriverProblem(std::string(what) + " sent while another thread is in front: " +
                          DescribeFocus(g_watchedThread));
}

static InputMark MarkAfterSent() {
    return InputMark{g_keyPressesSent.load(), g_buttonReleasesSent.load()};
}

InputMark SendKeys(std::initializer_list<WORD> keys) {
    NoteUnlessWatchedThreadInFront("keys");
    std::vector<INPUT> inputs;
    auto add = [&](WORD key, DWORD flags) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        input.ki.dwFlags = flags;
        inputs.push_back(input);
    };
    for (WORD key : keys)
        add(key, 0);
    for (auto it = keys.end(); it != keys.begin();)
        add(*--it, KEYEVENTF_KEYUP);
    g_keyPressesSent += (unsigned)keys.size();
    SendInput((UINT)inputs.size(), inputs.data(), sizeof(INPUT));
    return MarkAfterSent();
}

InputMark SendClick(POINT screen, bool right) {
    NoteUnlessWatchedThreadInFront("a click");
    // The pointer moves there first, the X server's pointer too: a window that appears under
    // it reports where that one is.
    MovePointer(screen);
    if (!WaitFor([&] {
            POINT now;
            return GetCursorPos(&now) && now.x == screen.x && now.y == screen.y;
        }))
        NoteDriverProblem("the pointer did not move to " + std::to_string(screen.x) + "," +
                          std::to_string(screen.y));
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT in[3] = {};
    for (INPUT &one : in) {
        one.type = INPUT_MOUSE;
        // Normalised so that the system maps it back to exactly this pixel.
        one.mi.dx = (screen.x * 65536 + width - 1) / width;
        one.mi.dy = (screen.y * 65536 + height - 1) / height;
    }
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    in[1].mi.dwFlags =
        (right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN) | MOUSEEVENTF_ABSOLUTE;
    in[2].mi.dwFlags = (right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP) | MOUSEEVENTF_ABSOLUTE;
    ++g_buttonReleasesSent;
    SendInput(3, in, sizeof(INPUT));
    return MarkAfterSent();
}

bool InputTaken(const InputMark &mark) {
    return g_keyPressesTaken.load() >= mark.keyPresses &&
           g_buttonReleasesTaken.load() >= mark.buttonReleases;
}

static bool WaitForInputTaken(const InputMark &mark, const char *what) {
    if (WaitFor([&] { return InputTaken(mark); }))
        return true;
    NoteDriverProblem(std::string(what) + " never reached the watched thread (" +
                      std::to_string(g_keyPressesTaken.load()) + " of " +
                      std::to_string(mark.keyPresses) + " key presses, " +
                      std::to_string(g_buttonReleasesTaken.load()) + " of " +
                      std::to_string(mark.buttonReleases) + " button releases taken); " +
                      DescribeFocus(g_watchedThread));
    return false;
}

bool PressKeys(std::initializer_list<WORD> keys) {
    return WaitForInputTaken(SendKeys(keys), "keys");
}

bool ClickAt(POINT screen, bool right) {
    return WaitForInputTaken(SendClick(screen, right), "a click");
}

POINT ToScreen(HWND window, int x, int y) {
    POINT pt = {x, y};
    ClientToScreen(window, &pt);
    return pt;
}

// ---- Message boxes and menus -----------------------------------------------------------------

BoxSeen AnswerMessageBox(DWORD thread, HWND owner) {
    BoxSeen seen;
    HWND box = WaitForThreadWindow(thread, L"#32770", owner);
    if (!box)
        return seen;
    seen.shown = true;
    seen.caption = TextOf(box);
    seen.text = ItemText(box, 0xFFFF);
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Static" &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            seen.icon = (HICON)SendMessageW(child, STM_GETICON, 0, 0);
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (!WaitFor([&] { return !IsWindow(box); }))
        NoteDriverProblem("the message box \"" + WideToUtf8(seen.caption) + "\" stayed after OK");
    return seen;
}

bool IsBox(const BoxSeen &seen, const wchar_t *caption, LPCWSTR icon, const std::wstring &text) {
    return seen.shown && seen.caption == caption && seen.text == text &&
           seen.icon == LoadIconW(nullptr, icon);
}

MenuSeen MenuShown(DWORD thread) {
    MenuSeen seen;
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(thread, &info) || !(info.flags & (GUI_INMENUMODE | GUI_POPUPMENUMODE)))
        return seen;
    HWND menu = FindThreadWindow(thread, L"#32768");
    if (!menu)
        return seen;
    seen.shown = true;
    seen.window = menu;
    RECT r;
    GetWindowRect(menu, &r);
    seen.at = {r.left, r.top};
    HMENU items = (HMENU)SendMessageW(menu, 0x01E1 /* MN_GETHMENU */, 0, 0);
    for (int i = 0; items && i < GetMenuItemCount(items); ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(items, i, text, 128, MF_BYPOSITION);
        seen.items.emplace_back(GetMenuItemID(items, i), text);
    }
    return seen;
}

MenuSeen WaitForMenu(DWORD thread) {
    MenuSeen seen;
    if (!WaitFor([&] { return (seen = MenuShown(thread)).shown; }))
        NoteDriverProblem("no menu came; " + DescribeFocus(thread) + "; the thread has " +
                          DescribeThreadWindows(thread));
    return seen;
}

void CloseMenu(DWORD thread) {
    PressKeys({VK_ESCAPE});
    if (!WaitFor([&] { return !MenuShown(thread).shown; }))
        NoteDriverProblem("the menu stayed after Escape; " + DescribeFocus(thread));
}

// ---- Modal windows ---------------------------------------------------------------------------

// A message posted to a thread queue behind everything else, and counted by a hook as the thread
// takes it: once it is taken, whatever was posted before it has been handled, and whatever that
// posted in turn (TranslateMessage's characters) is queued ahead of anything posted now.
static UINT g_markerMessage = 0;
static HHOOK g_markerHook = nullptr;
static std::atomic<unsigned> g_markersPosted{0}, g_markersTaken{0};

static LRESULT CALLBACK CountMarkers(int code, WPARAM wParam, LPARAM lParam) {
    const MSG *msg = reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == g_markerMessage)
        ++g_markersTaken;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// On the thread whose posted messages are to be followed.
static void WatchMarkers() {
    if (!g_markerMessage)
        g_markerMessage = RegisterWindowMessageW(L"VantrelTestDriverMarker");
    g_markerHook = SetWindowsHookExW(WH_GETMESSAGE, CountMarkers, nullptr, GetCurrentThreadId());
    EXPECT_NE(g_markerHook, nullptr) << GetLastError();
}

// A marker left in the queue when the modal window closed (the driver stopped waiting for it)
// goes too: taken later, unseen, it would leave the counts apart for every later wait.
static void StopWatchingMarkers() {
    if (g_markerHook)
        UnhookWindowsHookEx(g_markerHook);
    g_markerHook = nullptr;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, g_markerMessage, g_markerMessage, PM_REMOVE)) {
    }
    g_markersTaken = g_markersPosted.load();
}

// Waits until thread has handled what was posted to it so far, or until abandon() holds.
static void WaitForPostedHandled(DWORD thread, const std::function<bool()> &abandon) {
    unsigned target = ++g_markersPosted;
    PostThreadMessageW(thread, g_markerMessage, 0, 0);
    if (!WaitFor([&] { return g_markersTaken.load() >= target || abandon(); }))
        NoteDriverProblem("the thread did not get through its posted messages; " +
                          DescribeFocus(thread));
}

static bool IsModalClass(const std::wstring &cls) {
    return cls == L"#32770" || cls == L"#32768";
}

// A visible dialog or menu of thread that was not there before.
static HWND FindNewModalWindow(DWORD thread, const std::set<HWND> &before) {
    for (HWND window : ThreadWindows(thread)) {
        if (!before.count(window) && IsWindowVisible(window) && IsModalClass(ClassOf(window)))
            return window;
    }
    return nullptr;
}

static ModalSeen Record(HWND window, DWORD thread) {
    ModalSeen seen;
    seen.window = window;
    seen.className = ClassOf(window);
    seen.caption = TextOf(window);
    seen.owner = GetWindow(window, GW_OWNER);
    GetWindowRect(window, &seen.rect);
    ClientToScreen(window, &seen.clientOrigin);
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus && GetParent(info.hwndFocus) == window)
        seen.focusId = GetDlgCtrlID(info.hwndFocus);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        seen.controlIds.push_back(GetDlgCtrlID(child));
    if (seen.className == L"#32768")
        seen.menuItems = MenuShown(thread).items;
    return seen;
}

// Posts a close to one thing and waits until it is gone; false when it stayed.
static bool CloseAndWait(HWND window, UINT message, WPARAM wParam,
                         const std::function<bool()> &gone, const char *what) {
    PostMessageW(window, message, wParam, 0);
    if (WaitFor(gone))
        return true;
    NoteDriverProblem(std::string("could not close ") + what + ": " + Describe(window));
    return false;
}

// Closes whatever of a modal window is still open: its menu, its message box or picker, then
// the window itself. Whatever the user posted to it before is handled first.
static void CloseModalWindow(HWND window, DWORD thread) {
    for (int step = 0; step < 8; ++step) {
        MenuSeen menu = MenuShown(thread);
        if (menu.shown) {
            if (!CloseAndWait(
                    menu.window, WM_KEYDOWN, VK_ESCAPE, [&] { return !MenuShown(thread).shown; },
                    "a menu"))
                return;
            continue;
        }
        if (!IsWindow(window) || !IsWindowVisible(window))
            return;
        HWND box = FindThreadWindow(thread, L"#32770", window);
        HWND target = box ? box : window;
        if (!CloseAndWait(
                target, WM_COMMAND, IDCANCEL, [&] { return !IsWindow(target); }, "a dialog"))
            return;
    }
}

struct DriverThread {
    std::function<void()> body;
    HANDLE handle = nullptr;
};

static DWORD WINAPI RunDriverBody(LPVOID parameter) {
    static_cast<DriverThread *>(parameter)->body();
    return 0;
}

static void StartDriver(DriverThread &driver) {
    driver.handle = CreateThread(nullptr, 0, RunDriverBody, &driver, 0, nullptr);
    EXPECT_NE(driver.handle, nullptr) << GetLastError();
}

// Waits for the driver to finish. Until then this thread handles the messages the driver
// sends to its windows, and only those: what it posts is left for the program's own loop.
static void FinishDriver(DriverThread &driver, bool dispatchEverything) {
    if (!driver.handle)
        return;
    for (;;) {
        DWORD wake = dispatchEverything ? QS_ALLINPUT : QS_SENDMESSAGE;
        if (MsgWaitForMultipleObjects(1, &driver.handle, FALSE, INFINITE, wake) == WAIT_OBJECT_0)
            break;
        MSG msg;
        if (!dispatchEverything) {
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    CloseHandle(driver.handle);
    driver.handle = nullptr;
    ReportDriverProblems();
}

ModalSeen WithModalWindow(const std::function<void()> &trigger,
                          const std::function<void(HWND)> &user) {
    DWORD thread = GetCurrentThreadId();
    std::vector<HWND> existing = ThreadWindows(thread);
    std::set<HWND> before(existing.begin(), existing.end());
    std::atomic<bool> triggerReturned{false};
    ModalSeen seen;
    DriverThread driver;
    driver.body = [&] {
        HWND found = nullptr;
        bool decided = WaitFor([&] {
            if (triggerReturned)
                return true;
            return (found = FindNewModalWindow(thread, before)) != nullptr;
        });
        if (!found) {
            if (!decided)
                NoteDriverProblem("the action neither returned nor opened a dialog or menu; the "
                                  "thread has " +
                                  DescribeThreadWindows(thread));
            return;
        }
        if (ClassOf(found) == L"#32768") {
            if (!WaitFor([&] { return MenuShown(thread).shown; }))
                NoteDriverProblem("a menu appeared but is not tracked; " + DescribeFocus(thread));
        } else if (!WaitFor([&] { return GetForegroundWindow() == found; })) {
            NoteDriverProblem("the dialog " + Describe(found) + " never came to the front; " +
                              DescribeFocus(thread));
        }
        seen = Record(found, thread);
        if (user) {
            user(found);
            // What the user posted goes first; only then is the rest closed.
            WaitForPostedHandled(thread, [&] { return triggerReturned.load(); });
        }
        CloseModalWindow(found, thread);
    };
    WatchMarkers();
    StartDriver(driver);
    trigger();
    triggerReturned = true;
    FinishDriver(driver, false);
    StopWatchingMarkers();
    return seen;
}

void PlayUser(const std::function<void()> &script) {
    DriverThread driver;
    driver.body = script;
    StartDriver(driver);
    FinishDriver(driver, true);
}
