// The journal of the last transfer as text: what undo needs to take it back
// (copy or move, the destination, each item's origin and name there, whether
// that name was there before, and the size and time of what was written).
// Only the format lives here, with no platform calls, so that the reader can
// be fuzzed as it is; the file itself is undo's.
#pragma once
#include <windows.h>
#include <stddef.h>
#include "listing.h" // the stamp: what a name was when it was written
#include "widetext.h"

// One sent item. A folder's copy lists its content in nSubs entries from firstSub.
struct JournalItem {
    const WCHAR *pszSource; // where it came from, absolute
    const WCHAR *pszName;   // its name in the destination, one component
    bool bExisted;          // that name was in the destination before the transfer
    EntryStamp stamp;
    size_t firstSub, nSubs;
};
struct JournalSub {
    const WCHAR *pszPath; // relative to the item's copy
    EntryStamp stamp;
};

struct Journal {
    bool bMove;
    const WCHAR *pszDest; // the destination folder, absolute
    JournalItem *pItems;
    size_t nItems;
    JournalSub *pSubs;
    size_t nSubs;
    WCHAR *pText; // the names above point into this copy of the text
};

// Writing: begin, items (each with its content when a folder was copied),
// end. False when memory ran out; the text is then not to be stored.
bool beginJournal(WideText *pt, bool bMove, const WCHAR *pszDest);
bool addJournalItem(WideText *pt, const JournalItem *pItem);
bool addJournalSub(WideText *pt, const JournalSub *pSub);
bool endJournal(WideText *pt);

// Reads a journal (UTF-16LE bytes, as stored) into *pj. False, with *pj
// empty, for anything not written by the rules above: a damaged, cut or
// hostile journal is refused whole. Names are absolute, without ".", "..",
// wildcards or stream names, and items are not named twice.
bool parseJournal(const unsigned char *p, size_t cb, Journal *pj);
void freeJournal(Journal *pj);

// Whether the text is one name the file system takes as written: no
// separator, wildcard, device name, trailing dot or blank.
bool isPlainName(const WCHAR *psz, size_t cch);
// An absolute path, X:\names or \\server\share\names, of plain names
// and shorter than MAX_PATH; bFolder allows the root of a drive or share.
bool isAbsolutePath(const WCHAR *psz, size_t cch, bool bFolder);
