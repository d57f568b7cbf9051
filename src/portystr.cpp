// Argument and path handling: the growable string every module uses, the
// splitting of the command-line tail into the source list, and the expansion
// of short (8.3) names into long ones. The splitter asks the file system which
// joins of blank-separated pieces exist, because Send To leaves paths with
// blanks unquoted on some systems.
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
    pstr->capacity = n;
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

bool isAnsiText(const WCHAR *pszText, int cch) {
    if (cch == 0)
        return true;
    // UTF-8 holds every character; it refuses the best-fit and default-char
    // requests, and only an unpaired surrogate fails its strict conversion.
    if (GetACP() == CP_UTF8)
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pszText, cch, NULL, 0, NULL,
                                   NULL) > 0;
    BOOL bDefault = FALSE;
    int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pszText, cch, NULL, 0, NULL, &bDefault);
    return n > 0 && !bDefault;
}

bool toAnsi(const WCHAR *pszText, char *pszOut, int cbOut) {
    int cch = 0;
    while (pszText[cch] != 0)
        cch++;
    if (!isAnsiText(pszText, cch) ||
        WideCharToMultiByte(CP_ACP, 0, pszText, -1, pszOut, cbOut, NULL, NULL) == 0) {
        pszOut[0] = '\0';
        return false;
    }
    return true;
}

bool fitsFileOperation(const char *pszPath) {
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

// Results of makePathLong besides 0: the path has no long form to be had, or
// the list could not grow to hold it.
#define LONG_FAILED  1
#define LONG_NO_ROOM 2

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
        DWORD m = ptrGetLongPathName(pszPath, pstrList->buffer + length, n);
        if (m == 0 || m >= pstrList->capacity - length)
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
        HANDLE hFind = INVALID_HANDLE_VALUE; // "." and ".." stay as written
        if (!isDotName(pszSep + 1, (size_t)(pszNext - pszSep - 1))) {
            *pszNext = '\0';
            hFind = findFirstEntry(pszPath, &entry);
            *pszNext = '\\';
        }
        if (hFind != INVALID_HANDLE_VALUE) {
            FindClose(hFind);
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

// Whether the last component is a DOS device name, which FindFirstFileA
// reports as found in any folder.
static bool isDeviceName(const unsigned char *pszName) {
    static const char *const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t n = 0;
    while (pszName[n] != '\0' && pszName[n] != '.')
        n++;
    while (n > 0 && pszName[n - 1] == ' ')
        n--;
    for (const char *pszDevice : names) {
        if (strlen(pszDevice) == n && _strnicmp((const char *)pszName, pszDevice, n) == 0)
            return true;
    }
    return n == 4 &&
           (_strnicmp((const char *)pszName, "COM", 3) == 0 ||
            _strnicmp((const char *)pszName, "LPT", 3) == 0) &&
           pszName[3] >= '1' && pszName[3] <= '9';
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
    return !isDeviceName(pComponent);
}

// Looks pszPath up. The walk needs the entry's long name (copied to pszName),
// which only FindFirstFileA reports; the service finds the long name itself,
// so there the far cheaper attribute query answers wherever it answers alike.
static bool lookUp(const char *pszPath, char *pszName) {
    // No name holds a newline, which would cut the item in two in the list;
    // only a ".." after it could make such a path name an entry.
    if (strchr(pszPath, '\n') != NULL)
        return false;
    if (ptrGetLongPathName != NULL && isPlainPath(pszPath))
        return GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES;
    FoundEntry entry;
    HANDLE hFind = findFirstEntry(pszPath, &entry);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    strcpy(pszName, entry.szName);
    return true;
}

// The pieces of the tail: piece k runs from bounds[k] + 1 to bounds[k + 1];
// bounds[0] is "before the first byte" and the last bound is the text's end.
struct Pieces {
    char *text;
    int *bounds;
    int b; // the last piece's number
};

// Looks up the run of pieces k..e.
static bool lookUpRun(const Pieces *pp, int k, int e, char *pszName) {
    char *pszEnd = pp->text + pp->bounds[e + 1];
    char chEnd = *pszEnd;
    *pszEnd = '\0';
    bool bFound = lookUp(pp->text + pp->bounds[k] + 1, pszName);
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
// Before the first hit the run one piece longer is tried first: when it
// exists, the item reaches it whatever the shorter run gives, which saves a
// failed lookup per unquoted path with a blank.
static int longestRun(const Pieces *pp, int k, char *pszName) {
    int found = -1;
    int e = k;
    while (found < 0 && e <= pp->b) {
        if (e < pp->b && !hasInvalidChar(pp, e + 1)) {
            if (lookUpRun(pp, k, e + 1, pszName)) {
                found = e + 1;
            } else if (lookUpRun(pp, k, e, pszName)) {
                return e;
            }
            e += 2;
        } else {
            if (lookUpRun(pp, k, e, pszName))
                found = e;
            e++;
        }
    }
    if (found < 0)
        return -1;
    for (e = found + 1; e <= pp->b; e++) {
        if (hasInvalidChar(pp, e) || !lookUpRun(pp, k, e, pszName))
            break;
        found = e;
    }
    return found;
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

    Pieces pieces;
    pieces.text = text;
    pieces.b = count_sp(text);
    pieces.bounds = (int *)calloc((size_t)pieces.b + 2, sizeof(int));
    if (pieces.bounds == NULL)
        return PARSE_NO_MEMORY;
    int *bounds = pieces.bounds;
    int nb = 0;
    bounds[nb++] = -1;
    for (unsigned int i = 1; i < length; i++) {
        if (text[i] == ' ')
            bounds[nb++] = (int)i;
    }
    bounds[nb] = (int)length;

    int b = pieces.b;
    int result = 0;
    char szName[PATH_BYTES];
    int k = 0;
    while (k <= b) {
        char *pszPiece = text + bounds[k] + 1;
        if (*pszPiece == '"') {
            char *pszClose = (char *)_mbschr((unsigned char *)pszPiece + 1, '"');
            if (pszClose == NULL || (pszClose[1] != ' ' && pszClose[1] != '\0')) {
                result = -1;
                break;
            }
            *pszClose = '\0';
            char *pszPath = pszPiece + 1;
            if (!lookUp(pszPath, szName)) {
                *pszClose = '"';
                result = -2;
                break;
            }
            int rc = makePathLong(pstrList, pszPath, szName);
            if (rc == LONG_FAILED) {
                // Fall back to the path as written; drop the failed attempt first.
                char *pszLast = rfind(pstrList, '\n');
                unsigned int keep = pszLast ? (unsigned int)(pszLast - pstrList->buffer) + 1 : 0;
                if (pstrList->buffer != NULL) {
                    pstrList->buffer[keep] = '\0';
                    pstrList->length = keep;
                }
                if (!appendPart(pstrList, pszPath) || !appendPart(pstrList, "\n"))
                    rc = LONG_NO_ROOM;
                else
                    rc = 0;
            }
            *pszClose = '"';
            if (rc != 0) {
                result = PARSE_NO_MEMORY;
                break;
            }
            result++;
            if (pszClose[1] == '\0')
                break;
            int blank = (int)(pszClose + 1 - text);
            while (k <= b && bounds[k] != blank)
                k++;
        } else {
            int found = longestRun(&pieces, k, szName);
            if (found < 0) {
                k++;
                continue;
            }
            // szName still holds the entry found for the run k..found.
            char *pszEnd = text + bounds[found + 1];
            char chEnd = *pszEnd;
            *pszEnd = '\0';
            int rc = makePathLong(pstrList, pszPiece, szName);
            *pszEnd = chEnd;
            if (rc != 0) {
                result = rc == LONG_NO_ROOM ? PARSE_NO_MEMORY : -3;
                break;
            }
            result++;
            k = found + 1;
        }
    }
    free(bounds);
    return result;
}
