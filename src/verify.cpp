// Verification after a transfer: each file sent directly and every file inside
// a sent folder is compared with what the transfer wrote (under the shell's
// new name where it gave one), sizes first, then every byte. The copy is read
// past the system cache, so that what is compared is what reached the medium.
// A move across volumes arrives here as a copy; only the sources proven equal
// are deleted afterwards. The walk is wide, so that no name is passed over
// for want of the code page.
#include "verify.h"
#include "progress.h"
#include "resource.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The piece read at a time: a multiple of every sector size, as unbuffered
// reads require, and large enough that the calls cost nothing beside the data.
#define VERIFY_CHUNK    (1024 * 1024)
#define VERIFY_PATH_CCH 32768 // the most a wide path holds
#define VERIFY_LISTED   100   // names the warning shows

// The state of one verification.
struct Verify {
    Progress progress;
    BYTE *pSource; // VERIFY_CHUNK each, page-aligned
    BYTE *pCopy;
    WCHAR szSource[VERIFY_PATH_CCH]; // the entry being compared
    WCHAR szCopy[VERIFY_PATH_CCH];   // and what the transfer wrote for it
    unsigned int nFiles;             // files compared
    unsigned int nProven;            // of those, equal to their source
    unsigned int nFailed;            // entries that differ or cannot be read
    unsigned int nBuffered;          // copies the volume would not read unbuffered
    ULONGLONG cbDone;                // bytes compared
    WideText failed;                 // the first VERIFY_LISTED of them, a line each
    char szFormat[256];              // the progress text
    char szCancel[64];
};

// Appends the string-table text uId, formatted with n. Where memory runs out
// the message goes out shorter; the counts stay right.
static void appendFormatted(WideText *pText, UINT uId, unsigned int n) {
    WCHAR szFormat[512], szText[600];
    if (LoadStringW(GetModuleHandleA(NULL), uId, szFormat, 512) <= 0)
        return;
    _snwprintf(szText, 599, szFormat, n);
    szText[599] = L'\0';
    appendText(pText, szText);
}

static void noteFailed(Verify *pv, const WCHAR *pszName) {
    if (pv->nFailed++ >= VERIFY_LISTED)
        return;
    appendText(&pv->failed, pszName);
    appendText(&pv->failed, L"\r\n");
}

static bool stepVerify(Verify *pv) {
    return stepProgress(&pv->progress, pv->szFormat, pv->nFiles, (unsigned int)(pv->cbDone >> 20));
}

// Puts a backslash (unless there is one) and the name behind the first cch
// characters of the path; false when it does not fit.
static bool appendName(WCHAR *pszPath, size_t cch, const WCHAR *pszName) {
    size_t cchName = wcslen(pszName);
    bool bSep = cch == 0 || pszPath[cch - 1] != L'\\';
    if (cch + bSep + cchName >= VERIFY_PATH_CCH)
        return false;
    if (bSep)
        pszPath[cch++] = L'\\';
    memcpy(pszPath + cch, pszName, (cchName + 1) * sizeof(WCHAR));
    return true;
}

// The copy is read past the system cache. Where the volume refuses that
// (some network shares do), it is read normally, and counted.
static HANDLE openCopy(Verify *pv) {
    HANDLE h = CreateFileW(pv->szCopy, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    DWORD dwError = GetLastError();
    if (h != INVALID_HANDLE_VALUE || dwError == ERROR_FILE_NOT_FOUND ||
        dwError == ERROR_PATH_NOT_FOUND)
        return h;
    h = CreateFileW(pv->szCopy, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (h != INVALID_HANDLE_VALUE)
        pv->nBuffered++;
    return h;
}

// Reads the next piece of both files and compares them; *pcb gets its size.
static bool sameChunk(Verify *pv, HANDLE hSource, HANDLE hCopy, DWORD *pcb) {
    DWORD cbCopy = 0;
    *pcb = 0;
    return ReadFile(hSource, pv->pSource, VERIFY_CHUNK, pcb, NULL) &&
           ReadFile(hCopy, pv->pCopy, VERIFY_CHUNK, &cbCopy, NULL) && *pcb == cbCopy &&
           memcmp(pv->pSource, pv->pCopy, cbCopy) == 0;
}

// Compares the file szSource with szCopy: sizes, then every byte. A file
// that differs or cannot be read is noted; one cut short by Cancel is not.
static bool compareFile(Verify *pv) {
    pv->nFiles++;
    HANDLE hSource = CreateFileW(pv->szSource, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    HANDLE hCopy = hSource != INVALID_HANDLE_VALUE ? openCopy(pv) : INVALID_HANDLE_VALUE;
    LARGE_INTEGER cbSource = {}, cbCopy = {};
    bool bSame = hCopy != INVALID_HANDLE_VALUE && GetFileSizeEx(hSource, &cbSource) &&
                 GetFileSizeEx(hCopy, &cbCopy) && cbSource.QuadPart == cbCopy.QuadPart;
    DWORD cb = 1;
    while (bSame && cb != 0 && stepVerify(pv)) {
        bSame = sameChunk(pv, hSource, hCopy, &cb);
        pv->cbDone += cb;
    }
    if (hCopy != INVALID_HANDLE_VALUE)
        CloseHandle(hCopy);
    if (hSource != INVALID_HANDLE_VALUE)
        CloseHandle(hSource);
    if (pv->progress.bCancelled)
        return false;
    if (!bSame)
        noteFailed(pv, pv->szCopy);
    pv->nProven += bSame;
    return bSame;
}

// One walk of a sent folder: its copy's path, and whether all is proven.
struct VerifyWalk {
    Verify *pv;
    WideText copy; // the folder's copy
    bool bProven;
};

// Each entry below the sent folder against its place in the copy. A folder
// reached through a link leads out of what was sent, so it is not walked,
// and it leaves what holds it unproven. A linked file is read through its
// link, as the shell copied it.
static int verifyInFolder(void *pContext, WideText *pPath, size_t cchTop,
                          const WIN32_FIND_DATAW *pfd) {
    VerifyWalk *pw = (VerifyWalk *)pContext;
    Verify *pv = pw->pv;
    DWORD dwAttr = pfd->dwFileAttributes;
    if (wcscmp(pfd->cFileName, L".") == 0)
        return WALK_NEXT;
    const WCHAR *pszRel = pPath->p + cchTop; // "\name..."
    size_t cchRel = pPath->length - cchTop;
    bool bLinkedFolder =
        (dwAttr & FILE_ATTRIBUTE_DIRECTORY) && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT);
    if (bLinkedFolder || pPath->length >= VERIFY_PATH_CCH ||
        pw->copy.length + cchRel >= VERIFY_PATH_CCH) {
        noteFailed(pv, pPath->p);
        pw->bProven = false;
        return WALK_NEXT;
    }
    memcpy(pv->szSource, pPath->p, (pPath->length + 1) * sizeof(WCHAR));
    memcpy(pv->szCopy, pw->copy.p, pw->copy.length * sizeof(WCHAR));
    memcpy(pv->szCopy + pw->copy.length, pszRel, (cchRel + 1) * sizeof(WCHAR));
    if (!(dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        pw->bProven = compareFile(pv) && pw->bProven;
        return pv->progress.bCancelled ? WALK_STOP : WALK_NEXT;
    }
    DWORD dwCopy = GetFileAttributesW(pv->szCopy);
    if (dwCopy != INVALID_FILE_ATTRIBUTES && (dwCopy & FILE_ATTRIBUTE_DIRECTORY))
        return WALK_INTO;
    noteFailed(pv, pv->szCopy);
    pw->bProven = false;
    return WALK_NEXT;
}

// Compares everything inside the folder szSource with the folder szCopy, at
// every depth; true when all of it was proven. A listing that fails or ends
// early leaves the folder unproven.
static bool verifyFolder(Verify *pv) {
    VerifyWalk walk = {pv, {}, true};
    WideText source = {};
    DWORD dwAttr = GetFileAttributesW(pv->szCopy);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_DIRECTORY) ||
        !appendText(&walk.copy, pv->szCopy) || !appendText(&source, pv->szSource)) {
        noteFailed(pv, pv->szCopy);
        walk.bProven = false;
    } else if (walkFolder(&source, verifyInFolder, &walk) == WALK_UNKNOWN) {
        noteFailed(pv, source.p);
        walk.bProven = false;
    }
    freeWide(&source);
    freeWide(&walk.copy);
    return walk.bProven && !pv->progress.bCancelled;
}

static bool verifyEntry(Verify *pv, DWORD dwAttr) {
    if (!(dwAttr & FILE_ATTRIBUTE_DIRECTORY))
        return compareFile(pv);
    if (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) {
        noteFailed(pv, pv->szSource);
        return false;
    }
    return verifyFolder(pv);
}

// Sets szSource to the item and szCopy to what the transfer wrote for it, as
// the plan tells; false when the plan knows no copy.
static bool locateItem(Verify *pv, const TransferPlan *pp, const PlanItem *pi) {
    const WCHAR *pszSource = planText(pp, pi->offSource);
    size_t cch = wcslen(pszSource);
    if (pi->offWritten == 0 || pi->source.chKind == 0 || cch >= VERIFY_PATH_CCH)
        return false;
    memcpy(pv->szSource, pszSource, (cch + 1) * sizeof(WCHAR));
    const WCHAR *pszDest = planText(pp, pp->offDest);
    cch = wcslen(pszDest);
    if (cch >= VERIFY_PATH_CCH)
        return false;
    memcpy(pv->szCopy, pszDest, (cch + 1) * sizeof(WCHAR));
    return appendName(pv->szCopy, cch, planText(pp, pi->offWritten));
}

// Compares every item of the plan with its copy, until Cancel; pbProven[i]
// tells whether item i was proven whole. An item that stood in the
// destination already was not moved, so there is nothing to prove of it.
static void verifyItems(Verify *pv, const VerifyRequest *pr, bool *pbProven) {
    const TransferPlan *pp = pr->pPlan;
    for (size_t i = 0; i < pp->nItems && !pv->progress.bCancelled; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (pr->bMove && pi->nBefore == BEFORE_SELF)
            continue;
        if (locateItem(pv, pp, pi))
            pbProven[i] = verifyEntry(pv, pi->dwAttr);
        else
            noteFailed(pv, planText(pp, pi->offSource));
    }
}

// The sources proven whole go, in one file operation; true when they went.
static bool deleteProven(const VerifyRequest *pr, const bool *pbProven) {
    Str strList = {};
    const TransferPlan *pp = pr->pPlan;
    for (size_t i = 0; i < pp->nItems; i++) {
        if (!pbProven[i])
            continue;
        const char *pszItem = pp->pItems[i].pszItem;
        unsigned int before = strList.length;
        appendStr(&strList, pszItem);
        appendStr(&strList, "\n");
        if (strList.length != before + strlen(pszItem) + 1) {
            freeStr(&strList);
            return false; // no room: nothing goes rather than a part of a name
        }
    }
    bool bDeleted = true;
    if (strList.length != 0) {
        for (unsigned int k = 0; k < strList.length; k++)
            if (strList.buffer[k] == '\n')
                strList.buffer[k] = '\0';
        SHFILEOPSTRUCTA op = {};
        op.wFunc = FO_DELETE;
        op.pFrom = strList.buffer;
        op.fFlags = FOF_NOCONFIRMATION; // the move itself was confirmed
        bDeleted = pr->pfnFileOperation(&op) == 0 && !op.fAnyOperationsAborted;
    }
    freeStr(&strList);
    return bDeleted;
}

// The warning or the notice; returns the exit status.
static int report(Verify *pv, const VerifyRequest *pr, bool bDeleted) {
    WideText text = {};
    bool bCancelled = pv->progress.bCancelled;
    if (bCancelled)
        appendFormatted(&text, IDS_VERIFY_CANCELLED, pv->nProven);
    if (pv->nFailed != 0) {
        appendFormatted(&text, IDS_VERIFY_FAILED, pv->nFailed);
        appendText(&text, pv->failed.p != NULL ? pv->failed.p : L"");
        if (pv->nFailed > VERIFY_LISTED)
            appendFormatted(&text, IDS_VERIFY_MORE, pv->nFailed - VERIFY_LISTED);
    }
    if (pr->bMove && (bCancelled || pv->nFailed != 0))
        appendFormatted(&text, bCancelled ? IDS_VERIFY_KEPT_ALL : IDS_VERIFY_KEPT, 0);
    if (!bDeleted)
        appendFormatted(&text, IDS_DELETE_FAILED, 0);
    bool bWarn = text.length != 0;
    if (!bWarn && pr->bNotify)
        appendFormatted(&text, pr->bMove ? IDS_MOVE_VERIFIED : IDS_COPY_VERIFIED, pv->nProven);
    if (text.length != 0 && pv->nBuffered != 0)
        appendFormatted(&text, IDS_VERIFY_BUFFERED, pv->nBuffered);
    if (text.length != 0)
        showWide(NULL, text.p, bWarn ? MB_ICONWARNING : MB_ICONINFORMATION);
    freeWide(&text);
    return bWarn ? 1 : 0;
}

int verifyTransfer(const VerifyRequest *pr) {
    size_t nItems = pr->pPlan->nItems;
    Verify *pv = (Verify *)calloc(1, sizeof(Verify));
    bool *pbProven = (bool *)calloc(nItems + 1, sizeof(bool));
    BYTE *pBuffers =
        (BYTE *)VirtualAlloc(NULL, 2 * VERIFY_CHUNK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    int nStatus = 1;
    if (pv != NULL && pbProven != NULL && pBuffers != NULL) {
        pv->pSource = pBuffers;
        pv->pCopy = pBuffers + VERIFY_CHUNK;
        LoadStringA(GetModuleHandleA(NULL), IDS_VERIFYING, pv->szFormat, sizeof(pv->szFormat));
        LoadStringA(GetModuleHandleA(NULL), IDS_CANCEL, pv->szCancel, sizeof(pv->szCancel));
        startProgress(&pv->progress, pv->szCancel);
        verifyItems(pv, pr, pbProven);
        endProgress(&pv->progress);
        // After Cancel nothing goes: what was proven so far stays in both places.
        bool bDeleted = !pr->bMove || pv->progress.bCancelled || deleteProven(pr, pbProven);
        nStatus = report(pv, pr, bDeleted);
        freeWide(&pv->failed);
    } else {
        // Nothing was proven, so nothing is deleted.
        WideText text = {};
        appendFormatted(&text, IDS_VERIFY_CANCELLED, 0);
        if (pr->bMove)
            appendFormatted(&text, IDS_VERIFY_KEPT_ALL, 0);
        showWide(NULL, text.p != NULL ? text.p : L"", MB_ICONWARNING);
        freeWide(&text);
    }
    if (pBuffers != NULL)
        VirtualFree(pBuffers, 0, MEM_RELEASE);
    free(pbProven);
    free(pv);
    return nStatus;
}

// The serial of the volume that holds the path itself (a link's own place,
// which is what a move renames); false when it cannot be had.
static bool volumeSerial(const char *pszPath, DWORD *pdwSerial) {
    HANDLE h =
        CreateFileA(pszPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool bKnown = GetFileInformationByHandle(h, &info) != FALSE;
    CloseHandle(h);
    *pdwSerial = info.dwVolumeSerialNumber;
    return bKnown;
}

bool onOneVolume(const char *pszList, const char *pszDest) {
    DWORD dwDest = 0, dwItem = 0;
    if (!volumeSerial(pszDest, &dwDest))
        return false;
    for (const char *pszItem = pszList; *pszItem != '\0'; pszItem += strlen(pszItem) + 1) {
        if (!volumeSerial(pszItem, &dwItem) || dwItem != dwDest)
            return false;
    }
    return true;
}
