// The transfer driver: the program's entry, its loop around the destination
// chooser, the choice of confirmation, the copy or move through the shell
// with the transfer's plan around it, and the post-actions, each reading the
// plan. Also the settings store (option bits and the ten recent
// destinations in the registry).
#include "porty4.h"
#include "portygui.h"
#include "clearing.h"
#include "confirm.h"
#include "dropserver.h"
#include "plan.h"
#include "verify.h"
#include "undo.h"
#include "queue.h"
#include "widetail.h"
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

#define BYTES_PER_ITEM 120

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

// ---------------------------------------------------------------- names the code page cannot hold

// The refusal names the code page in force: in UTF-8 only an unpaired
// surrogate (which NTFS allows) is refused.
static UINT unrepresentableTextId(BOOL bDropped) {
    if (GetACP() == CP_UTF8)
        return bDropped ? IDS_UNREPRESENTABLE_DROP_UTF8 : IDS_UNREPRESENTABLE_UTF8;
    return bDropped ? IDS_UNREPRESENTABLE_DROP : IDS_UNREPRESENTABLE;
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
    showText(hOwner, strText.buffer != NULL ? strText.buffer : pszNames, MB_ICONERROR);
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
    showText(hOwner, loadText(IDS_STRING_ERROR), MB_ICONERROR);
}

// The argument error: a path that cannot be taken as written.
static void showArgError(HWND hOwner) {
    showText(hOwner, loadText(IDS_ARG_ERROR), MB_ICONERROR);
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

static void freeItemIdList(LPITEMIDLIST pidl) {
    IMalloc *pMalloc = NULL;
    if (SUCCEEDED(SHGetMalloc(&pMalloc)) && pMalloc != NULL) {
        pMalloc->Free(pidl);
        pMalloc->Release();
    }
}

// A notice of how the transfer ended (the string table's text uId, formatted
// with n; none when 0). It is shown once the transfer gave its place in the
// queue up, so that transfers waiting behind it never wait for a click.
struct Notice {
    UINT uId;
    UINT uIcon;
    unsigned int n;
};

static void showNotice(const Notice *pNotice) {
    if (pNotice->uId == 0)
        return;
    char szText[256];
    _snprintf(szText, sizeof(szText) - 1, loadText(pNotice->uId), pNotice->n);
    szText[sizeof(szText) - 1] = '\0';
    showText(NULL, szText, pNotice->uIcon);
}

// Compares what the file operation wrote with its sources; a move across
// volumes came as a copy, whose sources go as they are proven. bDeclined:
// the user declined items in the shell's question. Returns the exit status.
static int proveTransfer(Settings *pSettings, const TransferPlan *pPlan, bool bMove,
                         bool bDeclined) {
    VerifyRequest request = {pPlan, bMove, (pSettings->dwFlags & OPT_NOTIFY) != 0, bDeclined};
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

// The list of what goes back in the undo's prompt, then the undo itself,
// which checks every item again as it acts; the exit status (1 when
// something was left alone or the undo failed).
static int confirmAndUndo(HINSTANCE hInstance, const Journal *pj, UndoPlan *pp) {
    Str strDest = {};
    char szDest[PATH_BYTES];
    int answer = IDYES;
    if (pp->nTake > 0) {
        answer = 3;
        if (WideCharToMultiByte(CP_ACP, 0, pj->pszDest, -1, szDest, PATH_BYTES, NULL, NULL) > 0 &&
            assignStr(&strDest, szDest) != NULL)
            answer = confirmList(hInstance, loadText(undoPrompt(pp)), &pp->strShown, (int)pp->nTake,
                                 &strDest);
    }
    freeStr(&strDest);
    if (answer == 3)
        showStringError(NULL);
    QueuePlace place = {};
    int turn = answer == IDYES && pp->nTake > 0 ? enterUndoQueue(&place, pj) : QUEUE_GO;
    if (answer != IDYES || turn != QUEUE_GO) {
        leaveQueue(&place);
        return 0;
    }
    BOOL bAborted = FALSE;
    int rc = pp->nTake > 0 ? performUndo(pj, pp, &bAborted) : 0;
    leaveQueue(&place);
    if (rc == UNDO_JOURNAL_CHANGED) {
        showText(NULL, loadText(IDS_UNDO_JOURNAL_CHANGED), MB_ICONWARNING);
        return 1;
    }
    if (rc != 0 || bAborted) {
        if (!bAborted)
            showText(NULL, loadText(IDS_UNDO_FAILED), MB_ICONWARNING);
        return 1;
    }
    if (pp->nLeft > 0) {
        showNamed(NULL, IDS_UNDO_LEFT, pp->left.p, MB_ICONWARNING);
        return 1;
    }
    return 0;
}

// Takes the last transfer back, as "/undo" or the jump menu asks. A journal
// that cannot be read as written touches nothing.
static int runUndo(HINSTANCE hInstance) {
    Journal journal;
    UndoPlan plan;
    int nRead = readJournal(&journal);
    if (nRead == JOURNAL_DAMAGED) {
        showText(NULL, loadText(IDS_UNDO_DAMAGED), MB_ICONERROR);
        return 1;
    }
    int status = 0;
    if (nRead == JOURNAL_NONE || !planUndo(&journal, &plan)) {
        if (nRead != JOURNAL_NONE)
            showStringError(NULL);
        else
            showText(NULL, loadText(IDS_UNDO_NOTHING), MB_ICONINFORMATION);
        freeJournal(&journal);
        return nRead == JOURNAL_NONE ? 0 : 1;
    }
    if (plan.bOnlyOver)
        showText(NULL, loadText(IDS_UNDO_ONLY_REPLACED), MB_ICONINFORMATION);
    else if (plan.nTake == 0 && plan.nLeft == 0)
        showText(NULL, loadText(IDS_UNDO_NOTHING), MB_ICONINFORMATION);
    else
        status = confirmAndUndo(hInstance, &journal, &plan);
    freePlan(&plan);
    freeJournal(&journal);
    return status;
}

// The shell's operation on one list: its result; whether the user declined
// anything, and the name mappings, are added to what the caller holds.
static int runOperation(UINT wFunc, const char *pszFrom, const char *pszTo, FILEOP_FLAGS fFlags,
                        HANDLE *phMappings, BOOL *pbAborted) {
    SHFILEOPSTRUCTA op = {};
    op.hwnd = NULL;
    op.wFunc = wFunc;
    op.pFrom = pszFrom;
    op.pTo = pszTo;
    op.fFlags = fFlags;
    int rc = pfnFileOperation(&op);
    *phMappings = op.hNameMappings;
    *pbAborted = *pbAborted || op.fAnyOperationsAborted;
    return rc;
}

// The shell's flags for the options. The shell names a copy anew on a
// collision when asked to, and in its own question where it offers to keep
// both: the mappings then tell the new names.
static FILEOP_FLAGS transferFlags(DWORD dwFlags) {
    FILEOP_FLAGS fFlags = 0;
    if (dwFlags & OPT_SILENT_OVERWRITE)
        fFlags |= FOF_NOCONFIRMATION;
    if (dwFlags & OPT_NO_OVERWRITE)
        fFlags |= FOF_RENAMEONCOLLISION;
    if (fFlags != FOF_NOCONFIRMATION)
        fFlags |= FOF_WANTMAPPINGHANDLE;
    return fFlags;
}

// Runs the transfer's operations: the items, then the copies beside
// themselves, each under a new name and renamed again rather than written
// over whatever the options. The shell loses sources when it moves into a
// folder that is gone, so a destination that is no longer a folder fails
// the transfer outright. Returns the shell's result.
static int runTransfer(const TransferPlan *pPlan, const char *pszList, const char *pszDest,
                       UINT wFunc, DWORD dwFlags, HANDLE *phMappings, BOOL *pbAborted) {
    Str strMain = {}, strSelfFrom = {}, strSelfTo = {};
    int rc = planLists(pPlan, &strMain, &strSelfFrom, &strSelfTo) ? 0 : 1;
    const char *pszMain = pPlan->nSelf != 0 ? strMain.buffer : pszList;
    for (size_t i = 0; rc == 0 && wFunc == FO_COPY && i < pPlan->nItems; i++) {
        const PlanItem *pi = &pPlan->pItems[i];
        if (pi->nBefore == BEFORE_SELF && pi->offWritten == 0)
            rc = 1; // no new name fits: it is not copied onto itself
    }
    DWORD dwAttr = GetFileAttributesA(pszDest);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_DIRECTORY))
        rc = 1;
    if (rc == 0 && pszMain != NULL)
        rc = runOperation(wFunc, pszMain, pszDest, transferFlags(dwFlags), &phMappings[0],
                          pbAborted);
    if (rc == 0 && strSelfFrom.buffer != NULL)
        rc = runOperation(FO_COPY, strSelfFrom.buffer, strSelfTo.buffer,
                          FOF_MULTIDESTFILES | FOF_RENAMEONCOLLISION | FOF_WANTMAPPINGHANDLE,
                          &phMappings[1], pbAborted);
    freeStr(&strSelfTo);
    freeStr(&strSelfFrom);
    freeStr(&strMain);
    return rc;
}

// After the shell's operation: the clearing, the proof and the notice, as
// the options ask. Returns the exit status.
static int afterTransfer(Settings *pSettings, const TransferPlan *pPlan, int rc, BOOL bAborted,
                         bool bCopyFirst, Notice *pNotice) {
    DWORD dwFlags = pSettings->dwFlags;
    bool bMove = (dwFlags & OPT_MOVE) != 0, bVerify = (dwFlags & OPT_VERIFY) != 0;
    if (rc != 0) {
        if (!bAborted)
            *pNotice = {bMove ? (UINT)IDS_MOVE_FAILED : (UINT)IDS_COPY_FAILED, MB_ICONWARNING, 0};
        return 0;
    }
    // The user declined some items: what was written is proven all the same,
    // and what was not is named.
    if (bAborted)
        return bVerify && (!bMove || bCopyFirst) ? proveTransfer(pSettings, pPlan, bMove, true) : 0;
    // The clearing only after a whole transfer. Read-only entries that kept
    // their bit are told whether or not success is to be notified, never as a
    // full success.
    unsigned int nKept = (dwFlags & OPT_CLEAR_READONLY) ? ChangeFileAttr(pPlan) : 0;
    if (nKept > 0)
        *pNotice = {bMove ? (UINT)IDS_MOVE_CLEAR_FAILED : (UINT)IDS_COPY_CLEAR_FAILED,
                    MB_ICONWARNING, nKept};
    else if (dwFlags & OPT_NOTIFY)
        *pNotice = {bMove ? (UINT)IDS_MOVE_DONE : (UINT)IDS_COPY_DONE, MB_ICONINFORMATION, 0};
    if (bVerify && (!bMove || bCopyFirst)) {
        if (nKept == 0)
            pNotice->uId = 0; // the verification tells how it ended
        return proveTransfer(pSettings, pPlan, bMove, false);
    }
    return 0;
}

// Copies or moves the list into the destination, then the post-actions; the
// transfer's place in the queue (or null) is given up before the notice.
// Returns the exit status.
static int transfer(Settings *pSettings, Str *pstrFiles, Str *pstrDest, QueuePlace *pPlace) {
    for (unsigned int i = 0; i < pstrFiles->length; i++) {
        if (pstrFiles->buffer[i] == '\n')
            pstrFiles->buffer[i] = '\0';
    }
    DWORD dwFlags = pSettings->dwFlags;
    bool bMove = (dwFlags & OPT_MOVE) != 0;
    DWORD dwHow = (bMove ? PLAN_MOVE : 0) | ((dwFlags & OPT_NO_OVERWRITE) ? PLAN_RENAMES : 0) |
                  ((dwFlags & OPT_CLEAR_READONLY) ? PLAN_MERGES : 0);
    TransferPlan plan;
    if (!makePlan(&plan, pstrFiles->buffer, pstrDest->buffer, dwHow)) {
        showStringError(NULL); // nothing was transferred
        return 0;
    }
    // A verified move within a volume is a rename and runs as any move; across
    // volumes, or where that cannot be told, it copies, and each source goes
    // once proven.
    bool bCopyFirst = bMove && (dwFlags & OPT_VERIFY) && !onOneVolume(&plan);
    HANDLE hMappings[2] = {};
    BOOL bAborted = FALSE;
    int rc = runTransfer(&plan, pstrFiles->buffer, pstrDest->buffer,
                         bMove && !bCopyFirst ? FO_MOVE : FO_COPY, dwFlags, hMappings, &bAborted);
    completePlan(&plan, hMappings[0], hMappings[1]);
    Notice notice = {};
    int nStatus = afterTransfer(pSettings, &plan, rc, bAborted, bCopyFirst, &notice);
    recordTransfer(&plan);
    for (HANDLE h : hMappings)
        if (h != NULL)
            SHFreeNameMappings(h);
    freeTransferPlan(&plan);
    if (pPlace != NULL)
        leaveQueue(pPlace);
    showNotice(&notice);
    saveRecentList(pSettings, pstrDest);
    if (dwFlags & OPT_OPEN_FOLDER)
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
        if (!isExactPath(pstrDest->buffer, pstrDest->length, false)) {
            // The shell would read it as its twin ("Docs " as "Docs"): the
            // chooser again, nothing transferred.
            showNamed(NULL, IDS_BAD_DEST, szWide, MB_ICONERROR);
            continue;
        }
        if (pstrFiles->length == 0) {
            showText(NULL, loadText(IDS_NO_FILES), MB_ICONERROR);
            break;
        }
        answer = confirmTransfer(pSettings, pstrFiles, nItems, pstrDest);
        if (answer == 3) {
            showStringError(NULL);
            answer = IDCANCEL;
        }
        QueuePlace place = {};
        if (answer == IDYES && enterQueue(&place, pstrFiles->buffer, pstrDest->buffer,
                                          (pSettings->dwFlags & OPT_MOVE) != 0))
            nStatus = transfer(pSettings, pstrFiles, pstrDest, &place);
        leaveQueue(&place);
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
        showText(NULL, loadText(IDS_NO_FILES), MB_ICONERROR);
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
