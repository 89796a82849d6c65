// The pair list dialog (IDD_LIST).
//
// The list view is created when the dialog opens and has no sorting, so row i always shows
// pair i of the table. The pair file may change while the dialog is open (a pair added by
// hand): a deletion takes the row's pair out of the file as it is at that moment, never
// rewrites the file from the table loaded when the rows were filled. After a deletion, failed
// or not, both the table and the rows are rebuilt from the pair file, which keeps them aligned.
#include "ui/list_dialog.h"

#include "app/main_window.h"
#include "monitor/monitor.h"
#include "monitor/trace.h"
#include "res/resource.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"

#include <commctrl.h>

static void FillPairList(HWND listView) {
    for (size_t i = 0; i < g_sourceFolders.size(); ++i) {
        LVITEMW it = {};
        it.mask = LVIF_TEXT;
        it.iItem = (int)i;
        it.iSubItem = 0;
        it.pszText = const_cast<wchar_t *>(g_sourceFolders[i].c_str());
        SendMessageW(listView, LVM_INSERTITEMW, 0, (LPARAM)&it);
        if (i < g_destFolders.size()) {
            LVITEMW sub = {};
            sub.iSubItem = 1;
            sub.pszText = const_cast<wchar_t *>(g_destFolders[i].c_str());
            SendMessageW(listView, LVM_SETITEMTEXTW, i, (LPARAM)&sub);
        }
    }
}

static void RefillPairList(HWND listView) {
    SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
    FillPairList(listView);
}

static void OnListInitDialog(HWND dialog) {
    INITCOMMONCONTROLSEX icex = {sizeof icex, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icex);

    HWND listView = GetDlgItem(dialog, IDC_LISTVIEW);
    if (!listView) {
        RECT rc;
        GetClientRect(dialog, &rc);
        listView = CreateWindowExW(0, WC_LISTVIEWW, nullptr,
                                   WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL, 10, 10,
                                   rc.right - rc.left - 20, rc.bottom - rc.top - 20, dialog,
                                   (HMENU)(INT_PTR)IDC_LISTVIEW, g_hInst, nullptr);
    }
    if (!listView)
        return;
    Trace256(L"ChildDlg2Proc: listview handle=%p\n", listView);

    SendMessageW(listView, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    LVCOLUMNW col = {};
    col.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.cx = 300;
    col.pszText = const_cast<wchar_t *>(L"Source Folder");
    SendMessageW(listView, LVM_INSERTCOLUMNW, 0, (LPARAM)&col);
    col.cx = 300;
    col.pszText = const_cast<wchar_t *>(L"Destination Folder");
    SendMessageW(listView, LVM_INSERTCOLUMNW, 1, (LPARAM)&col);

    LoadFolderPairs();
    Trace256(L"ChildDlg2Proc: loaded %zu entries\n", g_sourceFolders.size());
    FillPairList(listView);
    Trace256(L"ChildDlg2Proc: inserted %zu items\n", g_sourceFolders.size());
}

static int SelectedRow(HWND listView) {
    return (int)SendMessageW(listView, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
}

static void ShowPairContextMenu(HWND dialog, HWND requestedIn, LPARAM position) {
    HWND listView = GetDlgItem(dialog, IDC_LISTVIEW);
    if (!listView || requestedIn != listView)
        return;

    POINT pt;
    if (position == -1) {
        // From the keyboard: at the selected row, and only when there is one.
        int row = SelectedRow(listView);
        if (row < 0)
            return;
        RECT r = {};
        r.left = LVIR_LABEL;
        SendMessageW(listView, LVM_GETITEMRECT, row, (LPARAM)&r);
        pt = {r.left, r.top};
        ClientToScreen(listView, &pt);
    } else {
        // Signed: a screen left of or above the primary one has negative coordinates.
        pt = {(short)LOWORD(position), (short)HIWORD(position)};
    }

    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    InsertMenuW(menu, (UINT)-1, MF_BYPOSITION | MF_STRING, ID_LIST_DELETE, L"削除(&D)");
    // Without this the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(dialog);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, pt.x, pt.y, 0, dialog, nullptr);
    DestroyMenu(menu);
}

static void DeleteSelectedPair(HWND dialog) {
    HWND listView = GetDlgItem(dialog, IDC_LISTVIEW);
    int row = listView ? SelectedRow(listView) : -1;
    if (row < 0 || (size_t)row >= g_sourceFolders.size())
        return;

    // The row's pair, and which of the equal pairs before it: the file holds duplicates too.
    auto destOf = [](size_t i) {
        return i < g_destFolders.size() ? g_destFolders[i] : std::wstring();
    };
    std::wstring source = g_sourceFolders[row], dest = destOf(row);
    size_t occurrence = 0;
    for (size_t i = 0; i < (size_t)row; ++i)
        occurrence += g_sourceFolders[i] == source && destOf(i) == dest ? 1 : 0;

    std::wstring err;
    if (RemoveFolderPair(source, dest, occurrence, err)) {
        StopMonitoring();
        LoadFolderPairs();
        StartMonitoring();
    } else {
        MessageBoxW(dialog, err.c_str(), L"エラー", MB_OK | MB_ICONERROR);
        // The failed rewrite left the file as it was: the rows show it again.
        LoadFolderPairs();
    }
    RefillPairList(listView);
}

static INT_PTR OnListCommand(HWND dialog, int command) {
    switch (command) {
    case IDOK:
    case IDCANCEL:
        EndDialog(dialog, command);
        return TRUE;
    case ID_LIST_DELETE:
        DeleteSelectedPair(dialog);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK ChildDlg2Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnListInitDialog(dialog);
        return TRUE;
    case WM_CONTEXTMENU:
        ShowPairContextMenu(dialog, (HWND)wParam, lParam);
        return FALSE;
    case WM_COMMAND:
        return OnListCommand(dialog, LOWORD(wParam));
    case WM_DESTROY:
        return TRUE;
    }
    return FALSE;
}
