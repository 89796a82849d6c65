// Trouble in the tray: what the main window makes of the watch threads' trouble reports
// (monitor/pair_trouble.h).
//
// The main window keeps the latest report of every pair in trouble, by the pair's two paths,
// and shows trouble only once it has lasted g_troubleThresholdMs: a file held open for a
// moment or a share that reconnects at logon is no reason to alarm anyone. Then the tray icon
// becomes the warning icon, and its tip the title with one line per kind of trouble and its
// count. The first time in an episode (trouble shown after a good spell), one balloon names
// the first affected file or folder with the system's text for the error. Once nothing that
// has lasted is left, the written icon and tip come back and the episode is over. A timer
// wakes the window when the next trouble comes of age; while all is well nothing runs.
//
// A pair that the engine copies nothing for (store/pair_check.h) is shown at once, with its own
// tip line: it will not pass by waiting. Since new tray icons sit in the overflow and Windows
// may hold a balloon back, a balloon also comes when a kind of trouble begins that the tray
// did not show, and once a day while trouble lasts.
//
// A restart of monitoring hands each pair from its thread to a new one: the old thread's last
// report (`ended`) leaves the pair's trouble in place while the pair is still registered, and
// trouble that goes on keeps its start whichever thread reports it, so a restart neither ends
// an episode nor restarts its clock.
#pragma once

#include "monitor/pair_trouble.h"

#include <windows.h>

// How long trouble lasts before the tray shows it: 60 s. Tests shorten it. UI thread.
extern DWORD g_troubleThresholdMs;
// How often the balloon comes again while trouble lasts: once a day. UI thread.
extern DWORD g_balloonRepeatMs;

// Takes a watch thread's report (WM_PAIR_TROUBLE) and deletes it; the tray shows the result.
void OnPairTrouble(HWND mainWindow, PairTrouble *report);
// Forgets every pair's trouble and the episode: the main window goes.
void ForgetPairTrouble(HWND mainWindow);
