// porterly-setup.exe: puts Porterly into the current user's Send To menu (a
// shortcut Porterly.lnk to the porterly.exe beside this program, and the drop
// target through which the shell hands over selections of any size) and takes
// it out again, optionally with the saved settings and history. Without
// arguments it asks in a small dialog; /install, /uninstall [/purge] and
// /quiet serve scripts. Exit status: 0 done, 1 failed, 2 bad arguments.
#include <windows.h>
#include <shlobj.h>
#include <mbstring.h>
#include <stdio.h>
#include <string.h>
#include "dropreg.h"
#include "setupres.h"
#include "version.h"

#define EXIT_DONE     0
#define EXIT_FAILED   1
#define EXIT_BAD_ARGS 2

#define PROGRAM_NAME  "porterly.exe"
#define SHORTCUT_NAME "Porterly.lnk"
#define SETTINGS_KEY  "software\\orvane.kelmit\\porterly"
#define MAKER_KEY     "software\\orvane.kelmit"
#define MESSAGE_SIZE  2048

// The outcome of one action: exit status, message box icon and the text.
struct Outcome {
    int nStatus;
    UINT uIcon;
    char szText[MESSAGE_SIZE];
};

static void setOutcome(Outcome *pOut, int nStatus, UINT uIcon, const char *pszFormat,
                       const char *pszArg = "") {
    pOut->nStatus = nStatus;
    pOut->uIcon = uIcon;
    _snprintf(pOut->szText, MESSAGE_SIZE - 1, pszFormat, pszArg);
    pOut->szText[MESSAGE_SIZE - 1] = '\0';
}

static void appendOutcome(Outcome *pOut, const char *pszText) {
    size_t cb = strlen(pOut->szText);
    _snprintf(pOut->szText + cb, MESSAGE_SIZE - 1 - cb, "\n\n%s", pszText);
}

// ---------------------------------------------------------------- paths

// porterly.exe in this program's folder; FALSE when the path does not fit.
static BOOL getProgramPath(char *pszPath) {
    DWORD cch = GetModuleFileNameA(NULL, pszPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return FALSE;
    unsigned char *pSep = _mbsrchr((unsigned char *)pszPath, '\\');
    size_t cbFolder = pSep != NULL ? (size_t)(pSep + 1 - (unsigned char *)pszPath) : 0;
    if (cbFolder + sizeof(PROGRAM_NAME) > MAX_PATH)
        return FALSE;
    strcpy(pszPath + cbFolder, PROGRAM_NAME);
    return TRUE;
}

static BOOL getShortcutPath(char *pszPath, BOOL bCreateFolder) {
    int nFolder = CSIDL_SENDTO | (bCreateFolder ? CSIDL_FLAG_CREATE : 0);
    if (FAILED(SHGetFolderPathA(NULL, nFolder, NULL, SHGFP_TYPE_CURRENT, pszPath)))
        return FALSE;
    size_t cb = strlen(pszPath);
    if (cb + 1 + sizeof(SHORTCUT_NAME) > MAX_PATH)
        return FALSE;
    strcpy(pszPath + cb, "\\" SHORTCUT_NAME);
    return TRUE;
}

// ---------------------------------------------------------------- the shortcut

enum ShortcutState { SHORTCUT_NONE, SHORTCUT_OURS, SHORTCUT_FOREIGN };

static IShellLinkA *newShellLink(IPersistFile **ppFile) {
    IShellLinkA *pLink = NULL;
    *ppFile = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
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
    IShellLinkA *pLink = newShellLink(&pFile);
    if (pLink == NULL)
        return SHORTCUT_FOREIGN;
    if (FAILED(pFile->Load(wszLink, STGM_READ)) ||
        FAILED(pLink->GetPath(pszTarget, MAX_PATH, NULL, SLGP_RAWPATH)))
        pszTarget[0] = '\0';
    pFile->Release();
    pLink->Release();
    unsigned char *pSep = _mbsrchr((unsigned char *)pszTarget, '\\');
    const char *pszName = pSep != NULL ? (const char *)pSep + 1 : pszTarget;
    return lstrcmpiA(pszName, PROGRAM_NAME) == 0 ? SHORTCUT_OURS : SHORTCUT_FOREIGN;
}

static BOOL writeShortcut(const char *pszLink, const char *pszProgram) {
    WCHAR wszLink[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, pszLink, -1, wszLink, MAX_PATH) == 0)
        return FALSE;
    char szFolder[MAX_PATH];
    strcpy(szFolder, pszProgram);
    unsigned char *pSep = _mbsrchr((unsigned char *)szFolder, '\\');
    if (pSep != NULL)
        *pSep = '\0';
    IPersistFile *pFile;
    IShellLinkA *pLink = newShellLink(&pFile);
    if (pLink == NULL)
        return FALSE;
    BOOL bDone = SUCCEEDED(pLink->SetPath(pszProgram)) &&
                 SUCCEEDED(pLink->SetWorkingDirectory(szFolder)) &&
                 SUCCEEDED(pLink->SetIconLocation(pszProgram, 0)) &&
                 SUCCEEDED(pLink->SetDescription(
                     "選んだファイルやフォルダを、その場で選ぶフォルダへコピー・移動します")) &&
                 SUCCEEDED(pFile->Save(wszLink, TRUE));
    pFile->Release();
    pLink->Release();
    return bDone;
}

// ---------------------------------------------------------------- actions

static void install(Outcome *pOut) {
    char szProgram[MAX_PATH], szLink[MAX_PATH], szTarget[MAX_PATH];
    if (!getProgramPath(szProgram)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, "このプログラムのフォルダの名前が長すぎます。");
        return;
    }
    DWORD dwAttr = GetFileAttributesA(szProgram);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR,
                   "%s が見つかりません。\n"
                   "porterly-setup.exe は porterly.exe と同じフォルダに置いて実行してください。",
                   szProgram);
        return;
    }
    if (!getShortcutPath(szLink, TRUE)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, "「送る」フォルダが見つかりません。");
        return;
    }
    ShortcutState state = readShortcut(szLink, szTarget);
    if (state == SHORTCUT_FOREIGN) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR,
                   "「送る」フォルダに Porterly 以外を指す Porterly.lnk があります。\n%s\n\n"
                   "このファイルはそのままにしました。削除するか名前を変えてから、"
                   "もう一度実行してください。",
                   szLink);
        return;
    }
    if (!writeShortcut(szLink, szProgram)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR, "ショートカットを作れませんでした。\n%s",
                   szLink);
        return;
    }
    if (!registerDropTarget(HKEY_CURRENT_USER, szProgram)) {
        setOutcome(pOut, EXIT_FAILED, MB_ICONERROR,
                   "ショートカットは作りましたが、多くの項目を一度に受け取るための登録 "
                   "(App Paths とクラス) を書き込めませんでした。\n%s",
                   szProgram);
        return;
    }
    setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION,
               state == SHORTCUT_OURS ? "「送る」メニューの Porterly を更新しました。\n%s"
                                      : "Porterly を「送る」メニューに追加しました。\n%s\n\n"
                                        "エクスプローラーでファイルやフォルダを選び、右クリックして"
                                        "「送る」→「Porterly」を選んでください。",
               szProgram);
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

// The maker's key goes too, but only when nothing else is left in it.
static void purgeSettings(Outcome *pOut) {
    LONG lResult = deleteKeyTree(HKEY_CURRENT_USER, SETTINGS_KEY);
    if (lResult != ERROR_SUCCESS && lResult != ERROR_FILE_NOT_FOUND) {
        pOut->nStatus = EXIT_FAILED;
        pOut->uIcon = MB_ICONERROR;
        appendOutcome(pOut, "保存された設定と履歴を削除できませんでした。");
        return;
    }
    HKEY hMaker;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, MAKER_KEY, 0, KEY_READ, &hMaker) == ERROR_SUCCESS) {
        DWORD cSubKeys = 1, cValues = 1;
        RegQueryInfoKeyA(hMaker, NULL, NULL, NULL, &cSubKeys, NULL, NULL, &cValues, NULL, NULL,
                         NULL, NULL);
        RegCloseKey(hMaker);
        if (cSubKeys == 0 && cValues == 0)
            RegDeleteKeyA(HKEY_CURRENT_USER, MAKER_KEY);
    }
    appendOutcome(pOut, lResult == ERROR_SUCCESS ? "保存された設定と履歴も削除しました。"
                                                 : "保存された設定と履歴はありませんでした。");
}

static void uninstall(BOOL bPurge, Outcome *pOut) {
    char szLink[MAX_PATH], szTarget[MAX_PATH];
    if (!getShortcutPath(szLink, FALSE)) {
        setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION,
                   "「送る」メニューに Porterly はありません。");
    } else {
        switch (readShortcut(szLink, szTarget)) {
        case SHORTCUT_NONE:
            setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION,
                       "「送る」メニューに Porterly はありません。");
            break;
        case SHORTCUT_FOREIGN:
            setOutcome(pOut, EXIT_DONE, MB_ICONWARNING,
                       "「送る」フォルダの Porterly.lnk は Porterly を指していないので、"
                       "そのままにしました。\n%s",
                       szLink);
            break;
        case SHORTCUT_OURS:
            if (DeleteFileA(szLink))
                setOutcome(pOut, EXIT_DONE, MB_ICONINFORMATION,
                           "Porterly を「送る」メニューから外しました。");
            else
                setOutcome(pOut, EXIT_FAILED, MB_ICONERROR,
                           "Porterly.lnk を削除できませんでした。\n%s", szLink);
            break;
        }
    }
    // Another copy's registration stays, as its shortcut does.
    char szProgram[MAX_PATH];
    if (getProgramPath(szProgram) && !unregisterDropTarget(HKEY_CURRENT_USER, szProgram)) {
        pOut->nStatus = EXIT_FAILED;
        pOut->uIcon = MB_ICONERROR;
        appendOutcome(pOut, "多くの項目を一度に受け取るための登録を削除できませんでした。");
    }
    if (bPurge)
        purgeSettings(pOut);
}

// ---------------------------------------------------------------- dialog

static void showOutcome(HWND hOwner, const Outcome *pOut) {
    MessageBoxA(hOwner, pOut->szText, PORTERLY_TITLE, pOut->uIcon | MB_OK);
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
        char szLink[MAX_PATH], szTarget[MAX_PATH];
        ShortcutState state =
            getShortcutPath(szLink, FALSE) ? readShortcut(szLink, szTarget) : SHORTCUT_NONE;
        const char *pszStatus = "Porterly は今、「送る」メニューに入っていません。";
        if (state == SHORTCUT_OURS)
            pszStatus = "Porterly は今、「送る」メニューに入っています。";
        else if (state == SHORTCUT_FOREIGN)
            pszStatus = "「送る」フォルダに Porterly 以外を指す Porterly.lnk があります。";
        SetDlgItemTextA(hDlg, IDC_STATUS, pszStatus);
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
            MessageBoxA(NULL,
                        "使い方: porterly-setup.exe [/install | /uninstall [/purge]] [/quiet]\n\n"
                        "引数なし\t設定ダイアログを開きます。\n"
                        "/install\t「送る」メニューに Porterly を追加します。\n"
                        "/uninstall\t「送る」メニューから Porterly を外します。\n"
                        "/purge\t/uninstall と共に、保存された設定と履歴も削除します。\n"
                        "/quiet\tウィンドウを出しません。\n\n"
                        "終了コード: 0 成功、1 失敗、2 引数の誤り",
                        PORTERLY_TITLE, MB_ICONERROR | MB_OK);
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
