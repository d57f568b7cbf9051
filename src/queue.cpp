// The queue of transfers that share a disk. Each transfer names the disks it
// reads or writes (the physical disk under each volume, else the volume; a
// network path's server) and takes a place in a record shared by every
// Porterly process of the user's session (Local\ objects: a mapping guarded
// by a mutex). A place runs once no earlier place that shares one of its
// disks is left; the order is the arrival number's, never the kernel's.
// Every place also holds a named mutex of its own for as long as it lives:
// those behind it wait on that mutex, which is released when the place is
// given up and abandoned when its process ends any other way, so a killed
// Porterly never blocks another, and whoever looks next drops its entry.
#include "queue.h"
#include "resource.h"
#include "texts.h"
#include "version.h"
#include "volume.h"
#include <sddl.h>
#include <winioctl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define QUEUE_MAX_DISKS 16
#define QUEUE_ALL_DISKS 0xFFFFFFFFu // more disks than a place holds: it shares every disk
#define QUEUE_SLOTS     64
#define QUEUE_MAGIC     0x31515450u
#define SLOT_FREE       0
#define SLOT_WAITING    1
#define SLOT_RUNNING    2
#define LOCK_WAIT_MS    5000 // the lock is only ever held for a look at the record
#define POLL_MS         1000 // a look now and then, for places that could not be waited on

// Keys of disks: the kind in the top bits, so that a volume or a server never
// equals a disk.
#define KEY_DISK   (1ULL << 60)
#define KEY_VOLUME (2ULL << 60)
#define KEY_SERVER (3ULL << 60)
#define KEY_VALUE  ((1ULL << 60) - 1)

// 8-byte fields first: the 32-bit and the 64-bit program share one layout.
struct DiskSet {
    ULONGLONG keys[QUEUE_MAX_DISKS];
    DWORD nKeys; // or QUEUE_ALL_DISKS
    DWORD dwUnused;
};
struct QueueSlot {
    ULONGLONG ullArrival;
    DiskSet disks;
    DWORD dwPid; // names the place's own mutex
    DWORD dwState;
};
struct QueueRecord {
    DWORD dwMagic;
    DWORD dwUnused;
    ULONGLONG ullNextArrival;
    QueueSlot slots[QUEUE_SLOTS];
};
static_assert(sizeof(DiskSet) == 136 && sizeof(QueueSlot) == 152 &&
                  offsetof(QueueRecord, slots) == 16 && sizeof(QueueRecord) == 16 + 64 * 152,
              "one layout for both pointer sizes");

// ---------------------------------------------------------------- disks

// A name as a key, folded to upper case (FNV-1a).
static ULONGLONG nameKey(ULONGLONG ullKind, const WCHAR *psz, size_t cch) {
    ULONGLONG h = 14695981039346656037ULL;
    for (size_t i = 0; i < cch; i++) {
        WCHAR ch = (WCHAR)(ULONG_PTR)CharUpperW((LPWSTR)(ULONG_PTR)psz[i]);
        h = (h ^ ch) * 1099511628211ULL;
    }
    return ullKind | (h & KEY_VALUE);
}

// The server of "\\server\...", not of "\\?\" or "\\.\".
static bool serverKey(const WCHAR *pszUnc, ULONGLONG *pKey) {
    if (pszUnc[0] != L'\\' || pszUnc[1] != L'\\')
        return false;
    const WCHAR *pszServer = pszUnc + 2;
    size_t cch = wcscspn(pszServer, L"\\");
    if (cch == 0 || (cch == 1 && (pszServer[0] == L'?' || pszServer[0] == L'.')))
        return false;
    *pKey = nameKey(KEY_SERVER, pszServer, cch);
    return true;
}

typedef DWORD(APIENTRY *GetConnectionProc)(LPCWSTR, LPWSTR, LPDWORD);

// The server behind a mapped drive. Its library is loaded only for such a
// drive, and only from the system's folder.
static bool mappedServerKey(const WCHAR *pszVolume, ULONGLONG *pKey) {
    WCHAR szDll[MAX_PATH];
    UINT cch = GetSystemDirectoryW(szDll, MAX_PATH - 16);
    if (cch == 0 || cch >= MAX_PATH - 16)
        return false;
    wcscpy(szDll + cch, L"\\mpr.dll");
    HMODULE hMpr = LoadLibraryW(szDll);
    if (hMpr == NULL)
        return false;
    GetConnectionProc pfn = (GetConnectionProc)(void *)GetProcAddress(hMpr, "WNetGetConnectionW");
    WCHAR szLocal[3] = {pszVolume[0], L':', L'\0'};
    WCHAR szRemote[MAX_PATH];
    DWORD cchRemote = MAX_PATH;
    bool bFound =
        pfn != NULL && pfn(szLocal, szRemote, &cchRemote) == NO_ERROR && serverKey(szRemote, pKey);
    FreeLibrary(hMpr);
    return bFound;
}

static bool isDriveRoot(const WCHAR *pszVolume) {
    return pszVolume[0] != L'\0' && pszVolume[1] == L':' && pszVolume[2] == L'\\' &&
           pszVolume[3] == L'\0';
}

// The volume's device, opened with no access rights: no elevation needed.
static HANDLE openVolume(const WCHAR *pszVolume) {
    WCHAR szName[MAX_PATH] = L"\\\\.\\X:";
    if (isDriveRoot(pszVolume)) {
        szName[4] = pszVolume[0];
    } else if (GetVolumeNameForVolumeMountPointW(pszVolume, szName, MAX_PATH)) {
        size_t cch = wcslen(szName);
        if (cch > 0 && szName[cch - 1] == L'\\')
            szName[cch - 1] = L'\0';
    } else {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(szName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
}

static ULONGLONG diskKey(DWORD dwType, DWORD dwNumber) {
    return KEY_DISK | ((ULONGLONG)(dwType & 0xFFFF) << 32) | dwNumber;
}

// The physical disks under an open volume: its device number, or for a
// volume over several disks (spanned, striped) the disk of each extent.
static int diskKeys(HANDLE hVolume, ULONGLONG *pKeys, int nMax) {
    STORAGE_DEVICE_NUMBER number = {};
    DWORD cb = 0;
    if (DeviceIoControl(hVolume, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &number, sizeof(number),
                        &cb, NULL)) {
        pKeys[0] = diskKey(number.DeviceType, number.DeviceNumber);
        return 1;
    }
    ULONGLONG buf[(sizeof(VOLUME_DISK_EXTENTS) + 7 * sizeof(DISK_EXTENT)) / 8 + 1];
    if (!DeviceIoControl(hVolume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, buf, sizeof(buf),
                         &cb, NULL))
        return 0;
    const VOLUME_DISK_EXTENTS *pv = (const VOLUME_DISK_EXTENTS *)buf;
    const DISK_EXTENT *pe =
        (const DISK_EXTENT *)((const BYTE *)buf + offsetof(VOLUME_DISK_EXTENTS, Extents));
    int n = 0;
    for (DWORD i = 0; i < pv->NumberOfDiskExtents && i < 8 && n < nMax; i++)
        pKeys[n++] = diskKey(FILE_DEVICE_DISK, pe[i].DiskNumber);
    return n;
}

// Where no disk can be had: the volume itself.
static int volumeKey(const WCHAR *pszVolume, ULONGLONG *pKey) {
    WCHAR szName[MAX_PATH];
    DWORD dwSerial = 0;
    if (GetVolumeNameForVolumeMountPointW(pszVolume, szName, MAX_PATH))
        *pKey = nameKey(KEY_VOLUME, szName, wcslen(szName));
    else if (GetVolumeInformationW(pszVolume, NULL, 0, &dwSerial, NULL, NULL, NULL, 0))
        *pKey = KEY_VOLUME | (1ULL << 59) | dwSerial;
    else
        *pKey = nameKey(KEY_VOLUME, pszVolume, wcslen(pszVolume));
    return 1;
}

static int disksOfVolume(const WCHAR *pszVolume, ULONGLONG *pKeys, int nMax) {
    if (serverKey(pszVolume, pKeys))
        return 1;
    if (GetDriveTypeW(pszVolume) == DRIVE_REMOTE)
        return isDriveRoot(pszVolume) && mappedServerKey(pszVolume, pKeys)
                   ? 1
                   : volumeKey(pszVolume, pKeys);
    HANDLE hVolume = openVolume(pszVolume);
    int n = 0;
    if (hVolume != INVALID_HANDLE_VALUE) {
        n = diskKeys(hVolume, pKeys, nMax);
        CloseHandle(hVolume);
    }
    return n > 0 ? n : volumeKey(pszVolume, pKeys);
}

DisksOfVolumeProc pfnDisksOfVolume = disksOfVolume;

static void addKey(DiskSet *ps, ULONGLONG ullKey) {
    if (ps->nKeys == QUEUE_ALL_DISKS)
        return;
    for (DWORD i = 0; i < ps->nKeys; i++) {
        if (ps->keys[i] == ullKey)
            return;
    }
    if (ps->nKeys == QUEUE_MAX_DISKS)
        ps->nKeys = QUEUE_ALL_DISKS;
    else
        ps->keys[ps->nKeys++] = ullKey;
}

// The disks of a list of paths. Items of one folder share its volume, and
// each volume is asked once.
#define MEMO_VOLUMES 8
struct DiskLookup {
    DiskSet set;
    WCHAR szParent[MAX_PATH];
    WCHAR szVolumes[MEMO_VOLUMES][MAX_PATH];
    int nVolumes;
};

// The volume that holds the path: as the system names it, a UNC path's
// share, or else the drive's root.
static bool volumeOf(const WCHAR *pszPath, WCHAR *pszVolume) {
    if (pszPath[0] == L'\\' && pszPath[1] == L'\\') {
        size_t cchServer = wcscspn(pszPath + 2, L"\\");
        if (pszPath[2 + cchServer] == L'\0')
            return false;
        size_t cch = 3 + cchServer + wcscspn(pszPath + 3 + cchServer, L"\\");
        if (cch + 2 > MAX_PATH)
            return false;
        memcpy(pszVolume, pszPath, cch * sizeof(WCHAR));
        pszVolume[cch] = L'\\';
        pszVolume[cch + 1] = L'\0';
        return true;
    }
    if (GetVolumePathNameW(pszPath, pszVolume, MAX_PATH))
        return true;
    if (pszPath[0] == L'\0' || pszPath[1] != L':')
        return false;
    const WCHAR szRoot[4] = {pszPath[0], L':', L'\\', L'\0'};
    memcpy(pszVolume, szRoot, sizeof(szRoot));
    return true;
}

static void addPath(DiskLookup *pl, const WCHAR *pszPath) {
    const WCHAR *pszSep = wcsrchr(pszPath, L'\\');
    size_t cchParent = pszSep != NULL ? (size_t)(pszSep - pszPath) : 0;
    if (cchParent > 0 && cchParent < MAX_PATH) {
        if (wcsncmp(pl->szParent, pszPath, cchParent) == 0 && pl->szParent[cchParent] == L'\0')
            return;
        memcpy(pl->szParent, pszPath, cchParent * sizeof(WCHAR));
        pl->szParent[cchParent] = L'\0';
    }
    WCHAR szVolume[MAX_PATH];
    if (!volumeOf(pszPath, szVolume))
        return;
    for (int i = 0; i < pl->nVolumes; i++) {
        if (_wcsicmp(pl->szVolumes[i], szVolume) == 0)
            return;
    }
    if (pl->nVolumes < MEMO_VOLUMES)
        wcscpy(pl->szVolumes[pl->nVolumes++], szVolume);
    ULONGLONG keys[QUEUE_VOLUME_DISKS];
    int n = pfnDisksOfVolume(szVolume, keys, QUEUE_VOLUME_DISKS);
    for (int i = 0; i < n && i < QUEUE_VOLUME_DISKS; i++)
        addKey(&pl->set, keys[i]);
}

static void addAnsiPath(DiskLookup *pl, const char *pszPath, int cb) {
    WCHAR szWide[MAX_PATH];
    int cch = MultiByteToWideChar(CP_ACP, 0, pszPath, cb, szWide, MAX_PATH - 1);
    if (cch <= 0)
        return; // longer than the file operation takes: refused before
    szWide[cch] = L'\0';
    addPath(pl, szWide);
}

// ---------------------------------------------------------------- the shared record

static void appendNumber(WCHAR *psz, ULONGLONG n) {
    WCHAR szDigits[24];
    int i = 0;
    do {
        szDigits[i++] = (WCHAR)(L'0' + n % 10);
        n /= 10;
    } while (n > 0);
    psz += wcslen(psz);
    while (i > 0)
        *psz++ = szDigits[--i];
    *psz = L'\0';
}

// The name of an object of the queue: the prefix, then the rest.
static void objectName(WCHAR *pszName, const QueuePlace *pp, const WCHAR *pszRest) {
    wcscpy(pszName, pp->szPrefix);
    wcscat(pszName, pszRest);
}

static void placeName(WCHAR *pszName, const QueuePlace *pp, DWORD dwPid, ULONGLONG ullArrival) {
    objectName(pszName, pp, L"place.");
    appendNumber(pszName, dwPid);
    wcscat(pszName, L".");
    appendNumber(pszName, ullArrival);
}

// The names carry the user's SID, and the objects grant that user alone (and
// the system) full access, with a medium label: an elevated Porterly and a
// normal one of the same user open each other's objects.
static bool prepareNames(QueuePlace *pp) {
    HANDLE hToken = NULL;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD cb = 0;
    LPWSTR pszSid = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return false;
    bool bOk = GetTokenInformation(hToken, TokenUser, &info, sizeof(info), &cb) &&
               ConvertSidToStringSidW(info.user.User.Sid, &pszSid) &&
               wcslen(pszSid) < ARRAYSIZE(pp->szPrefix) - 40;
    CloseHandle(hToken);
    if (bOk) {
        wcscpy(pp->szPrefix, L"Local\\Porterly.queue1.");
        wcscat(pp->szPrefix, pszSid);
        wcscat(pp->szPrefix, L".");
        WCHAR szSddl[256];
        _snwprintf(szSddl, ARRAYSIZE(szSddl), L"D:P(A;;GA;;;%ls)(A;;GA;;;SY)S:(ML;;NW;;;ME)",
                   pszSid);
        szSddl[ARRAYSIZE(szSddl) - 1] = L'\0';
        // Without the label where the system cannot take one.
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(szSddl, SDDL_REVISION_1,
                                                                  &pp->pSecurity, NULL)) {
            *wcsstr(szSddl, L"S:") = L'\0';
            if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(szSddl, SDDL_REVISION_1,
                                                                      &pp->pSecurity, NULL))
                pp->pSecurity = NULL;
        }
    }
    LocalFree(pszSid);
    return bOk;
}

static void closeQueue(QueuePlace *pp) {
    if (pp->pRecord != NULL)
        UnmapViewOfFile(pp->pRecord);
    if (pp->hMap != NULL)
        CloseHandle(pp->hMap);
    if (pp->hLock != NULL)
        CloseHandle(pp->hLock);
    if (pp->pSecurity != NULL)
        LocalFree(pp->pSecurity);
    *pp = QueuePlace();
}

static bool openQueue(QueuePlace *pp) {
    if (!prepareNames(pp))
        return false;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), pp->pSecurity, FALSE};
    WCHAR szName[ARRAYSIZE(pp->szPrefix) + 32];
    objectName(szName, pp, L"lock");
    pp->hLock = CreateMutexW(&sa, FALSE, szName);
    objectName(szName, pp, L"record");
    pp->hMap = pp->hLock != NULL ? CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                                      sizeof(QueueRecord), szName)
                                 : NULL;
    if (pp->hMap != NULL)
        pp->pRecord = (QueueRecord *)MapViewOfFile(pp->hMap, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                   sizeof(QueueRecord));
    if (pp->pRecord == NULL) {
        closeQueue(pp);
        return false;
    }
    return true;
}

// A new record is all zero: it gets its mark here, under the lock.
static bool lockQueue(QueuePlace *pp) {
    DWORD dw = WaitForSingleObject(pp->hLock, LOCK_WAIT_MS);
    if (dw != WAIT_OBJECT_0 && dw != WAIT_ABANDONED)
        return false;
    if (pp->pRecord->dwMagic != QUEUE_MAGIC) {
        memset(pp->pRecord, 0, sizeof(QueueRecord));
        pp->pRecord->dwMagic = QUEUE_MAGIC;
        pp->pRecord->ullNextArrival = 1;
    }
    return true;
}

static void unlockQueue(QueuePlace *pp) {
    ReleaseMutex(pp->hLock);
}

// Whether a place's process still holds it: its mutex exists and is owned.
// Released or abandoned, the place is over (and the wait just taken is given back).
static bool placeHeld(const QueuePlace *pp, const QueueSlot *ps) {
    WCHAR szName[ARRAYSIZE(pp->szPrefix) + 64];
    placeName(szName, pp, ps->dwPid, ps->ullArrival);
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, szName);
    if (h == NULL)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but not ours to look at
    DWORD dw = WaitForSingleObject(h, 0);
    if (dw == WAIT_OBJECT_0 || dw == WAIT_ABANDONED)
        ReleaseMutex(h);
    CloseHandle(h);
    return dw == WAIT_TIMEOUT;
}

// Drops what a process that ended (or a torn write, when the lock was
// abandoned) left behind; the own place (nSelf) is alive by definition.
static void sweepQueue(const QueuePlace *pp, unsigned int nSelf) {
    QueueRecord *pr = pp->pRecord;
    ULONGLONG ullNext = 1;
    for (unsigned int i = 0; i < QUEUE_SLOTS; i++) {
        QueueSlot *ps = &pr->slots[i];
        if (ps->dwState == SLOT_FREE)
            continue;
        bool bSane = (ps->dwState == SLOT_WAITING || ps->dwState == SLOT_RUNNING) &&
                     ps->ullArrival != 0 &&
                     (ps->disks.nKeys <= QUEUE_MAX_DISKS || ps->disks.nKeys == QUEUE_ALL_DISKS);
        if (!bSane || (i != nSelf && !placeHeld(pp, ps))) {
            memset(ps, 0, sizeof(*ps));
            continue;
        }
        if (ps->ullArrival >= ullNext)
            ullNext = ps->ullArrival + 1;
    }
    if (pr->ullNextArrival < ullNext)
        pr->ullNextArrival = ullNext;
}

static bool shareDisk(const DiskSet *pa, const DiskSet *pb) {
    if (pa->nKeys == QUEUE_ALL_DISKS || pb->nKeys == QUEUE_ALL_DISKS)
        return true;
    for (DWORD i = 0; i < pa->nKeys; i++) {
        for (DWORD k = 0; k < pb->nKeys; k++) {
            if (pa->keys[i] == pb->keys[k])
                return true;
        }
    }
    return false;
}

// Those ahead of place nSelf: earlier, waiting or running, on one of its
// disks. The first nMax are copied to pAhead.
static unsigned int countAhead(const QueueRecord *pr, unsigned int nSelf, QueueSlot *pAhead,
                               unsigned int nMax) {
    const QueueSlot *pSelf = &pr->slots[nSelf];
    unsigned int n = 0;
    for (unsigned int i = 0; i < QUEUE_SLOTS; i++) {
        const QueueSlot *ps = &pr->slots[i];
        if (i == nSelf || ps->dwState == SLOT_FREE || ps->ullArrival >= pSelf->ullArrival ||
            !shareDisk(&ps->disks, &pSelf->disks))
            continue;
        if (n < nMax)
            pAhead[n] = *ps;
        n++;
    }
    return n;
}

// ---------------------------------------------------------------- the waiting window

struct WaitWindow {
    HWND hWnd;
    bool bNoWindow;
    int nChoice;         // 0 while waiting, IDOK to start now, IDCANCEL
    unsigned int nShown; // the count the text gives
    const char *pszFormat, *pszDest;
};

static INT_PTR On_InitQueue(HWND hDlg, LPARAM lParam) {
    SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
    SetDlgItemTextA(hDlg, IDC_QUEUEWHY, loadText(IDS_QUEUE_WHY));
    SetDlgItemTextA(hDlg, IDOK, loadText(IDS_QUEUE_START_NOW));
    SetDlgItemTextA(hDlg, IDCANCEL, loadText(IDS_QUEUE_CANCEL));
    return TRUE;
}

static INT_PTR On_QueueCommand(HWND hDlg, WPARAM wParam) {
    int id = LOWORD(wParam);
    if (id != IDOK && id != IDCANCEL)
        return FALSE;
    ((WaitWindow *)GetWindowLongPtrA(hDlg, DWLP_USER))->nChoice = id;
    return TRUE;
}

static INT_PTR CALLBACK QueueProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return On_InitQueue(hDlg, lParam);
    case WM_COMMAND:
        return On_QueueCommand(hDlg, wParam);
    default:
        return FALSE;
    }
}

static void showWaiting(WaitWindow *pw, unsigned int nAhead) {
    if (pw->hWnd == NULL && !pw->bNoWindow) {
        pw->hWnd = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_QUEUE), NULL,
                                      QueueProc, (LPARAM)pw);
        pw->bNoWindow = pw->hWnd == NULL;
    }
    if (pw->hWnd == NULL || nAhead == pw->nShown)
        return;
    char szText[PATH_BYTES + 256];
    _snprintf(szText, sizeof(szText) - 1, pw->pszFormat, pw->pszDest, nAhead);
    szText[sizeof(szText) - 1] = '\0';
    SetDlgItemTextA(pw->hWnd, IDC_QUEUETEXT, szText);
    pw->nShown = nAhead;
}

static void pumpWaiting(WaitWindow *pw) {
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (pw->hWnd == NULL || !IsDialogMessageA(pw->hWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// ---------------------------------------------------------------- places

static void setState(QueuePlace *pp, DWORD dwState) {
    if (!lockQueue(pp))
        return;
    QueueSlot *ps = &pp->pRecord->slots[pp->nSlot];
    if (ps->ullArrival == pp->ullArrival)
        ps->dwState = dwState;
    unlockQueue(pp);
}

// Under the lock: drops the dead and counts those ahead; with none left the
// place runs. Opens the mutexes of those ahead into phWait (as many as a wait
// takes); *pbMissed when one could not be opened.
static unsigned int checkTurn(QueuePlace *pp, HANDLE *phWait, DWORD *pnWait, bool *pbMissed) {
    QueueSlot ahead[MAXIMUM_WAIT_OBJECTS - 1];
    *pnWait = 0;
    *pbMissed = false;
    if (!lockQueue(pp))
        return 0; // a lock held this long is broken: nothing is waited for
    sweepQueue(pp, pp->nSlot);
    QueueSlot *pSelf = &pp->pRecord->slots[pp->nSlot];
    unsigned int n = 0;
    if (pSelf->ullArrival == pp->ullArrival) {
        n = countAhead(pp->pRecord, pp->nSlot, ahead, ARRAYSIZE(ahead));
        if (n == 0)
            pSelf->dwState = SLOT_RUNNING;
    }
    unlockQueue(pp);
    *pbMissed = n > ARRAYSIZE(ahead);
    for (unsigned int i = 0; i < n && i < ARRAYSIZE(ahead); i++) {
        WCHAR szName[ARRAYSIZE(pp->szPrefix) + 64];
        placeName(szName, pp, ahead[i].dwPid, ahead[i].ullArrival);
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, szName);
        if (h != NULL)
            phWait[(*pnWait)++] = h;
        else
            *pbMissed = true;
    }
    return n;
}

static void closeAll(HANDLE *ph, DWORD *pn) {
    for (DWORD i = 0; i < *pn; i++)
        CloseHandle(ph[i]);
    *pn = 0;
}

// Waits, with the window, until the place's turn or the user's choice. False
// when the user cancelled.
static bool waitTurn(QueuePlace *pp, const char *pszFormat, const char *pszDest) {
    WaitWindow window = {NULL, false, 0, 0, pszFormat, pszDest};
    HANDLE hWait[MAXIMUM_WAIT_OBJECTS - 1];
    DWORD nWait = 0;
    bool bMissed = false, bCheck = true;
    for (;;) {
        if (bCheck) {
            closeAll(hWait, &nWait);
            unsigned int nAhead = checkTurn(pp, hWait, &nWait, &bMissed);
            if (nAhead == 0)
                break;
            showWaiting(&window, nAhead);
        }
        DWORD dw =
            MsgWaitForMultipleObjects(nWait, hWait, FALSE, bMissed ? 50 : POLL_MS, QS_ALLINPUT);
        // A place ahead released or abandoned its mutex, and this wait took it.
        if (dw >= WAIT_ABANDONED_0 && dw < WAIT_ABANDONED_0 + nWait)
            ReleaseMutex(hWait[dw - WAIT_ABANDONED_0]);
        else if (dw < WAIT_OBJECT_0 + nWait)
            ReleaseMutex(hWait[dw - WAIT_OBJECT_0]);
        bCheck = dw != WAIT_OBJECT_0 + nWait;
        pumpWaiting(&window);
        if (window.nChoice != 0)
            break;
    }
    closeAll(hWait, &nWait);
    if (window.hWnd != NULL)
        DestroyWindow(window.hWnd);
    // Started now, the place runs: those who came later still wait for it.
    if (window.nChoice == IDOK)
        setState(pp, SLOT_RUNNING);
    return window.nChoice != IDCANCEL;
}

// Takes a place for a transfer on these disks and waits for its turn.
static bool takePlace(QueuePlace *pp, const DiskSet *pDisks, const char *pszFormat,
                      const char *pszDest) {
    if (!openQueue(pp))
        return true;
    if (!lockQueue(pp)) {
        closeQueue(pp);
        return true;
    }
    sweepQueue(pp, QUEUE_SLOTS);
    QueueRecord *pr = pp->pRecord;
    unsigned int i = 0;
    while (i < QUEUE_SLOTS && pr->slots[i].dwState != SLOT_FREE)
        i++;
    HANDLE hPlace = NULL;
    ULONGLONG ullArrival = pr->ullNextArrival;
    if (i < QUEUE_SLOTS) {
        WCHAR szName[ARRAYSIZE(pp->szPrefix) + 64];
        placeName(szName, pp, GetCurrentProcessId(), ullArrival);
        SECURITY_ATTRIBUTES sa = {sizeof(sa), pp->pSecurity, FALSE};
        hPlace = CreateMutexW(&sa, TRUE, szName);
        if (hPlace != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(hPlace); // not ours to hold
            hPlace = NULL;
        }
    }
    if (hPlace == NULL) { // a full record, or no mutex: run as without the queue
        unlockQueue(pp);
        closeQueue(pp);
        return true;
    }
    pr->ullNextArrival++;
    QueueSlot *ps = &pr->slots[i];
    ps->ullArrival = ullArrival;
    ps->disks = *pDisks;
    ps->dwPid = GetCurrentProcessId();
    ps->dwState = SLOT_WAITING;
    pp->nSlot = i;
    pp->ullArrival = ullArrival;
    pp->hPlace = hPlace;
    bool bFirst = countAhead(pr, i, NULL, 0) == 0;
    if (bFirst)
        ps->dwState = SLOT_RUNNING;
    unlockQueue(pp);
    pp->bWaited = !bFirst;
    return bFirst || waitTurn(pp, pszFormat, pszDest);
}

// Whether the folder that holds pszPath lies on the volume whose identity
// is pszDestId (what a move renames). *pLast keeps the folder last asked,
// so that items of one folder are asked once.
static bool folderOnVolume(const WCHAR *pszPath, const WCHAR *pszDestId, WideText *pLast) {
    const WCHAR *pszSep = wcsrchr(pszPath, L'\\');
    size_t cch = pszSep != NULL ? (size_t)(pszSep - pszPath) + 1 : 0; // "C:\" for "C:\a"
    if (cch == 0)
        return false;
    if (pLast->length == cch && wcsncmp(pLast->p, pszPath, cch) == 0)
        return true;
    WCHAR szId[VOLUME_ID_CCH];
    pLast->length = 0;
    return appendWide(pLast, pszPath, cch) && volumeIdentity(pLast->p, szId) &&
           compareNames(szId, pszDestId) == 0;
}

// Whether the newline-ended items move within the destination's volume.
static bool movesWithinVolume(const char *pszList, const char *pszDest) {
    WCHAR szDest[MAX_PATH], szDestId[VOLUME_ID_CCH], szItem[MAX_PATH];
    WideText last = {};
    bool bWithin = MultiByteToWideChar(CP_ACP, 0, pszDest, -1, szDest, MAX_PATH) > 0 &&
                   volumeIdentity(szDest, szDestId);
    for (const char *pszItem = pszList; bWithin && *pszItem != '\0';) {
        const char *pszEnd = strchr(pszItem, '\n');
        int cb = pszEnd != NULL ? (int)(pszEnd - pszItem) : (int)strlen(pszItem);
        int cch = MultiByteToWideChar(CP_ACP, 0, pszItem, cb, szItem, MAX_PATH - 1);
        szItem[cch > 0 ? cch : 0] = L'\0';
        bWithin = cch > 0 && folderOnVolume(szItem, szDestId, &last);
        pszItem += cb + (pszEnd != NULL ? 1 : 0);
    }
    freeWide(&last);
    return bWithin;
}

bool enterQueue(QueuePlace *pp, const char *pszList, const char *pszDest, bool bMove) {
    *pp = QueuePlace();
    if (bMove && movesWithinVolume(pszList, pszDest))
        return true;
    DiskLookup *pl = (DiskLookup *)calloc(1, sizeof(DiskLookup));
    if (pl == NULL)
        return true;
    for (const char *pszItem = pszList; *pszItem != '\0';) {
        const char *pszEnd = strchr(pszItem, '\n');
        int cb = pszEnd != NULL ? (int)(pszEnd - pszItem) : (int)strlen(pszItem);
        addAnsiPath(pl, pszItem, cb);
        pszItem += cb + (pszEnd != NULL ? 1 : 0);
    }
    addAnsiPath(pl, pszDest, (int)strlen(pszDest));
    bool bGo = takePlace(pp, &pl->set, loadText(IDS_QUEUE_WAIT), pszDest);
    free(pl);
    return bGo;
}

// Whether undoing the journal's move renames within one volume: every item
// goes back into a folder on the destination's volume.
static bool undoesWithinVolume(const Journal *pj) {
    WCHAR szDestId[VOLUME_ID_CCH];
    WideText last = {};
    bool bWithin = volumeIdentity(pj->pszDest, szDestId);
    for (size_t i = 0; bWithin && i < pj->nItems; i++)
        bWithin = folderOnVolume(pj->pItems[i].pszSource, szDestId, &last);
    freeWide(&last);
    return bWithin;
}

int enterUndoQueue(QueuePlace *pp, const Journal *pj) {
    *pp = QueuePlace();
    char szDest[PATH_BYTES];
    bool bExact = toAnsi(pj->pszDest, szDest, PATH_BYTES);
    if (pj->bMove && undoesWithinVolume(pj))
        return QUEUE_GO;
    if (!bExact) // only shown
        WideCharToMultiByte(CP_ACP, 0, pj->pszDest, -1, szDest, PATH_BYTES, NULL, NULL);
    DiskLookup *pl = (DiskLookup *)calloc(1, sizeof(DiskLookup));
    if (pl == NULL)
        return QUEUE_GO;
    // A copy goes to the Recycle Bin on its own volume; a move goes back.
    addPath(pl, pj->pszDest);
    for (size_t i = 0; pj->bMove && i < pj->nItems; i++)
        addPath(pl, pj->pItems[i].pszSource);
    bool bGo = takePlace(pp, &pl->set, loadText(IDS_QUEUE_UNDO_WAIT), szDest);
    free(pl);
    if (!bGo)
        return QUEUE_CANCELLED;
    return QUEUE_GO; // undo checks every item again right before it acts
}

void leaveQueue(QueuePlace *pp) {
    if (pp->ullArrival != 0 && lockQueue(pp)) {
        QueueSlot *ps = &pp->pRecord->slots[pp->nSlot];
        if (ps->ullArrival == pp->ullArrival && ps->dwPid == GetCurrentProcessId())
            memset(ps, 0, sizeof(*ps));
        unlockQueue(pp);
    }
    // Those waiting behind wake as the mutex is released.
    if (pp->hPlace != NULL) {
        ReleaseMutex(pp->hPlace);
        CloseHandle(pp->hPlace);
    }
    closeQueue(pp);
}
