// libFuzzer entry for the command-line splitter and both roads of the
// long-name expansion, built for the Linux host over the in-memory drive of
// fakefs.cpp. Every input is split as the driver does it and the result is
// checked; a broken rule aborts, which libFuzzer reports as a crash.
//
// Input: byte 0 holds options (bit 0: the long-name service, else the walk;
// bits 1-2: the current folder; bit 3: an allocation of the list fails;
// bit 4: every later one fails too; bit 5: extra entries follow; bit 6: the
// process runs in UTF-8, with names in several scripts), byte 1 says
// which allocation fails (from 1). With bit 5, lines of extra entries (paths
// below C:\, a trailing backslash for a folder) come next, ended by a NUL.
// The rest, up to a NUL, is the command-line tail.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include <mbctype.h>
#include <mbstring.h>
#include "fakefs.h"
#include "portystr.h"

namespace {

// Code page 932 names: 表 95 5C, ソ 83 5C and ポ 83 7C end in a backslash or a
// vertical bar byte; ア 83 41 would turn into ヂ 83 61 if a trail byte were
// case-folded.
const char *const kTree[] = {
    "a",
    "a b.txt",
    "x",
    "x y z",
    "My Documents\\a.txt",
    "My Documents\\Long File Name.txt",
    "Program Files\\Some Dir\\file name.txt",
    "\x95\x5C\\a b.txt",
    "\x95\x5C\\\x83\x5C",
    "\x83\x5C dir\\",
    "\x83\x7C",
    "\x83\x7C \x83\x7C.txt",
    "\x83\x41\x83\x43",
    "work\\b",
    "work\\q r.txt",
    "work\\sub\\c d",
    "v1.0\\read me",
    "pagefile.sys",
    "work\\held open.sys",
};
// UTF-8 names: é, 〜 (U+301C), Hangul with a blank, an emoji, Greek, 表,
// whose code page 932 trail byte is 0x5C, and 01議事録 2024.doc, whose short
// name 01議事~1.DOC outgrows cAlternateFileName and ends a listing of work.
const char *const kTreeUtf8[] = {
    "caf\xC3\xA9\xE3\x80\x9C.txt",
    "\xED\x95\x9C\xEA\xB8\x80 \xED\x8C\x8C\xEC\x9D\xBC.txt",
    "\xF0\x9F\x98\x80.txt",
    "\xCE\xA9mega dir\\a b.txt",
    "\xE8\xA1\xA8\\\xE8\xA1\xA8.txt",
    "d\xC3\xA9st\xF0\x9F\x98\x80\\",
    "work\\01\xE8\xAD\xB0\xE4\xBA\x8B\xE9\x8C\xB2 2024.doc",
    "work\\b",
};
const char *const kCwd[] = {"C:\\work", "C:\\", "C:\\\x95\x5C", "C:\\Program Files\\Some Dir"};
const char *const kCwdUtf8[] = {"C:\\work", "C:\\", "C:\\\xE8\xA1\xA8", "C:\\\xCE\xA9mega dir"};

unsigned allocCalls, failAt, failed;
bool bFailOn;

bool failNow() {
    allocCalls++;
    bool bFail = failAt != 0 && (allocCalls == failAt || (bFailOn && allocCalls > failAt));
    failed += bFail;
    return bFail;
}

void *failingCalloc(size_t n, size_t size) {
    return failNow() ? nullptr : calloc(n, size);
}

void *failingRealloc(void *p, size_t n) {
    return failNow() ? nullptr : realloc(p, n);
}

bool namesEntry(const std::string &item) {
    if (GetFileAttributesA(item.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(item.c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    return true;
}

bool lookUp(const std::string &path, std::string &name) {
    if (path.find('\n') != std::string::npos)
        return false; // no name holds one; the list could not either
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(path.c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    FindClose(hFind);
    name = fd.cFileName;
    return true;
}

size_t find(const std::string &s, size_t from, unsigned ch) {
    const unsigned char *p = _mbschr((const unsigned char *)s.c_str() + from, ch);
    return p ? p - (const unsigned char *)s.c_str() : std::string::npos;
}

// The path cut at every backslash (or also at every slash), by characters.
std::vector<std::string> parts(const std::string &path, bool bSlash) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < path.size(); i++) {
        bool bLead = _ismbblead((unsigned char)path[i]) && i + 1 < path.size();
        if (!bLead && (path[i] == '\\' || (bSlash && path[i] == '/')))
            out.emplace_back();
        else
            out.back() += bLead ? path.substr(i++, 2) : path.substr(i, 1);
    }
    return out;
}

// An item that is relative or holds a slash or a "." or ".." component is
// read as its full form, as the shell reads it; "" when there is none.
std::string asTheShellReads(const std::string &path) {
    bool bFull =
        path.compare(0, 2, "\\\\") != 0 && (path.size() < 3 || _ismbblead((unsigned char)path[0]) ||
                                            path[1] != ':' || path[2] != '\\');
    for (const std::string &part : parts(path, true))
        bFull = bFull || part == "." || part == "..";
    if (!bFull && parts(path, true).size() == parts(path, false).size())
        return path;
    char sz[4096];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof sz, sz, nullptr);
    return n == 0 || n >= sizeof sz ? "" : sz;
}

// The long form by the rules, plainly. The service: its answer. The walk:
// only "X:" paths without a slash; every directory after the first backslash
// is looked up by the path up to it ("." and ".." never are); the ones before
// the first found keep their text, a found one is written by the name found,
// and after one was found every later one must be; the last component must
// not be "." or "..", and is written as lastName.
bool refLong(std::string &list, const std::string &path, const std::string &lastName) {
    if (ptrGetLongPathName != nullptr) {
        char sz[4096];
        DWORD n = GetLongPathNameA(path.c_str(), sz, sizeof sz);
        if (n == 0 || n >= sizeof sz)
            return false;
        list += std::string(sz) + "\n";
        return true;
    }
    if (path.size() < 2 || path[1] != ':' || _ismbblead((unsigned char)path[0]) ||
        path.find('/') != std::string::npos)
        return false;
    std::vector<std::string> dirs = parts(path.substr(2), false);
    if (dirs.size() < 2 || dirs.back() == "." || dirs.back() == "..")
        return false;
    dirs.pop_back();
    std::string out = path.substr(0, 2) + dirs[0], prefix = out, name;
    bool bFound = false;
    for (size_t i = 1; i < dirs.size(); i++) {
        prefix += "\\" + dirs[i];
        bool bDot = dirs[i] == "." || dirs[i] == "..";
        if (!bDot && lookUp(prefix, name)) {
            out += "\\" + name;
            bFound = true;
        } else if (bFound) {
            return false;
        } else {
            out += "\\" + dirs[i];
        }
    }
    list += out + "\\" + lastName + "\n";
    return true;
}

// The splitting rules written plainly, as the oracle for the optimised
// parse: runs k..k, k..k+1, ... in order, a piece with an invalid byte never
// joins a run already found, a run ending in a blank is passed over, the first
// missing run after a hit ends the item.
int refParse(std::string text, std::string &list) {
    text.erase(text.find_last_not_of(' ') + 1);
    std::vector<size_t> bounds = {(size_t)-1};
    for (size_t i = 1; i < text.size(); i++) {
        if (text[i] == ' ')
            bounds.push_back(i);
    }
    bounds.push_back(text.size());
    auto run = [&](size_t k, size_t e) {
        return text.substr(bounds[k] + 1, bounds[e + 1] - bounds[k] - 1);
    };
    // Appends the item found at path as the shell reads it, checked as written
    // and as appended: 0, or the error of parse.
    auto take = [&](std::string path, const std::string &name, bool bQuoted) {
        std::string before = list;
        if (!fsExactPath(path.c_str(), true))
            return PARSE_BAD_NAME;
        path = asTheShellReads(path);
        if (path.empty())
            return bQuoted ? -2 : -3; // never: a path found has a full form
        if (!refLong(list, path, name)) {
            if (!bQuoted)
                return -3;
            list = before + path + "\n";
        }
        std::string item = list.substr(before.size(), list.size() - before.size() - 1);
        return fsExactPath(item.c_str(), false) ? 0 : PARSE_BAD_NAME;
    };
    int count = 0;
    std::string name;
    for (size_t k = 0, b = bounds.size() - 2; !text.empty() && k <= b;) {
        if (text[bounds[k] + 1] == '"') {
            size_t close = find(text, bounds[k] + 2, '"');
            if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ' '))
                return -1;
            std::string path = text.substr(bounds[k] + 2, close - bounds[k] - 2);
            if (!lookUp(path, name))
                return -2;
            if (int rc = take(path, name, true))
                return rc;
            count++;
            while (k <= b && bounds[k] != close + 1)
                k++;
            continue;
        }
        size_t found = std::string::npos;
        for (size_t e = k; e <= b; e++) {
            bool bFound = found != std::string::npos;
            if (bFound && _mbspbrk((const unsigned char *)run(e, e).c_str(),
                                   (const unsigned char *)":/\"|<>") != nullptr)
                break;
            std::string n;
            if (run(e, e).empty())
                continue; // ends in a blank: neither found nor missing
            if (lookUp(run(k, e), n))
                found = e, name = n;
            else if (bFound)
                break;
        }
        if (found == std::string::npos) {
            k++;
            continue;
        }
        if (int rc = take(run(k, found), name, false))
            return rc;
        count++;
        k = found + 1;
    }
    return count;
}

void require(bool bOk, const char *pszRule, int rc, const Str &list) {
    if (bOk)
        return;
    fprintf(stderr, "broken: %s (result %d, list \"%s\")\n", pszRule, rc,
            list.buffer ? list.buffer : "(null)");
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    if (size < 2)
        return 0;
    unsigned opt = data[0];
    fsReset(opt & 0x40 ? 65001 : 932);
    if (opt & 0x40) {
        for (const char *psz : kTreeUtf8)
            fsAdd(psz);
    } else {
        for (const char *psz : kTree)
            fsAdd(psz);
    }
    const char *p = (const char *)data + 2, *end = (const char *)data + size;
    if (opt & 0x20) {
        const char *z = (const char *)memchr(p, 0, end - p);
        std::string lines(p, z ? z : end);
        for (size_t a = 0, b; a < lines.size(); a = b + 1) {
            b = lines.find('\n', a);
            b = b == std::string::npos ? lines.size() : b;
            fsAdd(lines.substr(a, b - a).c_str());
        }
        p = z ? z + 1 : end;
    }
    fsSetCwd((opt & 0x40 ? kCwdUtf8 : kCwd)[(opt >> 1) & 3]);
    // The start-up code leaves no blank or tab at the front of the tail.
    std::string tail(p, strnlen(p, end - p));
    tail.erase(0, tail.find_first_not_of(" \t"));

    ptrGetLongPathName = (opt & 1) ? GetLongPathNameA : nullptr;
    Str text = {}, list = {};
    assignStr(&text, tail.c_str());
    resize(&list, 120 * count_sp(tail.c_str()));
    allocCalls = failed = 0;
    failAt = (opt & 8) ? data[1] : 0;
    bFailOn = opt & 0x10;
    pfnStrCalloc = failingCalloc;
    pfnStrRealloc = failingRealloc;
    int rc = parse(&list, &text);
    pfnStrCalloc = calloc;
    pfnStrRealloc = realloc;

    require(rc >= -3 || rc == PARSE_BAD_NAME || (rc == PARSE_NO_MEMORY && failed > 0),
            "result is a count, -1, -2, -3, -6 (-4 after a failed allocation)", rc, list);
    if (failed == 0) {
        std::string refList;
        int refRc = refParse(tail, refList);
        require(rc == refRc, "the same result as the rules written plainly", rc, list);
        require(rc < 0 || refList == (list.buffer ? list.buffer : ""),
                "the same list as the rules written plainly", rc, list);
    }
    require(fsOpenHandles() == 0, "every search handle closed", rc, list);
    if (list.buffer == nullptr) {
        require(list.capacity == 0 && list.length == 0, "no block, no size", rc, list);
    } else {
        require(list.length <= list.capacity && list.capacity <= malloc_usable_size(list.buffer),
                "length within capacity within the block", rc, list);
        require(strlen(list.buffer) == list.length, "NUL at the length", rc, list);
    }
    if (rc >= 0) {
        std::string s = list.buffer ? list.buffer : "";
        require(s.empty() || s.back() == '\n', "nothing after the last newline", rc, list);
        int items = 0;
        for (size_t a = 0, b; a < s.size(); a = b + 1, items++) {
            b = s.find('\n', a);
            require(b > a && namesEntry(s.substr(a, b - a)), "every item names an entry", rc, list);
        }
        require(items == rc, "as many items as the count", rc, list);
    }
    freeStr(&text);
    freeStr(&list);
    return 0;
}
