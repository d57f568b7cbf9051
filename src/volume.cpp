// Volume identity (see volume.h), from the final path of a handle opened
// through every link: the system names the volume there itself.
#include "volume.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define FINAL_CCH 32768 // the most a wide path holds

static bool identityOf(const WCHAR *pszPath, WCHAR *pszId);
bool (*pfnVolumeIdentity)(const WCHAR *, WCHAR *) = identityOf;

bool volumeIdentity(const WCHAR *pszPath, WCHAR *pszId) {
    pszId[0] = 0;
    return pfnVolumeIdentity(pszPath, pszId);
}

// The final path's root: "\\?\Volume{...}\" or "\\?\UNC\server\share\",
// its last backslash always there, so that the root itself and a path below
// it give one identity.
static bool takeRoot(const WCHAR *pszFinal, size_t nParts, WCHAR *pszId) {
    size_t i = 4, seen = 0; // past "\\?\"
    while (pszFinal[i] != 0 && seen < nParts)
        seen += pszFinal[i++] == L'\\';
    bool bBare = seen + 1 == nParts && pszFinal[i] == 0 && pszFinal[i - 1] != L'\\';
    if ((seen < nParts && !bBare) || i + bBare >= VOLUME_ID_CCH - 1)
        return false;
    memcpy(pszId, pszFinal, i * sizeof(WCHAR));
    if (bBare)
        pszId[i++] = L'\\';
    pszId[i] = 0;
    return true;
}

static bool identityOf(const WCHAR *pszPath, WCHAR *pszId) {
    HANDLE h = CreateFileW(pszPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    WCHAR *pszFinal = (WCHAR *)malloc(FINAL_CCH * sizeof(WCHAR));
    bool bKnown = false;
    DWORD cch =
        pszFinal != NULL ? GetFinalPathNameByHandleW(h, pszFinal, FINAL_CCH, VOLUME_NAME_GUID) : 0;
    if (cch > 0 && cch < FINAL_CCH) {
        bKnown = takeRoot(pszFinal, 1, pszId); // "\\?\Volume{...}\"
    } else if (pszFinal != NULL &&
               (cch = GetFinalPathNameByHandleW(h, pszFinal, FINAL_CCH, VOLUME_NAME_DOS)) > 0 &&
               cch < FINAL_CCH && wcsncmp(pszFinal, L"\\\\?\\UNC\\", 8) == 0) {
        bKnown = takeRoot(pszFinal, 3, pszId); // "\\?\UNC\server\share\"
    }
    FILE_ID_INFO info;
    if (!bKnown && GetFileInformationByHandleEx(h, FileIdInfo, &info, sizeof(info))) {
        unsigned long long serial = info.VolumeSerialNumber;
        _snwprintf(pszId, VOLUME_ID_CCH - 1, L"serial %016llx", serial);
        pszId[VOLUME_ID_CCH - 1] = 0;
        bKnown = true;
    }
    free(pszFinal);
    CloseHandle(h);
    return bKnown;
}
