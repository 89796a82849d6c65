// The notification sink: where a change notice goes once the main window has it.
#pragma once

#include <windows.h>

// Writes text unchanged to the debugger output, or with g_notifyToDebugOutput false shows it
// in a message box owned by owner. Does not free text.
void NotifyUser(HWND owner, const wchar_t *text);
