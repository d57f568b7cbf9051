// The journal's text format, written and read. UTF-16LE with a byte order
// mark, so that every name is kept exactly, one record a line, fields apart by
// tabs (neither can be in a name):
//   porterly journal 2 / copy or move / dest<TAB>folder / volume<TAB>identity
//   item<TAB>how<TAB>stamp<TAB>origin stamp<TAB>source<TAB>name   (how: c, m, w, u)
//   sub<TAB>stamp<TAB>path                       (content of the item above)
//   end<TAB>checksum                             (FNV-1a of all before it)
// A stamp is d (folder), l (link) or f<size hex>.<time hex>. The reader takes
// only what the writer writes, byte for byte, and no other version.
#include "journal.h"
#include "texts.h"
#include <stdlib.h>
#include <string.h>

static const char szMagic[] = "porterly journal 2";
#define MAX_NAME 255
#define MAX_REL  32000

// ---------------------------------------------------------------- writing

static size_t wideLength(const WCHAR *psz) {
    size_t n = 0;
    while (psz[n] != 0)
        n++;
    return n;
}

static bool appendAscii(WideText *pt, const char *psz) {
    WCHAR buf[64];
    size_t n = 0;
    bool bOk = true;
    for (; *psz != '\0'; psz++) {
        buf[n++] = (WCHAR)(unsigned char)*psz;
        if (n == 64) {
            bOk = bOk && appendWide(pt, buf, n);
            n = 0;
        }
    }
    return bOk && appendWide(pt, buf, n);
}

static bool appendName(WideText *pt, const WCHAR *psz) {
    return appendWide(pt, psz, wideLength(psz));
}

static void formatHex(char *pszOut, unsigned long long v, int nMinDigits) {
    char tmp[17];
    int n = 0;
    do {
        tmp[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v != 0 || n < nMinDigits);
    while (n > 0)
        *pszOut++ = tmp[--n];
    *pszOut = '\0';
}

static bool appendStamp(WideText *pt, const EntryStamp *ps) {
    if (ps->chKind != STAMP_FILE) {
        char sz[2] = {(char)ps->chKind, '\0'};
        return appendAscii(pt, sz);
    }
    char sz[40] = "f";
    formatHex(sz + 1, ps->size, 1);
    size_t n = strlen(sz);
    sz[n] = '.';
    formatHex(sz + n + 1, ps->time, 1);
    return appendAscii(pt, sz);
}

bool beginJournal(WideText *pt, bool bMove, const WCHAR *pszDest, const WCHAR *pszVolume) {
    const WCHAR bom = 0xFEFF;
    pt->length = 0;
    return appendWide(pt, &bom, 1) && appendAscii(pt, szMagic) &&
           appendAscii(pt, bMove ? "\nmove\ndest\t" : "\ncopy\ndest\t") &&
           appendName(pt, pszDest) && appendAscii(pt, "\nvolume\t") && appendName(pt, pszVolume) &&
           appendAscii(pt, "\n");
}

bool addJournalItem(WideText *pt, const JournalItem *pItem) {
    const char szHow[] = {'\t', (char)pItem->chHow, '\t', '\0'};
    return appendAscii(pt, "item") && appendAscii(pt, szHow) && appendStamp(pt, &pItem->stamp) &&
           appendAscii(pt, "\t") && appendStamp(pt, &pItem->origin) && appendAscii(pt, "\t") &&
           appendName(pt, pItem->pszSource) && appendAscii(pt, "\t") &&
           appendName(pt, pItem->pszName) && appendAscii(pt, "\n");
}

bool addJournalSub(WideText *pt, const JournalSub *pSub) {
    return appendAscii(pt, "sub\t") && appendStamp(pt, &pSub->stamp) && appendAscii(pt, "\t") &&
           appendName(pt, pSub->pszPath) && appendAscii(pt, "\n");
}

// FNV-1a over the units as their little-endian bytes.
static unsigned int checksum(const WCHAR *p, size_t cch) {
    unsigned int h = 2166136261u;
    for (size_t i = 0; i < cch; i++) {
        h = (h ^ (p[i] & 0xFF)) * 16777619u;
        h = (h ^ ((p[i] >> 8) & 0xFF)) * 16777619u;
    }
    return h;
}

bool endJournal(WideText *pt) {
    char sz[16] = "end\t";
    formatHex(sz + 4, checksum(pt->p, pt->length), 8);
    return appendAscii(pt, sz) && appendAscii(pt, "\n");
}

// ---------------------------------------------------------------- names

static bool isUpperAscii(WCHAR ch) {
    return ch >= 'A' && ch <= 'Z';
}

static WCHAR foldAscii(WCHAR ch) {
    return isUpperAscii(ch) ? (WCHAR)(ch + 32) : ch;
}

// Whether the unit is a port's number: a digit, or a superscript one, two
// or three, which Windows reads alike.
static bool isPortDigit(WCHAR ch) {
    return (ch >= '0' && ch <= '9') || ch == 0xB9 || ch == 0xB2 || ch == 0xB3;
}

// The devices that a name opens in any folder instead of a file: CON, PRN,
// AUX, NUL, COM0-9, LPT0-9 (and COM or LPT with a superscript 1, 2 or 3),
// CONIN$, CONOUT$, with any extension (the same list as the splitter's byte
// rule in portystr.cpp).
static bool isDeviceName(const WCHAR *psz, size_t cch) {
    static const char *const names[] = {"con",    "prn",     "aux",  "nul",
                                        "conin$", "conout$", "com#", "lpt#"};
    size_t base = 0;
    while (base < cch && psz[base] != '.')
        base++;
    while (base > 0 && psz[base - 1] == ' ')
        base--;
    for (const char *pszDevice : names) {
        size_t n = strlen(pszDevice), i = 0;
        for (; i < n && i < base; i++) {
            if (pszDevice[i] == '#' ? !isPortDigit(psz[i]) : foldAscii(psz[i]) != pszDevice[i])
                break;
        }
        if (i == n && base == n)
            return true;
    }
    return false;
}

bool isPlainName(const WCHAR *psz, size_t cch) {
    if (cch == 0 || cch > MAX_NAME || psz[cch - 1] == '.' || psz[cch - 1] == ' ')
        return false;
    for (size_t i = 0; i < cch; i++) {
        WCHAR ch = psz[i];
        if (ch < 0x20 || (ch < 0x80 && strchr("\"*/:<>?\\|", (char)ch) != NULL))
            return false;
    }
    return !isDeviceName(psz, cch);
}

// Whether psz (cch units) is plain names apart by single backslashes.
static bool isNamePath(const WCHAR *psz, size_t cch) {
    size_t start = 0;
    for (size_t i = 0; i <= cch; i++) {
        if (i == cch || psz[i] == '\\') {
            if (!isPlainName(psz + start, i - start))
                return false;
            start = i + 1;
        }
    }
    return true;
}

bool isAbsolutePath(const WCHAR *psz, size_t cch, bool bFolder) {
    if (cch >= MAX_PATH)
        return false;
    size_t rest;
    bool bLetter = (psz[0] >= 'A' && psz[0] <= 'Z') || (psz[0] >= 'a' && psz[0] <= 'z');
    if (cch >= 3 && bLetter && psz[1] == ':' && psz[2] == '\\') {
        if (cch == 3)
            return bFolder;
        rest = 3;
    } else if (cch >= 2 && psz[0] == '\\' && psz[1] == '\\') {
        size_t i = 2, parts = 0;
        for (; i < cch && parts < 2; i++)
            parts += psz[i] == '\\';
        if (parts < 2) {
            // \\server\share alone
            return bFolder && isNamePath(psz + 2, cch - 2) && parts == 1;
        }
        if (!isNamePath(psz + 2, i - 3))
            return false;
        rest = i;
    } else {
        return false;
    }
    return isNamePath(psz + rest, cch - rest);
}

// ---------------------------------------------------------------- reading

// A line's fields, cut in place at the tabs.
#define MAX_FIELDS 6

struct Fields {
    WCHAR *pField[MAX_FIELDS];
    size_t cch[MAX_FIELDS];
    int n;
};

static void splitFields(WCHAR *pLine, size_t cch, Fields *pf) {
    pf->n = 0;
    size_t start = 0;
    for (size_t i = 0; i <= cch && pf->n < MAX_FIELDS; i++) {
        if (i == cch || pLine[i] == '\t') {
            pf->pField[pf->n] = pLine + start;
            pf->cch[pf->n] = i - start;
            pf->n++;
            pLine[i] = 0;
            start = i + 1;
        }
    }
    if (start <= cch) // more tabs than fields
        pf->n = MAX_FIELDS + 1;
}

static bool isAscii(const WCHAR *p, size_t cch, const char *psz) {
    size_t n = strlen(psz);
    if (cch != n)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (p[i] != (WCHAR)(unsigned char)psz[i])
            return false;
    }
    return true;
}

// Lowercase hex, 1 to 16 digits, no leading zero unless it is 0 itself.
static bool readHex(const WCHAR *p, size_t cch, unsigned long long *pv) {
    if (cch == 0 || cch > 16 || (p[0] == '0' && cch > 1))
        return false;
    unsigned long long v = 0;
    for (size_t i = 0; i < cch; i++) {
        int d = p[i] >= '0' && p[i] <= '9'   ? p[i] - '0'
                : p[i] >= 'a' && p[i] <= 'f' ? p[i] - 'a' + 10
                                             : -1;
        if (d < 0)
            return false;
        v = v << 4 | (unsigned)d;
    }
    *pv = v;
    return true;
}

static bool readStamp(const WCHAR *p, size_t cch, EntryStamp *ps) {
    ps->size = ps->time = 0;
    ps->chKind = cch > 0 ? p[0] : 0;
    if (cch == 1 && (p[0] == STAMP_DIR || p[0] == STAMP_LINK))
        return true;
    if (cch < 4 || p[0] != STAMP_FILE)
        return false;
    size_t dot = 1;
    while (dot < cch && p[dot] != '.')
        dot++;
    return dot < cch && readHex(p + 1, dot - 1, &ps->size) &&
           readHex(p + dot + 1, cch - dot - 1, &ps->time);
}

// Names compared as undo compares them, so that no two items the reader
// takes are one entry to undo.
static int compareItemNames(const void *a, const void *b) {
    return compareNames((*(const JournalItem *const *)a)->pszName,
                        (*(const JournalItem *const *)b)->pszName);
}

static int compareSources(const void *a, const void *b) {
    return compareNames((*(const JournalItem *const *)a)->pszSource,
                        (*(const JournalItem *const *)b)->pszSource);
}

// Whether two items share a name in the destination, or an origin.
static bool namedTwice(const Journal *pj) {
    const JournalItem **pp = (const JournalItem **)malloc(pj->nItems * sizeof(*pp));
    if (pp == NULL)
        return true;
    bool bTwice = false;
    for (int pass = 0; pass < 2 && !bTwice; pass++) {
        for (size_t i = 0; i < pj->nItems; i++)
            pp[i] = &pj->pItems[i];
        int (*pfnCompare)(const void *, const void *) =
            pass == 0 ? compareItemNames : compareSources;
        qsort(pp, pj->nItems, sizeof(*pp), pfnCompare);
        for (size_t i = 1; i < pj->nItems && !bTwice; i++)
            bTwice = pfnCompare(&pp[i - 1], &pp[i]) == 0;
    }
    free(pp);
    return bTwice;
}

static bool isHow(const WCHAR *p, size_t cch) {
    return cch == 1 && (p[0] == JOURNAL_COPIED || p[0] == JOURNAL_MOVED || p[0] == JOURNAL_OVER ||
                        p[0] == JOURNAL_UNREAD);
}

static bool readItem(Journal *pj, const Fields *pf, size_t cchDest) {
    JournalItem *pItem = &pj->pItems[pj->nItems];
    if (pf->n != 6 || !isAscii(pf->pField[0], pf->cch[0], "item") ||
        !isHow(pf->pField[1], pf->cch[1]) || !readStamp(pf->pField[2], pf->cch[2], &pItem->stamp) ||
        !readStamp(pf->pField[3], pf->cch[3], &pItem->origin) ||
        !isAbsolutePath(pf->pField[4], pf->cch[4], false) ||
        !isPlainName(pf->pField[5], pf->cch[5]) || cchDest + 1 + pf->cch[5] >= MAX_PATH)
        return false;
    pItem->chHow = pf->pField[1][0];
    pItem->pszSource = pf->pField[4];
    pItem->pszName = pf->pField[5];
    pItem->firstSub = pj->nSubs;
    pItem->nSubs = 0;
    pj->nItems++;
    return true;
}

// Content follows only a folder that went to a free name.
static bool readSub(Journal *pj, const Fields *pf) {
    JournalSub *pSub = &pj->pSubs[pj->nSubs];
    const JournalItem *pLast = pj->nItems > 0 ? &pj->pItems[pj->nItems - 1] : NULL;
    if (pf->n != 3 || !isAscii(pf->pField[0], pf->cch[0], "sub") || pLast == NULL ||
        pLast->stamp.chKind != STAMP_DIR ||
        (pLast->chHow != JOURNAL_COPIED && pLast->chHow != JOURNAL_MOVED) ||
        !readStamp(pf->pField[1], pf->cch[1], &pSub->stamp) || pf->cch[2] > MAX_REL ||
        !isNamePath(pf->pField[2], pf->cch[2]))
        return false;
    pSub->pszPath = pf->pField[2];
    pj->pItems[pj->nItems - 1].nSubs++;
    pj->nSubs++;
    return true;
}

// A volume's identity as volumeIdentity gives it: no control character.
static bool isIdentity(const WCHAR *p, size_t cch) {
    if (cch == 0 || cch >= VOLUME_ID_CCH)
        return false;
    for (size_t i = 0; i < cch; i++) {
        if (p[i] < 0x20)
            return false;
    }
    return true;
}

// One of the four header lines (n: its number).
static bool readHeader(Journal *pj, WCHAR *pLine, size_t cchLine, size_t n, size_t *pcchDest) {
    if (n == 0)
        return isAscii(pLine, cchLine, szMagic);
    if (n == 1) {
        pj->bMove = pLine[0] == 'm';
        return isAscii(pLine, cchLine, "copy") || isAscii(pLine, cchLine, "move");
    }
    Fields f;
    splitFields(pLine, cchLine, &f);
    if (f.n != 2 || !isAscii(f.pField[0], f.cch[0], n == 2 ? "dest" : "volume"))
        return false;
    if (n == 3) {
        pj->pszVolume = f.pField[1];
        return isIdentity(f.pField[1], f.cch[1]);
    }
    pj->pszDest = f.pField[1];
    *pcchDest = f.cch[1];
    return isAbsolutePath(f.pField[1], f.cch[1], true);
}

// The lines between the byte order mark and the end line, cut in place.
static bool readLines(Journal *pj, WCHAR *p, size_t cch) {
    size_t start = 0, n = 0;
    size_t cchDest = 0;
    for (size_t i = 0; i < cch; i++) {
        if (p[i] != '\n')
            continue;
        p[i] = 0;
        WCHAR *pLine = p + start;
        size_t cchLine = i - start;
        start = i + 1;
        if (n < 4) {
            if (!readHeader(pj, pLine, cchLine, n++, &cchDest))
                return false;
            continue;
        }
        Fields f;
        splitFields(pLine, cchLine, &f);
        if (!(f.n >= 1 && f.pField[0][0] == 'i' ? readItem(pj, &f, cchDest) : readSub(pj, &f)))
            return false;
    }
    return n == 4 && start == cch && pj->nItems > 0 && !namedTwice(pj);
}

void freeJournal(Journal *pj) {
    free(pj->pItems);
    free(pj->pSubs);
    free(pj->pText);
    memset(pj, 0, sizeof(*pj));
}

bool parseJournal(const unsigned char *p, size_t cb, Journal *pj) {
    memset(pj, 0, sizeof(*pj));
    if (cb % 2 != 0 || cb < 4)
        return false;
    size_t cch = cb / 2;
    pj->pText = (WCHAR *)malloc((cch + 1) * sizeof(WCHAR));
    if (pj->pText == NULL)
        return false;
    WCHAR *pt = pj->pText;
    size_t nItems = 0, nSubs = 0;
    for (size_t i = 0; i < cch; i++) {
        pt[i] = (WCHAR)(p[2 * i] | p[2 * i + 1] << 8);
        bool bLineStart = i == 0 || pt[i - 1] == '\n';
        nItems += bLineStart && pt[i] == 'i';
        nSubs += bLineStart && pt[i] == 's';
    }
    pt[cch] = 0;
    // The end line: "end", a tab, eight hex digits of the checksum, a newline.
    const size_t cchEnd = 13;
    char szEnd[16] = "end\t";
    bool bOk =
        pt[0] == 0xFEFF && cch > cchEnd && pt[cch - 1] == '\n' && pt[cch - cchEnd - 1] == '\n';
    if (bOk) {
        pj->uChecksum = checksum(pt, cch - cchEnd);
        formatHex(szEnd + 4, pj->uChecksum, 8);
        bOk = isAscii(pt + cch - cchEnd, cchEnd - 1, szEnd);
    }
    pj->pItems = (JournalItem *)malloc((nItems + 1) * sizeof(JournalItem));
    pj->pSubs = (JournalSub *)malloc((nSubs + 1) * sizeof(JournalSub));
    bOk = bOk && pj->pItems != NULL && pj->pSubs != NULL && readLines(pj, pt + 1, cch - cchEnd - 1);
    if (!bOk)
        freeJournal(pj);
    return bOk;
}
