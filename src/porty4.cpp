// The transfer driver: the program's entry, its loop around the destination
// chooser, the confirmation (message box or the scrolling dialog for long
// lists), the copy or move through the shell, and the post-actions. Also the
// settings store (option bits and the ten recent destinations in the registry)
// and the read-only clearing that runs after a successful transfer.
#include "porty4.h"
#include "portygui.h"
#include "dropserver.h"
#include "resource.h"
#include "settingskey.h"
#include <mbstring.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

int(WINAPI *pfnFileOperation)(LPSHFILEOPSTRUCTA) = SHFileOperationA;
HINSTANCE(WINAPI *pfnShellExecute)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) = ShellExecuteA;

static const char szRegKey[] = PORTERLY_SETTINGS_KEY;
static const char szFlagsValue[] = "dwFlags";
static const char szPathValue[] = "tstrPath%03d";

// Lists longer than this are confirmed in the scrolling dialog.
#define DIALOG_MIN_ITEMS 10
#define DIALOG_MIN_BYTES 2600
#define BYTES_PER_ITEM   120

// What the confirmation dialog shows; built on the driver's frame.
struct ConfirmParam {
    Str *pstrFiles;
    const char *pszFormat;
    Str *pstrDest;
};

// ---------------------------------------------------------------- settings

// Reads the history value szName into pstr (PATH_BYTES reserved). Only a
// terminated string that fits is taken; anything else leaves the entry empty,
// so an unterminated or foreign value is never read past its bytes.
static void readHistoryValue(HKEY hKey, const char *szName, Str *pstr) {
    DWORD dwType = 0;
    DWORD cb = pstr->capacity;
    LONG rc = RegQueryValueExA(hKey, szName, NULL, &dwType, (LPBYTE)pstr->buffer, &cb);
    pstr->length = 0;
    if (rc != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ) || cb == 0 ||
        cb > pstr->capacity) {
        pstr->buffer[0] = '\0';
        return;
    }
    const char *pNul = (const char *)memchr(pstr->buffer, '\0', cb);
    if (pNul == NULL) {
        // Stored without its NUL: take it when there is room to end it.
        if (cb >= pstr->capacity) {
            pstr->buffer[0] = '\0';
            return;
        }
        pstr->buffer[cb] = '\0';
    }
    // A destination the file operation cannot take is no destination.
    if (!fitsFileOperation(pstr->buffer))
        pstr->buffer[0] = '\0';
    pstr->length = (unsigned int)strlen(pstr->buffer);
}

// Reads "dwFlags"; only a 4-byte DWORD counts. Returns the registry result.
// The move bit is never taken from the registry: a damaged or hand-edited
// value must not turn the next Copy into a move.
static LONG readFlags(HKEY hKey, DWORD *pdwFlags) {
    DWORD dwValue = 0, dwType = 0, cb = sizeof(dwValue);
    LONG rc = RegQueryValueExA(hKey, szFlagsValue, NULL, &dwType, (LPBYTE)&dwValue, &cb);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (dwType != REG_DWORD || cb != sizeof(dwValue))
        return ERROR_INVALID_DATA;
    *pdwFlags = dwValue & ~(DWORD)OPT_MOVE;
    return ERROR_SUCCESS;
}

LONG readReg(Settings *pSettings) {
    pSettings->dwFlags = 0;
    LONG rc =
        RegCreateKeyExA(HKEY_CURRENT_USER, szRegKey, 0, (LPSTR) "", REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY, NULL, &pSettings->hKey, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    readFlags(pSettings->hKey, &pSettings->dwFlags);
    for (int i = 0; i < HISTORY_COUNT; i++) {
        Str *pstr = &pSettings->tstrPath[i];
        pstr->capacity = 0;
        pstr->length = 0;
        pstr->buffer = NULL;
        if (resize(pstr, PATH_BYTES - 1) == NULL) // the NUL included
            continue; // stays the empty Str; it is shown and saved as empty
        pstr->buffer[0] = '\0';
        char szName[16];
        sprintf(szName, szPathValue, i);
        readHistoryValue(pSettings->hKey, szName, pstr);
    }
    return ERROR_SUCCESS;
}

// Puts the destination at the front of the history and writes all ten values.
static LONG saveRecentList(Settings *pSettings, Str *pstrDest) {
    Str *tstr = pSettings->tstrPath;
    int pos = HISTORY_COUNT - 1;
    for (int i = 0; i < HISTORY_COUNT - 1; i++) {
        if (tstr[i].length == pstrDest->length && tstr[i].buffer != NULL &&
            _mbscmp((const unsigned char *)tstr[i].buffer,
                    (const unsigned char *)pstrDest->buffer) == 0) {
            pos = i;
            break;
        }
    }
    freeStr(&tstr[pos]);
    for (int k = pos; k >= 1; k--)
        tstr[k] = tstr[k - 1];
    tstr[0].capacity = 0;
    tstr[0].length = 0;
    tstr[0].buffer = NULL;
    assignStr(&tstr[0], pstrDest->buffer);

    LONG rc = ERROR_SUCCESS;
    for (int i = 0; i < HISTORY_COUNT; i++) {
        char szName[16];
        sprintf(szName, szPathValue, i);
        const char *psz = tstr[i].buffer ? tstr[i].buffer : "";
        rc = RegSetValueExA(pSettings->hKey, szName, 0, REG_SZ, (const BYTE *)psz,
                            (DWORD)strlen(psz) + 1);
    }
    return rc;
}

LONG saveOption(Settings *pSettings) {
    DWORD dwFlags = pSettings->dwFlags & ~(DWORD)OPT_MOVE;
    return RegSetValueExA(pSettings->hKey, szFlagsValue, 0, REG_DWORD, (const BYTE *)&dwFlags,
                          sizeof(DWORD));
}

LONG reloadOption(Settings *pSettings) {
    return readFlags(pSettings->hKey, &pSettings->dwFlags);
}

// ---------------------------------------------------------------- confirmation dialog

static INT_PTR On_InitConfirm(HWND hDlg, const ConfirmParam *pParam) {
    Str *pstrFiles = pParam->pstrFiles;
    Str *pstrDest = pParam->pstrDest;
    unsigned int cbList = pstrFiles->buffer ? (unsigned int)strlen(pstrFiles->buffer) : 0;
    Str strText = {};
    // Room for the prompt, the list, and every newline becoming CR LF. The
    // prompt's own length: in UTF-8 it takes half as much again as in 932.
    unsigned int cbFormat = (unsigned int)strlen(pParam->pszFormat);
    if (resize(&strText, pstrDest->length + pstrFiles->length + cbList + cbFormat) == NULL) {
        EndDialog(hDlg, 3);
        return TRUE;
    }
    int n =
        sprintf(strText.buffer, pParam->pszFormat, pstrDest->buffer ? pstrDest->buffer : "", "");
    char *p = strText.buffer + n;
    for (unsigned int i = 0; i < cbList; i++) {
        if (pstrFiles->buffer[i] == '\n')
            *p++ = '\r';
        *p++ = pstrFiles->buffer[i];
    }
    *p = '\0';
    strText.length = (unsigned int)(p - strText.buffer);

    HWND hYes = FindWindowExA(hDlg, NULL, "BUTTON", "&Yes");
    if (hYes != NULL) {
        SendMessageA(hYes, WM_SETTEXT, 0, (LPARAM)loadText(IDS_YES));
        SetFocus(hYes);
    }
    HWND hNo = FindWindowExA(hDlg, NULL, "BUTTON", "&No");
    if (hNo != NULL)
        SendMessageA(hNo, WM_SETTEXT, 0, (LPARAM)loadText(IDS_NO));
    HWND hCancel = FindWindowExA(hDlg, NULL, "BUTTON", "&Cancel");
    if (hCancel != NULL)
        SendMessageA(hCancel, WM_SETTEXT, 0, (LPARAM)loadText(IDS_CANCEL));
    HWND hEdit = FindWindowExA(hDlg, NULL, "EDIT", NULL);
    if (hEdit != NULL) {
        // WM_SETTEXT sets the whole list: the text limit (lifted here all the
        // same) restricts only typing.
        HCURSOR hOld = SetCursor(LoadCursor(NULL, IDC_WAIT));
        SendMessageA(hEdit, EM_SETLIMITTEXT, 0, 0);
        SendMessageA(hEdit, WM_SETTEXT, 0, (LPARAM)strText.buffer);
        SetCursor(hOld);
    }
    freeStr(&strText);
    MessageBeep(MB_ICONQUESTION);
    return FALSE; // the focus stays on Yes
}

static INT_PTR On_ConfirmCommand(HWND hDlg, WPARAM wParam) {
    int id = LOWORD(wParam);
    if (id == IDCANCEL || id == IDYES || id == IDNO) {
        EndDialog(hDlg, id);
        return TRUE;
    }
    return FALSE;
}

static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return On_InitConfirm(hDlg, (const ConfirmParam *)lParam);
    case WM_COMMAND:
        return On_ConfirmCommand(hDlg, wParam);
    default:
        return FALSE;
    }
}

// ---------------------------------------------------------------- read-only clearing

// Clearing that takes longer than this shows its progress window.
#define PROGRESS_DELAY_MS  500
#define PROGRESS_UPDATE_MS 100

// Test seam: the clock the progress window goes by.
static DWORD(WINAPI *pfnTickCount)(void) = GetTickCount;

// The state of one clearing run.
struct Clearing {
    DWORD dwStart;      // when the clearing began
    DWORD dwShown;      // when the count was last shown
    HWND hProgress;     // the progress window, once shown
    bool bNoWindow;     // the window could not be made: go on without it
    bool bCancelled;    // the user stopped the clearing
    unsigned int nDone; // entries whose bit was cleared
};

// What FOF_WANTMAPPINGHANDLE hands back: the count, then the array.
struct NameMappings {
    UINT uCount;
    SHNAMEMAPPINGA *pMappings;
};

static INT_PTR On_InitProgress(HWND hDlg, LPARAM lParam) {
    SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
    SetDlgItemTextA(hDlg, IDCANCEL, loadText(IDS_CANCEL));
    return TRUE;
}

static INT_PTR On_ProgressCommand(HWND hDlg, WPARAM wParam) {
    if (LOWORD(wParam) != IDCANCEL)
        return FALSE;
    ((Clearing *)GetWindowLongPtrA(hDlg, DWLP_USER))->bCancelled = true;
    return TRUE;
}

static INT_PTR CALLBACK ProgressProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return On_InitProgress(hDlg, lParam);
    case WM_COMMAND:
        return On_ProgressCommand(hDlg, wParam);
    default:
        return FALSE;
    }
}

// Counts one cleared entry. Once the clearing has taken long enough it shows
// the progress window, then keeps its count current and lets it answer (the
// clearing runs on the driver's thread, which has no other window then).
// False once the user cancelled.
static bool stepClearing(Clearing *pc) {
    pc->nDone++;
    DWORD dwNow = pfnTickCount();
    if (pc->hProgress == NULL && !pc->bNoWindow && dwNow - pc->dwStart >= PROGRESS_DELAY_MS) {
        pc->hProgress = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_PROGRESS),
                                           NULL, ProgressProc, (LPARAM)pc);
        pc->bNoWindow = pc->hProgress == NULL;
        pc->dwShown = dwNow - PROGRESS_UPDATE_MS;
    }
    if (pc->hProgress != NULL && dwNow - pc->dwShown >= PROGRESS_UPDATE_MS) {
        char szText[256];
        _snprintf(szText, sizeof(szText) - 1, loadText(IDS_CLEARING), pc->nDone);
        szText[sizeof(szText) - 1] = '\0';
        SetDlgItemTextA(pc->hProgress, IDC_PROGRESSTEXT, szText);
        pc->dwShown = dwNow;
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageA(pc->hProgress, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    return !pc->bCancelled;
}

static bool clearReadOnly(Clearing *pc, const char *pszPath, DWORD dwAttr) {
    SetFileAttributesA(pszPath, dwAttr & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    return stepClearing(pc);
}

// Junctions and symbolic links lead out of what was transferred: they are
// neither walked into nor written through.
static bool isReparsePoint(DWORD dwAttr) {
    return (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

static bool isDot(const char *pszName) {
    return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

// Clears the read-only bit of everything inside a folder, at every depth, and
// of the folder itself through its "." entry. False once cancelled.
static bool ChangeSubItemAttr(Clearing *pc, const char *pszFolder) {
    Str strPattern = {};
    Str strPath = {};
    FoundEntry entry;
    HANDLE hFind = INVALID_HANDLE_VALUE;
    bool bGoOn = true;
    if (joinPath(&strPattern, pszFolder, "*.*"))
        hFind = findFirstEntry(strPattern.buffer, &entry);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (isReparsePoint(entry.dwAttr) || !joinPath(&strPath, pszFolder, entry.szName))
                continue;
            const unsigned char *pszName = (const unsigned char *)entry.szName;
            bool bDot = _mbscmp(pszName, (const unsigned char *)".") == 0;
            if (!(entry.dwAttr & FILE_ATTRIBUTE_DIRECTORY) || bDot)
                bGoOn = clearReadOnly(pc, strPath.buffer, entry.dwAttr);
            else if (_mbscmp(pszName, (const unsigned char *)"..") != 0)
                bGoOn = ChangeSubItemAttr(pc, strPath.buffer);
        } while (bGoOn && findNextEntry(hFind, &entry));
        FindClose(hFind);
    }
    freeStr(&strPath);
    freeStr(&strPattern);
    return bGoOn;
}

// The name the shell gave pszItem in the destination by its mappings, copied
// into pstrName; false when it gave none.
static bool mappedName(const NameMappings *pMappings, const char *pszItem, Str *pstrName) {
    for (UINT i = 0; pMappings != NULL && i < pMappings->uCount; i++) {
        const SHNAMEMAPPINGA *pm = &pMappings->pMappings[i];
        if (pm->cchOldPath < 0 || pm->cchNewPath <= 0 ||
            strlen(pszItem) != (size_t)pm->cchOldPath ||
            _mbsnbicmp((const unsigned char *)pszItem, (const unsigned char *)pm->pszOldPath,
                       (size_t)pm->cchOldPath) != 0)
            continue;
        if (resize(pstrName, (unsigned int)pm->cchNewPath) == NULL)
            return false;
        memcpy(pstrName->buffer, pm->pszNewPath, (size_t)pm->cchNewPath);
        pstrName->buffer[pm->cchNewPath] = '\0';
        pstrName->length = (unsigned int)strlen(pstrName->buffer);
        const char *pszSep = (const char *)_mbsrchr((unsigned char *)pstrName->buffer, '\\');
        if (pszSep != NULL)
            memmove(pstrName->buffer, pszSep + 1, strlen(pszSep + 1) + 1);
        return true;
    }
    return false;
}

// Clears the read-only bits of the transferred items, found by their last
// component in the destination; never a "." or ".." name. Every path is built
// from the destination itself, never from the current directory. pszExisted
// (null when the shell could not rename on a collision) holds a '1' for each
// item whose name was in the destination before the transfer: that entry is
// not the item's copy, which is cleared by the name the shell's mappings give
// it, if any.
static void ChangeFileAttr(const char *pszDest, const char *pszList, const char *pszExisted,
                           const NameMappings *pMappings) {
    Clearing clearing = {};
    clearing.dwStart = pfnTickCount();
    Str strPath = {};
    Str strName = {};
    size_t nExisted = pszExisted != NULL ? strlen(pszExisted) : 0;
    size_t i = 0;
    bool bGoOn = true;
    for (const char *pszItem = pszList; bGoOn && *pszItem != '\0';
         pszItem += strlen(pszItem) + 1, i++) {
        const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
        const char *pszName = pszSep ? pszSep + 1 : pszItem;
        if (pszExisted != NULL && (i >= nExisted || pszExisted[i] != '0')) {
            if (!mappedName(pMappings, pszItem, &strName))
                continue; // the entry there is not what was sent
            pszName = strName.buffer;
        }
        if (*pszName == '\0' || isDot(pszName) || strchr(pszName, '/') != NULL ||
            !joinPath(&strPath, pszDest, pszName))
            continue; // a drive root, a name that is not the item's own, or no room
        DWORD dwAttr = GetFileAttributesA(strPath.buffer);
        if (dwAttr == INVALID_FILE_ATTRIBUTES || isReparsePoint(dwAttr))
            continue;
        if (dwAttr & FILE_ATTRIBUTE_DIRECTORY)
            bGoOn = ChangeSubItemAttr(&clearing, strPath.buffer);
        else
            bGoOn = clearReadOnly(&clearing, strPath.buffer, dwAttr);
    }
    freeStr(&strName);
    freeStr(&strPath);
    if (clearing.hProgress != NULL)
        DestroyWindow(clearing.hProgress);
    if (clearing.bCancelled) {
        char szText[256];
        _snprintf(szText, sizeof(szText) - 1, loadText(IDS_CLEAR_CANCELLED), clearing.nDone);
        szText[sizeof(szText) - 1] = '\0';
        MessageBoxA(NULL, szText, APP_TITLE, MB_ICONINFORMATION);
    }
}

// Notes for each item, as '1' or '0', whether its name is in the destination
// before the transfer. On a failure the record stays short, and the items
// it does not cover count as present.
static void noteExisting(Str *pstrExisted, const char *pszDest, const char *pszList) {
    Str strPath = {};
    assignStr(pstrExisted, "");
    for (const char *pszItem = pszList; *pszItem != '\0'; pszItem += strlen(pszItem) + 1) {
        const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
        bool bThere = !joinPath(&strPath, pszDest, pszSep ? pszSep + 1 : pszItem) ||
                      GetFileAttributesA(strPath.buffer) != INVALID_FILE_ATTRIBUTES;
        unsigned int before = pstrExisted->length;
        appendStr(pstrExisted, bThere ? "1" : "0");
        if (pstrExisted->length == before)
            break;
    }
    freeStr(&strPath);
}

// ---------------------------------------------------------------- names the code page cannot hold

// The refusal names the code page in force: in UTF-8 only an unpaired
// surrogate (which NTFS allows) is refused.
static UINT unrepresentableTextId(BOOL bDropped) {
    if (GetACP() == CP_UTF8)
        return bDropped ? IDS_UNREPRESENTABLE_DROP_UTF8 : IDS_UNREPRESENTABLE_UTF8;
    return bDropped ? IDS_UNREPRESENTABLE_DROP : IDS_UNREPRESENTABLE;
}

void showUnrepresentable(HWND hOwner, const WCHAR *pszNames, BOOL bDropped) {
    // The table's text in place: counted, not NUL-terminated.
    const WCHAR *pIntro = NULL;
    int cchIntro =
        LoadStringW(GetModuleHandleA(NULL), unrepresentableTextId(bDropped), (LPWSTR)&pIntro, 0);
    if (cchIntro < 0 || pIntro == NULL)
        cchIntro = 0;
    size_t cchNames = wcslen(pszNames);
    WCHAR *pszText = (WCHAR *)malloc(((size_t)cchIntro + cchNames + 1) * sizeof(WCHAR));
    if (pszText != NULL) {
        memcpy(pszText, pIntro, (size_t)cchIntro * sizeof(WCHAR));
        memcpy(pszText + cchIntro, pszNames, (cchNames + 1) * sizeof(WCHAR));
    }
    MessageBoxW(hOwner, pszText != NULL ? pszText : pszNames, L"" APP_TITLE,
                bDropped ? MB_ICONWARNING : MB_ICONERROR);
    free(pszText);
}

void showTooLong(HWND hOwner, const char *pszNames) {
    Str strText = {};
    assignStr(&strText, loadText(IDS_TOO_LONG));
    appendStr(&strText, pszNames);
    MessageBoxA(hOwner, strText.buffer != NULL ? strText.buffer : pszNames, APP_TITLE,
                MB_ICONERROR);
    freeStr(&strText);
}

bool fitsOrShow(HWND hOwner, Str *pstrList, unsigned int uFrom) {
    Str strNames = {};
    char *p = pstrList->buffer != NULL ? pstrList->buffer + uFrom : NULL;
    while (p != NULL && *p != '\0') {
        char *pEnd = strchr(p, '\n');
        if (pEnd != NULL)
            *pEnd = '\0';
        if (!fitsFileOperation(p)) {
            appendStr(&strNames, p);
            appendStr(&strNames, "\r\n");
        }
        if (pEnd != NULL)
            *pEnd = '\n';
        p = pEnd != NULL ? pEnd + 1 : NULL;
    }
    bool bFit = strNames.length == 0;
    if (!bFit)
        showTooLong(hOwner, strNames.buffer);
    freeStr(&strNames);
    return bFit;
}

void showStringError(HWND hOwner) {
    MessageBoxA(hOwner, loadText(IDS_STRING_ERROR), APP_TITLE, MB_ICONERROR);
}

void showArgError(HWND hOwner) {
    MessageBoxA(hOwner, loadText(IDS_ARG_ERROR), APP_TITLE, MB_ICONERROR);
}

// The tail of the wide command line, past the program's name and the blanks
// after it, skipped as the start-up code skips them in the ANSI one.
static WCHAR *wideTail() {
    WCHAR *p = GetCommandLineW();
    bool bQuoted = false;
    while (*p > L' ' || (*p != L'\0' && bQuoted)) {
        if (*p == L'"')
            bQuoted = !bQuoted;
        p++;
    }
    while (*p != L'\0' && *p <= L' ')
        p++;
    return p;
}

// Pieces of a wide tail: a quoted path whole, else the text between blanks.
struct WidePiece {
    WCHAR *pStart; // of the path, inside the quotes for a quoted one
    WCHAR *pEnd;
    bool bQuoted;
};

// Names the item around piece j whose text the code page cannot hold: the
// longest run of unquoted pieces through j (none before piece first) that
// names an entry, as the splitter would join them, else the piece alone.
// Returns the last piece used.
static int itemAround(WidePiece *pieces, int first, int n, int j, WCHAR **ppStart, WCHAR **ppEnd) {
    *ppStart = pieces[j].pStart;
    *ppEnd = pieces[j].pEnd;
    int last = j;
    if (pieces[j].bQuoted)
        return last;
    size_t best = 0;
    for (int s = j; s >= first && s > j - 8 && !pieces[s].bQuoted; s--) {
        for (int e = j; e < n && e < j + 8 && !pieces[e].bQuoted; e++) {
            size_t cch = (size_t)(pieces[e].pEnd - pieces[s].pStart);
            if (cch <= best)
                continue;
            WCHAR chEnd = *pieces[e].pEnd;
            *pieces[e].pEnd = L'\0';
            bool bFound = GetFileAttributesW(pieces[s].pStart) != INVALID_FILE_ATTRIBUTES;
            *pieces[e].pEnd = chEnd;
            if (bFound) {
                best = cch;
                *ppStart = pieces[s].pStart;
                *ppEnd = pieces[e].pEnd;
                last = e;
            }
        }
    }
    return last;
}

// Lists, one per line, the items of the wide tail that hold characters the
// ANSI code page cannot represent: the ANSI command line shows them changed
// (é as e), so they could name nothing or another file. Null when there are
// none, or when there is no memory to tell (*pbNoMemory): the run must not go
// on with the changed names then.
static WCHAR *unrepresentableItems(const WCHAR *pszTail, bool *pbNoMemory) {
    size_t cchTail = wcslen(pszTail);
    *pbNoMemory = false;
    if (isAnsiText(pszTail, (int)cchTail))
        return NULL;
    WCHAR *pszCopy = (WCHAR *)pfnStrCalloc(cchTail + 1, sizeof(WCHAR));
    WidePiece *pieces = (WidePiece *)pfnStrCalloc(cchTail + 1, sizeof(WidePiece));
    WCHAR *pszNames = (WCHAR *)pfnStrCalloc(cchTail * 3 + 1, sizeof(WCHAR));
    if (pszCopy == NULL || pieces == NULL || pszNames == NULL) {
        free(pszCopy);
        free(pieces);
        free(pszNames);
        *pbNoMemory = true;
        return NULL;
    }
    wcscpy(pszCopy, pszTail);
    int n = 0;
    for (WCHAR *p = pszCopy; *p != L'\0';) {
        if (*p == L' ') {
            p++;
            continue;
        }
        WidePiece piece = {p, p, false};
        WCHAR *pClose = *p == L'"' ? wcschr(p + 1, L'"') : NULL;
        if (pClose != NULL) {
            piece.pStart = p + 1;
            piece.pEnd = pClose;
            piece.bQuoted = true;
            p = pClose + 1;
        } else {
            while (*p != L'\0' && *p != L' ')
                p++;
            piece.pEnd = p;
        }
        pieces[n++] = piece;
    }
    pszNames[0] = L'\0';
    WCHAR *pOut = pszNames;
    int first = 0; // names never overlap: each piece is named once at most
    for (int j = 0; j < n; j++) {
        if (isAnsiText(pieces[j].pStart, (int)(pieces[j].pEnd - pieces[j].pStart)))
            continue;
        WCHAR *pStart, *pEnd;
        j = itemAround(pieces, first, n, j, &pStart, &pEnd);
        first = j + 1;
        size_t cch = (size_t)(pEnd - pStart);
        memcpy(pOut, pStart, cch * sizeof(WCHAR));
        pOut += cch;
        *pOut++ = L'\r';
        *pOut++ = L'\n';
        *pOut = L'\0';
    }
    free(pieces);
    free(pszCopy);
    return pszNames;
}

// ---------------------------------------------------------------- driver

int pathFromIdList(LPCITEMIDLIST pidl, char *pszPath, WCHAR *pszWide) {
    // The ANSI call assumes a MAX_PATH-byte buffer, too small in UTF-8.
    pszPath[0] = '\0';
    pszWide[0] = L'\0';
    if (!SHGetPathFromIDListW(pidl, pszWide))
        return PATH_NONE;
    return toAnsi(pszWide, pszPath, PATH_BYTES) ? PATH_OK : PATH_FOREIGN;
}

static int showMessage(const char *pszText, UINT uStyle) {
    return MessageBoxA(NULL, pszText, APP_TITLE, uStyle);
}

static void freeItemIdList(LPITEMIDLIST pidl) {
    IMalloc *pMalloc = NULL;
    if (SUCCEEDED(SHGetMalloc(&pMalloc)) && pMalloc != NULL) {
        pMalloc->Free(pidl);
        pMalloc->Release();
    }
}

// Asks whether to transfer; returns IDYES, IDNO, IDCANCEL, 3 when the text
// cannot be built, or another value when the dialog cannot be shown.
static int confirmTransfer(Settings *pSettings, Str *pstrFiles, int nItems, Str *pstrDest) {
    if (pSettings->dwFlags & OPT_NO_CONFIRM)
        return IDYES;
    const char *pszFormat =
        loadText((pSettings->dwFlags & OPT_MOVE) ? IDS_MOVE_PROMPT : IDS_COPY_PROMPT);
    if (nItems > DIALOG_MIN_ITEMS || pstrFiles->length >= DIALOG_MIN_BYTES) {
        ConfirmParam param = {pstrFiles, pszFormat, pstrDest};
        return (int)DialogBoxParamA(pSettings->hInstance, MAKEINTRESOURCEA(IDD_CONFIRM), NULL,
                                    DialogProc, (LPARAM)&param);
    }
    Str strPrompt = {};
    int answer = 3;
    if (resize(&strPrompt,
               pstrFiles->length + pstrDest->length + (unsigned int)strlen(pszFormat)) != NULL) {
        strPrompt.length =
            (unsigned int)sprintf(strPrompt.buffer, pszFormat, pstrDest->buffer, pstrFiles->buffer);
        answer = showMessage(strPrompt.buffer, MB_YESNOCANCEL | MB_ICONQUESTION);
        freeStr(&strPrompt);
    }
    return answer;
}

// Copies or moves the list into the destination, then the post-actions.
static void transfer(Settings *pSettings, Str *pstrFiles, Str *pstrDest) {
    for (unsigned int i = 0; i < pstrFiles->length; i++) {
        if (pstrFiles->buffer[i] == '\n')
            pstrFiles->buffer[i] = '\0';
    }
    bool bMove = (pSettings->dwFlags & OPT_MOVE) != 0;
    SHFILEOPSTRUCTA op = {};
    op.hwnd = NULL;
    op.wFunc = bMove ? FO_MOVE : FO_COPY;
    op.pFrom = pstrFiles->buffer;
    op.pTo = pstrDest->buffer;
    if (pSettings->dwFlags & OPT_SILENT_OVERWRITE)
        op.fFlags |= FOF_NOCONFIRMATION;
    if (pSettings->dwFlags & OPT_NO_OVERWRITE)
        op.fFlags |= FOF_RENAMEONCOLLISION;
    // A copy renamed on a collision is cleared by the name the shell gave it;
    // where the shell gives no names, the entries that were there stay as they are.
    Str strExisted = {};
    bool bRenames = (pSettings->dwFlags & (OPT_NO_OVERWRITE | OPT_CLEAR_READONLY)) ==
                    (OPT_NO_OVERWRITE | OPT_CLEAR_READONLY);
    if (bRenames) {
        op.fFlags |= FOF_WANTMAPPINGHANDLE;
        noteExisting(&strExisted, pstrDest->buffer, pstrFiles->buffer);
    }

    // The shell loses sources when it moves into a folder that is gone, so a
    // destination that is no longer a folder fails the transfer outright.
    DWORD dwAttr = GetFileAttributesA(pstrDest->buffer);
    int rc = 1;
    if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY))
        rc = pfnFileOperation(&op);

    if (rc != 0) {
        if (!op.fAnyOperationsAborted)
            showMessage(loadText(bMove ? IDS_MOVE_FAILED : IDS_COPY_FAILED), MB_ICONWARNING);
    } else if (!op.fAnyOperationsAborted) {
        // Only after a whole transfer: once the user declined some items in
        // the shell's own dialogs, which names in the destination are the
        // transferred ones is no longer known.
        if (pSettings->dwFlags & OPT_CLEAR_READONLY)
            ChangeFileAttr(pstrDest->buffer, pstrFiles->buffer,
                           bRenames ? (strExisted.buffer ? strExisted.buffer : "") : NULL,
                           (const NameMappings *)op.hNameMappings);
        if (pSettings->dwFlags & OPT_NOTIFY)
            showMessage(loadText(bMove ? IDS_MOVE_DONE : IDS_COPY_DONE), MB_ICONINFORMATION);
    }
    if (op.hNameMappings != NULL)
        SHFreeNameMappings(op.hNameMappings);
    freeStr(&strExisted);
    saveRecentList(pSettings, pstrDest);
    if (pSettings->dwFlags & OPT_OPEN_FOLDER)
        pfnShellExecute(NULL, "open", pstrDest->buffer, NULL, pstrDest->buffer, SW_SHOWDEFAULT);
}

// Opens the chooser until the user confirms, cancels, or a failure ends the run.
static void runMainLoop(Settings *pSettings, Str *pstrFiles, int nItems, Str *pstrDest) {
    int answer = IDNO;
    while (answer == IDNO) {
        LPITEMIDLIST pidl = GuiMain(pSettings);
        if (pidl == NULL)
            break;
        // Two NULs end the destination: the shell reads it as a name list.
        memset(pstrDest->buffer, 0, PATH_BYTES + 1);
        WCHAR szWide[MAX_PATH];
        int nPath = pathFromIdList(pidl, pstrDest->buffer, szWide);
        pstrDest->length = (unsigned int)strlen(pstrDest->buffer);
        freeItemIdList(pidl);
        if (nPath == PATH_FOREIGN)
            showUnrepresentable(NULL, szWide, FALSE);
        if (nPath != PATH_OK || pstrDest->length == 0)
            break; // an item without a folder path counts as cancelled
        if (pstrFiles->length == 0) {
            showMessage(loadText(IDS_NO_FILES), MB_ICONERROR);
            break;
        }
        answer = confirmTransfer(pSettings, pstrFiles, nItems, pstrDest);
        if (answer == 3) {
            showStringError(NULL);
            answer = IDCANCEL;
        }
        if (answer == IDYES)
            transfer(pSettings, pstrFiles, pstrDest);
    }
}

void runDriver(HINSTANCE hInstance, Str *pstrFiles, int nItems, WCHAR *pszForeign) {
    Str strDest = {};
    Settings settings = {};
    if (pszForeign != NULL) {
        showUnrepresentable(NULL, pszForeign, FALSE);
    } else if (nItems == PARSE_NO_MEMORY) {
        showStringError(NULL);
    } else if (nItems == DRIVER_NO_FILES) {
        showMessage(loadText(IDS_NO_FILES), MB_ICONERROR);
    } else if (nItems < 0) {
        showArgError(NULL);
    } else if (!fitsOrShow(NULL, pstrFiles, 0)) {
        // nothing is cut to fit: the run ends naming the paths
    } else if (readReg(&settings) == ERROR_SUCCESS) {
        settings.hInstance = hInstance;
        settings.pstrFiles = pstrFiles;
        if (resize(&strDest, PATH_BYTES) != NULL)
            runMainLoop(&settings, pstrFiles, nItems, &strDest);
        else
            showStringError(NULL);
        RegCloseKey(settings.hKey);
    }
    freeStr(&strDest);
}

// COM starts a local server with this switch in either spelling, alone.
static bool isEmbedding(const char *pszTail) {
    if ((pszTail[0] != '-' && pszTail[0] != '/') || _strnicmp(pszTail + 1, "Embedding", 9) != 0)
        return false;
    for (pszTail += 10; *pszTail == ' ' || *pszTail == '\t';)
        pszTail++;
    return *pszTail == '\0';
}

// Started by COM: the driver takes what the drop-target server received, as
// it takes a command line.
static int runServed(HINSTANCE hInstance) {
    DroppedList dropped = {};
    ServerResult result = runDropServer(&dropped);
    if (result == SERVER_DROPPED)
        runDriver(hInstance, &dropped.strFiles, dropped.nItems, dropped.pszForeign);
    free(dropped.pszForeign);
    freeStr(&dropped.strFiles);
    return result == SERVER_FAILED ? 1 : 0;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int) {
    Str strCmdLine = {};
    Str strFiles = {};

    HMODULE hKernel = LoadLibraryA("kernel32.dll");
    if (hKernel != NULL)
        ptrGetLongPathName =
            (GetLongPathNameProc)(void *)GetProcAddress(hKernel, "GetLongPathNameA");
    if (isEmbedding(lpCmdLine))
        return runServed(hInstance);
    assignStr(&strCmdLine, lpCmdLine);
    if (resize(&strFiles, BYTES_PER_ITEM * (unsigned int)count_sp(lpCmdLine)) == NULL)
        return 1;

    // Items whose names the code page cannot hold end the run before
    // anything is chosen: their ANSI form may name another file.
    bool bNoMemory = false;
    WCHAR *pszForeign = unrepresentableItems(wideTail(), &bNoMemory);
    int nItems = bNoMemory ? PARSE_NO_MEMORY : 0;
    if (pszForeign == NULL && !bNoMemory) {
        HCURSOR hOld = SetCursor(LoadCursor(NULL, IDC_WAIT));
        nItems = parse(&strFiles, &strCmdLine);
        SetCursor(hOld);
    }
    runDriver(hInstance, &strFiles, nItems, pszForeign);
    free(pszForeign);
    freeStr(&strCmdLine);
    freeStr(&strFiles);
    if (hKernel != NULL)
        FreeLibrary(hKernel);
    return 0;
}
