// libFuzzer entry for the journal reader, the one file Porterly reads back.
// Byte 0, bit 0 set: the rest is a journal without its end line, which is
// added with the right checksum so that the lines behind it are explored;
// clear: the rest is the file as it is. The reader's verdict and records are
// checked against the format's rules written plainly here, and what it takes
// must be what the writer writes for those records, byte for byte.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include "journal.h"
#include "texts.h"

// The allocator the wide texts take, as the program's byte strings give it.
void *(*pfnStrRealloc)(void *, size_t) = realloc;
// The texts module, which compares names for the reader, asks for the code
// page too; the reader itself never converts.
unsigned GetACP(void) {
    return 65001;
}

namespace {

typedef std::u16string Text;

void broken(const char *pszRule) {
    fprintf(stderr, "broken: %s\n", pszRule);
    abort();
}

std::vector<Text> split(const Text &t, char16_t sep) {
    std::vector<Text> parts(1);
    for (char16_t ch : t) {
        if (ch == sep)
            parts.emplace_back();
        else
            parts.back() += ch;
    }
    return parts;
}

Text ascii(const char *psz) {
    Text t;
    while (*psz)
        t += (char16_t)*psz++;
    return t;
}

// Letters A-Z taken as a-z, as device names are matched.
Text folded(const Text &t) {
    Text f;
    for (char16_t ch : t)
        f += ch >= 'A' && ch <= 'Z' ? (char16_t)(ch + 32) : ch;
    return f;
}

bool plainName(const Text &t) {
    if (t.empty() || t.size() > 255 || t.back() == '.' || t.back() == ' ')
        return false;
    for (char16_t ch : t) {
        if (ch < 0x20 || Text(u"\"*/:<>?\\|").find(ch) != Text::npos)
            return false;
    }
    Text base = folded(t.substr(0, t.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (const char *pszDevice : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
        if (base == ascii(pszDevice))
            return false;
    }
    // A port's number: a digit, or a superscript 1, 2 or 3.
    return !(base.size() == 4 && (base.substr(0, 3) == u"com" || base.substr(0, 3) == u"lpt") &&
             ((base[3] >= '0' && base[3] <= '9') || base[3] == 0xB9 || base[3] == 0xB2 ||
              base[3] == 0xB3));
}

bool plainNames(const Text &t) {
    for (const Text &part : split(t, '\\')) {
        if (!plainName(part))
            return false;
    }
    return true;
}

bool plainAbsolute(const Text &t, bool bFolder) {
    if (t.size() >= 260)
        return false;
    if (t.size() >= 3 && t[0] < 0x80 && isalpha(t[0]) && t[1] == ':' && t[2] == '\\')
        return t.size() == 3 ? bFolder : plainNames(t.substr(3));
    if (t.size() < 2 || t[0] != '\\' || t[1] != '\\')
        return false;
    std::vector<Text> parts = split(t.substr(2), '\\');
    return parts.size() >= 2 && (bFolder || parts.size() > 2) && plainNames(t.substr(2));
}

bool plainHex(const Text &t, unsigned long long *pv) {
    if (t.empty() || t.size() > 16 || (t[0] == '0' && t.size() > 1))
        return false;
    *pv = 0;
    for (char16_t ch : t) {
        const char *p = ch < 0x80 && ch != 0 ? strchr("0123456789abcdef", (char)ch) : NULL;
        if (p == NULL)
            return false;
        *pv = *pv * 16 + (unsigned long long)(p - "0123456789abcdef");
    }
    return true;
}

bool plainStamp(const Text &t, EntryStamp *ps) {
    *ps = EntryStamp{t.empty() ? (WCHAR)0 : (WCHAR)t[0], 0, 0};
    if (t == u"d" || t == u"l")
        return true;
    std::vector<Text> parts = split(t.substr(t.empty() ? 0 : 1), '.');
    return !t.empty() && t[0] == 'f' && parts.size() >= 2 && plainHex(parts[0], &ps->size) &&
           plainHex(t.substr(2 + parts[0].size()), &ps->time);
}

unsigned int plainChecksum(const Text &t) {
    unsigned int h = 2166136261u;
    for (char16_t ch : t) {
        h = (h ^ (ch & 0xFF)) * 16777619u;
        h = (h ^ (ch >> 8)) * 16777619u;
    }
    return h;
}

Text endLine(const Text &before) {
    char sz[16];
    snprintf(sz, sizeof(sz), "end\t%08x\n", plainChecksum(before));
    return ascii(sz);
}

struct PlainItem {
    Text source, name;
    char16_t how;
    EntryStamp stamp, origin;
    std::vector<std::pair<Text, EntryStamp>> subs;
};

// Two names the file system takes for one, as the program compares them.
bool sameName(const Text &a, const Text &b) {
    return compareNames((const WCHAR *)a.c_str(), (const WCHAR *)b.c_str()) == 0;
}

bool plainIdentity(const Text &t) {
    for (char16_t ch : t) {
        if (ch < 0x20)
            return false;
    }
    return !t.empty() && t.size() < VOLUME_ID_CCH;
}

bool plainItem(const std::vector<Text> &f, const Text &dest, PlainItem *pItem) {
    if (f[1].size() != 1 || Text(u"cmwu").find(f[1][0]) == Text::npos ||
        !plainStamp(f[2], &pItem->stamp) || !plainStamp(f[3], &pItem->origin) ||
        !plainAbsolute(f[4], false) || !plainName(f[5]) || dest.size() + 1 + f[5].size() >= 260)
        return false;
    pItem->how = f[1][0];
    pItem->source = f[4];
    pItem->name = f[5];
    return true;
}

// The journal by the rules; false when they refuse it.
bool plainRead(const Text &t, bool *pbMove, Text *pDest, Text *pVolume,
               std::vector<PlainItem> *pItems) {
    if (t.empty() || t[0] != 0xFEFF || t.back() != '\n')
        return false;
    std::vector<Text> lines = split(t.substr(1, t.size() - 2), '\n');
    if (lines.size() < 6 || lines[0] != ascii("porterly journal 2") ||
        (lines[1] != u"copy" && lines[1] != u"move"))
        return false;
    Text before = t.substr(0, t.size() - lines.back().size() - 1);
    if (lines.back() + u"\n" != endLine(before))
        return false;
    *pbMove = lines[1] == u"move";
    std::vector<Text> dest = split(lines[2], '\t'), volume = split(lines[3], '\t');
    if (dest.size() != 2 || dest[0] != u"dest" || !plainAbsolute(dest[1], true) ||
        volume.size() != 2 || volume[0] != u"volume" || !plainIdentity(volume[1]))
        return false;
    *pDest = dest[1];
    *pVolume = volume[1];
    for (size_t i = 4; i + 1 < lines.size(); i++) {
        std::vector<Text> f = split(lines[i], '\t');
        PlainItem item;
        EntryStamp stamp;
        if (f.size() == 6 && f[0] == u"item") {
            if (!plainItem(f, *pDest, &item))
                return false;
            pItems->push_back(item);
        } else if (f.size() == 3 && f[0] == u"sub") {
            if (pItems->empty() || pItems->back().stamp.chKind != 'd' ||
                (pItems->back().how != 'c' && pItems->back().how != 'm') ||
                !plainStamp(f[1], &stamp) || f[2].size() > 32000 || !plainNames(f[2]))
                return false;
            pItems->back().subs.push_back({f[2], stamp});
        } else {
            return false;
        }
    }
    // No name or origin twice.
    for (size_t i = 0; i < pItems->size(); i++) {
        for (size_t j = 0; j < i; j++) {
            if (sameName((*pItems)[i].name, (*pItems)[j].name) ||
                sameName((*pItems)[i].source, (*pItems)[j].source))
                return false;
        }
    }
    return !pItems->empty();
}

Text wide(const WCHAR *psz) {
    Text t;
    while (*psz)
        t += (char16_t)*psz++;
    return t;
}

bool sameStamp(const EntryStamp &a, const EntryStamp &b) {
    return a.chKind == b.chKind && a.size == b.size && a.time == b.time;
}

// The reader against the rules, and the writer against what was read.
void check(const Text &t) {
    std::string bytes;
    for (char16_t ch : t) {
        bytes += (char)(ch & 0xFF);
        bytes += (char)(ch >> 8);
    }
    unsigned char *p = (unsigned char *)malloc(bytes.size() + 1);
    memcpy(p, bytes.data(), bytes.size());
    Journal j;
    bool bRead = parseJournal(p, bytes.size(), &j);
    free(p);
    bool bMove = false;
    Text dest, volume;
    std::vector<PlainItem> items;
    bool bPlain = plainRead(t, &bMove, &dest, &volume, &items);
    if (bRead != bPlain)
        broken(bRead ? "the reader takes what the rules refuse" : "the reader refuses a journal");
    if (!bRead) {
        if (j.pItems != NULL || j.pText != NULL || j.nItems != 0)
            broken("a refused journal leaves nothing behind");
        return;
    }
    if (j.bMove != bMove || wide(j.pszDest) != dest || wide(j.pszVolume) != volume ||
        j.nItems != items.size())
        broken("the reader gives the journal's kind, destination, volume and items");
    WideText w = {};
    bool bWritten = beginJournal(&w, j.bMove, j.pszDest, j.pszVolume);
    for (size_t i = 0; i < j.nItems; i++) {
        const JournalItem &a = j.pItems[i];
        const PlainItem &b = items[i];
        if (wide(a.pszSource) != b.source || wide(a.pszName) != b.name || a.chHow != b.how ||
            !sameStamp(a.stamp, b.stamp) || !sameStamp(a.origin, b.origin) ||
            a.nSubs != b.subs.size())
            broken("each item is read as written");
        bWritten = bWritten && addJournalItem(&w, &a);
        for (size_t k = 0; k < a.nSubs; k++) {
            const JournalSub &sub = j.pSubs[a.firstSub + k];
            if (a.firstSub + k >= j.nSubs || wide(sub.pszPath) != b.subs[k].first ||
                !sameStamp(sub.stamp, b.subs[k].second))
                broken("a folder's content is read as written");
            bWritten = bWritten && addJournalSub(&w, &sub);
        }
    }
    bWritten = bWritten && endJournal(&w);
    if (!bWritten || Text((const char16_t *)w.p, w.length) != t)
        broken("the writer writes what the reader took, unit for unit");
    freeWide(&w);
    freeJournal(&j);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    Text t;
    for (size_t i = 1; i + 1 < size; i += 2)
        t += (char16_t)(data[i] | data[i + 1] << 8);
    if (data[0] & 1)
        t += endLine(t);
    else if (size % 2 == 0) {
        // An odd byte count: the reader must refuse it.
        std::string bytes((const char *)data + 1, size - 1);
        Journal j;
        if (parseJournal((const unsigned char *)bytes.data(), bytes.size(), &j))
            broken("a journal of an odd number of bytes is refused");
        return 0;
    }
    check(t);
    return 0;
}
