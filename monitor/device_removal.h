// Letting go of a watched folder whose drive the user removes safely.
//
// A watch holds its folder open, and "Safely remove" of a camera card or USB stick that holds a
// pair's source folder fails with "device in use" while any handle to it is open. The system
// asks each program that registered a handle (RegisterDeviceNotification, DBT_DEVTYP_HANDLE)
// before it removes the device: DBT_DEVICEQUERYREMOVE, sent to the registering window. So every
// watch registers its folder's handle with the main window, and on that question the pair's
// watch thread ends its read, any copy or walk under way, and closes the handle before the main
// window answers; the removal goes ahead. The pair then waits as for a folder that went away:
// DBT_DEVICEQUERYREMOVEFAILED (another program refused) brings it back at once, and after
// DBT_DEVICEREMOVECOMPLETE (or when neither comes) it watches again once the folder is there,
// with the usual catch-up. Nothing else is held open: a copy or a listing opens the drive only
// while it runs.
//
// The main window hands every WM_DEVICECHANGE here; the watch threads register, release and wait.
#pragma once

#include <windows.h>

struct WatchContext;

// The main window's WM_DEVICECHANGE. UI thread.
LRESULT OnFolderDeviceChange(WPARAM event, LPARAM data);

// Registers the context's open folder `dir` for removal notices to the main window (none on a
// network drive, which cannot be removed, nor without a main window). Watch thread.
void WatchForRemoval(WatchContext &context, HANDLE dir);
// Ends the registration. Watch thread.
void StopWatchingForRemoval(WatchContext &context);

// True once the main window asked the thread to let go of its folder.
bool RemovalAsked(const WatchContext &context);
// After the folder was let go of: waits until the removal was refused or done, or a while has
// passed, or the generation stops (true: it stops).
bool WaitForRemoval(WatchContext &context);
