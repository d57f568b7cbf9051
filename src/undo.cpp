// Undo of the last transfer. After a transfer the destination is listed once
// and what the transfer wrote there goes into the journal (a folder's copy
// with all its content, so that a change inside it shows later). Undo reads
// the journal back, decides item by item what can be taken back exactly, and
// does it in one file operation; what it must leave alone is named.
#include "undo.h"
#include "resource.h"
#include <shellapi.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The journal's folder under the user's local application data.
static const WCHAR szFolder[] = L"\\Porterly";
static const WCHAR szJournal[] = L"\\last-transfer.journal";
static const WCHAR szTemp[] = L"\\last-transfer.tmp";
// More than any journal of a real transfer holds.
#define MAX_JOURNAL_BYTES (256u << 20)

static bool journalFile(WCHAR *pszPath, const WCHAR *pszLeaf, bool bCreate) {
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | (bCreate ? CSIDL_FLAG_CREATE : 0), NULL,
                                SHGFP_TYPE_CURRENT, pszPath)) ||
        wcslen(pszPath) + wcslen(szFolder) + wcslen(szTemp) >= MAX_PATH)
        return false;
    wcscat(pszPath, szFolder);
    if (bCreate)
        CreateDirectoryW(pszPath, NULL);
    wcscat(pszPath, pszLeaf);
    return true;
}

// ---------------------------------------------------------------- listings

// Entries of a folder or a tree, their names in one text.
struct Entry {
    size_t offName;
    JournalStamp stamp;
    int nUses; // items that name it
};
struct Listing {
    Entry *p;
    size_t n, capacity;
    WideText names;
};

static void freeListing(Listing *pl) {
    free(pl->p);
    freeWide(&pl->names);
    memset(pl, 0, sizeof(*pl));
}

static void stampOf(const WIN32_FIND_DATAW *pfd, JournalStamp *ps) {
    ps->size = ps->time = 0;
    if (pfd->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        ps->chKind = STAMP_LINK;
    } else if (pfd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        ps->chKind = STAMP_DIR;
    } else {
        ps->chKind = STAMP_FILE;
        ps->size = (unsigned long long)pfd->nFileSizeHigh << 32 | pfd->nFileSizeLow;
        ps->time = (unsigned long long)pfd->ftLastWriteTime.dwHighDateTime << 32 |
                   pfd->ftLastWriteTime.dwLowDateTime;
    }
}

static bool addEntry(Listing *pl, const WCHAR *pszName, size_t cch, const JournalStamp *ps) {
    if (pl->n == pl->capacity) {
        size_t cap = pl->capacity * 2 + 64;
        Entry *p = (Entry *)realloc(pl->p, cap * sizeof(Entry));
        if (p == NULL)
            return false;
        pl->p = p;
        pl->capacity = cap;
    }
    Entry *pe = &pl->p[pl->n];
    pe->offName = pl->names.length;
    pe->stamp = *ps;
    pe->nUses = 0;
    if (!appendWide(&pl->names, pszName, cch + 1)) // its NUL kept
        return false;
    pl->n++;
    return true;
}

static bool isDotEntry(const WCHAR *psz) {
    return wcscmp(psz, L".") == 0 || wcscmp(psz, L"..") == 0;
}

// Lists pPath's folder (pPath->p holds its path) into pl, with names relative
// to the first cchBase units plus a backslash; with bDeep its subfolders too,
// but never through a link. False when memory ran out.
static bool listTree(WideText *pPath, size_t cchBase, bool bDeep, Listing *pl) {
    size_t cchHere = pPath->length;
    if (!appendWide(pPath, L"\\*", 2))
        return false;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pPath->p, &fd);
    pPath->length = cchHere;
    pPath->p[cchHere] = 0;
    bool bOk = true;
    if (h == INVALID_HANDLE_VALUE)
        return true;
    do {
        if (isDotEntry(fd.cFileName))
            continue;
        JournalStamp stamp;
        stampOf(&fd, &stamp);
        bOk = appendWide(pPath, L"\\", 1) && appendWide(pPath, fd.cFileName, wcslen(fd.cFileName));
        size_t cchRel = cchBase < pPath->length ? pPath->length - cchBase - 1 : 0;
        bOk = bOk && addEntry(pl, pPath->p + cchBase + 1, cchRel, &stamp);
        if (bOk && bDeep && stamp.chKind == STAMP_DIR)
            bOk = listTree(pPath, cchBase, true, pl);
        pPath->length = cchHere;
        pPath->p[cchHere] = 0;
    } while (bOk && FindNextFileW(h, &fd));
    FindClose(h);
    return bOk;
}

static const WCHAR *pSortNames; // the listing being sorted (one thread)

static int compareFolded(const void *a, const void *b) {
    const WCHAR *x = pSortNames + ((const Entry *)a)->offName;
    const WCHAR *y = pSortNames + ((const Entry *)b)->offName;
    return CompareStringOrdinal(x, -1, y, -1, TRUE) - CSTR_EQUAL;
}

static int compareExact(const void *a, const void *b) {
    return wcscmp(pSortNames + ((const Entry *)a)->offName,
                  pSortNames + ((const Entry *)b)->offName);
}

static void sortListing(Listing *pl, int (*pfnCompare)(const void *, const void *)) {
    pSortNames = pl->names.p;
    if (pl->n > 1)
        qsort(pl->p, pl->n, sizeof(Entry), pfnCompare);
}

// The entry named pszName in a listing sorted by compareFolded, or null.
static Entry *findEntry(Listing *pl, const WCHAR *pszName) {
    size_t lo = 0, hi = pl->n;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = CompareStringOrdinal(pl->names.p + pl->p[mid].offName, -1, pszName, -1, TRUE);
        if (c == CSTR_EQUAL)
            return &pl->p[mid];
        if (c == CSTR_LESS_THAN)
            lo = mid + 1;
        else
            hi = mid;
    }
    return NULL;
}

// ---------------------------------------------------------------- recording

static bool toWide(const char *psz, WCHAR *pszOut) {
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, psz, -1, pszOut, MAX_PATH) > 0;
}

// The content of a folder's copy, as sub lines.
static bool addContent(WideText *pt, const WCHAR *pszDest, const WCHAR *pszName) {
    WideText path = {};
    Listing tree = {};
    bool bOk = appendWide(&path, pszDest, wcslen(pszDest)) &&
               (path.p[path.length - 1] == L'\\' || appendWide(&path, L"\\", 1)) &&
               appendWide(&path, pszName, wcslen(pszName));
    size_t cchBase = path.length;
    bOk = bOk && listTree(&path, cchBase, true, &tree);
    for (size_t i = 0; bOk && i < tree.n; i++) {
        JournalSub sub = {tree.names.p + tree.p[i].offName, tree.p[i].stamp};
        bOk = addJournalSub(pt, &sub);
    }
    freeListing(&tree);
    freeWide(&path);
    return bOk;
}

static void storeJournal(const WideText *pt) {
    WCHAR szTempPath[MAX_PATH], szPath[MAX_PATH];
    if (!journalFile(szTempPath, szTemp, true) || !journalFile(szPath, szJournal, false))
        return;
    HANDLE h =
        CreateFileW(szTempPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD cbWritten = 0, cb = (DWORD)(pt->length * sizeof(WCHAR));
    bool bOk = WriteFile(h, pt->p, cb, &cbWritten, NULL) && cbWritten == cb && FlushFileBuffers(h);
    CloseHandle(h);
    if (!bOk ||
        !MoveFileExW(szTempPath, szPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileW(szTempPath);
}

// The item's line; false only when memory ran out.
static bool addItem(WideText *pt, bool bMove, const WCHAR *pszDest, const char *pszSource,
                    const Entry *pe, const WCHAR *pszName, bool bExisted, bool *pbAny) {
    WCHAR szSource[MAX_PATH];
    if (!toWide(pszSource, szSource) || !isAbsolutePath(szSource, wcslen(szSource), false))
        return true; // not a name undo could act on
    JournalItem item = {szSource, pszName, bExisted || pe->nUses > 1, pe->stamp, 0, 0};
    // Only a name that was free shows that the transfer wrote anything: a
    // transfer that skipped every name already there keeps the last journal.
    *pbAny = *pbAny || !item.bExisted;
    return addJournalItem(pt, &item) && (bMove || item.bExisted || item.stamp.chKind != STAMP_DIR ||
                                         addContent(pt, pszDest, pszName));
}

void recordTransfer(bool bMove, const char *pszDest, const char *pszList, const char *pszNames,
                    const char *pszExisted) {
    WCHAR szDest[MAX_PATH], szName[MAX_PATH];
    if (!toWide(pszDest, szDest) || !isAbsolutePath(szDest, wcslen(szDest), true))
        return;
    size_t nItems = 0;
    for (const char *p = pszNames; *p != '\0'; p += strlen(p) + 1)
        nItems++;
    Listing dest = {};
    WideText path = {}, text = {};
    Entry **ppFound = (Entry **)calloc(nItems + 1, sizeof(Entry *));
    bool bOk = ppFound != NULL && appendWide(&path, szDest, wcslen(szDest));
    if (bOk && path.p[path.length - 1] == L'\\') // a drive root
        path.p[--path.length] = 0;
    bOk = bOk && listTree(&path, path.length, false, &dest);
    sortListing(&dest, compareFolded);
    // Two items that went to one name: which one is there is not known.
    size_t i = 0;
    for (const char *p = pszNames; bOk && *p != '\0'; p += strlen(p) + 1, i++) {
        if (toWide(p, szName) && isPlainName(szName, wcslen(szName)) &&
            (ppFound[i] = findEntry(&dest, szName)) != NULL)
            ppFound[i]->nUses++;
    }
    bool bAny = false;
    size_t nExisted = strlen(pszExisted);
    bOk = bOk && beginJournal(&text, bMove, szDest);
    i = 0;
    for (const char *p = pszList; bOk && *p != '\0'; p += strlen(p) + 1, i++) {
        Entry *pe = i < nItems ? ppFound[i] : NULL;
        if (pe == NULL || pe->nUses < 0)
            continue; // not written, or the name is recorded already
        bOk = addItem(&text, bMove, szDest, p, pe, dest.names.p + pe->offName,
                      i >= nExisted || pszExisted[i] != '0', &bAny);
        if (pe->nUses > 1)
            pe->nUses = -1;
    }
    if (bOk && bAny && endJournal(&text))
        storeJournal(&text);
    free(ppFound);
    freeListing(&dest);
    freeWide(&path);
    freeWide(&text);
}

// ---------------------------------------------------------------- reading

int readJournal(Journal *pj) {
    memset(pj, 0, sizeof(*pj));
    WCHAR szPath[MAX_PATH];
    if (!journalFile(szPath, szJournal, false))
        return JOURNAL_NONE;
    HANDLE h = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND ? JOURNAL_NONE
                                                                                  : JOURNAL_DAMAGED;
    }
    LARGE_INTEGER size = {};
    unsigned char *p = NULL;
    DWORD cbRead = 0;
    bool bOk = GetFileSizeEx(h, &size) && size.QuadPart <= MAX_JOURNAL_BYTES &&
               (p = (unsigned char *)malloc((size_t)size.QuadPart + 1)) != NULL &&
               ReadFile(h, p, (DWORD)size.QuadPart, &cbRead, NULL) &&
               cbRead == (DWORD)size.QuadPart && parseJournal(p, cbRead, pj);
    free(p);
    CloseHandle(h);
    return bOk ? JOURNAL_READ : JOURNAL_DAMAGED;
}

void clearJournal() {
    WCHAR szPath[MAX_PATH];
    if (journalFile(szPath, szJournal, false))
        DeleteFileW(szPath);
}

bool journalSummary(size_t *pnItems, bool *pbMove, Str *pstrDest) {
    Journal journal;
    if (readJournal(&journal) != JOURNAL_READ)
        return false;
    char szDest[PATH_BYTES];
    bool bOk =
        WideCharToMultiByte(CP_ACP, 0, journal.pszDest, -1, szDest, PATH_BYTES, NULL, NULL) > 0 &&
        assignStr(pstrDest, szDest) != NULL;
    *pnItems = journal.nItems;
    *pbMove = journal.bMove;
    freeJournal(&journal);
    return bOk;
}

// ---------------------------------------------------------------- the plan

// Whether a copy is still as it was written: the same kind, size and time,
// and for a folder the same content, with no link anywhere.
static bool isUnchanged(const Journal *pj, const JournalItem *pItem, const JournalStamp *pNow,
                        WideText *pPath) {
    JournalStamp now = *pNow;
    if (now.chKind != pItem->stamp.chKind || now.chKind == STAMP_LINK ||
        now.size != pItem->stamp.size || now.time != pItem->stamp.time)
        return false;
    if (now.chKind != STAMP_DIR)
        return true;
    Listing tree = {}, recorded = {};
    bool bSame = listTree(pPath, pPath->length, true, &tree) && tree.n == pItem->nSubs;
    for (size_t i = 0; bSame && i < pItem->nSubs; i++) {
        const JournalSub *pSub = &pj->pSubs[pItem->firstSub + i];
        bSame = pSub->stamp.chKind != STAMP_LINK &&
                addEntry(&recorded, pSub->pszPath, wcslen(pSub->pszPath), &pSub->stamp);
    }
    if (bSame) {
        sortListing(&tree, compareExact);
        sortListing(&recorded, compareExact);
    }
    for (size_t i = 0; bSame && i < tree.n; i++) {
        const Entry *a = &tree.p[i], *b = &recorded.p[i];
        bSame = wcscmp(tree.names.p + a->offName, recorded.names.p + b->offName) == 0 &&
                a->stamp.chKind == b->stamp.chKind && a->stamp.size == b->stamp.size &&
                a->stamp.time == b->stamp.time;
    }
    freeListing(&tree);
    freeListing(&recorded);
    return bSame;
}

// One line of what is left alone: the name and, in brackets, why.
static bool addLeft(UndoPlan *pp, const WCHAR *pszPath, UINT uReason) {
    const WCHAR *pText = NULL;
    int cch = LoadStringW(GetModuleHandleW(NULL), uReason, (LPWSTR)&pText, 0);
    pp->nLeft++;
    return appendWide(&pp->left, pszPath, wcslen(pszPath)) &&
           (cch <= 0 || appendWide(&pp->left, pText, (size_t)cch)) &&
           appendWide(&pp->left, L"\r\n", 2);
}

static bool addTaken(UndoPlan *pp, const WCHAR *pszFrom, const WCHAR *pszTo) {
    char szShown[PATH_BYTES];
    const WCHAR *pszShown = pszTo != NULL ? pszTo : pszFrom;
    if (WideCharToMultiByte(CP_ACP, 0, pszShown, -1, szShown, PATH_BYTES, NULL, NULL) <= 0)
        return false;
    pp->nTake++;
    return appendWide(&pp->from, pszFrom, wcslen(pszFrom) + 1) &&
           (pszTo == NULL || appendWide(&pp->to, pszTo, wcslen(pszTo) + 1)) &&
           appendStr(&pp->strShown, szShown) != NULL && appendStr(&pp->strShown, "\n") != NULL;
}

// Whether the folder an origin is in is still there: the shell can lose an
// item that it moves into a folder that is gone.
static bool hasFolder(const WCHAR *pszPath) {
    WCHAR szFolder[MAX_PATH];
    wcscpy(szFolder, pszPath);
    WCHAR *pSep = wcsrchr(szFolder, L'\\');
    if (pSep == NULL)
        return false;
    pSep[pSep > szFolder && pSep[-1] == L':' ? 1 : 0] = 0; // a drive root keeps its backslash
    DWORD dwAttr = GetFileAttributesW(szFolder);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

bool planUndo(const Journal *pj, UndoPlan *pp) {
    memset(pp, 0, sizeof(*pp));
    // A destination that is gone, or is no longer a folder of its own, holds
    // nothing of the transfer.
    DWORD dwDest = GetFileAttributesW(pj->pszDest);
    if (dwDest == INVALID_FILE_ATTRIBUTES || !(dwDest & FILE_ATTRIBUTE_DIRECTORY) ||
        (dwDest & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    WideText path = {};
    size_t cchDest = wcslen(pj->pszDest);
    bool bOk = appendWide(&path, pj->pszDest, cchDest) &&
               (pj->pszDest[cchDest - 1] == L'\\' || appendWide(&path, L"\\", 1));
    size_t cchFolder = path.length;
    // One listing of the destination tells what is there and how it is.
    Listing dest = {};
    path.length = cchFolder - 1;
    path.p[path.length] = 0;
    bOk = bOk && listTree(&path, path.length, false, &dest);
    if (bOk)
        path.p[cchFolder - 1] = L'\\';
    sortListing(&dest, compareFolded);
    for (size_t i = 0; bOk && i < pj->nItems; i++) {
        const JournalItem *pItem = &pj->pItems[i];
        path.length = cchFolder;
        bOk = appendWide(&path, pItem->pszName, wcslen(pItem->pszName));
        const Entry *pe = bOk ? findEntry(&dest, pItem->pszName) : NULL;
        if (pe == NULL)
            continue; // gone since: nothing to take back
        if (pItem->bExisted)
            bOk = addLeft(pp, path.p, IDS_UNDO_EXISTED);
        else if (pj->bMove && GetFileAttributesW(pItem->pszSource) != INVALID_FILE_ATTRIBUTES)
            bOk = addLeft(pp, pItem->pszSource, IDS_UNDO_TAKEN);
        else if (pj->bMove && !hasFolder(pItem->pszSource))
            bOk = addLeft(pp, pItem->pszSource, IDS_UNDO_NO_FOLDER);
        else if (pj->bMove)
            bOk = addTaken(pp, path.p, pItem->pszSource);
        else if (!isUnchanged(pj, pItem, &pe->stamp, &path))
            bOk = addLeft(pp, path.p, IDS_UNDO_CHANGED);
        else
            bOk = addTaken(pp, path.p, NULL);
    }
    freeListing(&dest);
    freeWide(&path);
    if (!bOk)
        freePlan(pp);
    return bOk;
}

int performUndo(const Journal *pj, UndoPlan *pp, BOOL *pbAborted) {
    SHFILEOPSTRUCTW op = {};
    op.wFunc = pj->bMove ? FO_MOVE : FO_DELETE;
    op.pFrom = pp->from.p;
    op.pTo = pj->bMove ? pp->to.p : NULL;
    // A copy goes to the Recycle Bin; the user has confirmed it already. A
    // move goes back pair by pair; the shell still asks before overwriting
    // what appeared since the plan.
    op.fFlags =
        pj->bMove ? FOF_MULTIDESTFILES | FOF_NOCONFIRMMKDIR : FOF_ALLOWUNDO | FOF_NOCONFIRMATION;
    int rc = SHFileOperationW(&op);
    *pbAborted = op.fAnyOperationsAborted;
    return rc;
}

void freePlan(UndoPlan *pp) {
    freeWide(&pp->from);
    freeWide(&pp->to);
    freeWide(&pp->left);
    freeStr(&pp->strShown);
    memset(pp, 0, sizeof(*pp));
}
