// The notification-area icon (identifier 1 on the main window) and its one-item menu.
#pragma once

#include <windows.h>

void AddTrayIcon(HWND mainWindow);
void RemoveTrayIcon(HWND mainWindow);
// Opens the tray menu at the cursor; a chosen item arrives as WM_COMMAND at mainWindow.
void ShowTrayMenu(HWND mainWindow);
