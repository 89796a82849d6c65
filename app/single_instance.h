// One Vantrel per configuration directory: a second start shows the running one's window.
//
// Two copies on one pair file would mirror every change twice, remove each other's temporary
// copies and overwrite each other's pair file and mirror points. So the running copy owns a
// named mutex for its configuration directory ("Local\Vantrel-" and a hash of the folded
// path: an object name cannot hold the path's backslashes) from the start of wWinMain to its
// return, and marks its main window with a property holding the same hash. A start that finds
// the mutex owned looks among the top-level windows of the main class for the one with its
// mark (another user's or another configuration's copy may have one too), lets that process
// take the foreground and posts it what a double-click on the tray icon sends: the running
// copy shows its own window (restored, if it was minimized) in front, and this start ends.
//
// A copy started as administrator makes a mutex that a normal start may not open: refused
// access, a start knows a copy runs as surely as when it finds the mutex owned.
//
// The mutex is owned, not merely created: a start that is about to leave holds a handle to it
// too, and must not keep the next start from running once the first copy has ended.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

// Releases and closes the instance mutex.
void EndInstanceClaim(HANDLE mutex);
// This process's claim on its configuration directory, ended when it goes out of scope.
using InstanceClaim = std::unique_ptr<void, decltype(&EndInstanceClaim)>;

// The name of the instance mutex for a configuration directory.
std::wstring InstanceMutexName(const std::wstring &configDirectory);

// True when this start is to run: it now owns the instance mutex, kept in `claim`, or the
// mutex could not be made and it runs unguarded. False when another copy runs for the same
// configuration directory (it owns the mutex, or the mutex refuses this start): its main window
// (of class mainWindowClass) has been asked to show itself, waiting up to 5 s for it to appear,
// and this start should end. A copy that ends during that wait leaves its place to this start.
bool ClaimInstanceOrShowRunningOne(InstanceClaim &claim, const wchar_t *mainWindowClass);

// Marks the main window as this configuration's running copy, so a later start finds it. The
// mark is removed before the window is destroyed, as window properties require.
void MarkInstanceWindow(HWND mainWindow);
void UnmarkInstanceWindow(HWND mainWindow);
