#include "app/tray_icon.h"

#include "app/main_window.h"
#include "res/resource.h"

#include <shellapi.h>

#include <cstdlib>
#include <cwchar>

static constexpr UINT kTrayIconId = 1;

void AddTrayIcon(HWND mainWindow) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof(NOTIFYICONDATAW);
    nid.hWnd = mainWindow;
    nid.uID = kTrayIconId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_TRAYICON;
    nid.hIcon = LoadIconW(g_hInst, MAKEINTRESOURCEW(IDI_APPICON));
    wcsncpy_s(nid.szTip, _countof(nid.szTip), g_szTitle, _TRUNCATE);
    Shell_NotifyIconW(NIM_ADD, &nid);
}

void RemoveTrayIcon(HWND mainWindow) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof(NOTIFYICONDATAW);
    nid.hWnd = mainWindow;
    nid.uID = kTrayIconId;
    Shell_NotifyIconW(NIM_DELETE, &nid);
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
    DestroyMenu(menu);
}
