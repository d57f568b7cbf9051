// libFuzzer entry for the command-line splitter and both roads of the
// long-name expansion, built for the Linux host over the in-memory drive of
// fakefs.cpp. Every input is split as the driver does it and the result is
// checked; a broken rule aborts, which libFuzzer reports as a crash.
//
// Input: byte 0 holds options (bit 0: the long-name service, else the walk;
// bits 1-2: the current folder; bit 3: an allocation of the list fails;
// bit 4: every later one fails too; bit 5: extra entries follow), byte 1 says
// which allocation fails (from 1). With bit 5, lines of extra entries (paths
// below C:\, a trailing backslash for a folder) come next, ended by a NUL.
// The rest, up to a NUL, is the command-line tail.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
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
};
const char *const kCwd[] = {"C:\\work", "C:\\", "C:\\\x95\x5C", "C:\\Program Files\\Some Dir"};

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
    fsReset();
    for (const char *psz : kTree)
        fsAdd(psz);
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
    fsSetCwd(kCwd[(opt >> 1) & 3]);
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

    require(rc >= -3 || (rc == -4 && failed > 0),
            "result is a count, -1, -2, -3 (-4 after a failed allocation)", rc, list);
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
