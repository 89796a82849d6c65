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

HINSTANCE g_hInst = nullptr;
wchar_t g_szTitle[100] = {};
wchar_t g_szWindowClass[100] = {};
HWND g_hMainWnd = nullptr;
HWND g_hPanelDlg = nullptr;
bool g_notifyToDebugOutput = true;

// The shell broadcasts this registered message when it (re)starts; every tray icon it knew is
// gone then. Zero until the class is registered. User-interface thread.
static UINT g_taskbarCreatedMessage = 0;

static constexpr DWORD kMainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

std::wstring LoadResourceText(UINT id) {
    const wchar_t *text = nullptr;
    int length = LoadStringW(g_hInst, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, length) : std::wstring();
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

static LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDM_ABOUT:
        DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_ABOUTBOX), window, AboutDlgProc, 0);
        return 0;
    case IDM_EXIT:
    case ID_TRAY_EXIT:
        RemoveTrayIcon(window);
        DestroyWindow(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Restored if minimized (SW_SHOW would leave it so), and put in front of the user.
static void ShowInFront(HWND window) {
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
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
