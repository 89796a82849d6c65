// Names that other programs give files that live only while they work, which a backup keeps
// for ever if they are copied (the mirror never deletes): Office's owner files ("~$Report.docx",
// one for every document ever opened) and its temporary saves ("~WRL0001.tmp"), LibreOffice's
// lock files (".~lock.Report.odt#"), downloads in progress ("Film.mp4.crdownload", ".part",
// ".partial": a full-size partial copy beside every finished download), and the folder files
// that Explorer writes into every folder ("Thumbs.db", "desktop.ini", each overwriting the
// others in the flat destination). Cloud-sync clients skip exactly these. The finished file (the
// saved document, the renamed download) has a name of its own and is copied as always.
#pragma once

#include <string>

// True when a file name (no folder) is one of those names, in any case.
bool IsTransientName(const std::wstring &fileName);
