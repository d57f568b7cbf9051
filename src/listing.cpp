// Folders as the program reads them (see listing.h): the one walk, with its
// link rule and its early-end rule, and the sorted listing found by name.
#include "listing.h"
#include "texts.h"
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

void stampOf(const WIN32_FIND_DATAW *pfd, EntryStamp *ps) {
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

bool sameStamp(const EntryStamp *a, const EntryStamp *b) {
    return a->chKind == b->chKind && a->size == b->size && a->time == b->time;
}

// ---------------------------------------------------------------- the walk

struct Walk {
    WalkProc pfnEntry;
    void *pContext;
    size_t cchTop;
};

// Puts "\name" behind the path (one backslash, also after a drive's root).
static bool appendName(WideText *pPath, const WCHAR *pszName) {
    bool bSep = pPath->length == 0 || pPath->p[pPath->length - 1] != L'\\';
    return (!bSep || appendWide(pPath, L"\\", 1)) && appendText(pPath, pszName);
}

static void cutTo(WideText *pPath, size_t cch) {
    pPath->length = cch;
    pPath->p[cch] = 0;
}

static int walkLevel(Walk *pw, WideText *pPath) {
    size_t cchHere = pPath->length;
    WIN32_FIND_DATAW fd;
    HANDLE h = appendName(pPath, L"*") ? FindFirstFileW(pPath->p, &fd) : INVALID_HANDLE_VALUE;
    DWORD dwError = GetLastError();
    cutTo(pPath, cchHere);
    if (h == INVALID_HANDLE_VALUE)
        return dwError == ERROR_FILE_NOT_FOUND ? WALK_DONE : WALK_UNKNOWN; // an empty root
    int result = WALK_DONE;
    do {
        if (wcscmp(fd.cFileName, L"..") == 0)
            continue;
        if (!appendName(pPath, fd.cFileName)) {
            result = WALK_UNKNOWN;
            break;
        }
        int answer = pw->pfnEntry(pw->pContext, pPath, pw->cchTop, &fd);
        bool bFolder =
            (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
            FILE_ATTRIBUTE_DIRECTORY;
        if (answer == WALK_INTO && bFolder && wcscmp(fd.cFileName, L".") != 0) {
            int inner = walkLevel(pw, pPath);
            if (inner != WALK_DONE)
                result = inner;
        }
        cutTo(pPath, cchHere);
        if (answer == WALK_STOP)
            result = WALK_STOPPED;
    } while (result != WALK_STOPPED && FindNextFileW(h, &fd));
    // Any end but the listing's own leaves what follows unknown.
    if (result == WALK_DONE && GetLastError() != ERROR_NO_MORE_FILES)
        result = WALK_UNKNOWN;
    FindClose(h);
    return result;
}

int walkFolder(WideText *pPath, WalkProc pfnEntry, void *pContext) {
    Walk walk = {pfnEntry, pContext, pPath->length};
    if (pPath->p == NULL)
        return WALK_UNKNOWN;
    return walkLevel(&walk, pPath);
}

// ---------------------------------------------------------------- listings

static bool addListed(Listing *pl, const WCHAR *pszName, const WIN32_FIND_DATAW *pfd) {
    if (pl->n == pl->capacity) {
        size_t cap = pl->capacity * 2 + 64;
        ListedEntry *p = (ListedEntry *)realloc(pl->p, cap * sizeof(ListedEntry));
        if (p == NULL)
            return false;
        pl->p = p;
        pl->capacity = cap;
    }
    ListedEntry *pe = &pl->p[pl->n];
    pe->offName = pl->names.length;
    stampOf(pfd, &pe->stamp);
    pe->dwAttr = pfd->dwFileAttributes;
    if (!appendWide(&pl->names, pszName, wcslen(pszName) + 1)) // its NUL kept
        return false;
    pl->n++;
    return true;
}

struct ListWalk {
    Listing *pl;
    bool bDeep;
};

static int listEntry(void *pContext, WideText *pPath, size_t cchTop, const WIN32_FIND_DATAW *pfd) {
    ListWalk *plw = (ListWalk *)pContext;
    if (wcscmp(pfd->cFileName, L".") == 0)
        return WALK_NEXT;
    size_t off = cchTop < pPath->length && pPath->p[cchTop] == L'\\' ? cchTop + 1 : cchTop;
    if (!addListed(plw->pl, pPath->p + off, pfd))
        return WALK_STOP;
    return plw->bDeep ? WALK_INTO : WALK_NEXT;
}

int listFolder(const WCHAR *pszFolder, bool bDeep, Listing *pl) {
    WideText path = {};
    ListWalk lw = {pl, bDeep};
    int result = appendText(&path, pszFolder) ? walkFolder(&path, listEntry, &lw) : WALK_UNKNOWN;
    freeWide(&path);
    return result == WALK_DONE ? WALK_DONE : WALK_UNKNOWN;
}

static const WCHAR *pSortNames; // the listing being sorted (one thread)

static int compareFolded(const void *a, const void *b) {
    return compareNames(pSortNames + ((const ListedEntry *)a)->offName,
                        pSortNames + ((const ListedEntry *)b)->offName);
}

static int compareExact(const void *a, const void *b) {
    return wcscmp(pSortNames + ((const ListedEntry *)a)->offName,
                  pSortNames + ((const ListedEntry *)b)->offName);
}

void sortListing(Listing *pl, bool bExact) {
    pSortNames = pl->names.p;
    if (pl->n > 1)
        qsort(pl->p, pl->n, sizeof(ListedEntry), bExact ? compareExact : compareFolded);
}

const WCHAR *listedName(const Listing *pl, const ListedEntry *pe) {
    return pl->names.p + pe->offName;
}

const ListedEntry *findListed(const Listing *pl, const WCHAR *pszName) {
    size_t lo = 0, hi = pl->n;
    while (lo < hi) { // the first entry not below the name
        size_t mid = (lo + hi) / 2;
        if (compareNames(listedName(pl, &pl->p[mid]), pszName) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    const ListedEntry *pFound = NULL;
    size_t nFolded = 0;
    for (size_t i = lo; i < pl->n && compareNames(listedName(pl, &pl->p[i]), pszName) == 0; i++) {
        if (wcscmp(listedName(pl, &pl->p[i]), pszName) == 0)
            return &pl->p[i];
        pFound = &pl->p[i];
        nFolded++;
    }
    return nFolded == 1 ? pFound : NULL;
}

void freeListing(Listing *pl) {
    free(pl->p);
    freeWide(&pl->names);
    memset(pl, 0, sizeof(*pl));
}
