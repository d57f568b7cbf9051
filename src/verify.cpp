// Verification after a transfer: each file sent directly and every file inside
// a sent folder is compared with what the transfer wrote (under the shell's
// new name where it gave one), sizes first, then every byte. The copy is
// flushed to its medium and read past the system cache, so that what is
// compared is what reached the medium. A move across volumes arrives here as
// a copy: each source file goes right after its proof, through the handle it
// was read by, and its folders go last, deepest first, only when empty. The
// walk is wide, so that no name is passed over for want of the code page.
#include "verify.h"
#include "progress.h"
#include "resource.h"
#include "volume.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The piece read at a time: a multiple of every sector size, as unbuffered
// reads require, and large enough that the calls cost nothing beside the data.
#define VERIFY_CHUNK    (1024 * 1024)
#define VERIFY_PATH_CCH 32768 // the most a wide path holds
#define VERIFY_LISTED   100   // names each part of the warning shows
#define NO_FOLDER       ((size_t)-1)
// The attributes a program may set, the read-only bit aside.
#define SETTABLE_ATTRIBUTES                                                                        \
    (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |                      \
     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY)

// The settable attributes of an entry without its read-only bit.
static DWORD withoutReadOnly(DWORD dwAttr) {
    return (dwAttr & SETTABLE_ATTRIBUTES) != 0 ? dwAttr & SETTABLE_ATTRIBUTES
                                               : FILE_ATTRIBUTE_NORMAL;
}

BOOL(WINAPI *pfnFlushFileBuffers)(HANDLE) = FlushFileBuffers;

// Names for the warning: the first VERIFY_LISTED, a line each, and the count.
struct NameList {
    WideText text;
    unsigned int n;
};

// A source folder of a move, removed at the end unless something in it stays.
struct SourceFolder {
    size_t offPath; // into Verify::folderPaths
    size_t cchPath;
    size_t parent; // NO_FOLDER for an item's own folder
    bool bKept;    // something in it stays (then in all that holds it too)
};

// The state of one verification.
struct Verify {
    Progress progress;
    const VerifyRequest *pr;
    BYTE *pSource; // VERIFY_CHUNK each, page-aligned
    BYTE *pCopy;
    WCHAR szSource[VERIFY_PATH_CCH]; // the entry being compared
    WCHAR szCopy[VERIFY_PATH_CCH];   // and what the transfer wrote for it
    unsigned int nFiles;             // files compared
    unsigned int nProven;            // of those, equal to their source
    ULONGLONG cbDone;                // bytes compared
    NameList failed;                 // differ or cannot be read
    NameList skipped;                // declined in the shell's question: not written
    NameList cached;                 // proven, but perhaps through a cache
    NameList late;                   // arrived or changed in the source since: kept
    NameList undeleted;              // proven, but the source could not go
    SourceFolder *pFolders;          // a move's source folders, in the walk's order
    size_t nFolders, capFolders;
    WideText folderPaths;
    size_t current;     // the folder whose entries are being walked
    char szFormat[256]; // the progress text
    char szCancel[64];
};

// Appends the string-table text uId, formatted with n; the line break that
// sets a part apart is left out at the start. Where memory runs out the
// message goes out shorter; the counts stay right.
static void appendFormatted(WideText *pText, UINT uId, unsigned int n) {
    WCHAR szFormat[512], szText[600];
    if (LoadStringW(GetModuleHandleA(NULL), uId, szFormat, 512) <= 0)
        return;
    _snwprintf(szText, 599, szFormat, n);
    szText[599] = L'\0';
    bool bFirst = pText->length == 0 && wcsncmp(szText, L"\r\n", 2) == 0;
    appendText(pText, szText + (bFirst ? 2 : 0));
}

static void noteName(NameList *pl, const WCHAR *pszName) {
    if (pl->n++ >= VERIFY_LISTED)
        return;
    appendText(&pl->text, pszName);
    appendText(&pl->text, L"\r\n");
}

// The text uId with the count, the names, and how many more there are.
static void appendNamed(WideText *pText, UINT uId, const NameList *pl) {
    if (pl->n == 0)
        return;
    appendFormatted(pText, uId, pl->n);
    appendText(pText, pl->text.p != NULL ? pl->text.p : L"");
    if (pl->n > VERIFY_LISTED)
        appendFormatted(pText, IDS_VERIFY_MORE, pl->n - VERIFY_LISTED);
}

static bool stepVerify(Verify *pv) {
    return stepProgress(&pv->progress, pv->szFormat, pv->nFiles, (unsigned int)(pv->cbDone >> 20));
}

// Puts a backslash (unless there is one) and the name behind the first cch
// characters of the path; false when it does not fit.
static bool appendName(WCHAR *pszPath, size_t cch, const WCHAR *pszName) {
    size_t cchName = wcslen(pszName);
    bool bSep = cch == 0 || pszPath[cch - 1] != L'\\';
    if (cch + bSep + cchName >= VERIFY_PATH_CCH)
        return false;
    if (bSep)
        pszPath[cch++] = L'\\';
    memcpy(pszPath + cch, pszName, (cchName + 1) * sizeof(WCHAR));
    return true;
}

// ---------------------------------------------------------------- the source folders of a move

static const WCHAR *folderPath(const Verify *pv, size_t i) {
    return pv->folderPaths.p + pv->pFolders[i].offPath;
}

// Moves the walk's current folder up to the one that holds pszEntry.
static void climbTo(Verify *pv, const WCHAR *pszEntry) {
    while (pv->current != NO_FOLDER) {
        const SourceFolder *pf = &pv->pFolders[pv->current];
        if (wcsncmp(pszEntry, folderPath(pv, pv->current), pf->cchPath) == 0 &&
            pszEntry[pf->cchPath] == L'\\')
            return;
        pv->current = pf->parent;
    }
}

// The folder i and all that holds it stay in the source.
static void keepFrom(Verify *pv, size_t i) {
    for (; i != NO_FOLDER && !pv->pFolders[i].bKept; i = pv->pFolders[i].parent)
        pv->pFolders[i].bKept = true;
}

// Something at pszEntry stays: so do the folders that hold it.
static void keepEntry(Verify *pv, const WCHAR *pszEntry) {
    climbTo(pv, pszEntry);
    keepFrom(pv, pv->current);
}

// Notes a folder of the move's source (bItem: an item's own), to be removed
// at the end. Where it cannot be noted, what holds it stays.
static void addFolder(Verify *pv, const WCHAR *pszPath, bool bItem) {
    if (bItem)
        pv->current = NO_FOLDER;
    else
        climbTo(pv, pszPath);
    size_t cch = wcslen(pszPath);
    if (pv->nFolders == pv->capFolders) {
        size_t cap = pv->capFolders * 2 + 16;
        SourceFolder *p = (SourceFolder *)realloc(pv->pFolders, cap * sizeof(SourceFolder));
        if (p == NULL) {
            keepFrom(pv, pv->current);
            return;
        }
        pv->pFolders = p;
        pv->capFolders = cap;
    }
    SourceFolder folder = {pv->folderPaths.length, cch, pv->current, false};
    if (!appendWide(&pv->folderPaths, pszPath, cch + 1)) {
        keepFrom(pv, pv->current);
        return;
    }
    pv->pFolders[pv->nFolders] = folder;
    pv->current = pv->nFolders++;
}

// Names what stands in a folder that should have been empty: it arrived
// after the folder's files were proven.
static void nameArrivals(Verify *pv, const WCHAR *pszFolder) {
    Listing listing = {};
    WideText path = {};
    if (listFolder(pszFolder, false, &listing) != WALK_DONE || listing.n == 0)
        noteName(&pv->late, pszFolder);
    for (size_t k = 0; k < listing.n; k++) {
        path.length = 0;
        if (appendText(&path, pszFolder) && appendText(&path, L"\\") &&
            appendText(&path, listedName(&listing, &listing.p[k])))
            noteName(&pv->late, path.p);
    }
    freeWide(&path);
    freeListing(&listing);
}

// Removes an empty folder; a read-only one as the shell's move takes it.
static bool removeFolder(const WCHAR *pszPath, DWORD dwAttr) {
    if (RemoveDirectoryW(pszPath))
        return true;
    DWORD dwError = GetLastError();
    DWORD dwKept = dwAttr & (SETTABLE_ATTRIBUTES | FILE_ATTRIBUTE_READONLY);
    if (dwError == ERROR_ACCESS_DENIED && (dwAttr & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(pszPath, withoutReadOnly(dwAttr))) {
        if (RemoveDirectoryW(pszPath))
            return true;
        dwError = GetLastError();
        SetFileAttributesW(pszPath, dwKept);
    }
    SetLastError(dwError);
    return false;
}

// Removes the move's emptied source folders, deepest first. RemoveDirectoryW
// takes only an empty folder, so whatever arrived since the proof stays,
// named, and so does every folder that holds it.
static void removeFolders(Verify *pv) {
    for (size_t i = pv->nFolders; i-- > 0;) {
        const SourceFolder *pf = &pv->pFolders[i];
        const WCHAR *pszPath = folderPath(pv, i);
        if (pf->bKept)
            continue;
        DWORD dwAttr = GetFileAttributesW(pszPath);
        if (dwAttr == INVALID_FILE_ATTRIBUTES)
            continue; // gone already
        bool bFolder = (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                       FILE_ATTRIBUTE_DIRECTORY;
        if (bFolder && removeFolder(pszPath, dwAttr))
            continue;
        DWORD dwError = GetLastError();
        keepFrom(pv, pf->parent);
        if (!bFolder)
            noteName(&pv->late, pszPath); // something else stands there now
        else if (dwError == ERROR_DIR_NOT_EMPTY)
            nameArrivals(pv, pszPath);
        else
            noteName(&pv->undeleted, pszPath);
    }
}

// ---------------------------------------------------------------- one file

// A source as it was compared.
struct SourceFile {
    HANDLE hRead;                    // its data
    HANDLE hEntry;                   // the entry itself, to delete: hRead unless it is a link;
                                     // INVALID_HANDLE_VALUE where the right to delete was refused
    BY_HANDLE_FILE_INFORMATION info; // the entry when it was opened (see stampOfHandle)
};

// The stamp of an entry through its handle: its size and last-write time,
// and with bId its file id and volume. The id costs a query of the volume,
// and a handle that holds the entry since it was compared needs none.
static bool stampOfHandle(HANDLE h, bool bId, BY_HANDLE_FILE_INFORMATION *pInfo) {
    LARGE_INTEGER cb;
    memset(pInfo, 0, sizeof(*pInfo));
    if (bId)
        return GetFileInformationByHandle(h, pInfo) != FALSE;
    if (!GetFileSizeEx(h, &cb) || !GetFileTime(h, NULL, NULL, &pInfo->ftLastWriteTime))
        return false;
    pInfo->nFileSizeHigh = (DWORD)((ULONGLONG)cb.QuadPart >> 32);
    pInfo->nFileSizeLow = (DWORD)cb.QuadPart;
    return true;
}

// Opens the source. For a move, with the right to delete it through the same
// handle once proven (a link itself, not what it leads to), and so that no
// one can write it meanwhile; where that is refused (another program holds
// it), only to read: a new handle must then show the same entry unchanged.
static bool openSource(Verify *pv, DWORD dwAttr, SourceFile *ps) {
    const DWORD dwDelete = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    bool bMove = pv->pr->bMove, bLink = (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    ps->hEntry = INVALID_HANDLE_VALUE;
    if (bMove && bLink)
        ps->hEntry = CreateFileW(pv->szSource, dwDelete, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    ps->hRead = CreateFileW(pv->szSource, GENERIC_READ | (bMove && !bLink ? dwDelete : 0),
                            FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (bMove && !bLink) {
        ps->hEntry = ps->hRead;
        if (ps->hRead == INVALID_HANDLE_VALUE)
            ps->hRead = CreateFileW(pv->szSource, GENERIC_READ, FILE_SHARE_READ, NULL,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    }
    bool bOwn = ps->hEntry != INVALID_HANDLE_VALUE;
    return ps->hRead != INVALID_HANDLE_VALUE &&
           (!bMove || stampOfHandle(bOwn ? ps->hEntry : ps->hRead, !bOwn, &ps->info));
}

static void closeSource(SourceFile *ps) {
    if (ps->hEntry != INVALID_HANDLE_VALUE && ps->hEntry != ps->hRead)
        CloseHandle(ps->hEntry);
    if (ps->hRead != INVALID_HANDLE_VALUE)
        CloseHandle(ps->hRead);
    ps->hEntry = ps->hRead = INVALID_HANDLE_VALUE;
}

// Opens the copy to flush and read it. A read-only copy has its bit lifted
// for the moment of the opening, as the shell's own copy does to write it.
static HANDLE openWritable(const WCHAR *pszPath, DWORD dwFlags) {
    HANDLE h = CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                           OPEN_EXISTING, dwFlags, NULL);
    DWORD dwAttr = h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED
                       ? GetFileAttributesW(pszPath)
                       : INVALID_FILE_ATTRIBUTES;
    if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_READONLY) ||
        (dwAttr & FILE_ATTRIBUTE_DIRECTORY) ||
        !SetFileAttributesW(pszPath, withoutReadOnly(dwAttr)))
        return h;
    h = CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                    dwFlags, NULL);
    SetFileAttributesW(pszPath, dwAttr & (SETTABLE_ATTRIBUTES | FILE_ATTRIBUTE_READONLY));
    return h;
}

// The copy is flushed to its medium, then read past the system cache, so
// that no cache answers for it. Where the volume refuses either (some shares
// do), it is read as it can be, and *pbCached tells so.
static HANDLE openCopy(Verify *pv, bool *pbCached) {
    const DWORD dwUnbuffered = FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE h = openWritable(pv->szCopy, dwUnbuffered);
    DWORD dwError = GetLastError();
    *pbCached = h == INVALID_HANDLE_VALUE || !pfnFlushFileBuffers(h);
    if (h != INVALID_HANDLE_VALUE || dwError == ERROR_FILE_NOT_FOUND ||
        dwError == ERROR_PATH_NOT_FOUND)
        return h;
    h = CreateFileW(pv->szCopy, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, dwUnbuffered,
                    NULL);
    if (h == INVALID_HANDLE_VALUE)
        h = CreateFileW(pv->szCopy, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    return h;
}

// Reads the next piece of both files and compares them; *pcb gets its size.
static bool sameChunk(Verify *pv, HANDLE hSource, HANDLE hCopy, DWORD *pcb) {
    DWORD cbCopy = 0;
    *pcb = 0;
    return ReadFile(hSource, pv->pSource, VERIFY_CHUNK, pcb, NULL) &&
           ReadFile(hCopy, pv->pCopy, VERIFY_CHUNK, &cbCopy, NULL) && *pcb == cbCopy &&
           memcmp(pv->pSource, pv->pCopy, cbCopy) == 0;
}

// Sizes, then every byte, until Cancel.
static bool sameFiles(Verify *pv, HANDLE hSource, HANDLE hCopy) {
    LARGE_INTEGER cbSource = {}, cbCopy = {};
    bool bSame = GetFileSizeEx(hSource, &cbSource) && GetFileSizeEx(hCopy, &cbCopy) &&
                 cbSource.QuadPart == cbCopy.QuadPart;
    DWORD cb = 1;
    while (bSame && cb != 0 && stepVerify(pv)) {
        bSame = sameChunk(pv, hSource, hCopy, &cb);
        pv->cbDone += cb;
    }
    return bSame;
}

static bool sameEntry(const BY_HANDLE_FILE_INFORMATION *a, const BY_HANDLE_FILE_INFORMATION *b) {
    return a->dwVolumeSerialNumber == b->dwVolumeSerialNumber &&
           a->nFileIndexHigh == b->nFileIndexHigh && a->nFileIndexLow == b->nFileIndexLow &&
           a->nFileSizeHigh == b->nFileSizeHigh && a->nFileSizeLow == b->nFileSizeLow &&
           CompareFileTime(&a->ftLastWriteTime, &b->ftLastWriteTime) == 0;
}

// Marks the entry for deletion. A read-only one goes as the shell's move
// takes it, its bit cleared first (and set again when it still cannot go).
static bool disposeOf(HANDLE h) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof(disposition)))
        return true;
    FILE_BASIC_INFO basic;
    if (GetLastError() != ERROR_ACCESS_DENIED ||
        !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof(basic)) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    DWORD dwAttr = basic.FileAttributes;
    basic = FILE_BASIC_INFO(); // times 0: left as they are
    basic.FileAttributes = withoutReadOnly(dwAttr);
    if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof(basic)))
        return false;
    if (SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof(disposition)))
        return true;
    basic.FileAttributes = dwAttr & (SETTABLE_ATTRIBUTES | FILE_ATTRIBUTE_READONLY);
    SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof(basic));
    return false;
}

// Deletes a proven source, after checking that it is still the entry that
// was compared, as it was then (size, last-write time, and the file id where
// it was not held by its handle all along).
static bool deleteSource(Verify *pv, SourceFile *ps) {
    HANDLE h = ps->hEntry;
    if (h == INVALID_HANDLE_VALUE) {
        CloseHandle(ps->hRead); // it holds the file against deletion
        ps->hRead = INVALID_HANDLE_VALUE;
        h = CreateFileW(pv->szSource, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                        FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    }
    BY_HANDLE_FILE_INFORMATION now;
    bool bRead = h != INVALID_HANDLE_VALUE && stampOfHandle(h, h != ps->hEntry, &now);
    bool bSame = bRead && sameEntry(&ps->info, &now);
    bool bGone = bSame && disposeOf(h);
    if (h != INVALID_HANDLE_VALUE && h != ps->hEntry)
        CloseHandle(h);
    if (!bGone)
        noteName(bRead && !bSame ? &pv->late : &pv->undeleted, pv->szSource);
    return bGone;
}

// Compares the file szSource with szCopy. A file that differs or cannot be
// read is noted; one cut short by Cancel is not. For a move, a source proven
// past every cache goes at once. True when the file is settled: proven and,
// for a move, gone from the source.
static bool proveFile(Verify *pv, DWORD dwAttr) {
    pv->nFiles++;
    SourceFile source;
    bool bCached = false;
    bool bOpen = openSource(pv, dwAttr, &source);
    HANDLE hCopy = bOpen ? openCopy(pv, &bCached) : INVALID_HANDLE_VALUE;
    bool bSame = hCopy != INVALID_HANDLE_VALUE && sameFiles(pv, source.hRead, hCopy);
    if (hCopy != INVALID_HANDLE_VALUE)
        CloseHandle(hCopy);
    bool bSettled = false;
    if (!pv->progress.bCancelled) {
        if (!bSame)
            noteName(&pv->failed, pv->szCopy);
        else if (bCached)
            noteName(&pv->cached, pv->pr->bMove ? pv->szSource : pv->szCopy);
        pv->nProven += bSame;
        bSettled = bSame && (!pv->pr->bMove || (!bCached && deleteSource(pv, &source)));
    }
    closeSource(&source);
    return bSettled;
}

// ---------------------------------------------------------------- folders

// One walk of a sent folder: its copy's path.
struct VerifyWalk {
    Verify *pv;
    WideText copy; // the folder's copy
};

// Each entry below the sent folder against its place in the copy. A folder
// reached through a link leads out of what was sent, so it is not walked,
// and it stays, with what holds it. A linked file is read through its link,
// as the shell copied it.
static int verifyInFolder(void *pContext, WideText *pPath, size_t cchTop,
                          const WIN32_FIND_DATAW *pfd) {
    VerifyWalk *pw = (VerifyWalk *)pContext;
    Verify *pv = pw->pv;
    DWORD dwAttr = pfd->dwFileAttributes;
    if (wcscmp(pfd->cFileName, L".") == 0)
        return WALK_NEXT;
    const WCHAR *pszRel = pPath->p + cchTop; // "\name..."
    size_t cchRel = pPath->length - cchTop;
    bool bLinkedFolder =
        (dwAttr & FILE_ATTRIBUTE_DIRECTORY) && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT);
    if (bLinkedFolder || pPath->length >= VERIFY_PATH_CCH ||
        pw->copy.length + cchRel >= VERIFY_PATH_CCH) {
        noteName(&pv->failed, pPath->p);
        keepEntry(pv, pPath->p);
        return WALK_NEXT;
    }
    memcpy(pv->szSource, pPath->p, (pPath->length + 1) * sizeof(WCHAR));
    memcpy(pv->szCopy, pw->copy.p, pw->copy.length * sizeof(WCHAR));
    memcpy(pv->szCopy + pw->copy.length, pszRel, (cchRel + 1) * sizeof(WCHAR));
    if (!(dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!proveFile(pv, dwAttr))
            keepEntry(pv, pv->szSource);
        return pv->progress.bCancelled ? WALK_STOP : WALK_NEXT;
    }
    DWORD dwCopy = GetFileAttributesW(pv->szCopy);
    if (dwCopy != INVALID_FILE_ATTRIBUTES && (dwCopy & FILE_ATTRIBUTE_DIRECTORY)) {
        if (pv->pr->bMove)
            addFolder(pv, pv->szSource, false);
        return WALK_INTO;
    }
    noteName(&pv->failed, pv->szCopy);
    keepEntry(pv, pv->szSource);
    return WALK_NEXT;
}

// Compares everything inside the folder szSource with the folder szCopy, at
// every depth. A listing that fails or ends early keeps the whole folder.
static void verifyFolder(Verify *pv) {
    VerifyWalk walk = {pv, {}};
    WideText source = {};
    DWORD dwAttr = GetFileAttributesW(pv->szCopy);
    size_t first = pv->nFolders;
    if (dwAttr == INVALID_FILE_ATTRIBUTES || !(dwAttr & FILE_ATTRIBUTE_DIRECTORY) ||
        !appendText(&walk.copy, pv->szCopy) || !appendText(&source, pv->szSource)) {
        noteName(&pv->failed, pv->szCopy);
    } else {
        if (pv->pr->bMove)
            addFolder(pv, pv->szSource, true);
        if (walkFolder(&source, verifyInFolder, &walk) == WALK_UNKNOWN) {
            noteName(&pv->failed, source.p);
            for (size_t i = first; i < pv->nFolders; i++)
                pv->pFolders[i].bKept = true;
        }
    }
    freeWide(&source);
    freeWide(&walk.copy);
}

// ---------------------------------------------------------------- the items

// Sets szSource to the item and szCopy to what the transfer wrote for it, as
// the plan tells; false when the plan knows no copy.
static bool locateItem(Verify *pv, const TransferPlan *pp, const PlanItem *pi) {
    const WCHAR *pszSource = planText(pp, pi->offSource);
    size_t cch = wcslen(pszSource);
    if (pi->offWritten == 0 || pi->source.chKind == 0 || cch >= VERIFY_PATH_CCH)
        return false;
    memcpy(pv->szSource, pszSource, (cch + 1) * sizeof(WCHAR));
    const WCHAR *pszDest = planText(pp, pp->offDest);
    cch = wcslen(pszDest);
    if (cch >= VERIFY_PATH_CCH)
        return false;
    memcpy(pv->szCopy, pszDest, (cch + 1) * sizeof(WCHAR));
    return appendName(pv->szCopy, cch, planText(pp, pi->offWritten));
}

// An item the user declined in the shell's question: the file that stood at
// its name stands there unchanged.
static bool isSkipped(const PlanItem *pi) {
    return !pi->bWritten && pi->bThere && pi->there.chKind == STAMP_FILE &&
           sameStamp(&pi->there, &pi->after);
}

// Compares every item of the plan with its copy, until Cancel; then, for a
// move, removes the source folders emptied. An item that stood in the
// destination already was not moved, so there is nothing to prove of it.
static void verifyItems(Verify *pv) {
    const VerifyRequest *pr = pv->pr;
    const TransferPlan *pp = pr->pPlan;
    for (size_t i = 0; i < pp->nItems && !pv->progress.bCancelled; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (pr->bMove && pi->nBefore == BEFORE_SELF)
            continue;
        if (pr->bDeclined && isSkipped(pi))
            noteName(&pv->skipped, planText(pp, pi->offSource));
        else if (!locateItem(pv, pp, pi))
            noteName(&pv->failed, planText(pp, pi->offSource));
        else if (!(pi->dwAttr & FILE_ATTRIBUTE_DIRECTORY))
            proveFile(pv, pi->dwAttr);
        else if (pi->dwAttr & FILE_ATTRIBUTE_REPARSE_POINT)
            noteName(&pv->failed, pv->szSource);
        else
            verifyFolder(pv);
    }
    // After Cancel nothing more goes.
    if (pr->bMove && !pv->progress.bCancelled)
        removeFolders(pv);
}

// The warning or the notice; returns the exit status.
static int report(Verify *pv) {
    const VerifyRequest *pr = pv->pr;
    WideText text = {};
    bool bCancelled = pv->progress.bCancelled;
    if (bCancelled)
        appendFormatted(&text, IDS_VERIFY_CANCELLED, pv->nProven);
    appendNamed(&text, IDS_VERIFY_FAILED, &pv->failed);
    if (pr->bMove && pv->failed.n != 0)
        appendFormatted(&text, IDS_VERIFY_KEPT, 0);
    appendNamed(&text, IDS_VERIFY_SKIPPED, &pv->skipped);
    appendNamed(&text, pr->bMove ? IDS_VERIFY_CACHED : IDS_VERIFY_BUFFERED, &pv->cached);
    appendNamed(&text, IDS_VERIFY_LATE, &pv->late);
    appendNamed(&text, IDS_DELETE_FAILED, &pv->undeleted);
    if (pr->bMove && bCancelled)
        appendFormatted(&text, IDS_VERIFY_STOPPED, 0);
    bool bWarn = text.length != 0;
    if (!bWarn && pr->bNotify)
        appendFormatted(&text, pr->bMove ? IDS_MOVE_VERIFIED : IDS_COPY_VERIFIED, pv->nProven);
    if (text.length != 0)
        showWide(NULL, text.p, bWarn ? MB_ICONWARNING : MB_ICONINFORMATION);
    freeWide(&text);
    return bWarn ? 1 : 0;
}

static void freeVerify(Verify *pv) {
    NameList *lists[] = {&pv->failed, &pv->skipped, &pv->cached, &pv->late, &pv->undeleted};
    for (NameList *pl : lists)
        freeWide(&pl->text);
    freeWide(&pv->folderPaths);
    free(pv->pFolders);
    free(pv);
}

int verifyTransfer(const VerifyRequest *pr) {
    Verify *pv = (Verify *)calloc(1, sizeof(Verify));
    BYTE *pBuffers =
        (BYTE *)VirtualAlloc(NULL, 2 * VERIFY_CHUNK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    int nStatus = 1;
    if (pv != NULL && pBuffers != NULL) {
        pv->pr = pr;
        pv->current = NO_FOLDER;
        pv->pSource = pBuffers;
        pv->pCopy = pBuffers + VERIFY_CHUNK;
        LoadStringA(GetModuleHandleA(NULL), IDS_VERIFYING, pv->szFormat, sizeof(pv->szFormat));
        LoadStringA(GetModuleHandleA(NULL), IDS_CANCEL, pv->szCancel, sizeof(pv->szCancel));
        startProgress(&pv->progress, pv->szCancel);
        verifyItems(pv);
        endProgress(&pv->progress);
        nStatus = report(pv);
    } else {
        // Nothing was proven, so nothing is deleted.
        WideText text = {};
        appendFormatted(&text, IDS_VERIFY_CANCELLED, 0);
        if (pr->bMove)
            appendFormatted(&text, IDS_VERIFY_KEPT_ALL, 0);
        showWide(NULL, text.p != NULL ? text.p : L"", MB_ICONWARNING);
        freeWide(&text);
    }
    if (pBuffers != NULL)
        VirtualFree(pBuffers, 0, MEM_RELEASE);
    if (pv != NULL)
        freeVerify(pv);
    return nStatus;
}

// ---------------------------------------------------------------- volumes

bool onOneVolume(const TransferPlan *pp) {
    WCHAR szDest[VOLUME_ID_CCH], szItem[VOLUME_ID_CCH];
    WideText folder = {};
    bool bOne = volumeIdentity(planText(pp, pp->offDest), szDest);
    for (size_t i = 0; bOne && i < pp->nItems; i++) {
        // The folder that holds the item, its backslash kept ("C:\" for
        // "C:\a"); items of the folder before need no new look.
        const PlanItem *pi = &pp->pItems[i];
        const WCHAR *pszSource = planText(pp, pi->offSource);
        size_t cch = pi->offName - pi->offSource;
        if (cch == 0) {
            bOne = false; // no folder holds it: not a path a move takes
            break;
        }
        if (folder.length == cch && wcsncmp(folder.p, pszSource, cch) == 0)
            continue;
        folder.length = 0;
        bOne = appendWide(&folder, pszSource, cch) && volumeIdentity(folder.p, szItem) &&
               compareNames(szItem, szDest) == 0;
    }
    freeWide(&folder);
    return bOne;
}
