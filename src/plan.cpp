// The plan of one transfer (see plan.h). Before the shell's operation the
// destination is listed once and each item looked up there; after it, the
// destination is listed again and each item found by the name it was written
// to: the shell's new name where its mappings give one, else its own.
#include "plan.h"
#include "resource.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// New names tried for a copy beside itself ("a - copy (2).txt" and on).
#define SELF_TRIES 1000

static bool addPlanText(TransferPlan *pp, const WCHAR *psz, size_t cch, size_t *pOff) {
    *pOff = pp->text.length;
    return appendWide(&pp->text, psz, cch) && appendWide(&pp->text, L"", 1);
}

// pPath := the folder, a backslash unless it ends in one, and the name.
static bool joinWide(WideText *pPath, const WCHAR *pszFolder, const WCHAR *pszName) {
    pPath->length = 0;
    size_t cch = wcslen(pszFolder);
    return appendWide(pPath, pszFolder, cch) &&
           (cch == 0 || pszFolder[cch - 1] == L'\\' || appendWide(pPath, L"\\", 1)) &&
           appendText(pPath, pszName);
}

static bool isDotName(const WCHAR *psz) {
    return wcscmp(psz, L".") == 0 || wcscmp(psz, L"..") == 0;
}

// The item in wide characters, and where its last component starts.
static bool widenItem(TransferPlan *pp, PlanItem *pi) {
    int cch = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pi->pszItem, -1, NULL, 0);
    WCHAR *psz = cch > 0 ? (WCHAR *)malloc((size_t)cch * sizeof(WCHAR)) : NULL;
    bool bOk = psz != NULL &&
               MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pi->pszItem, -1, psz, cch) == cch;
    if (bOk) {
        const WCHAR *pSep = wcsrchr(psz, L'\\');
        bOk = addPlanText(pp, psz, (size_t)cch - 1, &pi->offSource);
        pi->offName = pi->offSource + (pSep != NULL ? (size_t)(pSep - psz) + 1 : 0);
    }
    free(psz);
    return bOk;
}

// The stamp of what stands at a path, looked up alone; false when nothing.
static bool stampPath(const WCHAR *pszPath, EntryStamp *ps, DWORD *pdwAttr) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    ps->chKind = 0;
    if (!GetFileAttributesExW(pszPath, GetFileExInfoStandard, &data))
        return false;
    WIN32_FIND_DATAW fd = {};
    fd.dwFileAttributes = data.dwFileAttributes;
    fd.nFileSizeHigh = data.nFileSizeHigh;
    fd.nFileSizeLow = data.nFileSizeLow;
    fd.ftLastWriteTime = data.ftLastWriteTime;
    stampOf(&fd, ps);
    *pdwAttr = data.dwFileAttributes;
    return true;
}

// Whether two paths name one entry (one file index on one volume), as an
// item in its own folder does. True when that cannot be told: such an item
// then goes as a copy beside itself, which never writes over anything.
static bool isSameEntry(const WCHAR *pszA, const WCHAR *pszB) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const WCHAR *paths[2] = {pszA, pszB};
    for (int k = 0; k < 2; k++) {
        HANDLE h = CreateFileW(paths[k], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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

// ---------------------------------------------------------------- merges

struct MergeWalk {
    TransferPlan *pp;
    const WCHAR *pszName; // the item's name: the merged folder's below the destination
    WideText there;       // the entry's place in the destination
    bool bOk;
};

static bool noteMergeName(MergeWalk *pm, WCHAR chKind, const WCHAR *pszRel) {
    WideText *pt = &pm->pp->merged;
    return appendWide(pt, &chKind, 1) && appendText(pt, pm->pszName) && appendWide(pt, L"\\", 1) &&
           appendWide(pt, pszRel, wcslen(pszRel) + 1);
}

// Notes every file the copy writes, every folder the destination lacks as
// a whole, and walks into the folders both hold. Links are neither walked
// nor noted.
static int noteMergeEntry(void *pContext, WideText *pPath, size_t cchTop,
                          const WIN32_FIND_DATAW *pfd) {
    MergeWalk *pm = (MergeWalk *)pContext;
    const WCHAR *pszRel = pPath->p + cchTop + 1;
    if (wcscmp(pfd->cFileName, L".") == 0 || (pfd->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return WALK_NEXT;
    if (!(pfd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return noteMergeName(pm, MERGE_FILE, pszRel) ? WALK_NEXT : WALK_STOP;
    size_t cchFolder = pm->there.length;
    bool bJoined = appendWide(&pm->there, L"\\", 1) && appendText(&pm->there, pszRel);
    DWORD dwThere = bJoined ? GetFileAttributesW(pm->there.p) : 0;
    pm->there.length = cchFolder;
    pm->there.p[cchFolder] = 0;
    if (!bJoined)
        return WALK_STOP;
    if (dwThere == INVALID_FILE_ATTRIBUTES)
        return noteMergeName(pm, MERGE_FOLDER, pszRel) ? WALK_NEXT : WALK_STOP;
    bool bFolder = (dwThere & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                   FILE_ATTRIBUTE_DIRECTORY;
    return bFolder ? WALK_INTO : WALK_NEXT;
}

static void noteMerge(TransferPlan *pp, PlanItem *pi, const WCHAR *pszThere) {
    size_t before = pp->merged.length;
    MergeWalk walk = {pp, planText(pp, pi->offName), {}, true};
    WideText source = {};
    pi->offMerge = before;
    pi->bMergeNoted =
        appendText(&walk.there, pszThere) && appendText(&source, planText(pp, pi->offSource)) &&
        walkFolder(&source, noteMergeEntry, &walk) == WALK_DONE && appendWide(&pp->merged, L"", 1);
    if (!pi->bMergeNoted && pp->merged.p != NULL) // no part left unfinished
        pp->merged.p[pp->merged.length = before] = 0;
    freeWide(&source);
    freeWide(&walk.there);
}

// ---------------------------------------------------------------- before

// What the item's name in the destination holds: found in its listing, or
// looked up alone where the listing cannot tell (not listed, or two names
// that differ only in case).
static void judgeBefore(TransferPlan *pp, PlanItem *pi, const Listing *pDest, WideText *pPath) {
    const WCHAR *pszName = planText(pp, pi->offName);
    pi->there.chKind = 0;
    if (*pszName == 0 || isDotName(pszName) || wcschr(pszName, L'/') != NULL ||
        pi->source.chKind == 0) {
        pi->nBefore = BEFORE_NONE; // no name of its own there: nothing is written to it
        return;
    }
    const ListedEntry *pe = findListed(pDest, pszName);
    DWORD dwThere = 0;
    if (pe != NULL) {
        pi->there = pe->stamp;
    } else if (!stampPath(pPath->p, &pi->there, &dwThere)) {
        pi->nBefore = BEFORE_FREE;
        return;
    }
    bool bFolder = (pi->dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isSameEntry(planText(pp, pi->offSource), pPath->p))
        pi->nBefore = BEFORE_SELF;
    else if (pi->there.chKind == STAMP_FILE && !bFolder)
        pi->nBefore = BEFORE_FILE;
    else if (pi->there.chKind == STAMP_DIR && bFolder && !(pp->dwHow & PLAN_RENAMES))
        pi->nBefore = BEFORE_MERGE;
    else
        pi->nBefore = BEFORE_OTHER;
    if (pi->nBefore == BEFORE_MERGE && (pp->dwHow & PLAN_MERGES))
        noteMerge(pp, pi, pPath->p);
}

// Whether a new name is free: not in the destination, no other item's name
// and no name given to another copy beside itself.
static bool isFreeName(const TransferPlan *pp, const Listing *pDest, const WCHAR *pszName,
                       const WideText *pPath) {
    if (findListed(pDest, pszName) != NULL ||
        GetFileAttributesW(pPath->p) != INVALID_FILE_ATTRIBUTES)
        return false;
    for (size_t i = 0; i < pp->nItems; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (compareNames(planText(pp, pi->offName), pszName) == 0 ||
            (pi->offWritten != 0 && compareNames(planText(pp, pi->offWritten), pszName) == 0))
            return false;
    }
    return true;
}

// A copy beside itself is named as Explorer names it: the name, the string
// table's " - copy" and a number from the second on, before a file's
// extension. The name is the shell's to take, so its path must fit.
static void nameSelfCopy(TransferPlan *pp, PlanItem *pi, const Listing *pDest, WideText *pPath) {
    WCHAR szSuffix[64], szNumber[32], szName[MAX_PATH], szNumbered[40];
    char szAnsi[PATH_BYTES];
    const WCHAR *pszName = planText(pp, pi->offName);
    const WCHAR *pDot = (pi->dwAttr & FILE_ATTRIBUTE_DIRECTORY) ? NULL : wcsrchr(pszName, L'.');
    if (pDot == pszName)
        pDot = NULL; // ".profile" is all name
    size_t cchBase = pDot != NULL ? (size_t)(pDot - pszName) : wcslen(pszName);
    if (LoadStringW(GetModuleHandleA(NULL), IDS_COPY_SUFFIX, szSuffix, 64) <= 0 ||
        LoadStringW(GetModuleHandleA(NULL), IDS_COPY_NUMBER, szNumber, 32) <= 0)
        return;
    for (unsigned int k = 1; k <= SELF_TRIES; k++) {
        szNumbered[0] = 0;
        if (k > 1)
            _snwprintf(szNumbered, 39, szNumber, k);
        szNumbered[39] = 0;
        int cch = _snwprintf(szName, MAX_PATH - 1, L"%.*ls%ls%ls%ls", (int)cchBase, pszName,
                             szSuffix, szNumbered, pDot != NULL ? pDot : L"");
        if (cch <= 0 || cch >= MAX_PATH - 1)
            return;
        szName[cch] = 0;
        if (!joinWide(pPath, planText(pp, pp->offDest), szName) ||
            !toAnsi(pPath->p, szAnsi, PATH_BYTES) || !fitsFileOperation(szAnsi))
            return; // longer with every number: no name fits
        if (isFreeName(pp, pDest, szName, pPath)) {
            if (addPlanText(pp, szName, (size_t)cch, &pi->offWritten))
                pi->bRenamed = true;
            return;
        }
    }
}

static bool countItems(TransferPlan *pp, const char *pszList) {
    for (const char *p = pszList; *p != '\0'; p += strlen(p) + 1)
        pp->nItems++;
    pp->pItems = (PlanItem *)calloc(pp->nItems + 1, sizeof(PlanItem));
    if (pp->pItems == NULL)
        return false;
    size_t i = 0;
    for (const char *p = pszList; *p != '\0'; p += strlen(p) + 1)
        pp->pItems[i++].pszItem = p;
    return true;
}

bool makePlan(TransferPlan *pp, const char *pszList, const char *pszDest, DWORD dwHow) {
    memset(pp, 0, sizeof(*pp));
    pp->dwHow = dwHow;
    WCHAR szDest[MAX_PATH];
    Listing dest = {};
    WideText path = {};
    bool bOk =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszDest, -1, szDest, MAX_PATH) > 0 &&
        appendWide(&pp->text, L"", 1) && addPlanText(pp, szDest, wcslen(szDest), &pp->offDest) &&
        countItems(pp, pszList);
    // A name the listing does not give (it failed or ended early) is looked up alone.
    if (bOk)
        listFolder(szDest, false, &dest);
    sortListing(&dest, false);
    for (size_t i = 0; bOk && i < pp->nItems; i++) {
        PlanItem *pi = &pp->pItems[i];
        bOk = widenItem(pp, pi);
        if (!bOk)
            break;
        stampPath(planText(pp, pi->offSource), &pi->source, &pi->dwAttr);
        bOk = joinWide(&path, planText(pp, pp->offDest), planText(pp, pi->offName));
        if (bOk)
            judgeBefore(pp, pi, &dest, &path);
    }
    for (size_t i = 0; bOk && i < pp->nItems; i++) {
        PlanItem *pi = &pp->pItems[i];
        if (pi->nBefore == BEFORE_SELF) {
            pp->nSelf++;
            if (!(dwHow & PLAN_MOVE))
                nameSelfCopy(pp, pi, &dest, &path);
        }
    }
    freeWide(&path);
    freeListing(&dest);
    if (!bOk)
        freeTransferPlan(pp);
    return bOk;
}

// ---------------------------------------------------------------- the shell's lists

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

static bool appendName(Str *pstr, const char *psz) {
    return appendBytes(pstr, psz, (unsigned int)strlen(psz) + 1);
}

bool planLists(const TransferPlan *pp, Str *pstrMain, Str *pstrSelfFrom, Str *pstrSelfTo) {
    WideText path = {};
    char szTo[PATH_BYTES];
    bool bOk = true;
    for (size_t i = 0; bOk && pp->nSelf != 0 && i < pp->nItems; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (pi->nBefore != BEFORE_SELF) {
            bOk = appendName(pstrMain, pi->pszItem);
        } else if (!(pp->dwHow & PLAN_MOVE) && pi->offWritten != 0) {
            bOk = joinWide(&path, planText(pp, pp->offDest), planText(pp, pi->offWritten)) &&
                  toAnsi(path.p, szTo, PATH_BYTES) && appendName(pstrSelfFrom, pi->pszItem) &&
                  appendName(pstrSelfTo, szTo);
        }
    }
    // Each list ends with an empty name.
    Str *lists[3] = {pstrMain, pstrSelfFrom, pstrSelfTo};
    for (Str *pstr : lists)
        bOk = bOk && (pstr->length == 0 || appendBytes(pstr, "", 1));
    freeWide(&path);
    return bOk;
}

// ---------------------------------------------------------------- after

// What FOF_WANTMAPPINGHANDLE hands back: the count, then the array.
struct NameMappings {
    UINT uCount;
    SHNAMEMAPPINGW *pMappings;
};

// The path the shell gave the item by its mappings, and its length (the
// shell's count, bounded by the name's NUL); null when it gave none.
static const WCHAR *mappedPath(HANDLE hMappings, const WCHAR *pszItem, size_t *pcch) {
    const NameMappings *pm = (const NameMappings *)hMappings;
    size_t cchItem = wcslen(pszItem);
    for (UINT i = 0; pm != NULL && i < pm->uCount; i++) {
        const SHNAMEMAPPINGW *p = &pm->pMappings[i];
        if (p->pszOldPath == NULL || p->pszNewPath == NULL || p->cchOldPath < 0 ||
            p->cchNewPath <= 0 || (size_t)p->cchOldPath != cchItem ||
            CompareStringOrdinal(p->pszOldPath, p->cchOldPath, pszItem, (int)cchItem, TRUE) !=
                CSTR_EQUAL)
            continue;
        *pcch = wcsnlen(p->pszNewPath, (size_t)p->cchNewPath);
        return p->pszNewPath;
    }
    return NULL;
}

// Takes the shell's new name for the item when it lies in the destination
// itself; a name elsewhere, or none that can be read, writes nothing known.
static void takeMapping(TransferPlan *pp, PlanItem *pi, const WCHAR *pszNew, size_t cch) {
    const WCHAR *pszDest = planText(pp, pp->offDest);
    size_t cchDest = wcslen(pszDest);
    size_t cchFolder = cchDest > 0 && pszDest[cchDest - 1] == L'\\' ? cchDest - 1 : cchDest;
    pi->offWritten = 0;
    pi->bRenamed = true;
    if (cch <= cchFolder + 1 || pszNew[cchFolder] != L'\\' ||
        CompareStringOrdinal(pszNew, (int)cchFolder, pszDest, (int)cchFolder, TRUE) != CSTR_EQUAL)
        return;
    const WCHAR *pszName = pszNew + cchFolder + 1;
    size_t cchName = cch - cchFolder - 1;
    if (wmemchr(pszName, L'\\', cchName) == NULL && wmemchr(pszName, L'/', cchName) == NULL &&
        !(cchName <= 2 && pszName[0] == L'.'))
        addPlanText(pp, pszName, cchName, &pi->offWritten);
}

// Whether what stands at the written name is the item's copy as the
// transfer left it: a folder where none was (or the one it merged into), a
// file of the sent size and time, unless the file that was there stands
// unchanged (a skipped item, or one the same as what was sent).
static bool isCopy(const PlanItem *pi) {
    if (pi->after.chKind == STAMP_DIR)
        return (pi->dwAttr & FILE_ATTRIBUTE_DIRECTORY) &&
               (pi->bRenamed || pi->nBefore == BEFORE_FREE || pi->nBefore == BEFORE_MERGE);
    if (pi->after.chKind != STAMP_FILE || (pi->dwAttr & FILE_ATTRIBUTE_DIRECTORY) ||
        pi->after.size != pi->source.size)
        return false;
    unsigned long long dt = pi->after.time > pi->source.time ? pi->after.time - pi->source.time
                                                             : pi->source.time - pi->after.time;
    return dt <= COPY_TIME_SLACK &&
           (pi->bRenamed || pi->nBefore != BEFORE_FILE || !sameStamp(&pi->there, &pi->after));
}

static const TransferPlan *pSortPlan; // the plan whose items are sorted (one thread)

static int compareWritten(const void *a, const void *b) {
    const PlanItem *x = &pSortPlan->pItems[*(const size_t *)a];
    const PlanItem *y = &pSortPlan->pItems[*(const size_t *)b];
    return compareNames(planText(pSortPlan, x->offWritten), planText(pSortPlan, y->offWritten));
}

// Items that went to one name: which of them stands there is not known.
static void markShared(TransferPlan *pp) {
    size_t *order = (size_t *)calloc(pp->nItems + 1, sizeof(size_t));
    size_t n = 0;
    for (size_t i = 0; i < pp->nItems; i++) {
        if (pp->pItems[i].offWritten != 0) {
            if (order == NULL)
                pp->pItems[i].bShared = true; // no memory to tell: none is taken as alone
            else
                order[n++] = i;
        }
    }
    if (order == NULL)
        return;
    pSortPlan = pp;
    qsort(order, n, sizeof(size_t), compareWritten);
    for (size_t k = 1; k < n; k++) {
        if (compareWritten(&order[k - 1], &order[k]) == 0)
            pp->pItems[order[k - 1]].bShared = pp->pItems[order[k]].bShared = true;
    }
    free(order);
}

void completePlan(TransferPlan *pp, HANDLE hMappings, HANDLE hSelfMappings) {
    Listing dest = {};
    bool bListed = listFolder(planText(pp, pp->offDest), false, &dest) == WALK_DONE;
    sortListing(&dest, false);
    for (size_t i = 0; i < pp->nItems; i++) {
        PlanItem *pi = &pp->pItems[i];
        const WCHAR *pszSource = planText(pp, pi->offSource);
        size_t cch = 0;
        const WCHAR *pszNew = mappedPath(hMappings, pszSource, &cch);
        if (pszNew == NULL)
            pszNew = mappedPath(hSelfMappings, pszSource, &cch);
        if (pszNew != NULL)
            takeMapping(pp, pi, pszNew, cch);
        else if (pi->nBefore == BEFORE_FREE || pi->nBefore == BEFORE_FILE ||
                 pi->nBefore == BEFORE_MERGE)
            pi->offWritten = pi->offName;
        const ListedEntry *pe =
            bListed && pi->offWritten != 0 ? findListed(&dest, planText(pp, pi->offWritten)) : NULL;
        pi->bThere = pe != NULL;
        if (pe != NULL) {
            pi->after = pe->stamp;
            pi->dwAfterAttr = pe->dwAttr;
        }
        pi->bWritten = pi->bThere && isCopy(pi);
    }
    markShared(pp);
    freeListing(&dest);
}

void freeTransferPlan(TransferPlan *pp) {
    free(pp->pItems);
    freeWide(&pp->text);
    freeWide(&pp->merged);
    memset(pp, 0, sizeof(*pp));
}
