// The journal of the last transfer as text: what undo needs to take it back
// (copy or move, the destination and the volume it was on, each item's
// origin and name there, how it went there, and the size and time of what
// was written and of what was sent). Only the format lives here, with no
// platform calls, so that the reader can be fuzzed as it is; the file itself
// is undo's.
#pragma once
#include <windows.h>
#include <stddef.h>
#include "listing.h" // the stamp: what a name was when it was written
#include "volume.h"
#include "widetext.h"

// How an item went to its name in the destination.
#define JOURNAL_COPIED 'c' // copied to a name that was free
#define JOURNAL_MOVED  'm' // moved to a name that was free
#define JOURNAL_OVER   'w' // written over a name that was there, or one several items went to
#define JOURNAL_UNREAD 'u' // a folder whose content could not be read when it was written

// One sent item. A folder copied or moved to a free name lists its content
// in nSubs entries from firstSub.
struct JournalItem {
    const WCHAR *pszSource; // where it came from, absolute
    const WCHAR *pszName;   // its name in the destination, one component
    WCHAR chHow;            // JOURNAL_*
    EntryStamp stamp;       // what was written, as the transfer left it
    EntryStamp origin;      // what was sent, as it was before the transfer
    size_t firstSub, nSubs;
};
struct JournalSub {
    const WCHAR *pszPath; // relative to the item's copy
    EntryStamp stamp;
};

struct Journal {
    bool bMove;
    const WCHAR *pszDest;   // the destination folder, absolute
    const WCHAR *pszVolume; // the identity of its volume (volumeIdentity)
    JournalItem *pItems;
    size_t nItems;
    JournalSub *pSubs;
    size_t nSubs;
    unsigned int uChecksum; // the end line's: tells one journal from another
    WCHAR *pText;           // the names above point into this copy of the text
};

// Writing: begin, items (each with its content when a folder went to a free
// name), end. False when memory ran out; the text is then not to be stored.
bool beginJournal(WideText *pt, bool bMove, const WCHAR *pszDest, const WCHAR *pszVolume);
bool addJournalItem(WideText *pt, const JournalItem *pItem);
bool addJournalSub(WideText *pt, const JournalSub *pSub);
bool endJournal(WideText *pt);

// Reads a journal (UTF-16LE bytes, as stored) into *pj. False, with *pj
// empty, for anything not written by the rules above, an older version
// included: a damaged, cut or hostile journal is refused whole. Names are
// absolute, without ".", "..", wildcards or stream names, and no two items
// share a name or an origin, case ignored as compareNames ignores it.
bool parseJournal(const unsigned char *p, size_t cb, Journal *pj);
void freeJournal(Journal *pj);

// Whether the text is one name the file system takes as written: no
// separator, wildcard, device name, trailing dot or blank.
bool isPlainName(const WCHAR *psz, size_t cch);
// An absolute path, X:\names or \\server\share\names, of plain names
// and shorter than MAX_PATH; bFolder allows the root of a drive or share.
bool isAbsolutePath(const WCHAR *psz, size_t cch, bool bFolder);
