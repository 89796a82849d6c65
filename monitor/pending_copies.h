// The copies of one pair that wait: those that failed, those whose source its writer still
// holds, and those of a file that is still being written.
//
// A watch thread copies a batch at once. What cannot be copied now is kept here, one entry per
// destination name, and looked at again when it is due:
// - a copy that failed (a full disk, a share or drive that is offline, access denied, a source
//   that cannot be read just now) is tried again after its own growing delay
//   (monitor/retry_delay.h), so that one file that keeps failing never holds back the others;
// - a file its writer holds open is looked at every second (a cheap open, no copy), and copied
//   once its writer lets go;
// - a file that is still being written waits until it has been quiet (monitor/changing_files.h).
// An entry ends when its copy is made, when its source is gone, or when a later copy to the same
// destination name made it current: a retry never puts an older version over a newer one.
//
// A destination folder (or drive) that is absent is looked at once per round, not once per
// copy: its copies are parked with it and nothing is attempted for them until it is there
// again, and then they are all due at once. A drive that is away for hours with thousands of
// copies waiting costs a look every few seconds.
//
// Every step is logarithmic in the number of entries: the list is indexed by due tick, by the
// time from which a walk would find each change (the earliest of which holds the pair's mirror
// point back) and by when each failure began (what the tray shows first). All of it belongs to
// one watch thread; the thread runs what is due when a timer wakes it (monitor/watch_wakeups.h),
// so nothing here polls.
#pragma once

#include "monitor/mirror_point.h"

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

enum class WaitKind {
    Failed, // a copy failed: tried again after its own growing delay
    Held,   // its writer holds the source: looked at every second, copied once it lets go
    Quiet,  // the source is still being written: copied once it has been quiet
};

struct PendingCopy {
    std::wstring srcFull; // the source to copy when it is due, as the batch named it
    std::wstring dstFull; // the destination file
    WaitKind kind = WaitKind::Failed;
    ULONGLONG due = 0;          // tick at which it is looked at again; 0 while parked
    DWORD retryDelayMs = 0;     // Failed: the delay after the next failure
    ULONGLONG since = 0;        // FILETIME: a tree walk from here would find this change
    DWORD lastError = 0;        // why the last attempt failed (Failed, Held)
    ULONGLONG failingSince = 0; // tick of the first failure to this destination (Failed, Held)
    ULONGLONG size = 0;         // Quiet: the source's size and last-write time when last looked at
    ULONGLONG lastWrite = 0;
    ULONGLONG intervalFrom = 0; // Quiet: tick from which a file that never rests is copied anyway
};

// A destination folder found absent, and the copies that wait for it.
struct AbsentFolder {
    std::wstring folder;
    std::set<std::wstring> keys; // the parked entries
    ULONGLONG due = 0;           // tick of the next look
    DWORD delayMs = 0;           // the delay before that look
};

struct PendingCopies {
    std::map<std::wstring, PendingCopy> entries;          // by destination, case folded
    std::set<std::pair<ULONGLONG, std::wstring>> byDue;   // of the entries not parked
    std::multiset<ULONGLONG> sinces;                      // of every entry
    std::set<std::pair<ULONGLONG, std::wstring>> failing; // Failed and Held, by failingSince
    std::map<std::wstring, AbsentFolder> absent;          // by folder, case folded
};

// The key of a destination path in the list.
std::wstring DestinationKey(const std::wstring &dstFull);

// The entry for a destination key, or null.
const PendingCopy *PendingFor(const PendingCopies &pending, const std::wstring &key);

// A copy failed with `error` at tick `now`: it waits for a retry in place of any entry for its
// destination (keeping the earlier `since` and the first failure's tick), after the first
// retry delay, or parked when its destination folder is known to be absent. A trace line when
// the destination had no entry and its folder is not known to be absent.
void DeferCopy(PendingCopies &pending, MirrorPoint &point, const std::wstring &srcFull,
               const std::wstring &dstFull, DWORD error, ULONGLONG now, ULONGLONG since);
// Its writer holds the source: it is looked at again in a second. The trace line as for
// DeferCopy.
void WaitForWriter(PendingCopies &pending, MirrorPoint &point, const std::wstring &srcFull,
                   const std::wstring &dstFull, ULONGLONG now, ULONGLONG since);
// The source is still being written (size and last-write time as just seen): looked at again at
// `due`; `intervalFrom` as in PendingCopy.
void WaitUntilQuiet(PendingCopies &pending, MirrorPoint &point, const std::wstring &srcFull,
                    const std::wstring &dstFull, ULONGLONG size, ULONGLONG lastWrite, ULONGLONG due,
                    ULONGLONG intervalFrom, ULONGLONG since);
// The waiting copy for `key` failed again with `error` at `now`, or its source is still held:
// looked at again after its next, longer delay, or (held) in a second.
void LookAgain(PendingCopies &pending, const std::wstring &key, DWORD error, ULONGLONG now);
// A quiet look found the source at this size and last-write time; looked at again at `due`.
void SeenStillChanging(PendingCopies &pending, const std::wstring &key, ULONGLONG size,
                       ULONGLONG lastWrite, ULONGLONG due);
// A later record names the entry's source anew (another file of the same name, or a short name's
// long one): that is what its copy takes.
void SourceNowIs(PendingCopies &pending, const std::wstring &key, const std::wstring &srcFull);
// The entry for `key` ends; false when there was none.
bool EndPending(PendingCopies &pending, MirrorPoint &point, const std::wstring &key);

// The keys of the entries due at `now`, earliest first.
std::vector<std::wstring> DueKeys(const PendingCopies &pending, ULONGLONG now);
// The tick at which the next entry or absent folder is due; 0 when nothing waits.
ULONGLONG NextDueTick(const PendingCopies &pending);

// The destination folder `folder` is absent: its entries are parked with it, and it is looked
// at after a second, then less often (every five seconds at most). A trace line.
void FolderAbsent(PendingCopies &pending, const std::wstring &folder, ULONGLONG now);
// True when `folder`'s copies are parked.
bool IsFolderAbsent(const PendingCopies &pending, const std::wstring &folder);
// The absent folders whose look is due at `now`.
std::vector<std::wstring> DueAbsentFolders(const PendingCopies &pending, ULONGLONG now);
// The absent folder is there again: every copy parked with it is due at `now`. A trace line.
// Or it is still absent: looked at again later.
void FolderBack(PendingCopies &pending, const std::wstring &folder, ULONGLONG now);
void FolderStillAbsent(PendingCopies &pending, const std::wstring &folder, ULONGLONG now);

// For the tray: the copies that failed or are held, and the one that has failed longest
// (null when none).
size_t FailingCount(const PendingCopies &pending);
const PendingCopy *FirstFailing(const PendingCopies &pending);
