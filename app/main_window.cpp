// The main window. Its client area is covered by the control panel; closing it only hides it,
// and the program ends through the File menu or the tray menu.
#include "app/main_window.h"

#include "app/about_box.h"
#include "app/notice_sink.h"
#include "app/panel.h"
#include "app/single_instance.h"
#include "app/tray_icon.h"
#include "app/tray_trouble.h"
#include "monitor/device_removal.h"
#include "monitor/monitor.h"
#include "res/resource.h"

#include <algorithm>

HINSTANCE g_hInst = nullptr;
wchar_t g_szTitle[100] = {};
wchar_t g_szWindowClass[100] = {};
HWND g_hMainWnd = nullptr;
HWND g_hPanelDlg = nullptr;
bool g_notifyToDebugOutput = true;

// The shell broadcasts this registered message when it (re)starts; every tray icon it knew is
// gone then. Zero until the class is registered. User-interface thread.
static UINT g_taskbarCreatedMessage = 0;

// The panel control that had the keyboard focus when the main window was last deactivated, or
// null. User-interface thread.
static HWND g_panelFocus = nullptr;

static constexpr DWORD kMainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The main window's timer that tries an exit again once the modal windows have closed (timer
// 1 is the trouble's, 2 the tray icon's).
static constexpr UINT_PTR kExitTimer = 3;
static constexpr UINT kExitRetryMs = 100;

std::wstring LoadResourceText(UINT id) {
    const wchar_t *text = nullptr;
    int length = LoadStringW(g_hInst, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, length) : std::wstring();
}

// The written position (900, 500) is off the screen of a small or scaled display (a 1366 x 768
// laptop at 125 % has 1093 x 614): where the window would not lie wholly inside the work area
// of the nearest monitor, it moves just inside; where it fits it stays.
static void MoveWithinWorkArea(HWND window) {
    RECT frame;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetWindowRect(window, &frame) ||
        !GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
    const RECT &work = monitor.rcWork;
    // Too large for the work area, the caption and the menu stay on it.
    LONG x = std::max(work.left, std::min(frame.left, work.right - (frame.right - frame.left)));
    LONG y = std::max(work.top, std::min(frame.top, work.bottom - (frame.bottom - frame.top)));
    if (x != frame.left || y != frame.top)
        SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window that a modal loop of ours shows over the main window (a dialog, a message box, the
// folder picker): the last of a chain of owners that begins at the main window; null when none
// is open.
static HWND ModalWindowInFront(HWND mainWindow) {
    struct Search {
        HWND mainWindow, found = nullptr;
        int depth = 0;
    } search = {mainWindow};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM param) -> BOOL {
            Search &search = *reinterpret_cast<Search *>(param);
            if (!IsWindowVisible(window) || !IsWindowEnabled(window))
                return TRUE;
            int depth = 1;
            for (HWND owner = GetWindow(window, GW_OWNER); owner;
                 owner = GetWindow(owner, GW_OWNER), ++depth) {
                if (owner == search.mainWindow) {
                    if (depth > search.depth) {
                        search.found = window;
                        search.depth = depth;
                    }
                    break;
                }
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

ATOM RegisterMainWindowClass(HINSTANCE instance) {
    g_taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW wcex = {};
    wcex.cbSize = sizeof(WNDCLASSEXW);
    wcex.style = CS_HREDRAW | CS_VREDRAW;
    wcex.lpfnWndProc = MainWndProc;
    wcex.cbClsExtra = 0;
    wcex.cbWndExtra = 0;
    wcex.hInstance = instance;
    wcex.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APPICON));
    wcex.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wcex.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wcex.lpszMenuName = MAKEINTRESOURCEW(IDC_MAINCLASS);
    wcex.lpszClassName = g_szWindowClass;
    wcex.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APPICON));
    return RegisterClassExW(&wcex);
}

BOOL CreateMainWindow(HINSTANCE instance, int showCommand) {
    g_hInst = instance;

    RECT frame = {0, 0, 400, 130};
    AdjustWindowRect(&frame, kMainWindowStyle, TRUE);
    HWND window = CreateWindowExW(0, g_szWindowClass, g_szTitle, kMainWindowStyle, 900, 500,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                  nullptr, instance, nullptr);
    if (!window)
        return FALSE;
    g_hMainWnd = window;

    MoveWithinWorkArea(window);

    g_hPanelDlg = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_PANEL), window, PanelDlgProc, 0);
    if (g_hPanelDlg)
        EmbedPanel(g_hPanelDlg, window);

    // Started as administrator, the window would not hear from the shell it restarts: the
    // message comes from a process with fewer rights.
    ChangeWindowMessageFilterEx(window, g_taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
    AddTrayIcon(window);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    StartMonitoring();
    return TRUE;
}

// The tray menu's exit works while a dialog, a message box or the folder picker is open too.
// Destroying the main window would pull their windows out from under the modal loops that run
// them: they are closed first, the front one at a time, and the program ends once none is left.
static void ExitProgram(HWND window) {
    if (HWND modal = ModalWindowInFront(window)) {
        PostMessageW(modal, WM_COMMAND, IDCANCEL, 0);
        SetTimer(window, kExitTimer, kExitRetryMs, nullptr);
        return;
    }
    KillTimer(window, kExitTimer);
    RemoveTrayIcon(window);
    DestroyWindow(window);
}

static LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDM_ABOUT:
        DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_ABOUTBOX), window, AboutDlgProc, 0);
        return 0;
    case IDM_EXIT:
    case ID_TRAY_EXIT:
        ExitProgram(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Restored if minimized (SW_SHOW would leave it so), moved onto the screen if it is off it,
// and put in front of the user; while a dialog of ours is open, that dialog is where the user
// works and comes forward, its owner with it.
static void ShowInFront(HWND window) {
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    MoveWithinWorkArea(window);
    ShowWindow(window, SW_SHOW);
    HWND modal = ModalWindowInFront(window);
    SetForegroundWindow(modal ? modal : window);
}

// Keys reach the panel's buttons only while one of them has the focus: the loop's dialog
// handling looks at messages for the panel and its controls, never at those for the main
// window, where activation leaves the focus. So on activation the focus goes back to the panel
// control that had it, the first button at first. False when the system's handling is to run.
static bool OnActivate(WPARAM wParam) {
    if (!g_hPanelDlg)
        return false;
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(g_hPanelDlg, focus))
            g_panelFocus = focus;
        return false;
    }
    if (HIWORD(wParam)) // activated while minimized: nothing to focus
        return false;
    HWND focus = g_panelFocus && IsChild(g_hPanelDlg, g_panelFocus)
                     ? g_panelFocus
                     : GetNextDlgTabItem(g_hPanelDlg, nullptr, FALSE);
    if (!focus)
        return false;
    SetFocus(focus);
    return true;
}

static void OnTrayIcon(HWND window, LPARAM event) {
    switch (event) {
    case WM_CONTEXTMENU:
    case WM_RBUTTONUP:
        ShowTrayMenu(window);
        break;
    case WM_LBUTTONDBLCLK:
    case NIN_BALLOONUSERCLICK: // the trouble balloon leads to the window too
        ShowInFront(window);
        break;
    }
}

static void OnPaint(HWND window) {
    PAINTSTRUCT ps;
    BeginPaint(window, &ps);
    EndPaint(window, &ps);
}

// The watch thread allocated the text with new[]; it is ours now.
static void OnFolderChanged(HWND window, LPARAM lParam) {
    wchar_t *text = reinterpret_cast<wchar_t *>(lParam);
    NotifyUser(window, text);
    delete[] text;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        return OnCommand(window, message, wParam, lParam);
    case WM_DESTROY:
        UnmarkInstanceWindow(window);
        RemoveTrayIcon(window);
        ForgetPairTrouble(window);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (g_hPanelDlg)
            MoveWindow(g_hPanelDlg, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_CLOSE:
        ShowWindow(window, SW_HIDE);
        return 0;
    case WM_ACTIVATE:
        if (OnActivate(wParam))
            return 0;
        break;
    case WM_TIMER:
        if (wParam == kExitTimer) {
            ExitProgram(window);
            return 0;
        }
        break;
    case WM_TRAYICON:
        OnTrayIcon(window, lParam);
        return 0;
    case WM_FOLDER_CHANGED:
        OnFolderChanged(window, lParam);
        return 0;
    case WM_PAIR_TROUBLE:
        OnPairTrouble(window, reinterpret_cast<PairTrouble *>(lParam));
        return 0;
    case WM_DEVICECHANGE:
        return OnFolderDeviceChange(wParam, lParam);
    }
    // A restarted shell has forgotten the icon; without it a hidden window is unreachable.
    if (message == g_taskbarCreatedMessage && g_taskbarCreatedMessage != 0) {
        AddTrayIcon(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void DispatchLoopMessage(MSG &msg, HACCEL accelerators) {
    if (g_hPanelDlg && IsDialogMessageW(g_hPanelDlg, &msg))
        return;
    if (TranslateAcceleratorW(msg.hwnd, accelerators, &msg))
        return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}
