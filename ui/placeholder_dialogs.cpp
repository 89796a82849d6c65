// Placeholder dialog procedures until the configuration dialogs exist: they only close.
#include "ui/list_dialog.h"
#include "ui/register_dialog.h"

static INT_PTR ClosingDialogProc(HWND dialog, UINT message, WPARAM wParam) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK RegisterDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return ClosingDialogProc(dialog, message, wParam);
}

INT_PTR CALLBACK ChildDlg2Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return ClosingDialogProc(dialog, message, wParam);
}

bool BrowseForFolder(HWND, std::wstring &) {
    return false;
}
