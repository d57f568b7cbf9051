// The destination chooser. The shell's folder browser is extended at run time:
// its OK button becomes Copy, and Settings, Move, New and Rename buttons, an
// options panel, a jump menu of recent and special folders, and a drop target
// are added. The added controls have no ids and are told apart by handle.
#include "portygui.h"
#include "porty4.h"
#include "resource.h"
#include <mbstring.h>
#include <mmsystem.h>
#include <string.h>

#define SELECTED_SIZE 520
// Posted after a selection change so the added buttons can follow Copy once
// the browser has set its state (Wine sets it only after the callback).
#define WM_APP_SYNCBUTTONS (WM_APP + 1)
#define DROP_SOUND_FLAGS   0x00042015 // SND_RESOURCE | SND_NOWAIT | SND_NOSTOP | SND_ASYNC

struct DialogData {
    HWND hDlg;
    WNDPROC pfnOldProc;
    BOOL bExpanded;
    int nGap;
    int nButtonWidth;
    int nButtonHeight;
    int nButtonTop;
    int nColumn2X;
    int nDialogWidth;
    int nDialogHeight;
    HFONT hFont;
    HWND hOptions[8];
    HWND hHistory;
    HWND hCopy;
    HWND hMove;
    HWND hCancelButton;
    HWND hSettings;
    HWND hNew;
    HWND hRename;
    HWND hApply;
    HWND hRevert;
    Settings *pSettings;
    HBITMAP hArrowBitmap;
    char szSelected[SELECTED_SIZE];
};

static DialogData dialog_data;

// ---------------------------------------------------------------- current-folder preselection

// Selects the folder that holds the first source item; the list is cut in
// place for the one message and restored byte for byte.
static void openCurrent() {
    Str *pstrFiles = dialog_data.pSettings->pstrFiles;
    if (pstrFiles == NULL || pstrFiles->buffer == NULL)
        return;
    unsigned char *pList = (unsigned char *)pstrFiles->buffer;
    unsigned char *pNewline = _mbschr(pList, '\n');
    if (pNewline != NULL)
        *pNewline = '\0';
    unsigned char *pSep = _mbsrchr(pList, '\\');
    if (pSep != NULL) {
        // A drive root keeps its backslash.
        unsigned char *pCut = (pSep != pList && pSep[-1] == ':') ? pSep + 1 : pSep;
        unsigned char chCut = *pCut;
        *pCut = '\0';
        SendMessageA(dialog_data.hDlg, BFFM_SETSELECTIONA, TRUE, (LPARAM)pList);
        *pCut = chCut;
    }
    if (pNewline != NULL)
        *pNewline = '\n';
}

// ---------------------------------------------------------------- options panel

static void expandDialog() {}

static void collapseDialog() {}

static void On_OptionsClicked(HWND) {}

// ---------------------------------------------------------------- jump menu

static void openRecent() {}

// ---------------------------------------------------------------- folder creation and renaming

static void mkDir() {}

static void renDir() {}

// ---------------------------------------------------------------- set-up and layout

static HWND createButton(const char *pszCaption, DWORD dwStyle, int x, int y, int cx, int cy) {
    return CreateWindowExA(0, "BUTTON", pszCaption, dwStyle, x, y, cx, cy, dialog_data.hDlg, NULL,
                           dialog_data.pSettings->hInstance, NULL);
}

// Creates an added button after hAfter in the z-order, in the chooser's font.
static HWND addButton(const char *pszCaption, DWORD dwStyle, int x, int y, int cx, int cy,
                      HWND hAfter) {
    HWND hButton = createButton(pszCaption, dwStyle, x, y, cx, cy);
    if (hButton != NULL) {
        SetWindowPos(hButton, hAfter, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SendMessageA(hButton, WM_SETFONT, (WPARAM)dialog_data.hFont, TRUE);
    }
    return hButton;
}

// Move, New and Rename follow Copy, but only while a folder is selected:
// Wine's browser starts with nothing selected and Copy enabled. Rename is also
// off at a drive root.
static void syncButtons() {
    if (dialog_data.hCopy == NULL)
        return;
    BOOL bEnabled = IsWindowEnabled(dialog_data.hCopy) && dialog_data.szSelected[0] != '\0';
    if (dialog_data.hMove != NULL)
        EnableWindow(dialog_data.hMove, bEnabled);
    if (dialog_data.hRename != NULL)
        EnableWindow(dialog_data.hRename, bEnabled);
    if (dialog_data.hNew != NULL)
        EnableWindow(dialog_data.hNew, bEnabled);
    unsigned char *pRoot =
        _mbsstr((unsigned char *)dialog_data.szSelected, (const unsigned char *)":\\");
    if (pRoot != NULL && pRoot[2] == '\0' && dialog_data.hRename != NULL)
        EnableWindow(dialog_data.hRename, FALSE);
}

static void On_SelChanged(HWND hwnd, LPITEMIDLIST pidl) {
    if (!SHGetPathFromIDListA(pidl, dialog_data.szSelected))
        dialog_data.szSelected[0] = '\0';
    syncButtons();
    if (dialog_data.hCopy != NULL)
        PostMessageA(hwnd, WM_APP_SYNCBUTTONS, 0, 0);
}

// New and Rename lie over the browser's caption text; without this the text,
// painted after them, hides them (seen under Wine).
static void clipStatics(HWND hwnd) {
    HWND hStatic = NULL;
    while ((hStatic = FindWindowExA(hwnd, hStatic, "Static", NULL)) != NULL)
        SetWindowLongA(hStatic, GWL_STYLE, GetWindowLongA(hStatic, GWL_STYLE) | WS_CLIPSIBLINGS);
}

static LRESULT CALLBACK BrowseProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

static int init(HWND hwnd, Settings *pSettings) {
    memset(&dialog_data, 0, sizeof(dialog_data));
    SendMessageA(hwnd, WM_SETTEXT, 0, (LPARAM)APP_TITLE);
    dialog_data.hDlg = hwnd;
    dialog_data.pSettings = pSettings;
    DragAcceptFiles(hwnd, TRUE);
    pSettings->dwFlags &= ~(DWORD)OPT_MOVE;

    Str *pstrNewest = &pSettings->tstrPath[0];
    if ((pSettings->dwFlags & OPT_OPEN_HISTORY) && pstrNewest->length != 0 &&
        pstrNewest->buffer[0] != '\0')
        SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE, (LPARAM)pstrNewest->buffer);
    else if (pSettings->dwFlags & OPT_OPEN_CURRENT)
        openCurrent();

    dialog_data.pfnOldProc = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)BrowseProc);
    if (dialog_data.pfnOldProc == NULL)
        return 1;

    RECT rcDialog;
    GetWindowRect(hwnd, &rcDialog);
    dialog_data.nDialogWidth = rcDialog.right - rcDialog.left;
    dialog_data.nDialogHeight = rcDialog.bottom - rcDialog.top;

    HWND hButton = NULL;
    while ((hButton = FindWindowExA(hwnd, hButton, "BUTTON", NULL)) != NULL) {
        if (GetWindowLongA(hButton, GWL_STYLE) & BS_DEFPUSHBUTTON)
            break;
    }
    if (hButton == NULL)
        return 1;
    dialog_data.hCopy = hButton;
    SendMessageA(hButton, WM_SETTEXT, 0, (LPARAM) "コピー");
    dialog_data.hFont = (HFONT)SendMessageA(hButton, WM_GETFONT, 0, 0);

    RECT rcOk;
    GetWindowRect(dialog_data.hCopy, &rcOk);
    dialog_data.nButtonHeight = rcOk.bottom - rcOk.top;
    dialog_data.nButtonTop = rcOk.top - rcDialog.top - GetSystemMetrics(SM_CYSMCAPTION);

    hButton = NULL;
    while ((hButton = FindWindowExA(hwnd, hButton, "BUTTON", NULL)) != NULL) {
        if (hButton != dialog_data.hCopy)
            break;
    }
    dialog_data.hCancelButton = hButton;
    RECT rcCancel = rcOk;
    if (hButton != NULL)
        GetWindowRect(hButton, &rcCancel);
    dialog_data.nGap = rcCancel.left - rcOk.right;

    int g = dialog_data.nGap;
    int W = dialog_data.nDialogWidth;
    dialog_data.nButtonWidth = (W - 5 * g) / 4;
    dialog_data.nColumn2X = 2 * g + (W - 3 * g) / 2;
    int w = dialog_data.nButtonWidth;
    int h = dialog_data.nButtonHeight;
    int T = dialog_data.nButtonTop;
    HWND hTree = FindWindowExA(hwnd, NULL, "SysTreeView32", NULL);
    BOOL bCopyEnabled;

    dialog_data.hSettings =
        addButton("設定(&S)", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHLIKE | BS_AUTOCHECKBOX, g,
                  T, w, h, hTree);
    dialog_data.hMove = addButton("移動(&M)", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 2 * g + w, T, w,
                                  h, dialog_data.hSettings);
    bCopyEnabled = IsWindowEnabled(dialog_data.hCopy);
    if (dialog_data.hMove != NULL)
        EnableWindow(dialog_data.hMove, bCopyEnabled);
    SetWindowPos(dialog_data.hCopy, NULL, 3 * g + 2 * w, T, w, h, SWP_NOZORDER);
    if (dialog_data.hCancelButton != NULL)
        SetWindowPos(dialog_data.hCancelButton, dialog_data.hCopy, 4 * g + 3 * w, T, w, h, 0);
    dialog_data.hNew = addButton("新規(&I)", WS_CHILD | WS_VISIBLE | WS_TABSTOP, W - w - 2 * g, 2,
                                 w / 2, h, dialog_data.hCancelButton);
    if (dialog_data.hNew != NULL)
        EnableWindow(dialog_data.hNew, IsWindowEnabled(dialog_data.hCopy));
    dialog_data.hRename = addButton("改名(&R)", WS_CHILD | WS_VISIBLE | WS_TABSTOP, W - w / 2 - g,
                                    2, w / 2, h, dialog_data.hNew);
    if (dialog_data.hRename != NULL)
        EnableWindow(dialog_data.hRename, IsWindowEnabled(dialog_data.hCopy));
    // Nothing selected yet, or a preselected drive root: see syncButtons.
    syncButtons();
    clipStatics(hwnd);
    return 0;
}

static int CALLBACK BrowseCallbackProc(HWND hwnd, UINT uMsg, LPARAM lParam, LPARAM lpData) {
    switch (uMsg) {
    case BFFM_INITIALIZED:
        init(hwnd, (Settings *)lpData);
        break;
    case BFFM_SELCHANGED:
        On_SelChanged(hwnd, (LPITEMIDLIST)lParam);
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------- window procedure

// Appends the dropped items to the source list, the last dropped first.
static void On_DropFiles(HDROP hDrop) {
    Str strName = {};
    resize(&strName, MAX_PATH);
    Str *pstrFiles = dialog_data.pSettings->pstrFiles;
    UINT n = DragQueryFileA(hDrop, 0xFFFFFFFF, NULL, 0);
    resize(pstrFiles, pstrFiles->length + 120 * n);
    for (UINT i = n; i-- > 0;) {
        UINT cch = DragQueryFileA(hDrop, i, NULL, 0);
        if (strName.capacity < cch && resize(&strName, cch) == NULL)
            continue;
        if (strName.buffer == NULL)
            continue;
        DragQueryFileA(hDrop, i, strName.buffer, strName.capacity + 1);
        appendStr(pstrFiles, strName.buffer);
        appendStr(pstrFiles, "\n");
    }
    DragFinish(hDrop);
    PlaySoundA(MAKEINTRESOURCEA(IDR_DROPWAVE), dialog_data.pSettings->hInstance, DROP_SOUND_FLAGS);
    freeStr(&strName);
}

static void On_ApplyClicked() {
    saveOption(dialog_data.pSettings);
    EnableWindow(dialog_data.hApply, FALSE);
    EnableWindow(dialog_data.hRevert, FALSE);
}

static const DWORD OptionFlags[8] = {OPT_NOTIFY,      OPT_SILENT_OVERWRITE, OPT_NO_OVERWRITE,
                                     OPT_OPEN_FOLDER, OPT_OPEN_CURRENT,     OPT_OPEN_HISTORY,
                                     OPT_NO_CONFIRM,  OPT_CLEAR_READONLY};

static void On_RevertClicked() {
    reloadOption(dialog_data.pSettings);
    for (int i = 0; i < 8; i++) {
        BOOL bTicked = (dialog_data.pSettings->dwFlags & OptionFlags[i]) != 0;
        SendMessageA(dialog_data.hOptions[i], BM_SETCHECK, bTicked ? 1 : 0, 0);
    }
    EnableWindow(dialog_data.hApply, FALSE);
    EnableWindow(dialog_data.hRevert, FALSE);
}

// What a click on a control does, in the order the controls are compared.
enum ClickRow {
    ROW_NONE, // no control (a menu or accelerator command)
    ROW_MOVE,
    ROW_SETTINGS,
    ROW_APPLY,
    ROW_REVERT,
    ROW_RENAME,
    ROW_NEW,
    ROW_HISTORY,
    ROW_OTHER
};

// The first control that matches wins; a control that does not exist (its
// handle is null, like the panel's while it is closed) never matches.
static ClickRow clickRow(HWND hControl) {
    if (hControl == NULL)
        return ROW_NONE;
    if (hControl == dialog_data.hMove)
        return ROW_MOVE;
    if (hControl == dialog_data.hSettings)
        return ROW_SETTINGS;
    if (hControl == dialog_data.hApply)
        return ROW_APPLY;
    if (hControl == dialog_data.hRevert)
        return ROW_REVERT;
    if (hControl == dialog_data.hRename)
        return ROW_RENAME;
    if (hControl == dialog_data.hNew)
        return ROW_NEW;
    if (hControl == dialog_data.hHistory)
        return ROW_HISTORY;
    return ROW_OTHER;
}

// Move ends the chooser through Copy, and only while Copy may end it: Wine
// carries out BM_CLICK on a disabled button, and its Copy state is current
// even where Move's still lags behind the last selection change.
static void On_MoveClicked() {
    if (!IsWindowEnabled(dialog_data.hCopy) || dialog_data.szSelected[0] == '\0')
        return;
    dialog_data.pSettings->dwFlags |= OPT_MOVE;
    SendMessageA(dialog_data.hCopy, BM_CLICK, 0, 0);
}

static void On_SettingsClicked() {
    dialog_data.bExpanded = !dialog_data.bExpanded;
    if (dialog_data.bExpanded)
        expandDialog();
    else
        collapseDialog();
}

// A click on a control of the chooser; the message goes on to the browser after.
static void On_ButtonClicked(HWND hControl) {
    switch (clickRow(hControl)) {
    case ROW_NONE:
        break;
    case ROW_MOVE:
        On_MoveClicked();
        break;
    case ROW_SETTINGS:
        On_SettingsClicked();
        break;
    case ROW_APPLY:
        On_ApplyClicked();
        break;
    case ROW_REVERT:
        On_RevertClicked();
        break;
    case ROW_RENAME:
        renDir();
        break;
    case ROW_NEW:
        mkDir();
        break;
    case ROW_HISTORY:
        openRecent();
        break;
    case ROW_OTHER:
        On_OptionsClicked(hControl);
        break;
    }
}

static LRESULT CALLBACK BrowseProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            On_ButtonClicked((HWND)lParam);
        break;
    case WM_DROPFILES:
        On_DropFiles((HDROP)wParam);
        return 0;
    case WM_APP_SYNCBUTTONS:
        syncButtons();
        return 0;
    default:
        break;
    }
    return CallWindowProcA(dialog_data.pfnOldProc, hwnd, uMsg, wParam, lParam);
}

LPITEMIDLIST GuiMain(Settings *pSettings) {
    char szDisplayName[MAX_PATH];
    BROWSEINFOA bi = {};
    bi.hwndOwner = NULL;
    bi.pidlRoot = NULL;
    bi.pszDisplayName = szDisplayName;
    bi.lpszTitle = "送り先のフォルダを指定してください";
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    bi.lpfn = BrowseCallbackProc;
    bi.lParam = (LPARAM)pSettings;
    bi.iImage = 0;
    return SHBrowseForFolderA(&bi);
}
