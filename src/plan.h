// The plan of one transfer: a record for every sent item, made before the
// shell's operation (what was sent, and what its name in the destination held)
// and completed after it (the name the shell wrote it to, and what stands
// there now). The read-only clearing, the verification and the journal read
// the plan; none of them works out again what became of an item.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include "listing.h"
#include "portystr.h"

// A copy's time may be rounded by the medium (FAT keeps even seconds): a file
// and its copy differ in time by no more than this (FILETIME units).
#define COPY_TIME_SLACK 20000000ull

// What the item's name in the destination held before the transfer.
#define BEFORE_FREE  0 // nothing: what stands there afterwards is the item's copy
#define BEFORE_FILE  1 // a file, which the copy of a file writes over
#define BEFORE_MERGE 2 // a folder the item's folder merges into
#define BEFORE_OTHER 3 // what the item cannot replace (a link, or another kind): it stays
#define BEFORE_SELF  4 // the item itself: it stands in the destination
#define BEFORE_NONE  5 // no name the transfer writes: a drive's root, or not read

// How the plan is made.
#define PLAN_MOVE    0x1 // the items are moved
#define PLAN_RENAMES 0x2 // the shell is asked to rename on a collision
#define PLAN_MERGES  0x4 // note what a merging folder's copy writes (for the clearing)

struct PlanItem {
    const char *pszItem; // as sent: in the driver's NUL-separated list
    size_t offSource;    // the same, wide, in the plan's text
    size_t offName;      // its last component there ("" for a drive's root)
    EntryStamp source;   // what was sent (chKind 0: not found)
    DWORD dwAttr;        // and its attributes
    int nBefore;         // BEFORE_*
    EntryStamp there;    // what stood at its name before
    size_t offMerge;     // BEFORE_MERGE with PLAN_MERGES: its part of the plan's merge names
    bool bMergeNoted;    // that part is whole
    // Completed after the operation.
    size_t offWritten; // the name in the destination it was written to (0: "", none)
    bool bRenamed;     // a name other than its own (the shell's, or a copy beside itself)
    bool bThere;       // something stands at that name now
    bool bWritten;     // and it is the item's copy, as the transfer left it
    bool bShared;      // another item went to the same name
    EntryStamp after;  // what stands there now
    DWORD dwAfterAttr;
};

// Merge names: each a kind, the path below the destination and a NUL; an
// empty one ends an item's part.
#define MERGE_FILE   L'f' // a file the transfer writes there
#define MERGE_FOLDER L'n' // a folder that was not there: all of it is the transfer's

struct TransferPlan {
    DWORD dwHow;    // PLAN_*
    size_t offDest; // the destination, wide
    PlanItem *pItems;
    size_t nItems;
    size_t nSelf;    // items that stand in the destination
    WideText text;   // every name of the plan, each ended by a NUL; offset 0 is ""
    WideText merged; // the merge names
};

inline const WCHAR *planText(const TransferPlan *pp, size_t off) {
    return pp->text.p + off;
}

// Makes the plan of sending pszList (NUL-separated, ended by an empty item)
// into pszDest. A copy of an item beside itself gets a new name as Explorer
// gives it ("a - copy.txt" in the string table's words), free in the
// destination. False when memory ran out: nothing is to be transferred then.
bool makePlan(TransferPlan *pp, const char *pszList, const char *pszDest, DWORD dwHow);

// The shell's name lists: the items of the transfer's own operation (pstrMain
// stays empty when that is the whole list, as when nothing stands in the
// destination), and the copies beside themselves with their new names
// (FOF_MULTIDESTFILES); each name NUL-ended, a second NUL at the end. False
// when a list cannot be built whole.
bool planLists(const TransferPlan *pp, Str *pstrMain, Str *pstrSelfFrom, Str *pstrSelfTo);

// Completes the plan once the shell's operations returned, with the name
// mappings they handed back (SHNAMEMAPPINGW records, as the shell gives them
// to the ANSI call too; each may be null): one listing of the destination.
void completePlan(TransferPlan *pp, HANDLE hMappings, HANDLE hSelfMappings);

void freeTransferPlan(TransferPlan *pp);
