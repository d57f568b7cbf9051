// Undo of the last transfer. After a transfer the destination is listed once
// and what the transfer wrote there goes into the journal (a folder's copy
// with all its content, so that a change inside it shows later). Undo reads
// the journal back, decides item by item what can be taken back exactly, and
// does it in one file operation; what it must leave alone is named.
#include "undo.h"
#include "resource.h"
#include "settingskey.h"
#include <shellapi.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const WCHAR szJournal[] = L"\\last-transfer.journal";
static const WCHAR szTemp[] = L"\\last-transfer.tmp";
// More than any journal of a real transfer holds.
#define MAX_JOURNAL_BYTES (256u << 20)

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

// ---------------------------------------------------------------- recording

// The content of a folder's copy, as sub lines; false when it cannot be
// listed whole.
static bool addContent(WideText *pt, const WCHAR *pszCopy) {
    Listing tree = {};
    bool bOk = listFolder(pszCopy, true, &tree) == WALK_DONE;
    for (size_t i = 0; bOk && i < tree.n; i++) {
        JournalSub sub = {listedName(&tree, &tree.p[i]), tree.p[i].stamp};
        bOk = addJournalSub(pt, &sub);
    }
    freeListing(&tree);
    return bOk;
}

static void storeJournal(const WideText *pt) {
    WCHAR szTempPath[MAX_PATH], szPath[MAX_PATH];
    if (!journalFile(szTempPath, szTemp, true) || !journalFile(szPath, szJournal, false))
        return;
    HANDLE h =
        CreateFileW(szTempPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD cbWritten = 0, cb = (DWORD)(pt->length * sizeof(WCHAR));
    bool bOk = WriteFile(h, pt->p, cb, &cbWritten, NULL) && cbWritten == cb && FlushFileBuffers(h);
    CloseHandle(h);
    if (!bOk ||
        !MoveFileExW(szTempPath, szPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileW(szTempPath);
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

// The item's line, and its copy's content; false only when memory ran out
// or a copied folder cannot be listed whole.
static bool addItem(WideText *pt, const TransferPlan *pp, const PlanItem *pi, bool *pbAny) {
    const WCHAR *pszSource = planText(pp, pi->offSource);
    if (!isAbsolutePath(pszSource, wcslen(pszSource), false))
        return true; // not a name undo could act on
    // Only what stands there as the transfer wrote it under a name that was
    // free can be taken back; a name several items went to was written over.
    bool bExisted = !pi->bWritten || pi->bShared || (!pi->bRenamed && pi->nBefore != BEFORE_FREE);
    JournalItem item = {pszSource, planText(pp, pi->offWritten), bExisted, pi->after, 0, 0};
    *pbAny = *pbAny || !bExisted;
    if (!addJournalItem(pt, &item))
        return false;
    if ((pp->dwHow & PLAN_MOVE) || bExisted || pi->after.chKind != STAMP_DIR)
        return true;
    WideText copy = {};
    const WCHAR *pszDest = planText(pp, pp->offDest);
    size_t cchDest = wcslen(pszDest);
    bool bOk = appendWide(&copy, pszDest, cchDest) &&
               (pszDest[cchDest - 1] == L'\\' || appendWide(&copy, L"\\", 1)) &&
               appendText(&copy, item.pszName) && addContent(pt, copy.p);
    freeWide(&copy);
    return bOk;
}

void recordTransfer(const TransferPlan *pp) {
    const WCHAR *pszDest = planText(pp, pp->offDest);
    if (!isAbsolutePath(pszDest, wcslen(pszDest), true))
        return;
    WideText text = {};
    bool bAny = false;
    bool bOk = beginJournal(&text, (pp->dwHow & PLAN_MOVE) != 0, pszDest);
    for (size_t i = 0; bOk && i < pp->nItems; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (!pi->bThere || pi->offWritten == 0 || (pi->bShared && isRecorded(pp, i)))
            continue; // not written, or the name is recorded already
        bOk = addItem(&text, pp, pi, &bAny);
    }
    // A transfer that skipped every name already there keeps the last journal.
    if (bOk && bAny && endJournal(&text))
        storeJournal(&text);
    freeWide(&text);
}

// ---------------------------------------------------------------- reading

int readJournal(Journal *pj) {
    memset(pj, 0, sizeof(*pj));
    WCHAR szPath[MAX_PATH];
    if (!journalFile(szPath, szJournal, false))
        return JOURNAL_NONE;
    HANDLE h = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
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

void clearJournal() {
    WCHAR szPath[MAX_PATH];
    if (journalFile(szPath, szJournal, false))
        DeleteFileW(szPath);
}

bool journalSummary(size_t *pnItems, bool *pbMove, Str *pstrDest) {
    Journal journal;
    if (readJournal(&journal) != JOURNAL_READ)
        return false;
    char szDest[PATH_BYTES];
    bool bOk =
        WideCharToMultiByte(CP_ACP, 0, journal.pszDest, -1, szDest, PATH_BYTES, NULL, NULL) > 0 &&
        assignStr(pstrDest, szDest) != NULL;
    *pnItems = journal.nItems;
    *pbMove = journal.bMove;
    freeJournal(&journal);
    return bOk;
}

// ---------------------------------------------------------------- the plan

static int compareSubs(const void *a, const void *b) {
    return wcscmp((*(const JournalSub *const *)a)->pszPath,
                  (*(const JournalSub *const *)b)->pszPath);
}

// Whether a copy is still as it was written: the same kind, size and time,
// and for a folder the same content, with no link anywhere. A folder that
// cannot be listed whole counts as changed.
static bool isUnchanged(const Journal *pj, const JournalItem *pItem, const EntryStamp *pNow,
                        const WCHAR *pszCopy) {
    if (pNow->chKind == STAMP_LINK || !sameStamp(pNow, &pItem->stamp))
        return false;
    if (pNow->chKind != STAMP_DIR)
        return true;
    Listing tree = {};
    const JournalSub **subs = (const JournalSub **)calloc(pItem->nSubs + 1, sizeof(JournalSub *));
    bool bSame =
        subs != NULL && listFolder(pszCopy, true, &tree) == WALK_DONE && tree.n == pItem->nSubs;
    for (size_t i = 0; bSame && i < pItem->nSubs; i++) {
        subs[i] = &pj->pSubs[pItem->firstSub + i];
        bSame = subs[i]->stamp.chKind != STAMP_LINK;
    }
    if (bSame) {
        sortListing(&tree, true);
        qsort(subs, pItem->nSubs, sizeof(JournalSub *), compareSubs);
    }
    for (size_t i = 0; bSame && i < tree.n; i++)
        bSame = wcscmp(listedName(&tree, &tree.p[i]), subs[i]->pszPath) == 0 &&
                sameStamp(&tree.p[i].stamp, &subs[i]->stamp);
    free(subs);
    freeListing(&tree);
    return bSame;
}

// One line of what is left alone: the name and, in brackets, why.
static bool addLeft(UndoPlan *pp, const WCHAR *pszPath, UINT uReason) {
    const WCHAR *pText = NULL;
    int cch = LoadStringW(GetModuleHandleW(NULL), uReason, (LPWSTR)&pText, 0);
    pp->nLeft++;
    return appendWide(&pp->left, pszPath, wcslen(pszPath)) &&
           (cch <= 0 || appendWide(&pp->left, pText, (size_t)cch)) &&
           appendWide(&pp->left, L"\r\n", 2);
}

static bool addTaken(UndoPlan *pp, const WCHAR *pszFrom, const WCHAR *pszTo) {
    char szShown[PATH_BYTES];
    const WCHAR *pszShown = pszTo != NULL ? pszTo : pszFrom;
    if (WideCharToMultiByte(CP_ACP, 0, pszShown, -1, szShown, PATH_BYTES, NULL, NULL) <= 0)
        return false;
    pp->nTake++;
    return appendWide(&pp->from, pszFrom, wcslen(pszFrom) + 1) &&
           (pszTo == NULL || appendWide(&pp->to, pszTo, wcslen(pszTo) + 1)) &&
           appendStr(&pp->strShown, szShown) != NULL && appendStr(&pp->strShown, "\n") != NULL;
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

bool planUndo(const Journal *pj, UndoPlan *pp) {
    memset(pp, 0, sizeof(*pp));
    // A destination that is gone, or is no longer a folder of its own, holds
    // nothing of the transfer.
    DWORD dwDest = GetFileAttributesW(pj->pszDest);
    if (dwDest == INVALID_FILE_ATTRIBUTES || !(dwDest & FILE_ATTRIBUTE_DIRECTORY) ||
        (dwDest & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    WideText path = {};
    size_t cchDest = wcslen(pj->pszDest);
    bool bOk = appendWide(&path, pj->pszDest, cchDest) &&
               (pj->pszDest[cchDest - 1] == L'\\' || appendWide(&path, L"\\", 1));
    size_t cchFolder = path.length;
    // One listing of the destination tells what is there and how it is.
    Listing dest = {};
    if (bOk)
        listFolder(pj->pszDest, false, &dest);
    sortListing(&dest, false);
    for (size_t i = 0; bOk && i < pj->nItems; i++) {
        const JournalItem *pItem = &pj->pItems[i];
        path.length = cchFolder;
        bOk = appendWide(&path, pItem->pszName, wcslen(pItem->pszName));
        const ListedEntry *pe = bOk ? findListed(&dest, pItem->pszName) : NULL;
        if (pe == NULL)
            continue; // gone since: nothing to take back
        if (pItem->bExisted)
            bOk = addLeft(pp, path.p, IDS_UNDO_EXISTED);
        else if (pj->bMove && GetFileAttributesW(pItem->pszSource) != INVALID_FILE_ATTRIBUTES)
            bOk = addLeft(pp, pItem->pszSource, IDS_UNDO_TAKEN);
        else if (pj->bMove && !hasFolder(pItem->pszSource))
            bOk = addLeft(pp, pItem->pszSource, IDS_UNDO_NO_FOLDER);
        else if (pj->bMove)
            bOk = addTaken(pp, path.p, pItem->pszSource);
        else if (!isUnchanged(pj, pItem, &pe->stamp, path.p))
            bOk = addLeft(pp, path.p, IDS_UNDO_CHANGED);
        else
            bOk = addTaken(pp, path.p, NULL);
    }
    freeListing(&dest);
    freeWide(&path);
    if (!bOk)
        freePlan(pp);
    return bOk;
}

int performUndo(const Journal *pj, UndoPlan *pp, BOOL *pbAborted) {
    SHFILEOPSTRUCTW op = {};
    op.wFunc = pj->bMove ? FO_MOVE : FO_DELETE;
    op.pFrom = pp->from.p;
    op.pTo = pj->bMove ? pp->to.p : NULL;
    // A copy goes to the Recycle Bin; the user has confirmed it already. A
    // move goes back pair by pair; the shell still asks before overwriting
    // what appeared since the plan.
    op.fFlags =
        pj->bMove ? FOF_MULTIDESTFILES | FOF_NOCONFIRMMKDIR : FOF_ALLOWUNDO | FOF_NOCONFIRMATION;
    int rc = SHFileOperationW(&op);
    *pbAborted = op.fAnyOperationsAborted;
    return rc;
}

void freePlan(UndoPlan *pp) {
    freeWide(&pp->from);
    freeWide(&pp->to);
    freeWide(&pp->left);
    freeStr(&pp->strShown);
    memset(pp, 0, sizeof(*pp));
}
