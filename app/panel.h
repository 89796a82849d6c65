// The control panel (IDD_PANEL): a dialog turned into the main window's only child, with the
// buttons that open the registration dialog and the pair list.
#pragma once

#include <windows.h>

INT_PTR CALLBACK PanelDlgProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam);

// Turns the hidden pop-up panel into a visible child covering the main window's client area.
void EmbedPanel(HWND panel, HWND mainWindow);
