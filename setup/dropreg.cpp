// The drop-target registration of porterly-setup.exe. The shell's drop target
// for programs looks up the program's App Paths entry; its DropTarget value
// names the class, which COM starts as a local server. From a 32-bit setup the
// keys are written where the 64-bit shell reads them.
#include "dropreg.h"
#include "dropclass.h"
#include "texts.h"
#include <string.h>

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

// Whether the string value (type and size checked) equals pszExpected, case
// aside as Windows compares paths.
static BOOL valueIs(HKEY hKey, const char *pszName, const char *pszExpected) {
    char szData[VALUE_SIZE];
    DWORD dwType = 0, cb = sizeof(szData) - 1;
    if (RegQueryValueExA(hKey, pszName, NULL, &dwType, (BYTE *)szData, &cb) != ERROR_SUCCESS ||
        dwType != REG_SZ)
        return FALSE;
    szData[cb] = '\0';
    return lstrcmpiA(szData, pszExpected) == 0;
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
