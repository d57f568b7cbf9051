// Growable byte string, command-line splitting and long-name expansion: the
// argument and path handling that the driver and the chooser build on.
#pragma once
#include <windows.h>
#include <stddef.h>
#include "texts.h"

// Heap-backed NUL-terminated byte string in the ANSI code page. The all-zero
// record is the empty string; growth is exact-fit, callers reserve ahead.
struct Str {
    unsigned int capacity; // bytes the block provides, the NUL included
    unsigned int length;   // text bytes before the NUL
    char *buffer;          // the block, or null
};

Str *assignStr(Str *pstr, const char *psz);
Str *appendStr(Str *pstr, const char *psz);
// Reserves room for n text bytes and the NUL.
Str *resize(Str *pstr, unsigned int n);
char *rfind(Str *pstr, char ch);
void freeStr(Str *pstr);

// Blanks in the text after its first byte; sizes the source list's reservation.
int count_sp(const char *psz);
// Splits the command-line tail into the source list (each path followed by
// "\n"). Returns the number of items, or -1 (bad quoting), -2 (a quoted path
// that does not exist), -3 (an unquoted item whose long name failed) or
// PARSE_NO_MEMORY (the list could not grow: no item is ever cut short) or
// PARSE_BAD_NAME (an item the shell would read as another: isExactPath). A
// relative item is taken in its full form; a path too long for the lookups
// and the file operation is taken as written, for the caller to refuse by
// name (fitsFileOperation).
int parse(Str *pstrList, Str *pstrText);
#define PARSE_NO_MEMORY (-4)
#define PARSE_BAD_NAME  (-6)

// Whether the shell's file operation acts on exactly the item that the cb
// bytes at pszPath name: an absolute path (a drive's root, or below it or a
// share), no wildcard, control character, '<', '>', '"' or '|', no colon but
// the drive's, no component that is empty or ends in a dot or a blank, and
// no last component that names a device (CON, NUL, COM1.txt...).
// bWritten: a path as written, which the splitter first takes in its full
// form, so it may be relative and hold "/", "." and "..".
bool isExactPath(const char *pszPath, size_t cb, bool bWritten);

// pstrPath := the folder, a backslash unless the folder ends in one (a drive
// root), and the name. False when an allocation cut it short: nothing may act
// on a part of a path.
bool joinPath(Str *pstrPath, const char *pszFolder, const char *pszName);

// Whether the path (ANSI) is short enough for the shell's file operation:
// under MAX_PATH UTF-16 units.
bool fitsFileOperation(const char *pszPath);

// A directory entry as a lookup reports it: attributes and name, the name in
// the process's code page and whole in any script (WIN32_FIND_DATAA holds
// MAX_PATH bytes, too few for a long name in UTF-8).
struct FoundEntry {
    DWORD dwAttr;
    char szName[PATH_BYTES];
};
// FindFirstFileW and FindNextFileW for an ANSI pattern. An entry whose name
// the code page cannot hold exactly is passed over: its ANSI form could name
// another entry. Close the handle with FindClose.
HANDLE findFirstEntry(const char *pszPattern, FoundEntry *pEntry);
bool findNextEntry(HANDLE hFind, FoundEntry *pEntry);

typedef DWORD(WINAPI *GetLongPathNameProc)(LPCSTR, LPSTR, DWORD);
// The platform's long-name service, or null where the platform lacks it.
extern GetLongPathNameProc ptrGetLongPathName;

// Test seam: the allocator behind every Str. Tests swap in one that fails.
extern void *(*pfnStrCalloc)(size_t, size_t);
extern void *(*pfnStrRealloc)(void *, size_t);
