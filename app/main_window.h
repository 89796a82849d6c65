// The main window: its globals, its class, its procedure and the message loop's dispatch.
#pragma once

#include <windows.h>

#include <string>

// The tray icon's callback message.
constexpr UINT WM_TRAYICON = WM_APP + 1;

extern HINSTANCE g_hInst;            // the program's module; set first in CreateMainWindow
extern wchar_t g_szTitle[100];       // IDS_APP_TITLE: window title and tray tip
extern wchar_t g_szWindowClass[100]; // IDC_MAINCLASS: the main window's class name
extern HWND g_hMainWnd;            // set once when created, never cleared; watch threads post to it
extern HWND g_hPanelDlg;           // the embedded control panel, or null
extern bool g_notifyToDebugOutput; // notices to the debugger output (true) or a message box

// String `id` of the string table, or an empty string.
std::wstring LoadResourceText(UINT id);

ATOM RegisterMainWindowClass(HINSTANCE instance);
// Creates the main window with its panel and tray icon, shows it and starts monitoring.
BOOL CreateMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// One message of the main loop: the panel's dialog handling first, then the accelerators of
// the window the message is addressed to, then translation and dispatch.
void DispatchLoopMessage(MSG &msg, HACCEL accelerators);
