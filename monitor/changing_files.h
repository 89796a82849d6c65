// When the change of a file that is still being written is copied.
//
// A copy is the whole file. A file written in pieces (a log appended every half second, a
// download or an export that writes a piece and pauses) would be copied whole after every
// piece: a file written for two minutes would cost the destination a hundred times its size,
// and a USB stick wears. So a file that keeps changing is copied less often the longer it keeps
// changing: every copy of it made while it changes raises its level, and with the level grow
// both the quiet span it must show before it is copied (100 ms, doubling to 2 s) and the
// interval after which a file that never rests is copied anyway (5 s, doubling to five
// minutes); such a copy is made only once the file has at least doubled since its last copy, or
// after the longest interval. So a file that grows, however long, costs the destination less
// than three times its size (the copies made while it grows, each at most half the next, and
// the last), its final version still arrives within a few seconds of its last write, and a
// crash meanwhile still leaves a recent partial copy. A file that has rested for half a minute
// starts again from the bottom. (A writer that pauses longer than the quiet span between pieces
// has its file copied after every pause: any pause may be its last.)
//
// The first change of a file is copied at once: a single save arrives at once. Where the
// system does not show whether a writer still holds a file (monitor/system_behaviour.h), a
// large file (1 MiB or more) written within the last few seconds, or an empty one just made,
// waits until it is quiet too: a download or an export may have just begun.
//
// Only bookkeeping, by source file (its full path's hash), with the tick and the age of
// the last write the caller passes in (monitor/clock.h: the engine's clock, which tests drive).
#pragma once

#include <windows.h>

#include <unordered_map>

struct ChangingFile {
    ULONGLONG lastCopy = 0;     // tick of the last copy of it
    ULONGLONG lastCopySize = 0; // the size it copied
    ULONGLONG lastChange = 0;   // tick of the last change seen
    unsigned level = 0;         // copies made while it kept changing
};
// By PathHash of the source's full path.
using ChangingFiles = std::unordered_map<unsigned long long, ChangingFile>;

const ULONGLONG kQuietMinBytes = 1 << 20; // a file this large may be written for a while
const ULONGLONG kQuietLookMs = 20;        // the next look at a file that was quiet but grew
const ULONGLONG kRestMs = 30000;          // a file unchanged this long starts again

// How long a file at `level` must be quiet, and after how long it is copied anyway.
ULONGLONG QuietSpanMs(unsigned level);
ULONGLONG CopyIntervalMs(unsigned level);

// What a change of a file asks for.
struct QuietPlan {
    ULONGLONG look = 0;         // 0: it is copied at once; else the tick of the first look
    ULONGLONG intervalFrom = 0; // the tick from which a file that never rests is copied anyway
};

// A change of the file (now `size` bytes, last written `writtenAgoMs` ago) is seen at tick
// `now`. `guessWriting`: whether a writer may still hold the file is not known, so a large file
// written moments ago, or an empty one just made, waits too.
QuietPlan PlanChange(ChangingFiles &files, unsigned long long key, ULONGLONG size,
                     ULONGLONG writtenAgoMs, ULONGLONG now, bool guessWriting);

// At a look at tick `now`: the file, `size` bytes and last written `writtenAgoMs` ago, has
// (`grew`) or has not changed since the last look, and has waited since `intervalFrom`. Returns
// 0 when it is to be copied now, else the tick of the next look. A file that grew is still
// changing: it does not rest while it waits.
ULONGLONG NextQuietLook(ChangingFiles &files, unsigned long long key, bool grew, ULONGLONG size,
                        ULONGLONG writtenAgoMs, ULONGLONG intervalFrom, ULONGLONG now);

// A copy of the file, `size` bytes, was made at `now`.
void CopiedAt(ChangingFiles &files, unsigned long long key, ULONGLONG size, ULONGLONG now);
