// The application shell: its resources as the program loads them, the main window, panel,
// About box, tray icon and notice sink as real windows in this process, and the whole program
// (Vantrel.exe under VantrelDebugView.exe) end to end.
#include "app/about_box.h"
#include "app/main_window.h"
#include "app/notice_sink.h"
#include "app/panel.h"
#include "app/single_instance.h"
#include "app/tray_icon.h"
#include "app/tray_trouble.h"
#include "monitor/monitor.h"
#include "monitor/watch_thread.h"
#include "res/resource.h"
#include "store/pair_writer.h"
#include "tests/test_support.h"
#include "tests/window_driver.h"
#include "ui/register_dialog.h"
#include "version.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Counts the array deletions of one watched pointer, so a test can see a notice text freed
// exactly once. Everything else is deleted as by the default operators.
static std::atomic<void *> g_watchedArray{nullptr};
static std::atomic<int> g_watchedArrayFrees{0};

void operator delete[](void *p) noexcept {
    if (p && p == g_watchedArray.load())
        ++g_watchedArrayFrees;
    ::operator delete(p);
}

void operator delete[](void *p, std::size_t) noexcept {
    if (p && p == g_watchedArray.load())
        ++g_watchedArrayFrees;
    ::operator delete(p);
}

static HMODULE Module() {
    return GetModuleHandleW(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Resources

static DialogTemplate JapaneseTemplate(int id) {
    DialogTemplate dialog;
    EXPECT_TRUE(LoadDialogTemplate(id, dialog)) << "dialog " << id << " in Japanese, readable";
    return dialog;
}

static void ExpectItem(const TemplateItem &item, int id, const wchar_t *className,
                       const std::wstring &text, DWORD style, short x, short y, short cx,
                       short cy) {
    SCOPED_TRACE("control " + std::to_string(id) + " " + WideToUtf8(text));
    EXPECT_EQ(item.id, id);
    EXPECT_EQ(item.helpId, 0u);
    EXPECT_EQ(_wcsicmp(item.className.c_str(), className), 0) // class names ignore case
        << WideToUtf8(item.className);
    EXPECT_EQ(item.text, text);
    EXPECT_EQ(item.style, style);
    EXPECT_EQ(item.exStyle, 0u);
    EXPECT_EQ(item.x, x);
    EXPECT_EQ(item.y, y);
    EXPECT_EQ(item.cx, cx);
    EXPECT_EQ(item.cy, cy);
}

TEST(Resources, EveryResourceIsJapanese) {
    std::vector<std::wstring> seen;
    EnumResourceTypesW(
        Module(),
        [](HMODULE module, LPWSTR type, LONG_PTR param) -> BOOL {
            EnumResourceNamesW(
                module, type,
                [](HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param) -> BOOL {
                    EnumResourceLanguagesW(
                        module, type, name,
                        [](HMODULE, LPCWSTR type, LPCWSTR name, WORD language,
                           LONG_PTR param) -> BOOL {
                            auto *seen = reinterpret_cast<std::vector<std::wstring> *>(param);
                            wchar_t line[64];
                            swprintf(line, 64, L"%u/%u:%u", (unsigned)(ULONG_PTR)type,
                                     (unsigned)(ULONG_PTR)name, language);
                            seen->push_back(line);
                            return TRUE;
                        },
                        param);
                    return TRUE;
                },
                param);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&seen));
    ASSERT_FALSE(seen.empty());
    for (const std::wstring &entry : seen)
        EXPECT_EQ(entry.substr(entry.find(L':') + 1), L"1041") << WideToUtf8(entry);
}

TEST(Resources, PanelTemplateIsTheTwoButtonPanel) {
    DialogTemplate panel = JapaneseTemplate(IDD_PANEL);
    EXPECT_EQ(panel.style,
              0x80C800C8u); // WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SHELLFONT
    EXPECT_EQ(panel.exStyle, 0u);
    EXPECT_EQ(panel.x, 0);
    EXPECT_EQ(panel.y, 0);
    EXPECT_EQ(panel.cx, 309);
    EXPECT_EQ(panel.cy, 166);
    EXPECT_EQ(panel.menu, L"");
    EXPECT_EQ(panel.windowClass, L"");
    EXPECT_EQ(panel.caption, L"Dialog");
    EXPECT_EQ(panel.typeface, L"MS Shell Dlg");
    EXPECT_EQ(panel.pointSize, 8);
    EXPECT_EQ(panel.weight, 400);
    EXPECT_EQ(panel.italic, 0);
    EXPECT_EQ(panel.charset, 1);
    ASSERT_EQ(panel.items.size(), 2u);
    const DWORD button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER;
    ExpectItem(panel.items[0], 1001, L"Button", L"監視フォルダ登録", button, 7, 7, 244, 30);
    ExpectItem(panel.items[1], 1002, L"Button", L"監視フォルダ一覧", button, 7, 39, 244, 30);
}

TEST(Resources, AboutBoxTemplateHasIconTitleThreeLinesAndOk) {
    DialogTemplate about = JapaneseTemplate(IDD_ABOUTBOX);
    EXPECT_EQ(about.style, 0x80C800C0u); // WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT
    EXPECT_EQ(about.exStyle, 0u);
    EXPECT_EQ(about.x, 0);
    EXPECT_EQ(about.y, 0);
    EXPECT_EQ(about.cx, 170);
    EXPECT_EQ(about.cy, 82);
    EXPECT_EQ(about.caption, L"バージョン情報");
    EXPECT_EQ(about.typeface, L"MS UI Gothic");
    EXPECT_EQ(about.pointSize, 9);
    EXPECT_EQ(about.weight, 0);
    EXPECT_EQ(about.italic, 0);
    EXPECT_EQ(about.charset, 1);
    ASSERT_EQ(about.items.size(), 6u);
    const DWORD text = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
    ExpectItem(about.items[0], 131, L"Static", L"#131", WS_CHILD | WS_VISIBLE | SS_ICON, 14, 14, 18,
               21);
    ExpectItem(about.items[1], -1, L"Static", L"Vantrel Ver.1.0", text | SS_NOPREFIX, 42, 14, 114,
               8);
    ExpectItem(about.items[2], -1, L"Static", about.items[2].text, text, 49, 41, 102, 8);
    ExpectItem(about.items[3], IDOK, L"Button", L"OK",
               WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 113, 61, 50, 14);
    ExpectItem(about.items[4], -1, L"Static", about.items[4].text, text, 49, 54, 61, 8);
    ExpectItem(about.items[5], -1, L"Static", about.items[5].text, text, 43, 28, 114, 8);
    for (size_t i : {2, 4, 5})
        EXPECT_FALSE(about.items[i].text.empty()) << "line at template position " << i;
}

static std::wstring MenuText(HMENU menu, UINT position) {
    wchar_t text[128] = {};
    GetMenuStringW(menu, position, text, 128, MF_BYPOSITION);
    return text;
}

TEST(Resources, MenuOffersExitAndAbout) {
    HMENU menu = LoadMenuW(Module(), MAKEINTRESOURCEW(IDC_MAINCLASS));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 2);
    EXPECT_EQ(MenuText(menu, 0), L"ファイル(&F)");
    EXPECT_EQ(MenuText(menu, 1), L"ヘルプ(&H)");
    HMENU file = GetSubMenu(menu, 0);
    HMENU help = GetSubMenu(menu, 1);
    ASSERT_NE(file, nullptr);
    ASSERT_NE(help, nullptr);
    ASSERT_EQ(GetMenuItemCount(file), 1);
    EXPECT_EQ(MenuText(file, 0), L"終了する(&X)");
    EXPECT_EQ(GetMenuItemID(file, 0), (UINT)IDM_EXIT);
    ASSERT_EQ(GetMenuItemCount(help), 1);
    EXPECT_EQ(MenuText(help, 0), L"バージョン情報(&A)...");
    EXPECT_EQ(GetMenuItemID(help, 0), (UINT)IDM_ABOUT);
    DestroyMenu(menu);
}

TEST(Resources, AcceleratorsAreAltQuestionMarkAndAltSlash) {
    HACCEL table = LoadAcceleratorsW(Module(), MAKEINTRESOURCEW(IDC_MAINCLASS));
    ASSERT_NE(table, nullptr);
    ACCEL entries[8] = {};
    ASSERT_EQ(CopyAcceleratorTableW(table, entries, 8), 2);
    EXPECT_EQ(entries[0].key, L'?');
    EXPECT_EQ(entries[1].key, L'/');
    for (const ACCEL &entry : {entries[0], entries[1]}) {
        EXPECT_EQ(entry.fVirt & ~0x80, FALT) << "character accelerator with Alt only";
        EXPECT_EQ(entry.cmd, IDM_ABOUT);
    }
}

TEST(Resources, StringsAreTitleAndClassName) {
    wchar_t text[100] = {};
    EXPECT_EQ(LoadStringW(Module(), IDS_APP_TITLE, text, 100), 15);
    EXPECT_STREQ(text, L"Vantrel Ver.1.0");
    EXPECT_EQ(LoadStringW(Module(), IDC_MAINCLASS, text, 100), 7);
    EXPECT_STREQ(text, L"MERIDAX");
    // Both in the Japanese block of the string table (strings 96..111 are block 7).
    EXPECT_FALSE(ResourceBytes(RT_STRING, MAKEINTRESOURCEW(IDS_APP_TITLE / 16 + 1)).empty());
}

struct IconImage {
    int size = 0, bitCount = 0;
    std::vector<BYTE> bytes;
};

static std::vector<IconImage> LoadIconGroup(int id) {
    std::vector<IconImage> images;
    std::vector<BYTE> group = ResourceBytes(RT_GROUP_ICON, MAKEINTRESOURCEW(id));
    if (group.size() < 6)
        return images;
    WORD count = (WORD)(group[4] | group[5] << 8);
    for (WORD i = 0; i < count && 6 + (i + 1) * 14u <= group.size(); ++i) {
        const BYTE *e = &group[6 + i * 14];
        IconImage image;
        image.size = e[0] == 0 ? 256 : e[0];
        EXPECT_EQ(e[0], e[1]) << "square";
        EXPECT_EQ(e[4] | e[5] << 8, 1) << "planes";
        image.bitCount = e[6] | e[7] << 8;
        DWORD bytesInRes = e[8] | e[9] << 8 | e[10] << 16 | (DWORD)e[11] << 24;
        WORD imageId = (WORD)(e[12] | e[13] << 8);
        image.bytes = ResourceBytes(RT_ICON, MAKEINTRESOURCEW(imageId));
        EXPECT_EQ(image.bytes.size(), bytesInRes) << "group " << id << " image " << imageId;
        images.push_back(image);
    }
    return images;
}

static DWORD ReadBigEndian(const BYTE *p) {
    return (DWORD)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The stored image must be what the group entry says: a DIB (or, at 256 pixels, a PNG) of that
// size and depth, and not blank.
static void ExpectImageMatchesEntry(const IconImage &image) {
    SCOPED_TRACE(std::to_string(image.size) + " px " + std::to_string(image.bitCount) + " bpp");
    ASSERT_GE(image.bytes.size(), 40u);
    const BYTE *b = image.bytes.data();
    static const BYTE kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (std::memcmp(b, kPng, 8) == 0) {
        EXPECT_EQ(ReadBigEndian(b + 16), (DWORD)image.size);
        EXPECT_EQ(ReadBigEndian(b + 20), (DWORD)image.size);
        EXPECT_EQ(b[24], 8); // bits per channel
        EXPECT_EQ(b[25], 6); // RGBA
        EXPECT_EQ(image.bitCount, 32);
        return;
    }
    BITMAPINFOHEADER header;
    std::memcpy(&header, b, sizeof header);
    EXPECT_EQ(header.biWidth, image.size);
    EXPECT_EQ(header.biHeight, image.size * 2); // colour bitmap and AND mask
    EXPECT_EQ(header.biBitCount, image.bitCount);
    if (image.bitCount != 32)
        return;
    size_t pixels = (size_t)image.size * image.size;
    ASSERT_GE(image.bytes.size(), 40 + pixels * 4);
    size_t opaque = 0;
    std::set<DWORD> colours;
    for (size_t i = 0; i < pixels; ++i) {
        const BYTE *p = b + 40 + i * 4;
        if (p[3] >= 128) {
            ++opaque;
            colours.insert(p[0] | p[1] << 8 | p[2] << 16);
        }
    }
    EXPECT_GT(opaque, pixels / 3) << "a picture, not a speck";
    EXPECT_LT(opaque, pixels) << "a shape, not a square";
    EXPECT_GE(colours.size(), 4u) << "outline, folder, flap and arrow colours";
}

// The written icon, and the warning icon the tray shows while a pair cannot be mirrored.
TEST(Resources, ApplicationAndWarningIconsHaveFourTrueColourSizes) {
    for (int id : {IDI_APPICON, IDI_TRAY_WARNING}) {
        SCOPED_TRACE("group " + std::to_string(id));
        std::vector<IconImage> images = LoadIconGroup(id);
        ASSERT_EQ(images.size(), 4u);
        std::multiset<std::pair<int, int>> formats;
        for (const IconImage &image : images) {
            formats.insert({image.size, image.bitCount});
            ExpectImageMatchesEntry(image);
        }
        EXPECT_EQ(formats,
                  (std::multiset<std::pair<int, int>>{{16, 32}, {32, 32}, {48, 32}, {256, 32}}));
    }
}

TEST(Resources, OtherIconGroupsHaveNineImagesEach) {
    const std::vector<std::pair<int, int>> nine = {{256, 8}, {48, 8},  {32, 8},  {16, 8}, {256, 32},
                                                   {64, 32}, {48, 32}, {32, 32}, {16, 32}};
    for (int id : {IDI_VANTREL, IDI_SMALL, IDI_SOURCE_FOLDER, IDI_DEST_FOLDER}) {
        SCOPED_TRACE("group " + std::to_string(id));
        std::vector<IconImage> images = LoadIconGroup(id);
        ASSERT_EQ(images.size(), 9u);
        std::vector<std::pair<int, int>> formats;
        for (const IconImage &image : images) {
            formats.push_back({image.size, image.bitCount});
            ExpectImageMatchesEntry(image);
        }
        EXPECT_EQ(formats, nine);
    }
}

// What the notification area gets: the 16-pixel image as the system loads it.
TEST(Resources, TrayIconLoadsAtSixteenPixelsWithAPicture) {
    HICON icon = (HICON)LoadImageW(Module(), MAKEINTRESOURCEW(IDI_APPICON), IMAGE_ICON, 16, 16, 0);
    ASSERT_NE(icon, nullptr);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = 16;
    bmi.bmiHeader.biHeight = -16;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    DWORD pixels[256] = {};
    HDC dc = GetDC(nullptr);
    EXPECT_EQ(GetDIBits(dc, info.hbmColor, 0, 16, pixels, &bmi, DIB_RGB_COLORS), 16);
    ReleaseDC(nullptr, dc);
    std::set<DWORD> colours(std::begin(pixels), std::end(pixels));
    EXPECT_GE(colours.size(), 5u);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
    for (int size : {32, 48, 256}) {
        HICON large =
            (HICON)LoadImageW(Module(), MAKEINTRESOURCEW(IDI_APPICON), IMAGE_ICON, size, size, 0);
        EXPECT_NE(large, nullptr) << size;
        if (large)
            DestroyIcon(large);
    }
}

// Element names of an XML text, in order, without attributes.
static std::vector<std::string> ElementNames(const std::string &xml) {
    std::vector<std::string> names;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        char next = at + 1 < xml.size() ? xml[at + 1] : '\0';
        if (next == '/' || next == '?' || next == '!')
            continue;
        size_t end = xml.find_first_of(" \t\r\n/>", at + 1);
        names.push_back(xml.substr(at + 1, end - at - 1));
    }
    return names;
}

// Windows names a program by its version resource: in the notification settings, where the
// balloons are allowed or not, and in the file's properties.
TEST(Resources, VersionResourceNamesTheProgramInJapaneseWithTheProjectVersion) {
    std::vector<BYTE> info = ResourceBytes(RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO));
    auto text = [&](const std::wstring &name) {
        wchar_t *value = nullptr;
        UINT length = 0;
        std::wstring path = L"\\StringFileInfo\\041104B0\\" + name;
        bool found = VerQueryValueW(info.data(), path.c_str(), (void **)&value, &length) && value;
        return found ? std::wstring(value) : std::wstring();
    };
    EXPECT_EQ(text(L"ProductName"), L"Vantrel");
    EXPECT_EQ(text(L"FileDescription"), L"Vantrel フォルダ自動複製ツール");
    EXPECT_EQ(text(L"FileVersion"), Utf8ToWide(VANTREL_VERSION_STRING));
}

TEST(Resources, ManifestAsksOnlyForAsInvoker) {
    std::vector<BYTE> bytes = ResourceBytes(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(bytes.empty());
    std::string xml(bytes.begin(), bytes.end());
    EXPECT_EQ(ElementNames(xml),
              (std::vector<std::string>{"assembly", "trustInfo", "security", "requestedPrivileges",
                                        "requestedExecutionLevel"}));
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(xml.find("xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\""),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The main window, created with the program's own functions in this process.

// Asks the shell whether our icon exists: modifying nothing succeeds only for a known icon.
static bool TrayIconExists(HWND window) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof nid;
    nid.hWnd = window;
    nid.uID = 1;
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

static HACCEL g_accelerators = nullptr;
static bool g_quitPosted = false;
static WPARAM g_quitCode = 0;

// Pumps like the program's message loop (panel, accelerators, dispatch) until pred() holds.
// With a pred that holds at once: handles what is in the queue now, then returns.
static bool PumpProgramUntil(const std::function<bool()> &pred, DWORD timeoutMs = kWaitMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                g_quitPosted = true;
                g_quitCode = msg.wParam;
                continue;
            }
            DispatchLoopMessage(msg, g_accelerators);
        }
        if (pred())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

static void PumpProgramUntilIdle() {
    PumpProgramUntil([] { return true; });
}

// Presses keys as real input and pumps like the program until this thread has taken them and
// emptied its queue: whatever they do (an accelerator, a dialog key) has happened by then.
static void PressKeysAndPump(std::initializer_list<WORD> keys) {
    InputMark mark = SendKeys(keys);
    bool taken = PumpProgramUntil([&] { return InputTaken(mark); });
    ReportDriverProblems();
    EXPECT_TRUE(taken) << "keys not taken; " << DescribeFocus(GetCurrentThreadId());
}

static RECT RectInParent(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

static bool SameRect(const RECT &a, const RECT &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

static std::string Describe(const RECT &r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

static bool Contains(const std::vector<int> &ids, int id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

class MainWindow : public testing::Test {
  protected:
    void SetUp() override {
        root_ = MakeTempDir();
        UseConfigRoot(root_);
        g_quitPosted = false;
        g_quitCode = 99;
        LoadStringW(Module(), IDS_APP_TITLE, g_szTitle, 100);
        LoadStringW(Module(), IDC_MAINCLASS, g_szWindowClass, 100);
        RegisterMainWindowClass(Module());
        ASSERT_TRUE(CreateMainWindow(Module(), SW_SHOWNORMAL));
        window_ = g_hMainWnd;
        g_accelerators = LoadAcceleratorsW(Module(), MAKEINTRESOURCEW(IDC_MAINCLASS));
        WatchInput();
        PumpProgramUntilIdle();
    }

    void TearDown() override {
        StopWatchingInput();
        if (IsWindow(window_))
            SendMessageW(window_, WM_COMMAND, IDM_EXIT, 0);
        EXPECT_TRUE(PumpProgramUntil([] { return g_quitPosted; })) << "the program quits";
        StopMonitoring();
        UnregisterClassW(g_szWindowClass, Module());
        RemoveTree(root_);
    }

    HWND Button(int id) { return GetDlgItem(g_hPanelDlg, id); }

    // Gives the main window the keyboard and a panel button the focus, as after a click.
    void FocusButton(int id) { TakeKeyboard(Button(id)); }

    // With no window manager, X hands the keyboard to the window under the pointer when the
    // window that had it is hidden, and a test program run earlier may have left the pointer
    // anywhere: keep it over the main window before taking the focus.
    void KeepPointerOverWindow() {
        RECT frame;
        GetWindowRect(window_, &frame);
        POINT middle = {(frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2}, now;
        if (!GetCursorPos(&now) || now.x != middle.x || now.y != middle.y)
            SetCursorPos(middle.x, middle.y);
        EXPECT_TRUE(PumpProgramUntil([&] {
            POINT now;
            return GetCursorPos(&now) && now.x == middle.x && now.y == middle.y;
        })) << "the pointer moves over the main window";
    }

    void TakeKeyboard(HWND focus) {
        KeepPointerOverWindow();
        SetForegroundWindow(window_);
        SetFocus(focus);
        EXPECT_TRUE(PumpProgramUntil([&] {
            return GetFocus() == focus && GetForegroundWindow() == window_;
        })) << DescribeFocus(GetCurrentThreadId());
    }

    std::wstring root_;
    HWND window_ = nullptr;
};

TEST_F(MainWindow, HasClassTitleFixedFrameMenuAndPosition) {
    wchar_t text[100] = {};
    GetClassNameW(window_, text, 100);
    EXPECT_STREQ(text, L"MERIDAX");
    GetWindowTextW(window_, text, 100);
    EXPECT_STREQ(text, L"Vantrel Ver.1.0");
    LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
    const LONG_PTR kShape = WS_POPUP | WS_CHILD | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME |
                            WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    EXPECT_EQ(style & kShape, 0x00CA0000) << std::hex << style;
    EXPECT_TRUE(style & WS_VISIBLE);
    EXPECT_EQ(GetWindowLongPtrW(window_, GWL_EXSTYLE) & ~(LONG_PTR)WS_EX_WINDOWEDGE, 0);
    RECT client;
    GetClientRect(window_, &client);
    EXPECT_EQ(client.right - client.left, 400);
    EXPECT_EQ(client.bottom - client.top, 130);
    RECT frame;
    GetWindowRect(window_, &frame);
    EXPECT_EQ(frame.left, 900);
    EXPECT_EQ(frame.top, 500);
    HMENU menu = GetMenu(window_);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(MenuText(menu, 0), L"ファイル(&F)");
    EXPECT_EQ(GetClassLongPtrW(window_, GCLP_HICON) != 0, true);
    EXPECT_EQ(GetClassLongPtrW(window_, GCLP_HICONSM) != 0, true);
    EXPECT_TRUE(TrayIconExists(window_));
}

TEST_F(MainWindow, PanelIsAVisibleChildCoveringTheClientArea) {
    ASSERT_NE(g_hPanelDlg, nullptr);
    EXPECT_EQ(GetParent(g_hPanelDlg), window_);
    LONG_PTR style = GetWindowLongPtrW(g_hPanelDlg, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX |
                       WS_MAXIMIZEBOX),
              0)
        << std::hex << style;
    EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE | DS_MODALFRAME | DS_SHELLFONT),
              WS_CHILD | WS_VISIBLE | DS_MODALFRAME | DS_SHELLFONT)
        << std::hex << style;
    EXPECT_PRED2(SameRect, RectInParent(g_hPanelDlg), (RECT{0, 0, 400, 130}))
        << Describe(RectInParent(g_hPanelDlg));
    for (int id : {IDC_BTN_REGISTER, IDC_BTN_LIST}) {
        ASSERT_NE(Button(id), nullptr) << id;
        EXPECT_TRUE(IsWindowEnabled(Button(id)));
        EXPECT_TRUE(IsWindowVisible(Button(id)));
    }
}

TEST_F(MainWindow, PanelStaysOnTheClientAreaWhateverIsAsked) {
    const RECT whole = {0, 0, 400, 130};
    SetWindowPos(g_hPanelDlg, nullptr, 10, 20, 50, 60, SWP_NOZORDER);
    EXPECT_PRED2(SameRect, RectInParent(g_hPanelDlg), whole) << "SetWindowPos";
    MoveWindow(g_hPanelDlg, -5, 7, 1000, 3, TRUE);
    EXPECT_PRED2(SameRect, RectInParent(g_hPanelDlg), whole) << "MoveWindow";
    SetWindowPos(g_hPanelDlg, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_PRED2(SameRect, RectInParent(g_hPanelDlg), whole) << "z-order only";

    // The main window's size changes (not by the user: it has no sizing border); the panel
    // follows its client area.
    RECT frame = {0, 0, 500, 200};
    AdjustWindowRect(&frame, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, TRUE);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(window_, &client);
    EXPECT_PRED2(SameRect, RectInParent(g_hPanelDlg), client) << Describe(client);

    // Even a pure z-order change puts the panel back: resize the main window while WM_SIZE
    // cannot reach the panel, then ask the panel only to move to the bottom.
    HWND panel = g_hPanelDlg;
    g_hPanelDlg = nullptr;
    SetWindowPos(window_, nullptr, 0, 0, 300, 250, SWP_NOMOVE | SWP_NOZORDER);
    g_hPanelDlg = panel;
    GetClientRect(window_, &client);
    ASSERT_FALSE(SameRect(RectInParent(panel), client));
    SetWindowPos(panel, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_PRED2(SameRect, RectInParent(panel), client) << Describe(client);
}

// Nobody sets the focus by hand: the window gives it to the panel when it is activated (after
// the start, a closed dialog, Alt+Tab, the tray), the first button at first and then the one
// that had it, so Tab, Space and Enter reach the buttons.
TEST_F(MainWindow, TabAndShiftTabMoveBetweenTheTwoButtons) {
    auto showFromTray = [&] {
        SendMessageW(window_, WM_CLOSE, 0, 0);
        KeepPointerOverWindow();
        SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONDBLCLK);
        PumpProgramUntilIdle();
    };
    showFromTray();
    ASSERT_EQ(GetFocus(), Button(IDC_BTN_REGISTER)) << DescribeFocus(GetCurrentThreadId());
    // Once the keys are taken, the panel has moved the focus.
    PressKeysAndPump({VK_TAB});
    EXPECT_EQ(GetFocus(), Button(IDC_BTN_LIST)) << DescribeFocus(GetCurrentThreadId());
    PressKeysAndPump({VK_TAB});
    EXPECT_EQ(GetFocus(), Button(IDC_BTN_REGISTER)) << DescribeFocus(GetCurrentThreadId());
    PressKeysAndPump({VK_SHIFT, VK_TAB});
    EXPECT_EQ(GetFocus(), Button(IDC_BTN_LIST)) << DescribeFocus(GetCurrentThreadId());
    EXPECT_TRUE(IsWindowVisible(window_));
    showFromTray();
    EXPECT_EQ(GetFocus(), Button(IDC_BTN_LIST)) << DescribeFocus(GetCurrentThreadId());
}

TEST_F(MainWindow, CloseAndEscapeHideTheWindowAndTrayDoubleClickShowsIt) {
    SendMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_TRUE(TrayIconExists(window_)) << "the icon stays while the window is hidden";

    SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONUP);
    SendMessageW(window_, WM_TRAYICON, 1, WM_MOUSEMOVE);
    EXPECT_FALSE(IsWindowVisible(window_)) << "a single click does nothing";
    SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_EQ(GetForegroundWindow(), window_);

    FocusButton(IDC_BTN_LIST);
    PressKeysAndPump({VK_ESCAPE});
    EXPECT_FALSE(IsWindowVisible(window_)) << "Escape in the panel hides the main window";
    EXPECT_TRUE(IsWindow(window_));
    SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(window_));
    SendMessageW(window_, WM_CLOSE, 0, 0);
    SendMessageW(window_, WM_TRAYICON, 1, NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(IsWindowVisible(window_)) << "a click on the trouble balloon shows it too";
    RECT frame;
    GetWindowRect(window_, &frame);
    EXPECT_EQ(frame.left, 900) << "shown again where it was";
    EXPECT_FALSE(g_quitPosted);
}

TEST_F(MainWindow, PanelButtonsOpenTheirDialogsOwnedByTheMainWindow) {
    ModalSeen registration =
        WithModalWindow([&] { SendMessageW(Button(IDC_BTN_REGISTER), BM_CLICK, 0, 0); });
    ASSERT_NE(registration.window, nullptr) << "1001 from the panel opens the registration";
    EXPECT_EQ(registration.className, L"#32770");
    EXPECT_EQ(registration.owner, window_);
    EXPECT_TRUE(Contains(registration.controlIds, IDC_EDIT_SOURCE)) << "template 133";
    EXPECT_TRUE(IsWindow(window_)) << "and does not exit";

    ModalSeen list = WithModalWindow([&] { SendMessageW(Button(IDC_BTN_LIST), BM_CLICK, 0, 0); });
    ASSERT_NE(list.window, nullptr);
    EXPECT_EQ(list.owner, window_);
    EXPECT_FALSE(Contains(list.controlIds, IDC_EDIT_SOURCE)) << "template 134";
    EXPECT_TRUE(IsWindow(window_));
    PumpProgramUntilIdle();
    EXPECT_FALSE(g_quitPosted);
}

// Run by SmallScreen.TheMainWindowLiesInsideTheWorkArea on an 800 x 600 Wine desktop, where
// the written position (900, 500) is wholly off the screen.
TEST_F(MainWindow, DISABLED_OnASmallScreenLiesInsideTheWorkArea) {
    ASSERT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
    auto inside = [&] {
        RECT frame;
        GetWindowRect(window_, &frame);
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor);
        RECT &work = monitor.rcWork;
        return testing::AssertionResult(frame.left >= work.left && frame.top >= work.top &&
                                        frame.right <= work.right && frame.bottom <= work.bottom)
               << "window " << Describe(frame) << ", work area " << Describe(work);
    };
    EXPECT_TRUE(inside());
    // Off the screen again (a monitor taken away while it was hidden), then shown from the tray.
    SetWindowPos(window_, nullptr, 700, 560, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageW(window_, WM_CLOSE, 0, 0);
    SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(inside());
}

// A tray double-click or a second start while the list is open: the list is where the user
// works, and comes forward (the main window it disables would not take a key).
TEST_F(MainWindow, TrayDoubleClickWithADialogOpenBringsTheDialogForward) {
    HWND inFront = nullptr;
    ModalSeen list = WithModalWindow([&] { SendMessageW(Button(IDC_BTN_LIST), BM_CLICK, 0, 0); },
                                     [&](HWND dialog) {
                                         SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONDBLCLK);
                                         WaitFor([&] { return GetForegroundWindow() == dialog; });
                                         inFront = GetForegroundWindow();
                                     });
    ASSERT_NE(list.window, nullptr);
    EXPECT_EQ(inFront, list.window) << DescribeFocus(GetCurrentThreadId());
}

// 終了 from the tray while the registration dialog and its folder picker are open: they are
// closed first, and only then the main window, never under their modal loops.
TEST_F(MainWindow, ExitWithADialogAndThePickerOpenClosesThemFirst) {
    INT_PTR result = 0;
    bool pickerShown = false, mainWindowAfterDialog = false;
    WithModalWindow(
        [&] {
            result = DialogBoxParamW(Module(), MAKEINTRESOURCEW(IDD_REGISTER), window_,
                                     RegisterDlgProc, 0);
            mainWindowAfterDialog = IsWindow(window_) != FALSE;
        },
        [&](HWND dialog) {
            Press(dialog, IDC_BTN_BROWSE_SOURCE);
            pickerShown = WaitForThreadWindow(GetWindowThreadProcessId(dialog, nullptr), L"#32770",
                                              dialog) != nullptr;
            PostMessageW(window_, WM_COMMAND, ID_TRAY_EXIT, 0);
            WaitFor([&] { return !IsWindow(dialog); });
        });
    EXPECT_TRUE(pickerShown);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(mainWindowAfterDialog) << "the main window went while the dialog was open";
    EXPECT_TRUE(PumpProgramUntil([&] { return g_quitPosted && !IsWindow(window_); }));
    EXPECT_FALSE(TrayIconExists(window_));
}

TEST_F(MainWindow, PanelButtonWithoutParentDoesNothing) {
    // A second panel, never embedded and without owner: GetParent gives null.
    HWND orphan =
        CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_PANEL), nullptr, PanelDlgProc, 0);
    ASSERT_NE(orphan, nullptr);
    ASSERT_EQ(GetParent(orphan), nullptr);
    LRESULT result = 1;
    ModalSeen seen =
        WithModalWindow([&] { result = SendMessageW(orphan, WM_COMMAND, IDC_BTN_REGISTER, 0); });
    DestroyWindow(orphan);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(seen.window, nullptr) << WideToUtf8(seen.className + L" " + seen.caption);
}

TEST_F(MainWindow, AboutBoxOpensFromMenuCommandAtTheClientOriginWithOkFocused) {
    ModalSeen about =
        WithModalWindow([&] { SendMessageW(window_, WM_COMMAND, IDM_ABOUT, 0); },
                        [](HWND dialog) { SendMessageW(dialog, WM_COMMAND, IDOK, 0); });
    ASSERT_NE(about.window, nullptr);
    EXPECT_EQ(about.caption, L"バージョン情報");
    EXPECT_EQ(about.owner, window_);
    EXPECT_EQ(about.focusId, IDOK);
    // The template's (0, 0) is the position of the box's client area in the owner's.
    POINT origin = {0, 0};
    ClientToScreen(window_, &origin);
    EXPECT_EQ(about.clientOrigin.x, origin.x);
    EXPECT_EQ(about.clientOrigin.y, origin.y);
    EXPECT_FALSE(IsWindow(about.window)) << "OK closes it";
}

// "/" and "?" share one key on the US layout (the X server's default): VK_OEM_2.
TEST_F(MainWindow, AltQuestionMarkAndAltSlashOpenTheAboutBoxFromTheMainWindow) {
    for (bool question : {true, false}) {
        TakeKeyboard(window_);
        ModalSeen about = WithModalWindow([&] {
            if (question)
                PressKeysAndPump({VK_MENU, VK_SHIFT, VK_OEM_2});
            else
                PressKeysAndPump({VK_MENU, VK_OEM_2});
        });
        EXPECT_EQ(about.caption, L"バージョン情報") << (question ? "Alt+?" : "Alt+/");
    }
}

TEST_F(MainWindow, AltSlashOnAPanelButtonIsThePanelsAndOpensNothing) {
    FocusButton(IDC_BTN_REGISTER);
    ModalSeen seen = WithModalWindow([&] { PressKeysAndPump({VK_MENU, VK_OEM_2}); });
    EXPECT_EQ(seen.window, nullptr) << WideToUtf8(seen.caption);
    EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(MainWindow, TrayMenuOpensOnRightButtonUpAndContextMenuWithOneExitItem) {
    for (LPARAM event : {(LPARAM)WM_RBUTTONUP, (LPARAM)WM_CONTEXTMENU}) {
        ModalSeen menu = WithModalWindow([&] { SendMessageW(window_, WM_TRAYICON, 1, event); });
        ASSERT_NE(menu.window, nullptr) << event;
        EXPECT_EQ(menu.className, L"#32768");
        ASSERT_EQ(menu.menuItems.size(), 1u);
        EXPECT_EQ(menu.menuItems[0].first, (UINT)ID_TRAY_EXIT);
        EXPECT_EQ(menu.menuItems[0].second, L"終了(&E)");
    }
    PumpProgramUntilIdle();
    EXPECT_TRUE(IsWindow(window_)) << "closing the menu without a choice changes nothing";
    EXPECT_FALSE(g_quitPosted);
}

TEST_F(MainWindow, ChoosingExitInTheTrayMenuEndsTheProgram) {
    ModalSeen menu = WithModalWindow([&] { SendMessageW(window_, WM_TRAYICON, 1, WM_RBUTTONUP); },
                                     [](HWND menuWindow) {
                                         PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
                                         PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
                                     });
    ASSERT_NE(menu.window, nullptr);
    EXPECT_TRUE(PumpProgramUntil([&] { return !IsWindow(window_) && g_quitPosted; }))
        << "window " << (IsWindow(window_) ? "still there" : "gone") << ", quit "
        << (g_quitPosted ? "posted" : "not posted");
    EXPECT_FALSE(TrayIconExists(window_));
}

// Records, when the main window receives WM_DESTROY, whether its tray icon still exists.
static HWND g_watchedWindow = nullptr;
static int g_trayIconAtDestroy = -1;

static LRESULT CALLBACK WatchDestroy(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT *call = reinterpret_cast<const CWPSTRUCT *>(lParam);
    if (code == HC_ACTION && call->hwnd == g_watchedWindow && call->message == WM_DESTROY)
        g_trayIconAtDestroy = TrayIconExists(call->hwnd) ? 1 : 0;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(MainWindow, BothExitCommandsRemoveTheTrayIconBeforeDestroyingAndQuitWithZero) {
    for (int command : {IDM_EXIT, ID_TRAY_EXIT}) {
        SCOPED_TRACE("command " + std::to_string(command));
        if (!IsWindow(window_)) {
            g_quitPosted = false;
            ASSERT_TRUE(CreateMainWindow(Module(), SW_SHOWNORMAL));
            window_ = g_hMainWnd;
        }
        ASSERT_TRUE(TrayIconExists(window_));
        g_watchedWindow = window_;
        g_trayIconAtDestroy = -1;
        HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, WatchDestroy, nullptr, GetCurrentThreadId());
        SendMessageW(window_, WM_COMMAND, command, 0);
        UnhookWindowsHookEx(hook);
        EXPECT_EQ(g_trayIconAtDestroy, 0) << "icon removed before the window is destroyed";
        EXPECT_FALSE(IsWindow(window_));
        EXPECT_FALSE(IsWindow(g_hPanelDlg)) << "the panel goes with it";
        EXPECT_TRUE(PumpProgramUntil([] { return g_quitPosted; }));
        EXPECT_EQ(g_quitCode, 0u);
        EXPECT_FALSE(TrayIconExists(window_));
    }
}

TEST_F(MainWindow, UnknownCommandsAndTrayEventsChangeNothing) {
    SendMessageW(window_, WM_COMMAND, 4242, 0);
    SendMessageW(window_, WM_COMMAND, IDC_BTN_LIST, 0); // 1002 means nothing to the main window
    SendMessageW(window_, WM_TRAYICON, 1, WM_LBUTTONDOWN);
    PumpProgramUntilIdle();
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_FALSE(g_quitPosted);
}

TEST_F(MainWindow, RestartedShellGetsTheTrayIconAgain) {
    RemoveTrayIcon(window_); // what a shell restart does to every icon
    ASSERT_FALSE(TrayIconExists(window_));
    SendMessageW(window_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(TrayIconExists(window_));
}

static std::wstring SampleNotice() {
    return L"監視対象フォルダに変更がありました:\r\nC:\\作業\\src\r\n\r\n"
           L"a.txt (追加)\r\nsub\\b.txt (変更)\r\n<不明なファイル名> (不明)\r\n";
}

static wchar_t *NewNoticeText(const std::wstring &text) {
    wchar_t *copy = new wchar_t[text.size() + 1];
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

TEST_F(MainWindow, FolderChangedNoticeReachesDebugOutputUnchangedAndIsFreedOnce) {
    std::wstring text = SampleNotice();
    wchar_t *posted = NewNoticeText(text);
    g_watchedArrayFrees = 0;
    g_watchedArray = posted;
    StartDebugCapture();
    // Handling the notice ends with freeing its text; a message box would have come before.
    ModalSeen seen = WithModalWindow([&] {
        ASSERT_TRUE(PostMessageW(window_, WM_FOLDER_CHANGED, 0, (LPARAM)posted));
        EXPECT_TRUE(PumpProgramUntil([] { return g_watchedArrayFrees.load() > 0; }))
            << "the notice was not handled";
    });
    g_watchedArray = nullptr;
    EXPECT_EQ(g_watchedArrayFrees.load(), 1);
    EXPECT_EQ(seen.window, nullptr) << "no window opens while notices go to the debug output";
    std::vector<std::wstring> lines = TakeDebugOutput();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], text);
}

TEST_F(MainWindow, NoticeArrivesAlsoWhileTheWindowIsHidden) {
    SendMessageW(window_, WM_CLOSE, 0, 0);
    ASSERT_FALSE(IsWindowVisible(window_));
    StartDebugCapture();
    wchar_t *posted = NewNoticeText(L"x\r\n");
    g_watchedArrayFrees = 0;
    g_watchedArray = posted;
    PostMessageW(window_, WM_FOLDER_CHANGED, 3, (LPARAM)posted);
    EXPECT_TRUE(PumpProgramUntil([] { return g_watchedArrayFrees.load() > 0; }))
        << "the notice was not handled";
    g_watchedArray = nullptr;
    std::vector<std::wstring> lines = TakeDebugOutput();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"x\r\n");
}

// ---------------------------------------------------------------------------------------------
// Trouble in the tray. Wine's tray window cannot be read back from another process, so the
// tests record what the program hands to Shell_NotifyIconW (the screenshots in docs/ show what
// Wine makes of it). Trouble is shown after a shortened threshold.

struct TrayRecord {
    ULONGLONG tick;
    DWORD message;
    NOTIFYICONDATAW data;
};
static std::vector<TrayRecord> g_trayRecords;
static bool g_shellRefuses = false; // the shell is not ready: it takes no record

static BOOL WINAPI RecordTrayCall(DWORD message, PNOTIFYICONDATAW data) {
    g_trayRecords.push_back({GetTickCount64(), message, *data});
    return !g_shellRefuses && Shell_NotifyIconW(message, data);
}

static std::wstring SystemText(DWORD error) {
    wchar_t text[512] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, 512, nullptr);
    while (length > 0 && iswspace(text[length - 1]))
        text[--length] = L'\0';
    return text;
}

class TrayTrouble : public MainWindow {
  protected:
    static constexpr DWORD kThresholdMs = 1500;

    void SetUp() override {
        g_trayRecords.clear();
        g_shellNotifyIcon = RecordTrayCall;
        g_troubleThresholdMs = kThresholdMs;
        MainWindow::SetUp();
        ASSERT_NE(warningIcon_, nullptr);
        source_ = root_ + L"\\src";
        CreateDirectoryW(source_.c_str(), nullptr);
        StartDebugCapture();
    }
    void TearDown() override {
        g_shellRefuses = false;
        g_trayIconRetryMs = 5000;
        g_balloonRepeatMs = 24 * 60 * 60 * 1000;
        MainWindow::TearDown();
        g_shellNotifyIcon = Shell_NotifyIconW;
        g_troubleThresholdMs = 60000;
        if (!small_.empty()) // also after a failure: a full disk would fail later tests
            RemoveTree(small_);
    }

    // Registers source_ -> dest as the registration dialog does: a pair line, then a restart.
    void Register(const std::wstring &dest) {
        std::string line = "[PAIR]," + WideToUtf8(source_) + "\\," + WideToUtf8(dest) + "\n";
        CreateDirectoryW((root_ + L"\\Vantrel").c_str(), nullptr);
        WriteFileBytes(root_ + L"\\Vantrel\\folders.txt", line);
        StopMonitoring();
        StartMonitoring();
    }

    size_t TraceCount(const std::wstring &part) {
        for (std::wstring &line : TakeDebugOutput())
            traced_.push_back(std::move(line));
        return std::count_if(traced_.begin(), traced_.end(), [&](const std::wstring &line) {
            return line.find(part) != std::wstring::npos;
        });
    }

    // The last record that set the icon and tip, and every balloon.
    static const TrayRecord *LastLook() {
        for (auto record = g_trayRecords.rbegin(); record != g_trayRecords.rend(); ++record)
            if (record->data.uFlags & NIF_ICON)
                return &*record;
        return nullptr;
    }
    static std::vector<TrayRecord> Balloons() {
        std::vector<TrayRecord> balloons;
        std::copy_if(g_trayRecords.begin(), g_trayRecords.end(), std::back_inserter(balloons),
                     [](const TrayRecord &record) { return record.data.uFlags & NIF_INFO; });
        return balloons;
    }

    bool WaitForLook(HICON icon, const std::wstring &tip) {
        bool shown = PumpProgramUntil([&] {
            const TrayRecord *look = LastLook();
            return look && look->data.hIcon == icon && look->data.szTip == tip;
        });
        EXPECT_TRUE(shown) << "the tip is \"" << WideToUtf8(LastLook()->data.szTip) << "\", not \""
                           << WideToUtf8(tip) << "\"";
        return shown;
    }

    std::wstring source_, small_;
    std::vector<std::wstring> traced_;
    const std::wstring title_ = L"Vantrel Ver.1.0";
    const HICON writtenIcon_ = LoadIconW(Module(), MAKEINTRESOURCEW(IDI_APPICON));
    const HICON warningIcon_ = (HICON)LoadImageW(Module(), MAKEINTRESOURCEW(IDI_TRAY_WARNING),
                                                 IMAGE_ICON, 16, 16, LR_SHARED);
};

// One episode in each case: the written tray until the trouble has lasted the threshold, then
// the warning icon with its tip and one balloon, through a restart and a second failing file,
// and the written icon and tip again once the trouble is over.
TEST_F(TrayTrouble, TroubleThatLastsShowsOnceAndGoesWhenItIsOver) {
    const std::wstring files = title_ + L"\n複製できていないファイル: ";
    const std::wstring small = small_ = SmallFileSystemFolder(), blocker = root_ + L"\\blocker";
    const std::wstring blocked = blocker + L"\\dst", away = root_ + L"\\away";
    struct Case {
        const char *name;
        std::wstring dest;
        std::function<void()> breakIt, mendIt;
        std::wstring firstTip, secondTip, balloon, traceOfTrouble;
    };
    const std::vector<Case> cases = {
        {"a full disk", small, [&] { FillDisk(small); }, [&] { FreeDisk(small); }, files + L"1 件",
         files + L"2 件", small + L"\\a.txt を複製できません。" + SystemText(ERROR_DISK_FULL),
         L"Destination folder " + small + L" is on a full disk"},
        {"a destination that cannot be made", blocked,
         [&] { WriteFileBytes(blocker, "a file where the folder should be"); },
         [&] { DeleteFileW(blocker.c_str()); }, files + L"1 件\n作成できない複製先フォルダ: 1",
         files + L"2 件\n作成できない複製先フォルダ: 1",
         L"複製先フォルダ " + blocked + L" を作成できません。" + SystemText(ERROR_PATH_NOT_FOUND),
         L"Destination folder " + blocked + L" is missing"},
        {"a watched folder taken away", root_ + L"\\dst",
         [&] { EXPECT_TRUE(MoveFileW(source_.c_str(), away.c_str())); },
         [&] { EXPECT_TRUE(MoveFileW(away.c_str(), source_.c_str())); },
         title_ + L"\n見つからない監視フォルダ: 1", L"",
         L"監視フォルダ " + source_ + L" が見つかりません。" + SystemText(ERROR_FILE_NOT_FOUND),
         L"MonitorThread[0] cannot open "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.dest.empty())
            continue; // no small file system for a full disk (not on Windows)
        g_trayRecords.resize(1);
        Register(c.dest);
        c.breakIt();
        ULONGLONG broken = GetTickCount64();
        bool copies = !c.secondTip.empty();
        if (copies)
            WriteFileBytes(source_ + L"\\a.txt", "first");
        if (WaitForLook(warningIcon_, c.firstTip)) {
            EXPECT_GE(LastLook()->tick - broken, kThresholdMs) << "shown before the threshold";
        }
        if (copies) {
            WriteFileBytes(source_ + L"\\b.txt", "second");
            WaitForLook(warningIcon_, c.secondTip);
        }
        // Monitoring restarts (as every registration does); once the new watch has met the
        // trouble again, the tray is as it was.
        size_t seen = TraceCount(c.traceOfTrouble), records = g_trayRecords.size();
        StopMonitoring();
        StartMonitoring();
        EXPECT_TRUE(PumpProgramUntil([&] { return TraceCount(c.traceOfTrouble) > seen; }));
        PumpFor(500);
        EXPECT_EQ(g_trayRecords.size(), records) << "the restart changed the tray";

        std::vector<TrayRecord> balloons = Balloons();
        ASSERT_EQ(balloons.size(), 1u) << "one balloon for the episode";
        EXPECT_EQ(balloons[0].data.szInfo, c.balloon);
        EXPECT_EQ(balloons[0].data.szInfoTitle, title_);
        EXPECT_EQ(balloons[0].data.dwInfoFlags, (DWORD)(NIIF_USER | NIIF_LARGE_ICON));
        EXPECT_EQ(balloons[0].data.hBalloonIcon,
                  LoadImageW(Module(), MAKEINTRESOURCEW(IDI_TRAY_WARNING), IMAGE_ICON, 32, 32,
                             LR_SHARED));

        // Mended, and at once monitoring restarts: only the new watch can say it is over.
        c.mendIt();
        StopMonitoring();
        StartMonitoring();
        WaitForLook(writtenIcon_, title_);
        if (copies) {
            EXPECT_EQ(ReadFileBytes(c.dest + L"\\a.txt"), "first");
            EXPECT_EQ(ReadFileBytes(c.dest + L"\\b.txt"), "second");
        }
        EXPECT_EQ(Balloons().size(), 1u);
        StopMonitoring();
        RemoveTree(source_);
        CreateDirectoryW(source_.c_str(), nullptr);
    }
}

// A good day, with a large file that is written for longer than the threshold and waits to
// be quiet before it is copied: the icon and tip stay exactly as written.
TEST_F(TrayTrouble, AGoodDayLeavesTheWrittenIconAndTip) {
    std::wstring dest = root_ + L"\\dst", big = source_ + L"\\video.bin";
    Register(dest);
    std::string bytes(1 << 20, 'v');
    WriteFileBytes(big, bytes);
    for (ULONGLONG end = GetTickCount64() + 2 * kThresholdMs; GetTickCount64() < end;) {
        HANDLE file = CreateFileW(big.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        DWORD written = 0;
        if (WriteFile(file, bytes.data(), 16384, &written, nullptr) && written == 16384)
            bytes.append(16384, 'v');
        CloseHandle(file);
        PumpFor(50);
    }
    EXPECT_TRUE(PumpProgramUntil([&] { return ReadFileBytes(dest + L"\\video.bin") == bytes; }));
    ASSERT_EQ(g_trayRecords.size(), 1u) << "the icon was changed";
    EXPECT_EQ(g_trayRecords[0].message, (DWORD)NIM_ADD);
    EXPECT_EQ(g_trayRecords[0].data.uFlags, (UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(g_trayRecords[0].data.hIcon, writtenIcon_);
    EXPECT_EQ(g_trayRecords[0].data.szTip, title_);
}

// A pair file edited by hand holds a pair whose destination is its source, beside a good one:
// nothing of the tree is copied flat over its own top, the good pair mirrors, and the tray
// says so at once, without waiting for the threshold.
TEST_F(TrayTrouble, AHandEditedPairThatWouldHarmCopiesNothingAndShowsAtOnce) {
    std::wstring other = root_ + L"\\other", otherDest = root_ + L"\\otherDest";
    CreateDirectoryW(other.c_str(), nullptr);
    CreateDirectoryW((source_ + L"\\2023").c_str(), nullptr);
    WriteFileBytes(root_ + L"\\Vantrel\\folders.txt",
                   FormatAppendLine(WideToUtf8(source_), WideToUtf8(source_)) +
                       FormatAppendLine(WideToUtf8(other), WideToUtf8(otherDest)));
    g_balloonRepeatMs = 500; // a day, shortened
    ULONGLONG start = GetTickCount64();
    StopMonitoring();
    StartMonitoring();
    if (WaitForLook(warningIcon_, title_ + L"\n監視していない組: 1")) {
        EXPECT_LT(LastLook()->tick - start, kThresholdMs);
    }
    WriteFileBytes(source_ + L"\\2023\\report.docx", "2023");
    WriteFileBytes(other + L"\\x.txt", "x");
    EXPECT_TRUE(PumpProgramUntil([&] { return ReadFileBytes(otherDest + L"\\x.txt") == "x"; }));
    EXPECT_FALSE(FileExists(source_ + L"\\report.docx"));
    EXPECT_EQ(TraceCount(L"copies nothing: the destination is the source"), 1u);
    // The balloon, and once a day the same again while the trouble lasts.
    EXPECT_TRUE(PumpProgramUntil([] { return Balloons().size() >= 2; }));
    for (const TrayRecord &balloon : Balloons())
        EXPECT_EQ(balloon.data.szInfo,
                  source_ + L" → " + source_ +
                      L" の組は監視していません。複製先フォルダが監視フォルダと同じです。");
}

// At logon the shell may refuse the icon (not ready, or timed out): it is offered again until
// the shell takes it.
TEST_F(TrayTrouble, AnIconTheShellRefusedIsAddedOnceItTakesIt) {
    SendMessageW(window_, WM_COMMAND, IDM_EXIT, 0);
    ASSERT_TRUE(PumpProgramUntil([] { return g_quitPosted; }));
    g_quitPosted = false;
    g_shellRefuses = true;
    g_trayIconRetryMs = 50;
    ASSERT_TRUE(CreateMainWindow(Module(), SW_SHOWNORMAL));
    window_ = g_hMainWnd;
    EXPECT_FALSE(TrayIconExists(window_));
    g_shellRefuses = false;
    EXPECT_TRUE(PumpProgramUntil([&] { return TrayIconExists(window_); }));
}

// Without its window the program has nothing to show: no panel, no tray icon, no monitoring.
TEST(MainWindowCreation, FailsWithoutTheClassAndStartsNothing) {
    std::wstring root = MakeTempDir();
    std::wstring source = root + L"\\src";
    CreateDirectoryW(source.c_str(), nullptr);
    std::string sourceUtf8;
    ASSERT_TRUE(ConvertToUtf8(source, sourceUtf8));
    std::wstring pairFile = UseConfigRoot(root);
    CreateDirectoryW((root + L"\\Vantrel").c_str(), nullptr);
    WriteFileBytes(pairFile, FormatAppendLine(sourceUtf8, sourceUtf8));

    wcscpy_s(g_szWindowClass, L"NoSuchVantrelClass");
    HWND panelBefore = g_hPanelDlg;
    StopMonitoring(); // no generation left from an earlier test
    StartDebugCapture();
    // Everything CreateMainWindow starts, it starts before it returns.
    EXPECT_FALSE(CreateMainWindow(Module(), SW_SHOWNORMAL));
    EXPECT_EQ(g_hPanelDlg, panelBefore);
    EXPECT_TRUE(g_watchContexts.empty()) << g_watchContexts.size() << " watch threads";
    for (const std::wstring &line : TakeDebugOutput())
        EXPECT_EQ(line.find(L"StartMonitoring"), std::wstring::npos) << WideToUtf8(line);
    StopMonitoring();
    RemoveTree(root);
}

TEST(NoticeSink, WithTheSwitchOffShowsAMessageBoxOwnedByTheWindowEvenWhenHidden) {
    HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                 nullptr, Module(), nullptr);
    ASSERT_NE(owner, nullptr);
    g_notifyToDebugOutput = false;
    StartDebugCapture();
    std::wstring text = SampleNotice();
    std::wstring boxText;
    ModalSeen box = WithModalWindow([&] { NotifyUser(owner, text.c_str()); },
                                    [&](HWND window) {
                                        boxText = ItemText(window, 0xFFFF);
                                        PostMessageW(window, WM_COMMAND, IDOK, 0);
                                    });
    g_notifyToDebugOutput = true;
    DestroyWindow(owner);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, L"監視通知");
    EXPECT_EQ(box.owner, owner);
    EXPECT_EQ(boxText, text);
    EXPECT_TRUE(TakeDebugOutput().empty());
}

TEST(AboutBox, OkAndCancelEndTheDialogWithTheirIdentifier) {
    for (int command : {IDOK, IDCANCEL}) {
        INT_PTR result = -1;
        WithModalWindow(
            [&] {
                result = DialogBoxParamW(Module(), MAKEINTRESOURCEW(IDD_ABOUTBOX), nullptr,
                                         AboutDlgProc, 0);
            },
            [command](HWND dialog) { PostMessageW(dialog, WM_COMMAND, command, 0); });
        EXPECT_EQ(result, command);
    }
}

// ---------------------------------------------------------------------------------------------
// The built programs, started as a user starts them.

// A program of this build: next to the test programs' folder (single-configuration builds) or
// in the same configuration folder there (multi-configuration builds).
static std::wstring FindBuiltProgram(const std::wstring &folder, const std::wstring &name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    dir.resize(dir.find_last_of(L'\\'));                         // ...\tests[\Release]
    std::wstring leaf = dir.substr(dir.find_last_of(L'\\') + 1); // tests or Release
    std::wstring up = dir.substr(0, dir.find_last_of(L'\\'));    // build or ...\tests
    std::wstring upUp = up.substr(0, up.find_last_of(L'\\'));
    std::wstring sub = folder.empty() ? L"" : folder + L"\\";
    for (const std::wstring &candidate :
         {up + L"\\" + sub + name, upUp + L"\\" + sub + leaf + L"\\" + name}) {
        if (FileExists(candidate))
            return candidate;
    }
    return std::wstring();
}

// A child process whose standard output and error this test reads.
struct ChildRun {
    PROCESS_INFORMATION process = {};
    HANDLE readEnd = nullptr;
    std::thread reader;
    std::mutex mutex;
    std::string output;

    std::wstring Output() { return Utf8ToWide(Raw()); }
    std::string Raw() {
        std::lock_guard<std::mutex> lock(mutex);
        return output;
    }
};

static std::vector<wchar_t> EnvironmentWith(const std::wstring &name, const std::wstring &value) {
    std::vector<wchar_t> block;
    wchar_t *strings = GetEnvironmentStringsW();
    std::wstring prefix = name + L"=";
    for (const wchar_t *p = strings; *p; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, prefix.c_str(), prefix.size()) == 0)
            continue;
        block.insert(block.end(), p, p + wcslen(p) + 1);
    }
    FreeEnvironmentStringsW(strings);
    std::wstring entry = prefix + value;
    block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

static bool StartChild(ChildRun &run, std::wstring commandLine, std::vector<wchar_t> *environment) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&run.readEnd, &writeEnd, &inherit, 0))
        return false;
    SetHandleInformation(run.readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                                  environment ? environment->data() : nullptr, nullptr, &startup,
                                  &run.process);
    CloseHandle(writeEnd);
    if (!started)
        return false;
    run.reader = std::thread([&run] {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(run.readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> lock(run.mutex);
            run.output.append(chunk, got);
        }
    });
    return true;
}

// Waits for the child to end; returns its exit code, or -1 when it had to be ended.
static long FinishChild(ChildRun &run, DWORD timeoutMs) {
    long code = -1;
    if (WaitForSingleObject(run.process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(run.process.hProcess, &exitCode);
        code = (long)exitCode;
    } else {
        TerminateProcess(run.process.hProcess, 1);
        WaitForSingleObject(run.process.hProcess, 5000);
    }
    if (run.reader.joinable())
        run.reader.join();
    CloseHandle(run.readEnd);
    CloseHandle(run.process.hThread);
    CloseHandle(run.process.hProcess);
    return code;
}

static std::wstring Quoted(const std::wstring &path) {
    return L"\"" + path + L"\"";
}

// Run by DebugView.PrintsWideAndAnsiStringsAndPassesTheExitCodeOn inside the viewer.
TEST(DebugViewChild, DISABLED_WritesDebugStrings) {
    OutputDebugStringW(L"ワイド: 監視対象フォルダ\n");
    std::wstring ansi = L"ANSI: 複製先 ok\n";
    char bytes[256] = {};
    WideCharToMultiByte(CP_ACP, 0, ansi.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr);
    OutputDebugStringA(bytes);
    ExitProcess(7);
}

TEST(DebugView, PrintsWideAndAnsiStringsAndPassesTheExitCodeOn) {
    std::wstring viewer = FindBuiltProgram(L"tools", L"VantrelDebugView.exe");
    ASSERT_FALSE(viewer.empty());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ChildRun run;
    ASSERT_TRUE(StartChild(run,
                           Quoted(viewer) + L" " + Quoted(self) +
                               L" --gtest_also_run_disabled_tests"
                               L" --gtest_filter=DebugViewChild.DISABLED_WritesDebugStrings",
                           nullptr));
    EXPECT_EQ(FinishChild(run, 2 * kWaitMs), 7);
    // The ANSI string holds what the ANSI code page can; under a Japanese locale all of it.
    std::wstring ansi = L"ANSI: 複製先 ok\n";
    char bytes[256] = {};
    WideCharToMultiByte(CP_ACP, 0, ansi.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr);
    wchar_t roundTrip[256] = {};
    MultiByteToWideChar(CP_ACP, 0, bytes, -1, roundTrip, 256);
    std::wstring output = run.output.empty() ? L"" : Utf8ToWide(run.output);
    EXPECT_NE(output.find(L"ワイド: 監視対象フォルダ\n"), std::wstring::npos) << run.output;
    EXPECT_NE(output.find(roundTrip), std::wstring::npos) << run.output;
}

TEST(DebugView, ReportsAProgramThatCannotStart) {
    std::wstring viewer = FindBuiltProgram(L"tools", L"VantrelDebugView.exe");
    ASSERT_FALSE(viewer.empty());
    ChildRun run;
    ASSERT_TRUE(StartChild(run, Quoted(viewer) + L" C:\\no\\such\\program.exe", nullptr));
    EXPECT_EQ(FinishChild(run, 2 * kWaitMs), 2);
    EXPECT_NE(run.output.find("VantrelDebugView: CreateProcessW failed (2): "), std::string::npos)
        << run.output;

    ChildRun bare;
    ASSERT_TRUE(StartChild(bare, Quoted(viewer), nullptr));
    EXPECT_EQ(FinishChild(bare, 2 * kWaitMs), 2);
    EXPECT_NE(bare.output.find("VantrelDebugView: usage: "), std::string::npos) << bare.output;
}

TEST(SmallScreen, TheMainWindowLiesInsideTheWorkArea) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the small screen is a desktop of Wine's explorer";
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring root = MakeTempDir(), report = root + L"\\small-screen.xml";
    ChildRun run;
    ASSERT_TRUE(StartChild(run,
                           L"explorer.exe /desktop=VantrelSmall,800x600 " + Quoted(self) +
                               L" --gtest_also_run_disabled_tests"
                               L" --gtest_filter=MainWindow.DISABLED_OnASmallScreen*"
                               L" --gtest_output=xml:" +
                               report,
                           nullptr));
    FinishChild(run, 2 * kWaitMs);
    std::string xml = ReadFileBytes(report);
    EXPECT_TRUE(xml.find("\"MainWindow\" tests=\"1\" failures=\"0\"") != std::string::npos &&
                xml.find("result=\"completed\"") != std::string::npos)
        << xml << run.output;
    RemoveTree(root);
}

// The program's main windows (class MERIDAX, shown or hidden) outside the given process.
static std::vector<HWND> ProgramWindows(DWORD excludedProcess) {
    std::pair<DWORD, std::vector<HWND>> found = {excludedProcess, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto *found = reinterpret_cast<std::pair<DWORD, std::vector<HWND>> *>(param);
            wchar_t cls[64] = {};
            GetClassNameW(window, cls, 64);
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (wcscmp(cls, L"MERIDAX") == 0 && pid != found->first)
                found->second.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found.second;
}

static HWND FindProgramWindow(DWORD excludedProcess) {
    std::vector<HWND> windows = ProgramWindows(excludedProcess);
    return windows.empty() ? nullptr : windows.front();
}

TEST(Program, CopiesAFileAndPrintsItsNoticeThenExitsCleanly) {
    std::wstring program = FindBuiltProgram(L"", L"Vantrel.exe");
    std::wstring viewer = FindBuiltProgram(L"tools", L"VantrelDebugView.exe");
    ASSERT_FALSE(program.empty());
    ASSERT_FALSE(viewer.empty());

    std::wstring root = MakeTempDir();
    std::wstring source = root + L"\\監視元";
    std::wstring dest = root + L"\\複製先";
    CreateDirectoryW(source.c_str(), nullptr);
    CreateDirectoryW(dest.c_str(), nullptr);
    // A file from before the pair was registered, older than any catch-up looks back.
    WriteFileBytes(source + L"\\既存.txt", "existed before");
    ULONGLONG made = GetTickCount64();
    PumpUntil([&] { return GetTickCount64() - made > 2500; }, 5000);
    std::wstring configRoot = root + L"\\appdata";
    CreateDirectoryW(configRoot.c_str(), nullptr);
    CreateDirectoryW((configRoot + L"\\Vantrel").c_str(), nullptr);
    std::string sourceUtf8, destUtf8;
    ASSERT_TRUE(ConvertToUtf8(source, sourceUtf8));
    ASSERT_TRUE(ConvertToUtf8(dest, destUtf8));
    WriteFileBytes(configRoot + L"\\Vantrel\\folders.txt",
                   "\xEF\xBB\xBF" + FormatAppendLine(sourceUtf8, destUtf8));

    // Under Wine the debugger gets debug strings in the ANSI code page; only 932 (from a
    // ja_JP.UTF-8 locale) holds the notices' Japanese.
    if (RunningUnderWine()) {
        EXPECT_EQ(GetACP(), 932u);
    }

    std::vector<wchar_t> environment = EnvironmentWith(L"LOCALAPPDATA", configRoot);
    ChildRun run;
    ASSERT_TRUE(StartChild(run, Quoted(viewer) + L" " + Quoted(program), &environment));

    // The window and its tray icon exist before monitoring starts.
    std::wstring started = L"MonitorThread[0] started for path: " + source + L"\n";
    bool watching =
        PumpUntil([&] { return run.Output().find(started) != std::wstring::npos; }, 2 * kWaitMs);
    EXPECT_TRUE(watching) << run.Raw();
    HWND window = FindProgramWindow(GetCurrentProcessId());
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(window && TrayIconExists(window));

    // A change made before the watch's read is pending is not reported, and a notice within a
    // second of the last one is dropped. So the user adds a new file every 1.5 s until one is
    // noticed: once the read is pending, the next file is, or the one after it.
    std::wstring header = L"監視対象フォルダに変更がありました:\r\n" + source + L"\r\n\r\n";
    auto addedLine = [](int n) { return L"コピー" + std::to_wstring(n) + L".txt (追加)\r\n"; };
    int added = 0, noticed = 0;
    auto noticedFile = [&] {
        std::wstring out = run.Output();
        size_t at = out.find(header);
        for (int n = 1; at != std::wstring::npos && n <= added && !noticed; ++n)
            if (out.find(addedLine(n), at) != std::wstring::npos)
                noticed = n;
        return noticed != 0;
    };
    ULONGLONG end = GetTickCount64() + 2 * kWaitMs;
    while (watching && !noticed && GetTickCount64() < end) {
        ++added;
        WriteFileBytes(source + L"\\コピー" + std::to_wstring(added) + L".txt",
                       "mirrored bytes\r\n");
        PumpUntil(noticedFile, 1500);
    }
    ASSERT_NE(noticed, 0) << added << " files added; output:\n" << run.Raw();
    std::wstring copy = dest + L"\\コピー" + std::to_wstring(noticed) + L".txt";
    std::string copied;
    EXPECT_TRUE(
        PumpUntil([&] { return (copied = ReadFileBytes(copy)) == "mirrored bytes\r\n"; }, kWaitMs))
        << "the copy holds \"" << copied << "\"";

    // Exit from the menu: the program ends with 0 and takes its tray icon with it. (That it
    // stops monitoring before it returns is shown in this process, below.)
    if (window)
        PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    else
        TerminateProcess(run.process.hProcess, 1);
    EXPECT_EQ(FinishChild(run, 2 * kWaitMs), 0) << run.output;
    if (window) {
        EXPECT_FALSE(TrayIconExists(window));
    }

    // A file saved while the program is not running arrives when it starts again.
    EXPECT_TRUE(FileExists(configRoot + L"\\Vantrel\\mirror-points.txt"));
    WriteFileBytes(source + L"\\閉じている間.txt", "saved while closed");
    made = GetTickCount64();
    PumpUntil([&] { return GetTickCount64() - made > 2500; }, 5000); // well before the start
    ChildRun again;
    ASSERT_TRUE(StartChild(again, Quoted(viewer) + L" " + Quoted(program), &environment));
    EXPECT_TRUE(PumpUntil(
        [&] { return ReadFileBytes(dest + L"\\閉じている間.txt") == "saved while closed"; },
        2 * kWaitMs))
        << again.Raw();
    EXPECT_FALSE(FileExists(dest + L"\\既存.txt")) << "copied from before it was registered";
    PumpUntil([&] { return (window = FindProgramWindow(GetCurrentProcessId())) != nullptr; },
              kWaitMs);
    if (window)
        PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(FinishChild(again, 2 * kWaitMs), 0) << again.output;
    RemoveTree(root);
}

// Closes the named mutex to this user, as a copy started as administrator leaves its own to a
// normal start.
static bool CloseMutexToThisUser(const std::wstring &name) {
    ACL empty; // grants no one anything
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    HANDLE mutex = OpenMutexW(WRITE_DAC, FALSE, name.c_str());
    bool closed = mutex && SetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
    if (mutex)
        CloseHandle(mutex);
    return closed;
}

// Started again (a double-click while the Startup folder's shortcut runs it), the program
// shows the running one's window, restored if it was minimized, and ends: one process watches
// the pairs.
TEST(Program, ASecondStartShowsTheRunningOnesWindowAndEnds) {
    std::wstring program = FindBuiltProgram(L"", L"Vantrel.exe");
    std::wstring viewer = FindBuiltProgram(L"tools", L"VantrelDebugView.exe");
    ASSERT_FALSE(program.empty());
    ASSERT_FALSE(viewer.empty());
    std::wstring root = MakeTempDir();
    std::wstring configRoot = root + L"\\appdata";
    CreateDirectoryW((root + L"\\src").c_str(), nullptr);
    CreateDirectoryW(configRoot.c_str(), nullptr);
    CreateDirectoryW((configRoot + L"\\Vantrel").c_str(), nullptr);
    WriteFileBytes(configRoot + L"\\Vantrel\\folders.txt",
                   FormatAppendLine(WideToUtf8(root + L"\\src"), WideToUtf8(root + L"\\dst")));
    std::vector<wchar_t> environment = EnvironmentWith(L"LOCALAPPDATA", configRoot);
    std::wstring command = Quoted(viewer) + L" " + Quoted(program);

    ChildRun first;
    ASSERT_TRUE(StartChild(first, command, &environment));
    HWND window = nullptr;
    EXPECT_TRUE(PumpUntil(
        [&] {
            window = FindProgramWindow(GetCurrentProcessId());
            return window && IsWindowVisible(window) &&
                   first.Raw().find("StartMonitoring: created thread 0") != std::string::npos;
        },
        2 * kWaitMs))
        << first.Raw();
    if (window) {
        PostMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        EXPECT_TRUE(PumpUntil([&] { return IsIconic(window) != FALSE; }, kWaitMs));
    }

    ChildRun second;
    ASSERT_TRUE(StartChild(second, command, &environment));
    EXPECT_EQ(FinishChild(second, kWaitMs), 0) << second.output;
    EXPECT_EQ(second.output.find("StartMonitoring"), std::string::npos) << second.output;
    EXPECT_EQ(WaitForSingleObject(first.process.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(window &&
                PumpUntil([&] { return IsWindowVisible(window) && !IsIconic(window); }, kWaitMs));

    // Started as administrator, the running one would have made a mutex this start may not open.
    EXPECT_TRUE(CloseMutexToThisUser(InstanceMutexName(configRoot + L"\\Vantrel")));
    ChildRun refused;
    ASSERT_TRUE(StartChild(refused, command, &environment));
    EXPECT_EQ(FinishChild(refused, kWaitMs), 0) << refused.output;
    EXPECT_NE(refused.output.find("CreateMutexW denied access"), std::string::npos);
    EXPECT_EQ(refused.output.find("StartMonitoring"), std::string::npos) << refused.output;
    EXPECT_EQ(ProgramWindows(GetCurrentProcessId()).size(), 1u);

    if (window)
        PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(FinishChild(first, 2 * kWaitMs), 0) << first.output;
    RemoveTree(root);
}

// ---------------------------------------------------------------------------------------------
// The program's entry point, run in this process: wWinMain from app/main.cpp, with its own
// message loop, ended through the File menu's exit command.

static std::function<bool()> g_exitWhen;                              // when the timer exits
static ULONGLONG g_exitDeadline = 0;                                  // exits then regardless
static bool g_exitWaitedInVain = false;                               // the deadline came first
static std::vector<std::shared_ptr<WatchContext>> g_generationAtExit; // kept past the exit

// A thread timer, dispatched by wWinMain's loop: once g_exitWhen holds, keeps the running
// generation's contexts and asks the program to exit as the menu does.
static void CALLBACK ExitWhenReady(HWND, UINT, UINT_PTR timer, DWORD) {
    bool ready = g_exitWhen();
    if (!ready && GetTickCount64() < g_exitDeadline)
        return;
    KillTimer(nullptr, timer);
    g_exitWaitedInVain = !ready;
    g_generationAtExit = g_watchContexts;
    PostMessageW(g_hMainWnd, WM_COMMAND, IDM_EXIT, 0);
}

static std::string DescribeGeneration(const std::vector<std::shared_ptr<WatchContext>> &contexts) {
    std::string text;
    for (const std::shared_ptr<WatchContext> &context : contexts) {
        std::lock_guard<std::mutex> lock(context->handleLock);
        char line[160];
        snprintf(line, sizeof line, "[%zu: %s, %s%s, %u reads] ", context->index,
                 context->ended ? "ended" : "running",
                 context->dirHandle ? "folder open" : "no folder",
                 context->inRead ? ", in its read" : "", context->readsIssued.load());
        text += line;
    }
    return text.empty() ? "no watch threads" : text;
}

class EntryPoint : public testing::Test {
  protected:
    void SetUp() override {
        root_ = MakeTempDir();
        std::wstring pairFile = UseConfigRoot(root_);
        CreateDirectoryW((root_ + L"\\Vantrel").c_str(), nullptr);
        std::wstring source = root_ + L"\\監視元", dest = root_ + L"\\複製先";
        CreateDirectoryW(source.c_str(), nullptr);
        CreateDirectoryW((source + L"\\sub").c_str(), nullptr); // Wine opens it after the read
        CreateDirectoryW(dest.c_str(), nullptr);
        std::string sourceUtf8, destUtf8, missingUtf8;
        ASSERT_TRUE(ConvertToUtf8(source, sourceUtf8));
        ASSERT_TRUE(ConvertToUtf8(dest, destUtf8));
        ASSERT_TRUE(ConvertToUtf8(root_ + L"\\missing", missingUtf8));
        // The second pair's source folder does not exist: its thread waits for it to appear.
        WriteFileBytes(pairFile, "\xEF\xBB\xBF" + FormatAppendLine(sourceUtf8, destUtf8) +
                                     FormatAppendLine(missingUtf8, destUtf8));
    }

    void TearDown() override {
        StopMonitoring(); // only has work when the program left a generation running
        g_generationAtExit.clear();
        UnregisterClassW(g_szWindowClass, Module());
        RemoveTree(root_);
    }

    // Runs the program until exitWhen holds at a turn of its message loop, then exits it.
    int RunProgramExitingWhen(const std::function<bool()> &exitWhen) {
        g_exitWhen = exitWhen;
        g_exitDeadline = GetTickCount64() + kWaitMs;
        g_exitWaitedInVain = false;
        g_generationAtExit.clear();
        UINT_PTR timer = SetTimer(nullptr, 0, 10, ExitWhenReady);
        EXPECT_NE(timer, 0u);
        int code = wWinMain(Module(), nullptr, const_cast<wchar_t *>(L""), SW_SHOWNORMAL);
        KillTimer(nullptr, timer);
        return code;
    }

    // When wWinMain has returned, monitoring has stopped: every watch thread of the generation
    // it ran has ended and closed its folder, whatever it was doing when the exit came.
    void ExpectMonitoringStoppedAfter(int exitCode) {
        EXPECT_EQ(exitCode, 0);
        EXPECT_FALSE(g_exitWaitedInVain)
            << "the state to exit in never came: " << DescribeGeneration(g_generationAtExit);
        ASSERT_EQ(g_generationAtExit.size(), 2u) << "one watch thread per pair";
        for (const std::shared_ptr<WatchContext> &context : g_generationAtExit) {
            std::string state = DescribeGeneration({context});
            std::lock_guard<std::mutex> lock(context->handleLock);
            EXPECT_TRUE(context->ended) << state;
            EXPECT_EQ(context->dirHandle, nullptr) << state;
        }
        EXPECT_TRUE(g_watchContexts.empty()) << "no generation is left running";
        EXPECT_FALSE(IsWindow(g_hMainWnd));
        EXPECT_FALSE(TrayIconExists(g_hMainWnd));
    }

    std::wstring root_;
};

TEST_F(EntryPoint, StopsMonitoringBeforeReturningWhenExitedAtOnce) {
    // At the loop's first turn the watch threads may not have opened their folders yet.
    ExpectMonitoringStoppedAfter(RunProgramExitingWhen([] { return true; }));
}

TEST_F(EntryPoint, StopsMonitoringBeforeReturningWhenExitedWhileTheThreadsRead) {
    int code = RunProgramExitingWhen([] {
        if (g_watchContexts.empty())
            return false;
        for (const std::shared_ptr<WatchContext> &context : g_watchContexts)
            if (!context->ended && !(context->inRead && context->readsIssued > 0) &&
                FileExists(context->path))
                return false;
        return true;
    });
    ExpectMonitoringStoppedAfter(code);
}
