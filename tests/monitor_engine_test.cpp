// The monitoring engine end to end, on real folders: pair file, StartMonitoring, changes,
// copies, notices and StopMonitoring.
#include "app/main_window.h"
#include "monitor/monitor.h"
#include "monitor/watch_thread.h"
#include "store/pair_table.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"
#include "tools/process_counts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace {

// The directory handle of a context, read as StopMonitoring reads it.
HANDLE DirHandleOf(WatchContext &context) {
    std::lock_guard<std::mutex> lock(context.handleLock);
    return context.dirHandle;
}

class EngineTest : public WatchTest {
  protected:
    std::wstring Folder(const std::wstring &name) {
        std::wstring path = root + L"\\" + name;
        CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }
    // Pumps until dst holds `name` with exactly `text`.
    testing::AssertionResult Arrives(const std::wstring &folder, const std::wstring &name,
                                     const std::string &text) {
        return WaitForContent(folder + L"\\" + name, text);
    }
    bool NoticeHasLine(const std::wstring &line, DWORD timeoutMs = 30000) {
        return PumpUntil(
            [&] {
                for (const ReceivedNotice &notice : ReceivedNotices())
                    if (notice.text.find(L"\r\n" + line + L"\r\n") != std::wstring::npos)
                        return true;
                return false;
            },
            timeoutMs);
    }
};

using EngineStartTest = BothStarts<EngineTest>;
INSTANTIATE_TEST_SUITE_P(AsHereAndAsOnWindows, EngineStartTest, testing::Bool());

} // namespace

TEST_F(EngineTest, MirrorsChangesAndPostsNotices) {
    std::wstring src = Folder(L"src"), dst = root + L"\\dst";
    WritePairFile({{src, dst}});
    StartMonitoring();
    ASSERT_EQ(g_threadHandles.size(), 1u);
    ASSERT_TRUE(WaitForReadsPending());
    EXPECT_EQ(CountLines(L"MonitorThread[0] started for path: " + src + L"\n"), 1u);

    WriteFileBytes(src + L"\\a.txt", "first");
    EXPECT_TRUE(Arrives(dst, L"a.txt", "first"));
    EXPECT_TRUE(NoticeHasLine(L"a.txt (追加)"));
    PumpFor(1100); // past the notice throttle

    WriteFileBytes(src + L"\\a.txt", "second version");
    EXPECT_TRUE(Arrives(dst, L"a.txt", "second version"));
    EXPECT_TRUE(NoticeHasLine(L"a.txt (変更)"));
    PumpFor(1100);

    ASSERT_TRUE(MoveFileW((src + L"\\a.txt").c_str(), (src + L"\\b.txt").c_str()));
    EXPECT_TRUE(Arrives(dst, L"b.txt", "second version"));
    EXPECT_TRUE(NoticeHasLine(L"a.txt (名前変更: 旧)"));
    EXPECT_TRUE(NoticeHasLine(L"b.txt (名前変更: 新)"));
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "second version");
    PumpFor(1100);

    CreateDirectoryW((src + L"\\sub").c_str(), nullptr);
    WriteFileBytes(src + L"\\sub\\c.txt", "in a subfolder");
    EXPECT_TRUE(Arrives(dst, L"c.txt", "in a subfolder"));
    // Wine does not report a file written into a folder before it watches that folder; the
    // folder's own record brings the file along.
    EXPECT_TRUE(NoticeHasLine(L"sub (追加)"));
    PumpFor(1100);
    WriteFileBytes(src + L"\\sub\\c.txt", "written again");
    EXPECT_TRUE(Arrives(dst, L"c.txt", "written again"));
    EXPECT_TRUE(NoticeHasLine(L"sub\\c.txt (変更)"));

    // Every notice is whole: header, path, an empty line, then one line per record.
    const std::wstring head = L"監視対象フォルダに変更がありました:\r\n" + src + L"\r\n\r\n";
    for (const ReceivedNotice &notice : ReceivedNotices()) {
        EXPECT_EQ(notice.index, 0u);
        EXPECT_EQ(notice.text.substr(0, head.size()), head);
        EXPECT_EQ(notice.text.substr(notice.text.size() - 2), L"\r\n");
    }
    EXPECT_EQ(CountLines(L"PostMessageW failed"), 0u);
    // Each "Read" line is one batch; a batch gets at most one notice.
    EXPECT_LE(ReceivedNotices().size(), CountLines(L"MonitorThread[0] Read "));
}

TEST_P(EngineStartTest, APairWithoutDestinationIsWatchedAndNotified) {
    std::wstring src = Folder(L"src");
    WritePairFile({{src, L""}});
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    WriteFileBytes(src + L"\\n.txt", "n");
    EXPECT_TRUE(NoticeHasLine(L"n.txt (追加)"));
    EXPECT_EQ(CountLines(L"CopyFile"), 0u);
}

TEST_P(EngineStartTest, BatchesOfTwoPairsAreNotifiedIndependently) {
    std::wstring a = Folder(L"a"), b = Folder(L"b");
    WritePairFile({{a, root + L"\\da"}, {b, root + L"\\db"}});
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    WriteFileBytes(a + L"\\1.txt", "1");
    WriteFileBytes(b + L"\\2.txt", "2");
    EXPECT_TRUE(NoticeHasLine(L"1.txt (追加)"));
    EXPECT_TRUE(NoticeHasLine(L"2.txt (追加)"));
    for (const ReceivedNotice &notice : ReceivedNotices())
        EXPECT_NE(notice.text.find(notice.index == 0 ? a : b), std::wstring::npos);
}

TEST_F(EngineTest, AThrottledBatchIsStillCopied) {
    std::wstring src = Folder(L"src"), dst = Folder(L"dst");
    WriteFileBytes(src + L"\\doc.tmp", "draft");
    WriteFileBytes(src + L"\\doc.txt", "saved");
    WatchContext context;
    context.index = 4;
    context.path = src;
    context.destRoot = dst;
    HandleChangeBatch(context, {{L"doc.tmp", 1}}, 50000, 0);
    // Half a second later the editor renames its temporary file into place.
    HandleChangeBatch(context, {{L"doc.tmp", 4}, {L"doc.txt", 5}}, 50500, 0);
    EXPECT_EQ(ReadFileBytes(dst + L"\\doc.txt"), "saved");
    EXPECT_EQ(context.lastNotifyTick, 50000u);
    PumpFor(50);
    ASSERT_EQ(ReceivedNotices().size(), 1u);
    EXPECT_EQ(ReceivedNotices()[0].index, 4u);
    EXPECT_NE(ReceivedNotices()[0].text.find(L"doc.tmp (追加)"), std::wstring::npos);
    // The next accepted batch is a second after the last accepted one.
    HandleChangeBatch(context, {{L"doc.txt", 3}}, 51000, 0);
    PumpFor(50);
    EXPECT_EQ(ReceivedNotices().size(), 2u);
}

TEST_F(EngineTest, ANoticeThatCannotBePostedIsFreedByThePoster) {
    std::wstring src = Folder(L"src"), dst = Folder(L"dst");
    WriteFileBytes(src + L"\\x.txt", "x");
    HWND gone = CreateNoticeSink();
    DestroyWindow(gone);
    g_hMainWnd = gone;
    WatchContext context;
    context.index = 7;
    context.path = src;
    context.destRoot = dst;
    HandleChangeBatch(context, {{L"x.txt", 1}}, 90000, 0);
    EXPECT_EQ(CountLines(L"PostMessageW failed for index 7 err=1400\n"), 1u);
    EXPECT_EQ(ReadFileBytes(dst + L"\\x.txt"), "x");
    // Without a main window the batch is still copied, and nothing is posted.
    g_hMainWnd = nullptr;
    WriteFileBytes(src + L"\\y.txt", "y");
    HandleChangeBatch(context, {{L"y.txt", 1}}, 95000, 0);
    EXPECT_EQ(ReadFileBytes(dst + L"\\y.txt"), "y");
    EXPECT_EQ(CountLines(L"PostMessageW failed"), 1u);
}

TEST_P(EngineStartTest, AStartingThreadKeepsItsPathsWhenTheTableChanges) {
    std::wstring src = Folder(L"src"), dst = root + L"\\dst";
    WritePairFile({{src, dst}, {src, dst}});
    StartMonitoring();
    // The pair list dialog may reload or edit the table while the threads still start.
    g_sourceFolders.assign(1, root + L"\\elsewhere");
    g_destFolders.clear();
    ASSERT_TRUE(WaitForReadsPending());
    EXPECT_EQ(CountLines(L"MonitorThread[0] started for path: " + src + L"\n"), 1u);
    EXPECT_EQ(CountLines(L"MonitorThread[1] started for path: " + src + L"\n"), 1u);
    WriteFileBytes(src + L"\\t.txt", "t");
    EXPECT_TRUE(Arrives(dst, L"t.txt", "t"));
}

TEST_F(EngineTest, AnEmptyPairFileStartsNothing) {
    WritePairFile({});
    StartMonitoring();
    EXPECT_TRUE(g_threadHandles.empty());
    EXPECT_TRUE(g_watchContexts.empty());
    StopMonitoring();
    EXPECT_TRUE(g_stopMonitoring.load());
    StopMonitoring();
    EXPECT_TRUE(g_threadHandles.empty());
}

TEST_F(EngineTest, StoppingTwentyBlockedThreadsEndsEveryOneInItsRead) {
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    for (int i = 0; i < 20; ++i)
        pairs.push_back({Folder(L"s" + std::to_wstring(i)), root + L"\\d" + std::to_wstring(i)});
    WritePairFile(pairs);
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    std::vector<std::shared_ptr<WatchContext>> contexts = g_watchContexts;
    ULONGLONG start = GetTickCount64();
    StopMonitoring();
    std::printf("[ measure  ] StopMonitoring with 20 blocked threads: %llu ms\n",
                GetTickCount64() - start);
    EXPECT_TRUE(g_threadHandles.empty());
    EXPECT_TRUE(g_watchContexts.empty());
    for (size_t i = 0; i < contexts.size(); ++i) {
        // Ended by the time the stop returns: the stop's cancel reached every read.
        EXPECT_TRUE(contexts[i]->ended.load());
        EXPECT_EQ(DirHandleOf(*contexts[i]), nullptr);
        // A cancelled read fails with ERROR_OPERATION_ABORTED, Wine says ERROR_IO_PENDING; a
        // thread between two reads sees the stop before it reads again.
        std::wstring line = L"ReadDirectoryChangesW failed on index " + std::to_wstring(i);
        EXPECT_LE(CountLines(line + L", err=995\n") + CountLines(line + L", err=997\n"), 1u);
        EXPECT_EQ(CountLines(line + L", err="), CountLines(line + L", err=99"));
    }
}

TEST_F(EngineTest, StartStopCyclesLeaveNoThreadOrHandleBehind) {
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    for (int i = 0; i < 3; ++i)
        pairs.push_back({Folder(L"s" + std::to_wstring(i)), root + L"\\d" + std::to_wstring(i)});
    WritePairFile(pairs);
    auto cycle = [] {
        StartMonitoring();
        EXPECT_TRUE(WaitForReadsPending());
        StopMonitoring();
    };
    // Threads and handles of this process (under Wine from its handle table, where
    // GetProcessHandleCount says 0).
    auto threads = [] { return ThreadsOfProcess(GetCurrentProcessId()); };
    auto handles = [] { return HandlesOfProcess(GetCurrentProcess(), GetCurrentProcessId()); };
    cycle();
    // Short-lived helpers (thread-pool workers, a watch's helpers under Wine) may still hold a
    // thread or a folder for a moment.
    long long threadsBefore = threads(), handlesBefore = handles();
    ASSERT_GT(threadsBefore, 0);
    ASSERT_GT(handlesBefore, 0);
    PumpUntil([&] { return threads() < threadsBefore || handles() < handlesBefore; }, 1000);
    threadsBefore = threads();
    handlesBefore = handles();
    const int kCycles = 10;
    for (int i = 0; i < kCycles; ++i)
        cycle();
    // A leak grows with the cycles. The runtime makes some objects once, such as the event a
    // lock kept for the whole run gets when two threads first meet on it: fewer than one per
    // cycle is no leak.
    auto leftBehind = [&] {
        return threads() >= threadsBefore + kCycles / 2 || handles() >= handlesBefore + kCycles / 2;
    };
    EXPECT_TRUE(PumpUntil([&] { return !leftBehind(); }, 30000))
        << threads() << " threads and " << handles() << " handles after " << kCycles << " cycles, "
        << threadsBefore << " and " << handlesBefore << " before";
}

TEST_F(EngineTest, AStopDuringALargeCopyReturnsAtOnceAndTheCopyNeverLands) {
    std::wstring srcA = Folder(L"srcA"), dstA = Folder(L"dstA");
    std::wstring srcB = Folder(L"srcB"), dstB = Folder(L"dstB");
    // A 1 GiB file (sparse, so making it costs nothing) moves into the watched tree: its copy
    // takes seconds, longer than a stop may wait.
    std::wstring big = root + L"\\big.bin";
    HANDLE file = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 1LL << 30;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    WritePairFile({{srcA, dstA}});
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    std::shared_ptr<WatchContext> old = g_watchContexts[0];
    HANDLE oldDir = DirHandleOf(*old);
    ASSERT_TRUE(MoveFileW(big.c_str(), (srcA + L"\\big.bin").c_str()));
    ASSERT_TRUE(PumpUntil([&] { return CountFiles(dstA) > 0; }, 30000)) << "no copy began";

    ULONGLONG start = GetTickCount64();
    StopMonitoring();
    ULONGLONG took = GetTickCount64() - start;
    std::printf("[ measure  ] StopMonitoring during a 1 GiB copy: %llu ms\n", took);
    EXPECT_LT(took, 3000u) << "the stop waited for the copy";
    // Wine cannot cancel a copy under way: the thread finishes it past the stop's wait.
    if (RunningUnderWine()) {
        ASSERT_FALSE(old->ended.load()) << "the old thread was meant to be busy copying";
        EXPECT_EQ(DirHandleOf(*old), oldDir);
    }

    // The next generation watches another pair at the same index.
    WritePairFile({{srcB, dstB}});
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    std::shared_ptr<WatchContext> next = g_watchContexts[0];
    ASSERT_NE(next, old);
    HANDLE nextDir = DirHandleOf(*next);
    ASSERT_NE(nextDir, nullptr);
    EXPECT_TRUE(PumpUntil([&] { return old->ended.load(); }, 120000));
    EXPECT_EQ(DirHandleOf(*old), nullptr);

    // The new generation's handle, tick and thread are untouched and still work.
    EXPECT_EQ(DirHandleOf(*next), nextDir);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(nextDir, &flags));
    EXPECT_EQ(next->lastNotifyTick, 0u);
    EXPECT_FALSE(next->ended.load());
    WriteFileBytes(srcB + L"\\after.txt", "after");
    EXPECT_TRUE(Arrives(dstB, L"after.txt", "after"));
    EXPECT_NE(next->lastNotifyTick, 0u);
    // The stopped generation put nothing in place, and left nothing behind.
    EXPECT_EQ(CountFiles(dstA), 0u);
}

TEST_F(EngineTest, ADestinationInsideTheTreeDoesNotCopyForever) {
    std::wstring src = Folder(L"src");
    std::wstring dst = src + L"\\backup";
    WritePairFile({{src, dst}});
    StartMonitoring();
    ASSERT_TRUE(WaitForReadsPending());
    WriteFileBytes(src + L"\\a.txt", "data");
    EXPECT_TRUE(Arrives(dst, L"a.txt", "data"));
    // A pair that copies its own copies never goes a second without a batch.
    size_t reads = CountLines(L"MonitorThread[0] Read ");
    ULONGLONG lastRead = GetTickCount64();
    EXPECT_TRUE(PumpUntil(
        [&] {
            size_t now = CountLines(L"MonitorThread[0] Read ");
            if (now != reads) {
                reads = now;
                lastRead = GetTickCount64();
            }
            return GetTickCount64() - lastRead >= 1000;
        },
        30000))
        << "the pair keeps copying";
    // One copy, or two when the file's creation and its write came in separate batches; the
    // copies then came back as changes of the tree and were not copied onto themselves.
    EXPECT_GE(CountLines(L"CopyFile succeeded: "), 1u);
    EXPECT_LE(CountLines(L"CopyFile succeeded: "), 2u);
    EXPECT_GE(CountLines(L"Skipping copy onto its own source: " + dst + L"\\a.txt\n"), 1u);
    EXPECT_EQ(ReadFileBytes(src + L"\\a.txt"), "data");
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "data");
}

TEST_F(EngineTest, PairsInALoopOfAnyLengthEndAndAChainCarriesEveryFileOn) {
    const struct {
        const char *name;
        std::vector<std::pair<int, int>> pairs; // folder indexes: source, destination
        int editIn;                             // the folder where a file is edited afterwards
    } cases[] = {
        {"x and y kept alike, y mirrored on to z", {{0, 1}, {1, 0}, {1, 2}}, 1},
        {"three folders in a ring", {{0, 1}, {1, 2}, {2, 0}}, 2},
    };
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> folders;
        for (const wchar_t *name : {L"x", L"y", L"z"})
            folders.push_back(Folder(std::to_wstring(run) + name));
        ++run;
        std::vector<std::pair<std::wstring, std::wstring>> pairs;
        for (const auto &[from, to] : c.pairs)
            pairs.push_back({folders[from], folders[to]});
        // Where a file written in each folder must arrive: every folder a chain of pairs leads to.
        auto reached = [&](int from) {
            std::vector<bool> seen(folders.size(), false);
            std::vector<int> next = {from};
            while (!next.empty()) {
                int at = next.back();
                next.pop_back();
                for (const auto &[source, dest] : c.pairs)
                    if (source == at && !seen[dest] && dest != from)
                        next.push_back(dest), seen[dest] = true;
            }
            return seen;
        };
        auto arrivesEverywhere = [&](const std::wstring &name, int from, const std::string &text) {
            std::vector<bool> seen = reached(from);
            for (size_t k = 0; k < folders.size(); ++k) {
                if (seen[k]) {
                    EXPECT_TRUE(Arrives(folders[k], name, text)) << WideToUtf8(name) << " in " << k;
                }
            }
        };
        // The copies stop: no copy for two seconds.
        auto copiesStop = [&] {
            size_t copies = CountLines(L"CopyFile succeeded: ");
            ULONGLONG lastCopy = GetTickCount64();
            EXPECT_TRUE(PumpUntil(
                [&] {
                    size_t now = CountLines(L"CopyFile succeeded: ");
                    if (now != copies) {
                        copies = now;
                        lastCopy = GetTickCount64();
                    }
                    return GetTickCount64() - lastCopy >= 2000;
                },
                30000))
                << "the pairs keep copying each other's copies";
            return copies;
        };
        CapturedLines().clear();
        WritePairFile(pairs);
        StartMonitoring();
        ASSERT_TRUE(WaitForReadsPending());
        size_t expected = 0;
        for (int from : {0, 1}) {
            for (const wchar_t *name : {L"a.txt", L"b.txt"}) {
                std::wstring file = std::to_wstring(from) + name;
                WriteFileBytes(folders[from] + L"\\" + file, "first");
                std::vector<bool> seen = reached(from);
                expected += std::count(seen.begin(), seen.end(), true);
            }
        }
        for (int from : {0, 1})
            for (const wchar_t *name : {L"a.txt", L"b.txt"})
                arrivesEverywhere(std::to_wstring(from) + name, from, "first");
        // A file's creation and its write may come in separate batches: two copies at most.
        size_t copies = copiesStop();
        EXPECT_LE(copies, 2 * expected) << "more than a copy of each file to each folder";
        // An edit anywhere reaches every folder it leads to, once.
        WriteFileBytes(folders[c.editIn] + L"\\0a.txt", "edited");
        arrivesEverywhere(L"0a.txt", c.editIn, "edited");
        std::vector<bool> seen = reached(c.editIn);
        EXPECT_LE(copiesStop() - copies, 2 * (size_t)std::count(seen.begin(), seen.end(), true));
        EXPECT_LE(CountLinesContaining(L"holds the same version"), c.pairs.size())
            << "more than a line per pair";
        StopMonitoring();
    }
}
