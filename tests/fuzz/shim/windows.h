// Host stand-in for <windows.h>: only the types and calls of portystr.*, texts.*
// and dropfiles.*, so that the fuzzers build the splitter and the drop readers
// unchanged on Linux. The calls are
// answered by the in-memory drive of ../fakefs.cpp with Windows semantics.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <strings.h>

typedef uint32_t DWORD;
typedef int BOOL;
typedef char CHAR;
typedef void *HANDLE;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef uint16_t WCHAR;
typedef unsigned char BYTE;
typedef uint16_t USHORT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef size_t SIZE_T;
typedef void *HMODULE;
typedef WCHAR *LPWSTR;

#define WINAPI
#define FALSE                    0
#define TRUE                     1
#define MAX_PATH                 260
#define INVALID_HANDLE_VALUE     ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES  ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE   0x20
#define CP_ACP                   0
#define CP_UTF8                  65001
#define WC_NO_BEST_FIT_CHARS     0x400
#define ERROR_FILE_NOT_FOUND     2
#define ERROR_ACCESS_DENIED      5
#define ERROR_SHARING_VIOLATION  32
#define ERROR_NO_MORE_FILES      18
#define ERROR_MORE_DATA          234
#define WC_ERR_INVALID_CHARS     0x80

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

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    WCHAR cFileName[MAX_PATH];
};

HANDLE FindFirstFileA(LPCSTR pszPath, WIN32_FIND_DATAA *pfd);
BOOL FindNextFileA(HANDLE hFind, WIN32_FIND_DATAA *pfd);
// The same searches with the drive's bytes widened one to one.
HANDLE FindFirstFileW(const WCHAR *pszPath, WIN32_FIND_DATAW *pfd);
BOOL FindNextFileW(HANDLE hFind, WIN32_FIND_DATAW *pfd);
BOOL FindClose(HANDLE hFind);
DWORD GetLastError();
DWORD GetFullPathNameA(LPCSTR pszPath, DWORD cch, LPSTR pszOut, LPSTR *ppszFilePart);
DWORD GetFileAttributesA(LPCSTR pszPath);
DWORD GetLongPathNameA(LPCSTR pszShort, LPSTR pszLong, DWORD cch);
// The drive's code page: 932, or 65001 (UTF-8) while the input asks for it.
unsigned GetACP(void);

// Wide text here is the drive's bytes widened one to one: a unit above 0xFF
// is one the code page cannot hold. Lengths count the NUL when cch is -1.
static inline int WideCharToMultiByte(unsigned, DWORD, const WCHAR *psz, int cch, char *pOut,
                                      int cbOut, const char *, BOOL *pbDefault) {
    if (cch < 0)
        for (cch = 1; psz[cch - 1] != 0; cch++) {
        }
    for (int i = 0; i < cch; i++) {
        if (psz[i] > 0xFF) {
            if (pbDefault == nullptr)
                return 0;
            *pbDefault = 1;
        }
        if (pOut != nullptr && i < cbOut)
            pOut[i] = (char)psz[i];
    }
    return pOut != nullptr && cch > cbOut ? 0 : cch;
}

#define MB_ERR_INVALID_CHARS 0x8
struct CPINFO {
    UINT MaxCharSize;
};
// Both of the drive's code pages take more than one byte for a character.
static inline BOOL GetCPInfo(UINT, CPINFO *pInfo) {
    pInfo->MaxCharSize = GetACP() == CP_UTF8 ? 4 : 2;
    return TRUE;
}

static inline int MultiByteToWideChar(unsigned, DWORD, const char *psz, int cb, WCHAR *pOut,
                                      int cchOut) {
    if (cb < 0)
        for (cb = 1; psz[cb - 1] != 0; cb++) {
        }
    for (int i = 0; i < cb && pOut != nullptr && i < cchOut; i++)
        pOut[i] = (unsigned char)psz[i];
    return pOut != nullptr && cb > cchOut ? 0 : cb;
}

// The fuzzers show no message; the declarations let the shared texts module
// build. Names compare as the system's ordinal comparison with case ignored
// compares them, each unit by its upper case: here ASCII, Latin-1, Greek,
// Cyrillic and the full-width letters, so that the journal's reader is seen
// to fold beyond ASCII.
typedef void *HWND;
#define CSTR_LESS_THAN    1
#define CSTR_EQUAL        2
#define CSTR_GREATER_THAN 3
static inline int MessageBoxA(HWND, LPCSTR, LPCSTR, UINT) {
    return 0;
}
static inline int MessageBoxW(HWND, const WCHAR *, const wchar_t *, UINT) {
    return 0;
}
static inline WCHAR shimUpper(WCHAR ch) {
    if ((ch >= 'a' && ch <= 'z') || (ch >= 0xE0 && ch <= 0xFE && ch != 0xF7) ||
        (ch >= 0x3B1 && ch <= 0x3C9 && ch != 0x3C2) || (ch >= 0x430 && ch <= 0x44F) ||
        (ch >= 0xFF41 && ch <= 0xFF5A))
        return (WCHAR)(ch - 0x20);
    return ch >= 0x450 && ch <= 0x45F ? (WCHAR)(ch - 0x50) : ch;
}
static inline int CompareStringOrdinal(const WCHAR *a, int cchA, const WCHAR *b, int cchB,
                                       BOOL bIgnoreCase) {
    for (int i = 0;; i++) {
        bool bEndA = cchA < 0 ? a[i] == 0 : i >= cchA, bEndB = cchB < 0 ? b[i] == 0 : i >= cchB;
        if (bEndA || bEndB)
            return bEndA && bEndB ? CSTR_EQUAL : bEndA ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
        WCHAR x = bIgnoreCase ? shimUpper(a[i]) : a[i], y = bIgnoreCase ? shimUpper(b[i]) : b[i];
        if (x != y)
            return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
}

// The string table is the program's own: the fuzzers load no text.
static inline HMODULE GetModuleHandleA(LPCSTR) {
    return nullptr;
}
static inline int LoadStringW(HMODULE, UINT, LPWSTR, int) {
    return 0;
}

// The runtime's wide duplicate, for a literal (wchar_t is wider here).
static inline WCHAR *_wcsdup(const wchar_t *psz) {
    size_t n = 0;
    while (psz[n] != 0)
        n++;
    WCHAR *p = (WCHAR *)malloc((n + 1) * sizeof(WCHAR));
    for (size_t i = 0; p != NULL && i <= n; i++)
        p[i] = (WCHAR)psz[i];
    return p;
}

// The runtime's <string.h> has it on Windows; glibc calls it strncasecmp.
static inline int _strnicmp(const char *a, const char *b, size_t n) {
    return strncasecmp(a, b, n);
}
