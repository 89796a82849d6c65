// The one judge of a copy: whether a target already holds a source's version, and whether a copy
// of the source may replace the file at the target. The batch pass, the waiting copies and every
// walk ask it, with the facts each looked at once; it reads the notes of what this program copied
// (monitor/copy_records.h) and looks at the target only when a rule needs it.
//
// The rules, in the order they are asked:
//  1. Onto itself: the target is the source itself (the destination folder is the watched
//     folder, or lies inside its tree and holds the source): never.
//  2. Onto an origin: the source is this program's copy, still as it was made, of the target, or
//     of a file whose own copy, still as made, the source was made of, and so on up the chain
//     (X -> Y -> Z -> X): never, whatever version the target holds now. The origin's own pair
//     carries its edits. A copy edited since it was made is the user's file again.
//  3. The same version: the target holds the source's version when the note of the target's
//     copy names the source (or the source's origin, when the source is this program's copy)
//     with the source's exact size and last-write time, and its change time where both are
//     known, and the target is still as that copy was made. Where no note tells (a destination
//     filled by someone else, notes forgotten, a copy changed since it was made), the times
//     tell, at the destination file system's step: the same size and last-write time, and no
//     change of the source after the copy was made.
//  4. A loop's copy: the source is this program's copy, still as made, and the target holds its
//     version (3): never copied on again.
//  5. Only its attributes changed: a change of a source whose size and last-write time are as
//     when this program last copied it to this target, and whose attributes differ from then
//     (read-only, the archive bit, a cloud client pinning or freeing it, indexing): nothing is
//     copied, wherever the target's copy came from since; the note takes the new attributes.
//  6. Nothing changed: a record of a source whose size, last-write time, attributes and change
//     time are all as when this program last copied it to this target, with that copy begun a
//     clock tick after the source's last change: nothing is copied. (A write within the tick
//     of the copy's start can leave the times as they were: then it is copied again.) The same
//     size, last-write time and attributes with a later change time is an edit (tools that keep
//     a file's date when they change it): copied.
//  7. A file whose data is not on this computer (a cloud placeholder) without a note that
//     tells: copied only when the target differs from it in size or last-write time.
//  8. The target holds a file of its name changed later (a walk only, where no note tells):
//     of two files of one name the one changed last stays.
// What is asked where:
//  - a record of the batch pass that says the file arrived (added, renamed into place): 1, 2,
//    4, 6 (its change time moved if it really arrived), 7; everything else is copied;
//  - a record of a change: 1, 2, 4, 5, 6, 7; everything else is copied, whatever the
//    destination's times say;
//  - a waiting copy, when it is due: 1, 2, 4, 3 by the notes alone (it ends: a later copy of
//    ours made it current), 7; everything else is copied, whatever the destination's times say;
//  - a walk, for a file found by its times: 1 to 8, with the target as its listing showed it.
#pragma once

#include "monitor/mirror_state.h"
#include "monitor/safe_copy.h"

#include <windows.h>

#include <string>

// A source file as a look found it: its path, its path's hash (PathHash), its folder and its
// facts (a change time of 0: not known).
struct SourceFile {
    std::wstring full;
    unsigned long long hash = 0;
    std::wstring folder;    // the folder that holds it
    std::wstring folderKey; // that folder's full path, case folded
    FileFacts facts;
};

// Where one copy goes, with what the copy step asks of its name, worked out once.
struct CopyTarget {
    std::wstring full;           // as the pass names it
    std::wstring path;           // as file functions take it
    std::wstring folder;         // the folder it goes into
    std::wstring key;            // DestinationKey: its entry in the waiting copies
    unsigned long long hash = 0; // PathHash: its notes among what this program copied
};

SourceFile SourceAt(const std::wstring &full);
// True for a file whose data is not on this computer (a cloud placeholder): a look that opens it
// may bring its data back.
bool DataIsElsewhere(DWORD attributes);
CopyTarget TargetOf(const std::wstring &dstFull);

// The target as it is: looked at once, when a rule first needs it, or given (a walk's listing).
struct TargetLook {
    bool looked = false;
    bool exists = false;
    ULONGLONG size = 0, lastWrite = 0, changeTime = 0; // changeTime 0: not known
};
TargetLook TargetAsListed(ULONGLONG size, ULONGLONG lastWrite, ULONGLONG changeTime);
TargetLook NoTarget();

// Why a copy is asked for.
enum class CopyAsk { Arrived, Changed, Waiting, Walk };

// What the judge found; only Copy copies.
enum class Judgement {
    Copy,
    OntoItself,         // 1
    OntoOrigin,         // 2
    SameVersion,        // 3
    LoopCopy,           // 4
    AttributesOnly,     // 5
    NothingChanged,     // 6
    PlaceholderCurrent, // 7
    LaterAtTarget,      // 8
};

// Judges a copy of `source` to `target` for `ask`. Writes the rule's trace line the first time a
// pair meets rules 2, 4, 5 and 7, and every time for rule 1; notes the new attributes (5), and
// notes a copy of ours found changed since it was made (so that it ends the chains it was in).
Judgement JudgeCopy(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                    TargetLook &look, CopyAsk ask);

// A copy of `source` was put in place at `target`, begun at `copiedAt` (FILETIME, the engine's
// clock): noted, with the copy's last-write time as the destination keeps it.
void NoteCopyPutInPlace(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                        ULONGLONG copiedAt);

// What the file system of the destination folder keeps: looked at once the folder exists.
const FileSystemTraits &DestinationTraitsOf(MirrorState &mirror, const std::wstring &folder);
