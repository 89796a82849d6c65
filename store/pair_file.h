// The pair file as lines: what the loader reads, and what a rewrite carries over.
//
// The guide invites hand edits, and Windows' own tools write text in more than one encoding:
// PowerShell 5.1's ">" and Out-File write UTF-16 with a byte order mark, cmd's "echo ... >>"
// appends a line in the ANSI code page. So a file that begins with a UTF-16 byte order mark
// (either byte order) is read as UTF-16; any other file as bytes, a line that is not valid
// UTF-8 in the ANSI code page. Every line is handed on in UTF-8, the encoding the pair line
// rules are written for, and the writers only ever write UTF-8.
//
// A line the loader cannot read as a pair (a pair line written wrong, a note) is kept as text:
// a rewrite writes it back where it stood, so that editing the pairs in the program never
// loses what the user wrote by hand.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct PairFileLine {
    std::string text;          // the line in UTF-8, without its line end
    bool isPair = false;       // it reads as a pair line
    std::wstring source, dest; // the pair, when it is one
};

// Reads the pair file at `path` into `lines`, in file order. False, with the system's `error`,
// when the file cannot be opened (ERROR_FILE_NOT_FOUND when there is none) or not read to its
// end; the lines read before a failed read are in `lines` all the same.
bool ReadPairFile(const std::wstring &path, std::vector<PairFileLine> &lines, DWORD &error);
// The same from a file open for reading, from where its file pointer stands.
bool ReadPairLines(HANDLE file, std::vector<PairFileLine> &lines, DWORD &error);

// True for a line that holds something the loader could not read as a pair: not a pair line,
// and not empty.
bool IsUnreadLine(const PairFileLine &line);
