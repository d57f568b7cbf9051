// Texts in the process's code page, for the program and the setup alike: the
// string tables are stored as UTF-16 and every text is converted once.
#include "texts.h"
#include "version.h"
#include <stdlib.h>
#include <string.h>

// Texts a program may keep: each program's table holds at most 200.
#define TEXTS_KEPT 200

struct KeptText {
    UINT uId;
    char *psz;
};

static char *convertText(UINT uId) {
    const WCHAR *pText = NULL;
    int cch = LoadStringW(GetModuleHandleA(NULL), uId, (LPWSTR)&pText, 0);
    int cb = cch > 0 ? WideCharToMultiByte(CP_ACP, 0, pText, cch, NULL, 0, NULL, NULL) : 0;
    char *psz = cb > 0 ? (char *)malloc((size_t)cb + 1) : NULL;
    if (psz == NULL)
        return NULL;
    WideCharToMultiByte(CP_ACP, 0, pText, cch, psz, cb, NULL, NULL);
    psz[cb] = '\0';
    return psz;
}

const char *loadText(UINT uId) {
    static KeptText texts[TEXTS_KEPT];
    int i = 0;
    while (i < TEXTS_KEPT && texts[i].psz != NULL && texts[i].uId != uId)
        i++;
    if (i == TEXTS_KEPT)
        return "";
    if (texts[i].psz == NULL) {
        texts[i].psz = convertText(uId);
        if (texts[i].psz == NULL)
            return "";
        texts[i].uId = uId;
    }
    return texts[i].psz;
}

bool isAnsiText(const WCHAR *pszText, int cch) {
    if (cch == 0)
        return true;
    // UTF-8 holds every character; it refuses the best-fit and default-char
    // requests, and only an unpaired surrogate fails its strict conversion.
    if (GetACP() == CP_UTF8)
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pszText, cch, NULL, 0, NULL,
                                   NULL) > 0;
    BOOL bDefault = FALSE;
    int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pszText, cch, NULL, 0, NULL, &bDefault);
    return n > 0 && !bDefault;
}

bool toAnsi(const WCHAR *pszText, char *pszOut, int cbOut) {
    int cch = 0;
    while (pszText[cch] != 0)
        cch++;
    if (!isAnsiText(pszText, cch) ||
        WideCharToMultiByte(CP_ACP, 0, pszText, -1, pszOut, cbOut, NULL, NULL) == 0) {
        pszOut[0] = '\0';
        return false;
    }
    return true;
}

int compareNames(const WCHAR *pszA, const WCHAR *pszB) {
    return CompareStringOrdinal(pszA, -1, pszB, -1, TRUE) - CSTR_EQUAL;
}

int showText(HWND hOwner, const char *pszText, UINT uStyle) {
    return MessageBoxA(hOwner, pszText, PORTERLY_TITLE, uStyle);
}

int showWide(HWND hOwner, const WCHAR *pszText, UINT uStyle) {
    return MessageBoxW(hOwner, pszText, L"" PORTERLY_TITLE, uStyle);
}

void showNamed(HWND hOwner, UINT uId, const WCHAR *pszNames, UINT uStyle) {
    // The table's text in place: counted, not NUL-terminated.
    const WCHAR *pIntro = NULL;
    int cchIntro = LoadStringW(GetModuleHandleA(NULL), uId, (LPWSTR)&pIntro, 0);
    if (cchIntro < 0 || pIntro == NULL)
        cchIntro = 0;
    size_t cchNames = 0;
    while (pszNames[cchNames] != 0)
        cchNames++;
    WCHAR *pszText = (WCHAR *)malloc(((size_t)cchIntro + cchNames + 1) * sizeof(WCHAR));
    if (pszText != NULL) {
        memcpy(pszText, pIntro, (size_t)cchIntro * sizeof(WCHAR));
        memcpy(pszText + cchIntro, pszNames, (cchNames + 1) * sizeof(WCHAR));
    }
    showWide(hOwner, pszText != NULL ? pszText : pszNames, uStyle);
    free(pszText);
}
