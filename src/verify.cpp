// Verification after a transfer: each file sent directly and every file inside
// a sent folder is compared with what the transfer wrote (under the shell's
// new name where it gave one), sizes first, then every byte. The copy is read
// past the system cache, so that what is compared is what reached the medium.
// A move across volumes arrives here as a copy; only the sources proven equal
// are deleted afterwards. The walk is wide, so that no name is passed over
// for want of the code page.
#include "verify.h"
#include "portystr.h"
#include "progress.h"
#include "resource.h"
#include "version.h"
#include <mbstring.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The piece read at a time: a multiple of every sector size, as unbuffered
// reads require, and large enough that the calls cost nothing beside the data.
#define VERIFY_CHUNK    (1024 * 1024)
#define VERIFY_PATH_CCH 32768 // the most a wide path holds
#define VERIFY_LISTED   100   // names the warning shows

// A growing wide text.
struct WideText {
    WCHAR *psz;
    size_t cch;
};

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

static void appendWide(WideText *pText, const WCHAR *psz) {
    size_t cch = wcslen(psz);
    WCHAR *p = (WCHAR *)realloc(pText->psz, (pText->cch + cch + 1) * sizeof(WCHAR));
    if (p == NULL)
        return; // the message goes out shorter; the counts stay right
    memcpy(p + pText->cch, psz, (cch + 1) * sizeof(WCHAR));
    pText->psz = p;
    pText->cch += cch;
}

// Appends the string-table text uId, formatted with n.
static void appendText(WideText *pText, UINT uId, unsigned int n) {
    WCHAR szFormat[512], szText[600];
    if (LoadStringW(GetModuleHandleA(NULL), uId, szFormat, 512) <= 0)
        return;
    _snwprintf(szText, 599, szFormat, n);
    szText[599] = L'\0';
    appendWide(pText, szText);
}

static void noteFailed(Verify *pv, const WCHAR *pszName) {
    if (pv->nFailed++ >= VERIFY_LISTED)
        return;
    appendWide(&pv->failed, pszName);
    appendWide(&pv->failed, L"\r\n");
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

static bool verifyEntry(Verify *pv, DWORD dwAttr);

static bool isDot(const WCHAR *pszName) {
    return wcscmp(pszName, L".") == 0 || wcscmp(pszName, L"..") == 0;
}

// Compares everything inside the folder szSource with the folder szCopy, at
// every depth; true when all of it was proven. A listing that ends with an
// error other than its end leaves the folder unproven.
static bool verifyFolder(Verify *pv) {
    DWORD dwAttr = GetFileAttributesW(pv->szCopy);
    size_t cchSource = wcslen(pv->szSource), cchCopy = wcslen(pv->szCopy);
    WIN32_FIND_DATAW fd;
    HANDLE hFind = INVALID_HANDLE_VALUE;
    if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY) &&
        appendName(pv->szSource, cchSource, L"*"))
        hFind = FindFirstFileW(pv->szSource, &fd);
    pv->szSource[cchSource] = L'\0';
    if (hFind == INVALID_HANDLE_VALUE) {
        noteFailed(pv, pv->szCopy);
        return false;
    }
    bool bProven = true;
    do {
        if (isDot(fd.cFileName))
            continue;
        if (appendName(pv->szSource, cchSource, fd.cFileName) &&
            appendName(pv->szCopy, cchCopy, fd.cFileName)) {
            bProven = verifyEntry(pv, fd.dwFileAttributes) && bProven;
        } else {
            noteFailed(pv, pv->szSource);
            bProven = false;
        }
        pv->szSource[cchSource] = L'\0';
        pv->szCopy[cchCopy] = L'\0';
    } while (!pv->progress.bCancelled && FindNextFileW(hFind, &fd));
    if (!pv->progress.bCancelled && GetLastError() != ERROR_NO_MORE_FILES) {
        noteFailed(pv, pv->szSource);
        bProven = false;
    }
    FindClose(hFind);
    return bProven && !pv->progress.bCancelled;
}

// A folder reached through a link leads out of what was sent, so it is not
// walked, and it leaves what holds it unproven. A linked file is read
// through its link, as the shell copied it.
static bool verifyEntry(Verify *pv, DWORD dwAttr) {
    if (!(dwAttr & FILE_ATTRIBUTE_DIRECTORY))
        return compareFile(pv);
    if (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) {
        noteFailed(pv, pv->szSource);
        return false;
    }
    return verifyFolder(pv);
}

// Converts cb bytes of the ANSI text (up to its NUL) into the wide path.
static bool widePath(const char *psz, int cb, WCHAR *pszWide) {
    int cch =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, psz, cb, pszWide, VERIFY_PATH_CCH - 1);
    pszWide[cch > 0 ? cch : 0] = L'\0';
    return cch > 0;
}

// What FOF_WANTMAPPINGHANDLE hands back: the count, then the array.
struct NameMappings {
    UINT uCount;
    SHNAMEMAPPINGA *pMappings;
};

const char *mappedPath(HANDLE hMappings, const char *pszItem, size_t *pcchNew) {
    const NameMappings *pMappings = (const NameMappings *)hMappings;
    size_t cchItem = strlen(pszItem);
    for (UINT i = 0; pMappings != NULL && i < pMappings->uCount; i++) {
        const SHNAMEMAPPINGA *pm = &pMappings->pMappings[i];
        if (pm->pszOldPath == NULL || pm->pszNewPath == NULL || pm->cchOldPath < 0 ||
            pm->cchNewPath <= 0 || cchItem != (size_t)pm->cchOldPath ||
            _mbsnbicmp((const unsigned char *)pszItem, (const unsigned char *)pm->pszOldPath,
                       cchItem) != 0)
            continue;
        // The count is the shell's word; the name ends at its NUL all the same.
        *pcchNew = strnlen(pm->pszNewPath, (size_t)pm->cchNewPath);
        return pm->pszNewPath;
    }
    return NULL;
}

// Sets szSource to the item and szCopy to what the transfer wrote for it: the
// name the shell's mappings give, else the item's name in the destination.
static bool locateItem(Verify *pv, const char *pszItem, const char *pszDest, HANDLE hMappings) {
    if (!widePath(pszItem, (int)strlen(pszItem), pv->szSource))
        return false;
    size_t cchNew = 0;
    const char *pszNew = mappedPath(hMappings, pszItem, &cchNew);
    if (pszNew != NULL)
        return widePath(pszNew, (int)cchNew, pv->szCopy);
    const char *pszSep = (const char *)_mbsrchr((const unsigned char *)pszItem, '\\');
    const char *pszName = pszSep != NULL ? pszSep + 1 : pszItem;
    WCHAR szName[MAX_PATH];
    return *pszName != '\0' && widePath(pszDest, (int)strlen(pszDest), pv->szCopy) &&
           MultiByteToWideChar(CP_ACP, 0, pszName, -1, szName, MAX_PATH) > 0 &&
           appendName(pv->szCopy, wcslen(pv->szCopy), szName);
}

// Compares every item of the request's list with its copy, until Cancel;
// pbProven[i] tells whether item i was proven whole.
static void verifyItems(Verify *pv, const VerifyRequest *pr, bool *pbProven) {
    size_t i = 0;
    for (const char *pszItem = pr->pszList; *pszItem != '\0' && !pv->progress.bCancelled;
         pszItem += strlen(pszItem) + 1, i++) {
        DWORD dwAttr = INVALID_FILE_ATTRIBUTES;
        if (locateItem(pv, pszItem, pr->pszDest, pr->hNameMappings))
            dwAttr = GetFileAttributesW(pv->szSource);
        if (dwAttr == INVALID_FILE_ATTRIBUTES) {
            WCHAR szItem[MAX_PATH] = L"";
            MultiByteToWideChar(CP_ACP, 0, pszItem, -1, szItem, MAX_PATH - 1);
            noteFailed(pv, szItem);
        } else {
            pbProven[i] = verifyEntry(pv, dwAttr);
        }
    }
}

// The sources proven whole go, in one file operation; true when they went.
static bool deleteProven(const VerifyRequest *pr, const bool *pbProven) {
    Str strList = {};
    size_t i = 0;
    for (const char *pszItem = pr->pszList; *pszItem != '\0'; pszItem += strlen(pszItem) + 1, i++) {
        if (!pbProven[i])
            continue;
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
        appendText(&text, IDS_VERIFY_CANCELLED, pv->nProven);
    if (pv->nFailed != 0) {
        appendText(&text, IDS_VERIFY_FAILED, pv->nFailed);
        appendWide(&text, pv->failed.psz != NULL ? pv->failed.psz : L"");
        if (pv->nFailed > VERIFY_LISTED)
            appendText(&text, IDS_VERIFY_MORE, pv->nFailed - VERIFY_LISTED);
    }
    if (pr->bMove && (bCancelled || pv->nFailed != 0))
        appendText(&text, bCancelled ? IDS_VERIFY_KEPT_ALL : IDS_VERIFY_KEPT, 0);
    if (!bDeleted)
        appendText(&text, IDS_DELETE_FAILED, 0);
    bool bWarn = text.cch != 0;
    if (!bWarn && pr->bNotify)
        appendText(&text, pr->bMove ? IDS_MOVE_VERIFIED : IDS_COPY_VERIFIED, pv->nProven);
    if (text.cch != 0 && pv->nBuffered != 0)
        appendText(&text, IDS_VERIFY_BUFFERED, pv->nBuffered);
    if (text.cch != 0)
        MessageBoxW(NULL, text.psz, L"" PORTERLY_TITLE,
                    bWarn ? MB_ICONWARNING : MB_ICONINFORMATION);
    free(text.psz);
    return bWarn ? 1 : 0;
}

int verifyTransfer(const VerifyRequest *pr) {
    size_t nItems = 0;
    for (const char *p = pr->pszList; *p != '\0'; p += strlen(p) + 1)
        nItems++;
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
        free(pv->failed.psz);
    } else {
        // Nothing was proven, so nothing is deleted.
        WideText text = {};
        appendText(&text, IDS_VERIFY_CANCELLED, 0);
        if (pr->bMove)
            appendText(&text, IDS_VERIFY_KEPT_ALL, 0);
        MessageBoxW(NULL, text.psz != NULL ? text.psz : L"", L"" PORTERLY_TITLE, MB_ICONWARNING);
        free(text.psz);
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
