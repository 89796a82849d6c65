// A pair's trouble as its watch thread knows it, and how the thread tells the main window.
//
// Trouble is what keeps a pair from being mirrored: copies that failed and wait for a retry
// (a full disk, a share that is gone, a file held open), the destination folder that cannot
// be created, the watched folder that cannot be opened, a folder of the tree that a walk cannot
// list, a pair from a pair file edited by hand that would harm. A large file that waits to be quiet
// is no trouble. The watch thread looks at its pair's trouble each time before it waits
// (before its read, after each failed attempt to open its folder) and posts a snapshot to the
// main window only when the trouble changed in kind or count: a retry that fails again, or a
// folder that is still missing, posts nothing. The snapshot names the pair by its two paths,
// since pair indexes shift when a pair is deleted.
//
// Every registration or deletion stops the running threads and starts new ones, which drop
// the old copies that wait and find them again in their catch-up walk. So a thread's first
// snapshot is posted whatever it holds, but only once the thread knows its pair's copies:
// only the new thread's word can end what the old one reported, and until it speaks the main
// window keeps showing the old trouble, with its clock running. A thread that ends posts a
// last snapshot marked `ended`, which lets the main window forget a pair that is no longer
// registered. The main window decides what to show and when (app/tray_trouble.h).
#pragma once

#include "store/pair_check.h"

#include <windows.h>

#include <string>

// Posted by a watch thread to the main window: wParam 0, lParam a new PairTrouble that the
// receiver deletes (the poster deletes it when the post fails).
constexpr UINT WM_PAIR_TROUBLE = WM_APP + 4;

struct PairTrouble {
    std::wstring source;              // the pair's watched folder, as registered
    std::wstring dest;                // its destination folder, as registered
    size_t copiesWaiting = 0;         // copies that failed and wait for a retry
    ULONGLONG copiesSince = 0;        // tick (GetTickCount64) of the first of them to fail
    DWORD copyError = 0;              // the last error of that copy
    std::wstring firstCopy;           // that copy's destination file
    bool destinationMissing = false;  // copies wait and the destination folder does not exist
    ULONGLONG folderMissingSince = 0; // tick since the watched folder cannot be opened; 0: open
    DWORD folderError = 0;            // the last error of opening it
    size_t foldersUnlisted = 0;       // folders of the tree that a walk could not list
    ULONGLONG unlistedSince = 0;      // tick of the first of them to fail
    DWORD unlistedError = 0;          // its last error
    std::wstring firstUnlisted;       // that folder
    PairRefusal refusal = PairRefusal::None; // why nothing is mirrored for the pair at all
    ULONGLONG refusedSince = 0;              // tick of the thread's start that found it so
    bool ended = false;                      // the thread has ended; the rest is empty
};

// What a watch thread remembers of its pair's trouble between two looks. Watch thread only.
struct TroubleWatch {
    ULONGLONG folderMissingSince = 0; // see PairTrouble
    DWORD folderError = 0;
    bool posted = false; // a snapshot has been posted; the three below are what it said
    size_t copiesWaiting = 0;
    bool destinationMissing = false;
    bool folderMissing = false;
    size_t foldersUnlisted = 0;
};

struct WatchContext;

// The watched folder could not be opened (error): notes since when, and reports.
void ReportFolderMissing(WatchContext &context, DWORD error);
// The watched folder is open: reports the pair's trouble, once copiesKnown (no catch-up walk
// is still to come that may copy or fail what an earlier thread left waiting).
void ReportPairTrouble(WatchContext &context, bool copiesKnown);
// The pair is one the engine copies nothing for (store/pair_check.h): reported once, at the
// thread's start.
void ReportPairRefused(const WatchContext &context, PairRefusal refusal);
// The thread ends: its last word.
void ReportTroubleEnded(const WatchContext &context);
