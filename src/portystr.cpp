// Argument and path handling: the growable string every module uses, the
// splitting of the command-line tail into the source list, and the expansion
// of short (8.3) names into long ones. The splitter asks the file system which
// joins of blank-separated pieces exist, because Send To leaves paths with
// blanks unquoted on some systems; a folder where such a join missed is
// listed once, so that any number of blanks costs about one lookup.
#include "portystr.h"
#include <malloc.h>
#include <mbctype.h>
#include <mbstring.h>
#include <stdlib.h>
#include <string.h>

GetLongPathNameProc ptrGetLongPathName = NULL;

void *(*pfnStrCalloc)(size_t, size_t) = calloc;
void *(*pfnStrRealloc)(void *, size_t) = realloc;

// Bytes that never join an unquoted piece to a run already found.
static const char szInvalidChars[] = ":/\"|<>";

Str *assignStr(Str *pstr, const char *psz) {
    if (pstr == NULL)
        return NULL;
    if (psz == NULL)
        return pstr;
    free(pstr->buffer);
    size_t n = strlen(psz);
    pstr->buffer = (char *)pfnStrCalloc(n + 1, 1);
    if (pstr->buffer == NULL) {
        pstr->capacity = 0;
        pstr->length = 0;
        return pstr;
    }
    memcpy(pstr->buffer, psz, n + 1);
    pstr->length = (unsigned int)n;
    pstr->capacity = (unsigned int)n + 1;
    return pstr;
}

Str *appendStr(Str *pstr, const char *psz) {
    if (pstr == NULL)
        return NULL;
    if (psz == NULL)
        return pstr;
    size_t cch = strlen(psz);
    // A text that would wrap the 32-bit sizes cannot be held: keep the old one.
    if (cch >= 0xFFFFFFFFu - pstr->length)
        return pstr;
    unsigned int n = (unsigned int)cch;
    unsigned int need = pstr->length + n + 1;
    if (pstr->capacity < need) {
        char *p = (char *)pfnStrRealloc(pstr->buffer, need);
        if (p == NULL) {
            // The old block is still valid: keep its text, drop the appended one.
            if (pstr->buffer != NULL) {
                pstr->length = (unsigned int)strlen(pstr->buffer);
                pstr->capacity = (unsigned int)_msize(pstr->buffer);
            }
            return pstr;
        }
        if (pstr->buffer == NULL)
            p[0] = '\0';
        pstr->buffer = p;
        pstr->capacity = need;
    }
    memcpy(pstr->buffer + pstr->length, psz, n + 1);
    pstr->length += n;
    return pstr;
}

Str *resize(Str *pstr, unsigned int n) {
    // n + 1 would wrap to 0 on the 32-bit build, and realloc(p, 0) frees p.
    if (n == 0xFFFFFFFFu)
        return NULL;
    char *p = (char *)pfnStrRealloc(pstr->buffer, (size_t)n + 1);
    if (p == NULL)
        return NULL;
    if (pstr->buffer == NULL)
        p[0] = '\0';
    pstr->buffer = p;
    pstr->capacity = n + 1;
    return pstr;
}

char *rfind(Str *pstr, char ch) {
    if (pstr->buffer == NULL || pstr->length == 0)
        return NULL;
    for (unsigned int i = pstr->length; i-- > 0;) {
        if (pstr->buffer[i] == ch)
            return pstr->buffer + i;
    }
    return NULL;
}

void freeStr(Str *pstr) {
    free(pstr->buffer);
    pstr->buffer = NULL;
    pstr->capacity = 0;
    pstr->length = 0;
}

bool joinPath(Str *pstrPath, const char *pszFolder, const char *pszName) {
    // The last character, not byte: a trailing 表 ends in 0x5C.
    const unsigned char *pSep = _mbsrchr((const unsigned char *)pszFolder, '\\');
    bool bSep = pSep == NULL || pSep[1] != '\0';
    assignStr(pstrPath, pszFolder);
    if (bSep)
        appendStr(pstrPath, "\\");
    appendStr(pstrPath, pszName);
    return pstrPath->buffer != NULL &&
           pstrPath->length == strlen(pszFolder) + (bSep ? 1 : 0) + strlen(pszName);
}

bool fitsFileOperation(const char *pszPath) {
    // Every UTF-16 unit takes at least one byte: a short path needs no count.
    if (strlen(pszPath) < MAX_PATH)
        return true;
    int cch = MultiByteToWideChar(CP_ACP, 0, pszPath, -1, NULL, 0);
    return cch > 0 && cch <= MAX_PATH;
}

static bool takeEntry(const WIN32_FIND_DATAW *pfd, FoundEntry *pEntry) {
    pEntry->dwAttr = pfd->dwFileAttributes;
    return toAnsi(pfd->cFileName, pEntry->szName, PATH_BYTES);
}

bool findNextEntry(HANDLE hFind, FoundEntry *pEntry) {
    WIN32_FIND_DATAW fd;
    while (FindNextFileW(hFind, &fd)) {
        if (takeEntry(&fd, pEntry))
            return true;
    }
    return false;
}

HANDLE findFirstEntry(const char *pszPattern, FoundEntry *pEntry) {
    int cch = MultiByteToWideChar(CP_ACP, 0, pszPattern, -1, NULL, 0);
    WCHAR *pszWide = cch > 0 ? (WCHAR *)malloc((size_t)cch * sizeof(WCHAR)) : NULL;
    if (pszWide == NULL)
        return INVALID_HANDLE_VALUE;
    MultiByteToWideChar(CP_ACP, 0, pszPattern, -1, pszWide, cch);
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(pszWide, &fd);
    free(pszWide);
    if (hFind != INVALID_HANDLE_VALUE && !takeEntry(&fd, pEntry) && !findNextEntry(hFind, pEntry)) {
        FindClose(hFind);
        hFind = INVALID_HANDLE_VALUE;
    }
    return hFind;
}

// Whether a search finds pszPath; its entry goes to *pEntry.
static bool findEntry(const char *pszPath, FoundEntry *pEntry) {
    HANDLE hFind = findFirstEntry(pszPath, pEntry);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    return true;
}

int count_sp(const char *psz) {
    int n = 0;
    if (psz[0] == '\0')
        return 0;
    for (const char *p = psz + 1; *p != '\0'; p++) {
        if (*p == ' ')
            n++;
    }
    return n;
}

// Appends psz; false when the list could not grow (appendStr keeps the old
// text then), so that a half-built item is never taken for a whole one.
static bool appendPart(Str *pstrList, const char *psz) {
    unsigned int before = pstrList->length;
    appendStr(pstrList, psz);
    return pstrList->buffer != NULL && pstrList->length == before + strlen(psz);
}

// Cuts the list back to its first length bytes.
static void cutBack(Str *pstrList, unsigned int length) {
    if (pstrList->buffer != NULL) {
        pstrList->buffer[length] = '\0';
        pstrList->length = length;
    }
}

// Results of makePathLong besides 0: the path has no long form to be had, or
// the list could not grow to hold it; and of appendItem: the shell would read
// the item as another (isExactPath).
#define LONG_FAILED  1
#define LONG_NO_ROOM 2
#define LONG_BAD     3

// Appends the path as written from just after the drive's colon up to the
// pending mark (the backslash at the mark excluded).
static bool appendAsWritten(Str *pstrList, char *pszColon, char *pszMark) {
    char ch = *pszMark;
    *pszMark = '\0';
    bool bOk = appendPart(pstrList, pszColon + 1);
    *pszMark = ch;
    return bOk;
}

// The long form through the platform's service, written straight into the
// list's free room; one exact reservation when the room is too small.
static int makePathLongByService(Str *pstrList, char *pszPath) {
    unsigned int length = pstrList->length;
    DWORD room = pstrList->capacity - length;
    DWORD n = ptrGetLongPathName(pszPath, pstrList->buffer + length, room);
    if (n == 0)
        return LONG_FAILED;
    if (n > room) {
        if (resize(pstrList, length + n + 1) == NULL)
            return LONG_NO_ROOM;
        // Given n bytes, the whole form and its NUL take at most n: a larger
        // answer is the size a name changed in between needs.
        DWORD m = ptrGetLongPathName(pszPath, pstrList->buffer + length, n);
        if (m == 0 || m >= n)
            return LONG_FAILED;
    }
    pstrList->length = (unsigned int)strlen(pstrList->buffer);
    if (!appendPart(pstrList, "\n")) {
        pstrList->buffer[length] = '\0';
        pstrList->length = length;
        return LONG_NO_ROOM;
    }
    return 0;
}

// Whether the n bytes at p are "." or "..". A lookup resolves such a
// component and reports the folder it leads to, whose name must never stand
// in for it.
static bool isDotName(const char *p, size_t n) {
    return (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.');
}

// The long form without the service: each directory component is looked up
// and replaced by the name the file system reports. Leading components that
// cannot be looked up stay as written; once one was converted, a failed
// lookup fails the item and leaves its beginning in the list.
static int makePathLongByWalk(Str *pstrList, char *pszPath, const char *lastName) {
    char *pszColon = (char *)_mbschr((unsigned char *)pszPath, ':');
    // Only a drive's colon starts the walk. A slash would separate components
    // for the lookups but not for the walk.
    if (pszColon == NULL || pszColon != pszPath + 1 || _mbschr((unsigned char *)pszPath, '/'))
        return LONG_FAILED;
    char chAfter = pszColon[1];
    pszColon[1] = '\0';
    bool bOk = appendPart(pstrList, pszPath);
    pszColon[1] = chAfter;
    if (!bOk)
        return LONG_NO_ROOM;
    char *pszSep = (char *)_mbschr((unsigned char *)pszColon, '\\');
    if (pszSep == NULL)
        return LONG_FAILED;
    // A drive-relative path (C:dir\...) keeps the text before its first
    // backslash: it starts out pending, as if its lookup had failed.
    char *pszMark = pszSep != pszColon + 1 ? pszSep : NULL;
    bool bConverted = false;
    for (;;) {
        char *pszNext = (char *)_mbschr((unsigned char *)pszSep + 1, '\\');
        if (pszNext == NULL)
            break;
        FoundEntry entry;
        bool bFound = false; // "." and ".." stay as written
        if (!isDotName(pszSep + 1, (size_t)(pszNext - pszSep - 1))) {
            *pszNext = '\0';
            bFound = findEntry(pszPath, &entry);
            *pszNext = '\\';
        }
        if (bFound) {
            if (pszMark != NULL) {
                if (!appendAsWritten(pstrList, pszColon, pszMark))
                    return LONG_NO_ROOM;
                pszMark = NULL;
            }
            if (!appendPart(pstrList, "\\") || !appendPart(pstrList, entry.szName))
                return LONG_NO_ROOM;
            bConverted = true;
        } else if (bConverted) {
            return LONG_FAILED;
        } else {
            pszMark = pszNext;
        }
        pszSep = pszNext;
    }
    if (isDotName(pszSep + 1, strlen(pszSep + 1)))
        return LONG_FAILED; // lastName is the name of the folder it leads to
    if (pszMark != NULL && !appendAsWritten(pstrList, pszColon, pszMark))
        return LONG_NO_ROOM;
    if (!appendPart(pstrList, "\\") || !appendPart(pstrList, lastName) ||
        !appendPart(pstrList, "\n"))
        return LONG_NO_ROOM;
    return 0;
}

// Appends the long form of pszPath and a newline to the list; lastName is the
// long name of the path's last component as the caller's lookup found it.
// Returns 0, LONG_FAILED or LONG_NO_ROOM (see the two roads for what a
// failure leaves behind).
static int makePathLong(Str *pstrList, char *pszPath, const char *lastName) {
    if (ptrGetLongPathName != NULL)
        return makePathLongByService(pstrList, pszPath);
    return makePathLongByWalk(pstrList, pszPath, lastName);
}

// Whether the n bytes are a port's number: a digit, or a superscript one,
// two or three (U+00B9, U+00B2, U+00B3), which Windows reads alike. In UTF-8
// those take two bytes; a single-byte code page may hold them in one; a
// double-byte one (932) holds none.
static bool isPortNumber(const unsigned char *p, size_t n) {
    if (n == 1 && p[0] >= '0' && p[0] <= '9')
        return true;
    if (GetACP() == CP_UTF8)
        return n == 2 && p[0] == 0xC2 && (p[1] == 0xB9 || p[1] == 0xB2 || p[1] == 0xB3);
    CPINFO info;
    WCHAR ch = 0;
    return n == 1 && p[0] >= 0x80 && GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1 &&
           MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, (const char *)p, 1, &ch, 1) == 1 &&
           (ch == 0xB9 || ch == 0xB2 || ch == 0xB3);
}

// Whether a last component of cch bytes is a DOS device name: the system
// reads it as the device in any folder, and FindFirstFileA finds it there.
// The journal keeps a UTF-16 twin of this rule (its names may lie outside
// the code page); the two list the same devices.
static bool isDeviceName(const unsigned char *pszName, size_t cch) {
    static const char *const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t n = 0;
    while (n < cch && pszName[n] != '.')
        n++;
    while (n > 0 && pszName[n - 1] == ' ')
        n--;
    for (const char *pszDevice : names) {
        if (strlen(pszDevice) == n && _strnicmp((const char *)pszName, pszDevice, n) == 0)
            return true;
    }
    return n > 3 &&
           (_strnicmp((const char *)pszName, "COM", 3) == 0 ||
            _strnicmp((const char *)pszName, "LPT", 3) == 0) &&
           isPortNumber(pszName + 3, n - 3);
}

// Whether asking for the attributes answers exactly as FindFirstFileA would:
// no wildcard or other special character, no "." or ".." or empty component,
// no UNC or device prefix, no colon but a drive's, nothing FindFirstFileA
// strips or refuses at the end, and no device name. Anything else is looked
// up with FindFirstFileA itself.
static bool isPlainPath(const char *pszPath) {
    const unsigned char *p = (const unsigned char *)pszPath;
    if (p[0] == '\0' || (p[0] == '\\' && p[1] == '\\'))
        return false;
    const unsigned char *pComponent = p;
    unsigned char chLast = 0;
    for (const unsigned char *q = p; *q != '\0'; q++) {
        chLast = *q;
        if (_ismbblead(*q)) {
            if (q[1] == '\0')
                return false; // a lead byte without its trail byte
            chLast = 0;       // a double-byte character is never special
            q++;
            continue;
        }
        if (strchr("*?\"<>|/", *q) != NULL)
            return false;
        if (*q == ':' && (q != p + 1 || (p[0] | 0x20) < 'a' || (p[0] | 0x20) > 'z' || p[2] != '\\'))
            return false;
        if (*q == '\\') {
            size_t n = (size_t)(q - pComponent);
            if ((n == 0 && q != p) || isDotName((const char *)pComponent, n))
                return false;
            pComponent = q + 1;
        }
    }
    if (chLast == '\\' || chLast == ' ' || chLast == '.')
        return false;
    return !isDeviceName(pComponent, strlen((const char *)pComponent));
}

bool isExactPath(const char *pszPath, size_t cb, bool bWritten) {
    const unsigned char *p = (const unsigned char *)pszPath;
    auto isSep = [&](unsigned char c) { return c == '\\' || (bWritten && c == '/'); };
    bool bUnc = cb >= 2 && isSep(p[0]) && isSep(p[1]);
    bool bDrive = cb >= 2 && p[1] == ':' && (p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z';
    bool bRooted = bDrive ? cb >= 3 && isSep(p[2]) : cb >= 1 && isSep(p[0]);
    // A relative path would be read against whatever folder is current.
    if (!bWritten && !bUnc && !(bDrive && bRooted))
        return false;
    if (bDrive && bRooted && cb == 3)
        return true; // a drive's root
    size_t start = bUnc ? 2 : (bDrive ? 2 : 0) + (bRooted ? 1 : 0);
    for (size_t i = start;; i++) {
        // A double-byte character is never special; a byte below 0x40 is
        // never a trail byte, and is checked on its own.
        if (i + 1 < cb && _ismbblead(p[i]) && p[i + 1] >= 0x40) {
            i++;
        } else if (i == cb || isSep(p[i])) {
            size_t n = i - start;
            const char *pComponent = (const char *)p + start;
            if (isDotName(pComponent, n) ? !bWritten : n == 0 || p[i - 1] == '.' || p[i - 1] == ' ')
                return false;
            if (i == cb)
                return !isDeviceName((const unsigned char *)pComponent, n);
            start = i + 1;
        } else if (p[i] < 0x20 || strchr("*?\"<>|:/", p[i]) != NULL) {
            return false;
        }
    }
}

// ---------------------------------------------------------------- folder listings

// A miss costs the platform a scan of the folder (as much as listing it),
// and an unquoted item holding n blanks misses up to n times before its hit.
// So after the first miss in a folder its names are listed once, and later
// lookups there ask the platform only for a name the listing may hold.
#define LISTINGS 4

struct NameIndex {
    char *pszFolder; // the folder's text, its last backslash included; null: unused
    // Each name: two bytes of length n, a byte 1 for a short name, then its
    // shape (shapeOf) and the name as listed, n bytes each.
    char *pNames;
    size_t cb;
    size_t cbRoom;       // the block's size
    unsigned int *pHash; // by shape: a name's offset + 1, or 0; a power of two long
    size_t cHash;
    size_t cNames;
    char *pszLong;   // the folder's long form, once asked for
    bool bLongAsked; // the long form was asked for (pszLong null: none)
    bool bKnown;     // false: the folder could not be listed; ask the platform
};

struct NameIndexes {
    NameIndex slots[LISTINGS];
    int next;
};

static void freeIndex(NameIndex *p) {
    free(p->pszFolder);
    free(p->pNames);
    free(p->pHash);
    free(p->pszLong);
    *p = {};
}

static void freeIndexes(NameIndexes *pl) {
    for (NameIndex &l : pl->slots)
        freeIndex(&l);
}

// The length of the folder part of a path: up to its last backslash.
static size_t folderLength(const char *pszPath) {
    const char *pSep = (const char *)_mbsrchr((const unsigned char *)pszPath, '\\');
    return pSep != NULL ? (size_t)(pSep - pszPath) + 1 : 0;
}

static NameIndex *findIndex(NameIndexes *pl, const char *pszPath) {
    size_t n = folderLength(pszPath);
    for (NameIndex &l : pl->slots) {
        if (l.pszFolder != NULL && strlen(l.pszFolder) == n && memcmp(l.pszFolder, pszPath, n) == 0)
            return &l;
    }
    return NULL;
}

// The shape of n bytes of a name, written to pOut: ASCII letters in lower
// case, each double-byte character as two 0x81 bytes, other bytes as they
// are. Names the file system takes for one have one shape (double-byte
// characters are never told apart: it folds some, such as full-width
// letters), so comparing shapes errs only towards asking the platform. A
// name holding another byte above 0x7F (UTF-8, or an accented letter of a
// single-byte code page) may fold to another length or byte: false, and
// such a name is always left to the platform.
static bool shapeOf(const unsigned char *p, size_t n, unsigned char *pOut) {
    bool bPlain = true;
    for (size_t i = 0; i < n; i++) {
        if (_ismbblead(p[i]) && i + 1 < n) {
            pOut[i] = pOut[i + 1] = 0x81;
            i++;
        } else {
            bPlain = bPlain && p[i] < 0x80;
            pOut[i] = p[i] >= 'A' && p[i] <= 'Z' ? (unsigned char)(p[i] | 0x20) : p[i];
        }
    }
    return bPlain;
}

static unsigned int hashOf(const unsigned char *pShape, size_t n) {
    unsigned int h = 2166136261u;
    for (size_t i = 0; i < n; i++)
        h = (h ^ pShape[i]) * 16777619u;
    return h;
}

// Adds a name as a record (see NameIndex::pNames).
static bool addName(NameIndex *pl, const char *pszName, bool bShort) {
    size_t n = strlen(pszName);
    char *p = pl->pNames;
    if (pl->cb + 2 * n + 3 > pl->cbRoom) {
        // Doubling: a folder of thousands of names is read in few copies.
        p = (char *)realloc(p, pl->cbRoom * 2 + 2 * n + 3);
        if (p == NULL)
            return false;
        pl->cbRoom = pl->cbRoom * 2 + 2 * n + 3;
        pl->pNames = p;
    }
    p += pl->cb;
    p[0] = (char)(n & 0xFF);
    p[1] = (char)(n >> 8);
    p[2] = bShort;
    shapeOf((const unsigned char *)pszName, n, (unsigned char *)p + 3);
    memcpy(p + 3 + n, pszName, n);
    pl->cb += 2 * n + 3;
    pl->cNames++;
    return true;
}

static size_t recordLength(const unsigned char *q) {
    return q[0] | (size_t)q[1] << 8;
}

// Indexes the records by shape, at most half full.
static bool sortIndex(NameIndex *pl) {
    size_t c = 16;
    while (c < 2 * pl->cNames)
        c *= 2;
    pl->pHash = (unsigned int *)calloc(c, sizeof(unsigned int));
    if (pl->pHash == NULL)
        return false;
    pl->cHash = c;
    for (size_t i = 0; i < pl->cb;) {
        const unsigned char *q = (const unsigned char *)pl->pNames + i;
        size_t n = recordLength(q);
        size_t slot = hashOf(q + 3, n) & (c - 1);
        while (pl->pHash[slot] != 0)
            slot = (slot + 1) & (c - 1);
        pl->pHash[slot] = (unsigned int)i + 1;
        i += 2 * n + 3;
    }
    return true;
}

// Whether a UTF-8 name holds a letter whose upper case is ASCII.
static bool foldsToAscii(const char *pszName) {
    return strstr(pszName, "\xC4\xB1") != NULL || strstr(pszName, "\xC5\xBF") != NULL;
}

// Lists the folder of pszPath into the next slot. A name holding '?' stands
// for characters the code page cannot hold, which may match anything; in
// UTF-8, file systems that compare names in upper case take ı and ſ for I
// and S. Such a folder, like one that cannot be listed or whose listing
// ends early, is left to the platform.
static void makeIndex(NameIndexes *pl, const char *pszPath) {
    NameIndex *p = &pl->slots[pl->next];
    pl->next = (pl->next + 1) % LISTINGS;
    freeIndex(p);
    size_t n = folderLength(pszPath);
    p->pszFolder = (char *)malloc(n + 2);
    if (p->pszFolder == NULL)
        return;
    memcpy(p->pszFolder, pszPath, n);
    strcpy(p->pszFolder + n, "*");
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(p->pszFolder, &fd);
    p->pszFolder[n] = '\0';
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    bool bUtf8 = GetACP() == CP_UTF8;
    bool bKnown = true;
    do {
        // A name of MAX_PATH - 1 bytes may have been cut short (UTF-8).
        bKnown = bKnown && strchr(fd.cFileName, '?') == NULL &&
                 strlen(fd.cFileName) < MAX_PATH - 1 && !(bUtf8 && foldsToAscii(fd.cFileName)) &&
                 addName(p, fd.cFileName, false) &&
                 (fd.cAlternateFileName[0] == '\0' || addName(p, fd.cAlternateFileName, true));
    } while (bKnown && FindNextFileA(hFind, &fd));
    // Windows ends a listing early on an entry whose names do not fit the
    // find data (ERROR_MORE_DATA: a short name of kanji in UTF-8); the
    // names after it are unknown, not absent.
    bKnown = bKnown && GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(hFind);
    p->bKnown = bKnown && sortIndex(p);
}

// The names of the listing with the shape of the last component of pszPath:
// how many (up to two), and the first. -1: the listing cannot tell.
static int namesShaped(const NameIndex *p, const char *pszPath, const unsigned char **ppFirst) {
    const unsigned char *pszName = (const unsigned char *)pszPath + folderLength(pszPath);
    size_t n = strlen((const char *)pszName);
    unsigned char shape[PATH_BYTES];
    if (!p->bKnown || n >= sizeof(shape) || !shapeOf(pszName, n, shape))
        return -1;
    int count = 0;
    size_t mask = p->cHash - 1;
    for (size_t slot = hashOf(shape, n) & mask; p->pHash[slot] != 0 && count < 2;
         slot = (slot + 1) & mask) {
        const unsigned char *q = (const unsigned char *)p->pNames + p->pHash[slot] - 1;
        if (recordLength(q) == n && memcmp(q + 3, shape, n) == 0 && count++ == 0)
            *ppFirst = q;
    }
    return count;
}

// Whether the listing may hold the last component of pszPath.
static bool mayBeListed(const NameIndex *p, const char *pszPath) {
    const unsigned char *pFirst;
    return namesShaped(p, pszPath, &pFirst) != 0;
}

// The long form of an existing item in a listed folder, when the listing
// holds its name exactly as written and no other name of that shape: the
// service would then give the folder's long form and the name unchanged, and
// asking it for the folder once spares a call an item that costs far more
// than the lookup. Returns 0 or LONG_NO_ROOM, or -1: ask the service.
static int appendListed(Str *pstrList, const char *pszPath, NameIndexes *pl) {
    NameIndex *p = pl != NULL && isPlainPath(pszPath) ? findIndex(pl, pszPath) : NULL;
    const unsigned char *q;
    size_t n = folderLength(pszPath);
    const char *pszName = pszPath + n;
    // The service fails where the attribute query fails (a file held open
    // without sharing): so must this road.
    if (p == NULL || n == 0 || namesShaped(p, pszPath, &q) != 1 || q[2] != 0 ||
        memcmp(q + 3 + strlen(pszName), pszName, strlen(pszName)) != 0 ||
        GetFileAttributesA(pszPath) == INVALID_FILE_ATTRIBUTES)
        return -1;
    if (!p->bLongAsked) {
        p->bLongAsked = true;
        char szLong[PATH_BYTES];
        DWORD m = ptrGetLongPathName(p->pszFolder, szLong, sizeof(szLong));
        // The folder's text ends in its backslash, and so must its long form.
        if (m > 0 && m < sizeof(szLong) && folderLength(szLong) == m) {
            p->pszLong = (char *)malloc(m + 1);
            if (p->pszLong != NULL)
                memcpy(p->pszLong, szLong, m + 1);
        }
    }
    if (p->pszLong == NULL)
        return -1;
    unsigned int before = pstrList->length;
    if (appendPart(pstrList, p->pszLong) && appendPart(pstrList, pszName) &&
        appendPart(pstrList, "\n"))
        return 0;
    cutBack(pstrList, before);
    return LONG_NO_ROOM;
}

// The attribute query, and a search where the query is refused but a
// search may still see the entry: a file held open without sharing, or one
// the folder grants no read right to.
static bool attributesFound(const char *pszPath) {
    if (GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES)
        return true;
    DWORD dwError = GetLastError();
    if (dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_ACCESS_DENIED)
        return false;
    FoundEntry entry;
    return findEntry(pszPath, &entry);
}

// ---------------------------------------------------------------- splitting

// Looks pszPath up. The walk needs the entry's long name (copied to pszName),
// which only FindFirstFileA reports; the service finds the long name itself,
// so there the far cheaper attribute query answers wherever it answers alike,
// helped by the folder listings (pl, or null for none).
static bool lookUp(const char *pszPath, char *pszName, NameIndexes *pl) {
    // No name holds a newline, which would cut the item in two in the list;
    // only a ".." after it could make such a path name an entry.
    if (strchr(pszPath, '\n') != NULL)
        return false;
    if (ptrGetLongPathName != NULL && isPlainPath(pszPath)) {
        NameIndex *pIndex = pl != NULL ? findIndex(pl, pszPath) : NULL;
        if (pIndex != NULL && !mayBeListed(pIndex, pszPath))
            return false;
        if (attributesFound(pszPath))
            return true;
        if (pl != NULL && pIndex == NULL)
            makeIndex(pl, pszPath);
        return false;
    }
    FoundEntry entry;
    if (!findEntry(pszPath, &entry))
        return false;
    strcpy(pszName, entry.szName);
    return true;
}

// Whether the path is relative or holds a "/" or a "." or ".." component:
// the shell reads such a path as its full form, and so must the list.
static bool needsFullPath(const char *pszPath) {
    const unsigned char *pComponent = (const unsigned char *)pszPath;
    bool bUnc = pszPath[0] == '\\' && pszPath[1] == '\\';
    if (!bUnc && (_ismbblead(pComponent[0]) || pszPath[0] == '\0' || pszPath[1] != ':' ||
                  pszPath[2] != '\\'))
        return true;
    for (const unsigned char *q = pComponent;; q++) {
        if (_ismbblead(*q) && q[1] != '\0') {
            q++; // a trail byte is never a separator
        } else if (*q == '/' || *q == '\\' || *q == '\0') {
            if (*q == '/' || isDotName((const char *)pComponent, (size_t)(q - pComponent)))
                return true;
            if (*q == '\0')
                return false;
            pComponent = q + 1;
        }
    }
}

// Appends the item at pszPath (lastName: its last component's long name) as
// the shell will read it: a path with "/", "." or ".." as its full form.
// Returns 0, LONG_FAILED, LONG_NO_ROOM or LONG_BAD, which leaves nothing of
// the item. A quoted item (bQuoted) falls back to that text when its long
// form fails, dropping the failed attempt. The folder listings pl (or null)
// may spare the long-name service.
static int appendItem(Str *pstrList, char *pszPath, const char *lastName, bool bQuoted,
                      NameIndexes *pl) {
    // Checked as written too: the full form drops a last component's
    // trailing dots and blanks, as the shell would.
    if (!isExactPath(pszPath, strlen(pszPath), true))
        return LONG_BAD;
    Str strFull = {};
    if (needsFullPath(pszPath)) {
        DWORD n = GetFullPathNameA(pszPath, 0, NULL, NULL);
        if (n == 0)
            return LONG_FAILED;
        if (resize(&strFull, n) == NULL)
            return LONG_NO_ROOM;
        DWORD m = GetFullPathNameA(pszPath, strFull.capacity, strFull.buffer, NULL);
        if (m == 0 || m >= strFull.capacity) {
            freeStr(&strFull);
            return LONG_FAILED;
        }
        pszPath = strFull.buffer;
    }
    unsigned int before = pstrList->length;
    int rc = ptrGetLongPathName != NULL ? appendListed(pstrList, pszPath, pl) : -1;
    if (rc < 0)
        rc = makePathLong(pstrList, pszPath, lastName);
    if (rc == LONG_FAILED && bQuoted) {
        cutBack(pstrList, before);
        rc = appendPart(pstrList, pszPath) && appendPart(pstrList, "\n") ? 0 : LONG_NO_ROOM;
    }
    // The long form comes from the file system, which may hold a name that
    // the shell reads otherwise (one ending in a dot, made through "\\?\").
    if (rc == 0 && !isExactPath(pstrList->buffer + before, pstrList->length - before - 1, false)) {
        cutBack(pstrList, before);
        rc = LONG_BAD;
    }
    freeStr(&strFull);
    return rc;
}

// The pieces of the tail: piece k runs from bounds[k] + 1 to bounds[k + 1];
// bounds[0] is "before the first byte" and the last bound is the text's end.
struct Pieces {
    char *text;
    int *bounds;
    int b; // the last piece's number
    NameIndexes listings;
};

// Whether piece e is empty: its run would end in a blank.
static bool isEmptyPiece(const Pieces *pp, int e) {
    return pp->bounds[e + 1] == pp->bounds[e] + 1;
}

// Looks up the run of pieces k..e. A run ending in a blank names nothing as
// written (a lookup would drop the blank, and ".. " would find the folder).
static bool lookUpRun(Pieces *pp, int k, int e, char *pszName) {
    if (isEmptyPiece(pp, e))
        return false;
    char *pszEnd = pp->text + pp->bounds[e + 1];
    char chEnd = *pszEnd;
    *pszEnd = '\0';
    bool bFound = lookUp(pp->text + pp->bounds[k] + 1, pszName, &pp->listings);
    *pszEnd = chEnd;
    return bFound;
}

// Whether piece e holds a byte that never joins a run already found.
static bool hasInvalidChar(const Pieces *pp, int e) {
    char *pszEnd = pp->text + pp->bounds[e + 1];
    char chEnd = *pszEnd;
    *pszEnd = '\0';
    bool bInvalid = _mbspbrk((unsigned char *)pp->text + pp->bounds[e] + 1,
                             (const unsigned char *)szInvalidChars) != NULL;
    *pszEnd = chEnd;
    return bInvalid;
}

// The last piece of the longest existing run that starts at piece k, or -1.
// The runs k..k, k..k+1, ... are tried in turn; once one was found, the next
// longer run must exist and its new piece must hold no invalid character.
// A run ending in an empty piece is passed over, neither found nor missing.
// Before the first hit the run one piece longer is tried first: when it
// exists, the item reaches it whatever the shorter run gives, which saves
// the miss (and the folder's listing) for an unquoted path with one blank.
static int longestRun(Pieces *pp, int k, char *pszName) {
    int found = -1;
    int e = k;
    while (found < 0 && e <= pp->b) {
        if (e < pp->b && !hasInvalidChar(pp, e + 1) && !isEmptyPiece(pp, e + 1)) {
            if (lookUpRun(pp, k, e + 1, pszName))
                found = e + 1;
            else if (lookUpRun(pp, k, e, pszName))
                return e;
            e += 2;
        } else {
            if (lookUpRun(pp, k, e, pszName))
                found = e;
            e++;
        }
    }
    for (e = found + 1; found >= 0 && e <= pp->b; e++) {
        if (isEmptyPiece(pp, e))
            continue;
        if (hasInvalidChar(pp, e) || !lookUpRun(pp, k, e, pszName))
            break;
        found = e;
    }
    return found;
}

// The result of parse for a failed appendItem (rc), where a failed long form
// gives failed.
static int parseError(int rc, int failed) {
    return rc == LONG_NO_ROOM ? PARSE_NO_MEMORY : rc == LONG_BAD ? PARSE_BAD_NAME : failed;
}

// Appends a path too long for the lookups to find as written: nothing is
// cut, and the caller refuses it by name (fitsFileOperation). Returns 1 or
// PARSE_NO_MEMORY.
static int takeOverlong(Str *pstrList, const char *pszPath) {
    unsigned int before = pstrList->length;
    if (appendPart(pstrList, pszPath) && appendPart(pstrList, "\n"))
        return 1;
    cutBack(pstrList, before);
    return PARSE_NO_MEMORY;
}

// Takes the quoted item whose opening quote is at pszQuote. Returns 1, or
// -1 (bad quoting), -2 (no such entry, or no full form to be had) or
// PARSE_NO_MEMORY; *ppszClose receives its closing quote.
static int takeQuoted(Str *pstrList, char *pszQuote, char **ppszClose) {
    char *pszClose = (char *)_mbschr((unsigned char *)pszQuote + 1, '"');
    *ppszClose = pszClose;
    if (pszClose == NULL || (pszClose[1] != ' ' && pszClose[1] != '\0'))
        return -1;
    char szName[PATH_BYTES];
    *pszClose = '\0';
    int result = -2;
    if (lookUp(pszQuote + 1, szName, NULL)) {
        int rc = appendItem(pstrList, pszQuote + 1, szName, true, NULL);
        result = rc == 0 ? 1 : parseError(rc, -2);
    } else if (!fitsFileOperation(pszQuote + 1)) {
        result = takeOverlong(pstrList, pszQuote + 1);
    }
    *pszClose = '"';
    return result;
}

// Whether the text starts a path of its own: a quote or a drive.
static bool startsPath(const char *psz) {
    return psz[0] == '"' || (psz[0] != '\0' && !_ismbblead((unsigned char)psz[0]) && psz[1] == ':');
}

// The run from piece k, which starts with a drive, up to the piece before the
// next path or the text's end, when it is too long for the lookups to have
// found it: an over-long path. -1 otherwise.
static int overlongRun(Pieces *pp, int k) {
    char *pszPiece = pp->text + pp->bounds[k] + 1;
    if (!startsPath(pszPiece))
        return -1;
    int e = k;
    while (e < pp->b && !startsPath(pp->text + pp->bounds[e + 1] + 1))
        e++;
    char *pszEnd = pp->text + pp->bounds[e + 1];
    char chEnd = *pszEnd;
    *pszEnd = '\0';
    bool bFits = fitsFileOperation(pszPiece);
    *pszEnd = chEnd;
    return bFits ? -1 : e;
}

// Takes the unquoted item that starts at piece k: the longest existing run,
// or an over-long path. Returns 1, 0 (no item starts there) or an error of
// parse; *pNext receives the piece after it.
static int takeUnquoted(Str *pstrList, Pieces *pp, int k, int *pNext) {
    char szName[PATH_BYTES];
    int found = longestRun(pp, k, szName);
    bool bOverlong = found < 0 && (found = overlongRun(pp, k)) >= 0;
    *pNext = found < 0 ? k + 1 : found + 1;
    if (found < 0)
        return 0;
    // szName still holds the entry found for the run.
    char *pszItem = pp->text + pp->bounds[k] + 1;
    char *pszEnd = pp->text + pp->bounds[found + 1];
    char chEnd = *pszEnd;
    *pszEnd = '\0';
    int rc = bOverlong ? takeOverlong(pstrList, pszItem)
                       : appendItem(pstrList, pszItem, szName, false, &pp->listings);
    *pszEnd = chEnd;
    if (bOverlong)
        return rc;
    return rc == 0 ? 1 : parseError(rc, -3);
}

// Cuts the text at its blanks (the first byte is never a cut). False when
// there is no memory for the bounds.
static bool cutPieces(Pieces *pp, char *text, unsigned int length) {
    pp->text = text;
    pp->b = count_sp(text);
    pp->bounds = (int *)calloc((size_t)pp->b + 2, sizeof(int));
    if (pp->bounds == NULL)
        return false;
    int nb = 0;
    pp->bounds[nb++] = -1;
    for (unsigned int i = 1; i < length; i++) {
        if (text[i] == ' ')
            pp->bounds[nb++] = (int)i;
    }
    pp->bounds[nb] = (int)length;
    return true;
}

int parse(Str *pstrList, Str *pstrText) {
    if (pstrText->buffer == NULL)
        return -1;
    char *text = pstrText->buffer;
    unsigned int length = (unsigned int)strlen(text);
    while (length > 0 && text[length - 1] == ' ')
        text[--length] = '\0';
    pstrText->length = length;
    if (length == 0)
        return 0;

    Pieces pieces = {};
    if (!cutPieces(&pieces, text, length))
        return PARSE_NO_MEMORY;
    int *bounds = pieces.bounds;
    int b = pieces.b;
    int result = 0;
    int k = 0;
    while (k <= b) {
        char *pszPiece = text + bounds[k] + 1;
        if (*pszPiece == '"') {
            char *pszClose;
            int rc = takeQuoted(pstrList, pszPiece, &pszClose);
            if (rc != 1) {
                result = rc;
                break;
            }
            result++;
            if (pszClose[1] == '\0')
                break;
            int blank = (int)(pszClose + 1 - text);
            while (k <= b && bounds[k] != blank)
                k++;
        } else {
            int next;
            int rc = takeUnquoted(pstrList, &pieces, k, &next);
            if (rc < 0) {
                result = rc;
                break;
            }
            result += rc;
            k = next;
        }
    }
    freeIndexes(&pieces.listings);
    free(bounds);
    return result;
}
