#include "app/panel.h"

#include "app/main_window.h"
#include "res/resource.h"
#include "ui/list_dialog.h"
#include "ui/register_dialog.h"

// Clears WS_POPUP, WS_CAPTION, WS_SYSMENU, WS_THICKFRAME, WS_MINIMIZEBOX and WS_MAXIMIZEBOX.
static constexpr LONG_PTR kKeptPanelStyle = 0x7F30FFFF;

void EmbedPanel(HWND panel, HWND mainWindow) {
    LONG_PTR style = GetWindowLongPtrW(panel, GWL_STYLE);
    style = (style & kKeptPanelStyle) | WS_CHILD | WS_VISIBLE;
    SetWindowLongPtrW(panel, GWL_STYLE, style);
    SetParent(panel, mainWindow);
    RECT client;
    GetClientRect(mainWindow, &client);
    SetWindowPos(panel, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
                 SWP_NOZORDER | SWP_SHOWWINDOW);
}

// Whatever anybody asks, the panel stays at the parent's client origin with its client size;
// even a pure show or z-order change is made to apply that rectangle.
static void KeepCoveringParent(HWND panel, WINDOWPOS *pos) {
    HWND parent = GetParent(panel);
    if (!parent || !pos)
        return;
    RECT client;
    GetClientRect(parent, &client);
    pos->x = 0;
    pos->y = 0;
    pos->cx = client.right - client.left;
    pos->cy = client.bottom - client.top;
    pos->flags &= ~(SWP_NOMOVE | SWP_NOSIZE);
}

static void EnableAllChildren(HWND panel) {
    for (HWND child = GetWindow(panel, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        EnableWindow(child, TRUE);
}

static INT_PTR OnCommand(HWND panel, WORD command) {
    switch (command) {
    case IDOK:
    case IDCANCEL:
        PostMessageW(GetParent(panel), WM_CLOSE, 0, 0);
        return TRUE;
    case IDC_BTN_REGISTER:
    case IDC_BTN_LIST: {
        HWND parent = GetParent(panel);
        if (!parent)
            return FALSE;
        if (command == IDC_BTN_REGISTER)
            DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_REGISTER), parent, RegisterDlgProc, 0);
        else
            DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_LIST), parent, ChildDlg2Proc, 0);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK PanelDlgProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_WINDOWPOSCHANGING:
        KeepCoveringParent(panel, reinterpret_cast<WINDOWPOS *>(lParam));
        return TRUE;
    case WM_INITDIALOG:
        EnableAllChildren(panel);
        return TRUE;
    case WM_COMMAND:
        return OnCommand(panel, LOWORD(wParam));
    case WM_SIZING:
    case WM_MOVING:
        return TRUE;
    }
    return FALSE;
}
