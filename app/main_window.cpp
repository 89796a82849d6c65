// Placeholder: the globals only, until the main window exists.
#include "app/main_window.h"

HINSTANCE g_hInst = nullptr;
wchar_t g_szTitle[100] = {};
wchar_t g_szWindowClass[100] = {};
HWND g_hMainWnd = nullptr;
HWND g_hPanelDlg = nullptr;
bool g_notifyToDebugOutput = true;
