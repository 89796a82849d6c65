// The monitoring engine's supervisor: one watch thread per folder pair.
#pragma once

#include <windows.h>

#include <atomic>

// Posted by a watch thread to the main window: wParam the pair index, lParam a new[]-allocated
// NUL-terminated notice text that the receiver frees with delete[].
constexpr UINT WM_FOLDER_CHANGED = WM_APP + 3;

// Reloads the pair table from the pair file and starts one watch thread per pair.
// User-interface thread only; g_hMainWnd is set before the first call.
void StartMonitoring();
// Stops the running generation of watch threads: cancels every read, then waits up to 2000 ms
// for each thread. A thread still busy after its wait (a long copy) finishes on its own and
// touches nothing of a later generation. User-interface thread only.
void StopMonitoring();
