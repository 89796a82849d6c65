// The mirror point of a pair, driven through what happens to its watch with a driven clock,
// the file that keeps the points across runs, and the timer of the waiting copies.
#include "monitor/mirror_point.h"
#include "monitor/copy_records.h"
#include "monitor/long_path.h"
#include "monitor/saved_points.h"
#include "monitor/watch_wakeups.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

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
                if (event.a != 0)
                    Hold(point, HoldKind::WaitingCopy, L"copy", event.a);
                else
                    LetGo(point, HoldKind::WaitingCopy, L"copy");
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

    // What this program copied, kept the same way, and a line of the form written before
    // attributes were kept.
    CopyNote note;
    note.copy = PathHash(L"D:\\Backup\\a.txt");
    note.source = PathHash(L"C:\\仕事\\a.txt");
    note.pair = 7;
    note.size = 5;
    note.lastWrite = 130000000000000000;
    note.changeTime = 130000000000000001;
    note.attributes = FILE_ATTRIBUTE_READONLY;
    note.copyWrite = 130000000000000002;
    note.copiedAt = 130000000000000003;
    note.made = 9;
    std::vector<CopyNote> notes = ParseNoteLines(
        FormatNoteLine(note) + "xyz 1 5 1 2 3\r\n" + "b a 5 1 2 3\r\n" + "1 2 5 1 2\r\n", skipped);
    EXPECT_EQ(skipped, 2u);
    ASSERT_EQ(notes.size(), 2u);
    ReplaceNotes(notes, notes.size());
    CopyNote noted;
    ASSERT_TRUE(NoteOfCopy(PathHash(L"d:\\backup\\A.TXT"), noted));
    EXPECT_EQ(FormatNoteLine(noted), FormatNoteLine(note));
    ASSERT_TRUE(NoteOfCopy(0xb, noted)) << "the line of the older form";
    EXPECT_EQ(noted.attributes, kAttributesUnknown);
    EXPECT_EQ(noted.copyWrite, 3u);

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

TEST(KeptPoints, CopyNotesLastAcrossRunsAreOnlyAppendedAndEachPairKeepsItsOwn) {
    auto note = [](unsigned long long copy, unsigned long long pair, ULONGLONG size) {
        CopyNote made;
        made.copy = copy;
        made.source = copy + 1000;
        made.pair = pair;
        made.size = size;
        made.lastWrite = made.copyWrite = 5;
        return made;
    };
    std::wstring config = UseFreshConfig(), file = config + L"\\mirror-copies.txt";
    LoadKeptPoints({}, false);
    for (unsigned long long copy = 1; copy <= 3; ++copy)
        NoteCopyMade(note(copy, 7, copy));
    KeepPoints({});
    FinishKeepingPoints();
    std::string written = ReadFileBytes(file);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 3);
    // A save appends what was noted since, and only that.
    NoteCopyMade(note(1, 7, 10));
    KeepPoints({});
    FinishKeepingPoints();
    std::string appended = ReadFileBytes(file);
    EXPECT_EQ(appended.substr(0, written.size()), written);
    EXPECT_EQ(std::count(appended.begin(), appended.end(), '\n'), 4);

    // The next run reads them, and cuts off a line that a crash cut short.
    WriteFileBytes(file, appended + "0000000000000004 00000000000003ec 0000");
    std::wstring next = UseFreshConfig();
    ASSERT_TRUE(CopyFileW(file.c_str(), (next + L"\\mirror-copies.txt").c_str(), FALSE));
    file = next + L"\\mirror-copies.txt";
    StartDebugCapture();
    LoadKeptPoints({}, false);
    std::vector<std::wstring> lines = TakeDebugOutput();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::wstring &line) {
                                return line.find(L"damaged end") != std::wstring::npos;
                            }),
              1);
    EXPECT_EQ(ReadFileBytes(file), appended);
    CopyNote read;
    ASSERT_TRUE(NoteOfCopy(1, read));
    EXPECT_EQ(read.size, 10u) << "the later line stands for the earlier one";
    EXPECT_TRUE(NoteOfCopy(3, read));
    EXPECT_FALSE(NoteOfCopy(4, read));

    // However long the saves go on, the file stays within twice its notes and some.
    for (unsigned long long round = 0; round < 600; ++round) {
        NoteCopyMade(note(1 + round % 3, 7, round));
        KeepPoints({});
        FinishKeepingPoints();
    }
    std::string kept = ReadFileBytes(file);
    EXPECT_LE(std::count(kept.begin(), kept.end(), '\n'), 2 * 3 + 256 + 1);
    ASSERT_TRUE(NoteOfCopy(3, read));
    EXPECT_EQ(read.size, 599u);

    // One pair's import of more copies than a pair keeps costs another pair nothing.
    for (unsigned long long copy = 0; copy <= 65536; ++copy)
        NoteCopyMade(note(1000000 + copy, 8, 1));
    EXPECT_TRUE(NoteOfCopy(2, read));
    EXPECT_FALSE(NoteOfCopy(1000000, read)) << "the importing pair's oldest stays";
    EXPECT_TRUE(NoteOfCopy(1065536, read));
    UseFreshConfig();
    LoadKeptPoints({}, false);
}

TEST(DueCopiesTimer, ATimerThatWentOffBeforeItsTickIsArmedAgain) {
    std::wstring root = MakeTempDir();
    WatchContext context;
    ASSERT_TRUE(CreateWakeTimer(context));
    ULONGLONG now = GetTickCount64();
    DeferCopy(context.mirror.pending, root + L"\\held.txt", root + L"\\copy.txt", 32, now, 0);
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
