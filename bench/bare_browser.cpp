// The bare baseline of the chooser's start: a program that only opens the
// shell's folder browser (as the chooser does, without extending it) and ends
// when it is closed. The benchmark times its window against Porterly's.
#include <windows.h>
#include <shlobj.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char szDisplayName[MAX_PATH];
    BROWSEINFOA bi = {};
    bi.pszDisplayName = szDisplayName;
    bi.lpszTitle = "bare browser";
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST pidl = SHBrowseForFolderA(&bi);
    if (pidl != NULL)
        CoTaskMemFree(pidl);
    return 0;
}
