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
                pNames[n] = {p, (unsigned int)(q - p)};
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
                pNames[n] = {p, (unsigned int)(q - p)};
            n++;
            p = q + 1;
        }
    }
    return n;
}

// Lists the wide names that the code page cannot hold, one per line; null
// when there are none, or when there is no room to tell (*pbNoRoom).
static WCHAR *foreignDropNames(const DropName *pNames, int n, bool *pbNoRoom) {
    size_t cch = 1;
    for (int i = 0; i < n; i++) {
        if (!isAnsiText((const WCHAR *)pNames[i].pName, (int)pNames[i].cch))
            cch += pNames[i].cch + 2;
    }
    if (cch == 1)
        return NULL;
    WCHAR *pszOut = (WCHAR *)pfnStrCalloc(cch, sizeof(WCHAR));
    *pbNoRoom = pszOut == NULL;
    if (pszOut == NULL)
        return NULL;
    WCHAR *p = pszOut;
    for (int i = 0; i < n; i++) {
        const WCHAR *pszName = (const WCHAR *)pNames[i].pName;
        if (isAnsiText(pszName, (int)pNames[i].cch))
            continue;
        memcpy(p, pszName, pNames[i].cch * sizeof(WCHAR));
        p += pNames[i].cch;
        *p++ = L'\r';
        *p++ = L'\n';
    }
    return pszOut;
}

// Whether the name holds a "/" or a "." or ".." component. A trail byte of
// an ANSI name is never a separator.
static bool isOddName(const DropName *pName, BOOL bWide) {
    unsigned int nDots = 0, nComponent = 0;
    for (unsigned int i = 0; i <= pName->cch; i++) {
        unsigned int ch = 0;
        if (i < pName->cch)
            ch = bWide ? ((const WCHAR *)pName->pName)[i] : ((const BYTE *)pName->pName)[i];
        if (ch == '/')
            return true;
        if (ch == '\\' || ch == 0) {
            if (nComponent > 0 && nComponent == nDots && nDots <= 2)
                return true;
            nDots = nComponent = 0;
            continue;
        }
        nComponent++;
        nDots += ch == '.';
        if (!bWide && ch >= 0x80 && _ismbblead(ch) && i + 1 < pName->cch) {
            i++;
            nComponent++;
        }
    }
    return false;
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

DropResult appendDropped(Str *pstrList, const BYTE *pBlock, SIZE_T cbBlock, WCHAR **ppszForeign) {
    int n = readDropNames(pBlock, cbBlock, NULL);
    if (n <= 0)
        return n < 0 ? DROP_MALFORMED : DROP_ADDED;
    DropName *pNames = (DropName *)malloc((size_t)n * sizeof(DropName));
    if (pNames == NULL)
        return DROP_NO_ROOM;
    readDropNames(pBlock, cbBlock, pNames);
    BOOL bWide = ((const DROPFILES *)pBlock)->fWide;
    DropResult result = DROP_ADDED;
    bool bNoRoom = false;
    if (bWide && (*ppszForeign = foreignDropNames(pNames, n, &bNoRoom)) != NULL)
        result = DROP_FOREIGN;
    else if (bNoRoom)
        result = DROP_NO_ROOM; // best-fit names could stand for other files
    for (int i = 0; i < n && result == DROP_ADDED; i++) {
        if (isOddName(&pNames[i], bWide))
            result = DROP_BAD_NAME;
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
        for (int i = n; i-- > 0;)
            pOut += writeDropName(&pNames[i], bWide, pOut, (unsigned int)(pEnd - pOut));
        *pOut = '\0';
        pstrList->length = length + (unsigned int)cbAdd;
    }
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
