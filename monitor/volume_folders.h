// The folders a drive keeps for itself at its root, which are not the user's.
//
// A drive (a USB stick, a backup disk, D:\ as a whole) can be registered as a watched folder.
// At its root the system keeps folders of its own: the recycle bin ("$RECYCLE.BIN", and
// "RECYCLER" of older systems) and "System Volume Information". Explorer deletes a file or a
// folder by renaming it into the recycle bin and writing a record of it beside it ($R..., $I...),
// so a pair that mirrored them would copy every deletion on the drive as an arrival, gigabytes
// at a time. They are not part of a watched tree: no record below them is copied and no walk
// enters them. A folder of such a name deeper down is an ordinary folder.
#pragma once

#include <string>

// True when `folder` is the root of a volume: a drive's, a share's, or a volume mounted in a
// folder.
bool IsVolumeRoot(const std::wstring &folder);

// True when `relative`, a path below a volume's root, lies in one of the drive's own folders.
bool IsInVolumeOwnFolder(const std::wstring &relative);
