// The copies of one pair that wait: those that failed, those whose source its writer still
// holds, and those of a file that is still being written.
//
// A watch thread copies a batch at once. What cannot be copied now is kept here, one entry per
// destination name, and looked at again when it is due:
// - a copy that failed (a share or drive that is offline, access denied, a source that cannot
//   be read just now) is tried again after its own growing delay (monitor/retry_delay.h), so
//   that one file that keeps failing never holds back the others;
// - a file its writer holds open is looked at every second (a cheap open, no copy), and once
//   a minute after it has been held for ten minutes (a mail store, a database held all day);
//   a record of it has it looked at at once, and it is copied once its writer lets go;
// - a file that is still being written waits until it has been quiet (monitor/changing_files.h).
// An entry ends when its copy is made, when its source is gone from a folder that is there, or
// when a later copy to the same destination name made it current: a retry never puts an older
// version over a newer one.
//
// Trouble that concerns a whole folder is looked at once per round, not once per copy: the
// copies it concerns are parked with the folder, nothing is attempted for them meanwhile, and
// when it is over they are all due at once (a drive away for hours with thousands of copies
// waiting costs a look every few seconds):
// - a destination folder (or drive) that is absent: looked at after a second, then every five
//   seconds at most;
// - a destination whose disk is full: every five seconds its smallest waiting copy is tried
//   (once the disk says it has room for it); when that succeeds, the others that fit are due,
//   smallest first, and a copy still too big waits on alone;
// - a source folder (or drive) that cannot be reached: its copies wait for it, looked at like an
//   absent destination; a copy whose source is gone while its folder is there ends.
//
// Every step is logarithmic in the number of entries: the list is indexed by due tick (smaller
// copies first at the same tick), by when each failure began (what the tray shows first), and
// each parked folder by the size of its copies. Every entry holds the pair's mirror point back
// to where a walk would find its change (monitor/mirror_point.h): an entry holds from when it
// is put in until it is taken out, whatever puts it or takes it. All of it belongs to one watch
// thread; the thread runs what is due when a timer wakes it (monitor/watch_wakeups.h), so
// nothing here polls.
#pragma once

#include "monitor/mirror_point.h"

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
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
    ULONGLONG bytes = 0;        // the source's size when it was last looked at
    ULONGLONG size = 0;         // Quiet: the source's size and last-write time when last looked at
    ULONGLONG lastWrite = 0;
    ULONGLONG intervalFrom = 0; // Quiet: tick from which a file that never rests is copied anyway
    std::wstring parkedIn;      // the key of the parked folder it waits with; empty: none
};

// Why a folder's copies are parked.
enum class ParkedWhy {
    DestinationAbsent, // the destination folder is not there and cannot be made
    DestinationFull,   // the destination's disk is full
    SourceAway,        // the watched folder (or its drive) cannot be reached
};

// A folder whose copies are parked with it.
struct ParkedFolder {
    std::wstring folder;
    ParkedWhy why = ParkedWhy::DestinationAbsent;
    std::set<std::pair<ULONGLONG, std::wstring>> keys; // the parked entries, smallest first
    ULONGLONG due = 0;                                 // tick of the next look
    DWORD delayMs = 0;                                 // the delay before that look
};

struct PendingCopies {
    MirrorPoint *point = nullptr;                // the pair's point, which every entry holds back
    std::map<std::wstring, PendingCopy> entries; // by destination, case folded
    std::set<std::tuple<ULONGLONG, ULONGLONG, std::wstring>> byDue; // due, bytes, key; unparked
    std::set<std::pair<ULONGLONG, std::wstring>> failing; // Failed and Held, by failingSince
    std::map<std::wstring, ParkedFolder> parked;          // by ParkedKey
};

// The key of a destination path in the list.
std::wstring DestinationKey(const std::wstring &dstFull);

// The entry for a destination key, or null.
const PendingCopy *PendingFor(const PendingCopies &pending, const std::wstring &key);

// A copy of `bytes` bytes failed with `error` at tick `now`: it waits for a retry in place of
// any entry for its destination (keeping the earlier `since` and the first failure's tick),
// after the first retry delay, or parked when its destination folder is parked. A trace line
// when the destination had no entry and its folder is not parked.
void DeferCopy(PendingCopies &pending, const std::wstring &srcFull, const std::wstring &dstFull,
               DWORD error, ULONGLONG now, ULONGLONG since, ULONGLONG bytes = 0);
// Its writer holds the source: it is looked at again in a second (in a minute once it has been
// held for ten). The trace line as for DeferCopy.
void WaitForWriter(PendingCopies &pending, const std::wstring &srcFull, const std::wstring &dstFull,
                   ULONGLONG now, ULONGLONG since, ULONGLONG bytes = 0);
// The source is still being written (size and last-write time as just seen): looked at again at
// `due`; `intervalFrom` as in PendingCopy.
void WaitUntilQuiet(PendingCopies &pending, const std::wstring &srcFull,
                    const std::wstring &dstFull, ULONGLONG size, ULONGLONG lastWrite, ULONGLONG due,
                    ULONGLONG intervalFrom, ULONGLONG since);
// The waiting copy for `key` failed again with `error` at `now`, or its source is still held:
// looked at again after its next, longer delay, or (held) in a second or a minute.
void LookAgain(PendingCopies &pending, const std::wstring &key, DWORD error, ULONGLONG now);
// A quiet look found the source at this size and last-write time; looked at again at `due`.
void SeenStillChanging(PendingCopies &pending, const std::wstring &key, ULONGLONG size,
                       ULONGLONG lastWrite, ULONGLONG due);
// A later record names the entry's source anew (another file of the same name, or a short name's
// long one): that is what its copy takes.
void SourceNowIs(PendingCopies &pending, const std::wstring &key, const std::wstring &srcFull);
// The entry for `key` ends; false when there was none.
bool EndPending(PendingCopies &pending, const std::wstring &key);

// The keys of the entries due at `now`, earliest first, the smaller first at the same tick.
std::vector<std::wstring> DueKeys(const PendingCopies &pending, ULONGLONG now);
// The tick at which the next entry or parked folder is due; 0 when nothing waits.
ULONGLONG NextDueTick(const PendingCopies &pending);

// `folder` has trouble of kind `why` at `now`: the entries it concerns are parked with it (for
// a destination, every entry whose destination is in it; for a source that is away, every entry
// not parked already), and it is looked at after a second, then less often (every five seconds
// at most). A trace line. When it is parked already, the entry for `key` (if any) joins it.
void ParkFolder(PendingCopies &pending, ParkedWhy why, const std::wstring &folder, ULONGLONG now,
                const std::wstring &key = std::wstring());
// True when `folder`'s copies are parked for `why`.
bool IsParked(const PendingCopies &pending, ParkedWhy why, const std::wstring &folder);
// True when copies to `folder` are parked with it, for an absent folder or a full disk.
bool IsDestinationParked(const PendingCopies &pending, const std::wstring &folder);
// The parked folders whose look is due at `now`.
std::vector<ParkedFolder> DueParkedFolders(const PendingCopies &pending, ULONGLONG now);
// The parked folder's trouble is over: its copies are due at `now`, the smallest first, as many
// as `room` bytes take (all of them when `room` is 0), and the folder stays parked with the
// others. A trace line.
void FolderBack(PendingCopies &pending, ParkedWhy why, const std::wstring &folder, ULONGLONG now,
                ULONGLONG room = 0);
// It is not over: looked at again later.
void FolderStillParked(PendingCopies &pending, ParkedWhy why, const std::wstring &folder,
                       ULONGLONG now);
// The smallest copy parked with a folder is due at `now`, alone, as a look whether there is
// room; its key, or empty when none waits.
std::wstring TrySmallestParked(PendingCopies &pending, ParkedWhy why, const std::wstring &folder,
                               ULONGLONG now);
// True when the entry for `key` is due in a round: it waits, and not parked.
bool IsTurnOf(const PendingCopies &pending, const std::wstring &key);

// For the tray: the copies that failed or are held, the one that has failed longest (null when
// none), and whether a destination folder is absent.
size_t FailingCount(const PendingCopies &pending);
const PendingCopy *FirstFailing(const PendingCopies &pending);
bool AnyDestinationAbsent(const PendingCopies &pending);
