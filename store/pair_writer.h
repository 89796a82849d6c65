// The two writers of the pair file. Both return true on success; on failure they replace
// errorText with the reason: the failed call's name and the system's text for its error.
#pragma once

#include <string>

// Appends one pair line, unescaped ("[PAIR]," source "\," destination LF), after a byte order
// mark when the file is empty, and after a line feed when the file's last line has none. A
// failure after the file was opened cuts it back to its old size.
bool AppendFolderPair(const std::wstring &source, const std::wstring &dest,
                      std::wstring &errorText);

// Rewrites the whole pair file from the table: a byte order mark, then one escaped line per
// pair. The new content is written beside the file and moved over it in one step, so a
// failure leaves the old file as it was.
bool SaveAllFolderPairs(std::wstring &errorText);

// The bytes of one line in each form, line feed included.
std::string FormatAppendLine(const std::string &sourceUtf8, const std::string &destUtf8);
std::string FormatRewriteLine(const std::string &sourceUtf8, const std::string &destUtf8);

// The UTF-8 form of a path; false when the conversion fails.
bool ConvertToUtf8(const std::wstring &path, std::string &utf8);
