// Undo of the last transfer. After a transfer the journal records what it
// wrote: each item's name, how it went there, the stamps of its copy (a
// folder's with all its content) and of its source, and the destination's
// volume. Undo reads the journal back, decides item by item what can be
// taken back exactly, asks, checks again right before acting, and acts in one
// file operation per kind; what it must leave alone is named. A named mutex
// keeps a recording from running while an undo acts.
#include "undo.h"
#include "resource.h"
#include "settingskey.h"
#include "volume.h"
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const WCHAR szJournal[] = L"\\last-transfer.journal";
// One session's recordings and undos, one at a time.
static const WCHAR szLockName[] = L"Local\\Porterly.last-transfer";
// More than any journal of a real transfer holds.
#define MAX_JOURNAL_BYTES (256u << 20)
// "\pid.n.tmp": unique, and no longer than the journal's own leaf.
#define TEMP_LEAF_CCH 23

static bool hasRecycleBin(const WCHAR *pszRoot);
bool (*pfnHasRecycleBin)(const WCHAR *) = hasRecycleBin;
int(WINAPI *pfnUndoOperation)(LPSHFILEOPSTRUCTW) = SHFileOperationW;

// The journal's folder and the leaf; false when the path would not fit.
static bool journalFile(WCHAR *pszPath, const WCHAR *pszLeaf, bool bCreate) {
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | (bCreate ? CSIDL_FLAG_CREATE : 0), NULL,
                                SHGFP_TYPE_CURRENT, pszPath)) ||
        wcslen(pszPath) + wcslen(PORTERLY_DATA_FOLDER) + wcslen(pszLeaf) >= MAX_PATH)
        return false;
    wcscat(pszPath, PORTERLY_DATA_FOLDER);
    if (bCreate)
        CreateDirectoryW(pszPath, NULL);
    wcscat(pszPath, pszLeaf);
    return true;
}

static HANDLE lockJournal() {
    HANDLE h = CreateMutexW(NULL, FALSE, szLockName);
    if (h == NULL)
        return NULL;
    DWORD dwWait = WaitForSingleObject(h, INFINITE);
    if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED) {
        CloseHandle(h);
        return NULL;
    }
    return h;
}

static void unlockJournal(HANDLE h) {
    if (h != NULL) {
        ReleaseMutex(h);
        CloseHandle(h);
    }
}

static void deleteJournal() {
    WCHAR szPath[MAX_PATH];
    if (journalFile(szPath, szJournal, false))
        DeleteFileW(szPath);
}

// The path in its long form ("\\?\X:\..." or "\\?\UNC\server\share\..."),
// so that a tree deeper than MAX_PATH is read whole.
static bool longForm(WideText *pt, const WCHAR *pszPath) {
    pt->length = 0;
    if (pszPath[0] == L'\\' && pszPath[1] == L'\\')
        return appendText(pt, L"\\\\?\\UNC\\") && appendText(pt, pszPath + 2);
    return appendText(pt, L"\\\\?\\") && appendText(pt, pszPath);
}

static int listLong(const WCHAR *pszPath, bool bDeep, Listing *pl) {
    WideText path = {};
    int result = longForm(&path, pszPath) ? listFolder(path.p, bDeep, pl) : WALK_UNKNOWN;
    freeWide(&path);
    return result;
}

// pPath := the folder, a backslash unless it ends in one, and the name.
static bool joinPath(WideText *pPath, const WCHAR *pszFolder, const WCHAR *pszName) {
    size_t cch = wcslen(pszFolder);
    pPath->length = 0;
    return appendWide(pPath, pszFolder, cch) &&
           (cch == 0 || pszFolder[cch - 1] == L'\\' || appendWide(pPath, L"\\", 1)) &&
           appendText(pPath, pszName);
}

// ---------------------------------------------------------------- recording

// Whether the transfer wrote anything: a name that holds an item's copy, or
// anything at a name that was free or that the shell gave, or a file that
// changed. Told generously: a journal replaced once too often only loses an
// older transfer's undo.
static bool wroteAny(const TransferPlan *pp) {
    for (size_t i = 0; i < pp->nItems; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (pi->bThere && pi->offWritten != 0 &&
            (pi->bWritten || pi->bRenamed || pi->nBefore == BEFORE_FREE ||
             !sameStamp(&pi->there, &pi->after)))
            return true;
    }
    return false;
}

// Whether an earlier item went to the same name (only such names are shared).
static bool isRecorded(const TransferPlan *pp, size_t i) {
    const WCHAR *pszName = planText(pp, pp->pItems[i].offWritten);
    for (size_t k = 0; k < i; k++) {
        const PlanItem *pk = &pp->pItems[k];
        if (pk->bThere && pk->offWritten != 0 &&
            compareNames(planText(pp, pk->offWritten), pszName) == 0)
            return true;
    }
    return false;
}

// How the item went to its name. Only what stands there as the transfer wrote
// it under a name that was free can be taken back; a name several items went
// to was written over. A move that copied first and kept a source it could not
// delete left a copy.
static WCHAR howWritten(const TransferPlan *pp, const PlanItem *pi) {
    if (!pi->bWritten || pi->bShared || (!pi->bRenamed && pi->nBefore != BEFORE_FREE))
        return JOURNAL_OVER;
    if (!(pp->dwHow & PLAN_MOVE))
        return JOURNAL_COPIED;
    bool bGone = GetFileAttributesW(planText(pp, pi->offSource)) == INVALID_FILE_ATTRIBUTES &&
                 (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
    return bGone ? JOURNAL_MOVED : JOURNAL_COPIED;
}

// The item's line and a folder's content. A folder whose content cannot be
// listed whole is never taken back. False only when memory ran out.
static bool addItem(WideText *pt, const TransferPlan *pp, const PlanItem *pi) {
    const WCHAR *pszSource = planText(pp, pi->offSource);
    JournalItem item = {
        pszSource, planText(pp, pi->offWritten), howWritten(pp, pi), pi->after, pi->source, 0, 0};
    Listing tree = {};
    WideText copy = {};
    bool bTree = item.stamp.chKind == STAMP_DIR &&
                 (item.chHow == JOURNAL_COPIED || item.chHow == JOURNAL_MOVED);
    if (bTree && (!joinPath(&copy, planText(pp, pp->offDest), item.pszName) ||
                  listLong(copy.p, true, &tree) != WALK_DONE))
        item.chHow = JOURNAL_UNREAD;
    bool bOk = addJournalItem(pt, &item);
    for (size_t i = 0; bOk && item.chHow != JOURNAL_UNREAD && i < tree.n; i++) {
        JournalSub sub = {listedName(&tree, &tree.p[i]), tree.p[i].stamp};
        bOk = addJournalSub(pt, &sub);
    }
    freeWide(&copy);
    freeListing(&tree);
    return bOk;
}

// Writes the journal under a name of this process's own, then puts it in
// place; false when it is not there whole.
static bool storeJournal(const WideText *pt) {
    static LONG nStored;
    WCHAR szLeaf[TEMP_LEAF_CCH], szTempPath[MAX_PATH], szPath[MAX_PATH];
    _snwprintf(szLeaf, TEMP_LEAF_CCH - 1, L"\\%08lx.%lx.tmp", (unsigned long)GetCurrentProcessId(),
               (unsigned long)InterlockedIncrement(&nStored));
    szLeaf[TEMP_LEAF_CCH - 1] = 0;
    if (!journalFile(szTempPath, szLeaf, true) || !journalFile(szPath, szJournal, false))
        return false;
    HANDLE h =
        CreateFileW(szTempPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD cbWritten = 0, cb = (DWORD)(pt->length * sizeof(WCHAR));
    bool bOk = WriteFile(h, pt->p, cb, &cbWritten, NULL) && cbWritten == cb && FlushFileBuffers(h);
    CloseHandle(h);
    bOk =
        bOk && MoveFileExW(szTempPath, szPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!bOk)
        DeleteFileW(szTempPath);
    return bOk;
}

void recordTransfer(const TransferPlan *pp) {
    if (!wroteAny(pp))
        return; // the last journal stays the last transfer's
    HANDLE hLock = lockJournal();
    const WCHAR *pszDest = planText(pp, pp->offDest);
    WCHAR szVolume[VOLUME_ID_CCH];
    WideText text = {};
    size_t nItems = 0;
    bool bOk = isAbsolutePath(pszDest, wcslen(pszDest), true) &&
               volumeIdentity(pszDest, szVolume) &&
               beginJournal(&text, (pp->dwHow & PLAN_MOVE) != 0, pszDest, szVolume);
    for (size_t i = 0; bOk && i < pp->nItems; i++) {
        const PlanItem *pi = &pp->pItems[i];
        const WCHAR *pszSource = planText(pp, pi->offSource);
        if (!pi->bThere || pi->offWritten == 0 || pi->source.chKind == 0 ||
            !isAbsolutePath(pszSource, wcslen(pszSource), false) ||
            (pi->bShared && isRecorded(pp, i)))
            continue; // not written, not a name undo could act on, or recorded already
        bOk = addItem(&text, pp, pi);
        nItems++;
    }
    // Where this transfer cannot be recorded, no older one may be taken back.
    if (!(bOk && nItems > 0 && endJournal(&text) && storeJournal(&text)))
        deleteJournal();
    unlockJournal(hLock);
    freeWide(&text);
}

// ---------------------------------------------------------------- reading

int readJournal(Journal *pj) {
    memset(pj, 0, sizeof(*pj));
    WCHAR szPath[MAX_PATH];
    if (!journalFile(szPath, szJournal, false))
        return JOURNAL_NONE;
    // Read while a recording may replace or delete it: it must never be kept
    // in place for being read.
    HANDLE h = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND ? JOURNAL_NONE
                                                                                  : JOURNAL_DAMAGED;
    }
    LARGE_INTEGER size = {};
    unsigned char *p = NULL;
    DWORD cbRead = 0;
    bool bOk = GetFileSizeEx(h, &size) && size.QuadPart <= MAX_JOURNAL_BYTES &&
               (p = (unsigned char *)malloc((size_t)size.QuadPart + 1)) != NULL &&
               ReadFile(h, p, (DWORD)size.QuadPart, &cbRead, NULL) &&
               cbRead == (DWORD)size.QuadPart && parseJournal(p, cbRead, pj);
    free(p);
    CloseHandle(h);
    return bOk ? JOURNAL_READ : JOURNAL_DAMAGED;
}

// Whether the journal on disk is still the one read into *pj.
static bool isStillJournal(const Journal *pj) {
    Journal now;
    bool bSame = readJournal(&now) == JOURNAL_READ && now.uChecksum == pj->uChecksum &&
                 now.nItems == pj->nItems && now.nSubs == pj->nSubs;
    freeJournal(&now);
    return bSame;
}

static bool isTakeable(const JournalItem *pItem) {
    return pItem->chHow == JOURNAL_COPIED || pItem->chHow == JOURNAL_MOVED;
}

bool journalSummary(size_t *pnItems, bool *pbMove, Str *pstrDest) {
    Journal journal;
    if (readJournal(&journal) != JOURNAL_READ)
        return false;
    size_t n = 0;
    for (size_t i = 0; i < journal.nItems; i++)
        n += isTakeable(&journal.pItems[i]);
    char szDest[PATH_BYTES];
    bool bOk =
        n > 0 &&
        WideCharToMultiByte(CP_ACP, 0, journal.pszDest, -1, szDest, PATH_BYTES, NULL, NULL) > 0 &&
        assignStr(pstrDest, szDest) != NULL;
    *pnItems = n;
    *pbMove = journal.bMove;
    freeJournal(&journal);
    return bOk;
}

// ---------------------------------------------------------------- checks

static int compareSubs(const void *a, const void *b) {
    return wcscmp((*(const JournalSub *const *)a)->pszPath,
                  (*(const JournalSub *const *)b)->pszPath);
}

// The item's content sorted by path, in a new array; null when memory ran out.
static const JournalSub **sortedSubs(const Journal *pj, const JournalItem *pItem) {
    const JournalSub **subs = (const JournalSub **)calloc(pItem->nSubs + 1, sizeof(JournalSub *));
    if (subs == NULL)
        return NULL;
    for (size_t i = 0; i < pItem->nSubs; i++)
        subs[i] = &pj->pSubs[pItem->firstSub + i];
    qsort(subs, pItem->nSubs, sizeof(JournalSub *), compareSubs);
    return subs;
}

// Whether two file stamps tell one file and its copy: the same size, and
// times apart by no more than the medium's rounding.
static bool sameFile(const EntryStamp *a, const EntryStamp *b) {
    unsigned long long dt = a->time > b->time ? a->time - b->time : b->time - a->time;
    return a->chKind == STAMP_FILE && b->chKind == STAMP_FILE && a->size == b->size &&
           dt <= COPY_TIME_SLACK;
}

// Whether the tree at pszPath, read whole, holds the item's content: exactly
// (bExact: the copy as it was written, no link anywhere) or as its source
// (every entry of the copy there, of its kind, files of their size and time).
static bool holdsContent(const Journal *pj, const JournalItem *pItem, const WCHAR *pszPath,
                         bool bExact) {
    Listing tree = {};
    const JournalSub **subs = sortedSubs(pj, pItem);
    bool bSame = subs != NULL && listLong(pszPath, true, &tree) == WALK_DONE &&
                 (!bExact || tree.n == pItem->nSubs);
    sortListing(&tree, true);
    size_t k = 0;
    for (size_t i = 0; bSame && i < pItem->nSubs; i++) {
        while (!bExact && k < tree.n && wcscmp(listedName(&tree, &tree.p[k]), subs[i]->pszPath) < 0)
            k++;
        const EntryStamp *pNow = k < tree.n ? &tree.p[k].stamp : NULL;
        bSame = pNow != NULL && wcscmp(listedName(&tree, &tree.p[k]), subs[i]->pszPath) == 0 &&
                subs[i]->stamp.chKind != STAMP_LINK &&
                (bExact ? sameStamp(pNow, &subs[i]->stamp)
                        : pNow->chKind == subs[i]->stamp.chKind &&
                              (pNow->chKind != STAMP_FILE || sameFile(pNow, &subs[i]->stamp)));
        k++;
    }
    free(subs);
    freeListing(&tree);
    return bSame;
}

// Whether what stands at the item's name is still as it was written: the same
// kind, size and time, and for a folder the same content, with no link
// anywhere. A folder that cannot be listed whole counts as changed.
static bool isUnchanged(const Journal *pj, const JournalItem *pItem, const EntryStamp *pNow,
                        const WCHAR *pszCopy) {
    if (pNow->chKind == STAMP_LINK || !sameStamp(pNow, &pItem->stamp))
        return false;
    return pNow->chKind != STAMP_DIR || holdsContent(pj, pItem, pszCopy, true);
}

// What one plan has read: the destination's listing and the last origin
// folder's (the items of a transfer mostly come from one).
struct Check {
    const Journal *pj;
    UndoPlan *pp;
    const UndoPlan *pAsked; // the plan the user was asked about, when checking again
    Listing dest;
    WideText path; // the destination's path of the item at hand
    size_t cchFolder;
    Listing origins;
    WideText originFolder;
    int nOrigins; // listFolder's result for originFolder, -1: none listed
    bool bMixed;  // the journal holds moves and copies
};

// The origin's entry, found in its folder's listing; null when the listing
// does not tell it.
static const ListedEntry *findOrigin(Check *pc, const WCHAR *pszSource) {
    const WCHAR *pSep = wcsrchr(pszSource, L'\\');
    size_t cch = (size_t)(pSep - pszSource);
    if (pc->nOrigins < 0 || pc->originFolder.length != cch ||
        wcsncmp(pc->originFolder.p, pszSource, cch) != 0) {
        freeListing(&pc->origins);
        pc->originFolder.length = 0;
        pc->nOrigins = appendWide(&pc->originFolder, pszSource, cch)
                           ? listLong(pc->originFolder.p, false, &pc->origins)
                           : WALK_UNKNOWN;
        sortListing(&pc->origins, false);
    }
    return pc->nOrigins == WALK_DONE ? findListed(&pc->origins, pSep + 1) : NULL;
}

// Whether a copy's source is still there as it was sent: a file of the
// recorded size and time, or a folder holding all of the copy's content.
// Otherwise the copy is the only one.
static bool sourceHolds(Check *pc, const JournalItem *pItem) {
    const ListedEntry *pe = findOrigin(pc, pItem->pszSource);
    if (pItem->origin.chKind == STAMP_FILE) {
        if (pe != NULL && sameStamp(&pe->stamp, &pItem->origin))
            return true;
        WIN32_FILE_ATTRIBUTE_DATA data; // a listing may lag behind a file just written
        WIN32_FIND_DATAW fd = {};
        EntryStamp now;
        if (!GetFileAttributesExW(pItem->pszSource, GetFileExInfoStandard, &data))
            return false;
        fd.dwFileAttributes = data.dwFileAttributes;
        fd.nFileSizeHigh = data.nFileSizeHigh;
        fd.nFileSizeLow = data.nFileSizeLow;
        fd.ftLastWriteTime = data.ftLastWriteTime;
        stampOf(&fd, &now);
        return sameStamp(&now, &pItem->origin);
    }
    return pItem->origin.chKind == STAMP_DIR && pe != NULL && pe->stamp.chKind == STAMP_DIR &&
           holdsContent(pc->pj, pItem, pItem->pszSource, false);
}

// Whether the folder an origin is in is still there: the shell can lose an
// item that it moves into a folder that is gone.
static bool hasFolder(const WCHAR *pszPath) {
    WCHAR szFolder[MAX_PATH];
    wcscpy(szFolder, pszPath);
    WCHAR *pSep = wcsrchr(szFolder, L'\\');
    if (pSep == NULL)
        return false;
    pSep[pSep > szFolder && pSep[-1] == L':' ? 1 : 0] = 0; // a drive root keeps its backslash
    DWORD dwAttr = GetFileAttributesW(szFolder);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

// Why an undo leaves the item whose copy stands at pc->path now (pe: its
// entry); 0 when it takes it back.
static UINT whyLeft(Check *pc, const JournalItem *pItem, const ListedEntry *pe) {
    bool bMove = pItem->chHow == JOURNAL_MOVED;
    if (pItem->chHow == JOURNAL_OVER)
        return IDS_UNDO_EXISTED;
    if (pItem->chHow == JOURNAL_UNREAD)
        return IDS_UNDO_UNREAD;
    if (!isUnchanged(pc->pj, pItem, &pe->stamp, pc->path.p))
        return bMove ? IDS_UNDO_MOVED_CHANGED : IDS_UNDO_CHANGED;
    if (!bMove)
        return sourceHolds(pc, pItem) ? 0 : IDS_UNDO_ONLY_COPY;
    if (GetFileAttributesW(pItem->pszSource) != INVALID_FILE_ATTRIBUTES)
        return IDS_UNDO_TAKEN;
    return hasFolder(pItem->pszSource) ? 0 : IDS_UNDO_NO_FOLDER;
}

// ---------------------------------------------------------------- the plan

// One line of what is left alone: the name and, in brackets, why.
static bool addLeft(UndoPlan *pp, const WCHAR *pszPath, UINT uReason) {
    const WCHAR *pText = NULL;
    int cch = LoadStringW(GetModuleHandleW(NULL), uReason, (LPWSTR)&pText, 0);
    pp->nLeft++;
    return appendWide(&pp->left, pszPath, wcslen(pszPath)) &&
           (cch <= 0 || appendWide(&pp->left, pText, (size_t)cch)) &&
           appendWide(&pp->left, L"\r\n", 2);
}

// One item taken: into the operation's lists and the prompt's (a copy in a
// journal that also moves says where it goes).
static bool addTaken(Check *pc, int nTake, const JournalItem *pItem) {
    UndoPlan *pp = pc->pp;
    const WCHAR *pszShown = nTake == TAKE_BACK ? pItem->pszSource : pc->path.p;
    char szShown[PATH_BYTES];
    if (WideCharToMultiByte(CP_ACP, 0, pszShown, -1, szShown, PATH_BYTES, NULL, NULL) <= 0)
        return false;
    pp->nTake++;
    bool bOk;
    if (nTake == TAKE_BACK) {
        pp->nMoves++;
        bOk = appendWide(&pp->back, pc->path.p, pc->path.length + 1) &&
              appendText(&pp->backTo, pItem->pszSource) && appendWide(&pp->backTo, L"", 1);
    } else {
        pp->nCopies++;
        bOk = appendWide(&pp->copies, pc->path.p, pc->path.length + 1);
    }
    const char *pszWhere = !pc->bMixed || nTake == TAKE_BACK
                               ? ""
                               : loadText(nTake == TAKE_BIN ? IDS_UNDO_TO_BIN : IDS_UNDO_FOR_GOOD);
    return bOk && appendStr(&pp->strShown, szShown) != NULL &&
           appendStr(&pp->strShown, pszWhere) != NULL && appendStr(&pp->strShown, "\n") != NULL;
}

// The item at hand: taken, left (named, with why), or gone since.
static bool planItem(Check *pc, size_t i) {
    const JournalItem *pItem = &pc->pj->pItems[i];
    UndoPlan *pp = pc->pp;
    pc->path.length = pc->cchFolder;
    const ListedEntry *pe = findListed(&pc->dest, pItem->pszName);
    // The entry as it is spelt now: the one checked is the one acted on.
    if (!appendText(&pc->path, pe != NULL ? listedName(&pc->dest, pe) : pItem->pszName))
        return false;
    if (pe == NULL) // gone since, unless two names fold to this one
        return GetFileAttributesW(pc->path.p) == INVALID_FILE_ATTRIBUTES ||
               addLeft(pp, pc->path.p, IDS_UNDO_CHANGED);
    UINT uReason = whyLeft(pc, pItem, pe);
    int nTake = uReason != 0                    ? TAKE_NONE
                : pItem->chHow == JOURNAL_MOVED ? TAKE_BACK
                : pp->bNoBin                    ? TAKE_FOR_GOOD
                                                : TAKE_BIN;
    if (nTake != TAKE_NONE && pc->pAsked != NULL && pc->pAsked->pTake[i] != nTake) {
        nTake = TAKE_NONE; // not what the user was asked about
        uReason = IDS_UNDO_SINCE_ASKED;
    }
    pp->pTake[i] = (unsigned char)nTake;
    if (nTake != TAKE_NONE)
        return addTaken(pc, nTake, pItem);
    bool bOrigin = uReason == IDS_UNDO_TAKEN || uReason == IDS_UNDO_NO_FOLDER;
    return addLeft(pp, bOrigin ? pItem->pszSource : pc->path.p, uReason);
}

static bool hasRecycleBin(const WCHAR *pszRoot) {
    SHQUERYRBINFO info = {};
    info.cbSize = sizeof(info);
    return GetDriveTypeW(pszRoot) == DRIVE_FIXED && SUCCEEDED(SHQueryRecycleBinW(pszRoot, &info));
}

// Whether the copies in the destination can go to the Recycle Bin: asked
// once an undo, of the volume's root.
static bool destinationHasBin(const WCHAR *pszDest) {
    WCHAR szRoot[MAX_PATH];
    return GetVolumePathNameW(pszDest, szRoot, MAX_PATH) && pfnHasRecycleBin(szRoot);
}

// Every item named as left for one reason (the destination is another
// volume, or cannot be read).
static bool leaveAll(Check *pc, UINT uReason) {
    bool bOk = true;
    for (size_t i = 0; bOk && i < pc->pj->nItems; i++) {
        pc->path.length = pc->cchFolder;
        bOk = appendText(&pc->path, pc->pj->pItems[i].pszName) &&
              addLeft(pc->pp, pc->path.p, uReason);
    }
    return bOk;
}

static void scanJournal(Check *pc) {
    bool bMoved = false, bCopied = false;
    pc->pp->bOnlyOver = true;
    for (size_t i = 0; i < pc->pj->nItems; i++) {
        WCHAR chHow = pc->pj->pItems[i].chHow;
        bMoved = bMoved || chHow == JOURNAL_MOVED;
        bCopied = bCopied || chHow == JOURNAL_COPIED;
        pc->pp->bOnlyOver = pc->pp->bOnlyOver && chHow == JOURNAL_OVER;
    }
    pc->bMixed = bMoved && bCopied;
    if (bCopied)
        pc->pp->bNoBin =
            pc->pAsked != NULL ? pc->pAsked->bNoBin : !destinationHasBin(pc->pj->pszDest);
}

// The destination and its volume, then every item.
static bool planItems(Check *pc) {
    const Journal *pj = pc->pj;
    WCHAR szVolume[VOLUME_ID_CCH];
    if (!volumeIdentity(pj->pszDest, szVolume) || compareNames(szVolume, pj->pszVolume) != 0)
        return leaveAll(pc, IDS_UNDO_OTHER_VOLUME);
    // One listing of the destination tells what is there and how it is.
    if (listLong(pj->pszDest, false, &pc->dest) != WALK_DONE)
        return leaveAll(pc, IDS_UNDO_CHANGED);
    sortListing(&pc->dest, false);
    bool bOk = true;
    for (size_t i = 0; bOk && i < pj->nItems; i++)
        bOk = planItem(pc, i);
    return bOk;
}

static bool planAgainst(const Journal *pj, UndoPlan *pp, const UndoPlan *pAsked) {
    memset(pp, 0, sizeof(*pp));
    Check check = {pj, pp, pAsked, {}, {}, 0, {}, {}, -1, false};
    pp->pTake = (unsigned char *)calloc(pj->nItems + 1, 1);
    size_t cchDest = wcslen(pj->pszDest);
    bool bOk = pp->pTake != NULL && appendWide(&check.path, pj->pszDest, cchDest) &&
               (pj->pszDest[cchDest - 1] == L'\\' || appendWide(&check.path, L"\\", 1));
    check.cchFolder = check.path.length;
    scanJournal(&check);
    // A destination that is gone, or is no longer a folder of its own, holds
    // nothing of the transfer.
    DWORD dwDest = GetFileAttributesW(pj->pszDest);
    if (bOk && dwDest != INVALID_FILE_ATTRIBUTES && (dwDest & FILE_ATTRIBUTE_DIRECTORY) &&
        !(dwDest & FILE_ATTRIBUTE_REPARSE_POINT))
        bOk = planItems(&check);
    freeListing(&check.dest);
    freeListing(&check.origins);
    freeWide(&check.originFolder);
    freeWide(&check.path);
    if (!bOk)
        freePlan(pp);
    return bOk;
}

bool planUndo(const Journal *pj, UndoPlan *pp) {
    return planAgainst(pj, pp, NULL);
}

UINT undoPrompt(const UndoPlan *pp) {
    if (pp->nMoves > 0)
        return pp->nCopies > 0 ? IDS_UNDO_MIXED_PROMPT : IDS_UNDO_MOVE_PROMPT;
    return pp->bNoBin ? IDS_UNDO_COPY_NO_BIN : IDS_UNDO_COPY_PROMPT;
}

// ---------------------------------------------------------------- acting

static int runOperation(UINT wFunc, const WideText *pFrom, const WideText *pTo, FILEOP_FLAGS fFlags,
                        BOOL *pbAborted) {
    SHFILEOPSTRUCTW op = {};
    op.wFunc = wFunc;
    op.pFrom = pFrom->p;
    op.pTo = pTo != NULL ? pTo->p : NULL;
    op.fFlags = fFlags;
    int rc = pfnUndoOperation(&op);
    *pbAborted = *pbAborted || op.fAnyOperationsAborted;
    return rc;
}

// The plan checked again (*pNow, against *pAsked), then one operation: the
// moves back, or the copies deleted.
static int actAgain(const Journal *pj, const UndoPlan *pAsked, UndoPlan *pNow, bool bMoves,
                    BOOL *pbAborted) {
    freePlan(pNow);
    if (!planAgainst(pj, pNow, pAsked))
        return UNDO_NOT_DONE;
    // A move goes back pair by pair; the shell still asks before overwriting
    // what appears at an origin meanwhile.
    if (bMoves)
        return pNow->nMoves == 0 ? 0
                                 : runOperation(FO_MOVE, &pNow->back, &pNow->backTo,
                                                FOF_MULTIDESTFILES | FOF_NOCONFIRMMKDIR, pbAborted);
    // A copy goes to the Recycle Bin; the user has confirmed it already. The
    // shell still warns of a file that cannot go there; where the volume has
    // no bin the question said so.
    FILEOP_FLAGS fFlags =
        FOF_ALLOWUNDO | FOF_NOCONFIRMATION | (pNow->bNoBin ? 0 : FOF_WANTNUKEWARNING);
    return pNow->nCopies == 0 ? 0 : runOperation(FO_DELETE, &pNow->copies, NULL, fFlags, pbAborted);
}

int performUndo(const Journal *pj, UndoPlan *pp, BOOL *pbAborted) {
    *pbAborted = FALSE;
    HANDLE hLock = lockJournal();
    if (hLock == NULL)
        return UNDO_NOT_DONE;
    int rc = isStillJournal(pj) ? 0 : UNDO_JOURNAL_CHANGED;
    UndoPlan now = {};
    bool bChecked = false, bMovesStand = false;
    if (rc == 0 && pp->nMoves > 0) {
        rc = actAgain(pj, pp, &now, true, pbAborted);
        bChecked = true;
    }
    if (rc == 0 && pp->nCopies > 0) {
        rc = actAgain(pj, pp, &now, false, pbAborted);
        bChecked = true;
        bMovesStand = now.nMoves > 0; // the shell said it moved them, yet they stand
    }
    if (rc == 0 && bChecked && !*pbAborted && now.nLeft == 0 && !bMovesStand)
        deleteJournal(); // still the one read: recordings wait for the lock
    unlockJournal(hLock);
    if (bChecked && now.pTake != NULL) {
        freePlan(pp);
        *pp = now;
    } else {
        freePlan(&now);
    }
    return rc;
}

void freePlan(UndoPlan *pp) {
    freeWide(&pp->back);
    freeWide(&pp->backTo);
    freeWide(&pp->copies);
    freeWide(&pp->left);
    freeStr(&pp->strShown);
    free(pp->pTake);
    memset(pp, 0, sizeof(*pp));
}
