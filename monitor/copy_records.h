// What this program copied where: for every copy it put in place, the file it was made from and
// that file's size and times at the copy.
//
// Times alone cannot always tell whether a destination copy is current:
// - pairs in a loop (X -> Y, Y -> Z, Z -> X: folders kept alike) would copy each copy on for
//   ever. A file that is one of this program's copies, exactly as it was made, is not copied
//   onto a destination that already holds that version: every file reaches every folder once, a
//   chain still carries every file to its end, and a real edit anywhere goes round once;
// - a destination that keeps coarse times (FAT and exFAT: steps of a second or two) cannot tell
//   a change saved within one step at the same size from the version it holds; what the copy
//   was made from can;
// - a clock that ran ahead and was set back leaves copies whose times (their sources', then)
//   are later than every edit made since; an edit of the file a copy was made from is still an
//   edit.
// So every copy is noted here with its source's exact size, last-write and change time, and the
// decisions compare the source with that. Files are named by their paths' hashes (PathHash), so a
// note takes a few dozen bytes. The notes are kept across runs of the program in
// "mirror-copies.txt" beside the pair file, with the pairs' mirror points
// (monitor/saved_points.h). Process-wide, for every watch thread, under a lock; past 65536
// copies the older half is forgotten, and a copy without a note is judged by its times.
#pragma once

#include <windows.h>

#include <vector>

struct CopyRecord {
    unsigned long long source = 0; // PathHash of the file the copy was made from
    ULONGLONG size = 0;            // that file's size, last-write and change time at the copy
    ULONGLONG lastWrite = 0;
    ULONGLONG changeTime = 0; // 0: not known
    // The copy's own last-write time as its file system keeps it: the source's on most, rounded
    // on FAT, the time of the copy where the file system keeps none that is set.
    ULONGLONG copyWrite = 0;
};

// A copy, named by PathHash of its full path, and its note.
struct NotedCopy {
    unsigned long long copy = 0;
    CopyRecord record;
};

// The copy whose full path hashes to `copy` (PathHash) was put in place as a copy of the file
// whose full path hashes to record.source, with the sizes and times of `record`.
void NoteCopyMade(unsigned long long copy, const CopyRecord &record);

// The note of the last copy put in place at the path that hashes to `copy`; false when there is
// none.
bool CopyRecordOf(unsigned long long copy, CopyRecord &record);

// True when a file of this size and last-write time is the noted copy as it was put in place.
bool StillAsCopied(const CopyRecord &record, ULONGLONG size, ULONGLONG lastWrite);

// True when the note says that the copy was made of the file whose path hashes to `source`,
// exactly as that file is now (its size and last-write time, and its change time where both are
// known).
bool MadeOfThisVersion(const CopyRecord &record, unsigned long long source, ULONGLONG size,
                       ULONGLONG lastWrite, ULONGLONG changeTime);

// Every note, the oldest first, as they are kept across runs (monitor/saved_points.h), and
// every note replaced by those given. Each change of the notes raises CopyRecordsVersion.
std::vector<NotedCopy> NotedCopies();
void ReplaceNotedCopies(const std::vector<NotedCopy> &copies);
unsigned long long CopyRecordsVersion();
