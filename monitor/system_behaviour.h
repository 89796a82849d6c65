// How this system behaves where the engine must know, decided once, here and nowhere else.
//
// On Windows a watch of a tree reports every change below it as it is made, a read whose
// changes did not fit its buffer succeeds with 0 bytes, a read ended from another thread fails
// with ERROR_OPERATION_ABORTED, a file that its writer holds open for writing cannot be opened
// for reading without write sharing (so CopyFileEx cannot copy it until it is closed), and
// GetVolumeInformationW names each file system. Wine differs, and the engine makes up for it:
// - its watch reports a change in a subfolder only once that subfolder has been opened after
//   the watch's read reached the system (subfoldersSilentUntilOpened): a watch opens every
//   subfolder once its first read is pending, and every folder that arrives;
// - after a folder is renamed inside the tree its batches name changes below it by the old
//   name, and folders below can go quiet (batchesMayMissChanges): every busy spell is walked
//   once the pair is quiet;
// - a writer that is a Linux process holds a file without Wine knowing (writerHoldsUnseen):
//   whether a file is still being written is told by its times alone;
// - it names every file system NTFS (fileSystemsAllNamedNtfs): FAT and exFAT are told by their
//   times in whole seconds;
// - an overflow is a failed read with ERROR_NOTIFY_ENUM_DIR, and a read ended from another
//   thread fails with ERROR_IO_PENDING.
// The engine asks only this file. Tests choose the behaviour they exercise, and so can a run of
// the program: with VANTREL_TRUST_BATCHES=1 in its environment it trusts batches as on
// Windows, so the path Windows users run is exercised under Wine too (where no folder is renamed
// inside a watched tree, Wine's batches are right).
#pragma once

#include <windows.h>

// Windows' behaviour is all false.
struct SystemBehaviour {
    bool subfoldersSilentUntilOpened = false;
    bool batchesMayMissChanges = false;
    bool writerHoldsUnseen = false;
    bool fileSystemsAllNamedNtfs = false;
};

// The behaviour in force: the system's own, unless a test or the environment chose otherwise.
const SystemBehaviour &ThisSystem();
// Chooses the behaviour; before monitoring starts. Tests only.
void SetSystemBehaviour(const SystemBehaviour &behaviour);
// What this system itself does.
SystemBehaviour NativeSystemBehaviour();

// What a synchronous ReadDirectoryChangesW came back with.
enum class ReadOutcome {
    Batch,            // changes, in the buffer
    NothingFitted,    // changes were made but did not fit the buffer: they are lost
    CancelledForWake, // another thread ended the read to give the watch thread work
    Stopped,          // the generation stops
    Failed,           // the folder is gone, its share went away, or the read failed otherwise
    NotSupported,     // the file system does not report changes
};
ReadOutcome ClassifyRead(BOOL ok, DWORD bytes, DWORD error, bool stopping);
