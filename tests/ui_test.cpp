// The configuration dialogs, run as real modal dialogs. A driver thread plays the user: it
// finds the dialog, types into its edits, presses its buttons, clicks and keys through real
// input, and reads and answers the message boxes. Assertions run on the test thread afterwards.
#include "app/main_window.h"
#include "monitor/monitor.h"
#include "res/resource.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"
#include "tests/test_support.h"
#include "ui/list_dialog.h"
#include "ui/register_dialog.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

static const std::string kBom = "\xEF\xBB\xBF";
static const DWORD kWaitMs = 5000;

// Polls pred from the driver thread.
static bool WaitFor(const std::function<bool()> &pred, DWORD timeoutMs = kWaitMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!pred()) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(10);
    }
    return true;
}

static std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

static std::wstring TextOf(HWND window) {
    int n = GetWindowTextLengthW(window);
    std::wstring text(n + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), n + 1));
    return text;
}

// Visible top-level windows of a thread with the given class and, when given, owner.
static HWND FindThreadWindow(DWORD thread, const wchar_t *className, HWND owner = nullptr) {
    struct Search {
        const wchar_t *className;
        HWND owner, found;
    } search = {className, owner, nullptr};
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM param) {
            auto *s = (Search *)param;
            if (IsWindowVisible(window) && ClassOf(window) == s->className &&
                (!s->owner || GetWindow(window, GW_OWNER) == s->owner)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        (LPARAM)&search);
    return search.found;
}

static HWND WaitForThreadWindow(DWORD thread, const wchar_t *className, HWND owner = nullptr) {
    HWND found = nullptr;
    WaitFor([&] { return (found = FindThreadWindow(thread, className, owner)) != nullptr; });
    return found;
}

static void Press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

static void Type(HWND dialog, int id, const std::wstring &text) {
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, (LPARAM)text.c_str());
}

static std::wstring ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

// What a message box showed.
struct BoxSeen {
    bool shown = false;
    std::wstring caption, text;
    HICON icon = nullptr;
};

// Waits for a message box owned by owner, reads it and presses its OK button.
static BoxSeen AnswerMessageBox(DWORD thread, HWND owner) {
    BoxSeen seen;
    HWND box = WaitForThreadWindow(thread, L"#32770", owner);
    if (!box)
        return seen;
    seen.shown = true;
    seen.caption = TextOf(box);
    seen.text = ItemText(box, 0xFFFF);
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            seen.icon = (HICON)SendMessageW(child, STM_GETICON, 0, 0);
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return !IsWindow(box); });
    return seen;
}

static bool IsBox(const BoxSeen &seen, const wchar_t *caption, LPCWSTR icon,
                  const std::wstring &text) {
    return seen.shown && seen.caption == caption && seen.text == text &&
           seen.icon == LoadIconW(nullptr, icon);
}

// Runs the dialog modally on this thread while script plays the user on another. Whatever
// the script leaves open is closed afterwards, so a failing script cannot hang the test.
static INT_PTR RunDialog(int templateId, DLGPROC proc, const std::function<void(HWND)> &script) {
    DWORD thread = GetCurrentThreadId();
    std::thread driver([&] {
        HWND dialog = WaitForThreadWindow(thread, L"#32770");
        if (!dialog)
            return;
        script(dialog);
        WaitFor([&] {
            if (!IsWindow(dialog))
                return true;
            if (HWND menu = FindThreadWindow(thread, L"#32768"))
                PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
            else if (HWND box = FindThreadWindow(thread, L"#32770", dialog))
                PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
            else
                PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            Sleep(100);
            return !IsWindow(dialog);
        });
    });
    INT_PTR result =
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), nullptr, proc, 0);
    driver.join();
    return result;
}

// Real input, as the user gives it.
static void ClickAt(POINT screen, bool right) {
    SetCursorPos(screen.x, screen.y);
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_MOUSE;
    in[0].mi.dwFlags = right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
    in[1].mi.dwFlags = right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
    SendInput(2, in, sizeof(INPUT));
}

static void PressKeys(std::initializer_list<WORD> keys) {
    std::vector<INPUT> in;
    for (WORD key : keys) {
        INPUT down = {};
        down.type = INPUT_KEYBOARD;
        down.ki.wVk = key;
        in.push_back(down);
    }
    for (auto it = keys.end(); it != keys.begin();) {
        INPUT up = {};
        up.type = INPUT_KEYBOARD;
        up.ki.wVk = *--it;
        up.ki.dwFlags = KEYEVENTF_KEYUP;
        in.push_back(up);
    }
    SendInput((UINT)in.size(), in.data(), sizeof(INPUT));
}

static POINT ToScreen(HWND window, int x, int y) {
    POINT pt = {x, y};
    ClientToScreen(window, &pt);
    return pt;
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
    }
    void TearDown() override {
        StopMonitoring();
        g_sourceFolders.clear();
        g_destFolders.clear();
        RemoveTree(root);
    }
    std::wstring root, pairFile, source, dest;
    DWORD thread = 0;
};

// ---- Templates -------------------------------------------------------------------------------

// One control of an extended dialog template, as stored.
struct TemplateItem {
    DWORD helpId, exStyle, style;
    short x, y, cx, cy;
    DWORD id;
    WORD classAtom;         // a predefined class by ordinal (0x80 button, 0x81 edit, 0x82 static)
    std::wstring className; // or by name, as some resource compilers store it
    std::wstring text;
};

struct DialogTemplate {
    DWORD helpId, exStyle, style;
    short x, y, cx, cy;
    WORD menu, windowClass;
    std::wstring caption;
    WORD pointSize, weight;
    BYTE italic, charset;
    std::wstring font;
    std::vector<TemplateItem> items;
};

static bool ReadDialogTemplate(int id, DialogTemplate &dlg) {
    HRSRC found = FindResourceExW(GetModuleHandleW(nullptr), RT_DIALOG, MAKEINTRESOURCEW(id),
                                  MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN));
    if (!found)
        return false;
    auto *p = (const BYTE *)LockResource(LoadResource(GetModuleHandleW(nullptr), found));
    const BYTE *start = p;
    auto word = [&] { WORD w; memcpy(&w, p, 2); p += 2; return w; };
    auto dword = [&] { DWORD d; memcpy(&d, p, 4); p += 4; return d; };
    auto text = [&] {
        std::wstring s;
        for (WORD w; (w = word()) != 0;)
            s.push_back((wchar_t)w);
        return s;
    };
    auto align = [&] { p = start + ((p - start + 3) & ~3); };
    if (word() != 1 || word() != 0xFFFF)
        return false;
    dlg.helpId = dword();
    dlg.exStyle = dword();
    dlg.style = dword();
    WORD count = word();
    dlg.x = (short)word();
    dlg.y = (short)word();
    dlg.cx = (short)word();
    dlg.cy = (short)word();
    dlg.menu = word();
    dlg.windowClass = word();
    dlg.caption = text();
    dlg.pointSize = word();
    dlg.weight = word();
    dlg.italic = *p++;
    dlg.charset = *p++;
    dlg.font = text();
    for (WORD i = 0; i < count; ++i) {
        align();
        TemplateItem item;
        item.helpId = dword();
        item.exStyle = dword();
        item.style = dword();
        item.x = (short)word();
        item.y = (short)word();
        item.cx = (short)word();
        item.cy = (short)word();
        item.id = dword();
        item.classAtom = 0;
        if (word() == 0xFFFF)
            item.classAtom = word();
        else
            p -= 2, item.className = text();
        if (word() == 0xFFFF)
            word(); // an ordinal title would be an icon or bitmap; none here
        else
            p -= 2, item.text = text();
        WORD extra = word();
        p += extra;
        dlg.items.push_back(item);
    }
    return true;
}

static void ExpectConfigurationFrame(const DialogTemplate &dlg) {
    EXPECT_EQ(dlg.style, 0x80C800C8u);
    EXPECT_EQ(dlg.exStyle, 0u);
    EXPECT_EQ(dlg.helpId, 0u);
    EXPECT_EQ(dlg.x, 0);
    EXPECT_EQ(dlg.y, 0);
    EXPECT_EQ(dlg.cx, 309);
    EXPECT_EQ(dlg.cy, 176);
    EXPECT_EQ(dlg.menu, 0);
    EXPECT_EQ(dlg.windowClass, 0);
    EXPECT_EQ(dlg.caption, kDialogCaption);
    EXPECT_EQ(dlg.pointSize, 8);
    EXPECT_EQ(dlg.weight, 400);
    EXPECT_EQ(dlg.italic, 0);
    EXPECT_EQ(dlg.charset, 1);
    EXPECT_EQ(dlg.font, L"MS Shell Dlg");
}

TEST_F(DialogTest, RegistrationTemplateHasTheWrittenFrameAndControlsInOrder) {
    DialogTemplate dlg;
    ASSERT_TRUE(ReadDialogTemplate(IDD_REGISTER, dlg));
    ExpectConfigurationFrame(dlg);

    const WORD button = 0x80, edit = 0x81, label = 0x82;
    struct Expected {
        DWORD id;
        WORD classAtom;
        const wchar_t *className, *text;
        DWORD style;
        short x, y, cx, cy;
    } expected[] = {
        {1008, button, L"Button", L"登録", 0x50010001, 198, 155, 50, 14},
        {2, button, L"Button", L"キャンセル", 0x50010000, 252, 155, 50, 14},
        {1002, label, L"Static", L"監視フォルダパス", 0x50020000, 23, 16, 62, 14},
        {1003, edit, L"Edit", L"", 0x50810080, 21, 30, 188, 16},
        {1004, button, L"Button", L"参照", 0x50010000, 219, 32, 50, 14},
        {1005, label, L"Static", L"複製先フォルダパス", 0x50020000, 24, 79, 62, 14},
        {1006, edit, L"Edit", L"", 0x50810080, 21, 94, 188, 16},
        {1007, button, L"Button", L"参照", 0x50010000, 220, 95, 50, 14},
    };
    ASSERT_EQ(dlg.items.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const TemplateItem &item = dlg.items[i];
        EXPECT_EQ(item.id, expected[i].id);
        if (item.className.empty())
            EXPECT_EQ(item.classAtom, expected[i].classAtom);
        else
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
    HWND dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_REGISTER), nullptr,
                                     RegisterDlgProc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(TextOf(dialog), kDialogCaption);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_BTN_SAVE));
    size_t i = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT), ++i) {
        SCOPED_TRACE(i);
        ASSERT_LT(i, 8u);
        EXPECT_EQ((DWORD)GetDlgCtrlID(child), expected[i].id);
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
    ASSERT_TRUE(ReadDialogTemplate(IDD_LIST, dlg));
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
        Type(dialog, IDC_EDIT_SOURCE, L"");
        Type(dialog, IDC_EDIT_DEST, dest);
        Press(dialog, IDC_BTN_SAVE); // source empty
        boxes.push_back(AnswerMessageBox(thread, dialog));
        sourceAfter = ItemText(dialog, IDC_EDIT_SOURCE);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
        Press(dialog, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(boxes.size(), 3u);
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

TEST_F(DialogTest, FirstPairCreatesTheFileWithByteOrderMark) {
    INT_PTR result = RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, L"C:\\Work");
        Type(dialog, IDC_EDIT_DEST, L"  ");
        Press(dialog, IDC_BTN_SAVE);
        AnswerMessageBox(thread, dialog);
    });
    EXPECT_EQ(result, IDC_BTN_SAVE);
    // Blanks count as a folder and are kept as typed.
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],C:\\Work\\,  \n");
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
        {L"\\\\nas\\share\\データ", dest},      // UNC source
        {source, L"\\\\nas\\backup"},          // UNC destination
        {L"C:", L"D:\\x"},                      // would come back as C:\ .
        {L"C:\\a\\,b", L"D:\\y"},               // a backslash before a comma
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
    // Another program holds the pair file and lets nobody write it.
    HANDLE held = CreateFileW(pairFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE probe = CreateFileW(pairFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD code = GetLastError();
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE);

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
    EXPECT_TRUE(IsBox(box, L"エラー", IDI_ERROR, L"CreateFileW failed: " + SystemText(code)))
        << WideToUtf8(box.text);
    EXPECT_EQ(sourceAfter, L"\\\\nas\\share");
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    EXPECT_EQ(g_sourceFolders, std::vector<std::wstring>{L"running source"});
    EXPECT_EQ(g_destFolders, std::vector<std::wstring>{L"running dest"});
}

TEST_F(DialogTest, DestinationWithCommaIsRefusedAndNothingIsWritten) {
    std::string before = kBom + AppendLine(L"C:\\Work", L"D:\\Backup");
    WriteFileBytes(pairFile, before);
    BoxSeen refused, lineBreak;
    std::wstring destAfter;
    RunDialog(IDD_REGISTER, RegisterDlgProc, [&](HWND dialog) {
        Type(dialog, IDC_EDIT_SOURCE, source);
        Type(dialog, IDC_EDIT_DEST, L"D:\\Backup,2024");
        Press(dialog, IDC_BTN_SAVE);
        refused = AnswerMessageBox(thread, dialog);
        destAfter = ItemText(dialog, IDC_EDIT_DEST);
    });
    EXPECT_TRUE(refused.shown);
    EXPECT_EQ(refused.caption, L"警告");
    EXPECT_EQ(refused.icon, LoadIconW(nullptr, IDI_WARNING));
    EXPECT_NE(refused.text.find(L"カンマ"), std::wstring::npos) << WideToUtf8(refused.text);
    EXPECT_EQ(destAfter, L"D:\\Backup,2024");
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    // A comma in the source is fine: it is carried as typed.
    BoxSeen saved = RegisterThroughDialog(thread, root + L"\\a,b", dest);
    EXPECT_TRUE(IsBox(saved, L"情報", IDI_INFORMATION, kSaved));
    ASSERT_EQ(g_sourceFolders.size(), 2u);
    EXPECT_EQ(g_sourceFolders[1], root + L"\\a,b");
}
