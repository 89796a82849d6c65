// The two writers of the pair file. Both return true on success; on failure they replace
// errorText with the reason: the failed call's name and the system's text for its error.
#pragma once

#include <string>

// Appends one pair line, unescaped ("[PAIR]," source "\," destination LF), after a byte order
// mark when the file is empty, and after a line feed when the file's last line has none. A
// failure after the file was opened cuts it back to its old size. A file in UTF-16 is
// rewritten in UTF-8 instead, with the pair at its end.
bool AppendFolderPair(const std::wstring &source, const std::wstring &dest,
                      std::wstring &errorText);

// The three rewrites replace the whole pair file: a byte order mark, then one escaped line per
// pair, and every line the loader could not read carried over unchanged where it stood
// (store/pair_file.h). Each reads the file as it is at that moment; one that cannot be read
// is not rewritten. The new content is written beside the file and moved over it in one step,
// so a failure leaves the old file as it was; the file before the rewrite is kept as
// folders.txt.bak.

// Rewrites the pair file from the table: its pairs take the places of the pairs the file
// holds, in order, and those beyond them follow at the end.
bool SaveAllFolderPairs(std::wstring &errorText);
// Rewrites the pair file with one more pair at its end.
bool AppendFolderPairByRewrite(const std::wstring &source, const std::wstring &dest,
                               std::wstring &errorText);
// Rewrites the pair file without the pair (source, dest) that is its occurrence-th (from 0)
// among equal pairs. True without a rewrite when the file holds no such pair any more.
bool RemoveFolderPair(const std::wstring &source, const std::wstring &dest, size_t occurrence,
                      std::wstring &errorText);

// The bytes of one line in each form, line feed included.
std::string FormatAppendLine(const std::string &sourceUtf8, const std::string &destUtf8);
std::string FormatRewriteLine(const std::string &sourceUtf8, const std::string &destUtf8);

// The UTF-8 form of a path; false when the conversion fails.
bool ConvertToUtf8(const std::wstring &path, std::string &utf8);
