// An in-memory drive C: behind the Win32 calls and multibyte searches that
// portystr.cpp makes, so that it builds unchanged for the fuzzer on Linux.
// It models what the splitter relies on, as Windows does it: whether a path
// names an entry and that entry's long name. Names are code page 932 bytes;
// matching is case-blind for ASCII letters only (a trail byte is never
// folded: 0x83 0x41 and 0x83 0x61 are different characters); 8.3 aliases
// match like names; paths are normalised as Windows does before a lookup
// (relative ones against the current folder, "/" as "\", "." and ".."
// folded, trailing blanks and dots cut from the last component); wildcards
// work in the last component only. In UTF-8, a short name of kanji can
// outgrow cAlternateFileName, and FindNextFileA then fails with
// ERROR_MORE_DATA, as on Windows. Not modelled: other drives, UNC paths,
// DOS wildcard subtleties of "?" and "<>", file sizes and times.
#include "fakefs.h"
#include <mbctype.h>
#include <mbstring.h>
#include <string.h>
#include <set>
#include <string>
#include <vector>

namespace {

struct Node {
    std::string name, alias;
    bool bDir;
    int parent;
    std::vector<int> kids;
};

std::vector<Node> nodes;
int cwd = 0;
int openHandles = 0;
unsigned codePage = 932;

// In UTF-8 no byte of a multibyte character is below 0x80, so the searches
// go byte by byte there, as the runtime's do.
bool isLead(unsigned char c) {
    return codePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

// Bytes of the character at p; 0 at the end of the text, where a lead byte
// without its trail byte also ends it.
size_t charLen(const unsigned char *p) {
    if (*p == 0)
        return 0;
    if (isLead(*p))
        return p[1] ? 2 : 0;
    return 1;
}

unsigned code(const unsigned char *p, size_t n) {
    return n == 2 ? (unsigned)p[0] << 8 | p[1] : p[0];
}

const unsigned char *u(const char *psz) {
    return (const unsigned char *)psz;
}

bool isSep(unsigned char c) {
    return c == '\\' || c == '/';
}

unsigned fold(unsigned c) {
    return c >= 'a' && c <= 'z' ? c - 32 : c;
}

bool sameName(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0, n; i < a.size(); i += n) {
        n = charLen(u(a.c_str() + i));
        if (n == 1 ? fold((unsigned char)a[i]) != fold((unsigned char)b[i])
                   : a.compare(i, n, b, i, n) != 0)
            return false;
    }
    return true;
}

// Wildcard match by characters: '*' any run, '?' exactly one character.
bool glob(const unsigned char *p, const unsigned char *s) {
    const unsigned char *pStar = nullptr, *sStar = nullptr;
    for (size_t n; (n = charLen(s)) != 0;) {
        size_t m = charLen(p);
        if (*p == '*') {
            pStar = ++p;
            sStar = s;
        } else if (m != 0 && (*p == '?' || (m == n && fold(code(p, m)) == fold(code(s, n))))) {
            p += m;
            s += n;
        } else if (pStar != nullptr) {
            p = pStar;
            s = sStar += charLen(sStar);
        } else {
            return false;
        }
    }
    while (*p == '*')
        p++;
    return *p == 0;
}

bool hasWildcard(const char *psz) {
    return _mbspbrk(u(psz), u("*?")) != nullptr;
}

std::vector<std::string> pathOf(int node) {
    std::vector<std::string> out;
    for (; node != 0; node = nodes[node].parent)
        out.insert(out.begin(), nodes[node].name);
    return out;
}

// The components a path starts from (the current folder's, unless it starts
// at the root) and its own segments, cut at every separator. False for an
// empty path, another drive, a UNC path and a broken double-byte character.
bool splitPath(const char *pszPath, std::vector<std::string> &out, std::vector<std::string> &segs) {
    const unsigned char *p = u(pszPath);
    if (*p == 0 || (isSep(p[0]) && isSep(p[1])))
        return false;
    out.clear();
    if (!isLead(p[0]) && p[1] == ':') {
        if (fold(p[0]) != 'C')
            return false;
        p += 2;
        if (!isSep(*p))
            out = pathOf(cwd);
    } else if (!isSep(p[0])) {
        out = pathOf(cwd);
    }
    segs.assign(1, "");
    for (size_t n; (n = charLen(p)) != 0; p += n) {
        if (n == 1 && isSep(*p))
            segs.emplace_back();
        else
            segs.back().append((const char *)p, n);
    }
    return *p == 0;
}

// The components of the full path below C:\, as Windows normalises the path.
// False for other drives, UNC paths, a broken double-byte character and a
// full path of MAX_PATH bytes or more. *pbSlash: the path ends in a separator.
bool normalise(const char *pszPath, std::vector<std::string> &out, bool *pbSlash) {
    std::vector<std::string> segs;
    if (!splitPath(pszPath, out, segs))
        return false;
    *pbSlash = segs.size() > 1 && segs.back().empty();
    size_t total = 3; // "C:" and the NUL
    for (size_t i = 0; i < segs.size(); i++) {
        std::string &s = segs[i];
        if (s == "." || s == "..") {
            if (s == ".." && !out.empty())
                out.pop_back();
            continue;
        }
        // Blanks and dots are never trail bytes, so cutting bytes is safe. A
        // last component of only blanks and dots leaves the separator last.
        if (i + 1 == segs.size()) {
            s.erase(s.find_last_not_of(". ") + 1);
            *pbSlash = *pbSlash || (s.empty() && segs.size() > 1);
        } else if (s.size() > 1 && s.back() == '.' && s[s.size() - 2] != '.') {
            s.pop_back();
        }
        if (!s.empty())
            out.push_back(s);
    }
    for (const std::string &s : out)
        total += s.size() + 1;
    return total + out.empty() <= MAX_PATH;
}

int child(int dir, const std::string &name) {
    for (int k : nodes[dir].kids) {
        if (sameName(nodes[k].name, name) || sameName(nodes[k].alias, name))
            return k;
    }
    return -1;
}

// The node at the first count components, or -1.
int walk(const std::vector<std::string> &comps, size_t count) {
    int node = 0;
    for (size_t i = 0; i < count && node >= 0; i++)
        node = nodes[node].bDir ? child(node, comps[i]) : -1;
    return node;
}

bool validName(const std::string &name) {
    if (name.empty() || name.size() > 64 || name == "." || name == ".." || name.back() == ' ' ||
        name.back() == '.')
        return false;
    const unsigned char *p = u(name.c_str());
    for (size_t n; (n = charLen(p)) != 0; p += n) {
        if (n == 1 && (*p < 0x20 || strchr("<>:\"/\\|?*", *p) != nullptr))
            return false;
    }
    return *p == 0;
}

// An alias the way the file system makes one: up to six letters, digits or
// double-byte characters of the base, "~N" free in the folder, up to three of
// the extension. Names that already fit 8.3 get none.
std::string makeAlias(int dir, const std::string &name) {
    size_t dot = name.rfind('.');
    std::string base = name.substr(0, dot),
                ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (!base.empty() && base.size() <= 8 && ext.size() <= 3 &&
        name.find(' ') == std::string::npos && base.find('.') == std::string::npos)
        return "";
    // A kanji or kana (three bytes in UTF-8) takes two bytes of the 8.3 name,
    // as in the OEM code page.
    auto keep = [](const std::string &s, size_t max) {
        std::string out;
        for (size_t i = 0, n, width = 0; (n = charLen(u(s.c_str() + i))) != 0; i += n) {
            unsigned char c = (unsigned char)s[i];
            if (codePage != 932 && c >= 0xE0 && c <= 0xEF && i + 2 < s.size())
                n = 3;
            if (width + (n == 3 ? 2 : n) <= max &&
                (n > 1 || (c >= '0' && c <= '9') || (fold(c) >= 'A' && fold(c) <= 'Z'))) {
                out.append(1, (char)fold(c)).append(s, i + 1, n - 1);
                width += n == 3 ? 2 : n;
            }
        }
        return out;
    };
    std::string stem = keep(base, 6), tail = keep(ext, 3);
    if (stem.empty())
        stem = "X";
    for (int i = 1;; i++) {
        std::string alias = stem + "~" + std::to_string(i) + (tail.empty() ? "" : "." + tail);
        if (child(dir, alias) < 0)
            return alias;
    }
}

// Fills the find data; false when the alias does not fit (it is cut then).
bool fill(WIN32_FIND_DATAA *pfd, const char *pszName, const char *pszAlias, bool bDir) {
    memset(pfd, 0, sizeof *pfd);
    pfd->dwFileAttributes = bDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    strcpy(pfd->cFileName, pszName);
    strncpy(pfd->cAlternateFileName, pszAlias, sizeof pfd->cAlternateFileName - 1);
    return strlen(pszAlias) < sizeof pfd->cAlternateFileName;
}

// A search: the folder's node, its mask, the next candidate (0 and 1 stand
// for "." and ".." outside the root, then the folder's entries), and whether
// the last match fit the find data.
struct Search {
    int dir;
    std::string mask;
    size_t next;
    bool bFits;
};
std::vector<Search *> searches;

} // namespace

void fsReset(unsigned cp) {
    codePage = cp;
    nodes.assign(1, Node{"", "", true, -1, {}});
    cwd = 0;
    openHandles = 0;
    for (Search *ps : searches)
        delete ps;
    searches.clear();
}

bool fsAdd(const char *pszPath) {
    std::vector<std::string> comps(1);
    const unsigned char *p = u(pszPath);
    for (size_t n; (n = charLen(p)) != 0; p += n) {
        if (n == 1 && *p == '\\')
            comps.emplace_back();
        else
            comps.back().append((const char *)p, n);
    }
    if (*p != 0)
        return false;
    bool bLastDir = comps.size() > 1 && comps.back().empty();
    if (bLastDir)
        comps.pop_back();
    int dir = 0;
    for (size_t i = 0; i < comps.size(); i++) {
        bool bLast = i + 1 == comps.size(), bDir = !bLast || bLastDir;
        if (!validName(comps[i]))
            return false;
        int k = child(dir, comps[i]);
        if (k < 0) {
            nodes.push_back(Node{comps[i], makeAlias(dir, comps[i]), bDir, dir, {}});
            k = (int)nodes.size() - 1;
            nodes[dir].kids.push_back(k);
        } else if (nodes[k].bDir != bDir) {
            return false;
        }
        dir = k;
    }
    return true;
}

bool fsSetCwd(const char *pszPath) {
    std::vector<std::string> comps;
    bool bSlash;
    int node = normalise(pszPath, comps, &bSlash) ? walk(comps, comps.size()) : -1;
    if (node < 0 || !nodes[node].bDir)
        return false;
    cwd = node;
    return true;
}

int fsOpenHandles() {
    return openHandles;
}

namespace {

// Fills *pfd with the search's next match; false when there is none.
bool nextMatch(Search *ps, WIN32_FIND_DATAA *pfd) {
    const unsigned char *pMask = u(ps->mask.c_str());
    bool bWild = hasWildcard(ps->mask.c_str());
    for (; ps->next < 2 + nodes[ps->dir].kids.size(); ps->next++) {
        if (ps->next < 2) {
            const char *psz = ps->next == 0 ? "." : "..";
            if (ps->dir != 0 && bWild && glob(pMask, u(psz))) {
                fill(pfd, psz, "", true);
                ps->next++;
                return true;
            }
            continue;
        }
        const Node &node = nodes[nodes[ps->dir].kids[ps->next - 2]];
        bool bMatch = bWild ? glob(pMask, u(node.name.c_str())) ||
                                  (!node.alias.empty() && glob(pMask, u(node.alias.c_str())))
                            : sameName(node.name, ps->mask) || sameName(node.alias, ps->mask);
        if (bMatch) {
            ps->bFits = fill(pfd, node.name.c_str(), node.alias.c_str(), node.bDir);
            ps->next++;
            return true;
        }
    }
    return false;
}

DWORD lastError;

// Files named *.sys are held open without sharing, as a page file is: an
// attribute query is refused, a search still sees them.
bool heldOpen(const std::string &name) {
    return name.size() > 4 && sameName(name.substr(name.size() - 4), ".sys");
}

} // namespace

unsigned GetACP(void) {
    return codePage;
}

HANDLE FindFirstFileA(LPCSTR pszPath, WIN32_FIND_DATAA *pfd) {
    std::vector<std::string> comps;
    bool bSlash;
    lastError = ERROR_FILE_NOT_FOUND;
    if (!normalise(pszPath, comps, &bSlash) || bSlash || comps.empty())
        return INVALID_HANDLE_VALUE;
    int dir = walk(comps, comps.size() - 1);
    if (dir < 0 || !nodes[dir].bDir)
        return INVALID_HANDLE_VALUE;
    Search *ps = new Search{dir, comps.back() == "*.*" ? "*" : comps.back(), 0, true};
    if (!nextMatch(ps, pfd)) {
        delete ps;
        return INVALID_HANDLE_VALUE;
    }
    searches.push_back(ps);
    openHandles++;
    return ps;
}

// The next match of a search; the wide call never fails for a long alias.
static BOOL findNext(HANDLE hFind, WIN32_FIND_DATAA *pfd, bool bWide) {
    for (Search *ps : searches) {
        if (ps != hFind)
            continue;
        lastError = ERROR_NO_MORE_FILES;
        if (!nextMatch(ps, pfd))
            return 0;
        lastError = ERROR_MORE_DATA;
        return bWide || ps->bFits;
    }
    return 0;
}

BOOL FindNextFileA(HANDLE hFind, WIN32_FIND_DATAA *pfd) {
    return findNext(hFind, pfd, false);
}

static void widen(const WIN32_FIND_DATAA *pfd, WIN32_FIND_DATAW *pwfd) {
    pwfd->dwFileAttributes = pfd->dwFileAttributes;
    size_t i = 0;
    for (; pfd->cFileName[i] != 0; i++)
        pwfd->cFileName[i] = (unsigned char)pfd->cFileName[i];
    pwfd->cFileName[i] = 0;
}

HANDLE FindFirstFileW(const WCHAR *pszPath, WIN32_FIND_DATAW *pfd) {
    std::string path;
    for (const WCHAR *p = pszPath; *p != 0; p++)
        path += (char)*p;
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(path.c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE)
        widen(&fd, pfd);
    return hFind;
}

BOOL FindNextFileW(HANDLE hFind, WIN32_FIND_DATAW *pfd) {
    WIN32_FIND_DATAA fd;
    if (!findNext(hFind, &fd, true))
        return 0;
    widen(&fd, pfd);
    return 1;
}

BOOL FindClose(HANDLE hFind) {
    for (size_t i = 0; i < searches.size(); i++) {
        if (searches[i] == hFind) {
            delete searches[i];
            searches.erase(searches.begin() + (long)i);
            openHandles--;
            return 1;
        }
    }
    return 0;
}

DWORD GetLastError() {
    return lastError;
}

DWORD GetFileAttributesA(LPCSTR pszPath) {
    std::vector<std::string> comps;
    bool bSlash;
    lastError = ERROR_FILE_NOT_FOUND;
    if (!normalise(pszPath, comps, &bSlash) || hasWildcard(pszPath))
        return INVALID_FILE_ATTRIBUTES;
    int node = walk(comps, comps.size());
    if (node < 0 || (bSlash && !nodes[node].bDir))
        return INVALID_FILE_ATTRIBUTES;
    if (heldOpen(nodes[node].name)) {
        lastError = ERROR_SHARING_VIOLATION;
        return INVALID_FILE_ATTRIBUTES;
    }
    return nodes[node].bDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

// The full form of a path as text, the way Windows builds it: "/" read as
// "\", relative paths against the current folder, "." dropped, ".." taking
// the component before it away, trailing blanks and dots cut from the last
// component. Nothing is looked up. Returns the length, or the size needed
// with the NUL when cch is too small, or 0 (another drive, a UNC path).
DWORD GetFullPathNameA(LPCSTR pszPath, DWORD cch, LPSTR pszOut, LPSTR *) {
    std::vector<std::string> out, segs;
    if (!splitPath(pszPath, out, segs))
        return 0;
    for (size_t i = 0; i < segs.size(); i++) {
        std::string s = segs[i];
        if (i + 1 == segs.size() && s != "." && s != "..")
            s.erase(s.find_last_not_of(". ") + 1);
        if (s == "..") {
            if (!out.empty())
                out.pop_back();
        } else if (!s.empty() && s != ".") {
            out.push_back(s);
        }
    }
    std::string full = "C:";
    for (const std::string &s : out)
        full += "\\" + s;
    if (out.empty() || segs.back().empty())
        full += "\\";
    if (full.size() + 1 > cch)
        return (DWORD)full.size() + 1;
    memcpy(pszOut, full.c_str(), full.size() + 1);
    return (DWORD)full.size();
}

// Whether a component could be an alias (8.3, no blank): only those are
// looked up by the long-name service; the others are long already.
bool shortShaped(const std::string &s) {
    size_t dot = s.find('.');
    if (s.empty() || s.find_first_of(" +,;=[]") != std::string::npos || s == "." || s == "..")
        return false;
    if (dot == std::string::npos)
        return s.size() <= 8;
    return dot >= 1 && dot <= 8 && s.size() - dot - 1 <= 3 &&
           s.find('.', dot + 1) == std::string::npos;
}

// The path must exist; each component that could be an alias is looked up
// from the left and replaced by the name found, the others stay as written,
// and so do "." and "..", the separators and a relative start. Returns the
// length, or the size needed with the NUL when cch is too small, or 0.
DWORD GetLongPathNameA(LPCSTR pszShort, LPSTR pszLong, DWORD cch) {
    WIN32_FIND_DATAA fd;
    if (pszShort == nullptr || GetFileAttributesA(pszShort) == INVALID_FILE_ATTRIBUTES)
        return 0;
    const unsigned char *p = u(pszShort);
    std::string out;
    if (!isLead(p[0]) && p[1] == ':') {
        out.assign(pszShort, 2);
        p += 2;
    }
    while (*p != 0) {
        if (isSep(*p)) {
            out += (char)*p++;
            continue;
        }
        const unsigned char *q = p;
        for (size_t n; (n = charLen(q)) != 0 && !(n == 1 && isSep(*q));)
            q += n;
        std::string comp((const char *)p, q - p);
        if (shortShaped(comp)) {
            HANDLE hFind = FindFirstFileA((out + comp).c_str(), &fd);
            if (hFind == INVALID_HANDLE_VALUE)
                return 0;
            FindClose(hFind);
            comp = fd.cFileName;
        }
        out += comp;
        p = q;
    }
    if (out.size() + 1 > cch)
        return (DWORD)out.size() + 1;
    memcpy(pszLong, out.c_str(), out.size() + 1);
    return (DWORD)out.size();
}

bool fsExactPath(const char *pszPath, bool bWritten) {
    const std::string written = pszPath;
    std::string p = written;
    // Bytes of the character at i, as written: no trail byte is below 0x40, so
    // a lead byte before a slash stands alone even once the slash is a
    // backslash.
    auto len = [&](size_t i) {
        return isLead((unsigned char)written[i]) && i + 1 < written.size() &&
                       (unsigned char)written[i + 1] >= 0x40
                   ? 2
                   : 1;
    };
    for (size_t i = 0; bWritten && i < p.size(); i += len(i))
        p[i] = p[i] == '/' ? '\\' : p[i];
    bool bUnc = p.compare(0, 2, "\\\\") == 0;
    bool bDrive = p.size() >= 2 && p[1] == ':' && fold((unsigned char)p[0]) >= 'A' &&
                  fold((unsigned char)p[0]) <= 'Z';
    bool bRooted = bDrive ? p.size() >= 3 && p[2] == '\\' : p.compare(0, 1, "\\") == 0;
    if (!bWritten && !bUnc && !(bDrive && bRooted))
        return false;
    if (bDrive && bRooted && p.size() == 3)
        return true;
    std::vector<std::string> comps(1);
    for (size_t i = bUnc ? 2 : (bDrive ? 2 : 0) + bRooted, n; i < p.size(); i += n) {
        n = len(i);
        if (n == 1 && p[i] == '\\')
            comps.emplace_back();
        else if (n == 1 && ((unsigned char)p[i] < 0x20 || strchr("*?\"<>|:/", p[i]) != nullptr))
            return false;
        else
            comps.back().append(p, i, n);
    }
    for (const std::string &c : comps) {
        if (c == "." || c == ".." ? !bWritten : c.empty() || c.back() == '.' || c.back() == ' ')
            return false;
    }
    // The last name, up to its first dot and without blanks there, names no device.
    std::string base = comps.back().substr(0, comps.back().find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    for (char &ch : base)
        ch = (char)fold((unsigned char)ch);
    static const std::set<std::string> devices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    // A port's number: a digit, or in UTF-8 a superscript 1, 2 or 3 (code
    // page 932 has none).
    std::string number = base.size() > 3 ? base.substr(3) : "";
    bool bNumber = (number.size() == 1 && number[0] >= '0' && number[0] <= '9') ||
                   (codePage == 65001 &&
                    (number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3"));
    if (bNumber && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0))
        return false;
    return devices.count(base) == 0;
}

int _ismbblead(unsigned int c) {
    return isLead((unsigned char)c);
}

// As msvcrt.dll does it: a lead byte steps two, even onto its NUL.
unsigned char *_mbsinc(const unsigned char *p) {
    return (unsigned char *)p + (isLead(*p) ? 2 : 1);
}

unsigned char *_mbschr(const unsigned char *psz, unsigned int ch) {
    size_t n;
    for (; (n = charLen(psz)) != 0; psz += n) {
        if (code(psz, n) == ch)
            return (unsigned char *)psz;
    }
    return ch == 0 && *psz == 0 ? (unsigned char *)psz : nullptr;
}

unsigned char *_mbsrchr(const unsigned char *psz, unsigned int ch) {
    const unsigned char *pLast = nullptr;
    size_t n;
    for (; (n = charLen(psz)) != 0; psz += n) {
        if (code(psz, n) == ch)
            pLast = psz;
    }
    return (unsigned char *)(ch == 0 && *psz == 0 ? psz : pLast);
}

unsigned char *_mbspbrk(const unsigned char *psz, const unsigned char *pszSet) {
    for (size_t n; (n = charLen(psz)) != 0; psz += n) {
        for (size_t m, i = 0; (m = charLen(pszSet + i)) != 0; i += m) {
            if (code(pszSet + i, m) == code(psz, n))
                return (unsigned char *)psz;
        }
    }
    return nullptr;
}

unsigned char *_mbsstr(const unsigned char *psz, const unsigned char *pszSub) {
    size_t len = strlen((const char *)pszSub);
    for (size_t n = 1; n != 0; psz += n) {
        if (strncmp((const char *)psz, (const char *)pszSub, len) == 0)
            return (unsigned char *)psz;
        n = charLen(psz);
    }
    return nullptr;
}

int _mbscmp(const unsigned char *psz1, const unsigned char *psz2) {
    for (;;) {
        size_t n1 = charLen(psz1), n2 = charLen(psz2);
        unsigned c1 = n1 ? code(psz1, n1) : 0, c2 = n2 ? code(psz2, n2) : 0;
        if (c1 != c2)
            return c1 < c2 ? -1 : 1;
        if (c1 == 0)
            return 0;
        psz1 += n1;
        psz2 += n2;
    }
}
