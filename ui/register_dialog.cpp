// The pair registration dialog (IDD_REGISTER).
//
// A typed or pasted path loses the blanks and one pair of quotes around it (Explorer's "copy
// as path" quotes it). A pair that would harm is refused with a warning, as the empty field is
// (store/pair_check.h): a relative or drive-relative path, a destination that is the source.
//
// A pair is registered so that it reads back from the pair file as the user typed it. The
// append form carries paths without escapes, so some paths would come back changed: the
// leading "\\" of a UNC path reads back as one backslash (a folder on the current drive), and
// a backslash before a comma disappears. Such a pair is registered by rewriting the whole
// file, whose escaped form carries them. A destination that holds a comma, or a path with a
// line break, cannot be carried by either form and is refused: a pair that silently mirrors
// into another folder is worse than one the user must retype.
#include "ui/register_dialog.h"

#include "app/main_window.h"
#include "monitor/monitor.h"
#include "res/resource.h"
#include "store/pair_check.h"
#include "store/pair_table.h"
#include "store/pair_writer.h"

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

// Short lines: a message box wraps long ones at awkward places.
static const wchar_t *RefusalText(const std::wstring &dest) {
    if (dest.find(L',') != std::wstring::npos)
        return L"複製先フォルダパスにカンマ (,) が\n"
               L"含まれているため登録できません。\n"
               L"別のフォルダを指定してください。";
    return L"フォルダパスに改行など登録できない\n"
           L"文字が含まれています。\n"
           L"フォルダパスを確認してください。";
}

// The picker opens at the folder the edit names, if it names one.
static void BrowseInto(HWND dialog, int targetEdit) {
    wchar_t typed[4096] = {};
    GetDlgItemTextW(dialog, targetEdit, typed, 4096);
    std::wstring selectedPath = TrimTypedPath(typed);
    if (BrowseForFolder(dialog, selectedPath))
        SetDlgItemTextW(dialog, targetEdit, selectedPath.c_str());
}

static void SavePair(HWND dialog) {
    wchar_t buf1[4096] = {};
    wchar_t buf2[4096] = {};
    GetDlgItemTextW(dialog, IDC_EDIT_SOURCE, buf1, 4096);
    GetDlgItemTextW(dialog, IDC_EDIT_DEST, buf2, 4096);
    std::wstring source = TrimTypedPath(buf1), dest = TrimTypedPath(buf2), err;
    if (source.empty() || dest.empty()) {
        MessageBoxW(dialog, L"両方のフォルダを入力してください。", L"警告", MB_OK | MB_ICONWARNING);
        return;
    }
    PairRefusal refusal = CheckFolderPair(source, dest);
    if (refusal != PairRefusal::None) {
        UINT text = refusal == PairRefusal::SameFolder ? IDS_REFUSED_SAME : IDS_REFUSED_RELATIVE;
        MessageBoxW(dialog, LoadResourceText(text).c_str(), L"警告", MB_OK | MB_ICONWARNING);
        return;
    }

    bool saved = false;
    switch (ChoosePairLineForm(source, dest)) {
    case kAppendLine:
        saved = AppendFolderPair(source, dest, err);
        break;
    case kRewriteFile:
        saved = AppendFolderPairByRewrite(source, dest, err);
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
