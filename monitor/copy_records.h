// What this program copied where: a note for every copy it put in place, found by the copy and
// by the file it was made of.
//
// Times alone cannot always tell whether a destination holds a source's version:
// - pairs in a loop (X -> Y, Y -> X: folders kept alike) would carry each copy back onto the
//   file it was made of, also after that file was saved again;
// - a destination that keeps coarse times (FAT and exFAT: steps of a second or two) cannot tell
//   a change saved within one step at the same size from the version it holds;
// - a clock that ran ahead and was set back leaves copies whose times are later than every edit
//   made since;
// - a change of a file's attributes alone (read-only, the archive bit, a cloud client freeing
//   space) changes its times as an edit does.
// So every copy is noted with the source's exact size, last-write time, change time and
// attributes, and the copy judge (monitor/copy_judge.h) compares with those. Files are named by
// their paths' hashes (PathHash), so a note takes a few dozen bytes.
//
// A note belongs to a copy and the file it was made of together: when a file of the same name
// from another folder replaces a copy, the note of the first file's copy stays, so that a later
// record of that first file can still be told from a change of it. Of the notes of one copy, the
// one of the copy put in place last says what the copy holds.
//
// Each pair keeps its own 65536 notes at most (the oldest go first), so one pair's big import
// costs no other pair its notes. The notes are kept across runs in "mirror-copies.txt" beside
// the pair file (monitor/saved_points.h), which a save only appends to: every note made or
// changed since the last save is one more line, and a later line of the same copy and source
// stands for the earlier one. When the file holds twice as many lines as there are notes, it is
// written anew. Process-wide, for every watch thread, under a lock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Attributes noted before they were kept.
const DWORD kAttributesUnknown = INVALID_FILE_ATTRIBUTES;

struct CopyNote {
    unsigned long long copy = 0;   // PathHash of the copy
    unsigned long long source = 0; // PathHash of the file it was made of
    unsigned long long pair = 0;   // the pair that made it (NotesPairOf); 0: not known
    // The source as it was copied, or as it was last found to have changed only its attributes.
    ULONGLONG size = 0;
    ULONGLONG lastWrite = 0;  // FILETIME
    ULONGLONG changeTime = 0; // FILETIME; 0: not known
    DWORD attributes = kAttributesUnknown;
    // The copy's own last-write time as its file system keeps it: the source's on most, rounded
    // on FAT, the time of the copy where the file system keeps none that is set.
    ULONGLONG copyWrite = 0;
    ULONGLONG copiedAt = 0; // FILETIME (the engine's clock) the copy began; 0: not known
    // Which copy was put in place last, of all copies noted: counts up with every copy.
    unsigned long long made = 0;
};

// The number a pair's notes carry: of its two paths, as the pair file spells them.
unsigned long long NotesPairOf(const std::wstring &source, const std::wstring &dest);

// A copy was put in place as `note` says (its `made` is given here).
void NoteCopyMade(CopyNote note);
// The source of the copy `note` names was found with these attributes and this change time,
// its size and last-write time as noted: only its attributes changed since it was copied.
void NoteAttributesChanged(unsigned long long copy, unsigned long long source, DWORD attributes,
                           ULONGLONG changeTime);

// The copy at the path that hashes to `copy` was found changed since it was put in place (its
// size or last-write time differ from its note's): its note no longer says what it holds.
void NoteCopyChanged(unsigned long long copy);

// The note of the copy put in place last at the path that hashes to `copy`; false when none.
bool NoteOfCopy(unsigned long long copy, CopyNote &note);
// The note of the last copy of the file that hashes to `source` to the path that hashes to
// `copy` (which may hold another file's copy since); false when none.
bool NoteOfSourceAt(unsigned long long source, unsigned long long copy, CopyNote &note);

// True when a file of this size and last-write time is the noted copy as it was put in place.
bool StillAsCopied(const CopyNote &note, ULONGLONG size, ULONGLONG lastWrite);

// The notes as they are kept across runs: one line each, and every line of a file read back in
// its order (lines that cannot be read are skipped and counted in `skipped`; lines of the form
// written before attributes were kept are read too).
// `goodEnd`, when given, gets where the last line read whole ends (past its line feed): what
// follows it is a damaged tail (a write cut short), not a note.
std::string FormatNoteLine(const CopyNote &note);
std::vector<CopyNote> ParseNoteLines(const std::string &bytes, size_t &skipped,
                                     size_t *goodEnd = nullptr);

// Every note replaced by those of `lines` (in the order they were written; `linesInFile` is how
// many lines the file holds, `rewrite` whether it is to be written anew at the next save).
void ReplaceNotes(const std::vector<CopyNote> &lines, size_t linesInFile, bool rewrite = false);

// What the file needs since it was last written: the lines to append (each note made or
// changed since, in order), or, when `rewrite`, the whole file anew. A write that fails hands
// its lines back, and they go with the next one.
struct NotesToWrite {
    bool rewrite = false;
    std::string bytes;
    size_t lines = 0;
    std::vector<CopyNote> notes; // the appended ones
};
bool TakeNotesToWrite(NotesToWrite &write);
void NotesWritten(const NotesToWrite &write, bool written);
