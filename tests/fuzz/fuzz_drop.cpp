// libFuzzer entry for the readers of selections that come from another
// process: the drop block (DROPFILES, ANSI or wide) and the shell's ID-list
// array. Byte 0 picks the reader (bit 0: the ID-list array); the rest is the
// block, copied to a buffer of exactly its size so that any read past it is
// caught. Each result is checked against the rules written plainly here.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include "dropfiles.h"
#include "fakefs.h"
#include <shlobj.h>

namespace {

void broken(const char *pszRule) {
    fprintf(stderr, "broken: %s\n", pszRule);
    abort();
}

// The names of a drop block as plain rules: -1 when a name runs past the
// block or the names start past it. *pbBad: a name the code page holds
// (wide units up to 0xFF here) that the shell would read as another item.
int plainDropCount(const BYTE *p, size_t cb, bool *pbBad) {
    if (cb < sizeof(DROPFILES))
        return -1;
    DROPFILES df;
    memcpy(&df, p, sizeof(df));
    if (df.pFiles > cb || (df.fWide && df.pFiles % 2 != 0))
        return -1;
    size_t unit = df.fWide ? 2 : 1, n = 0;
    for (size_t i = df.pFiles;; n++) {
        if (cb - i < unit)
            return (int)n; // the block ends the list
        bool bEmpty = true, bForeign = false;
        std::string name;
        size_t j = i;
        for (; cb - j >= unit; j += unit) {
            bool bNul = unit == 1 ? p[j] == 0 : (p[j] == 0 && p[j + 1] == 0);
            if (bNul)
                break;
            bEmpty = false;
            bForeign = bForeign || (unit == 2 && p[j + 1] != 0);
            name += (char)p[j];
        }
        if (bEmpty && cb - j >= unit)
            return (int)n; // the empty name ends the list
        if (cb - j < unit)
            return -1;
        *pbBad = *pbBad || (!bForeign && !fsExactPath(name.c_str(), false));
        i = j + unit;
    }
}

void checkDrop(const BYTE *p, size_t cb) {
    Str list = {};
    assignStr(&list, "C:\\first\n");
    WCHAR *pszForeign = NULL;
    DropResult result = appendDropped(&list, p, cb, &pszForeign);
    bool bBad = false;
    int n = plainDropCount(p, cb, &bBad);
    if ((result == DROP_MALFORMED) != (n < 0))
        broken("a block is refused exactly when it is not one");
    if (result != DROP_ADDED && strcmp(list.buffer, "C:\\first\n") != 0)
        broken("a refused drop leaves the list as it was");
    if ((result == DROP_FOREIGN || result == DROP_BAD_NAME) != (pszForeign != NULL))
        broken("names are listed exactly when the drop is refused for them");
    if (result == DROP_ADDED && bBad)
        broken("no name the shell would read as another item is added");
    if (result == DROP_BAD_NAME && !bBad)
        broken("a drop is refused for its names only when one breaks the rules");
    if (result == DROP_ADDED) {
        if (strlen(list.buffer) > list.length || list.length > list.capacity)
            broken("the list stays within its block");
        int lines = 0;
        for (unsigned int i = 0; i < list.length; i++)
            lines += list.buffer[i] == '\n';
        if (lines != 1 + n || list.buffer[list.length - 1] != '\n')
            broken("every name is added, each ended by a newline");
    }
    free(pszForeign);
    freeStr(&list);
}

// Whether the ID list at offset ends inside the block, written plainly.
bool plainListInside(const BYTE *p, size_t cb, size_t offset) {
    for (;;) {
        if (offset + 2 > cb)
            return false;
        size_t size = p[offset] | (size_t)p[offset + 1] << 8;
        if (size == 0)
            return true;
        if (size < 2)
            return false;
        offset += size;
    }
}

void checkIdList(const BYTE *p, size_t cb) {
    int n = checkIdListArray(p, cb);
    int plain = -1;
    if (cb >= 4) {
        UINT count;
        memcpy(&count, p, 4);
        bool bOk = count < 0x7FFFFFFF && (count + 2ull) * 4 <= cb;
        for (UINT i = 0; bOk && i <= count; i++) {
            UINT offset;
            memcpy(&offset, p + 4 * (i + 1), 4);
            bOk = plainListInside(p, cb, offset);
        }
        plain = bOk ? (int)count : -1;
    }
    if (n != plain)
        broken("the array is taken exactly when every list lies inside it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    BYTE *pBlock = (BYTE *)malloc(size - 1 ? size - 1 : 1);
    memcpy(pBlock, data + 1, size - 1);
    if (data[0] & 1)
        checkIdList(pBlock, size - 1);
    else
        checkDrop(pBlock, size - 1);
    free(pBlock);
    return 0;
}
