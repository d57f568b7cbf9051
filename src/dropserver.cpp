// The drop-target server. The shell (or any client) creates Porterly's class
// through COM, which starts "porterly.exe -Embedding"; the one object accepts a
// copy, reads the selection in Drop (CF_HDROP, else the shell's ID-list
// array), and hands the list back once Drop has returned, so that the sender
// is never kept waiting while the user chooses.
#include "dropserver.h"
#include "dropclass.h"
#include "dropfiles.h"
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

static const CLSID clsidDropTarget = PORTERLY_DROP_CLSID_INIT;

// Posted to the server's thread: the drop was read (hand it back).
#define WM_APP_DROPPED (WM_APP + 1)

// How long a server waits for its drop, from its start and again from each
// call of the drag.
#define DROP_WAIT_MS 30000

// What Drop read, handed back when the server ends.
static bool bDropRead;
static Str strFiles;
static int nDropItems;
static WCHAR *pszForeign;
static DWORD dwServerThread;
static UINT uIdleMs;         // the wait for a drop
static UINT_PTR idIdleTimer; // ends the wait; restarted by every call of the drag

// ---------------------------------------------------------------- reading the selection

static int countLines(const Str *pstr) {
    int n = 0;
    for (unsigned int i = 0; i < pstr->length; i++)
        n += pstr->buffer[i] == '\n';
    return n;
}

// The driver's item count (or error) for a drop's result.
static int itemsOf(DropResult result) {
    switch (result) {
    case DROP_ADDED:
        return strFiles.length == 0 ? DRIVER_NO_FILES : countLines(&strFiles);
    case DROP_NO_ROOM:
        return PARSE_NO_MEMORY;
    case DROP_BAD_NAME:
        return DRIVER_BAD_NAME; // named through pszForeign
    default:
        return -1; // a foreign name is named through pszForeign
    }
}

// Asks the data object for an HGLOBAL of the format; null when it has none.
static HGLOBAL getBlock(IDataObject *pData, CLIPFORMAT cf, STGMEDIUM *pMedium) {
    FORMATETC fmt = {cf, NULL, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    if (FAILED(pData->GetData(&fmt, pMedium)))
        return NULL;
    if (pMedium->tymed == TYMED_HGLOBAL && pMedium->hGlobal != NULL)
        return pMedium->hGlobal;
    ReleaseStgMedium(pMedium);
    return NULL;
}

// Appends the wide path of one item of the ID-list array to the block being
// built (a DROPFILES of wide names): DROP_MALFORMED for an item without a
// file-system path, DROP_NO_ROOM when the block cannot grow.
static DropResult appendItemPath(Str *pstrBlock, LPCITEMIDLIST pidlFolder, LPCITEMIDLIST pidlItem,
                                 WCHAR *pszPath, DWORD cchPath) {
    LPITEMIDLIST pidl = ILCombine(pidlFolder, pidlItem);
    bool bPath = pidl != NULL && SHGetPathFromIDListEx(pidl, pszPath, cchPath, GPFIDL_DEFAULT);
    ILFree(pidl);
    if (!bPath || pszPath[0] == L'\0')
        return DROP_MALFORMED;
    unsigned int cb = (unsigned int)(wcslen(pszPath) + 1) * sizeof(WCHAR);
    if (pstrBlock->length > 0x3FFFFFFF - cb) // the doubling below must not wrap
        return DROP_NO_ROOM;
    if (pstrBlock->capacity < pstrBlock->length + cb + sizeof(WCHAR) &&
        resize(pstrBlock, (pstrBlock->length + cb) * 2) == NULL)
        return DROP_NO_ROOM;
    memcpy(pstrBlock->buffer + pstrBlock->length, pszPath, cb);
    pstrBlock->length += cb;
    return DROP_ADDED;
}

// Reads the shell's ID-list array into the list through a wide DROPFILES
// block, so that both formats take the same walk and the same checks.
static DropResult readIdListArray(const BYTE *pArray, SIZE_T cbArray) {
    int n = checkIdListArray(pArray, cbArray);
    if (n < 0)
        return DROP_MALFORMED;
    const UINT *pOffsets = (const UINT *)(pArray + sizeof(UINT));
    LPCITEMIDLIST pidlFolder = (LPCITEMIDLIST)(pArray + pOffsets[0]);
    Str strBlock = {};
    const DWORD cchPath = 32768; // the longest path Windows knows
    WCHAR *pszPath = (WCHAR *)malloc(cchPath * sizeof(WCHAR));
    DropResult result = DROP_NO_ROOM;
    if (pszPath != NULL && resize(&strBlock, sizeof(DROPFILES) + 4096) != NULL) {
        DROPFILES df = {sizeof(DROPFILES), {0, 0}, FALSE, TRUE};
        memcpy(strBlock.buffer, &df, sizeof(df));
        strBlock.length = sizeof(DROPFILES);
        result = DROP_ADDED;
        for (int i = 0; i < n && result == DROP_ADDED; i++)
            result = appendItemPath(&strBlock, pidlFolder,
                                    (LPCITEMIDLIST)(pArray + pOffsets[i + 1]), pszPath, cchPath);
    }
    if (result == DROP_ADDED) {
        memset(strBlock.buffer + strBlock.length, 0, sizeof(WCHAR)); // the empty name ends it
        result = appendDropped(&strFiles, (const BYTE *)strBlock.buffer,
                               strBlock.length + sizeof(WCHAR), &pszForeign);
    }
    free(pszPath);
    freeStr(&strBlock);
    return result;
}

// Reads CF_HDROP, or the shell's ID-list array where there is no CF_HDROP or
// the two count their items differently: Windows leaves items with long paths
// out of CF_HDROP but keeps them in the ID list, and they must be refused by
// name rather than go missing.
static DropResult readSelection(IDataObject *pData) {
    STGMEDIUM mediumDrop = {}, mediumIds = {};
    HGLOBAL hDrop = getBlock(pData, CF_HDROP, &mediumDrop);
    HGLOBAL hIds =
        getBlock(pData, (CLIPFORMAT)RegisterClipboardFormatA(CFSTR_SHELLIDLIST), &mediumIds);
    const BYTE *pDrop = hDrop != NULL ? (const BYTE *)GlobalLock(hDrop) : NULL;
    const BYTE *pIds = hIds != NULL ? (const BYTE *)GlobalLock(hIds) : NULL;
    SIZE_T cbDrop = pDrop != NULL ? GlobalSize(hDrop) : 0;
    SIZE_T cbIds = pIds != NULL ? GlobalSize(hIds) : 0;
    int nIds = pIds != NULL ? checkIdListArray(pIds, cbIds) : -1;
    DropResult result = DROP_MALFORMED;
    if (pIds != NULL && (pDrop == NULL || (nIds >= 0 && nIds != countDropped(pDrop, cbDrop))))
        result = readIdListArray(pIds, cbIds);
    else if (pDrop != NULL)
        result = appendDropped(&strFiles, pDrop, cbDrop, &pszForeign);
    if (pDrop != NULL)
        GlobalUnlock(hDrop);
    if (pIds != NULL)
        GlobalUnlock(hIds);
    if (hDrop != NULL)
        ReleaseStgMedium(&mediumDrop);
    if (hIds != NULL)
        ReleaseStgMedium(&mediumIds);
    return result;
}

// ---------------------------------------------------------------- the drop target

// The wait for a drop starts again. A drag that leaves may come back (the
// pointer crossing the window's edge), so not even DragLeave ends it at once.
// The calls come on the server's own thread, which owns the timer.
static void restartIdleWait() {
    if (idIdleTimer != 0)
        KillTimer(NULL, idIdleTimer);
    idIdleTimer = SetTimer(NULL, 0, uIdleMs, NULL);
}

// A copy when the sender allows one; nothing else is ever offered back.
static void acceptCopy(DWORD *pdwEffect) {
    *pdwEffect = (*pdwEffect & DROPEFFECT_COPY) ? DROPEFFECT_COPY : DROPEFFECT_NONE;
    restartIdleWait();
}

// QueryInterface of an object that offers one interface besides IUnknown.
static HRESULT queryOne(void *pThis, REFIID riid, REFIID iid, void **ppv) {
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid) ? pThis : NULL;
    return *ppv != NULL ? S_OK : E_NOINTERFACE;
}

struct DropTarget : IDropTarget {
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        return queryOne(this, riid, IID_IDropTarget, ppv);
    }
    // One static object: its life is the process's.
    STDMETHODIMP_(ULONG) AddRef() override {
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        return 1;
    }
    STDMETHODIMP DragEnter(IDataObject *, DWORD, POINTL, DWORD *pdwEffect) override {
        acceptCopy(pdwEffect);
        return S_OK;
    }
    STDMETHODIMP DragOver(DWORD, POINTL, DWORD *pdwEffect) override {
        acceptCopy(pdwEffect);
        return S_OK;
    }
    STDMETHODIMP DragLeave() override {
        restartIdleWait();
        return S_OK;
    }
    // The sender must never delete or change a source on its side: Porterly
    // moves, and only after its own confirmation.
    STDMETHODIMP Drop(IDataObject *pData, DWORD, POINTL, DWORD *pdwEffect) override {
        *pdwEffect = DROPEFFECT_NONE;
        if (bDropRead)
            return S_OK; // one drop a server
        bDropRead = true;
        HCURSOR hOld = SetCursor(LoadCursor(NULL, IDC_WAIT));
        nDropItems = itemsOf(pData != NULL ? readSelection(pData) : DROP_MALFORMED);
        SetCursor(hOld);
        PostThreadMessageA(dwServerThread, WM_APP_DROPPED, 0, 0);
        return S_OK;
    }
};

static DropTarget dropTarget;

struct ClassFactory : IClassFactory {
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        return queryOne(this, riid, IID_IClassFactory, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown *pOuter, REFIID riid, void **ppv) override {
        *ppv = NULL;
        return pOuter != NULL ? CLASS_E_NOAGGREGATION : dropTarget.QueryInterface(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override {
        return S_OK;
    }
};

static ClassFactory classFactory;

// ---------------------------------------------------------------- the server

// The wait for a drop; the environment can only shorten it (the tests do).
static UINT dropWaitMs() {
    char szValue[16];
    DWORD cch = GetEnvironmentVariableA("PORTERLY_DROP_WAIT_MS", szValue, sizeof(szValue));
    UINT ms = cch > 0 && cch < sizeof(szValue) ? (UINT)atoi(szValue) : 0;
    return ms > 0 && ms < DROP_WAIT_MS ? ms : DROP_WAIT_MS;
}

// Pumps messages (COM's calls arrive as messages) until the drop was read or
// the drag has been idle for the whole wait. Returns whether a drop came.
static bool waitForDrop() {
    uIdleMs = dropWaitMs();
    restartIdleWait();
    MSG msg;
    bool bDropped = false;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.hwnd == NULL && msg.message == WM_APP_DROPPED) {
            bDropped = true;
            break;
        }
        if (msg.hwnd == NULL && msg.message == WM_TIMER && msg.wParam == idIdleTimer)
            break;
        DispatchMessageA(&msg);
    }
    KillTimer(NULL, idIdleTimer);
    idIdleTimer = 0;
    return bDropped;
}

ServerResult runDropServer(DroppedList *pDropped) {
    if (FAILED(OleInitialize(NULL)))
        return SERVER_FAILED;
    dwServerThread = GetCurrentThreadId();
    DWORD dwCookie = 0;
    ServerResult result = SERVER_FAILED;
    if (SUCCEEDED(CoRegisterClassObject(clsidDropTarget, &classFactory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_SINGLEUSE, &dwCookie))) {
        result = waitForDrop() ? SERVER_DROPPED : SERVER_NO_DROP;
        CoRevokeClassObject(dwCookie);
    }
    if (result == SERVER_DROPPED) {
        pDropped->strFiles = strFiles;
        pDropped->nItems = nDropItems;
        pDropped->pszForeign = pszForeign;
    } else {
        free(pszForeign);
        freeStr(&strFiles);
    }
    OleUninitialize();
    return result;
}
