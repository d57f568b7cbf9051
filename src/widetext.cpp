// Growable wide text (see widetext.h). Its memory comes through the same
// allocator as the byte strings', so that a test can make either run out.
#include "widetext.h"
#include <stdlib.h>
#include <string.h>

extern void *(*pfnStrRealloc)(void *, size_t);

bool appendWide(WideText *pt, const WCHAR *psz, size_t cch) {
    if (cch >= ((size_t)-1) / 8 - pt->length)
        return false;
    if (pt->length + cch + 1 > pt->capacity) {
        size_t cap = (pt->length + cch + 1) * 2 + 256;
        WCHAR *p = (WCHAR *)pfnStrRealloc(pt->p, cap * sizeof(WCHAR));
        if (p == NULL)
            return false;
        pt->p = p;
        pt->capacity = cap;
    }
    memcpy(pt->p + pt->length, psz, cch * sizeof(WCHAR));
    pt->length += cch;
    pt->p[pt->length] = 0;
    return true;
}

bool appendText(WideText *pt, const WCHAR *psz) {
    size_t cch = 0;
    while (psz[cch] != 0)
        cch++;
    return appendWide(pt, psz, cch);
}

void freeWide(WideText *pt) {
    free(pt->p);
    pt->p = NULL;
    pt->length = pt->capacity = 0;
}
