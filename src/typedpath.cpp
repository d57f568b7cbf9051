// A path pasted into the chooser or typed into its path dialog. The text is
// cleaned as people copy paths (quotes, blanks, variables), then has to pass
// what every door of the program asks: the code page holds it, the shell
// reads it exactly as written (isExactPath), the file operation takes its
// length; and it must exist. Nothing is guessed: what fails is named.
#include "typedpath.h"
#include "portystr.h"
#include "resource.h"
#include "version.h"
#include <mbstring.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The most of a refused text a message shows: a page pasted by mistake is
// named by its start.
#define NAME_SHOWN 1024

static bool isBlank(WCHAR ch) {
    return ch == L' ' || ch == L'\t' || ch == L'\r' || ch == L'\n';
}

// The text without its surrounding blanks and one pair of surrounding quotes
// (and blanks inside them), and without a trailing backslash unless that is
// all of a root ("C:\"). Null without memory.
static WCHAR *trimmedCopy(const WCHAR *pszText) {
    const WCHAR *p = pszText;
    const WCHAR *pEnd = p + wcslen(p);
    for (bool bQuotes = true;; bQuotes = false) {
        while (p < pEnd && isBlank(*p))
            p++;
        while (pEnd > p && isBlank(pEnd[-1]))
            pEnd--;
        if (!bQuotes || pEnd - p < 2 || *p != L'"' || pEnd[-1] != L'"')
            break;
        p++;
        pEnd--;
    }
    size_t cch = (size_t)(pEnd - p);
    if (cch > 3 && p[cch - 1] == L'\\' && p[cch - 2] != L'\\')
        cch--;
    WCHAR *psz = (WCHAR *)malloc((cch + 1) * sizeof(WCHAR));
    if (psz != NULL) {
        memcpy(psz, p, cch * sizeof(WCHAR));
        psz[cch] = L'\0';
    }
    return psz;
}

// The text with its environment variables expanded (it is freed); null
// when that failed. A variable that is not set stays as written.
static WCHAR *expanded(WCHAR *pszText) {
    if (wcschr(pszText, L'%') == NULL)
        return pszText;
    DWORD cch = ExpandEnvironmentStringsW(pszText, NULL, 0);
    WCHAR *psz = cch > 0 ? (WCHAR *)malloc(cch * sizeof(WCHAR)) : NULL;
    DWORD cchDone = psz != NULL ? ExpandEnvironmentStringsW(pszText, psz, cch) : 0;
    if (cchDone == 0 || cchDone > cch) {
        free(psz);
        psz = NULL;
    }
    free(pszText);
    return psz;
}

// A file's folder: the path up to its last backslash, which a drive's root keeps.
static void cutToFolder(char *pszPath) {
    unsigned char *pSep = _mbsrchr((unsigned char *)pszPath, '\\');
    if (pSep == NULL)
        return;
    if (pSep > (unsigned char *)pszPath && pSep[-1] == ':')
        pSep[1] = '\0';
    else
        *pSep = '\0';
}

static bool isTakenAsWritten(const char *pszAnsi) {
    return isExactPath(pszAnsi, strlen(pszAnsi), false) && fitsFileOperation(pszAnsi);
}

static int checkAnsi(const char *pszAnsi, const WCHAR *pszWide, char *pszFolder) {
    if (!isExactPath(pszAnsi, strlen(pszAnsi), false))
        return TYPED_BAD_NAME;
    if (!fitsFileOperation(pszAnsi))
        return TYPED_TOO_LONG;
    // An empty removable drive answers at once instead of asking for a disk.
    UINT uMode = GetErrorMode();
    SetErrorMode(uMode | SEM_FAILCRITICALERRORS);
    DWORD dwAttr = GetFileAttributesW(pszWide);
    WCHAR szLong[MAX_PATH];
    DWORD cchLong = 0;
    if (dwAttr != INVALID_FILE_ATTRIBUTES)
        cchLong = GetLongPathNameW(pszWide, szLong, MAX_PATH);
    SetErrorMode(uMode);
    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return TYPED_MISSING;
    // Long names, as the tree shows them, where their form is one the doors take.
    if (cchLong == 0 || cchLong >= MAX_PATH || !toAnsi(szLong, pszFolder, PATH_BYTES) ||
        !isTakenAsWritten(pszFolder))
        strcpy(pszFolder, pszAnsi);
    if ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) == 0)
        cutToFolder(pszFolder);
    return TYPED_FOLDER;
}

static int checkPath(const WCHAR *pszPath, char *pszFolder) {
    int cch = (int)wcslen(pszPath);
    if (cch == 0)
        return TYPED_EMPTY;
    if (!isAnsiText(pszPath, cch))
        return TYPED_FOREIGN;
    int cb = WideCharToMultiByte(CP_ACP, 0, pszPath, -1, NULL, 0, NULL, NULL);
    char *pszAnsi = cb > 0 ? (char *)malloc((size_t)cb) : NULL;
    if (pszAnsi == NULL)
        return TYPED_NO_MEMORY;
    WideCharToMultiByte(CP_ACP, 0, pszPath, -1, pszAnsi, cb, NULL, NULL);
    int nResult = checkAnsi(pszAnsi, pszPath, pszFolder);
    free(pszAnsi);
    return nResult;
}

int resolveTypedPath(const WCHAR *pszText, char *pszFolder, WCHAR **ppszChecked) {
    pszFolder[0] = '\0';
    *ppszChecked = NULL;
    WCHAR *psz = trimmedCopy(pszText);
    if (psz != NULL)
        psz = expanded(psz);
    if (psz == NULL)
        return TYPED_NO_MEMORY;
    *ppszChecked = psz;
    int nResult = checkPath(psz, pszFolder);
    if (nResult != TYPED_FOLDER)
        pszFolder[0] = '\0';
    return nResult;
}

static UINT refusalText(int nResult) {
    switch (nResult) {
    case TYPED_EMPTY:
        return IDS_PATH_EMPTY;
    case TYPED_FOREIGN:
        return IDS_PATH_FOREIGN;
    case TYPED_BAD_NAME:
        return IDS_PATH_BAD_NAME;
    case TYPED_TOO_LONG:
        return IDS_PATH_TOO_LONG;
    case TYPED_MISSING:
        return IDS_PATH_MISSING;
    case TYPED_NOT_SHOWN:
        return IDS_PATH_NOT_SHOWN;
    default:
        return IDS_STRING_ERROR;
    }
}

void showTypedPathRefused(HWND hOwner, int nResult, const WCHAR *pszChecked) {
    // The table's text in place: counted, not NUL-terminated.
    const WCHAR *pIntro = NULL;
    int cchIntro = LoadStringW(GetModuleHandleA(NULL), refusalText(nResult), (LPWSTR)&pIntro, 0);
    if (cchIntro < 0 || pIntro == NULL)
        cchIntro = 0;
    bool bNamed = pszChecked != NULL && nResult != TYPED_EMPTY && nResult != TYPED_NO_MEMORY;
    size_t cchName = bNamed ? wcslen(pszChecked) : 0;
    bool bCut = cchName > NAME_SHOWN;
    if (bCut)
        cchName = NAME_SHOWN;
    WCHAR *pszText = (WCHAR *)malloc(((size_t)cchIntro + cchName + 4) * sizeof(WCHAR));
    if (pszText == NULL) {
        showText(hOwner, loadText(IDS_STRING_ERROR), MB_ICONERROR);
        return;
    }
    memcpy(pszText, pIntro, (size_t)cchIntro * sizeof(WCHAR));
    if (cchName > 0)
        memcpy(pszText + cchIntro, pszChecked, cchName * sizeof(WCHAR));
    wcscpy(pszText + cchIntro + cchName, bCut ? L"..." : L"");
    showWide(hOwner, pszText, MB_ICONWARNING | MB_OK);
    free(pszText);
}

WCHAR *clipboardText(HWND hOwner) {
    if (!OpenClipboard(hOwner))
        return NULL;
    WCHAR *pszText = NULL;
    HANDLE hData = GetClipboardData(CF_UNICODETEXT);
    const WCHAR *p = hData != NULL ? (const WCHAR *)GlobalLock(hData) : NULL;
    if (p != NULL) {
        // The block bounds the text: a program may have put it there unended.
        size_t cchMax = GlobalSize(hData) / sizeof(WCHAR);
        size_t cch = 0;
        while (cch < cchMax && p[cch] != L'\0')
            cch++;
        pszText = (WCHAR *)malloc((cch + 1) * sizeof(WCHAR));
        if (pszText != NULL) {
            memcpy(pszText, p, cch * sizeof(WCHAR));
            pszText[cch] = L'\0';
        }
        GlobalUnlock(hData);
    }
    CloseClipboard();
    return pszText;
}
