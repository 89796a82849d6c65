#include "monitor/copy_judge.h"

#include "monitor/copy_records.h"
#include "monitor/file_identity.h"
#include "monitor/long_path.h"
#include "monitor/trace.h"
#include "monitor/tree_walk.h"

#include <algorithm>

// Older SDK headers (and mingw-w64's) lack the attributes of files whose data is elsewhere.
#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif

namespace {

const DWORD kNotOnDisk =
    FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_RECALL_ON_OPEN | FILE_ATTRIBUTE_OFFLINE;
// A clock tick of file times, and more: a change this long before a copy began is one it held.
const ULONGLONG kClockTick = 50 * 10000;
// How far up a chain of copies the judge follows its origins.
const int kLongestChain = 32;

// Looks at the target once, when a rule first needs it.
const TargetLook &LookAt(const CopyTarget &target, TargetLook &look) {
    if (look.looked)
        return look;
    look.looked = true;
    look.exists = ReadFileTimes(target.full, look.size, look.lastWrite, look.changeTime);
    return look;
}

ULONGLONG StepOf(const FileSystemTraits &traits) {
    return traits.keepsChangeTime ? 0 : traits.timeStep;
}

// Two last-write times are one where a file system keeps them: exactly, or within its step.
bool SameTime(ULONGLONG a, ULONGLONG b, ULONGLONG step) {
    ULONGLONG apart = a > b ? a - b : b - a;
    return step == 0 ? apart == 0 : apart < step;
}

// The source's version is the one noted: its size and last-write time, and its change time
// where both are known.
bool NotedVersion(const CopyNote &note, const FileFacts &facts) {
    return note.size == facts.size && note.lastWrite == facts.lastWrite &&
           (note.changeTime == 0 || facts.changeTime == 0 || note.changeTime == facts.changeTime);
}

// By times alone: the target has the source's size and last-write time (at the destination's
// step), and was made after the source last changed where both change times are known.
bool TimesSayCurrent(const FileFacts &source, const TargetLook &target,
                     const FileSystemTraits &destination) {
    if (!target.exists || target.size != source.size)
        return false;
    ULONGLONG apart = target.lastWrite > source.lastWrite ? target.lastWrite - source.lastWrite
                                                          : source.lastWrite - target.lastWrite;
    if (destination.keepsChangeTime ? apart != 0 : apart >= destination.timeStep)
        return false;
    if (source.changeTime == 0 || !destination.keepsChangeTime || target.changeTime == 0)
        return true;
    return target.changeTime >= source.changeTime;
}

// The target was written later than the source last changed: another file of its name changed
// later (a copy carries its source's last-write time, a file moved in has its change time moved).
bool TargetChangedLater(const FileFacts &source, const TargetLook &target,
                        const FileSystemTraits &destination) {
    ULONGLONG lastChange = std::max(source.lastWrite, source.changeTime);
    return target.exists && target.lastWrite > lastChange + StepOf(destination);
}

// True when the target is the source itself: the destination folder is the watched folder or
// lies inside its tree, and the source's folder is the destination folder (a copy keeps its file
// name). The folders are compared once per pass: by path, else by identity (short names, links,
// a second path to the volume).
bool IsOntoItself(MirrorState &mirror, const SourceFile &source, const CopyTarget &target) {
    if (!mirror.destinationMayBeSource)
        return false;
    const std::wstring &key = source.folderKey;
    if (key == mirror.destinationKey)
        return true;
    auto known = mirror.foldersAtDestination.find(key);
    if (known != mirror.foldersAtDestination.end())
        return known->second;
    if (!IdentityKnown(mirror.destinationIdentity))
        ReadPathIdentity(target.folder, mirror.destinationIdentity);
    FileIdentity folder = mirror.sourceIdentity;
    if (key != mirror.sourceKey)
        ReadPathIdentity(source.folder, folder);
    bool same = SameFileIdentity(folder, mirror.destinationIdentity);
    mirror.foldersAtDestination[key] = same;
    return same;
}

// True when `target` is the file the source copy `own` was made of, or further up its chain:
// each link a copy of ours that nothing changed since (a changed one is noted so by the pass of
// the pair that watches it, before that pair carries it on).
bool IsUpTheChain(const CopyNote &own, unsigned long long target) {
    unsigned long long origin = own.source;
    for (int link = 0; link < kLongestChain; ++link) {
        if (origin == target)
            return true;
        CopyNote next;
        if (!NoteOfCopy(origin, next) || next.copyWrite == 0)
            return false;
        origin = next.source;
    }
    return false;
}

// What one judgement knows of the notes.
struct Notes {
    bool ownCopy = false; // the source is a copy of ours, still as made
    CopyNote own;
    bool targetAsked = false; // the target's note has been looked up (and the target, if noted)
    bool atTarget = false;    // the target's copy note, while the target is still as made
    CopyNote target;
    bool toTarget = false; // the last copy of this source to this target
    CopyNote sourceToTarget;
};

// The note of the target's copy, while the target is still as that copy was made: looked up
// (and the target looked at) only when a rule asks.
bool TargetNoteTells(const CopyTarget &target, TargetLook &look, Notes &notes) {
    if (!notes.targetAsked) {
        notes.targetAsked = true;
        if (NoteOfCopy(target.hash, notes.target)) {
            const TargetLook &seen = LookAt(target, look);
            notes.atTarget = seen.exists && StillAsCopied(notes.target, seen.size, seen.lastWrite);
        }
    }
    return notes.atTarget;
}

// Rule 3: by the note of the target's copy where it tells, else (`byTimes`) by the times.
bool HoldsThisVersion(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                      TargetLook &look, Notes &notes, bool byTimes) {
    if (TargetNoteTells(target, look, notes)) {
        // The target holds a copy of the file this copy was made of, in this copy's version.
        if (notes.ownCopy && notes.target.source == notes.own.source)
            return notes.target.size == source.facts.size &&
                   notes.target.lastWrite == source.facts.lastWrite;
        // Of this very file; or of the same file under the name it had before its folder was
        // renamed or moved (its times exactly these).
        return NotedVersion(notes.target, source.facts) &&
               (notes.target.source == source.hash ||
                (notes.target.changeTime != 0 && source.facts.changeTime != 0));
    }
    return byTimes && TimesSayCurrent(source.facts, LookAt(target, look),
                                      DestinationTraitsOf(mirror, target.folder));
}

// Rules 5 and 6: what the last copy of this source to this target says of a change of it.
Judgement SinceLastCopy(const SourceFile &source, const Notes &notes) {
    if (!notes.toTarget)
        return Judgement::Copy;
    const CopyNote &note = notes.sourceToTarget;
    const FileFacts &facts = source.facts;
    if (note.size != facts.size || note.lastWrite != facts.lastWrite)
        return Judgement::Copy;
    if (note.attributes != kAttributesUnknown && note.attributes != facts.attributes)
        return Judgement::AttributesOnly;
    ULONGLONG lastChange = std::max(facts.lastWrite, facts.changeTime);
    if (note.attributes != kAttributesUnknown && note.changeTime != 0 &&
        note.changeTime == facts.changeTime && note.copiedAt >= lastChange + kClockTick)
        return Judgement::NothingChanged;
    return Judgement::Copy;
}

// Rule 7: a placeholder without a note that tells, by size and last-write time.
bool PlaceholderCurrent(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                        TargetLook &look) {
    const TargetLook &seen = LookAt(target, look);
    return seen.exists && seen.size == source.facts.size &&
           SameTime(seen.lastWrite, source.facts.lastWrite,
                    StepOf(DestinationTraitsOf(mirror, target.folder)));
}

Judgement Judge(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                TargetLook &look, CopyAsk ask) {
    if (IsOntoItself(mirror, source, target))
        return Judgement::OntoItself;
    const FileFacts &facts = source.facts;
    Notes notes;
    if (NoteOfCopy(source.hash, notes.own)) {
        notes.ownCopy = StillAsCopied(notes.own, facts.size, facts.lastWrite);
        // Edited since it was made: the user's file again, and no link of any chain.
        if (!notes.ownCopy)
            NoteCopyChanged(source.hash);
    }
    if (notes.ownCopy && IsUpTheChain(notes.own, target.hash))
        return Judgement::OntoOrigin;
    notes.toTarget =
        ask != CopyAsk::Waiting && NoteOfSourceAt(source.hash, target.hash, notes.sourceToTarget);
    // Rule 4, or this copy's own copy on down a chain, current.
    if (notes.ownCopy && HoldsThisVersion(mirror, source, target, look, notes, true))
        return notes.atTarget && notes.target.source == source.hash ? Judgement::SameVersion
                                                                    : Judgement::LoopCopy;
    bool placeholder = DataIsElsewhere(facts.attributes);
    switch (ask) {
    case CopyAsk::Arrived:
    case CopyAsk::Changed: {
        Judgement since = SinceLastCopy(source, notes);
        if (since == Judgement::NothingChanged ||
            (since == Judgement::AttributesOnly && ask == CopyAsk::Changed))
            return since;
        break;
    }
    case CopyAsk::Waiting:
        if (HoldsThisVersion(mirror, source, target, look, notes, false))
            return Judgement::SameVersion;
        break;
    case CopyAsk::Walk: {
        // The target's copy of this very file tells, whatever the times say.
        if (TargetNoteTells(target, look, notes) && notes.target.source == source.hash) {
            if (NotedVersion(notes.target, facts))
                return Judgement::SameVersion;
            Judgement since = SinceLastCopy(source, notes);
            return since == Judgement::AttributesOnly ? since : Judgement::Copy;
        }
        Judgement since = SinceLastCopy(source, notes);
        if (since != Judgement::Copy)
            return since;
        if (placeholder)
            break;
        if (HoldsThisVersion(mirror, source, target, look, notes, true))
            return Judgement::SameVersion;
        if (TargetChangedLater(facts, LookAt(target, look),
                               DestinationTraitsOf(mirror, target.folder)))
            return Judgement::LaterAtTarget;
        return Judgement::Copy;
    }
    }
    if (placeholder && !notes.toTarget && PlaceholderCurrent(mirror, source, target, look))
        return Judgement::PlaceholderCurrent;
    return Judgement::Copy;
}

} // namespace

bool DataIsElsewhere(DWORD attributes) {
    return (attributes & kNotOnDisk) != 0;
}

SourceFile SourceAt(const std::wstring &full) {
    SourceFile source;
    source.full = full;
    source.hash = PathHash(full);
    source.folder = FolderOf(full);
    source.folderKey = FoldCase(FullPath(source.folder));
    return source;
}

CopyTarget TargetOf(const std::wstring &dstFull) {
    CopyTarget target;
    target.full = dstFull;
    target.path = FileSystemPath(dstFull);
    target.folder = FolderOf(dstFull);
    target.hash = PathHash(dstFull);
    target.key = FoldCase(dstFull);
    return target;
}

TargetLook TargetAsListed(ULONGLONG size, ULONGLONG lastWrite, ULONGLONG changeTime) {
    TargetLook look;
    look.looked = look.exists = true;
    look.size = size;
    look.lastWrite = lastWrite;
    look.changeTime = changeTime;
    return look;
}

TargetLook NoTarget() {
    TargetLook look;
    look.looked = true;
    return look;
}

const FileSystemTraits &DestinationTraitsOf(MirrorState &mirror, const std::wstring &folder) {
    if (!mirror.destinationSeen &&
        GetFileAttributesW(FileSystemPath(folder).c_str()) != INVALID_FILE_ATTRIBUTES) {
        mirror.destination = TraitsOfFileSystemAt(folder);
        mirror.destinationSeen = true;
    }
    return mirror.destination;
}

Judgement JudgeCopy(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                    TargetLook &look, CopyAsk ask) {
    Judgement judgement = Judge(mirror, source, target, look, ask);
    switch (judgement) {
    case Judgement::OntoItself:
        // The copy would come back as a change of the tree.
        Trace512(L"Skipping copy onto its own source: %ls\n", source.full.c_str());
        break;
    case Judgement::OntoOrigin:
        Trace512Once(mirror.originSeen,
                     L"Not copying %ls onto %ls: it is this program's copy of that file, whose own "
                     L"pair carries its changes (pairs in a loop)\n",
                     source.full.c_str(), target.full.c_str());
        break;
    case Judgement::LoopCopy:
        Trace512Once(mirror.loopSeen,
                     L"Not copying %ls onto %ls: it is this program's copy and that file holds the "
                     L"same version (pairs in a loop or a chain)\n",
                     source.full.c_str(), target.full.c_str());
        break;
    case Judgement::AttributesOnly:
        NoteAttributesChanged(target.hash, source.hash, source.facts.attributes,
                              source.facts.changeTime);
        Trace512Once(mirror.attributesSeen,
                     L"Not copying %ls: only its attributes changed since it was copied to %ls\n",
                     source.full.c_str(), target.full.c_str());
        break;
    case Judgement::PlaceholderCurrent:
        Trace512Once(mirror.placeholderSeen,
                     L"Not copying %ls: its data is not on this computer and its copy is current\n",
                     source.full.c_str());
        break;
    default:
        break;
    }
    return judgement;
}

void NoteCopyPutInPlace(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                        ULONGLONG copiedAt) {
    const FileFacts &facts = source.facts;
    CopyNote note;
    note.copy = target.hash;
    note.source = source.hash;
    note.pair = mirror.notesPair;
    note.size = facts.size;
    note.lastWrite = facts.lastWrite;
    note.changeTime = facts.changeTime;
    note.attributes = facts.attributes;
    note.copiedAt = copiedAt;
    // A copy keeps its source's last-write time where the file system keeps fine times; where
    // it rounds them or keeps its own (FAT, a share), the copy is looked at.
    note.copyWrite = facts.lastWrite;
    const FileSystemTraits &destination = DestinationTraitsOf(mirror, target.folder);
    ULONGLONG size = 0, changeTime = 0;
    if (!destination.keepsChangeTime || destination.timeStep > kFineTimeStep)
        ReadFileTimes(target.full, size, note.copyWrite, changeTime);
    NoteCopyMade(note);
}
