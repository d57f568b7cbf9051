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
typedef uint16_t WCHAR;

#define WINAPI
#define FALSE                    0
#define TRUE                     1
#define MAX_PATH                 260
#define INVALID_HANDLE_VALUE     ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES  ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE   0x20
#define CP_ACP                   0
#define WC_NO_BEST_FIT_CHARS     0x400
#define ERROR_FILE_NOT_FOUND     2
#define ERROR_ACCESS_DENIED      5
#define ERROR_SHARING_VIOLATION  32

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
BOOL FindNextFileA(HANDLE hFind, WIN32_FIND_DATAA *pfd);
BOOL FindClose(HANDLE hFind);
DWORD GetLastError();
DWORD GetFullPathNameA(LPCSTR pszPath, DWORD cch, LPSTR pszOut, LPSTR *ppszFilePart);
DWORD GetFileAttributesA(LPCSTR pszPath);
DWORD GetLongPathNameA(LPCSTR pszShort, LPSTR pszLong, DWORD cch);

// Only the check for names the code page cannot hold uses it, never the
// splitter: plain ASCII is held, anything else is not.
static inline int WideCharToMultiByte(unsigned, DWORD, const WCHAR *psz, int cch, char *, int,
                                      const char *, BOOL *pbDefault) {
    for (int i = 0; i < cch; i++) {
        if (psz[i] > 0x7F)
            *pbDefault = 1;
    }
    return cch;
}

// The runtime's <string.h> has it on Windows; glibc calls it strncasecmp.
static inline int _strnicmp(const char *a, const char *b, size_t n) {
    return strncasecmp(a, b, n);
}
