// The folder picker: the shell's file-open dialog object switched to folder picking, for
// folders with a file-system path only. A cancel and a failure to show it are silent; the
// caller just keeps what it had.
#include "ui/register_dialog.h"

#include "app/main_window.h"
#include "res/resource.h"

#include <shobjidl.h>

// Opens the picker at `folder` when it names a folder that exists; where it opens otherwise is
// the shell's choice.
static void StartAt(IFileOpenDialog *pfd, const std::wstring &folder) {
    DWORD attributes =
        folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    IShellItem *item = nullptr;
    if (SUCCEEDED(SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void **>(&item))) &&
        item) {
        pfd->SetFolder(item);
        item->Release();
    }
}

bool BrowseForFolder(HWND owner, std::wstring &selectedPath) {
    IFileOpenDialog *pfd = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFileOpenDialog, reinterpret_cast<void **>(&pfd));
    if (FAILED(hr) || !pfd)
        return false;

    // Libraries, "PC" and the like are offered only to pickers that take items without a path.
    DWORD dwOptions = 0;
    if (FAILED(pfd->GetOptions(&dwOptions)) ||
        FAILED(pfd->SetOptions(dwOptions | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM |
                               FOS_PATHMUSTEXIST))) {
        pfd->Release();
        return false;
    }
    StartAt(pfd, selectedPath);
    if (FAILED(pfd->Show(owner))) {
        pfd->Release();
        return false;
    }

    IShellItem *psi = nullptr;
    if (FAILED(pfd->GetResult(&psi)) || !psi) {
        pfd->Release();
        return false;
    }

    bool picked = false;
    PWSTR pszFilePath = nullptr;
    if (SUCCEEDED(psi->GetDisplayName(SIGDN_FILESYSPATH, &pszFilePath)) && pszFilePath) {
        selectedPath = pszFilePath;
        CoTaskMemFree(pszFilePath);
        picked = true;
    }
    psi->Release();
    pfd->Release();
    // An unsynced cloud item can still get here: the user chose something and must hear why
    // nothing came of it.
    if (!picked)
        MessageBoxW(owner, LoadResourceText(IDS_PICKED_NO_FOLDER).c_str(), L"警告",
                    MB_OK | MB_ICONWARNING);
    return picked;
}
