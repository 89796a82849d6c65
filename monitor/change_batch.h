// One batch of change records: decoding the system's notification buffer, the per-pair
// notice throttle and the notice text. Pure functions; the watch thread supplies the clock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One decoded change record.
struct FolderChange {
    std::wstring name; // path relative to the watched folder, as reported; empty when none
    DWORD action;      // the system's action code, stored unchanged
};

// Decodes the FILE_NOTIFY_INFORMATION chain in the first `bytes` bytes of buffer. Never
// reads past `bytes`: a record whose header does not fit ends the chain, and a name that
// runs past the end is cut at it. An odd name length drops the half character.
std::vector<FolderChange> DecodeChangeBatch(const BYTE *buffer, DWORD bytes);

// The notice throttle of one pair: true (and lastTick = now) when at least 1000 ms have
// passed since lastTick; false, lastTick unchanged, otherwise. A tick of 0 counts as 1, so
// that 0 can keep meaning "nothing accepted yet".
bool AcceptNoticeAt(ULONGLONG now, ULONGLONG &lastTick);

// The label of an action code, "(不明)" for codes the system does not define.
const wchar_t *ActionLabel(DWORD action);

// The notice text of one batch of the watched folder `path`, every line ended by CR LF.
std::wstring ComposeNotice(const std::wstring &path, const std::vector<FolderChange> &changes);
