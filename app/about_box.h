// The About box (IDD_ABOUTBOX), opened modally from the Help menu and its accelerators.
#pragma once

#include <windows.h>

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
