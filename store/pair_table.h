// The folder pair table and the pair file reader.
//
// The pair file folders.txt is the whole configuration. The table is rebuilt from it, whole,
// by LoadFolderPairs; only the user-interface thread changes the table.
#pragma once

#include <string>
#include <vector>

// Pair i is (g_sourceFolders[i], g_destFolders[i]). Owned by the user-interface thread;
// a watch thread gets its own copy of its pair's paths before it starts.
extern std::vector<std::wstring> g_sourceFolders;
extern std::vector<std::wstring> g_destFolders;

// %LOCALAPPDATA%\Vantrel, else %USERPROFILE%\Vantrel (created if missing), else the
// executable's folder, else empty. Resolved afresh on every call.
std::wstring GetConfigDirectory();

// The configuration directory plus "\folders.txt"; empty when there is no directory.
std::wstring GetConfigFilePath();

// Replaces the table with the pairs of the pair file (store/pair_file.h: UTF-8, UTF-16 and ANSI
// lines). A missing or unreadable file leaves the table empty. True when the whole file was
// read and every line in it that is not empty is a pair: a line that could not be read may be
// a pair the user wrote by hand (callers that only want the table ignore the result).
bool LoadFolderPairs();

// Decodes one line of the pair file (without its line feed). Returns false when the line
// is not a pair line. Both line forms are read by the same rules.
bool DecodePairLine(const std::string &line, std::wstring &source, std::wstring &dest);
