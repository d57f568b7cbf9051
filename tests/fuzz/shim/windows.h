// Host stand-in for <windows.h>: only the types and calls of portystr.*, so
// that the fuzzer builds the splitter unchanged on Linux. The calls are
// answered by the in-memory drive of ../fakefs.cpp with Windows semantics.
#pragma once
#include <stdint.h>
#include <strings.h>

typedef uint32_t DWORD;
typedef int BOOL;
typedef char CHAR;
typedef void *HANDLE;
typedef const char *LPCSTR;
typedef char *LPSTR;

#define WINAPI
#define MAX_PATH                 260
#define INVALID_HANDLE_VALUE     ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES  ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE   0x20

struct FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
};

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};

HANDLE FindFirstFileA(LPCSTR pszPath, WIN32_FIND_DATAA *pfd);
BOOL FindClose(HANDLE hFind);
DWORD GetFileAttributesA(LPCSTR pszPath);
DWORD GetLongPathNameA(LPCSTR pszShort, LPSTR pszLong, DWORD cch);

// The runtime's <string.h> has it on Windows; glibc calls it strncasecmp.
static inline int _strnicmp(const char *a, const char *b, size_t n) {
    return strncasecmp(a, b, n);
}
