#include "app/tray_icon.h"

#include "app/main_window.h"
#include "res/resource.h"

#include <cstdlib>
#include <cwchar>

BOOL(WINAPI *g_shellNotifyIcon)(DWORD message, PNOTIFYICONDATAW data) = Shell_NotifyIconW;

DWORD g_trayIconRetryMs = 5000;

static constexpr UINT kTrayIconId = 1;
// The main window's timer that offers the icon again (timer 1 is the trouble's).
static constexpr UINT_PTR kAddIconTimer = 2;

// What the icon shows: the written icon and tip while g_trayWarning is false, else the warning
// icon with g_trayWarningTip. User-interface thread.
static bool g_trayWarning = false;
static std::wstring g_trayWarningTip;

// The warning icon at a size the system names (shared: never destroyed).
static HICON WarningIcon(int widthMetric, int heightMetric) {
    return (HICON)LoadImageW(g_hInst, MAKEINTRESOURCEW(IDI_TRAY_WARNING), IMAGE_ICON,
                             GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric),
                             LR_SHARED);
}

static NOTIFYICONDATAW IconRecord(HWND mainWindow) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof(NOTIFYICONDATAW);
    nid.hWnd = mainWindow;
    nid.uID = kTrayIconId;
    return nid;
}

static void FillLook(NOTIFYICONDATAW &nid) {
    // The notification area shows small icons: the warning icon's 16-pixel image is drawn
    // for that size, not scaled down.
    nid.hIcon = g_trayWarning ? WarningIcon(SM_CXSMICON, SM_CYSMICON)
                              : LoadIconW(g_hInst, MAKEINTRESOURCEW(IDI_APPICON));
    wcsncpy_s(nid.szTip, _countof(nid.szTip), g_trayWarning ? g_trayWarningTip.c_str() : g_szTitle,
              _TRUNCATE);
}

static void CALLBACK OnAddIconTimer(HWND mainWindow, UINT, UINT_PTR, DWORD) {
    AddTrayIcon(mainWindow);
}

void AddTrayIcon(HWND mainWindow) {
    NOTIFYICONDATAW nid = IconRecord(mainWindow);
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_TRAYICON;
    FillLook(nid);
    // At logon the shell may not be ready yet, or time out on the add and keep the icon all
    // the same: an icon it has already refuses a second add but takes a modification.
    if (g_shellNotifyIcon(NIM_ADD, &nid) || g_shellNotifyIcon(NIM_MODIFY, &nid)) {
        KillTimer(mainWindow, kAddIconTimer);
        return;
    }
    // Without the icon a hidden window cannot be reached: offer it again until it is taken.
    SetTimer(mainWindow, kAddIconTimer, g_trayIconRetryMs, OnAddIconTimer);
}

void RemoveTrayIcon(HWND mainWindow) {
    KillTimer(mainWindow, kAddIconTimer);
    NOTIFYICONDATAW nid = IconRecord(mainWindow);
    g_shellNotifyIcon(NIM_DELETE, &nid);
    g_trayWarning = false;
    g_trayWarningTip.clear();
}

void ShowTrayMenu(HWND mainWindow) {
    POINT pt;
    GetCursorPos(&pt);
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    InsertMenuW(menu, 0xFFFFFFFF, MF_BYPOSITION | MF_STRING, ID_TRAY_EXIT, L"終了(&E)");
    // Without this the menu does not close when the user clicks outside it.
    SetForegroundWindow(mainWindow);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, pt.x, pt.y, 0, mainWindow, nullptr);
    // As documented for menus of notification icons: the task switch this makes lets the
    // menu open again the next time instead of vanishing at once.
    PostMessageW(mainWindow, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void ShowTrayLook(HWND mainWindow, bool warning, const std::wstring &tip) {
    if (warning == g_trayWarning && (!warning || tip == g_trayWarningTip))
        return;
    g_trayWarning = warning;
    g_trayWarningTip = warning ? tip : std::wstring();
    NOTIFYICONDATAW nid = IconRecord(mainWindow);
    nid.uFlags = NIF_ICON | NIF_TIP;
    FillLook(nid);
    g_shellNotifyIcon(NIM_MODIFY, &nid);
}

void ShowTrayBalloon(HWND mainWindow, const std::wstring &text) {
    NOTIFYICONDATAW nid = IconRecord(mainWindow);
    nid.uFlags = NIF_INFO;
    wcsncpy_s(nid.szInfo, _countof(nid.szInfo), text.c_str(), _TRUNCATE);
    wcsncpy_s(nid.szInfoTitle, _countof(nid.szInfoTitle), g_szTitle, _TRUNCATE);
    nid.dwInfoFlags = NIIF_USER | NIIF_LARGE_ICON;
    nid.hBalloonIcon = WarningIcon(SM_CXICON, SM_CYICON);
    g_shellNotifyIcon(NIM_MODIFY, &nid);
}
