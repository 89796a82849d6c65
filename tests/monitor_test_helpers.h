// Helpers of the monitoring engine's tests: a hidden window that receives the notices, the
// pair file, captured trace lines and folder contents.
#pragma once

#include "monitor/change_batch.h"

#include <windows.h>

#include <string>
#include <vector>

// A hidden window that takes WM_FOLDER_CHANGED notices as the main window does: it keeps a
// copy of each text with its wParam and frees the text.
HWND CreateNoticeSink();
struct ReceivedNotice {
    WPARAM index;
    std::wstring text;
};
std::vector<ReceivedNotice> &ReceivedNotices();

// Writes the pair file (under a fresh configuration root) with the given pairs.
void WritePairFile(const std::vector<std::pair<std::wstring, std::wstring>> &pairs);

// Trace lines captured so far, kept across calls (TakeDebugOutput empties the capture).
std::vector<std::wstring> &CapturedLines();
void CollectTrace();
size_t CountLines(const std::wstring &prefix);
size_t CountLinesContaining(const std::wstring &part);

// Writes text to a file with the given sharing (a held writer), or creates it fresh.
void WriteText(const std::wstring &path, const std::string &text);
size_t CountFiles(const std::wstring &folder);

// Waits until every watch thread of the running generation has started its first read, and
// a little longer so that the read is pending in the system.
bool WaitForReadsPending(DWORD timeoutMs = 10000);
