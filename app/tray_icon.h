// The notification-area icon (identifier 1 on the main window) and its one-item menu.
//
// On a good day the icon is the written one (group IDI_APPICON) with the title as its tip.
// While a pair cannot be mirrored, app/tray_trouble.h has it show the warning icon with a
// longer tip, and once a balloon.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

// Where every record for the icon goes: Shell_NotifyIconW, or a recorder that a test puts in
// its place. User-interface thread.
extern BOOL(WINAPI *g_shellNotifyIcon)(DWORD message, PNOTIFYICONDATAW data);

// How long an icon the shell refused waits before it is offered again: 5 s. Tests shorten it.
// User-interface thread.
extern DWORD g_trayIconRetryMs;

// Adds the icon as it looks now (the written icon and tip, unless trouble is shown). An icon
// the shell refuses is offered again on a timer of the main window until the shell takes it.
void AddTrayIcon(HWND mainWindow);
// Removes the icon (and ends the offers); one added later starts with the written icon and tip.
void RemoveTrayIcon(HWND mainWindow);
// Opens the tray menu at the cursor; a chosen item arrives as WM_COMMAND at mainWindow.
void ShowTrayMenu(HWND mainWindow);

// The written icon and tip (warning false), or the warning icon with `tip` (cut to the tip's
// 127 characters). Tells the shell only what changed.
void ShowTrayLook(HWND mainWindow, bool warning, const std::wstring &tip);
// Shows one balloon over the icon: the warning icon, the title and `text` (cut to 255
// characters).
void ShowTrayBalloon(HWND mainWindow, const std::wstring &text);
