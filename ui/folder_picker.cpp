// The folder picker: the shell's file-open dialog object switched to folder picking. Every
// failure, the user's cancel included, is silent; the caller just keeps what it had.
#include "ui/register_dialog.h"

#include <shobjidl.h>

bool BrowseForFolder(HWND owner, std::wstring &selectedPath) {
    IFileOpenDialog *pfd = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFileOpenDialog, reinterpret_cast<void **>(&pfd));
    if (FAILED(hr) || !pfd)
        return false;

    DWORD dwOptions = 0;
    if (FAILED(pfd->GetOptions(&dwOptions)) || FAILED(pfd->SetOptions(dwOptions | FOS_PICKFOLDERS)) ||
        FAILED(pfd->Show(owner))) {
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
    return picked;
}
