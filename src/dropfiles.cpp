// Reading a drop block into the source list. The block is read in one walk
// (DragQueryFileA walks it from its start for every index, which made large
// drops quadratic), checked against its size, and taken whole or not at all.
// Also the check of the shell's ID-list array, whose offsets come from another
// process and are trusted only once each list is found inside the block.
#include "dropfiles.h"
#include <shlobj.h>
#include <mbctype.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// One name of a drop block: bytes in the ANSI code page, or wide characters.
struct DropName {
    const void *pName;
    unsigned int cch; // characters, the NUL not counted
    bool bNamed;      // refused, and named in the refusal
};

// The names of a drop block in order. Each name must end inside the block; the list ends with an
// empty name or with the block. Returns the number of names, or -1 for a block that is not one.
// pNames (when not null) receives them.
static int readDropNames(const BYTE *pBlock, SIZE_T cbBlock, DropName *pNames) {
    if (cbBlock < sizeof(DROPFILES))
        return -1;
    const DROPFILES *pdf = (const DROPFILES *)pBlock;
    // Wide names start on a character boundary in any block the shell builds.
    if (pdf->pFiles > cbBlock || (pdf->fWide && pdf->pFiles % sizeof(WCHAR) != 0))
        return -1;
    int n = 0;
    if (pdf->fWide) {
        const WCHAR *p = (const WCHAR *)(pBlock + pdf->pFiles);
        const WCHAR *pEnd = p + (cbBlock - pdf->pFiles) / sizeof(WCHAR);
        while (p < pEnd && *p != L'\0') {
            const WCHAR *q = p;
            while (q < pEnd && *q != L'\0')
                q++;
            if (q == pEnd)
                return -1;
            if (pNames != NULL)
                pNames[n] = {p, (unsigned int)(q - p), false};
            n++;
            p = q + 1;
        }
    } else {
        const char *p = (const char *)(pBlock + pdf->pFiles);
        const char *pEnd = (const char *)pBlock + cbBlock;
        while (p < pEnd && *p != '\0') {
            const char *q = (const char *)memchr(p, '\0', (size_t)(pEnd - p));
            if (q == NULL)
                return -1;
            if (pNames != NULL)
                pNames[n] = {p, (unsigned int)(q - p), false};
            n++;
            p = q + 1;
        }
    }
    return n;
}

int countDropped(const BYTE *pBlock, SIZE_T cbBlock) {
    return readDropNames(pBlock, cbBlock, NULL);
}

// Lists the names marked bNamed as wide text, one per line; null when there
// is no room to tell (*pbNoRoom).
static WCHAR *namedDropNames(const DropName *pNames, int n, BOOL bWide, bool *pbNoRoom) {
    size_t cch = 1;
    for (int i = 0; i < n; i++)
        cch += pNames[i].bNamed ? pNames[i].cch + 2 : 0;
    WCHAR *pszOut = (WCHAR *)pfnStrCalloc(cch, sizeof(WCHAR));
    *pbNoRoom = pszOut == NULL;
    WCHAR *p = pszOut;
    for (int i = 0; i < n && p != NULL; i++) {
        if (!pNames[i].bNamed)
            continue;
        if (bWide)
            memcpy(p, pNames[i].pName, pNames[i].cch * sizeof(WCHAR));
        p += bWide ? (int)pNames[i].cch
                   : MultiByteToWideChar(CP_ACP, 0, (const char *)pNames[i].pName,
                                         (int)pNames[i].cch, p, (int)pNames[i].cch);
        *p++ = L'\r';
        *p++ = L'\n';
    }
    return pszOut;
}

// Bytes the name takes in the list (its ANSI form and a newline), written at
// pOut when pOut is not null.
static unsigned int writeDropName(const DropName *pName, BOOL bWide, char *pOut,
                                  unsigned int cbRoom) {
    int cb = (int)pName->cch;
    if (bWide && pName->cch != 0)
        cb = WideCharToMultiByte(CP_ACP, 0, (const WCHAR *)pName->pName, (int)pName->cch, pOut,
                                 pOut != NULL ? (int)cbRoom : 0, NULL, NULL);
    else if (pOut != NULL)
        memcpy(pOut, pName->pName, pName->cch);
    if (pOut != NULL)
        pOut[cb] = '\n';
    return (unsigned int)cb + 1;
}

DropResult appendDropped(Str *pstrList, const BYTE *pBlock, SIZE_T cbBlock, WCHAR **ppszNamed) {
    int n = readDropNames(pBlock, cbBlock, NULL);
    if (n <= 0)
        return n < 0 ? DROP_MALFORMED : DROP_ADDED;
    DropName *pNames = (DropName *)malloc((size_t)n * sizeof(DropName));
    if (pNames == NULL)
        return DROP_NO_ROOM;
    readDropNames(pBlock, cbBlock, pNames);
    BOOL bWide = ((const DROPFILES *)pBlock)->fWide;
    DropResult result = DROP_ADDED;
    for (int i = 0; i < n && bWide; i++) {
        pNames[i].bNamed = !isAnsiText((const WCHAR *)pNames[i].pName, (int)pNames[i].cch);
        if (pNames[i].bNamed)
            result = DROP_FOREIGN;
    }
    unsigned long long cbAdd = 0;
    for (int i = 0; i < n && result == DROP_ADDED; i++)
        cbAdd += writeDropName(&pNames[i], bWide, NULL, 0);
    unsigned int length = pstrList->length;
    if (result == DROP_ADDED &&
        (cbAdd >= 0xFFFFFFFEu - length || (pstrList->capacity <= length + cbAdd &&
                                           resize(pstrList, length + (unsigned int)cbAdd) == NULL)))
        result = DROP_NO_ROOM;
    if (result == DROP_ADDED) {
        char *pOut = pstrList->buffer + length;
        char *pEnd = pOut + cbAdd;
        for (int i = n; i-- > 0;) {
            unsigned int cb = writeDropName(&pNames[i], bWide, pOut, (unsigned int)(pEnd - pOut));
            pNames[i].bNamed = !isExactPath(pOut, cb - 1, false);
            if (pNames[i].bNamed)
                result = DROP_BAD_NAME;
            pOut += cb;
        }
        pstrList->buffer[result == DROP_ADDED ? length + cbAdd : length] = '\0';
        if (result == DROP_ADDED)
            pstrList->length = length + (unsigned int)cbAdd;
    }
    bool bNoRoom = false;
    if (result == DROP_FOREIGN || result == DROP_BAD_NAME)
        *ppszNamed = namedDropNames(pNames, n, bWide, &bNoRoom);
    if (bNoRoom)
        result = DROP_NO_ROOM; // a refusal must name what it refuses
    free(pNames);
    return result;
}

// Whether an ID list starting at offset ends inside the block: each item ID
// holds its own size (at least the two bytes of the size), the last is zero.
static bool isIdListInside(const BYTE *pBlock, SIZE_T cbBlock, SIZE_T offset) {
    while (offset <= cbBlock && cbBlock - offset >= sizeof(USHORT)) {
        USHORT cb;
        memcpy(&cb, pBlock + offset, sizeof(cb)); // offsets need not be aligned
        if (cb == 0)
            return true;
        if (cb < sizeof(USHORT))
            return false;
        offset += cb;
    }
    return false;
}

int checkIdListArray(const BYTE *pBlock, SIZE_T cbBlock) {
    if (cbBlock < sizeof(UINT))
        return -1;
    UINT cidl;
    memcpy(&cidl, pBlock, sizeof(cidl));
    // The count, then the folder's offset and one per item.
    if ((cbBlock - sizeof(UINT)) / sizeof(UINT) < (unsigned long long)cidl + 1)
        return -1;
    if (cidl > 0x7FFFFFFF)
        return -1;
    for (UINT i = 0; i <= cidl; i++) {
        UINT offset;
        memcpy(&offset, pBlock + sizeof(UINT) * (i + 1), sizeof(offset));
        if (!isIdListInside(pBlock, cbBlock, offset))
            return -1;
    }
    return (int)cidl;
}
