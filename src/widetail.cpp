// The wide command-line check (see widetail.h): the wide tail cut into pieces
// as the splitter cuts the ANSI one, each piece whose text the code page
// cannot hold named with the run of pieces around it that names an entry.
#include "widetail.h"
#include "portystr.h"
#include <stdlib.h>
#include <wchar.h>

WCHAR *wideTail() {
    WCHAR *p = GetCommandLineW();
    bool bQuoted = false;
    while (*p > L' ' || (*p != L'\0' && bQuoted)) {
        if (*p == L'"')
            bQuoted = !bQuoted;
        p++;
    }
    while (*p != L'\0' && *p <= L' ')
        p++;
    return p;
}

// Pieces of a wide tail: a quoted path whole, else the text between blanks.
struct WidePiece {
    WCHAR *pStart; // of the path, inside the quotes for a quoted one
    WCHAR *pEnd;
    bool bQuoted;
};

// Names the item around piece j whose text the code page cannot hold: the
// longest run of unquoted pieces through j (none before piece first) that
// names an entry, as the splitter would join them, else the piece alone.
// Returns the last piece used.
static int itemAround(WidePiece *pieces, int first, int n, int j, WCHAR **ppStart, WCHAR **ppEnd) {
    *ppStart = pieces[j].pStart;
    *ppEnd = pieces[j].pEnd;
    int last = j;
    if (pieces[j].bQuoted)
        return last;
    size_t best = 0;
    for (int s = j; s >= first && s > j - 8 && !pieces[s].bQuoted; s--) {
        for (int e = j; e < n && e < j + 8 && !pieces[e].bQuoted; e++) {
            size_t cch = (size_t)(pieces[e].pEnd - pieces[s].pStart);
            if (cch <= best)
                continue;
            WCHAR chEnd = *pieces[e].pEnd;
            *pieces[e].pEnd = L'\0';
            bool bFound = GetFileAttributesW(pieces[s].pStart) != INVALID_FILE_ATTRIBUTES;
            *pieces[e].pEnd = chEnd;
            if (bFound) {
                best = cch;
                *ppStart = pieces[s].pStart;
                *ppEnd = pieces[e].pEnd;
                last = e;
            }
        }
    }
    return last;
}

WCHAR *unrepresentableItems(const WCHAR *pszTail, bool *pbNoMemory) {
    size_t cchTail = wcslen(pszTail);
    *pbNoMemory = false;
    if (isAnsiText(pszTail, (int)cchTail))
        return NULL;
    WCHAR *pszCopy = (WCHAR *)pfnStrCalloc(cchTail + 1, sizeof(WCHAR));
    WidePiece *pieces = (WidePiece *)pfnStrCalloc(cchTail + 1, sizeof(WidePiece));
    WCHAR *pszNames = (WCHAR *)pfnStrCalloc(cchTail * 3 + 1, sizeof(WCHAR));
    if (pszCopy == NULL || pieces == NULL || pszNames == NULL) {
        free(pszCopy);
        free(pieces);
        free(pszNames);
        *pbNoMemory = true;
        return NULL;
    }
    wcscpy(pszCopy, pszTail);
    int n = 0;
    for (WCHAR *p = pszCopy; *p != L'\0';) {
        if (*p == L' ') {
            p++;
            continue;
        }
        WidePiece piece = {p, p, false};
        WCHAR *pClose = *p == L'"' ? wcschr(p + 1, L'"') : NULL;
        if (pClose != NULL) {
            piece.pStart = p + 1;
            piece.pEnd = pClose;
            piece.bQuoted = true;
            p = pClose + 1;
        } else {
            while (*p != L'\0' && *p != L' ')
                p++;
            piece.pEnd = p;
        }
        pieces[n++] = piece;
    }
    pszNames[0] = L'\0';
    WCHAR *pOut = pszNames;
    int first = 0; // names never overlap: each piece is named once at most
    for (int j = 0; j < n; j++) {
        if (isAnsiText(pieces[j].pStart, (int)(pieces[j].pEnd - pieces[j].pStart)))
            continue;
        WCHAR *pStart, *pEnd;
        j = itemAround(pieces, first, n, j, &pStart, &pEnd);
        first = j + 1;
        size_t cch = (size_t)(pEnd - pStart);
        memcpy(pOut, pStart, cch * sizeof(WCHAR));
        pOut += cch;
        *pOut++ = L'\r';
        *pOut++ = L'\n';
        *pOut = L'\0';
    }
    free(pieces);
    free(pszCopy);
    return pszNames;
}
