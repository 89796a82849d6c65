// Decoding change buffers, the notice throttle, the notice text and bounded trace lines.
#include "monitor/change_batch.h"
#include "monitor/system_behaviour.h"
#include "monitor/trace.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Appends one FILE_NOTIFY_INFORMATION record; nameBytes overrides FileNameLength. Returns
// the record's offset, so a test can patch its NextEntryOffset.
size_t AppendRecord(std::vector<BYTE> &buffer, DWORD action, const std::wstring &name,
                    DWORD nameBytes = 0xFFFFFFFF) {
    size_t offset = buffer.size();
    DWORD header[3] = {0, action, nameBytes == 0xFFFFFFFF ? DWORD(name.size() * 2) : nameBytes};
    size_t size = 12 + name.size() * 2;
    size = (size + 3) & ~size_t(3);
    buffer.resize(offset + size, 0);
    std::memcpy(buffer.data() + offset, header, 12);
    std::memcpy(buffer.data() + offset + 12, name.data(), name.size() * 2);
    return offset;
}

// Links the records at the given offsets into one chain.
void LinkChain(std::vector<BYTE> &buffer, const std::vector<size_t> &offsets) {
    for (size_t i = 0; i + 1 < offsets.size(); ++i) {
        DWORD next = DWORD(offsets[i + 1] - offsets[i]);
        std::memcpy(buffer.data() + offsets[i], &next, 4);
    }
}

} // namespace

TEST(DecodeChangeBatch, ReadsAChainInOrderWithNamesAndActions) {
    std::vector<BYTE> buffer;
    std::vector<size_t> at;
    at.push_back(AppendRecord(buffer, 1, L"a.txt"));
    at.push_back(AppendRecord(buffer, 3, L"sub\\b.txt"));
    at.push_back(AppendRecord(buffer, 5, L"日本語 名前.txt"));
    LinkChain(buffer, at);
    std::vector<FolderChange> changes = DecodeChangeBatch(buffer.data(), DWORD(buffer.size()));
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].name, L"a.txt");
    EXPECT_EQ(changes[0].action, 1u);
    EXPECT_EQ(changes[1].name, L"sub\\b.txt");
    EXPECT_EQ(changes[1].action, 3u);
    EXPECT_EQ(changes[2].name, L"日本語 名前.txt");
    EXPECT_EQ(changes[2].action, 5u);
}

TEST(DecodeChangeBatch, ZeroAndOddNameLengthsDropHalfCharacters) {
    std::vector<BYTE> buffer;
    std::vector<size_t> at;
    at.push_back(AppendRecord(buffer, 1, L"xy", 0));
    at.push_back(AppendRecord(buffer, 2, L"xy", 1));
    at.push_back(AppendRecord(buffer, 3, L"xy", 3));
    LinkChain(buffer, at);
    std::vector<FolderChange> changes = DecodeChangeBatch(buffer.data(), DWORD(buffer.size()));
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].name, L"");
    EXPECT_EQ(changes[1].name, L"");
    EXPECT_EQ(changes[2].name, L"x");
    EXPECT_EQ(changes[2].action, 3u);
}

TEST(DecodeChangeBatch, KeepsUnknownActionCodesUnchanged) {
    std::vector<BYTE> buffer;
    std::vector<size_t> at;
    for (DWORD action : {0u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        at.push_back(AppendRecord(buffer, action, L"f"));
    LinkChain(buffer, at);
    std::vector<FolderChange> changes = DecodeChangeBatch(buffer.data(), DWORD(buffer.size()));
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[0].action, 0u);
    EXPECT_EQ(changes[1].action, 6u);
    EXPECT_EQ(changes[2].action, 0x7FFFFFFFu);
    EXPECT_EQ(changes[3].action, 0xFFFFFFFFu);
}

TEST(DecodeChangeBatch, DecodesALongChainFillingTheWholeBuffer) {
    std::vector<BYTE> buffer;
    std::vector<size_t> at;
    while (buffer.size() + 48 <= 16384) {
        wchar_t name[32];
        swprintf(name, 32, L"dir\\file%04zu.dat", at.size());
        at.push_back(AppendRecord(buffer, DWORD(1 + at.size() % 5), name));
    }
    LinkChain(buffer, at);
    std::vector<FolderChange> changes = DecodeChangeBatch(buffer.data(), DWORD(buffer.size()));
    ASSERT_EQ(changes.size(), at.size());
    EXPECT_GT(changes.size(), 300u);
    for (size_t i = 0; i < changes.size(); ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"dir\\file%04zu.dat", i);
        EXPECT_EQ(changes[i].name, name);
        EXPECT_EQ(changes[i].action, DWORD(1 + i % 5));
    }
}

TEST(DecodeChangeBatch, StopsWhereTheByteCountEnds) {
    std::vector<BYTE> buffer;
    std::vector<size_t> at;
    at.push_back(AppendRecord(buffer, 1, L"first"));
    at.push_back(AppendRecord(buffer, 1, L"second"));
    at.push_back(AppendRecord(buffer, 1, L"third"));
    LinkChain(buffer, at);

    // The byte count ends before the second record: only the first is decoded.
    EXPECT_EQ(DecodeChangeBatch(buffer.data(), DWORD(at[1])).size(), 1u);
    // An offset that jumps past the byte count ends the chain.
    DWORD jump = 100000;
    std::memcpy(buffer.data() + at[1], &jump, 4);
    std::vector<FolderChange> changes = DecodeChangeBatch(buffer.data(), DWORD(buffer.size()));
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].name, L"second");
    // A byte count that leaves only part of a header after an offset ends the chain there.
    EXPECT_EQ(DecodeChangeBatch(buffer.data(), DWORD(at[1] + 8)).size(), 1u);
}

TEST(DecodeChangeBatch, CutsANameThatRunsPastTheByteCount) {
    std::vector<BYTE> buffer;
    AppendRecord(buffer, 3, L"abcdef", 60000);
    // Exactly the header and three characters are delivered.
    std::vector<FolderChange> changes = DecodeChangeBatch(buffer.data(), 12 + 6);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].name, L"abc");
}

TEST(NoticeThrottle, AcceptsAtExactlyOneSecondAndDropsJustBefore) {
    ULONGLONG last = 5000;
    EXPECT_FALSE(AcceptNoticeAt(5999, last));
    EXPECT_EQ(last, 5000u);
    EXPECT_TRUE(AcceptNoticeAt(6000, last));
    EXPECT_EQ(last, 6000u);
}

TEST(NoticeThrottle, DroppedBatchesDoNotMoveTheWindow) {
    ULONGLONG last = 0;
    const ULONGLONG start = 100000;
    std::vector<ULONGLONG> accepted;
    for (ULONGLONG t = 0; t <= 3000; t += 600)
        if (AcceptNoticeAt(start + t, last))
            accepted.push_back(t);
    EXPECT_EQ(accepted, (std::vector<ULONGLONG>{0, 1200, 2400}));
}

TEST(NoticeThrottle, EachPairHasItsOwnWindow) {
    ULONGLONG pairA = 0, pairB = 0;
    EXPECT_TRUE(AcceptNoticeAt(50000, pairA));
    EXPECT_TRUE(AcceptNoticeAt(50000, pairB));
    EXPECT_FALSE(AcceptNoticeAt(50500, pairA));
    EXPECT_FALSE(AcceptNoticeAt(50500, pairB));
}

TEST(NoticeThrottle, ATickOfZeroCountsAsOne) {
    ULONGLONG last = 0;
    // Right after boot nothing is accepted until the tick count reaches 1000.
    EXPECT_FALSE(AcceptNoticeAt(0, last));
    EXPECT_EQ(last, 0u);
    EXPECT_FALSE(AcceptNoticeAt(999, last));
    EXPECT_TRUE(AcceptNoticeAt(1000, last));
    // A tick of 0 never stores 0, which would read as "nothing accepted yet".
    last = 0xFFFFFFFFFFFFFC00ull;
    EXPECT_TRUE(AcceptNoticeAt(0, last));
    EXPECT_EQ(last, 1u);
}

TEST(ComposeNotice, MatchesTheWrittenExampleExactly) {
    std::vector<FolderChange> changes = {{L"a.txt", 1}, {L"sub\\b.txt", 3}};
    std::wstring expected = L"\u76E3\u8996\u5BFE\u8C61\u30D5\u30A9\u30EB\u30C0\u306B\u5909"
                            L"\u66F4\u304C\u3042\u308A\u307E\u3057\u305F:\r\n"
                            L"C:\\src\r\n"
                            L"\r\n"
                            L"a.txt (\u8FFD\u52A0)\r\n"
                            L"sub\\b.txt (\u5909\u66F4)\r\n";
    std::wstring notice = ComposeNotice(L"C:\\src", changes);
    EXPECT_EQ(notice, expected);
    EXPECT_EQ(WideToUtf8(notice), "監視対象フォルダに変更がありました:\r\nC:\\src\r\n\r\n"
                                  "a.txt (追加)\r\nsub\\b.txt (変更)\r\n");
}

TEST(ComposeNotice, NamesEveryLabelAndTheUnknownCases) {
    std::vector<FolderChange> changes = {{L"r", 2}, {L"old", 4}, {L"new", 5},
                                         {L"", 3},  {L"odd", 9}, {L"", 0}};
    EXPECT_EQ(ComposeNotice(L"D:\\w", changes),
              L"監視対象フォルダに変更がありました:\r\nD:\\w\r\n\r\n"
              L"r (削除)\r\nold (名前変更: 旧)\r\nnew (名前変更: 新)\r\n"
              L"<不明なファイル名> (変更)\r\nodd (不明)\r\n<不明なファイル名> (不明)\r\n");
}

TEST(Trace, CutsOverlongTextShortInsteadOfFailing) {
    StartDebugCapture();
    wchar_t small[16];
    WriteTrace(small, 16, L"MonitorThread[%zu] started for path: %ls\n", size_t(3),
               L"C:\\a\\very\\long\\path");
    std::wstring longPath(2000, L'p');
    Trace512(L"MonitorThread[%zu] started for path: %ls\n", size_t(7), longPath.c_str());
    Trace256(L"MonitorThread[%zu] Read %u bytes\n", size_t(12), 16384u);
    std::vector<std::wstring> lines = TakeDebugOutput();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], L"MonitorThread[\n");
    EXPECT_EQ(lines[1].size(), 511u);
    EXPECT_EQ(lines[1].substr(0, 37), L"MonitorThread[7] started for path: pp");
    EXPECT_EQ(lines[1].back(), L'\n');
    EXPECT_EQ(lines[2], L"MonitorThread[12] Read 16384 bytes\n");
}

TEST(ReadOutcomes, EachWayAReadComesBackHasItsCase) {
    struct Case {
        BOOL ok;
        DWORD bytes, error;
        bool stopping;
        ReadOutcome outcome;
    };
    const Case cases[] = {
        {TRUE, 120, 0, false, ReadOutcome::Batch},
        {TRUE, 0, 0, false, ReadOutcome::NothingFitted},
        {FALSE, 0, ERROR_NOTIFY_ENUM_DIR, false, ReadOutcome::NothingFitted}, // Wine's overflow
        {FALSE, 0, ERROR_OPERATION_ABORTED, false, ReadOutcome::CancelledForWake},
        {FALSE, 0, ERROR_IO_PENDING, false, ReadOutcome::CancelledForWake}, // Wine's cancel
        // A read ended by a stop ends the thread, whatever code the cancel gave.
        {FALSE, 0, ERROR_OPERATION_ABORTED, true, ReadOutcome::Stopped},
        {FALSE, 0, ERROR_IO_PENDING, true, ReadOutcome::Stopped},
        {FALSE, 0, ERROR_ACCESS_DENIED, false, ReadOutcome::Failed},
        {FALSE, 0, ERROR_NETNAME_DELETED, false, ReadOutcome::Failed},
        {FALSE, 0, ERROR_INVALID_FUNCTION, false, ReadOutcome::NotSupported},
        {FALSE, 0, ERROR_NOT_SUPPORTED, false, ReadOutcome::NotSupported},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ClassifyRead(c.ok, c.bytes, c.error, c.stopping), c.outcome)
            << "error " << c.error << (c.stopping ? ", stopping" : "");
}
