// The monitoring engine's supervisor: one watch thread per folder pair.
#pragma once

#include <windows.h>

#include <atomic>

// Posted by a watch thread to the main window: wParam the pair index, lParam a new[]-allocated
// NUL-terminated notice text that the receiver frees with delete[].
constexpr UINT WM_FOLDER_CHANGED = WM_APP + 3;

// How a watch thread reads its folder's changes: ReadDirectoryChangesW. Tests put another in its
// place before they start monitoring, to answer as a share does, and put it back afterwards.
extern BOOL(WINAPI *g_readDirectoryChanges)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD,
                                            LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE);

// Reloads the pair table from the pair file and starts one watch thread per pair.
// User-interface thread only; g_hMainWnd is set before the first call.
void StartMonitoring();
// Stops the running generation of watch threads: cancels every read and copy under way, then
// waits for all of them, 700 ms at most from the start of the stop. A thread still busy after
// that (a copy the system cannot cancel, a call that hangs on a share that went away) finishes
// on its own, puts no copy into place and touches nothing of a later generation. Keeps each
// pair's mirror point for the next generation (the file is written on a thread-pool thread).
// User-interface thread only.
void StopMonitoring();
