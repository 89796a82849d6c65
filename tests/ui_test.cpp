// The configuration dialogs, run as real modal dialogs. A driver thread plays the user: it
// finds the dialog, types into its edits, presses its buttons, clicks and keys through real
// input, and reads and answers the message boxes. Assertions run on the test thread afterwards.
#include "app/main_window.h"
#include "monitor/monitor.h"
#include "monitor/watch_thread.h"
#include "res/resource.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"
#include "tests/test_support.h"
#include "tests/window_driver.h"
#include "ui/list_dialog.h"
#include "ui/register_dialog.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

static const std::string kBom = "\xEF\xBB\xBF";

// Runs the dialog modally on this thread while script plays the user on a driver thread. Whatever
// the script leaves open is closed afterwards, so a failing script cannot hang the test.
static INT_PTR RunDialog(int templateId, DLGPROC proc, const std::function<void(HWND)> &script) {
    INT_PTR result = -1;
    ModalSeen dialog = WithModalWindow(
        [&] {
            result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId),
                                     nullptr, proc, 0);
        },
        script);
    EXPECT_NE(dialog.window, nullptr) << "dialog " << templateId << " was shown";
    return result;
}

static std::vector<std::wstring> TraceLinesStartingWith(const std::vector<std::wstring> &lines,
                                                        const std::wstring &prefix) {
    std::vector<std::wstring> found;
    for (const auto &line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

static std::string AppendLine(const std::wstring &source, const std::wstring &dest) {
    return "[PAIR]," + WideToUtf8(source) + "\\," + WideToUtf8(dest) + "\n";
}

static std::string RewriteLine(const std::wstring &source, const std::wstring &dest) {
    std::string sa, sb;
    ConvertToUtf8(source, sa);
    ConvertToUtf8(dest, sb);
    return FormatRewriteLine(sa, sb);
}

static std::wstring SystemText(DWORD code) {
    wchar_t buf[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   buf, 512, nullptr);
    return buf;
}

// The error with which replacing path by another file fails right now; 0 when it would work.
static DWORD ReplaceRefusal(const std::wstring &path) {
    std::wstring probe = path + L".probe";
    WriteFileBytes(probe, "probe");
    DWORD code = 0;
    if (!MoveFileExW(probe.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        code = GetLastError();
    DeleteFileW(probe.c_str());
    return code;
}

static const wchar_t kDialogCaption[] = L"監視フォルダ登録";
static const wchar_t kBothFolders[] = L"両方のフォルダを入力してください。";
static const wchar_t kSaved[] = L"保存しました。";

class DialogTest : public testing::Test {
  protected:
    void SetUp() override {
        g_hInst = GetModuleHandleW(nullptr);
        root = MakeTempDir();
        pairFile = UseConfigRoot(root);
        GetConfigDirectory(); // creates root\Vantrel, so tests can lay out the pair file
        source = root + L"\\ソース";
        dest = root + L"\\複製先";
        CreateDirectoryW(source.c_str(), nullptr);
        CreateDirectoryW(dest.c_str(), nullptr);
        thread = GetCurrentThreadId();
        WatchInput();
    }
    void TearDown() override {
        StopWatchingInput();
        StopMonitoring();
        g_sourceFolders.clear();
        g_destFolders.clear();
        RemoveTree(root);
    }
    std::wstring root, pairFile, source, dest;
    DWORD thread = 0;
};

// ---- Templates -------------------------------------------------------------------------------

static void ExpectConfigurationFrame(const DialogTemplate &dlg) {
    EXPECT_EQ(dlg.style, 0x80C800C8u);
    EXPECT_EQ(dlg.exStyle, 0u);
    EXPECT_EQ(dlg.helpId, 0u);
    EXPECT_EQ(dlg.x, 0);
    EXPECT_EQ(dlg.y, 0);
    EXPECT_EQ(dlg.cx, 309);
    EXPECT_EQ(dlg.cy, 176);
    EXPECT_EQ(dlg.menu, L"");
    EXPECT_EQ(dlg.windowClass, L"");
    EXPECT_EQ(dlg.caption, kDialogCaption);
    EXPECT_EQ(dlg.pointSize, 8);
    EXPECT_EQ(dlg.weight, 400);
    EXPECT_EQ(dlg.italic, 0);
    EXPECT_EQ(dlg.charset, 1);
    EXPECT_EQ(dlg.typeface, L"MS Shell Dlg");
}

TEST_F(DialogTest, RegistrationTemplateHasTheWrittenFrameAndControlsInOrder) {
    DialogTemplate dlg;
    ASSERT_TRUE(LoadDialogTemplate(IDD_REGISTER, dlg));
    ExpectConfigurationFrame(dlg);

    const WORD button = 0x80, edit = 0x81, label = 0x82;
    struct Expected {
        int id;
        WORD classOrdinal;
        const wchar_t *className, *text;
        DWORD style;
        short x, y, cx, cy;
    } expected[] = {
        {1008, button, L"Button", L"登録", 0x50010001, 198, 155, 50, 14},
        {2, button, L"Button", L"キャンセル", 0x50010000, 252, 155, 50, 14},
        // The labels are wider than first drawn up (62): their Japanese text wrapped there.
        {1002, label, L"Static", L"監視フォルダパス", 0x50020000, 23, 16, 100, 14},
        {1003, edit, L"Edit", L"", 0x50810080, 21, 30, 188, 16},
        {1004, button, L"Button", L"参照", 0x50010000, 219, 32, 50, 14},
        {1005, label, L"Static", L"複製先フォルダパス", 0x50020000, 24, 79, 100, 14},
        {1006, edit, L"Edit", L"", 0x50810080, 21, 94, 188, 16},
        {1007, button, L"Button", L"参照", 0x50010000, 220, 95, 50, 14},
    };
    ASSERT_EQ(dlg.items.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const TemplateItem &item = dlg.items[i];
        EXPECT_EQ(item.id, expected[i].id);
        // Resource compilers store a predefined class by ordinal or by name.
        if (item.classOrdinal != 0) {
            EXPECT_EQ(item.classOrdinal, expected[i].classOrdinal);
        }
        EXPECT_EQ(_wcsicmp(item.className.c_str(), expected[i].className), 0)
            << WideToUtf8(item.className);
        EXPECT_EQ(item.text, expected[i].text);
        EXPECT_EQ(item.style, expected[i].style);
        EXPECT_EQ(item.exStyle, 0u);
        EXPECT_EQ(item.helpId, 0u);
        EXPECT_EQ(item.x, expected[i].x);
        EXPECT_EQ(item.y, expected[i].y);
        EXPECT_EQ(item.cx, expected[i].cx);
        EXPECT_EQ(item.cy, expected[i].cy);
    }

    // As created: the same controls in the same (tab) order, placed where the units say, and
    // the keyboard focus on the first tab stop, the "登録" button.
    HWND dialog =
        CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_REGISTER), nullptr, RegisterDlgProc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(TextOf(dialog), kDialogCaption);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_BTN_SAVE));
    size_t i = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT), ++i) {
        SCOPED_TRACE(i);
        ASSERT_LT(i, 8u);
        EXPECT_EQ(GetDlgCtrlID(child), expected[i].id);
        EXPECT_EQ(ClassOf(child), expected[i].className);
        EXPECT_EQ(TextOf(child), expected[i].text);
        RECT units = {expected[i].x, expected[i].y, expected[i].x + expected[i].cx,
                      expected[i].y + expected[i].cy};
        MapDialogRect(dialog, &units);
        RECT placed;
        GetWindowRect(child, &placed);
        MapWindowPoints(nullptr, dialog, (POINT *)&placed, 2);
        EXPECT_EQ(placed.left, units.left);
        EXPECT_EQ(placed.top, units.top);
        EXPECT_EQ(placed.right, units.right);
        EXPECT_EQ(placed.bottom, units.bottom);
    }
    EXPECT_EQ(i, 8u);
    DestroyWindow(dialog);
}

TEST_F(DialogTest, ListTemplateHasTheSameFrameAndTheListIsBuiltAtRunTime) {
    DialogTemplate dlg;
    ASSERT_TRUE(LoadDialogTemplate(IDD_LIST, dlg));
    ExpectConfigurationFrame(dlg);
    EXPECT_TRUE(dlg.items.empty());

    // No pair file: an empty list with both headers, and both counts 0.
    StartDebugCapture();
    HWND dialog =
        CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_LIST), nullptr, ChildDlg2Proc, 0);
    ASSERT_NE(dialog, nullptr);
    std::vector<std::wstring> trace = TakeDebugOutput();
    HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(GetWindow(dialog, GW_CHILD), list);
    EXPECT_EQ(GetWindow(list, GW_HWNDNEXT), nullptr);
    EXPECT_EQ(ClassOf(list), L"SysListView32");
    // The list view adds a horizontal scroll bar itself: the two columns are wider than it.
    EXPECT_EQ(GetWindowLongW(list, GWL_STYLE) & ~(WS_HSCROLL | WS_VSCROLL), 0x50000005);
    EXPECT_EQ(GetWindowLongW(list, GWL_EXSTYLE), 0);
    EXPECT_EQ(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), 0x21);

    RECT client, placed;
    GetClientRect(dialog, &client);
    GetWindowRect(list, &placed);
    MapWindowPoints(nullptr, dialog, (POINT *)&placed, 2);
    EXPECT_EQ(placed.left, 10);
    EXPECT_EQ(placed.top, 10);
    EXPECT_EQ(placed.right, client.right - 10);
    EXPECT_EQ(placed.bottom, client.bottom - 10);

    HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    ASSERT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 2);
    const wchar_t *headers[] = {L"Source Folder", L"Destination Folder"};
    for (int column = 0; column < 2; ++column) {
        wchar_t text[64] = {};
        LVCOLUMNW col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        col.pszText = text;
        col.cchTextMax = 64;
        ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, column, (LPARAM)&col));
        EXPECT_STREQ(text, headers[column]);
        EXPECT_EQ(col.cx, 300);
        EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
    }
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);

    wchar_t handleLine[64];
    _snwprintf_s(handleLine, 64, _TRUNCATE, L"ChildDlg2Proc: listview handle=%p\n", (void *)list);
    std::vector<std::wstring> expectedTrace = {handleLine, L"ChildDlg2Proc: loaded 0 entries\n",
                                               L"ChildDlg2Proc: inserted 0 items\n"};
    EXPECT_EQ(TraceLinesStartingWith(trace, L"ChildDlg2Proc:"), expectedTrace);
    DestroyWindow(dialog);
}

// ---- Registration ----------------------------------------------------------------------------

TEST_F(DialogTest, MissingFolderWarnsAndWritesNothing) {
    std::vector<BoxSeen> boxes;
    std::wstring sourceAfter, destAfter;
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Press(dialog, IDC_BTN_SAVE); // both empty
        boxes.push_back(AnswerMessageBox(thread, dialog));
        Type(dialog, IDC_EDIT_SOURCE, source);
        Press(dialog, IDC_BTN_SAVE); // destination empty
        boxes.push_back(AnswerMessageBox(thread, dialog));
        Type(dialog, IDC_EDIT_DEST, L" \"\u3000\" "); // blanks and quotes are no path
        Press(dialog, IDC_BTN_SAVE);
        boxes.push_back(AnswerMessageBox(thread, dialog));
        Type(dialog, IDC_EDIT_SOURCE, L"");
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE); // source empty
        boxes.push_back(AnswerMessageBox(thread, dialog));
        sourceAfter = ItemText(dialog, IDC_EDIT_SOURCE);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
        Press(dialog, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(boxes.size(), 4u);
    for (const BoxSeen &box : boxes)
        EXPECT_TRUE(IsBox(box, L"警告", IDI_WARNING, kBothFolders)) << WideToUtf8(box.text);
    EXPECT_EQ(sourceAfter, L"");
    EXPECT_EQ(destAfter, dest);
    EXPECT_FALSE(FileExists(pairFile));
}

TEST_F(DialogTest, SavedPairIsAppendedAndMonitoringRestartsWithIt) {
    std::wstring otherSource = root + L"\\other";
    CreateDirectoryW(otherSource.c_str(), nullptr);
    std::string before = kBom + AppendLine(otherSource, dest);
    WriteFileBytes(pairFile, before);

    StartDebugCapture();
    BoxSeen box;
    std::string fileWhileBoxShown;
    std::vector<std::wstring> traceWhileBoxShown;
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE);
        HWND shown = WaitForThreadWindow(thread, L"#32770", dialog);
        fileWhileBoxShown = ReadFileBytes(pairFile);
        traceWhileBoxShown = TakeDebugOutput();
        if (shown)
            box = AnswerMessageBox(thread, dialog);
    });
    std::vector<std::wstring> trace = TakeDebugOutput();

    EXPECT_EQ(result, IDC_BTN_SAVE);
    EXPECT_TRUE(IsBox(box, L"情報", IDI_INFORMATION, kSaved)) << WideToUtf8(box.text);
    std::string expected = before + AppendLine(source, dest);
    EXPECT_EQ(fileWhileBoxShown, expected);
    EXPECT_EQ(ReadFileBytes(pairFile), expected);
    // Monitoring restarts only once the box is closed, with one watch thread per pair.
    EXPECT_TRUE(TraceLinesStartingWith(traceWhileBoxShown, L"StartMonitoring:").empty());
    std::vector<std::wstring> started =
        TraceLinesStartingWith(trace, L"StartMonitoring: created thread ");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1].rfind(L"StartMonitoring: created thread 1 handle=", 0), 0u);
    ASSERT_EQ(g_sourceFolders.size(), 2u);
    EXPECT_EQ(g_sourceFolders[1], source);
    EXPECT_EQ(g_destFolders[1], dest);
}

// Pasted from Explorer's "copy as path", with blanks around: the path inside the quotes is
// registered, and mirrored into.
TEST_F(DialogTest, QuotedPathsAreTrimmedAndTheFirstPairCreatesTheFileAndMirrors) {
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, L" " + source + L"\t");
        Type(dialog, IDC_EDIT_DEST, L"  \"" + dest + L"\" ");
        Press(dialog, IDC_BTN_SAVE);
        AnswerMessageBox(thread, dialog);
    });
    EXPECT_EQ(result, IDC_BTN_SAVE);
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + AppendLine(source, dest));
    WriteFileBytes(source + L"\\報告書.txt", "report");
    EXPECT_TRUE(
        PumpUntil([&] { return ReadFileBytes(dest + L"\\報告書.txt") == "report"; }, kWaitMs));
}

TEST_F(DialogTest, FailedAppendShowsTheErrorAndKeepsBothTexts) {
    // A folder where the pair file should be: it cannot be opened for writing.
    CreateDirectoryW(pairFile.c_str(), nullptr);
    HANDLE probe = CreateFileW(pairFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD code = GetLastError();
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE);

    StartDebugCapture();
    BoxSeen failed, saved;
    std::wstring sourceAfter, destAfter;
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE);
        failed = AnswerMessageBox(thread, dialog);
        sourceAfter = ItemText(dialog, IDC_EDIT_SOURCE);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
        // The user clears the way and tries again.
        RemoveDirectoryW(pairFile.c_str());
        Press(dialog, IDC_BTN_SAVE);
        saved = AnswerMessageBox(thread, dialog);
    });
    EXPECT_TRUE(IsBox(failed, L"エラー", IDI_ERROR, L"CreateFileW failed: " + SystemText(code)))
        << WideToUtf8(failed.text);
    EXPECT_EQ(sourceAfter, source);
    EXPECT_EQ(destAfter, dest);
    EXPECT_TRUE(IsBox(saved, L"情報", IDI_INFORMATION, kSaved));
    EXPECT_EQ(result, IDC_BTN_SAVE);
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + AppendLine(source, dest));
    EXPECT_EQ(TraceLinesStartingWith(TakeDebugOutput(), L"StartMonitoring: created thread ").size(),
              1u);
}

TEST_F(DialogTest, EscapeClosesWithoutSavingAndEnterSaves) {
    INT_PTR escaped = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, dest);
        PostMessageW(GetDlgItem(dialog, IDC_EDIT_DEST), WM_KEYDOWN, VK_ESCAPE, 0);
        WaitFor([&] { return !IsWindow(dialog); });
    });
    EXPECT_EQ(escaped, IDCANCEL);
    EXPECT_FALSE(FileExists(pairFile));

    BoxSeen box;
    INT_PTR entered = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, dest);
        PostMessageW(GetDlgItem(dialog, IDC_EDIT_SOURCE), WM_KEYDOWN, VK_RETURN, 0);
        box = AnswerMessageBox(thread, dialog);
    });
    EXPECT_EQ(entered, IDC_BTN_SAVE);
    EXPECT_TRUE(IsBox(box, L"情報", IDI_INFORMATION, kSaved));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + AppendLine(source, dest));
}

TEST_F(DialogTest, TextsLongerThan4095CharactersAreCut) {
    std::wstring longSource = L"C:\\" + std::wstring(5000, L's');
    std::wstring longDest = L"D:\\" + std::wstring(4092, L'd') + L"XYZ";
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, longSource);
        Type(dialog, IDC_EDIT_DEST, longDest);
        Press(dialog, IDC_BTN_SAVE);
        AnswerMessageBox(thread, dialog);
    });
    EXPECT_EQ(result, IDC_BTN_SAVE);
    EXPECT_EQ(ReadFileBytes(pairFile),
              kBom + AppendLine(longSource.substr(0, 4095), longDest.substr(0, 4095)));
}

// Registers one pair through the dialog; returns the box the save showed.
static BoxSeen RegisterThroughDialog(DWORD thread, const std::wstring &source,
                                     const std::wstring &dest, INT_PTR *result = nullptr) {
    BoxSeen box;
    INT_PTR ended = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE);
        box = AnswerMessageBox(thread, dialog);
    });
    if (result)
        *result = ended;
    return box;
}

TEST_F(DialogTest, PairsTheAppendFormWouldChangeAreRegisteredByRewriting) {
    // The file already holds a pair in the append form; it survives every rewrite.
    std::wstring firstSource = L"C:\\Work", firstDest = L"D:\\Backup";
    WriteFileBytes(pairFile, kBom + AppendLine(firstSource, firstDest));

    struct Case {
        std::wstring source, dest;
    } cases[] = {
        {L"\\\\nas\\share\\データ", dest}, // UNC source
        {source, L"\\\\nas\\backup"},      // UNC destination
        {L"C:\\a\\\\b", L"D:\\x"},         // a doubled backslash would come back single
        {L"C:\\a\\,b", L"D:\\y"},          // a backslash before a comma
    };
    std::vector<std::wstring> sources = {firstSource}, dests = {firstDest};
    for (const Case &c : cases) {
        SCOPED_TRACE(WideToUtf8(c.source + L" -> " + c.dest));
        INT_PTR result = 0;
        BoxSeen box = RegisterThroughDialog(thread, c.source, c.dest, &result);
        EXPECT_EQ(result, IDC_BTN_SAVE);
        EXPECT_TRUE(IsBox(box, L"情報", IDI_INFORMATION, kSaved)) << WideToUtf8(box.text);
        sources.push_back(c.source);
        dests.push_back(c.dest);

        std::string expected = kBom;
        for (size_t i = 0; i < sources.size(); ++i)
            expected += RewriteLine(sources[i], dests[i]);
        EXPECT_EQ(ReadFileBytes(pairFile), expected);
        // Monitoring restarted from the file: the table holds every pair as typed.
        EXPECT_EQ(g_sourceFolders, sources);
        EXPECT_EQ(g_destFolders, dests);
    }

    // A pair the append form carries is still appended, after the rewritten lines.
    std::string before = ReadFileBytes(pairFile);
    RegisterThroughDialog(thread, source, dest);
    EXPECT_EQ(ReadFileBytes(pairFile), before + AppendLine(source, dest));
    LoadFolderPairs();
    ASSERT_EQ(g_sourceFolders.size(), sources.size() + 1);
    EXPECT_EQ(g_sourceFolders.back(), source);
    EXPECT_EQ(g_destFolders.back(), dest);
}

TEST_F(DialogTest, FailedRewriteRegistrationShowsTheErrorAndLeavesTableAndFile) {
    std::string before = kBom + AppendLine(L"C:\\Work", L"D:\\Backup");
    WriteFileBytes(pairFile, before);
    g_sourceFolders = {L"running source"};
    g_destFolders = {L"running dest"};
    // Another program reads the pair file and does not let it be replaced meanwhile: an
    // append would go through, the rewrite cannot.
    HANDLE held = CreateFileW(pairFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DWORD code = ReplaceRefusal(pairFile);
    ASSERT_NE(code, 0u);

    BoxSeen box;
    std::wstring sourceAfter;
    RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, L"\\\\nas\\share");
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE);
        box = AnswerMessageBox(thread, dialog);
        sourceAfter = ItemText(dialog, IDC_EDIT_SOURCE);
    });
    CloseHandle(held);
    EXPECT_TRUE(IsBox(box, L"エラー", IDI_ERROR, L"MoveFileExW failed: " + SystemText(code)))
        << WideToUtf8(box.text);
    EXPECT_EQ(sourceAfter, L"\\\\nas\\share");
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    EXPECT_EQ(g_sourceFolders, std::vector<std::wstring>{L"running source"});
    EXPECT_EQ(g_destFolders, std::vector<std::wstring>{L"running dest"});
}

TEST_F(DialogTest, RewriteRegistrationKeepsPairsItCannotRead) {
    std::string before = kBom + AppendLine(L"C:\\Work", L"D:\\Backup");
    WriteFileBytes(pairFile, before);
    // Another program reads the file and lets nobody else read it, though it may be replaced.
    HANDLE held = CreateFileW(pairFile.c_str(), GENERIC_READ, FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE probe = CreateFileW(pairFile.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    DWORD code = GetLastError();
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE);

    BoxSeen box = RegisterThroughDialog(thread, L"\\\\nas\\share", dest);
    CloseHandle(held);
    EXPECT_TRUE(IsBox(box, L"エラー", IDI_ERROR, L"CreateFileW failed: " + SystemText(code)))
        << WideToUtf8(box.text);
    EXPECT_EQ(ReadFileBytes(pairFile), before);
}

TEST_F(DialogTest, DestinationWithCommaIsRefusedAndNothingIsWritten) {
    std::string before = kBom + AppendLine(L"C:\\Work", L"D:\\Backup");
    WriteFileBytes(pairFile, before);
    BoxSeen refused, lineBreak;
    std::wstring destAfter, typedWithLineBreak;
    RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, L"D:\\Backup,2024");
        Press(dialog, IDC_BTN_SAVE);
        refused = AnswerMessageBox(thread, dialog);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
        // A line break would end the pair line early: no form carries it either.
        Type(dialog, IDC_EDIT_DEST, L"D:\\a\nb");
        typedWithLineBreak = ItemText(dialog, IDC_EDIT_DEST);
        Press(dialog, IDC_BTN_SAVE);
        lineBreak = AnswerMessageBox(thread, dialog);
    });
    EXPECT_EQ(typedWithLineBreak, L"D:\\a\nb");
    EXPECT_TRUE(IsBox(lineBreak, L"警告", IDI_WARNING,
                      L"フォルダパスに改行など登録できない\n文字が含まれています。\n"
                      L"フォルダパスを確認してください。"))
        << WideToUtf8(lineBreak.text);
    EXPECT_TRUE(IsBox(refused, L"警告", IDI_WARNING,
                      L"複製先フォルダパスにカンマ (,) が\n含まれているため登録できません。\n"
                      L"別のフォルダを指定してください。"))
        << WideToUtf8(refused.text);
    EXPECT_EQ(destAfter, L"D:\\Backup,2024");
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    // A comma in the source is fine: it is carried as typed.
    BoxSeen saved = RegisterThroughDialog(thread, root + L"\\a,b", dest);
    EXPECT_TRUE(IsBox(saved, L"情報", IDI_INFORMATION, kSaved));
    ASSERT_EQ(g_sourceFolders.size(), 2u);
    EXPECT_EQ(g_sourceFolders[1], root + L"\\a,b");
}

// Typed, pasted or picked where the first picker left off: nothing that would mirror into a
// folder the user never chose, or copy a tree flat over its own top, is registered.
TEST_F(DialogTest, RelativePathsAndADestinationThatIsItsSourceAreRefused) {
    const std::wstring relative =
        L"フォルダパスは、ドライブ名 (C: など) や\n"
        L"ネットワークのサーバー名から始まる\n完全なパスで入力してください。";
    const std::wstring same =
        L"複製先フォルダが監視フォルダと\n同じフォルダのため登録できません。\n"
        L"別のフォルダを指定してください。";
    struct Case {
        std::wstring source, dest, warning;
    } cases[] = {
        {L"Backup", dest, relative},              // the program's own folder
        {source, L"C:Backup", relative},          // the current folder of drive C
        {source, L"\\Backup", relative},          // the root of the current drive
        {source, L"\"" + source + L"\\\"", same}, // the same path, pasted
        {source, L"\\\\?\\" + source, same},      // another spelling of the same folder
    };
    std::vector<BoxSeen> boxes;
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        for (const Case &c : cases) {
            Type(dialog, IDC_EDIT_SOURCE, c.source);
            Type(dialog, IDC_EDIT_DEST, c.dest);
            Press(dialog, IDC_BTN_SAVE);
            boxes.push_back(AnswerMessageBox(thread, dialog));
        }
        Press(dialog, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(boxes.size(), std::size(cases));
    for (size_t i = 0; i < boxes.size(); ++i)
        EXPECT_TRUE(IsBox(boxes[i], L"警告", IDI_WARNING, cases[i].warning))
            << WideToUtf8(cases[i].source + L" -> " + cases[i].dest + L": " + boxes[i].text);
    EXPECT_FALSE(FileExists(pairFile));
}

// ---- Folder picker ---------------------------------------------------------------------------

// The shell's file dialog, opened by the browse button over dialog.
static HWND WaitForPicker(DWORD thread, HWND dialog) {
    return WaitForThreadWindow(thread, L"#32770", dialog);
}

TEST_F(DialogTest, CancellingThePickerLeavesTheEditAsItWas) {
    bool pickerShown[2] = {};
    std::wstring sourceAfter, destAfter;
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, L"C:\\typed");
        int buttons[2] = {IDC_BTN_BROWSE_SOURCE, IDC_BTN_BROWSE_DEST};
        for (int i = 0; i < 2; ++i) {
            Press(dialog, buttons[i]);
            HWND picker = WaitForPicker(thread, dialog);
            pickerShown[i] = picker != nullptr;
            PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
            WaitFor([&] { return !IsWindow(picker); });
        }
        sourceAfter = ItemText(dialog, IDC_EDIT_SOURCE);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
        // Esc after using the picker still closes without saving.
        PostMessageW(GetDlgItem(dialog, IDC_EDIT_SOURCE), WM_KEYDOWN, VK_ESCAPE, 0);
        WaitFor([&] { return !IsWindow(dialog); });
    });
    EXPECT_TRUE(pickerShown[0]);
    EXPECT_TRUE(pickerShown[1]);
    EXPECT_EQ(sourceAfter, L"C:\\typed");
    EXPECT_EQ(destAfter, L"");
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(FileExists(pairFile));
}

TEST_F(DialogTest, PickedFolderFillsTheTargetEdit) {
    std::wstring sourceAfter, destAfter;
    RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, L"C:\\typed");
        Press(dialog, IDC_BTN_BROWSE_DEST);
        HWND picker = WaitForPicker(thread, dialog);
        // The user types the folder into the picker's name field and presses its OK button.
        HWND name = FindWindowExW(picker, nullptr, L"Edit", nullptr);
        SendMessageW(name, WM_SETTEXT, 0, (LPARAM)dest.c_str());
        Press(picker, IDOK);
        WaitFor([&] { return !IsWindow(picker); });
        sourceAfter = ItemText(dialog, IDC_EDIT_SOURCE);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
        Press(dialog, IDCANCEL);
    });
    EXPECT_EQ(sourceAfter, L"C:\\typed");
    EXPECT_EQ(destAfter, dest);
    EXPECT_FALSE(FileExists(pairFile));
}

TEST_F(DialogTest, PickerFailsSilentlyWhenTheFileDialogCannotBeCreated) {
    // A thread without COM cannot create the file dialog object.
    bool picked = true;
    std::wstring selectedPath = L"unchanged";
    std::thread([&] { picked = BrowseForFolder(nullptr, selectedPath); }).join();
    EXPECT_FALSE(picked);
    EXPECT_EQ(selectedPath, L"unchanged");
}

// ---- Pair list -------------------------------------------------------------------------------

using Rows = std::vector<std::pair<std::wstring, std::wstring>>;

static Rows ListRows(HWND list) {
    Rows rows;
    int count = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        wchar_t texts[2][512] = {};
        for (int column = 0; column < 2; ++column) {
            LVITEMW it = {};
            it.iSubItem = column;
            it.pszText = texts[column];
            it.cchTextMax = 512;
            SendMessageW(list, LVM_GETITEMTEXTW, i, (LPARAM)&it);
        }
        rows.emplace_back(texts[0], texts[1]);
    }
    return rows;
}

static int SelectedRowOf(HWND list) {
    return (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
}

// The screen point in the middle of a row's label.
static POINT RowPoint(HWND list, int row) {
    RECT r = {};
    r.left = LVIR_LABEL;
    SendMessageW(list, LVM_GETITEMRECT, row, (LPARAM)&r);
    return ToScreen(list, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

// A point in the list below its last row.
static POINT EmptyListPoint(HWND list) {
    RECT client;
    GetClientRect(list, &client);
    return ToScreen(list, 40, client.bottom - 30);
}

static bool IsDeleteMenu(const MenuSeen &menu) {
    return menu.shown && menu.items.size() == 1 && menu.items[0].first == ID_LIST_DELETE &&
           menu.items[0].second == L"削除(&D)";
}

// Waits until the list shows count rows; notes what it showed when it does not.
static void WaitForRowCount(HWND list, int count) {
    int shown = -1;
    if (!WaitFor(
            [&] { return (shown = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) == count; }))
        NoteDriverProblem("the list kept " + std::to_string(shown) + " rows, not " +
                          std::to_string(count) + "; the dialog's thread has " +
                          DescribeThreadWindows(GetWindowThreadProcessId(list, nullptr)));
}

TEST_F(DialogTest, ListShowsEveryPairInFileOrderWithDuplicates) {
    std::wstring unc = L"\\\\nas\\share";
    WriteFileBytes(pairFile, kBom + AppendLine(L"C:\\Work", L"D:\\Backup") +
                                 RewriteLine(unc, L"E:\\a") + "not a pair line\n" +
                                 AppendLine(L"C:\\Work", L"D:\\Backup") +
                                 RewriteLine(L"C:\\写真", L""));
    StartDebugCapture();
    Rows rows;
    int selected = 0;
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        rows = ListRows(list);
        selected = SelectedRowOf(list);
        PostMessageW(list, WM_KEYDOWN, VK_ESCAPE, 0);
        WaitFor([&] { return !IsWindow(dialog); });
    });
    Rows expected = {{L"C:\\Work", L"D:\\Backup"},
                     {unc, L"E:\\a"},
                     {L"C:\\Work", L"D:\\Backup"},
                     {L"C:\\写真", L""}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(selected, -1);
    std::vector<std::wstring> counts =
        TraceLinesStartingWith(TakeDebugOutput(), L"ChildDlg2Proc: ");
    ASSERT_EQ(counts.size(), 3u);
    EXPECT_EQ(counts[1], L"ChildDlg2Proc: loaded 4 entries\n");
    EXPECT_EQ(counts[2], L"ChildDlg2Proc: inserted 4 items\n");
}

TEST_F(DialogTest, RightClickOnRowOffersDeleteAndDeletesThatPair) {
    std::wstring otherSource = root + L"\\other";
    CreateDirectoryW(otherSource.c_str(), nullptr);
    WriteFileBytes(pairFile, kBom + AppendLine(source, dest) + AppendLine(source, dest) +
                                 AppendLine(otherSource, dest));
    StartDebugCapture();
    MenuSeen menu;
    POINT clicked = {};
    int selectedByClick = -1, selectedAfter = 0;
    Rows rowsAfter;
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        clicked = RowPoint(list, 1);
        ClickAt(clicked, true);
        menu = WaitForMenu(thread);
        selectedByClick = SelectedRowOf(list);
        PressKeys({'D'});
        WaitForRowCount(list, 2);
        rowsAfter = ListRows(list);
        selectedAfter = SelectedRowOf(list);
        Press(dialog, IDOK);
    });
    EXPECT_TRUE(IsDeleteMenu(menu));
    EXPECT_EQ(menu.at.x, clicked.x);
    EXPECT_EQ(menu.at.y, clicked.y);
    EXPECT_EQ(selectedByClick, 1);
    // The second of the two identical pairs went; the file was rewritten from the table.
    Rows expected = {{source, dest}, {otherSource, dest}};
    EXPECT_EQ(rowsAfter, expected);
    EXPECT_EQ(selectedAfter, -1);
    EXPECT_EQ(ReadFileBytes(pairFile),
              kBom + RewriteLine(source, dest) + RewriteLine(otherSource, dest));
    std::vector<std::wstring> started =
        TraceLinesStartingWith(TakeDebugOutput(), L"StartMonitoring: created thread ");
    EXPECT_EQ(started.size(), 2u);
}

TEST_F(DialogTest, RightClickWithoutSelectionOffersDeleteThatDeletesNothing) {
    std::string before = kBom + AppendLine(source, dest);
    WriteFileBytes(pairFile, before);
    MenuSeen menu;
    POINT clicked = {};
    int selectedByClick = 0;
    INT_PTR result = RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        clicked = EmptyListPoint(list);
        ClickAt(clicked, true);
        menu = WaitForMenu(thread);
        selectedByClick = SelectedRowOf(list);
        PressKeys({'D'});
        WaitFor([&] { return !MenuShown(thread).shown; });
        // The menu posted its command before it closed, so the command is handled first.
        Press(dialog, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(IsDeleteMenu(menu));
    EXPECT_EQ(menu.at.x, clicked.x) << menu.at.y << " " << clicked.y;
    EXPECT_EQ(menu.at.y, clicked.y);
    EXPECT_EQ(selectedByClick, -1);
    EXPECT_EQ(g_sourceFolders, std::vector<std::wstring>{source});
    EXPECT_EQ(ReadFileBytes(pairFile), before);
}

TEST_F(DialogTest, ShiftF10OpensTheMenuAtTheSelectedRowOnly) {
    WriteFileBytes(pairFile, kBom + AppendLine(source, dest) + AppendLine(L"C:\\b", L"D:\\b"));
    MenuSeen withoutSelection, withSelection, inMargin, afterMargin;
    POINT labelCorner = {}, rowClicked = {};
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        // Focus the list without selecting anything, then ask from the keyboard. Once the
        // dialog's thread has taken the keys and handled them, a menu is open or none comes.
        ClickAt(EmptyListPoint(list), false);
        if (!WaitFor([&] {
                GUITHREADINFO info = {};
                info.cbSize = sizeof info;
                return GetGUIThreadInfo(thread, &info) && info.hwndFocus == list;
            }))
            NoteDriverProblem("a click did not focus the list; " + DescribeFocus(thread));
        PressKeys({VK_SHIFT, VK_F10});
        SyncWithWindowThread(dialog);
        withoutSelection = MenuShown(thread);
        if (withoutSelection.shown)
            CloseMenu(thread);

        rowClicked = RowPoint(list, 1);
        ClickAt(rowClicked, false);
        if (!WaitFor([&] { return SelectedRowOf(list) == 1; }))
            NoteDriverProblem("a click on row 1 selected row " +
                              std::to_string(SelectedRowOf(list)));
        RECT r = {};
        r.left = LVIR_LABEL;
        SendMessageW(list, LVM_GETITEMRECT, 1, (LPARAM)&r);
        labelCorner = ToScreen(list, r.left, r.top);
        PressKeys({VK_SHIFT, VK_F10});
        withSelection = WaitForMenu(thread);
        CloseMenu(thread);

        // A right-click in the dialog's margin, outside the list: no menu once it is handled.
        // The one in the list that follows still opens it.
        ClickAt(ToScreen(dialog, 4, 4), true);
        SyncWithWindowThread(dialog);
        inMargin = MenuShown(thread);
        if (inMargin.shown)
            CloseMenu(thread);
        ClickAt(rowClicked, true);
        afterMargin = WaitForMenu(thread);
        CloseMenu(thread);
        Press(dialog, IDCANCEL);
    });
    EXPECT_FALSE(withoutSelection.shown);
    EXPECT_TRUE(IsDeleteMenu(withSelection));
    EXPECT_EQ(withSelection.at.x, labelCorner.x);
    EXPECT_EQ(withSelection.at.y, labelCorner.y);
    EXPECT_FALSE(inMargin.shown);
    EXPECT_TRUE(IsDeleteMenu(afterMargin));
}

TEST_F(DialogTest, DeletingTheOnlyPairLeavesAnEmptyListAndOnlyTheByteOrderMark) {
    WriteFileBytes(pairFile, kBom + AppendLine(source, dest));
    StartDebugCapture();
    int rowsAfter = -1;
    MenuSeen menu;
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        ClickAt(RowPoint(list, 0), true);
        menu = WaitForMenu(thread);
        PressKeys({'D'});
        WaitForRowCount(list, 0);
        rowsAfter = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
        Press(dialog, IDCANCEL);
    });
    EXPECT_TRUE(IsDeleteMenu(menu));
    EXPECT_EQ(rowsAfter, 0);
    EXPECT_EQ(ReadFileBytes(pairFile), kBom);
    EXPECT_TRUE(g_sourceFolders.empty());
    EXPECT_TRUE(
        TraceLinesStartingWith(TakeDebugOutput(), L"StartMonitoring: created thread ").empty());
}

TEST_F(DialogTest, FailedDeletionKeepsRowsAndTableAlignedWithTheFile) {
    std::wstring a = root + L"\\a", b = root + L"\\b", c = root + L"\\c";
    std::string before = kBom + AppendLine(a, dest) + AppendLine(b, dest) + AppendLine(c, dest);
    WriteFileBytes(pairFile, before);
    // Another program reads the pair file and does not let it be replaced meanwhile.
    HANDLE held = CreateFileW(pairFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DWORD code = ReplaceRefusal(pairFile);
    ASSERT_NE(code, 0u);

    StartDebugCapture();
    BoxSeen box;
    std::string fileAfterFailure;
    Rows rowsAfterFailure, rowsAfterRetry;
    std::vector<std::wstring> tableAfterFailure;
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        ClickAt(RowPoint(list, 1), true);
        WaitForMenu(thread);
        PressKeys({'D'});
        box = AnswerMessageBox(thread, dialog);
        // The rows are rebuilt from the file once the box is closed, without a selection.
        if (!WaitFor([&] { return SelectedRowOf(list) == -1; }))
            NoteDriverProblem("the rows were not rebuilt after the failed deletion");
        fileAfterFailure = ReadFileBytes(pairFile);
        rowsAfterFailure = ListRows(list);
        CloseHandle(held);
        // The user deletes the row that now shows b again: b goes, and nothing else. This time
        // the row is selected with a click and the menu asked for with Shift+F10: under Wine a
        // second right-click on the list soon after the first may open no menu.
        ClickAt(RowPoint(list, 1), false);
        if (!WaitFor([&] { return SelectedRowOf(list) == 1; }))
            NoteDriverProblem("a click on row 1 selected row " +
                              std::to_string(SelectedRowOf(list)));
        PressKeys({VK_SHIFT, VK_F10});
        WaitForMenu(thread);
        PressKeys({'D'});
        WaitForRowCount(list, 2);
        rowsAfterRetry = ListRows(list);
        Press(dialog, IDCANCEL);
    });
    EXPECT_TRUE(IsBox(box, L"エラー", IDI_ERROR, L"MoveFileExW failed: " + SystemText(code)))
        << WideToUtf8(box.text);
    EXPECT_EQ(fileAfterFailure, before);
    EXPECT_EQ(rowsAfterFailure, (Rows{{a, dest}, {b, dest}, {c, dest}}));
    EXPECT_EQ(rowsAfterRetry, (Rows{{a, dest}, {c, dest}}));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + RewriteLine(a, dest) + RewriteLine(c, dest));
    // Only the successful deletion restarted monitoring.
    EXPECT_EQ(TraceLinesStartingWith(TakeDebugOutput(), L"StartMonitoring: created thread ").size(),
              2u);
}

// The user adds a pair and a note to the file by hand while the list is open, then deletes a
// pair in the list: the file loses that pair and nothing else, and the one before the rewrite
// is kept beside it.
TEST_F(DialogTest, DeletionTakesThePairOutOfTheFileAsItIsNow) {
    std::wstring a = root + L"\\a", b = root + L"\\b", c = root + L"\\c";
    WriteFileBytes(pairFile, kBom + AppendLine(a, dest) + AppendLine(b, dest));
    const std::string edited =
        ReadFileBytes(pairFile) + AppendLine(c, dest) + "メモ: c は手で追加\n";
    Rows rowsAfter;
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        WriteFileBytes(pairFile, edited);
        ClickAt(RowPoint(list, 0), true);
        WaitForMenu(thread);
        PressKeys({'D'});
        // Rows are filled again once the file is rewritten and monitoring restarted.
        if (!WaitFor([&] { return ReadFileBytes(pairFile) != edited; }))
            NoteDriverProblem("the pair file was not rewritten");
        SyncWithWindowThread(dialog);
        rowsAfter = ListRows(list);
        Press(dialog, IDOK);
    });
    EXPECT_EQ(rowsAfter, (Rows{{b, dest}, {c, dest}}));
    EXPECT_EQ(ReadFileBytes(pairFile),
              kBom + RewriteLine(b, dest) + RewriteLine(c, dest) + "メモ: c は手で追加\n");
    EXPECT_EQ(ReadFileBytes(pairFile + L".bak"), edited);
}

// Not a check: opens both dialogs with Japanese content and holds each for a few seconds so
// that a screenshot can be taken (run with --gtest_also_run_disabled_tests).
static void HoldForScreenshot(int n) {
    printf("SHOT %d\n", n);
    fflush(stdout);
    Sleep(2500);
}

TEST_F(DialogTest, DISABLED_HoldDialogsForScreenshots) {
    WriteFileBytes(pairFile, kBom +
                                 AppendLine(L"C:\\Users\\山田\\ドキュメント", L"D:\\バックアップ") +
                                 RewriteLine(L"\\\\nas\\共有\\写真", L"E:\\写真の複製") +
                                 AppendLine(L"C:\\Work", L"D:\\Backup"));
    RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        HoldForScreenshot(1);
        Press(dialog, IDC_BTN_SAVE);
        HoldForScreenshot(2);
        AnswerMessageBox(thread, dialog);
        Type(dialog, IDC_EDIT_SOURCE, L"C:\\Users\\山田\\ドキュメント");
        Type(dialog, IDC_EDIT_DEST, L"D:\\バックアップ,2024");
        Press(dialog, IDC_BTN_SAVE);
        HoldForScreenshot(3);
        AnswerMessageBox(thread, dialog);
        Type(dialog, IDC_EDIT_DEST, L"\"C:\\Users\\山田\\ドキュメント\"");
        Press(dialog, IDC_BTN_SAVE);
        HoldForScreenshot(9); // the destination is the source
        AnswerMessageBox(thread, dialog);
        Type(dialog, IDC_EDIT_DEST, L"D:\\バックアップ");
        HoldForScreenshot(4);
        Press(dialog, IDC_BTN_BROWSE_DEST);
        HoldForScreenshot(5);
        HWND picker = WaitForPicker(thread, dialog);
        PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
        WaitFor([&] { return !IsWindow(picker); });
        Press(dialog, IDC_BTN_SAVE);
        HoldForScreenshot(6);
        AnswerMessageBox(thread, dialog);
    });
    RunDialog(IDD_LIST, ChildDlg2Proc, [&](HWND dialog) {
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        HoldForScreenshot(7);
        ClickAt(RowPoint(list, 1), true);
        WaitForMenu(thread);
        HoldForScreenshot(8);
        CloseMenu(thread);
        Press(dialog, IDCANCEL);
    });
}

// ---- In the running program ------------------------------------------------------------------

// The user registers two pairs from the control panel, one typed and one picked, sees both in
// the list, deletes the first, and the other one mirrors a new file.
TEST_F(DialogTest, TwoPairsRegisteredFromThePanelOneDeletedTheOtherMirrors) {
    std::wstring source2 = root + L"\\二番目", dest2 = root + L"\\二番目の複製";
    CreateDirectoryW(source2.c_str(), nullptr);
    CreateDirectoryW(dest2.c_str(), nullptr);
    if (!g_hMainWnd) {
        LoadStringW(g_hInst, IDS_APP_TITLE, g_szTitle, 100);
        LoadStringW(g_hInst, IDC_MAINCLASS, g_szWindowClass, 100);
        RegisterMainWindowClass(g_hInst);
        ASSERT_TRUE(CreateMainWindow(g_hInst, SW_SHOWNORMAL));
    }
    ASSERT_NE(g_hPanelDlg, nullptr);

    BoxSeen firstSaved, secondSaved;
    Rows listed, afterDelete;
    PlayUser([&] {
        auto openFromPanel = [&](int button) {
            Press(g_hPanelDlg, button);
            return WaitForThreadWindow(thread, L"#32770", g_hMainWnd);
        };
        HWND dialog = openFromPanel(IDC_BTN_REGISTER);
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE);
        firstSaved = AnswerMessageBox(thread, dialog);
        WaitFor([&] { return !IsWindow(dialog); });

        dialog = openFromPanel(IDC_BTN_REGISTER);
        Type(dialog, IDC_EDIT_SOURCE, source2);
        Press(dialog, IDC_BTN_BROWSE_DEST);
        HWND picker = WaitForPicker(thread, dialog);
        SendMessageW(FindWindowExW(picker, nullptr, L"Edit", nullptr), WM_SETTEXT, 0,
                     (LPARAM)dest2.c_str());
        Press(picker, IDOK);
        WaitFor([&] { return !IsWindow(picker); });
        Press(dialog, IDC_BTN_SAVE);
        secondSaved = AnswerMessageBox(thread, dialog);
        WaitFor([&] { return !IsWindow(dialog); });

        dialog = openFromPanel(IDC_BTN_LIST);
        if (!WaitFor([&] { return GetForegroundWindow() == dialog; }))
            NoteDriverProblem("the list never came to the front; " + DescribeFocus(thread));
        HWND list = GetDlgItem(dialog, IDC_LISTVIEW);
        listed = ListRows(list);
        ClickAt(RowPoint(list, 0), true);
        WaitForMenu(thread);
        PressKeys({'D'});
        WaitForRowCount(list, 1);
        afterDelete = ListRows(list);
        Press(dialog, IDOK);
        WaitFor([&] { return !IsWindow(dialog); });
    });

    EXPECT_TRUE(IsBox(firstSaved, L"情報", IDI_INFORMATION, kSaved));
    EXPECT_TRUE(IsBox(secondSaved, L"情報", IDI_INFORMATION, kSaved));
    EXPECT_EQ(listed, (Rows{{source, dest}, {source2, dest2}}));
    EXPECT_EQ(afterDelete, (Rows{{source2, dest2}}));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + RewriteLine(source2, dest2));

    // Monitoring runs for the remaining pair only: a file there is mirrored, and the deleted
    // pair's source has no watch thread any more.
    ASSERT_EQ(g_watchContexts.size(), 1u);
    EXPECT_EQ(g_watchContexts[0]->path, source2);
    WriteFileBytes(source + L"\\unwatched.txt", "not mirrored");
    WriteFileBytes(source2 + L"\\メモ.txt", "mirrored");
    std::string copied;
    EXPECT_TRUE(PumpUntil(
        [&] { return (copied = ReadFileBytes(dest2 + L"\\メモ.txt")) == "mirrored"; }, kWaitMs))
        << "the copy holds \"" << copied << "\"";
    EXPECT_FALSE(FileExists(dest + L"\\unwatched.txt"));
}