// Vantrel's entry point: the user-interface thread from start-up to exit.
#include "app/main_window.h"
#include "app/single_instance.h"
#include "monitor/monitor.h"
#include "monitor/saved_points.h"
#include "res/resource.h"

#include <objbase.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    LoadStringW(instance, IDC_MAINCLASS, g_szWindowClass, 100);
    // Held until we return, past the last write of the mirror points.
    InstanceClaim claim(nullptr, EndInstanceClaim);
    if (!ClaimInstanceOrShowRunningOne(claim, g_szWindowClass))
        return 0;

    // Only the folder picker needs COM; the program runs on without it.
    bool comReady =
        SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    LoadStringW(instance, IDS_APP_TITLE, g_szTitle, 100);
    RegisterMainWindowClass(instance);
    if (!CreateMainWindow(instance, showCommand)) {
        if (comReady)
            CoUninitialize();
        return 0;
    }
    MarkInstanceWindow(g_hMainWnd);
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_MAINCLASS));

    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0))
        DispatchLoopMessage(msg, accelerators);

    // Watch threads still post to the main window and use the monitor's tables, which static
    // destruction tears down after we return: end them first.
    StopMonitoring();
    FinishKeepingPoints(); // the mirror points, kept for the next run
    if (comReady)
        CoUninitialize();
    return (int)msg.wParam;
}
