// Helpers of the monitoring engine's tests: a hidden window that receives the notices, the
// pair file, captured trace lines and folder contents.
#pragma once

#include "monitor/change_batch.h"
#include "monitor/system_behaviour.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

// A hidden window that takes WM_FOLDER_CHANGED notices as the main window does: it keeps a
// copy of each text with its wParam and frees the text. It frees trouble reports unread, and
// hands device changes to the engine as the main window does.
HWND CreateNoticeSink();
struct ReceivedNotice {
    WPARAM index;
    std::wstring text;
};
std::vector<ReceivedNotice> &ReceivedNotices();

// Writes the pair file (under the test program's configuration root) with the given pairs.
void WritePairFile(const std::vector<std::pair<std::wstring, std::wstring>> &pairs);
// Moves the configuration to a fresh root, as a new run of the program that has not read its
// kept points yet; returns the configuration directory.
std::wstring UseFreshConfig();

// Batches trusted as on Windows; subfolders silent until opened where the system makes them so.
SystemBehaviour TrustedBatches();
// Everything as on Windows: where subfolders stay silent until opened (Wine), for tests that
// change nothing in a subfolder that existed before the watch began.
SystemBehaviour WindowsBehaviour();

// Trace lines captured so far, kept across calls (TakeDebugOutput empties the capture).
std::vector<std::wstring> &CapturedLines();
void CollectTrace();
size_t CountLines(const std::wstring &prefix);
size_t CountLinesContaining(const std::wstring &part);

// Writes text over the start of a file and puts its last-write time back, as tools that keep a
// file's date do.
void SaveKeepingTime(const std::wstring &file, const std::string &text);
// Writes text to a file with the given sharing (a held writer), or creates it fresh.
void WriteText(const std::wstring &path, const std::string &text);
size_t CountFiles(const std::wstring &folder);

// Under Wine: the Linux path of a Windows path (empty elsewhere), and a Linux program started
// with arguments (Wine does not wait for it: wait for what it does).
std::wstring LinuxPathOf(const std::wstring &path);
bool StartLinuxProgram(const std::wstring &program, const std::wstring &arguments);
// Under Wine: makes `link` a Linux symbolic link to `target` and waits until it is there.
bool MakeLinuxLink(const std::wstring &target, const std::wstring &link);

// Starts monitoring as if it started `ms` later than it does: what was written before is older
// than any walk of the new pairs looks back.
void StartMonitoringLater(DWORD ms);

// Waits until every watch thread of the running generation whose folder exists is watching:
// its first read has been pending in the system and its catch-up walk is done.
bool WaitForReadsPending(DWORD timeoutMs = 30000);

// A test of the running engine on real folders: a fresh root with a source folder src (made)
// and a destination dst (not made), a notice sink as the main window, the trace captured from
// the start, batches trusted as on Windows (a test that renames folders inside the tree, where
// Wine's batches go wrong, chooses NativeSystemBehaviour); monitoring is stopped and everything
// removed at the end.
class WatchTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Writes the pair file with src -> dest, starts monitoring and waits until the watch is
    // complete (its first read pending and its catch-up walk done).
    void StartWatching(const std::wstring &dest);
    // Waits until a trace line begins with `prefix`; on failure, says what was traced.
    testing::AssertionResult WaitForLine(const std::wstring &prefix, DWORD timeoutMs = 30000);
    // Waits until `file` holds exactly `text`; on failure, says what it holds.
    testing::AssertionResult WaitForContent(const std::wstring &file, const std::string &text,
                                            DWORD timeoutMs = 30000);

    std::wstring root, src, dst;
    HWND sink = nullptr;
};

// A fixture whose tests run twice: with the start of a watch as this system runs it, and as
// Windows runs it (no subfolder opened before the catch-up), for tests that write only files at
// the top of the watched folder.
template <class Fixture>
class BothStarts : public Fixture, public testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Fixture::SetUp();
        if (this->GetParam())
            SetSystemBehaviour(WindowsBehaviour());
    }
};
