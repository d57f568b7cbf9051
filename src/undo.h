// Undo of the last transfer: its journal under %LOCALAPPDATA%\Porterly,
// written after each transfer that wrote anything and read back as untrusted
// input, and the plan and file operations that take the transfer back. The
// driver asks the user in between; nothing here calls back into it.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include "journal.h"
#include "plan.h"
#include "portystr.h"

// Records what the transfer wrote, as its completed plan tells: each item
// by the name it was written to, how it went there, and how its copy and its
// source stand now. After a transfer that wrote anything the journal is that
// transfer's, or there is none (when it cannot be written); a transfer that
// wrote nothing keeps the last one. Waits while an undo is acting.
void recordTransfer(const TransferPlan *pPlan);

#define JOURNAL_NONE    0
#define JOURNAL_READ    1
#define JOURNAL_DAMAGED 2
int readJournal(Journal *pj);
// The menu's view of the journal: how many items can be taken back, to
// where, and how; false when there are none.
bool journalSummary(size_t *pnItems, bool *pbMove, Str *pstrDest);

// What an undo does with a journal item.
#define TAKE_NONE     0 // nothing: left alone, or gone since
#define TAKE_BIN      1 // its copy goes to the Recycle Bin
#define TAKE_FOR_GOOD 2 // its copy is deleted for good: the volume has no Recycle Bin
#define TAKE_BACK     3 // it is moved back to its origin

// What an undo will do and what it leaves alone, as found on disk now.
struct UndoPlan {
    WideText back, backTo; // the moves back, from and to, each name ended by a NUL
    WideText copies;       // the copies deleted, likewise
    Str strShown;          // what goes, one per line ("\n"), for the prompt
    WideText left;         // what is left alone, a line each with the reason
    unsigned char *pTake;  // TAKE_* for each journal item
    unsigned int nTake, nLeft, nMoves, nCopies;
    bool bNoBin;    // the destination's volume has no Recycle Bin
    bool bOnlyOver; // the transfer only wrote over names that were there
};
// False when memory ran out: nothing may be done then.
bool planUndo(const Journal *pj, UndoPlan *pp);
// The string table's prompt for the plan: its format takes the destination
// and strShown.
UINT undoPrompt(const UndoPlan *pp);

// performUndo's own results, beside the shell's.
#define UNDO_JOURNAL_CHANGED (-1) // another transfer was recorded meanwhile: nothing done
#define UNDO_NOT_DONE        (-2) // no memory, or no lock: nothing done
// Takes back what the user was asked about, once no transfer is being
// recorded: each item is checked again right before the one operation that
// acts on it, and only what is still as asked goes (moves back first, then
// the copies). The journal is cleared when everything went. *pp then holds
// the plan as last checked, whose left list names what stayed. The shell's
// result, or one of the above.
int performUndo(const Journal *pj, UndoPlan *pp, BOOL *pbAborted);
void freePlan(UndoPlan *pp);

// Test seams: whether the volume whose root is given has a Recycle Bin, and
// the shell's file operation that acts for the undo.
extern bool (*pfnHasRecycleBin)(const WCHAR *pszRoot);
extern int(WINAPI *pfnUndoOperation)(LPSHFILEOPSTRUCTW);
