#include "app/notice_sink.h"

#include "app/main_window.h"

void NotifyUser(HWND owner, const wchar_t *text) {
    if (g_notifyToDebugOutput)
        OutputDebugStringW(text);
    else
        MessageBoxW(owner, text, L"監視通知", MB_OK | MB_ICONINFORMATION);
}
