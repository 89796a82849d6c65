// The mirror point of a pair, driven through what happens to its watch with a driven clock,
// the file that keeps the points across runs, and the timer of the waiting copies.
#include "monitor/mirror_point.h"
#include "monitor/copy_records.h"
#include "monitor/long_path.h"
#include "monitor/saved_points.h"
#include "monitor/watch_wakeups.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

// One thing that happens to a watch, and the point expected right after it.
struct Event {
    enum Kind { Gap, Lost, Issued, Delivered, Walked, Waiting } kind;
    ULONGLONG a = 0, b = 0; // Gap: since; Issued: at; Walked: since, walk start; Waiting: since
    ULONGLONG point = 0;
};

struct Sequence {
    const char *name;
    std::vector<Event> events;
};

} // namespace

TEST(MirrorPoint, FollowsFromWhatHappenedAndNeverPassesAGapNotWalked) {
    const std::vector<Sequence> sequences = {
        {"a batch before the catch-up walk leaves the handed-over point",
         {{Event::Gap, 100, 0, 100},
          {Event::Issued, 200, 0, 100},
          {Event::Delivered, 0, 0, 100},
          {Event::Issued, 300, 0, 100},
          {Event::Walked, 100, 250, 250},
          {Event::Delivered, 0, 0, 300}}},
        {"a stop before the first read keeps the handed-over point", {{Event::Gap, 100, 0, 100}}},
        {"a walk from later than the gap leaves it open",
         {{Event::Gap, 100, 0, 100},
          {Event::Walked, 150, 400, 100},
          {Event::Walked, 90, 500, 500}}},
        {"a second gap keeps the earlier start",
         {{Event::Gap, 300, 0, 300}, {Event::Gap, 100, 0, 100}, {Event::Gap, 200, 0, 100}}},
        {"an overflow opens the gap where the reads had got to",
         {{Event::Gap, 100, 0, 100},
          {Event::Issued, 150, 0, 100},
          {Event::Walked, 100, 160, 160},
          {Event::Issued, 200, 0, 160},
          {Event::Delivered, 0, 0, 200},
          {Event::Issued, 300, 0, 200},
          {Event::Lost, 0, 0, 200},
          {Event::Delivered, 0, 0, 200},
          {Event::Walked, 200, 350, 350}}},
        {"a waiting copy holds the point back until it is done",
         {{Event::Gap, 100, 0, 100},
          {Event::Issued, 150, 0, 100},
          {Event::Walked, 100, 160, 160},
          {Event::Waiting, 120, 0, 120},
          {Event::Issued, 400, 0, 120},
          {Event::Delivered, 0, 0, 120},
          {Event::Waiting, 0, 0, 400}}},
        {"a folder lost while a copy waits opens the gap at the copy",
         {{Event::Gap, 100, 0, 100},
          {Event::Issued, 150, 0, 100},
          {Event::Walked, 100, 160, 160},
          {Event::Waiting, 155, 0, 155},
          {Event::Lost, 0, 0, 155},
          {Event::Waiting, 0, 0, 155},
          {Event::Walked, 155, 900, 900}}},
    };
    for (const Sequence &sequence : sequences) {
        MirrorPoint point;
        for (size_t step = 0; step < sequence.events.size(); ++step) {
            const Event &event = sequence.events[step];
            switch (event.kind) {
            case Event::Gap:
                GapOpened(point, event.a);
                break;
            case Event::Lost:
                ChangesLost(point);
                break;
            case Event::Issued:
                ReadIssued(point, event.a);
                break;
            case Event::Delivered:
                BatchHandled(point);
                break;
            case Event::Walked:
                GapWalked(point, event.a, event.b);
                break;
            case Event::Waiting:
                CopiesWaitingSince(point, event.a);
                break;
            }
            EXPECT_EQ(MirroredUpTo(point), event.point) << sequence.name << ", step " << step + 1;
        }
    }
}

TEST(KeptPoints, ReadBackAsWrittenAndDamagedLinesAreSkipped) {
    KeptPoints points;
    // The first with its watched folder's identity, the second from before it was kept.
    const std::string watched(24, '\x5a');
    points[PairKey(L"C:\\仕事", L"D:\\Backup")] = {L"C:\\仕事", L"D:\\Backup", 133000000000000000,
                                                   nullptr, watched};
    points[PairKey(L"\\\\server\\share", L"")] = {L"\\\\server\\share", L"", 42, nullptr,
                                                  std::string()};
    size_t skipped = 1;
    std::string bytes = FormatKeptPoints(points);
    KeptPoints read = ParseKeptPoints(bytes, skipped);
    EXPECT_EQ(skipped, 0u);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[PairKey(L"c:\\仕事", L"d:\\backup")].point, 133000000000000000u);
    EXPECT_EQ(read[PairKey(L"c:\\仕事", L"d:\\backup")].watchedFolder, watched);
    EXPECT_EQ(read[PairKey(L"\\\\server\\share", L"")].watchedFolder, "");
    EXPECT_EQ(read[PairKey(L"\\\\server\\share", L"")].source, L"\\\\server\\share");

    // A line cut short, a time that is no number, a stray field, bytes that are no UTF-8:
    // each costs its own pair only.
    read = ParseKeptPoints(bytes + "12\tC:\\a\n" + "x1\tC:\\b\tD:\\b\n" + "5\tC:\\c\tD:\\c\tE\n" +
                               "7\tC:\\\xff\tD:\\d\n" + "0\tC:\\e\tD:\\e\n",
                           skipped);
    EXPECT_EQ(skipped, 5u);
    EXPECT_EQ(read.size(), 2u);

    // What this program copied, kept the same way.
    ReplaceNotedCopies({});
    NoteCopyMade(PathHash(L"D:\\Backup\\a.txt"),
                 CopyRecord{PathHash(L"C:\\仕事\\a.txt"), 5, 130000000000000000, 130000000000000001,
                            130000000000000002});
    ReplaceNotedCopies(ParseKeptCopies(
        FormatKeptCopies(NotedCopies()) + "xyz 1 5 1 2 3\r\n" + "1 2 5 1 2\r\n", skipped));
    EXPECT_EQ(skipped, 2u);
    CopyRecord record;
    ASSERT_TRUE(CopyRecordOf(PathHash(L"d:\\backup\\A.TXT"), record));
    EXPECT_TRUE(MadeOfThisVersion(record, PathHash(L"C:\\仕事\\a.txt"), 5, 130000000000000000,
                                  130000000000000001));
    EXPECT_TRUE(StillAsCopied(record, 5, 130000000000000002));

    // A file that cannot be written (a folder in its place) costs one trace line.
    std::wstring root = MakeTempDir();
    UseConfigRoot(root);
    CreateDirectoryW((root + L"\\Vantrel").c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW((root + L"\\Vantrel\\mirror-points.txt").c_str(), nullptr));
    LoadKeptPoints({}, false);
    StartDebugCapture();
    KeepPoints({{L"C:\\x", L"D:\\y", 5, nullptr, std::string()}});
    FinishKeepingPoints();
    std::vector<std::wstring> lines = TakeDebugOutput();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(L"Mirror points not written to " + root, 0), 0u);
    RemoveTree(root);
}

TEST(DueCopiesTimer, ATimerThatWentOffBeforeItsTickIsArmedAgain) {
    std::wstring root = MakeTempDir();
    WatchContext context;
    ASSERT_TRUE(CreateWakeTimer(context));
    ULONGLONG now = GetTickCount64();
    DeferCopy(context.mirror.pending, context.mirror.point, root + L"\\held.txt",
              root + L"\\copy.txt", 32, now, 0);
    ULONGLONG due = NextDueTick(context.mirror.pending);
    ASSERT_EQ(RunDueWork(context, now, 0, false), due);
    auto wentOff = [&] { return (context.wakeReasons.exchange(0) & kWakeDue) != 0; };
    ASSERT_TRUE(PumpUntil(wentOff, 30000));

    // It went off, but the tick counter (15.6 ms steps on Windows) is short of the due tick:
    // nothing is due yet, and the timer must be armed again for the same tick.
    EXPECT_EQ(RunDueWork(context, due - 5, due, true), due);
    EXPECT_TRUE(PumpUntil(wentOff, 30000)) << "the retry would wait for the next change";
    CloseWakeTimer(context);
    RemoveTree(root);
}
