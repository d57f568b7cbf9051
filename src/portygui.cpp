// The destination chooser. The shell's folder browser is extended at run time:
// its OK button becomes Copy, and Settings, Move, New and Rename buttons, an
// options panel, a jump menu of pinned, recent and special folders, a drop
// target and Ctrl+V for a path in hand are added. The added controls have no
// ids and are told apart by handle.
#include "portygui.h"
#include "porty4.h"
#include "dropfiles.h"
#include "undo.h"
#include "typedpath.h"
#include "resource.h"
#include <commctrl.h>
#include <mbstring.h>
#include <stddef.h>
#include <stdio.h>
#include <mmsystem.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Posted after a selection change so the added buttons can follow Copy once
// the browser has set its state (Wine sets it only after the callback).
#define WM_APP_SYNCBUTTONS (WM_APP + 1)
#define WM_APP_PASTE       (WM_APP + 2) // Ctrl+V was pressed in the chooser
#define CTRL_V             0x16         // the character Ctrl+V types
#define DROP_SOUND_FLAGS   0x00042015   // SND_RESOURCE | SND_NOWAIT | SND_NOSTOP | SND_ASYNC

#define PANEL_OPTIONS 9 // check boxes of the options panel

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
    HWND hOptions[PANEL_OPTIONS];
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
    char szSelected[PATH_BYTES];
    UINT nSelChanges; // selection changes reported so far
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

#define PANEL_ROWS   4     // of the first two columns; the ninth box starts a fifth row
#define OBM_COMBO_ID 32738 // the system's combo-box arrow bitmap (OBM_COMBO)

// Option bits of the check boxes, whose captions are the texts from
// IDS_OPTION_FIRST on, in this order, then IDS_OPTION_VERIFY. The move bit
// has no box: it is set only by the Move button, which ends the chooser.
static const DWORD OptionFlags[PANEL_OPTIONS] = {
    OPT_NOTIFY,       OPT_SILENT_OVERWRITE, OPT_NO_OVERWRITE,   OPT_OPEN_FOLDER, OPT_OPEN_CURRENT,
    OPT_OPEN_HISTORY, OPT_NO_CONFIRM,       OPT_CLEAR_READONLY, OPT_VERIFY};

static UINT optionText(int i) {
    return i < 8 ? IDS_OPTION_FIRST + i : IDS_OPTION_VERIFY;
}

// Whether Apply and Revert were enabled when the panel was last closed. Lives
// outside dialog_data so that it outlasts one showing of the chooser.
static BOOL wasOptionChanged = FALSE;

static HWND createButton(const char *pszCaption, DWORD dwStyle, int x, int y, int cx, int cy);

struct PanelBox {
    int x, y, cx, cy;
};

// Where the panel's controls go, in client coordinates, and the chooser's
// height while the panel is open. s is the small-caption height; the panel's
// rows start where the closed chooser's client area ends.
struct PanelLayout {
    PanelBox boxOption[PANEL_OPTIONS];
    PanelBox boxHistory;
    PanelBox boxApply;
    PanelBox boxRevert;
    int nExpandedHeight;
};

static void layoutPanel(const DialogData *pData, int s, int cxSmIcon, int cySmIcon,
                        PanelLayout *pLayout) {
    int g = pData->nGap;
    int w = pData->nButtonWidth;
    int h = pData->nButtonHeight;
    int W = pData->nDialogWidth;
    int H = pData->nDialogHeight;
    for (int i = 0; i < PANEL_OPTIONS; i++) {
        // Column by column, four rows each; the ninth box under the first column.
        int nRow = i < 2 * PANEL_ROWS ? i % PANEL_ROWS : PANEL_ROWS;
        bool bColumn1 = i < PANEL_ROWS || i >= 2 * PANEL_ROWS;
        PanelBox box = {bColumn1 ? g : pData->nColumn2X, H - s + nRow * h, 3 * w / 2, h};
        pLayout->boxOption[i] = box;
    }
    PanelBox boxHistory = {W - g - cxSmIcon, H - s + h, cxSmIcon, cySmIcon};
    PanelBox boxApply = {3 * g + 2 * w, H - s + 5 * h, w, h};
    PanelBox boxRevert = {4 * g + 3 * w, H - s + 5 * h, w, h};
    pLayout->boxHistory = boxHistory;
    pLayout->boxApply = boxApply;
    pLayout->boxRevert = boxRevert;
    pLayout->nExpandedHeight = H + 7 * h;
}

static HWND createPanelButton(const char *pszCaption, DWORD dwStyle, const PanelBox &box,
                              BOOL bFont) {
    HWND hButton = createButton(pszCaption, dwStyle, box.x, box.y, box.cx, box.cy);
    if (hButton != NULL && bFont)
        SendMessageA(hButton, WM_SETFONT, (WPARAM)dialog_data.hFont, TRUE);
    return hButton;
}

static void expandDialog() {
    int s = GetSystemMetrics(SM_CYSMCAPTION);
    int cxSmIcon = GetSystemMetrics(SM_CXSMICON);
    int cySmIcon = GetSystemMetrics(SM_CYSMICON);
    PanelLayout layout;
    layoutPanel(&dialog_data, s, cxSmIcon, cySmIcon, &layout);
    SetWindowPos(dialog_data.hDlg, NULL, 0, 0, dialog_data.nDialogWidth, layout.nExpandedHeight,
                 SWP_NOMOVE | SWP_NOZORDER);

    DWORD dwFlags = dialog_data.pSettings->dwFlags;
    for (int i = 0; i < PANEL_OPTIONS; i++) {
        HWND hBox = createPanelButton(loadText(optionText(i)),
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                                      layout.boxOption[i], TRUE);
        dialog_data.hOptions[i] = hBox;
        SendMessageA(hBox, BM_SETCHECK, (dwFlags & OptionFlags[i]) ? 1 : 0, 0);
    }

    // Only the bitmap is drawn; the caption gives the button its mnemonic.
    dialog_data.hHistory = createPanelButton("&L", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_BITMAP,
                                             layout.boxHistory, FALSE);
    dialog_data.hArrowBitmap = LoadBitmapA(NULL, MAKEINTRESOURCEA(OBM_COMBO_ID));
    if (dialog_data.hHistory != NULL && dialog_data.hArrowBitmap != NULL)
        SendMessageA(dialog_data.hHistory, BM_SETIMAGE, IMAGE_BITMAP,
                     (LPARAM)dialog_data.hArrowBitmap);

    dialog_data.hApply = createPanelButton(loadText(IDS_APPLY), WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                           layout.boxApply, TRUE);
    if (dialog_data.hApply != NULL)
        EnableWindow(dialog_data.hApply, wasOptionChanged);
    dialog_data.hRevert = createPanelButton(
        loadText(IDS_REVERT), WS_CHILD | WS_VISIBLE | WS_TABSTOP, layout.boxRevert, TRUE);
    if (dialog_data.hRevert != NULL)
        EnableWindow(dialog_data.hRevert, wasOptionChanged);
}

static void destroyControl(HWND *phControl) {
    if (*phControl != NULL)
        DestroyWindow(*phControl);
    *phControl = NULL;
}

static void collapseDialog() {
    for (int i = 0; i < PANEL_OPTIONS; i++)
        destroyControl(&dialog_data.hOptions[i]);
    wasOptionChanged = dialog_data.hApply != NULL && IsWindowEnabled(dialog_data.hApply);
    destroyControl(&dialog_data.hApply);
    destroyControl(&dialog_data.hRevert);
    destroyControl(&dialog_data.hHistory);
    if (dialog_data.hArrowBitmap != NULL)
        DeleteObject(dialog_data.hArrowBitmap);
    dialog_data.hArrowBitmap = NULL;
    SetWindowPos(dialog_data.hDlg, NULL, 0, 0, dialog_data.nDialogWidth, dialog_data.nDialogHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
}

// A click that no other control claimed: toggles the option of that check box.
static void On_OptionsClicked(HWND hControl) {
    if (hControl == NULL)
        return;
    int i = 0;
    while (i < PANEL_OPTIONS && dialog_data.hOptions[i] != hControl)
        i++;
    if (i == PANEL_OPTIONS)
        return;
    Settings *pSettings = dialog_data.pSettings;
    // The automatic check box has already flipped its own mark.
    pSettings->dwFlags ^= OptionFlags[i];
    EnableWindow(dialog_data.hApply, TRUE);
    EnableWindow(dialog_data.hRevert, TRUE);
    // Either way the option went, show the folder it is about.
    if (OptionFlags[i] == OPT_OPEN_CURRENT) {
        openCurrent();
    } else if (OptionFlags[i] == OPT_OPEN_HISTORY) {
        Str *pstrNewest = &pSettings->tstrPath[0];
        if (pstrNewest->length != 0 && pstrNewest->buffer[0] != '\0')
            SendMessageA(dialog_data.hDlg, BFFM_SETSELECTIONA, TRUE, (LPARAM)pstrNewest->buffer);
        else
            openCurrent();
    }
}

// ---------------------------------------------------------------- jump menu

#define JUMP_FIRST_ID  40001
#define JUMP_FOLDERS   25
#define JUMP_MAIN_LAST 15 // table indexes above this go into the "共通" submenu
#define JUMP_MENU_FLAGS                                                                            \
    (TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON | TPM_NONOTIFY | TPM_RETURNCMD)
// The item record without its trailing bitmap field: 44 bytes in the 32-bit
// build, which every version of the menu functions accepts.
#define MENUITEMINFO_SIZE ((UINT)offsetof(MENUITEMINFOA, hbmpItem))

// Special folders in menu order; the first index at which a folder turns up
// is where it is listed.
static const int csidlFolders[JUMP_FOLDERS] = {
    CSIDL_LOCAL_APPDATA,
    CSIDL_WINDOWS,
    CSIDL_SYSTEM,
    CSIDL_PROGRAM_FILES,
    CSIDL_DESKTOPDIRECTORY,
    CSIDL_FAVORITES,
    CSIDL_PERSONAL,
    CSIDL_PROGRAMS,
    CSIDL_RECENT,
    CSIDL_SENDTO,
    CSIDL_STARTMENU,
    CSIDL_STARTUP,
    CSIDL_TEMPLATES,
    CSIDL_MYMUSIC,
    CSIDL_ALTSTARTUP,
    CSIDL_APPDATA,
    CSIDL_COMMON_DESKTOPDIRECTORY,
    CSIDL_COMMON_ALTSTARTUP,
    CSIDL_COMMON_FAVORITES,
    CSIDL_COMMON_PROGRAMS,
    CSIDL_COMMON_STARTMENU,
    CSIDL_COMMON_STARTUP,
    CSIDL_COMMON_DOCUMENTS,
    CSIDL_COMMON_TEMPLATES,
    CSIDL_COMMON_APPDATA,
};

typedef DWORD_PTR(WINAPI *SHGetFileInfoProc)(LPCWSTR, DWORD, SHFILEINFOW *, UINT, UINT);

// Appends a string item whose data word is the path that choosing it selects.
// False when it could not be added (a submenu is then not the menu's own).
static BOOL appendJumpItem(HMENU hMenu, const char *pszText, const char *pszPath, UINT uId,
                           HMENU hSubMenu) {
    MENUITEMINFOA mii = {};
    mii.cbSize = MENUITEMINFO_SIZE;
    mii.fMask = MIIM_ID | MIIM_TYPE | MIIM_DATA | (hSubMenu != NULL ? MIIM_SUBMENU : 0);
    mii.fType = MFT_STRING;
    mii.wID = uId;
    mii.hSubMenu = hSubMenu;
    mii.dwItemData = (ULONG_PTR)pszPath;
    mii.dwTypeData = (LPSTR)pszText;
    return InsertMenuItemA(hMenu, GetMenuItemCount(hMenu), TRUE, &mii);
}

static void appendSeparator(HMENU hMenu) {
    MENUITEMINFOA mii = {};
    mii.cbSize = MENUITEMINFO_SIZE;
    mii.fMask = MIIM_TYPE;
    mii.fType = MFT_SEPARATOR;
    InsertMenuItemA(hMenu, GetMenuItemCount(hMenu), TRUE, &mii);
}

// Lists the special folders that exist, each once and only with a file-system
// path, into the main menu and the "共通" submenu. Every id list is freed here.
static void appendSpecialFolders(HMENU hMenu, HMENU hSubMenu, UINT uFirstId,
                                 SHGetFileInfoProc pfnGetFileInfo, Str *tstrFolders) {
    IMalloc *pMalloc = NULL;
    if (FAILED(SHGetMalloc(&pMalloc)) || pMalloc == NULL)
        return;
    IShellFolder *pDesktop = NULL;
    if (SUCCEEDED(SHGetDesktopFolder(&pDesktop)) && pDesktop != NULL) {
        LPITEMIDLIST tpidl[JUMP_FOLDERS] = {};
        for (int t = 0; t < JUMP_FOLDERS; t++) {
            Str *pstrPath = &tstrFolders[t];
            if (resize(pstrPath, PATH_BYTES) == NULL)
                continue;
            LPITEMIDLIST pidl = NULL;
            if (FAILED(SHGetSpecialFolderLocation(dialog_data.hDlg, csidlFolders[t], &pidl)) ||
                pidl == NULL)
                continue;
            BOOL bSeen = FALSE;
            for (int k = 0; k < t && !bSeen; k++) {
                if (tpidl[k] != NULL && pDesktop->CompareIDs(0, tpidl[k], pidl) == 0)
                    bSeen = TRUE;
            }
            if (bSeen) {
                pMalloc->Free(pidl);
                continue;
            }
            // A virtual folder keeps its slot: a later entry equal to it stays hidden.
            tpidl[t] = pidl;
            WCHAR szWide[MAX_PATH];
            if (pathFromIdList(pidl, pstrPath->buffer, szWide) != PATH_OK)
                continue;
            pstrPath->length = (unsigned int)strlen(pstrPath->buffer);
            // Wide, as the path: the ANSI record holds MAX_PATH bytes only.
            SHFILEINFOW sfi = {};
            char szName[PATH_BYTES];
            const char *pszText = pstrPath->buffer;
            if (pfnGetFileInfo != NULL &&
                pfnGetFileInfo((LPCWSTR)pidl, 0, &sfi, sizeof(sfi),
                               SHGFI_PIDL | SHGFI_DISPLAYNAME) != 0 &&
                sfi.szDisplayName[0] != L'\0' && toAnsi(sfi.szDisplayName, szName, PATH_BYTES))
                pszText = szName;
            appendJumpItem(t <= JUMP_MAIN_LAST ? hMenu : hSubMenu, pszText, pstrPath->buffer,
                           uFirstId + t, NULL);
        }
        pDesktop->Release();
        for (int t = 0; t < JUMP_FOLDERS; t++) {
            if (tpidl[t] != NULL)
                pMalloc->Free(tpidl[t]);
        }
    }
    pMalloc->Release();
}

// The last entry, when there is a transfer to take back: how many items went
// where, and how.
static void appendUndoItem(HMENU hMenu, UINT uId) {
    size_t nItems = 0;
    bool bMove = false;
    Str strDest = {}, strText = {};
    if (journalSummary(&nItems, &bMove, &strDest) &&
        resize(&strText,
               strDest.length + 64 + (unsigned int)strlen(loadText(IDS_UNDO_MENU_MOVE))) != NULL) {
        _snprintf(strText.buffer, strText.capacity,
                  loadText(bMove ? IDS_UNDO_MENU_MOVE : IDS_UNDO_MENU_COPY), (unsigned int)nItems,
                  strDest.buffer);
        appendSeparator(hMenu);
        appendJumpItem(hMenu, strText.buffer, NULL, uId, NULL);
    }
    freeStr(&strText);
    freeStr(&strDest);
}

// Entries the jump menu builds around its destinations, and the paths their
// data words point into: all of it lives until the chosen entry was acted on.
struct JumpMenu {
    HMENU hMenu;
    HMENU hSubMenu;
    BOOL bOwned;  // the submenu is attached (it goes with its menu)
    UINT uCount;  // destinations listed: favourites, then recent ones
    int nPinned;  // the selected folder among the favourites, or -1
    bool bGone;   // some favourite cannot be chosen
    UINT uUndoId; // the entries after the special folders
    UINT uPinId;
    UINT uPathId;
    UINT uPruneId;
    char tszFavourites[FAVOURITE_COUNT][PATH_BYTES];
    Str tstrFolders[JUMP_FOLDERS];
};

// The item record of the wide call, cut as MENUITEMINFO_SIZE cuts the ANSI one.
#define MENUITEMINFOW_SIZE ((UINT)offsetof(MENUITEMINFOW, hbmpItem))

// A favourite: its path as it is (wide, so that any script shows, with each
// ampersand doubled), greyed and without data when it cannot be chosen.
static void appendFavouriteItem(HMENU hMenu, const WCHAR *pszPath, const char *pszData, UINT uId) {
    WCHAR szText[2 * MAX_PATH];
    size_t n = 0;
    for (const WCHAR *p = pszPath; *p != L'\0'; p++) {
        if (*p == L'&')
            szText[n++] = L'&';
        szText[n++] = *p;
    }
    szText[n] = L'\0';
    MENUITEMINFOW mii = {};
    mii.cbSize = MENUITEMINFOW_SIZE;
    mii.fMask = MIIM_ID | MIIM_TYPE | MIIM_DATA | MIIM_STATE;
    mii.fType = MFT_STRING;
    mii.fState = pszData != NULL ? MFS_ENABLED : MFS_GRAYED;
    mii.wID = uId;
    mii.dwItemData = (ULONG_PTR)pszData;
    mii.dwTypeData = szText;
    InsertMenuItemW(hMenu, GetMenuItemCount(hMenu), TRUE, &mii);
}

// The favourites first, then the recent destinations that are not among
// them, each numbered on from the last.
static void appendDestinations(JumpMenu *pj) {
    Settings *pSettings = dialog_data.pSettings;
    const Favourites *pFav = &pSettings->favourites;
    bool tbThere[FAVOURITE_COUNT];
    checkFavourites(pFav, tbThere);
    for (int f = 0; f < pFav->nCount; f++) {
        char *pszAnsi = pj->tszFavourites[f];
        // Gone, or a name this code page cannot hold: shown, not choosable.
        bool bChoosable = tbThere[f] && toAnsi(pFav->szPath[f], pszAnsi, PATH_BYTES);
        pj->bGone = pj->bGone || !bChoosable;
        appendFavouriteItem(pj->hMenu, pFav->szPath[f], bChoosable ? pszAnsi : NULL,
                            JUMP_FIRST_ID + pj->uCount);
        pj->uCount++;
    }
    for (UINT k = 0; k < HISTORY_COUNT && pSettings->tstrPath[k].length != 0; k++) {
        const char *pszPath = pSettings->tstrPath[k].buffer;
        if (findFavourite(pFav, pszPath) >= 0)
            continue;
        // Between the favourites and the first recent one listed.
        if (pj->uCount == (UINT)pFav->nCount && pFav->nCount > 0)
            appendSeparator(pj->hMenu);
        appendJumpItem(pj->hMenu, pszPath, pszPath, JUMP_FIRST_ID + pj->uCount, NULL);
        pj->uCount++;
    }
    appendSeparator(pj->hMenu);
}

// Pin or unpin the selected folder (nothing to pin without one), unpin those
// that cannot be chosen (a greyed entry cannot be selected to be unpinned),
// and a path to type.
static void appendPathItems(JumpMenu *pj) {
    const char *pszSelected = dialog_data.szSelected;
    pj->nPinned = findFavourite(&dialog_data.pSettings->favourites, pszSelected);
    appendJumpItem(pj->hMenu, loadText(pj->nPinned >= 0 ? IDS_FAVOURITE_REMOVE : IDS_FAVOURITE_ADD),
                   NULL, pj->uPinId, NULL);
    if (pszSelected[0] == '\0')
        EnableMenuItem(pj->hMenu, pj->uPinId, MF_BYCOMMAND | MF_GRAYED);
    if (pj->bGone)
        appendJumpItem(pj->hMenu, loadText(IDS_FAVOURITES_PRUNE), NULL, pj->uPruneId, NULL);
    appendJumpItem(pj->hMenu, loadText(IDS_TYPE_PATH), NULL, pj->uPathId, NULL);
    appendSeparator(pj->hMenu);
}

// Builds the whole menu into pj: destinations, the path entries, "共通" and
// the special folders, and the undo entry. False without a menu.
static bool buildJumpMenu(JumpMenu *pj, HMODULE hShell) {
    pj->hMenu = CreatePopupMenu();
    if (pj->hMenu == NULL)
        return false;
    appendDestinations(pj);
    pj->uUndoId = JUMP_FIRST_ID + pj->uCount + JUMP_FOLDERS + 1;
    pj->uPinId = pj->uUndoId + 1;
    pj->uPathId = pj->uUndoId + 2;
    pj->uPruneId = pj->uUndoId + 3;
    appendPathItems(pj);
    pj->hSubMenu = CreatePopupMenu();
    pj->bOwned = appendJumpItem(pj->hMenu, loadText(IDS_COMMON), NULL,
                                JUMP_FIRST_ID + pj->uCount + JUMP_FOLDERS, pj->hSubMenu);
    SHGetFileInfoProc pfnGetFileInfo = NULL;
    if (hShell != NULL)
        pfnGetFileInfo = reinterpret_cast<SHGetFileInfoProc>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(hShell, "SHGetFileInfoW")));
    appendSpecialFolders(pj->hMenu, pj->hSubMenu, JUMP_FIRST_ID + pj->uCount, pfnGetFileInfo,
                         pj->tstrFolders);
    appendUndoItem(pj->hMenu, pj->uUndoId);
    return true;
}

static void warn(HWND hOwner, const char *pszText);
static void askPath();

static void On_PinChosen(JumpMenu *pj, UINT uId) {
    Settings *pSettings = dialog_data.pSettings;
    HKEY hKey = pSettings->hKey;
    const char *pszSelected = dialog_data.szSelected;
    int nResult = uId == pj->uPruneId ? pruneFavourites(hKey, &pSettings->favourites)
                  : pj->nPinned >= 0  ? unpinFavourite(hKey, &pSettings->favourites, pszSelected)
                                      : pinFavourite(hKey, &pSettings->favourites, pszSelected);
    if (nResult == PIN_FULL)
        warn(dialog_data.hDlg, loadText(IDS_FAVOURITES_FULL));
    else if (nResult == PIN_FAILED)
        warn(dialog_data.hDlg, loadText(IDS_FAVOURITE_FAILED));
}

static void On_JumpChosen(JumpMenu *pj, UINT uId) {
    if (uId == 0) {
        return;
    } else if (uId == pj->uUndoId) {
        // Ends the chooser as Cancel does, so that nothing is transferred;
        // the driver then takes the last transfer back.
        dialog_data.pSettings->dwFlags |= OPT_UNDO;
        PostMessageA(dialog_data.hDlg, WM_COMMAND, IDCANCEL, 0);
    } else if (uId == pj->uPinId || uId == pj->uPruneId) {
        On_PinChosen(pj, uId);
    } else if (uId == pj->uPathId) {
        askPath();
    } else {
        MENUITEMINFOA mii = {};
        mii.cbSize = MENUITEMINFO_SIZE;
        mii.fMask = MIIM_DATA;
        if (GetMenuItemInfoA(pj->hMenu, uId, FALSE, &mii) && mii.dwItemData != 0)
            SendMessageA(dialog_data.hDlg, BFFM_SETSELECTIONA, TRUE, (LPARAM)mii.dwItemData);
    }
}

// Pops the menu of pinned and recent destinations and special folders up
// under the jump-menu button and does what the user chose.
static void openRecent() {
    JumpMenu *pj = (JumpMenu *)calloc(1, sizeof(JumpMenu));
    if (pj == NULL)
        return;
    // Looked up each time: older shells lack the display-name service.
    HMODULE hShell = LoadLibraryA("shell32.dll");
    if (buildJumpMenu(pj, hShell)) {
        RECT rcButton = {};
        GetWindowRect(dialog_data.hHistory, &rcButton);
        UINT uId = (UINT)TrackPopupMenu(pj->hMenu, JUMP_MENU_FLAGS, rcButton.left, rcButton.bottom,
                                        0, dialog_data.hDlg, NULL);
        On_JumpChosen(pj, uId);
        if (pj->hSubMenu != NULL && !pj->bOwned)
            DestroyMenu(pj->hSubMenu);
        DestroyMenu(pj->hMenu);
    }
    if (hShell != NULL)
        FreeLibrary(hShell);
    // Last: the chosen entry's data may point into one of these.
    for (int t = 0; t < JUMP_FOLDERS; t++)
        freeStr(&pj->tstrFolders[t]);
    free(pj);
}

// ---------------------------------------------------------------- folder creation and renaming

static const unsigned char szForbidden[] = ":/\"|<>\\";

// The folder-name dialog (template 101). Its controls are found by class and
// template text; one dialog at a time, so its state can be static.
static Str *pstrDirName;
static HWND hEdit;
static HWND hOK;
static HWND hCancel;
// The dialog asks for a path (from the jump menu), not for a folder's name.
static BOOL bAskingPath;

// The path dialog is the folder-name dialog made wider: paths are long.
#define PATH_DIALOG_EXTRA 150 // dialog units

static BOOL hasForbidden(const char *pszName) {
    return _mbspbrk((const unsigned char *)pszName, szForbidden) != NULL;
}

static void warn(HWND hOwner, const char *pszText) {
    showText(hOwner, pszText, MB_ICONWARNING | MB_OK);
}

// Moves a control of the dialog right by dx and widens it by dcx.
static void shiftControl(HWND hwnd, HWND hControl, int dx, int dcx) {
    RECT rc = {};
    GetWindowRect(hControl, &rc);
    MapWindowPoints(NULL, hwnd, (POINT *)&rc, 2);
    SetWindowPos(hControl, NULL, rc.left + dx, rc.top, rc.right - rc.left + dcx, rc.bottom - rc.top,
                 SWP_NOZORDER);
}

static void widenForPath(HWND hwnd, HWND hLabel) {
    RECT rcExtra = {0, 0, PATH_DIALOG_EXTRA, 0};
    MapDialogRect(hwnd, &rcExtra);
    int dx = rcExtra.right;
    RECT rc = {};
    GetWindowRect(hwnd, &rc);
    SetWindowPos(hwnd, NULL, 0, 0, rc.right - rc.left + dx, rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    shiftControl(hwnd, hEdit, 0, dx);
    shiftControl(hwnd, hLabel, 0, dx);
    shiftControl(hwnd, hOK, dx, 0);
    shiftControl(hwnd, hCancel, dx, 0);
}

static INT_PTR On_InitFolderName(HWND hwnd, Str *pstrName) {
    pstrDirName = pstrName;
    hOK = FindWindowExA(hwnd, NULL, "BUTTON", "&OK");
    hCancel = FindWindowExA(hwnd, NULL, "BUTTON", "&Cancel");
    SendMessageA(hCancel, WM_SETTEXT, 0, (LPARAM)loadText(IDS_CANCEL));
    SendMessageA(hwnd, WM_SETTEXT, 0,
                 (LPARAM)loadText(bAskingPath ? IDS_PATH_TITLE : IDS_FOLDERNAME_TITLE));
    HWND hLabel = FindWindowExA(hwnd, NULL, "STATIC", "Folder Name");
    SendMessageA(hLabel, WM_SETTEXT, 0,
                 (LPARAM)loadText(bAskingPath ? IDS_PATH_LABEL : IDS_FOLDERNAME_LABEL));
    hEdit = FindWindowExA(hwnd, NULL, "EDIT", NULL);
    if (bAskingPath)
        widenForPath(hwnd, hLabel);
    SetFocus(hEdit);
    // Raises EN_CHANGE, which enables OK for a preset name.
    SendMessageA(hEdit, WM_SETTEXT, 0, (LPARAM)(pstrName->buffer != NULL ? pstrName->buffer : ""));
    // The selected folder's path, ready to be typed over or edited.
    if (bAskingPath)
        SendMessageA(hEdit, EM_SETSEL, 0, -1);
    return FALSE;
}

static bool takeTypedPath(HWND hOwner, const WCHAR *pszText);

// OK in the path dialog: the dialog stays open on a path that is refused,
// with the text as typed, so that it can be put right.
static INT_PTR On_PathOK(HWND hwnd) {
    int cch = GetWindowTextLengthW(hEdit);
    WCHAR *pszText = (WCHAR *)malloc(((size_t)cch + 1) * sizeof(WCHAR));
    if (pszText == NULL) {
        showStringError(hwnd);
        return TRUE;
    }
    GetWindowTextW(hEdit, pszText, cch + 1);
    if (takeTypedPath(hwnd, pszText))
        EndDialog(hwnd, IDOK);
    free(pszText);
    return TRUE;
}

static INT_PTR On_FolderNameOK(HWND hwnd) {
    if (bAskingPath)
        return On_PathOK(hwnd);
    int nLength = GetWindowTextLengthA(hEdit);
    if (resize(pstrDirName, (unsigned int)nLength + 1) == NULL) {
        EndDialog(hwnd, IDCANCEL);
        return TRUE;
    }
    GetWindowTextA(hEdit, pstrDirName->buffer, (int)pstrDirName->capacity);
    pstrDirName->length = (unsigned int)strlen(pstrDirName->buffer);
    if (hasForbidden(pstrDirName->buffer))
        warn(hwnd, loadText(IDS_FORBIDDEN));
    else
        EndDialog(hwnd, IDOK);
    return TRUE;
}

static INT_PTR On_FolderNameCommand(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    switch (HIWORD(wParam)) {
    case BN_CLICKED:
        if (LOWORD(wParam) == IDOK)
            return On_FolderNameOK(hwnd);
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(hwnd, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    case EN_CHANGE:
        EnableWindow(hOK, GetWindowTextLengthA((HWND)lParam) != 0);
        return TRUE;
    default:
        return FALSE;
    }
}

static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return On_InitFolderName(hwnd, (Str *)lParam);
    case WM_COMMAND:
        return On_FolderNameCommand(hwnd, wParam, lParam);
    default:
        return FALSE;
    }
}

// Asks for a folder name, preset with pstrName's text. TRUE when a usable
// name was given (the dialog also checks, but a name that slipped past it
// must never reach the file system).
static BOOL askFolderName(Str *pstrName) {
    INT_PTR nResult =
        DialogBoxParamA(dialog_data.pSettings->hInstance, MAKEINTRESOURCEA(IDD_FOLDERNAME),
                        dialog_data.hDlg, DialogProc, (LPARAM)pstrName);
    return nResult == IDOK && pstrName->buffer != NULL && pstrName->buffer[0] != '\0' &&
           !hasForbidden(pstrName->buffer);
}

// Warns when something of that name is there already. A search that fails
// but for a missing name cannot tell (Windows' ANSI search ends with
// ERROR_MORE_DATA on a short name of kanji in UTF-8): the attributes say.
static BOOL isTaken(const char *pszPath) {
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(pszPath, &fd);
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    else if (GetLastError() == ERROR_FILE_NOT_FOUND ||
             GetFileAttributesA(pszPath) == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    warn(dialog_data.hDlg, loadText(IDS_TAKEN));
    return TRUE;
}

// A folder the file operation could not take as a destination is refused.
static BOOL fitsOrWarn(Str *pstrPath) {
    if (fitsFileOperation(pstrPath->buffer))
        return TRUE;
    showTooLong(dialog_data.hDlg, pstrPath->buffer);
    return FALSE;
}

// Makes the tree read hItem's children afresh and asks the browser to select
// pszTarget. szSelected is written only by the selection callback, so it
// always names what Copy would return. Where the request fails (Wine never
// re-reads a refreshed node; Windows cannot select a folder its tree does not
// list) and the tree's selection is not on hItem, hItem is selected, and the
// callback records it.
static void refreshNodes(HWND hTree, HTREEITEM hItem, const char *pszTarget) {
    if (hItem == NULL)
        return;
    SendMessageA(hTree, TVM_EXPAND, TVE_COLLAPSE | TVE_COLLAPSERESET, (LPARAM)hItem);
    TVITEMA item = {};
    item.mask = TVIF_STATE | TVIF_CHILDREN;
    item.hItem = hItem;
    item.state = 0;
    item.stateMask = TVIS_EXPANDEDONCE;
    item.cChildren = 1;
    SendMessageA(hTree, TVM_SETITEMA, 0, (LPARAM)&item);
    SendMessageA(hTree, TVM_EXPAND, TVE_EXPAND, (LPARAM)hItem);
    SendMessageA(dialog_data.hDlg, BFFM_SETSELECTIONA, TRUE, (LPARAM)pszTarget);
    if (lstrcmpiA(dialog_data.szSelected, pszTarget) != 0 &&
        (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CARET, 0) != hItem)
        SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)hItem);
}

static HWND findTree() {
    return FindWindowExA(dialog_data.hDlg, NULL, "SysTreeView32", NULL);
}

// Creates a subfolder of the selected folder. The folder is taken before the
// name dialog opens: the selection can move while it is open. The tree is
// refreshed only when the selection is still on that folder; otherwise the
// node to refresh is no longer known.
static void mkDir() {
    char szFolder[PATH_BYTES];
    strcpy(szFolder, dialog_data.szSelected);
    if (szFolder[0] == '\0')
        return;
    Str strName = {};
    Str strPath = {};
    if (askFolderName(&strName) && joinPath(&strPath, szFolder, strName.buffer) &&
        fitsOrWarn(&strPath) && !isTaken(strPath.buffer) &&
        CreateDirectoryA(strPath.buffer, NULL) && strcmp(dialog_data.szSelected, szFolder) == 0) {
        HWND hTree = findTree();
        HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        refreshNodes(hTree, hItem, strPath.buffer);
    }
    freeStr(&strName);
    freeStr(&strPath);
}

// Renames the selected folder within its parent; the folder and its parent
// are taken before the name dialog opens, as in mkDir. The selection moves to
// the parent while the renamed item still exists: collapsing the parent would
// otherwise move it there without the callback under Wine, leaving Copy with
// the old, vanished folder.
static void renDir() {
    char szFolder[PATH_BYTES];
    strcpy(szFolder, dialog_data.szSelected);
    unsigned char *pSep = _mbsrchr((unsigned char *)szFolder, '\\');
    // A drive root has no name of its own to change.
    if (pSep == NULL || pSep[1] == '\0')
        return;
    char szParent[PATH_BYTES];
    strcpy(szParent, szFolder);
    szParent[pSep + 1 - (unsigned char *)szFolder] = '\0';
    Str strName = {};
    Str strPath = {};
    assignStr(&strName, (const char *)pSep + 1);
    if (askFolderName(&strName) && joinPath(&strPath, szParent, strName.buffer) &&
        fitsOrWarn(&strPath) && !isTaken(strPath.buffer) && MoveFileA(szFolder, strPath.buffer) &&
        strcmp(dialog_data.szSelected, szFolder) == 0) {
        HWND hTree = findTree();
        HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_PARENT, (LPARAM)hItem);
        // A root item has no parent to go to (and deselecting would leave the
        // browser without a folder).
        if (hItem != NULL) {
            SendMessageA(hTree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)hItem);
            refreshNodes(hTree, hItem, strPath.buffer);
        }
    }
    freeStr(&strName);
    freeStr(&strPath);
}

// ---------------------------------------------------------------- a path in hand

// Asks for a path in the folder-name dialog, preset with the selected
// folder's, and selects what it names. The dialog is a wide one here: a name
// the code page cannot hold reaches the checks whole and is refused by name,
// never as a best-fit stand-in that may name another folder.
static void askPath() {
    Str strPath = {};
    assignStr(&strPath, dialog_data.szSelected);
    bAskingPath = TRUE;
    DialogBoxParamW(dialog_data.pSettings->hInstance, MAKEINTRESOURCEW(IDD_FOLDERNAME),
                    dialog_data.hDlg, DialogProc, (LPARAM)&strPath);
    bAskingPath = FALSE;
    freeStr(&strPath);
}

// Selects the folder as a history entry is selected. Whether the tree took
// it: the selection changed, or it already was that folder.
static bool selectTyped(const char *pszFolder) {
    UINT nBefore = dialog_data.nSelChanges;
    SendMessageA(dialog_data.hDlg, BFFM_SETSELECTIONA, TRUE, (LPARAM)pszFolder);
    return (dialog_data.nSelChanges != nBefore && dialog_data.szSelected[0] != '\0') ||
           _mbsicmp((const unsigned char *)dialog_data.szSelected,
                    (const unsigned char *)pszFolder) == 0;
}

// Selects the folder that a pasted or typed path names (a file's path, its
// folder). A path refused, missing, or that the tree would not take is named
// in a message over hOwner, and the selection stays where it was.
static bool takeTypedPath(HWND hOwner, const WCHAR *pszText) {
    char szFolder[PATH_BYTES];
    WCHAR *pszChecked = NULL;
    int nResult = resolveTypedPath(pszText, szFolder, &pszChecked);
    if (nResult == TYPED_FOLDER && !selectTyped(szFolder)) {
        nResult = TYPED_NOT_SHOWN;
        // The folder is named, not the file it was found from.
        int cch = MultiByteToWideChar(CP_ACP, 0, szFolder, -1, NULL, 0);
        WCHAR *pszFolder = cch > 0 ? (WCHAR *)malloc((size_t)cch * sizeof(WCHAR)) : NULL;
        if (pszFolder != NULL) {
            MultiByteToWideChar(CP_ACP, 0, szFolder, -1, pszFolder, cch);
            free(pszChecked);
            pszChecked = pszFolder;
        }
    }
    if (nResult != TYPED_FOLDER)
        showTypedPathRefused(hOwner, nResult, pszChecked);
    free(pszChecked);
    return nResult == TYPED_FOLDER;
}

static void On_Paste() {
    WCHAR *pszText = clipboardText(dialog_data.hDlg);
    takeTypedPath(dialog_data.hDlg, pszText != NULL ? pszText : L"");
    free(pszText);
}

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
    // A folder whose path the code page cannot hold is left unrecorded:
    // Move, New and Rename stay off there.
    WCHAR szWide[MAX_PATH];
    pathFromIdList(pidl, dialog_data.szSelected, szWide);
    dialog_data.nSelChanges++;
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

static HHOOK hPasteHook;

// Ctrl+V anywhere in the chooser. Its keys go to the focused control (the
// tree, a button), not to the chooser, and the browser's own message loop
// takes no accelerators: so the loop's messages are watched. The character
// is taken out, and the paste runs from the chooser's procedure.
static LRESULT CALLBACK pasteHookProc(int nCode, WPARAM wParam, LPARAM lParam) {
    MSG *pMsg = (MSG *)lParam;
    if (nCode == HC_ACTION && wParam == PM_REMOVE && pMsg->message == WM_CHAR &&
        pMsg->wParam == CTRL_V && dialog_data.hDlg != NULL &&
        (pMsg->hwnd == dialog_data.hDlg || IsChild(dialog_data.hDlg, pMsg->hwnd))) {
        pMsg->message = WM_NULL;
        PostMessageA(dialog_data.hDlg, WM_APP_PASTE, 0, 0);
    }
    return CallNextHookEx(hPasteHook, nCode, wParam, lParam);
}

static int init(HWND hwnd, Settings *pSettings) {
    memset(&dialog_data, 0, sizeof(dialog_data));
    SendMessageA(hwnd, WM_SETTEXT, 0, (LPARAM)APP_TITLE);
    dialog_data.hDlg = hwnd;
    dialog_data.pSettings = pSettings;
    DragAcceptFiles(hwnd, TRUE);
    pSettings->dwFlags &= ~(DWORD)OPT_RUN_ONLY;

    Str *pstrNewest = &pSettings->tstrPath[0];
    if ((pSettings->dwFlags & OPT_OPEN_HISTORY) && pstrNewest->length != 0 &&
        pstrNewest->buffer[0] != '\0')
        SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE, (LPARAM)pstrNewest->buffer);
    else if (pSettings->dwFlags & OPT_OPEN_CURRENT)
        openCurrent();

    dialog_data.pfnOldProc = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)BrowseProc);
    if (dialog_data.pfnOldProc == NULL)
        return 1;
    if (hPasteHook == NULL)
        hPasteHook = SetWindowsHookExA(WH_GETMESSAGE, pasteHookProc, NULL, GetCurrentThreadId());

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
    SendMessageA(hButton, WM_SETTEXT, 0, (LPARAM)loadText(IDS_COPY));
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

    dialog_data.hSettings = addButton(
        loadText(IDS_SETTINGS), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHLIKE | BS_AUTOCHECKBOX,
        g, T, w, h, hTree);
    dialog_data.hMove = addButton(loadText(IDS_MOVE), WS_CHILD | WS_VISIBLE | WS_TABSTOP, 2 * g + w,
                                  T, w, h, dialog_data.hSettings);
    bCopyEnabled = IsWindowEnabled(dialog_data.hCopy);
    if (dialog_data.hMove != NULL)
        EnableWindow(dialog_data.hMove, bCopyEnabled);
    SetWindowPos(dialog_data.hCopy, NULL, 3 * g + 2 * w, T, w, h, SWP_NOZORDER);
    if (dialog_data.hCancelButton != NULL)
        SetWindowPos(dialog_data.hCancelButton, dialog_data.hCopy, 4 * g + 3 * w, T, w, h, 0);
    dialog_data.hNew = addButton(loadText(IDS_NEW), WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                 W - w - 2 * g, 2, w / 2, h, dialog_data.hCancelButton);
    if (dialog_data.hNew != NULL)
        EnableWindow(dialog_data.hNew, IsWindowEnabled(dialog_data.hCopy));
    dialog_data.hRename = addButton(loadText(IDS_RENAME), WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                    W - w / 2 - g, 2, w / 2, h, dialog_data.hNew);
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

// ---------------------------------------------------------------- dropped items

typedef BOOL(WINAPI *PlaySoundProc)(LPCSTR, HMODULE, DWORD);

// The chime's library is loaded on the first drop, not with the program: the
// chooser opens sooner without it, and most runs drop nothing. By its full
// path: winmm is not a known DLL everywhere, and the program's own folder
// (often Downloads) must not supply one.
static void playDropChime(HINSTANCE hInstance) {
    static PlaySoundProc pfnPlaySound = NULL;
    char szPath[MAX_PATH + 16];
    UINT cch = pfnPlaySound == NULL ? GetSystemDirectoryA(szPath, MAX_PATH) : 0;
    if (cch > 0 && cch < MAX_PATH) {
        strcpy(szPath + cch, "\\winmm.dll");
        HMODULE hWinmm = LoadLibraryA(szPath);
        if (hWinmm != NULL)
            pfnPlaySound = (PlaySoundProc)(void *)GetProcAddress(hWinmm, "PlaySoundA");
    }
    if (pfnPlaySound != NULL)
        pfnPlaySound(MAKEINTRESOURCEA(IDR_DROPWAVE), hInstance, DROP_SOUND_FLAGS);
}

// Adds dropped files and folders to the source list, whole or not at all,
// with the chime when they joined it.
static void On_DropFiles(HDROP hDrop) {
    Settings *pSettings = dialog_data.pSettings;
    WCHAR *pszForeign = NULL;
    DropResult result = DROP_MALFORMED;
    const BYTE *pBlock = (const BYTE *)GlobalLock((HGLOBAL)hDrop);
    Str *pstrFiles = pSettings->pstrFiles;
    unsigned int length = pstrFiles->length;
    if (pBlock != NULL) {
        result = appendDropped(pstrFiles, pBlock, GlobalSize((HGLOBAL)hDrop), &pszForeign);
        GlobalUnlock((HGLOBAL)hDrop);
    }
    DragFinish(hDrop);
    // Whole or not at all: a drop holding a path too long is taken back.
    if (result == DROP_ADDED && !fitsOrShow(dialog_data.hDlg, pstrFiles, length)) {
        pstrFiles->buffer[length] = '\0';
        pstrFiles->length = length;
        return;
    }
    if (result == DROP_ADDED)
        playDropChime(pSettings->hInstance);
    else if (result == DROP_FOREIGN)
        showUnrepresentable(dialog_data.hDlg, pszForeign, TRUE);
    else if (result == DROP_NO_ROOM)
        showStringError(dialog_data.hDlg);
    else if (result == DROP_BAD_NAME)
        showBadNames(dialog_data.hDlg, pszForeign, TRUE);
    free(pszForeign);
}

static void On_ApplyClicked() {
    saveOption(dialog_data.pSettings);
    EnableWindow(dialog_data.hApply, FALSE);
    EnableWindow(dialog_data.hRevert, FALSE);
}

static void On_RevertClicked() {
    reloadOption(dialog_data.pSettings);
    for (int i = 0; i < PANEL_OPTIONS; i++) {
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

// The browser has destroyed the panel's controls with its window; the bitmap
// and the paste hook are the chooser's own, so they go here however the
// chooser ended.
static void On_NcDestroy() {
    for (int i = 0; i < PANEL_OPTIONS; i++)
        dialog_data.hOptions[i] = NULL;
    dialog_data.hHistory = NULL;
    dialog_data.hApply = NULL;
    dialog_data.hRevert = NULL;
    if (dialog_data.hArrowBitmap != NULL)
        DeleteObject(dialog_data.hArrowBitmap);
    dialog_data.hArrowBitmap = NULL;
    if (hPasteHook != NULL)
        UnhookWindowsHookEx(hPasteHook);
    hPasteHook = NULL;
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
    case WM_APP_PASTE:
        On_Paste();
        return 0;
    case WM_NCDESTROY:
        On_NcDestroy();
        break;
    default:
        break;
    }
    return CallWindowProcA(dialog_data.pfnOldProc, hwnd, uMsg, wParam, lParam);
}

LPITEMIDLIST GuiMain(Settings *pSettings) {
    // The ANSI browser assumes MAX_PATH bytes here; the name is not used.
    char szDisplayName[PATH_BYTES];
    BROWSEINFOA bi = {};
    bi.hwndOwner = NULL;
    bi.pidlRoot = NULL;
    bi.pszDisplayName = szDisplayName;
    bi.lpszTitle = loadText(IDS_BROWSE_TITLE);
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    bi.lpfn = BrowseCallbackProc;
    bi.lParam = (LPARAM)pSettings;
    bi.iImage = 0;
    return SHBrowseForFolderA(&bi);
}
