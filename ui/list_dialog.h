// The pair list dialog (IDD_LIST): every pair as a row, deletion through the context menu.
#pragma once

#include <windows.h>

INT_PTR CALLBACK ChildDlg2Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
