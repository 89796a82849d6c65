// The pair registration dialog (IDD_REGISTER) and its folder picker.
#pragma once

#include <windows.h>

#include <string>

INT_PTR CALLBACK RegisterDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The shell's file-open dialog in folder mode, opened at the folder selectedPath names (when it
// names one). True and selectedPath set when a folder with a file-system path was chosen;
// false, selectedPath untouched, otherwise. A choice without one (a library, "PC") is told to
// the user in a message box owned by owner.
bool BrowseForFolder(HWND owner, std::wstring &selectedPath);
