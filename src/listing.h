// Folders as the program reads them, wide so that no name is passed over for
// want of the code page: what an entry is (its stamp), the one walk of a
// folder tree (never through a link; a listing that fails or ends early
// leaves the folder unknown, never empty), and a folder's entries found by
// name, the exact name before one that differs only in case.
#pragma once
#include "widetext.h"

// What an entry is. chKind 0: nothing there.
#define STAMP_FILE 'f'
#define STAMP_DIR  'd'
#define STAMP_LINK 'l' // a junction or link: never walked into, never taken back
struct EntryStamp {
    WCHAR chKind;
    unsigned long long size; // files only
    unsigned long long time; // last write (FILETIME), files only
};
void stampOf(const WIN32_FIND_DATAW *pfd, EntryStamp *ps);
bool sameStamp(const EntryStamp *a, const EntryStamp *b);

// What a walk's callback answers for each entry.
#define WALK_NEXT 0 // go on with the next entry
#define WALK_INTO 1 // walk into this folder first (a link is never walked into)
#define WALK_STOP 2 // end the whole walk
// What a walk reports.
#define WALK_DONE    0
#define WALK_STOPPED 2
#define WALK_UNKNOWN 3 // a listing failed or ended early, or a path could not be built

// Called for each entry of a walk, "." included (it names the folder being
// listed), ".." never: pPath holds the entry's path, whose first cchTop units
// are the walk's own folder (the entry's path below it starts one unit on).
typedef int (*WalkProc)(void *pContext, WideText *pPath, size_t cchTop,
                        const WIN32_FIND_DATAW *pfd);
// Walks the folder whose path pPath holds (left as it was). Depth first, in
// the listing's order.
int walkFolder(WideText *pPath, WalkProc pfnEntry, void *pContext);

// A folder's entries (with bDeep its whole tree, names relative to it).
struct ListedEntry {
    size_t offName; // into names
    EntryStamp stamp;
    DWORD dwAttr;
};
struct Listing {
    ListedEntry *p;
    size_t n, capacity;
    WideText names;
};
// WALK_DONE, or WALK_UNKNOWN when the listing cannot be had whole.
int listFolder(const WCHAR *pszFolder, bool bDeep, Listing *pl);
// Sorts the entries by name, case ignored (findListed needs that order), or
// exactly (to compare two listings entry by entry).
void sortListing(Listing *pl, bool bExact);
const WCHAR *listedName(const Listing *pl, const ListedEntry *pe);
// The entry of that name: the one spelt exactly so, else the one entry that
// differs only in case; null when there is none, or several of them.
const ListedEntry *findListed(const Listing *pl, const WCHAR *pszName);
void freeListing(Listing *pl);
