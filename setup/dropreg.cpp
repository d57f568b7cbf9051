// The drop-target registration of porterly-setup.exe. The shell's drop target
// for programs looks up the program's App Paths entry; its DropTarget value
// names the class, which COM starts as a local server. From a 32-bit setup the
// keys are written where the 64-bit shell reads them.
#include "dropreg.h"
#include "dropclass.h"
#include "texts.h"
#include <string.h>
#include <wchar.h>

#define APP_PATHS_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\porterly.exe"
#define CLSID_KEY     "Software\\Classes\\CLSID\\" PORTERLY_DROP_CLSID_TEXT
#define SERVER_KEY    CLSID_KEY "\\LocalServer32"
#define DROP_VALUE    "DropTarget"
#define VALUE_SIZE    (PATH_BYTES + 4)

static const REGSAM samView = KEY_WOW64_64KEY;

static BOOL setString(HKEY hRoot, const char *pszKey, const char *pszName, const char *pszData) {
    HKEY hKey;
    if (RegCreateKeyExA(hRoot, pszKey, 0, NULL, 0, KEY_SET_VALUE | samView, NULL, &hKey, NULL) !=
        ERROR_SUCCESS)
        return FALSE;
    LONG rc =
        RegSetValueExA(hKey, pszName, 0, REG_SZ, (const BYTE *)pszData, (DWORD)strlen(pszData) + 1);
    RegCloseKey(hKey);
    return rc == ERROR_SUCCESS;
}

// Whether two texts are one path as the file system compares names
// (compareNames): a linguistic comparison (lstrcmpiA) passes over a soft
// hyphen and so takes another copy's path for this one.
static BOOL samePath(const char *pszA, const char *pszB) {
    WCHAR wszA[VALUE_SIZE], wszB[VALUE_SIZE];
    return MultiByteToWideChar(CP_ACP, 0, pszA, -1, wszA, VALUE_SIZE) > 0 &&
           MultiByteToWideChar(CP_ACP, 0, pszB, -1, wszB, VALUE_SIZE) > 0 &&
           compareNames(wszA, wszB) == 0;
}

// Whether the string value (type and size checked) equals pszExpected.
static BOOL valueIs(HKEY hKey, const char *pszName, const char *pszExpected) {
    char szData[VALUE_SIZE];
    DWORD dwType = 0, cb = sizeof(szData) - 1;
    if (RegQueryValueExA(hKey, pszName, NULL, &dwType, (BYTE *)szData, &cb) != ERROR_SUCCESS ||
        dwType != REG_SZ)
        return FALSE;
    szData[cb] = '\0';
    return samePath(szData, pszExpected);
}

// Deletes the key when nothing is left in it.
static void deleteIfEmpty(HKEY hRoot, const char *pszKey) {
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, pszKey, 0, KEY_QUERY_VALUE | samView, &hKey) != ERROR_SUCCESS)
        return;
    DWORD cSubKeys = 1, cValues = 1;
    RegQueryInfoKeyA(hKey, NULL, NULL, NULL, &cSubKeys, NULL, NULL, &cValues, NULL, NULL, NULL,
                     NULL);
    RegCloseKey(hKey);
    if (cSubKeys == 0 && cValues == 0)
        RegDeleteKeyExA(hRoot, pszKey, samView, 0);
}

// Removes the named values when the key's pszCheck value is pszExpected.
// TRUE when nothing of ours is left there.
static BOOL removeValues(HKEY hRoot, const char *pszKey, const char *pszCheck,
                         const char *pszExpected, const char *const *ppszNames, int nNames) {
    HKEY hKey;
    LONG rc = RegOpenKeyExA(hRoot, pszKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | samView, &hKey);
    if (rc != ERROR_SUCCESS)
        return rc == ERROR_FILE_NOT_FOUND;
    BOOL bDone = TRUE;
    if (valueIs(hKey, pszCheck, pszExpected)) {
        for (int i = 0; i < nNames; i++) {
            rc = RegDeleteValueA(hKey, ppszNames[i]);
            bDone &= rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
        }
    }
    RegCloseKey(hKey);
    deleteIfEmpty(hRoot, pszKey);
    return bDone;
}

static void quote(char *pszOut, const char *pszProgram) {
    strcpy(pszOut, "\"");
    strcat(pszOut, pszProgram);
    strcat(pszOut, "\"");
}

AppPathState readAppPath(char *pszProgram, const char *pszThis) {
    HKEY hKey;
    pszProgram[0] = '\0';
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, APP_PATHS_KEY, 0, KEY_QUERY_VALUE | samView, &hKey);
    if (rc != ERROR_SUCCESS)
        return rc == ERROR_FILE_NOT_FOUND ? APP_PATH_NONE : APP_PATH_FOREIGN;
    DWORD dwType = 0, cb = PATH_BYTES - 1;
    rc = RegQueryValueExA(hKey, NULL, NULL, &dwType, (BYTE *)pszProgram, &cb);
    RegCloseKey(hKey);
    if (rc == ERROR_FILE_NOT_FOUND)
        return APP_PATH_NONE;
    if (rc != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ)) {
        pszProgram[0] = '\0';
        return APP_PATH_FOREIGN;
    }
    pszProgram[cb] = '\0';
    if (samePath(pszProgram, pszThis))
        return APP_PATH_THIS;
    // As for the shortcut: a file named porterly.exe is a copy of Porterly.
    WCHAR wszPath[VALUE_SIZE];
    if (MultiByteToWideChar(CP_ACP, 0, pszProgram, -1, wszPath, VALUE_SIZE) == 0)
        return APP_PATH_FOREIGN;
    size_t cch = wcslen(wszPath);
    if (cch > 0 && wszPath[cch - 1] == L'"')
        wszPath[--cch] = L'\0';
    const WCHAR *pSep = wcsrchr(wszPath, L'\\');
    return compareNames(pSep != NULL ? pSep + 1 : wszPath, L"porterly.exe") == 0 ? APP_PATH_COPY
                                                                                 : APP_PATH_FOREIGN;
}

BOOL registerDropTarget(HKEY hClassRoot, const char *pszProgram) {
    char szQuoted[VALUE_SIZE];
    if (strlen(pszProgram) >= PATH_BYTES)
        return FALSE;
    quote(szQuoted, pszProgram);
    return setString(hClassRoot, SERVER_KEY, NULL, szQuoted) &&
           setString(HKEY_CURRENT_USER, APP_PATHS_KEY, NULL, pszProgram) &&
           setString(HKEY_CURRENT_USER, APP_PATHS_KEY, DROP_VALUE, PORTERLY_DROP_CLSID_TEXT);
}

BOOL unregisterDropTarget(HKEY hClassRoot, const char *pszProgram) {
    char szQuoted[VALUE_SIZE];
    if (strlen(pszProgram) >= PATH_BYTES)
        return FALSE;
    quote(szQuoted, pszProgram);
    static const char *const ppszServer[] = {""};
    static const char *const ppszAppPaths[] = {DROP_VALUE, ""};
    BOOL bDone = removeValues(hClassRoot, SERVER_KEY, "", szQuoted, ppszServer, 1);
    deleteIfEmpty(hClassRoot, CLSID_KEY);
    bDone &= removeValues(HKEY_CURRENT_USER, APP_PATHS_KEY, "", pszProgram, ppszAppPaths, 2);
    return bDone;
}
