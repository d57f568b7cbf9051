// The transfer driver: the program's entry, its loop around the destination
// chooser, the confirmation (message box or the scrolling dialog for long
// lists), the copy or move through the shell, and the post-actions. Also the
// settings store (option bits and the ten recent destinations in the registry)
// and the read-only clearing that runs after a successful transfer.
#include "porty4.h"
#include "portygui.h"
#include "dropserver.h"
#include "progress.h"
#include "verify.h"
#include "undo.h"
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
    *pdwFlags = dwValue & ~(DWORD)OPT_RUN_ONLY;
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
        _snprintf(szName, sizeof(szName), szPathValue, i);
        readHistoryValue(pSettings->hKey, szName, pstr);
    }
    readFavourites(pSettings->hKey, &pSettings->favourites);
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
        _snprintf(szName, sizeof(szName), szPathValue, i);
        const char *psz = tstr[i].buffer ? tstr[i].buffer : "";
        rc = RegSetValueExA(pSettings->hKey, szName, 0, REG_SZ, (const BYTE *)psz,
                            (DWORD)strlen(psz) + 1);
    }
    return rc;
}

LONG saveOption(Settings *pSettings) {
    DWORD dwFlags = pSettings->dwFlags & ~(DWORD)OPT_RUN_ONLY;
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
    int n = _snprintf(strText.buffer, strText.capacity, pParam->pszFormat,
                      pstrDest->buffer ? pstrDest->buffer : "", "");
    char *p = strText.buffer + (n > 0 ? n : 0);
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

// Test seam: the attribute write.
static BOOL(WINAPI *pfnSetAttributes)(LPCSTR, DWORD) = SetFileAttributesA;

// The state of one clearing run.
struct Clearing {
    Progress progress;
    unsigned int nDone; // entries whose bit was cleared
    unsigned int nKept; // read-only entries whose bit could not be cleared
};

// Counts one cleared entry; false once the user cancelled.
static bool stepClearing(Clearing *pc) {
    pc->nDone++;
    return stepProgress(&pc->progress, loadText(IDS_CLEARING), pc->nDone);
}

static bool clearReadOnly(Clearing *pc, const char *pszPath, DWORD dwAttr) {
    if (!pfnSetAttributes(pszPath, dwAttr & ~(DWORD)FILE_ATTRIBUTE_READONLY) &&
        (dwAttr & FILE_ATTRIBUTE_READONLY))
        pc->nKept++;
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
static bool mappedName(HANDLE hMappings, const char *pszItem, Str *pstrName) {
    size_t cch = 0;
    const char *pszNew = mappedPath(hMappings, pszItem, &cch);
    if (pszNew == NULL || resize(pstrName, (unsigned int)cch) == NULL)
        return false;
    memcpy(pstrName->buffer, pszNew, cch);
    pstrName->buffer[cch] = '\0';
    pstrName->length = (unsigned int)strlen(pstrName->buffer);
    const char *pszSep = (const char *)_mbsrchr((unsigned char *)pstrName->buffer, '\\');
    if (pszSep != NULL)
        memmove(pstrName->buffer, pszSep + 1, strlen(pszSep + 1) + 1);
    return true;
}

// What the clearing learns, before the transfer, of each item's name in the
// destination: one character an item.
#define NAME_FREE   '0' // nothing there: afterwards the entry is the item's copy
#define NAME_TAKEN  '1' // what is there stays: only a name the shell gave the copy counts
#define NAME_MERGED 'm' // a folder the item's folder merges into: only its noted names
#define NAME_FILE   'f' // a file: its copy, new or written over what was there, is a file

// Names noted inside a merging folder, each "<kind><path below the
// destination>" and a NUL; an empty name ends one item's part.
#define MERGE_FILE   'f' // a file the transfer writes there
#define MERGE_FOLDER 'n' // a folder that was not there: all of it is written

// The part of the merge record after the one at pszPart.
static const char *nextMergePart(const char *pszPart) {
    while (*pszPart != '\0')
        pszPart += strlen(pszPart) + 1;
    return pszPart + 1;
}

// Clears what the transfer wrote into a folder it merged with, by the names
// noted before (one item's part of the record). False once cancelled.
static bool clearMerged(Clearing *pc, const char *pszDest, const char *pszPart) {
    Str strPath = {};
    bool bGoOn = true;
    for (const char *p = pszPart; bGoOn && *p != '\0'; p += strlen(p) + 1) {
        if (!joinPath(&strPath, pszDest, p + 1))
            continue;
        DWORD dwAttr = GetFileAttributesA(strPath.buffer);
        bool bFolder = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (dwAttr == INVALID_FILE_ATTRIBUTES || isReparsePoint(dwAttr) ||
            bFolder != (*p == MERGE_FOLDER))
            continue; // not what was noted: not the transfer's
        bGoOn = bFolder ? ChangeSubItemAttr(pc, strPath.buffer)
                        : clearReadOnly(pc, strPath.buffer, dwAttr);
    }
    freeStr(&strPath);
    return bGoOn;
}

// Clears the read-only bits of the transferred items, found by their last
// component in the destination; never a "." or ".." name. Every path is built
// from the destination itself, never from the current directory. pszNames
// (null: every name is the item's copy) holds for each item what its copy is
// (NAME_*), noted before the transfer: where an entry that stays was there,
// the copy is cleared by the name the shell's mappings give it, if any; in a
// folder that merged, only the names noted in pszMerged. Returns how many
// read-only entries kept their bit.
static unsigned int ChangeFileAttr(const char *pszDest, const char *pszList, const char *pszNames,
                                   const char *pszMerged, HANDLE hMappings) {
    Clearing clearing = {};
    startProgress(&clearing.progress, loadText(IDS_CANCEL));
    Str strPath = {};
    Str strName = {};
    size_t nNames = pszNames != NULL ? strlen(pszNames) : 0;
    size_t i = 0;
    bool bGoOn = true;
    for (const char *pszItem = pszList; bGoOn && *pszItem != '\0';
         pszItem += strlen(pszItem) + 1, i++) {
        const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
        const char *pszName = pszSep ? pszSep + 1 : pszItem;
        char cName = pszNames == NULL ? NAME_FREE : i < nNames ? pszNames[i] : NAME_TAKEN;
        if (cName == NAME_MERGED && pszMerged != NULL) {
            bGoOn = clearMerged(&clearing, pszDest, pszMerged);
            pszMerged = nextMergePart(pszMerged);
            continue;
        }
        if (cName != NAME_FREE && cName != NAME_FILE) {
            if (!mappedName(hMappings, pszItem, &strName))
                continue; // the entry there is not what was sent
            pszName = strName.buffer;
        }
        if (*pszName == '\0' || isDot(pszName) || strchr(pszName, '/') != NULL ||
            !joinPath(&strPath, pszDest, pszName))
            continue; // a drive root, a name that is not the item's own, or no room
        DWORD dwAttr = GetFileAttributesA(strPath.buffer);
        if (dwAttr == INVALID_FILE_ATTRIBUTES || isReparsePoint(dwAttr))
            continue;
        if (dwAttr & FILE_ATTRIBUTE_DIRECTORY) {
            if (cName != NAME_FILE) // a folder there was never a file's copy
                bGoOn = ChangeSubItemAttr(&clearing, strPath.buffer);
        } else {
            bGoOn = clearReadOnly(&clearing, strPath.buffer, dwAttr);
        }
    }
    freeStr(&strName);
    freeStr(&strPath);
    endProgress(&clearing.progress);
    if (clearing.progress.bCancelled) {
        char szText[256];
        _snprintf(szText, sizeof(szText) - 1, loadText(IDS_CLEAR_CANCELLED), clearing.nDone);
        szText[sizeof(szText) - 1] = '\0';
        MessageBoxA(NULL, szText, APP_TITLE, MB_ICONINFORMATION);
    }
    return clearing.nKept;
}

// Appends cb bytes, NULs among them, to a record that grows by doubling.
static bool appendBytes(Str *pstr, const char *p, unsigned int cb) {
    if (cb >= 0x3FFFFFFFu - pstr->length)
        return false;
    unsigned int need = pstr->length + cb;
    if (pstr->capacity <= need && resize(pstr, need * 2 + 64) == NULL)
        return false;
    memcpy(pstr->buffer + pstr->length, p, cb);
    pstr->length = need;
    pstr->buffer[need] = '\0';
    return true;
}

static bool noteMergeName(Str *pstrMerged, char cKind, const Str *pstrName) {
    return appendBytes(pstrMerged, &cKind, 1) &&
           appendBytes(pstrMerged, pstrName->buffer, pstrName->length + 1);
}

// Notes what copying the folder pszFrom into the existing folder pszTo
// (pszRel below the destination) writes: every file, every folder pszTo
// lacks as a whole, and the folders both hold walked in turn. Links are
// neither walked nor noted. False when the record cannot be completed.
static bool noteMerge(Str *pstrMerged, const char *pszFrom, const char *pszTo, const char *pszRel) {
    Str strPattern = {}, strFrom = {}, strTo = {}, strRel = {};
    FoundEntry entry;
    bool bDone = joinPath(&strPattern, pszFrom, "*.*");
    HANDLE hFind = bDone ? findFirstEntry(strPattern.buffer, &entry) : INVALID_HANDLE_VALUE;
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (isDot(entry.szName) || isReparsePoint(entry.dwAttr))
                continue;
            bDone =
                joinPath(&strRel, pszRel, entry.szName) && joinPath(&strTo, pszTo, entry.szName);
            if (!bDone)
                break;
            if (!(entry.dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
                bDone = noteMergeName(pstrMerged, MERGE_FILE, &strRel);
                continue;
            }
            DWORD dwThere = GetFileAttributesA(strTo.buffer);
            if (dwThere == INVALID_FILE_ATTRIBUTES)
                bDone = noteMergeName(pstrMerged, MERGE_FOLDER, &strRel);
            else if ((dwThere & FILE_ATTRIBUTE_DIRECTORY) && !isReparsePoint(dwThere))
                bDone = joinPath(&strFrom, pszFrom, entry.szName) &&
                        noteMerge(pstrMerged, strFrom.buffer, strTo.buffer, strRel.buffer);
        } while (bDone && findNextEntry(hFind, &entry));
        FindClose(hFind);
    }
    freeStr(&strRel);
    freeStr(&strTo);
    freeStr(&strFrom);
    freeStr(&strPattern);
    return bDone;
}

// Whether two paths name one entry (one file index on one volume), as an
// item sent into its own folder does. True when that cannot be told.
static bool isSameEntry(const char *pszA, const char *pszB) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const char *paths[2] = {pszA, pszB};
    for (int k = 0; k < 2; k++) {
        HANDLE h = CreateFileA(paths[k], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return true;
        BOOL bRead = GetFileInformationByHandle(h, &info[k]);
        CloseHandle(h);
        if (!bRead)
            return true;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// What the item's copy will be, noted before the transfer (NAME_*); a folder
// that merges has its names noted. bRenames: the shell gives a colliding
// copy another name. bInDest: the item stands in the destination itself.
// A file sent elsewhere costs one lookup of the source: its copy, new or
// written over what was there, is the transfer's.
static char noteItem(Str *pstrMerged, const char *pszDest, const char *pszItem, bool bRenames,
                     bool bInDest) {
    const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
    const char *pszName = pszSep ? pszSep + 1 : pszItem;
    if (*pszName == '\0' || isDot(pszName) || strchr(pszName, '/') != NULL || bInDest)
        return NAME_TAKEN; // no copy of the item's own name, or the source itself
    DWORD dwItem = GetFileAttributesA(pszItem);
    bool bFolder = dwItem != INVALID_FILE_ATTRIBUTES && (dwItem & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD dwKind = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (!bRenames && !bFolder)
        return NAME_FILE;
    Str strPath = {};
    char cName = NAME_TAKEN;
    DWORD dwThere = joinPath(&strPath, pszDest, pszName) ? GetFileAttributesA(strPath.buffer) : 0;
    if (dwThere == INVALID_FILE_ATTRIBUTES) {
        cName = bFolder ? NAME_FREE : NAME_FILE;
    } else if (!bRenames && (dwThere & dwKind) == FILE_ATTRIBUTE_DIRECTORY) {
        unsigned int before = pstrMerged->length;
        if (noteMerge(pstrMerged, pszItem, strPath.buffer, pszName) &&
            appendBytes(pstrMerged, "", 1))
            cName = NAME_MERGED;
        else if (pstrMerged->buffer != NULL)
            pstrMerged->buffer[pstrMerged->length = before] = '\0'; // no part left unfinished
    }
    freeStr(&strPath);
    return cName;
}

// Notes for each item what its copy will be (noteItem), one character an
// item. Whether items stand in the destination is asked once a folder.
// Without memory for that the record stays empty: every item counts as taken.
static void noteExisting(Str *pstrNames, Str *pstrMerged, const char *pszDest, const char *pszList,
                         bool bRenames) {
    unsigned int n = 0;
    for (const char *pszItem = pszList; *pszItem != '\0'; pszItem += strlen(pszItem) + 1)
        n++;
    Str strFolder = {};
    bool bInDest = true;
    assignStr(pstrNames, "");
    if (pstrNames->buffer == NULL || resize(pstrNames, n) == NULL)
        return;
    for (const char *pszItem = pszList; *pszItem != '\0'; pszItem += strlen(pszItem) + 1) {
        const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
        size_t cbFolder = pszSep != NULL ? (size_t)(pszSep - pszItem) : 0;
        if (cbFolder == 2 && pszItem[1] == ':')
            cbFolder++; // a drive's root keeps its backslash
        if (strFolder.buffer == NULL || strFolder.length != cbFolder ||
            memcmp(strFolder.buffer, pszItem, cbFolder) != 0) {
            bool bRoom = resize(&strFolder, (unsigned int)cbFolder) != NULL;
            if (bRoom) {
                memcpy(strFolder.buffer, pszItem, cbFolder);
                strFolder.buffer[strFolder.length = (unsigned int)cbFolder] = '\0';
            }
            bInDest = !bRoom || isSameEntry(strFolder.buffer, pszDest);
        }
        pstrNames->buffer[pstrNames->length++] =
            noteItem(pstrMerged, pszDest, pszItem, bRenames, bInDest);
    }
    pstrNames->buffer[pstrNames->length] = '\0';
    freeStr(&strFolder);
}

// ---------------------------------------------------------------- names the code page cannot hold

// The refusal names the code page in force: in UTF-8 only an unpaired
// surrogate (which NTFS allows) is refused.
static UINT unrepresentableTextId(BOOL bDropped) {
    if (GetACP() == CP_UTF8)
        return bDropped ? IDS_UNREPRESENTABLE_DROP_UTF8 : IDS_UNREPRESENTABLE_UTF8;
    return bDropped ? IDS_UNREPRESENTABLE_DROP : IDS_UNREPRESENTABLE;
}

// The text uId of the string table followed by the names.
static void showNamed(HWND hOwner, UINT uId, const WCHAR *pszNames, UINT uIcon) {
    // The table's text in place: counted, not NUL-terminated.
    const WCHAR *pIntro = NULL;
    int cchIntro = LoadStringW(GetModuleHandleA(NULL), uId, (LPWSTR)&pIntro, 0);
    if (cchIntro < 0 || pIntro == NULL)
        cchIntro = 0;
    size_t cchNames = wcslen(pszNames);
    WCHAR *pszText = (WCHAR *)malloc(((size_t)cchIntro + cchNames + 1) * sizeof(WCHAR));
    if (pszText != NULL) {
        memcpy(pszText, pIntro, (size_t)cchIntro * sizeof(WCHAR));
        memcpy(pszText + cchIntro, pszNames, (cchNames + 1) * sizeof(WCHAR));
    }
    MessageBoxW(hOwner, pszText != NULL ? pszText : pszNames, L"" APP_TITLE, uIcon);
    free(pszText);
}

void showUnrepresentable(HWND hOwner, const WCHAR *pszNames, BOOL bDropped) {
    showNamed(hOwner, unrepresentableTextId(bDropped), pszNames,
              bDropped ? MB_ICONWARNING : MB_ICONERROR);
}

void showBadNames(HWND hOwner, const WCHAR *pszNames, BOOL bDropped) {
    showNamed(hOwner, bDropped ? IDS_BAD_NAME_DROP : IDS_BAD_NAME, pszNames,
              bDropped ? MB_ICONWARNING : MB_ICONERROR);
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

// The argument error: a path that cannot be taken as written.
static void showArgError(HWND hOwner) {
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

// The prompt (destination, then the list) in a message box, or in the
// scrolling dialog for a long list. Returns IDYES, IDNO, IDCANCEL, 3 when
// the text cannot be built, or another value when the dialog cannot be shown.
static int confirmList(HINSTANCE hInstance, const char *pszFormat, Str *pstrFiles, int nItems,
                       Str *pstrDest) {
    if (nItems > DIALOG_MIN_ITEMS || pstrFiles->length >= DIALOG_MIN_BYTES) {
        ConfirmParam param = {pstrFiles, pszFormat, pstrDest};
        return (int)DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_CONFIRM), NULL, DialogProc,
                                    (LPARAM)&param);
    }
    Str strPrompt = {};
    int answer = 3;
    if (resize(&strPrompt,
               pstrFiles->length + pstrDest->length + (unsigned int)strlen(pszFormat)) != NULL) {
        strPrompt.length = (unsigned int)_snprintf(strPrompt.buffer, strPrompt.capacity, pszFormat,
                                                   pstrDest->buffer, pstrFiles->buffer);
        answer = showMessage(strPrompt.buffer, MB_YESNOCANCEL | MB_ICONQUESTION);
        freeStr(&strPrompt);
    }
    return answer;
}

// The transfer is done, but nKept read-only entries kept their bit: said
// whether or not success is to be notified, never as a full success.
static void showClearFailed(bool bMove, unsigned int nKept) {
    char szText[256];
    _snprintf(szText, sizeof(szText) - 1,
              loadText(bMove ? IDS_MOVE_CLEAR_FAILED : IDS_COPY_CLEAR_FAILED), nKept);
    szText[sizeof(szText) - 1] = '\0';
    showMessage(szText, MB_ICONWARNING);
}

// Compares what the file operation wrote with its sources; a move across
// volumes came as a copy, whose proven sources go now. Returns the exit status.
static int proveTransfer(Settings *pSettings, const SHFILEOPSTRUCTA *pOp, bool bMove) {
    VerifyRequest request = {pOp->pFrom,
                             pOp->pTo,
                             pOp->hNameMappings,
                             bMove,
                             (pSettings->dwFlags & OPT_NOTIFY) != 0,
                             pfnFileOperation};
    return verifyTransfer(&request);
}

// Asks whether to transfer, as confirmList answers.
static int confirmTransfer(Settings *pSettings, Str *pstrFiles, int nItems, Str *pstrDest) {
    if (pSettings->dwFlags & OPT_NO_CONFIRM)
        return IDYES;
    const char *pszFormat =
        loadText((pSettings->dwFlags & OPT_MOVE) ? IDS_MOVE_PROMPT : IDS_COPY_PROMPT);
    return confirmList(pSettings->hInstance, pszFormat, pstrFiles, nItems, pstrDest);
}

// Hands the journal what the transfer wrote: each item by the name the shell
// gave it, which was free before when the shell chose it on a collision.
static void recordJournal(bool bMove, const char *pszDest, const char *pszList, Str *pstrExisted,
                          HANDLE hMappings) {
    Str strNames = {}, strName = {};
    bool bOk = true;
    unsigned int i = 0;
    for (const char *pszItem = pszList; bOk && *pszItem != '\0';
         pszItem += strlen(pszItem) + 1, i++) {
        const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
        const char *pszName = pszSep ? pszSep + 1 : pszItem;
        if (mappedName(hMappings, pszItem, &strName)) {
            pszName = strName.buffer;
            if (i < pstrExisted->length)
                pstrExisted->buffer[i] = '0';
        }
        unsigned int before = strNames.length;
        appendStr(&strNames, *pszName != '\0' ? pszName : "\\"); // a drive root: no name
        appendStr(&strNames, "\n");
        bOk = strNames.length > before + 1;
    }
    for (unsigned int k = 0; bOk && k < strNames.length; k++) {
        if (strNames.buffer[k] == '\n')
            strNames.buffer[k] = '\0';
    }
    if (bOk && strNames.length > 0)
        recordTransfer(bMove, pszDest, pszList, strNames.buffer,
                       pstrExisted->buffer != NULL ? pstrExisted->buffer : "");
    freeStr(&strName);
    freeStr(&strNames);
}

// The list of what goes back in the undo's prompt, then the undo itself; the
// exit status (1 when something was left alone or the undo failed).
static int confirmAndUndo(HINSTANCE hInstance, const Journal *pj, UndoPlan *pp) {
    Str strDest = {};
    char szDest[PATH_BYTES];
    int answer = IDYES;
    if (pp->nTake > 0) {
        answer = 3;
        if (WideCharToMultiByte(CP_ACP, 0, pj->pszDest, -1, szDest, PATH_BYTES, NULL, NULL) > 0 &&
            assignStr(&strDest, szDest) != NULL)
            answer = confirmList(hInstance,
                                 loadText(pj->bMove ? IDS_UNDO_MOVE_PROMPT : IDS_UNDO_COPY_PROMPT),
                                 &pp->strShown, (int)pp->nTake, &strDest);
    }
    freeStr(&strDest);
    if (answer == 3)
        showStringError(NULL);
    if (answer != IDYES)
        return 0;
    BOOL bAborted = FALSE;
    if (pp->nTake > 0 && performUndo(pj, pp, &bAborted) != 0) {
        if (!bAborted)
            showMessage(loadText(IDS_UNDO_FAILED), MB_ICONWARNING);
        return 1;
    }
    if (pp->nLeft > 0) {
        showNamed(NULL, IDS_UNDO_LEFT, pp->left.p, MB_ICONWARNING);
        return 1;
    }
    clearJournal();
    return 0;
}

// Takes the last transfer back, as "/undo" or the jump menu asks. A journal
// that cannot be read as written touches nothing.
static int runUndo(HINSTANCE hInstance) {
    Journal journal;
    UndoPlan plan;
    int nRead = readJournal(&journal);
    if (nRead == JOURNAL_DAMAGED) {
        showMessage(loadText(IDS_UNDO_DAMAGED), MB_ICONERROR);
        return 1;
    }
    int status = 0;
    if (nRead == JOURNAL_NONE || !planUndo(&journal, &plan)) {
        if (nRead != JOURNAL_NONE)
            showStringError(NULL);
        else
            showMessage(loadText(IDS_UNDO_NOTHING), MB_ICONINFORMATION);
        freeJournal(&journal);
        return nRead == JOURNAL_NONE ? 0 : 1;
    }
    if (plan.nTake == 0 && plan.nLeft == 0)
        showMessage(loadText(IDS_UNDO_NOTHING), MB_ICONINFORMATION);
    else
        status = confirmAndUndo(hInstance, &journal, &plan);
    freePlan(&plan);
    freeJournal(&journal);
    return status;
}

// Notes for each item, as '1' or '0', whether its name is in the destination
// before the transfer (for the journal). On a failure the record stays short, and the items
// it does not cover count as present.
static void noteTaken(Str *pstrExisted, const char *pszDest, const char *pszList) {
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

// Copies or moves the list into the destination, then the post-actions.
// Returns the exit status.
static int transfer(Settings *pSettings, Str *pstrFiles, Str *pstrDest) {
    for (unsigned int i = 0; i < pstrFiles->length; i++) {
        if (pstrFiles->buffer[i] == '\n')
            pstrFiles->buffer[i] = '\0';
    }
    bool bMove = (pSettings->dwFlags & OPT_MOVE) != 0;
    // A verified move within a volume is a rename and runs as any move; across
    // volumes it copies, and the sources go only once proven.
    bool bVerify = (pSettings->dwFlags & OPT_VERIFY) != 0;
    bool bCopyFirst = bMove && bVerify && !onOneVolume(pstrFiles->buffer, pstrDest->buffer);
    SHFILEOPSTRUCTA op = {};
    op.hwnd = NULL;
    op.wFunc = bMove && !bCopyFirst ? FO_MOVE : FO_COPY;
    op.pFrom = pstrFiles->buffer;
    op.pTo = pstrDest->buffer;
    if (pSettings->dwFlags & OPT_SILENT_OVERWRITE)
        op.fFlags |= FOF_NOCONFIRMATION;
    if (pSettings->dwFlags & OPT_NO_OVERWRITE)
        op.fFlags |= FOF_RENAMEONCOLLISION;
    // Only what the transfer writes loses its bit, so what is there is noted
    // first. A copy the shell names anew (on a collision, or beside its own
    // source) is cleared by that name; where the shell gives no names, the
    // entries that were there stay as they are.
    Str strNames = {}, strMerged = {};
    bool bClear = (pSettings->dwFlags & OPT_CLEAR_READONLY) != 0;
    if (bClear) {
        op.fFlags |= FOF_WANTMAPPINGHANDLE;
        noteExisting(&strNames, &strMerged, pstrDest->buffer, pstrFiles->buffer,
                     (pSettings->dwFlags & OPT_NO_OVERWRITE) != 0);
    }
    if (bVerify && (pSettings->dwFlags & OPT_NO_OVERWRITE))
        op.fFlags |= FOF_WANTMAPPINGHANDLE; // renamed copies are compared under their new names
    // The journal tells undo which names were there before: those it leaves.
    Str strExisted = {};
    noteTaken(&strExisted, pstrDest->buffer, pstrFiles->buffer);

    // The shell loses sources when it moves into a folder that is gone, so a
    // destination that is no longer a folder fails the transfer outright.
    DWORD dwAttr = GetFileAttributesA(pstrDest->buffer);
    int rc = 1, nStatus = 0;
    if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY))
        rc = pfnFileOperation(&op);

    if (rc != 0) {
        if (!op.fAnyOperationsAborted)
            showMessage(loadText(bMove ? IDS_MOVE_FAILED : IDS_COPY_FAILED), MB_ICONWARNING);
    } else if (!op.fAnyOperationsAborted) {
        // Only after a whole transfer: once the user declined some items in
        // the shell's own dialogs, which names in the destination are the
        // transferred ones is no longer known.
        unsigned int nKept = 0;
        if (bClear)
            nKept = ChangeFileAttr(pstrDest->buffer, pstrFiles->buffer,
                                   strNames.buffer ? strNames.buffer : "", strMerged.buffer,
                                   op.hNameMappings);
        if (nKept > 0)
            showClearFailed(bMove, nKept);
        if (bVerify && (!bMove || bCopyFirst))
            nStatus = proveTransfer(pSettings, &op, bMove);
        else if (nKept == 0 && (pSettings->dwFlags & OPT_NOTIFY))
            showMessage(loadText(bMove ? IDS_MOVE_DONE : IDS_COPY_DONE), MB_ICONINFORMATION);
    } else if (bCopyFirst) {
        // The user declined some copies: the sources proven go all the same.
        nStatus = proveTransfer(pSettings, &op, bMove);
    }
    recordJournal(bMove, pstrDest->buffer, pstrFiles->buffer, &strExisted, op.hNameMappings);
    if (op.hNameMappings != NULL)
        SHFreeNameMappings(op.hNameMappings);
    freeStr(&strExisted);
    freeStr(&strMerged);
    freeStr(&strNames);
    saveRecentList(pSettings, pstrDest);
    if (pSettings->dwFlags & OPT_OPEN_FOLDER)
        pfnShellExecute(NULL, "open", pstrDest->buffer, NULL, pstrDest->buffer, SW_SHOWDEFAULT);
    return nStatus;
}

// Opens the chooser until the user confirms, cancels, or a failure ends the
// run; the exit status.
static int runMainLoop(Settings *pSettings, Str *pstrFiles, int nItems, Str *pstrDest) {
    int answer = IDNO, nStatus = 0;
    while (answer == IDNO) {
        LPITEMIDLIST pidl = GuiMain(pSettings);
        if (pidl == NULL) // the jump menu's undo ends the chooser this way
            return (pSettings->dwFlags & OPT_UNDO) ? runUndo(pSettings->hInstance) : 0;
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
            nStatus = transfer(pSettings, pstrFiles, pstrDest);
    }
    return nStatus;
}

int runDriver(HINSTANCE hInstance, Str *pstrFiles, int nItems, WCHAR *pszForeign) {
    Str strDest = {};
    int nStatus = 0;
    Settings settings = {};
    if (pszForeign != NULL && nItems == DRIVER_BAD_NAME) {
        showBadNames(NULL, pszForeign, FALSE);
    } else if (pszForeign != NULL) {
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
            nStatus = runMainLoop(&settings, pstrFiles, nItems, &strDest);
        else
            showStringError(NULL);
        RegCloseKey(settings.hKey);
    }
    freeStr(&strDest);
    return nStatus;
}

// A switch in either spelling (COM starts a local server with -Embedding or
// /Embedding), alone on the line.
static bool isSwitch(const char *pszTail, const char *pszName) {
    size_t cch = strlen(pszName);
    if ((pszTail[0] != '-' && pszTail[0] != '/') || _strnicmp(pszTail + 1, pszName, cch) != 0)
        return false;
    for (pszTail += 1 + cch; *pszTail == ' ' || *pszTail == '\t';)
        pszTail++;
    return *pszTail == '\0';
}

// Started by COM: the driver takes what the drop-target server received, as
// it takes a command line.
static int runServed(HINSTANCE hInstance) {
    DroppedList dropped = {};
    ServerResult result = runDropServer(&dropped);
    int nStatus = result == SERVER_FAILED ? 1 : 0;
    if (result == SERVER_DROPPED)
        nStatus = runDriver(hInstance, &dropped.strFiles, dropped.nItems, dropped.pszForeign);
    free(dropped.pszForeign);
    freeStr(&dropped.strFiles);
    return nStatus;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int) {
    Str strCmdLine = {};
    Str strFiles = {};

    HMODULE hKernel = LoadLibraryA("kernel32.dll");
    if (hKernel != NULL)
        ptrGetLongPathName =
            (GetLongPathNameProc)(void *)GetProcAddress(hKernel, "GetLongPathNameA");
    if (isSwitch(lpCmdLine, "Embedding"))
        return runServed(hInstance);
    if (isSwitch(lpCmdLine, "undo"))
        return runUndo(hInstance);
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
    int nStatus = runDriver(hInstance, &strFiles, nItems, pszForeign);
    free(pszForeign);
    freeStr(&strCmdLine);
    freeStr(&strFiles);
    if (hKernel != NULL)
        FreeLibrary(hKernel);
    return nStatus;
}
