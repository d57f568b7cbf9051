// Pinned destinations in the registry: one REG_MULTI_SZ value beside the
// history (older versions never read it), written whole at each pin or unpin,
// and read back as untrusted input with the history's checks: the type, the
// size, terminators, and paths the file operation takes exactly.
#include "favourites.h"
#include "portystr.h"
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const WCHAR szFavouritesValue[] = L"mszFavourites";

// The largest value written: ten paths of MAX_PATH - 1 units, each with its
// NUL, and the list's closing NUL. The buffer has two units more, to end a
// value that was stored without its NULs.
#define STORE_UNITS (FAVOURITE_COUNT * MAX_PATH + 1)

struct StoreBlock {
    WCHAR sz[STORE_UNITS + 2];
};

// An entry is kept when it is under MAX_PATH units and, where the code page
// holds it, an exact absolute path. One the code page cannot hold (written
// by a run in UTF-8, read in code page 932) is kept as it is: it shows
// greyed and is written back whole.
static bool isUsableEntry(const WCHAR *pszPath) {
    size_t cch = wcslen(pszPath);
    if (cch == 0 || cch >= MAX_PATH)
        return false;
    char szAnsi[PATH_BYTES];
    if (!toAnsi(pszPath, szAnsi, PATH_BYTES))
        return true;
    return isExactPath(szAnsi, strlen(szAnsi), false);
}

// Folder names compare as the file system does: letter case aside.
static int findWide(const Favourites *pFav, const WCHAR *pszPath) {
    for (int i = 0; i < pFav->nCount; i++) {
        if (compareNames(pFav->szPath[i], pszPath) == 0)
            return i;
    }
    return -1;
}

static void addEntry(Favourites *pFav, const WCHAR *pszPath) {
    wcscpy(pFav->szPath[pFav->nCount], pszPath);
    pFav->nCount++;
}

void readFavourites(HKEY hKey, Favourites *pFav) {
    pFav->nCount = 0;
    StoreBlock *pBlock = (StoreBlock *)malloc(sizeof(StoreBlock));
    if (pBlock == NULL)
        return;
    DWORD dwType = 0;
    DWORD cb = STORE_UNITS * sizeof(WCHAR);
    LONG rc = RegQueryValueExW(hKey, szFavouritesValue, NULL, &dwType, (LPBYTE)pBlock->sz, &cb);
    if (rc == ERROR_SUCCESS && dwType == REG_MULTI_SZ && cb % sizeof(WCHAR) == 0 &&
        cb <= STORE_UNITS * sizeof(WCHAR)) {
        const WCHAR *pEnd = pBlock->sz + cb / sizeof(WCHAR);
        pBlock->sz[cb / sizeof(WCHAR)] = L'\0';
        pBlock->sz[cb / sizeof(WCHAR) + 1] = L'\0';
        // The first empty string ends the list.
        for (const WCHAR *p = pBlock->sz; p < pEnd && *p != L'\0'; p += wcslen(p) + 1) {
            if (pFav->nCount < FAVOURITE_COUNT && isUsableEntry(p) && findWide(pFav, p) < 0)
                addEntry(pFav, p);
        }
    }
    free(pBlock);
}

static LONG writeFavourites(HKEY hKey, const Favourites *pFav) {
    StoreBlock *pBlock = (StoreBlock *)malloc(sizeof(StoreBlock));
    if (pBlock == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    size_t n = 0;
    for (int i = 0; i < pFav->nCount; i++) {
        size_t cch = wcslen(pFav->szPath[i]) + 1;
        memcpy(pBlock->sz + n, pFav->szPath[i], cch * sizeof(WCHAR));
        n += cch;
    }
    pBlock->sz[n++] = L'\0';
    LONG rc = RegSetValueExW(hKey, szFavouritesValue, 0, REG_MULTI_SZ, (const BYTE *)pBlock->sz,
                             (DWORD)(n * sizeof(WCHAR)));
    free(pBlock);
    return rc;
}

// The ANSI path as the wide text it stands for, without a trailing backslash
// but a root's (the shell gives some folders one); false when it is not
// valid in the code page or does not fit.
static bool toWidePath(const char *pszPath, WCHAR *pszWide) {
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszPath, -1, pszWide, MAX_PATH) == 0)
        return false;
    size_t cch = wcslen(pszWide);
    if (cch > 3 && pszWide[cch - 1] == L'\\' && pszWide[cch - 2] != L'\\')
        pszWide[cch - 1] = L'\0';
    return true;
}

int findFavourite(const Favourites *pFav, const char *pszPath) {
    WCHAR szWide[MAX_PATH];
    return pszPath[0] != '\0' && toWidePath(pszPath, szWide) ? findWide(pFav, szWide) : -1;
}

#define CHANGE_PIN   0
#define CHANGE_UNPIN 1
#define CHANGE_PRUNE 2

// Drops the entries that cannot be chosen now; whether there were any.
static bool pruneEntries(Favourites *pFav) {
    bool tbThere[FAVOURITE_COUNT];
    checkFavourites(pFav, tbThere);
    int n = 0;
    for (int i = 0; i < pFav->nCount; i++) {
        if (!tbThere[i])
            continue;
        if (n != i)
            wcscpy(pFav->szPath[n], pFav->szPath[i]);
        n++;
    }
    bool bDropped = n != pFav->nCount;
    pFav->nCount = n;
    return bDropped;
}

// Applies one change to what the store holds now, read again (another run
// may have changed it: its change is kept), and writes it when it changed.
// pszWide is the folder to pin or unpin.
static int changeStored(HKEY hKey, Favourites *pFav, const WCHAR *pszWide, int nChange) {
    Favourites *pFresh = (Favourites *)malloc(sizeof(Favourites));
    if (pFresh == NULL)
        return PIN_FAILED;
    readFavourites(hKey, pFresh);
    int i = nChange == CHANGE_PRUNE ? -1 : findWide(pFresh, pszWide);
    int nResult = PIN_DONE;
    bool bChanged = false;
    if (nChange == CHANGE_PRUNE) {
        bChanged = pruneEntries(pFresh);
    } else if (nChange == CHANGE_PIN && i < 0 && pFresh->nCount == FAVOURITE_COUNT) {
        nResult = PIN_FULL;
    } else if (nChange == CHANGE_PIN && i < 0) {
        addEntry(pFresh, pszWide);
        bChanged = true;
    } else if (nChange == CHANGE_UNPIN && i >= 0) {
        memmove(pFresh->szPath[i], pFresh->szPath[i + 1],
                (size_t)(pFresh->nCount - i - 1) * sizeof(pFresh->szPath[0]));
        pFresh->nCount--;
        bChanged = true;
    }
    if (bChanged && writeFavourites(hKey, pFresh) != ERROR_SUCCESS)
        nResult = PIN_FAILED;
    if (nResult != PIN_FAILED)
        *pFav = *pFresh;
    free(pFresh);
    return nResult;
}

static int changeFavourites(HKEY hKey, Favourites *pFav, const char *pszPath, int nChange) {
    WCHAR szWide[MAX_PATH];
    if (!toWidePath(pszPath, szWide) || !isUsableEntry(szWide))
        return PIN_FAILED;
    return changeStored(hKey, pFav, szWide, nChange);
}

int pinFavourite(HKEY hKey, Favourites *pFav, const char *pszPath) {
    return changeFavourites(hKey, pFav, pszPath, CHANGE_PIN);
}

int unpinFavourite(HKEY hKey, Favourites *pFav, const char *pszPath) {
    return changeFavourites(hKey, pFav, pszPath, CHANGE_UNPIN);
}

int pruneFavourites(HKEY hKey, Favourites *pFav) {
    return changeStored(hKey, pFav, NULL, CHANGE_PRUNE);
}

// tuDrive caches each drive letter's type, plus one (0: not asked yet):
// asking the system is the dearest part of the look (about 0.6 ms each under
// Wine, against 0.02 ms for the folder itself).
static bool isThere(const WCHAR *pszPath, UINT *tuDrive) {
    if (pszPath[0] == L'\\' && pszPath[1] == L'\\')
        return true;
    WCHAR chDrive = (WCHAR)(pszPath[0] | 0x20);
    if (pszPath[1] == L':' && chDrive >= L'a' && chDrive <= L'z') {
        UINT *puType = &tuDrive[chDrive - L'a'];
        WCHAR szRoot[4] = {pszPath[0], L':', L'\\', L'\0'};
        if (*puType == 0)
            *puType = GetDriveTypeW(szRoot) + 1;
        if (*puType == DRIVE_REMOTE + 1)
            return true;
    }
    DWORD dwAttr = GetFileAttributesW(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void checkFavourites(const Favourites *pFav, bool *pbThere) {
    UINT tuDrive[26] = {};
    // An empty removable drive answers at once instead of asking for a disk.
    UINT uMode = GetErrorMode();
    SetErrorMode(uMode | SEM_FAILCRITICALERRORS);
    for (int i = 0; i < pFav->nCount; i++) {
        const WCHAR *pszPath = pFav->szPath[i];
        pbThere[i] = isAnsiText(pszPath, (int)wcslen(pszPath)) && isThere(pszPath, tuDrive);
    }
    SetErrorMode(uMode);
}
