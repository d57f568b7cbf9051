// Argument and path handling: the growable string every module uses, the
// splitting of the command-line tail into the source list, and the expansion
// of short (8.3) names into long ones. The splitter asks the file system which
// joins of blank-separated pieces exist, because Send To leaves paths with
// blanks unquoted on some systems.
#include "portystr.h"
#include <malloc.h>
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
    unsigned int n = (unsigned int)strlen(psz);
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
        return 1;
    if (n > room) {
        if (resize(pstrList, length + n + 1) == NULL)
            return 1;
        DWORD m = ptrGetLongPathName(pszPath, pstrList->buffer + length, n);
        if (m == 0 || m >= pstrList->capacity - length)
            return 1;
    }
    pstrList->length = (unsigned int)strlen(pstrList->buffer);
    if (!appendPart(pstrList, "\n")) {
        pstrList->buffer[length] = '\0';
        pstrList->length = length;
        return 1;
    }
    return 0;
}

// The long form without the service: each directory component is looked up
// and replaced by the name the file system reports. Leading components that
// cannot be looked up stay as written; once one was converted, a failed
// lookup fails the item and leaves its beginning in the list.
static int makePathLongByWalk(Str *pstrList, char *pszPath, const char *lastName) {
    char *pszColon = (char *)_mbschr((unsigned char *)pszPath, ':');
    if (pszColon == NULL)
        return 1;
    char chAfter = pszColon[1];
    pszColon[1] = '\0';
    bool bOk = appendPart(pstrList, pszPath);
    pszColon[1] = chAfter;
    if (!bOk)
        return 1;
    char *pszSep = (char *)_mbschr((unsigned char *)pszColon, '\\');
    if (pszSep == NULL)
        return 1;
    // A drive-relative path (C:dir\...) keeps the text before its first
    // backslash: it starts out pending, as if its lookup had failed.
    char *pszMark = pszSep != pszColon + 1 ? pszSep : NULL;
    bool bConverted = false;
    for (;;) {
        char *pszNext = (char *)_mbschr((unsigned char *)pszSep + 1, '\\');
        if (pszNext == NULL)
            break;
        WIN32_FIND_DATAA fd;
        *pszNext = '\0';
        HANDLE hFind = FindFirstFileA(pszPath, &fd);
        *pszNext = '\\';
        if (hFind != INVALID_HANDLE_VALUE) {
            FindClose(hFind);
            if (pszMark != NULL) {
                if (!appendAsWritten(pstrList, pszColon, pszMark))
                    return 1;
                pszMark = NULL;
            }
            if (!appendPart(pstrList, "\\") || !appendPart(pstrList, fd.cFileName))
                return 1;
            bConverted = true;
        } else if (bConverted) {
            return 1;
        } else {
            pszMark = pszNext;
        }
        pszSep = pszNext;
    }
    if (pszMark != NULL && !appendAsWritten(pstrList, pszColon, pszMark))
        return 1;
    if (!appendPart(pstrList, "\\") || !appendPart(pstrList, lastName) ||
        !appendPart(pstrList, "\n"))
        return 1;
    return 0;
}

// Appends the long form of pszPath and a newline to the list; lastName is the
// long name of the path's last component as the caller's lookup found it.
// Returns 0, or 1 on failure (see the two roads for what is left behind).
static int makePathLong(Str *pstrList, char *pszPath, const char *lastName) {
    if (ptrGetLongPathName != NULL)
        return makePathLongByService(pstrList, pszPath);
    return makePathLongByWalk(pstrList, pszPath, lastName);
}

// Looks pszPath up; on success copies the found entry's long name to pszName.
static bool lookUp(const char *pszPath, char *pszName) {
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(pszPath, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    strcpy(pszName, fd.cFileName);
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

    // Piece k runs from bounds[k] + 1 to bounds[k + 1]; bounds[0] is "before
    // the first byte" and the last bound is the end of the text.
    int b = count_sp(text);
    int *bounds = (int *)calloc((size_t)b + 2, sizeof(int));
    if (bounds == NULL)
        return -1;
    int nb = 0;
    bounds[nb++] = -1;
    for (unsigned int i = 1; i < length; i++) {
        if (text[i] == ' ')
            bounds[nb++] = (int)i;
    }
    bounds[nb] = (int)length;

    int result = 0;
    char szName[MAX_PATH];
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
            if (makePathLong(pstrList, pszPath, szName) != 0) {
                // Fall back to the path as written; drop the failed attempt first.
                char *pszLast = rfind(pstrList, '\n');
                unsigned int keep = pszLast ? (unsigned int)(pszLast - pstrList->buffer) + 1 : 0;
                if (pstrList->buffer != NULL) {
                    pstrList->buffer[keep] = '\0';
                    pstrList->length = keep;
                }
                appendStr(pstrList, pszPath);
                appendStr(pstrList, "\n");
            }
            *pszClose = '"';
            result++;
            if (pszClose[1] == '\0')
                break;
            int blank = (int)(pszClose + 1 - text);
            while (k <= b && bounds[k] != blank)
                k++;
        } else {
            int found = -1;
            for (int e = k; e <= b; e++) {
                char *pszEnd = text + bounds[e + 1];
                char chEnd = *pszEnd;
                *pszEnd = '\0';
                bool bStop = false;
                if (found >= 0 && _mbspbrk((unsigned char *)text + bounds[e] + 1,
                                           (const unsigned char *)szInvalidChars) != NULL) {
                    bStop = true;
                } else if (lookUp(pszPiece, szName)) {
                    found = e;
                } else if (found >= 0) {
                    bStop = true;
                }
                *pszEnd = chEnd;
                if (bStop)
                    break;
            }
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
                result = -3;
                break;
            }
            result++;
            k = found + 1;
        }
    }
    free(bounds);
    return result;
}
