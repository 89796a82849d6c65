// The pair registration dialog (IDD_REGISTER).
//
// A pair is registered so that it reads back from the pair file as the user typed it. The
// append form carries paths without escapes, so some paths would come back changed: the
// leading "\\" of a UNC path reads back as one backslash (a folder on the current drive), a
// backslash before a comma disappears, and "C:" comes back as "C:\". Such a pair is registered
// by rewriting the whole file, whose escaped form carries them. A destination that holds a
// comma, or a path with a line break, cannot be carried by either form and is refused: a
// pair that silently mirrors into another folder is worse than one the user must retype.
#include "ui/register_dialog.h"

#include "monitor/monitor.h"
#include "res/resource.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"

#include <vector>

// How a new pair goes into the pair file.
enum PairLineForm {
    kAppendLine,  // appended as it is
    kRewriteFile, // the whole file rewritten, the new pair last
    kNoLineForm,  // no form reads back as typed
};

// The path as the reader hands it back at best: trailing separators go, a drive root stays.
static std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

// True when the pair line (line feed included) decodes to exactly source and dest, up to the
// trailing separators that every path loses on reading.
static bool LineReadsBackAs(std::string line, const std::wstring &source,
                            const std::wstring &dest) {
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1)
        return false;
    line.pop_back();
    std::wstring readSource, readDest;
    if (!DecodePairLine(line, readSource, readDest))
        return false;
    return readSource == WithoutTrailingSeparators(source) &&
           readDest == WithoutTrailingSeparators(dest);
}

static PairLineForm ChoosePairLineForm(const std::wstring &source, const std::wstring &dest) {
    std::string sa, sb;
    if (!ConvertToUtf8(source, sa) || !ConvertToUtf8(dest, sb))
        return kAppendLine; // the append reports the failed conversion in its own words
    if (LineReadsBackAs(FormatAppendLine(sa, sb), source, dest))
        return kAppendLine;
    if (LineReadsBackAs(FormatRewriteLine(sa, sb), source, dest))
        return kRewriteFile;
    return kNoLineForm;
}

// Rewrites the pair file as the pairs it holds now plus the new one. The table is only
// borrowed for the rewrite: it is put back as it was, and the restart reloads it from the file.
static bool RegisterByRewrite(const std::wstring &source, const std::wstring &dest,
                              std::wstring &err) {
    std::vector<std::wstring> runningSources, runningDests;
    runningSources.swap(g_sourceFolders);
    runningDests.swap(g_destFolders);
    LoadFolderPairs();
    g_sourceFolders.push_back(source);
    g_destFolders.push_back(dest);
    bool saved = SaveAllFolderPairs(err);
    g_sourceFolders.swap(runningSources);
    g_destFolders.swap(runningDests);
    return saved;
}

static const wchar_t *RefusalText(const std::wstring &dest) {
    if (dest.find(L',') != std::wstring::npos)
        return L"複製先フォルダパスにカンマ (,) が含まれています。\n"
               L"カンマを含む複製先フォルダは登録できません。別のフォルダを指定してください。";
    return L"フォルダパスに改行など登録できない文字が含まれています。\n"
           L"フォルダパスを確認してください。";
}

static void BrowseInto(HWND dialog, int targetEdit) {
    std::wstring selectedPath;
    if (BrowseForFolder(dialog, selectedPath))
        SetDlgItemTextW(dialog, targetEdit, selectedPath.c_str());
}

static void SavePair(HWND dialog) {
    wchar_t buf1[4096] = {};
    wchar_t buf2[4096] = {};
    GetDlgItemTextW(dialog, IDC_EDIT_SOURCE, buf1, 4096);
    GetDlgItemTextW(dialog, IDC_EDIT_DEST, buf2, 4096);
    if (buf1[0] == L'\0' || buf2[0] == L'\0') {
        MessageBoxW(dialog, L"両方のフォルダを入力してください。", L"警告",
                    MB_OK | MB_ICONWARNING);
        return;
    }

    std::wstring source = buf1, dest = buf2, err;
    bool saved = false;
    switch (ChoosePairLineForm(source, dest)) {
    case kAppendLine:
        saved = AppendFolderPair(source, dest, err);
        break;
    case kRewriteFile:
        saved = RegisterByRewrite(source, dest, err);
        break;
    case kNoLineForm:
        MessageBoxW(dialog, RefusalText(dest), L"警告", MB_OK | MB_ICONWARNING);
        return;
    }
    if (!saved) {
        MessageBoxW(dialog, err.c_str(), L"エラー", MB_OK | MB_ICONERROR);
        return;
    }

    MessageBoxW(dialog, L"保存しました。", L"情報", MB_OK | MB_ICONINFORMATION);
    StopMonitoring();
    StartMonitoring();
    EndDialog(dialog, IDC_BTN_SAVE);
}

static INT_PTR OnRegisterCommand(HWND dialog, int command) {
    switch (command) {
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    case IDC_BTN_BROWSE_SOURCE:
        BrowseInto(dialog, IDC_EDIT_SOURCE);
        return TRUE;
    case IDC_BTN_BROWSE_DEST:
        BrowseInto(dialog, IDC_EDIT_DEST);
        return TRUE;
    case IDC_BTN_SAVE:
        SavePair(dialog);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK RegisterDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_DESTROY:
        return TRUE;
    case WM_COMMAND:
        return OnRegisterCommand(dialog, LOWORD(wParam));
    }
    return FALSE;
}
