// porterly-setup.exe: puts Porterly into the current user's Send To menu (a
// shortcut Porterly.lnk to the porterly.exe beside this program, and the drop
// target through which the shell hands over selections of any size) and takes
// it out again, optionally with the saved settings and history. Without
// arguments it asks in a small dialog; /install, /uninstall [/purge] and
// /quiet serve scripts. Exit status: 0 done, 1 failed, 2 bad arguments.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include "dropreg.h"
#include "settingskey.h"
#include "setupres.h"
#include "texts.h"
#include "version.h"

#define EXIT_DONE     0
#define EXIT_FAILED   1
#define EXIT_BAD_ARGS 2

#define PROGRAM_NAME  "porterly.exe"
#define SHORTCUT_NAME "Porterly.lnk"
#define MESSAGE_SIZE  4096

// The outcome of one action: exit status, message box icon and the text.
struct Outcome {
    int nStatus;
    UINT uIcon;
    char szText[MESSAGE_SIZE];
};

static void setOutcome(Outcome *pOut, int nStatus, UINT uIcon, UINT uFormat,
                       const char *pszArg = "") {
    pOut->nStatus = nStatus;
    pOut->uIcon = uIcon;
    _snprintf(pOut->szText, MESSAGE_SIZE - 1, loadText(uFormat), pszArg);
    pOut->szText[MESSAGE_SIZE - 1] = '\0';
}

static void appendOutcome(Outcome *pOut, UINT uText, const char *pszArg = "") {
    size_t cb = strlen(pOut->szText);
    _snprintf(pOut->szText + cb, MESSAGE_SIZE - 1 - cb, "\n\n");
    cb = strlen(pOut->szText);
    _snprintf(pOut->szText + cb, MESSAGE_SIZE - 1 - cb, loadText(uText), pszArg);
}

// ---------------------------------------------------------------- paths

// Paths are taken with the wide calls (the ANSI ones assume MAX_PATH bytes,
// too few in UTF-8) and used in the process's code page, into PATH_BYTES;
// one the code page cannot hold exactly (code page 932 on Windows before 10
// version 1903) is refused: a changed path would name another folder.

// porterly.exe in this program's folder: 0, or the text saying why not.
static UINT getProgramPath(char *pszPath) {
    WCHAR szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameW(NULL, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return IDS_SETUP_FOLDER_TOO_LONG;
    WCHAR *pSep = wcsrchr(szPath, L'\\');
    size_t cchFolder = pSep != NULL ? (size_t)(pSep + 1 - szPath) : 0;
    if (cchFolder + sizeof(PROGRAM_NAME) > MAX_PATH)
        return IDS_SETUP_FOLDER_TOO_LONG;
    wcscpy(szPath + cchFolder, L"" PROGRAM_NAME);
    return toAnsi(szPath, pszPath, PATH_BYTES) ? 0 : IDS_SETUP_FOLDER_FOREIGN;
}

static BOOL getShortcutPath(char *pszPath, BOOL bCreateFolder) {
    int nFolder = CSIDL_SENDTO | (bCreateFolder ? CSIDL_FLAG_CREATE : 0);
    WCHAR szPath[MAX_PATH];
    if (FAILED(SHGetFolderPathW(NULL, nFolder, NULL, SHGFP_TYPE_CURRENT, szPath)))
        return FALSE;
    size_t cch = wcslen(szPath);
    if (cch + 1 + sizeof(SHORTCUT_NAME) > MAX_PATH)
        return FALSE;
    wcscpy(szPath + cch, L"\\" SHORTCUT_NAME);
    return toAnsi(szPath, pszPath, PATH_BYTES);
}

// ---------------------------------------------------------------- the shortcut

enum ShortcutState { SHORTCUT_NONE, SHORTCUT_OURS, SHORTCUT_FOREIGN };

// The wide interface, so that the shortcut keeps any name whatever the
// shell's ANSI conversions do.
static IShellLinkW *newShellLink(IPersistFile **ppFile) {
    IShellLinkW *pLink = NULL;
    *ppFile = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                (void **)&pLink)))
        return NULL;
    if (FAILED(pLink->QueryInterface(IID_IPersistFile, (void **)ppFile))) {
        pLink->Release();
        return NULL;
    }
    return pLink;
}

// Ours means the shortcut, read back through the shell, starts a file named
// porterly.exe. One that cannot be read is not ours either: it stays.
static ShortcutState readShortcut(const char *pszLink, char *pszTarget) {
    pszTarget[0] = '\0';
    if (GetFileAttributesA(pszLink) == INVALID_FILE_ATTRIBUTES)
        return SHORTCUT_NONE;
    WCHAR wszLink[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, pszLink, -1, wszLink, MAX_PATH) == 0)
        return SHORTCUT_FOREIGN;
    IPersistFile *pFile;
    IShellLinkW *pLink = newShellLink(&pFile);
    if (pLink == NULL)
        return SHORTCUT_FOREIGN;
    WCHAR wszTarget[MAX_PATH] = L"";
    if (FAILED(pFile->Load(wszLink, STGM_READ)) ||
        FAILED(pLink->GetPath(wszTarget, MAX_PATH, NULL, SLGP_RAWPATH)))
        wszTarget[0] = L'\0';
    pFile->Release();
    pLink->Release();
    toAnsi(wszTarget, pszTarget, PATH_BYTES);
    WCHAR *pSep = wcsrchr(wszTarget, L'\\');
    const WCHAR *pszName = pSep != NULL ? pSep + 1 : wszTarget;
    return compareNames(pszName, L"" PROGRAM_NAME) == 0 ? SHORTCUT_OURS : SHORTCUT_FOREIGN;
}

static BOOL writeShortcut(const char *pszLink, const char *pszProgram) {
    WCHAR wszLink[MAX_PATH], wszProgram[MAX_PATH], wszFolder[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, pszLink, -1, wszLink, MAX_PATH) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, pszProgram, -1, wszProgram, MAX_PATH) == 0)
        return FALSE;
    wcscpy(wszFolder, wszProgram);
    WCHAR *pSep = wcsrchr(wszFolder, L'\\');
    if (pSep != NULL)
        *pSep = L'\0';
    const WCHAR *pDescription = NULL;
    int cch = LoadStringW(GetModuleHandleA(NULL), IDS_SETUP_DESCRIPTION, (LPWSTR)&pDescription, 0);
    WCHAR wszDescription[INFOTIPSIZE] = L"";
    if (cch > 0 && cch < INFOTIPSIZE)
        lstrcpynW(wszDescription, pDescription, cch + 1);
    IPersistFile *pFile;
    IShellLinkW *pLink = newShellLink(&pFile);
    if (pLink == NULL)
        return FALSE;
    BOOL bDone =
        SUCCEEDED(pLink->SetPath(wszProgram)) && SUCCEEDED(pLink->SetWorkingDirectory(wszFolder)) &&
        SUCCEEDED(pLink->SetIconLocation(wszProgram, 0)) &&
        SUCCEEDED(pLink->SetDescription(wszDescription)) && SUCCEEDED(pFile->Save(wszLink, TRUE));
    pFile->Release();
    pLink->Release();
    return bDone;
}

// ---------------------------------------------------------------- actions

static void install(Outcome *pOut) {
    char szProgram[PATH_BYTES], szLink[PATH_BYTES], szTarget[PATH_BYTES];
    UINT uFailure = getProgramPath(szProgram);
    if (uFailure != 0) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, uFailure);
        return;
    }
    DWORD dwAttr = GetFileAttributesA(szProgram);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_NO_PROGRAM, szProgram);
        return;
    }
    if (!getShortcutPath(szLink, TRUE)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_NO_SENDTO);
        return;
    }
    ShortcutState state = readShortcut(szLink, szTarget);
    if (state == SHORTCUT_FOREIGN) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_FOREIGN_LINK, szLink);
        return;
    }
    // The drop target follows the shortcut's rule: another program's entry stays.
    char szRegistered[PATH_BYTES];
    AppPathState appPath = readAppPath(szRegistered, szProgram);
    if (appPath == APP_PATH_FOREIGN) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_FOREIGN_APP_PATH, szRegistered);
        return;
    }
    if (!writeShortcut(szLink, szProgram)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_LINK_FAILED, szLink);
        return;
    }
    if (!registerDropTarget(HKEY_CURRENT_USER, szProgram)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_DROP_FAILED, szProgram);
        return;
    }
    setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION,
               state == SHORTCUT_OURS ? IDS_SETUP_UPDATED : IDS_SETUP_ADDED, szProgram);
    if (appPath == APP_PATH_COPY)
        appendOutcome(pOut, IDS_SETUP_DROP_MOVED, szRegistered);
}

// Deletes a key with everything below it. Only ever called for the program's
// own settings key.
static LONG deleteKeyTree(HKEY hParent, const char *pszName) {
    HKEY hKey;
    LONG lResult = RegOpenKeyExA(hParent, pszName, 0, KEY_READ, &hKey);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    char szChild[256];
    DWORD cch = sizeof(szChild);
    while (lResult == ERROR_SUCCESS &&
           RegEnumKeyExA(hKey, 0, szChild, &cch, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
        lResult = deleteKeyTree(hKey, szChild);
        cch = sizeof(szChild);
    }
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS ? RegDeleteKeyA(hParent, pszName) : lResult;
}

// The program's folder in the local application data, with what is in it.
static void purgeDataFolder() {
    WCHAR szPath[MAX_PATH + 2] = L"";
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, szPath)) ||
        wcslen(szPath) + wcslen(PORTERLY_DATA_FOLDER) >= MAX_PATH)
        return;
    wcscat(szPath, PORTERLY_DATA_FOLDER);
    if (GetFileAttributesW(szPath) == INVALID_FILE_ATTRIBUTES)
        return;
    szPath[wcslen(szPath) + 1] = L'\0'; // the list's second NUL
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = szPath;
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

// The maker's key goes too, but only when nothing else is left in it.
static void purgeSettings(Outcome *pOut) {
    purgeDataFolder();
    LONG lResult = deleteKeyTree(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
    if (lResult != ERROR_SUCCESS && lResult != ERROR_FILE_NOT_FOUND) {
        pOut->nStatus = EXIT_FAILED;
        pOut->uIcon = MB_ICONERROR;
        appendOutcome(pOut, IDS_SETUP_PURGE_FAILED);
        return;
    }
    HKEY hMaker;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, PORTERLY_MAKER_KEY, 0, KEY_READ, &hMaker) ==
        ERROR_SUCCESS) {
        DWORD cSubKeys = 1, cValues = 1;
        RegQueryInfoKeyA(hMaker, NULL, NULL, NULL, &cSubKeys, NULL, NULL, &cValues, NULL, NULL,
                         NULL, NULL);
        RegCloseKey(hMaker);
        if (cSubKeys == 0 && cValues == 0)
            RegDeleteKeyA(HKEY_CURRENT_USER, PORTERLY_MAKER_KEY);
    }
    appendOutcome(pOut, lResult == ERROR_SUCCESS ? IDS_SETUP_PURGED : IDS_SETUP_NO_SETTINGS);
}

static void uninstall(BOOL bPurge, Outcome *pOut) {
    char szLink[PATH_BYTES], szTarget[PATH_BYTES];
    if (!getShortcutPath(szLink, FALSE)) {
        setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION, IDS_SETUP_NOT_IN_MENU);
    } else {
        switch (readShortcut(szLink, szTarget)) {
        case SHORTCUT_NONE:
            setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION, IDS_SETUP_NOT_IN_MENU);
            break;
        case SHORTCUT_FOREIGN:
            setOutcome(pOut, EXIT_DONE, MB_ICONWARNING, IDS_SETUP_LINK_LEFT, szLink);
            break;
        case SHORTCUT_OURS:
            if (DeleteFileA(szLink))
                setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION, IDS_SETUP_REMOVED);
            else
                setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, IDS_SETUP_DELETE_FAILED, szLink);
            break;
        }
    }
    // Another copy's registration stays, as its shortcut does.
    char szProgram[PATH_BYTES];
    if (getProgramPath(szProgram) == 0 && !unregisterDropTarget(HKEY_CURRENT_USER, szProgram)) {
        pOut->nStatus = EXIT_FAILED;
        pOut->uIcon = MB_ICONERROR;
        appendOutcome(pOut, IDS_SETUP_DROP_LEFT);
    }
    if (bPurge)
        purgeSettings(pOut);
}

// ---------------------------------------------------------------- dialog

static void showOutcome(HWND hOwner, const Outcome *pOut) {
    showText(hOwner, pOut->szText, pOut->uIcon | MB_OK);
}

static void followChoice(HWND hDlg) {
    EnableWindow(GetDlgItem(hDlg, IDC_PURGE), IsDlgButtonChecked(hDlg, IDC_UNINSTALL));
}

static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (uMsg) {
    case WM_INITDIALOG: {
        HICON hIcon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDI_GROUP));
        SendMessageA(hDlg, WM_SETICON, ICON_BIG, (LPARAM)hIcon);
        SendMessageA(hDlg, WM_SETICON, ICON_SMALL, (LPARAM)hIcon);
        char szLink[PATH_BYTES], szTarget[PATH_BYTES];
        ShortcutState state =
            getShortcutPath(szLink, FALSE) ? readShortcut(szLink, szTarget) : SHORTCUT_NONE;
        UINT uStatus = IDS_SETUP_STATUS_OUT;
        if (state == SHORTCUT_OURS)
            uStatus = IDS_SETUP_STATUS_IN;
        else if (state == SHORTCUT_FOREIGN)
            uStatus = IDS_SETUP_STATUS_FOREIGN;
        SetDlgItemTextA(hDlg, IDC_STATUS, loadText(uStatus));
        CheckRadioButton(hDlg, IDC_INSTALL, IDC_UNINSTALL,
                         state == SHORTCUT_OURS ? IDC_UNINSTALL : IDC_INSTALL);
        followChoice(hDlg);
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_INSTALL:
        case IDC_UNINSTALL:
            followChoice(hDlg);
            return TRUE;
        case IDOK: {
            static Outcome out;
            if (IsDlgButtonChecked(hDlg, IDC_UNINSTALL))
                uninstall(IsDlgButtonChecked(hDlg, IDC_PURGE), &out);
            else
                install(&out);
            showOutcome(hDlg, &out);
            EndDialog(hDlg, out.nStatus);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(hDlg, EXIT_DONE);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// ---------------------------------------------------------------- entry

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    BOOL bInstall = FALSE, bUninstall = FALSE, bPurge = FALSE, bQuiet = FALSE, bBad = FALSE;
    for (int i = 1; i < __argc; i++) {
        const char *pszArg = __argv[i];
        if (lstrcmpiA(pszArg, "/install") == 0)
            bInstall = TRUE;
        else if (lstrcmpiA(pszArg, "/uninstall") == 0)
            bUninstall = TRUE;
        else if (lstrcmpiA(pszArg, "/purge") == 0)
            bPurge = TRUE;
        else if (lstrcmpiA(pszArg, "/quiet") == 0)
            bQuiet = TRUE;
        else
            bBad = TRUE;
    }
    // /quiet alone would have nothing to do without asking.
    if (bBad || (bInstall && bUninstall) || (bPurge && !bUninstall) ||
        (bQuiet && !bInstall && !bUninstall)) {
        if (!bQuiet)
            showText(NULL, loadText(IDS_SETUP_USAGE), MB_ICONERROR | MB_OK);
        return EXIT_BAD_ARGS;
    }

    if (FAILED(CoInitialize(NULL)))
        return EXIT_FAILED;
    int nStatus;
    if (bInstall || bUninstall) {
        static Outcome out;
        if (bInstall)
            install(&out);
        else
            uninstall(bPurge, &out);
        if (!bQuiet)
            showOutcome(NULL, &out);
        nStatus = out.nStatus;
    } else {
        INT_PTR nResult =
            DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_SETUP), NULL, DialogProc, 0);
        nStatus = nResult < 0 ? EXIT_FAILED : (int)nResult;
    }
    CoUninitialize();
    return nStatus;
}
