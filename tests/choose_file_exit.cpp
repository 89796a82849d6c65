// Chooses File > 終了する in a running Vantrel, as a click on that menu item does: posts the
// item's command to the program's main window. The command and the window class are read from
// the given Vantrel.exe's own resources: under Wine another process's menu bar cannot be read.
// Used by the release test on the unpacked zip.
//
//   choose_file_exit.exe PATH\Vantrel.exe
//
// Waits up to 30 s for the window. Exit code 0 when the command was posted, 1 otherwise.
#include "res/resource.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

static int Fail(const char *what) {
    std::fprintf(stderr, "choose_file_exit: %s\n", what);
    return 1;
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 2)
        return Fail("usage: choose_file_exit.exe PATH\\Vantrel.exe");
    HMODULE program = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!program)
        return Fail("cannot load the program's resources");
    wchar_t windowClass[100] = {};
    LoadStringW(program, IDC_MAINCLASS, windowClass, 100);
    HMENU bar = LoadMenuW(program, MAKEINTRESOURCEW(IDC_MAINCLASS));
    HMENU fileMenu = bar ? GetSubMenu(bar, 0) : nullptr;
    UINT command = fileMenu ? GetMenuItemID(fileMenu, 0) : (UINT)-1;
    wchar_t text[64] = {};
    if (fileMenu)
        GetMenuStringW(fileMenu, 0, text, 64, MF_BYPOSITION);
    if (bar)
        DestroyMenu(bar);
    FreeLibrary(program);
    if (command == (UINT)-1 || wcscmp(text, L"終了する(&X)") != 0)
        return Fail("the File menu's first item is not 終了する(&X)");

    HWND window = nullptr;
    for (int waited = 0; !window && waited < 30000; waited += 100) {
        window = FindWindowW(windowClass, nullptr);
        if (!window)
            Sleep(100);
    }
    if (!window)
        return Fail("no Vantrel window");
    if (!PostMessageW(window, WM_COMMAND, MAKEWPARAM(command, 0), 0))
        return Fail("PostMessageW failed");
    std::printf("choose_file_exit: posted File > 終了する(&X), command %u\n", command);
    return 0;
}
