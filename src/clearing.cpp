// The read-only clearing (see clearing.h). Each entry's attributes are written
// back as they were read, without the read-only bit; a folder's own bit goes
// through its "." entry, as the listing gives it.
#include "clearing.h"
#include "progress.h"
#include "resource.h"
#include <stdio.h>
#include <wchar.h>

BOOL(WINAPI *pfnSetAttributes)(LPCWSTR, DWORD) = SetFileAttributesW;

// The state of one clearing run.
struct Clearing {
    Progress progress;
    unsigned int nDone; // entries whose bit was cleared
    unsigned int nKept; // read-only entries whose bit could not be cleared
};

// Clears one entry and counts it; false once the user cancelled.
static bool clearReadOnly(Clearing *pc, const WCHAR *pszPath, DWORD dwAttr) {
    if (!pfnSetAttributes(pszPath, dwAttr & ~(DWORD)FILE_ATTRIBUTE_READONLY) &&
        (dwAttr & FILE_ATTRIBUTE_READONLY))
        pc->nKept++;
    pc->nDone++;
    return stepProgress(&pc->progress, loadText(IDS_CLEARING), pc->nDone);
}

// Junctions and symbolic links lead out of what was transferred: they are
// neither walked into nor written through.
static int clearEntry(void *pContext, WideText *pPath, size_t, const WIN32_FIND_DATAW *pfd) {
    Clearing *pc = (Clearing *)pContext;
    DWORD dwAttr = pfd->dwFileAttributes;
    if (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT)
        return WALK_NEXT;
    if (!(dwAttr & FILE_ATTRIBUTE_DIRECTORY) || wcscmp(pfd->cFileName, L".") == 0)
        return clearReadOnly(pc, pPath->p, dwAttr) ? WALK_NEXT : WALK_STOP;
    return WALK_INTO;
}

// Everything inside the folder at pPath, at every depth, and the folder
// itself through its "." entry. False once cancelled.
static bool ChangeSubItemAttr(Clearing *pc, WideText *pPath) {
    return walkFolder(pPath, clearEntry, pc) != WALK_STOPPED;
}

// One entry of the destination, as it stands now: a file's bit, or a
// folder's whole tree. Anything else, or a link, stays.
static bool clearPath(Clearing *pc, WideText *pPath, WCHAR chKind, DWORD dwAttr) {
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    bool bFolder = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (bFolder != (chKind == STAMP_DIR))
        return true; // not what was written
    return bFolder ? ChangeSubItemAttr(pc, pPath) : clearReadOnly(pc, pPath->p, dwAttr);
}

static bool joinDest(WideText *pPath, const TransferPlan *pp, const WCHAR *pszName) {
    const WCHAR *pszDest = planText(pp, pp->offDest);
    size_t cch = wcslen(pszDest);
    pPath->length = 0;
    return appendWide(pPath, pszDest, cch) &&
           (cch == 0 || pszDest[cch - 1] == L'\\' || appendWide(pPath, L"\\", 1)) &&
           appendText(pPath, pszName);
}

// What the transfer wrote into a folder it merged with: the names noted
// before, each still of the kind noted. False once cancelled.
static bool clearMerged(Clearing *pc, const TransferPlan *pp, const PlanItem *pi, WideText *pPath) {
    bool bGoOn = true;
    for (const WCHAR *p = pp->merged.p + pi->offMerge; bGoOn && *p != 0; p += wcslen(p) + 1) {
        if (joinDest(pPath, pp, p + 1))
            bGoOn = clearPath(pc, pPath, *p == MERGE_FOLDER ? STAMP_DIR : STAMP_FILE,
                              GetFileAttributesW(pPath->p));
    }
    return bGoOn;
}

static void showCancelled(const Clearing *pc) {
    char szText[256];
    _snprintf(szText, sizeof(szText) - 1, loadText(IDS_CLEAR_CANCELLED), pc->nDone);
    szText[sizeof(szText) - 1] = '\0';
    showText(NULL, szText, MB_ICONINFORMATION);
}

unsigned int ChangeFileAttr(const TransferPlan *pp) {
    Clearing clearing = {};
    startProgress(&clearing.progress, loadText(IDS_CANCEL));
    WideText path = {};
    bool bGoOn = true;
    for (size_t i = 0; bGoOn && i < pp->nItems; i++) {
        const PlanItem *pi = &pp->pItems[i];
        if (pi->nBefore == BEFORE_MERGE && !pi->bRenamed) {
            if (pi->bMergeNoted && pi->bWritten)
                bGoOn = clearMerged(&clearing, pp, pi, &path);
        } else if (pi->bWritten && joinDest(&path, pp, planText(pp, pi->offWritten))) {
            bGoOn = clearPath(&clearing, &path, pi->after.chKind, pi->dwAfterAttr);
        }
    }
    freeWide(&path);
    endProgress(&clearing.progress);
    if (clearing.progress.bCancelled)
        showCancelled(&clearing);
    return clearing.nKept;
}
