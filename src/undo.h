// Undo of the last transfer: its journal under %LOCALAPPDATA%\Porterly,
// written after each transfer that wrote anything and read back as untrusted
// input, and the plan and file operation that take the transfer back. The
// driver asks the user in between; nothing here calls back into it.
#pragma once
#include <windows.h>
#include "journal.h"
#include "plan.h"
#include "portystr.h"

// Records what the transfer wrote, as its completed plan tells: each item
// by the name it was written to, whether that name was free before, and how
// its copy stands now. Nothing is written when no name that was free before
// holds the transfer's copy now: the last journal is kept then.
void recordTransfer(const TransferPlan *pPlan);

#define JOURNAL_NONE    0
#define JOURNAL_READ    1
#define JOURNAL_DAMAGED 2
int readJournal(Journal *pj);
void clearJournal();
// The menu's view of the journal: how many items went where, and how.
bool journalSummary(size_t *pnItems, bool *pbMove, Str *pstrDest);

// What an undo will do and what it leaves alone, as found on disk now.
struct UndoPlan {
    WideText from, to; // the file operation's lists, each name ended by a NUL
    Str strShown;      // what goes back, one per line ("\n"), for the prompt
    WideText left;     // what is left alone, a line each with the reason
    unsigned int nTake, nLeft;
};
// False when memory ran out: nothing may be done then.
bool planUndo(const Journal *pj, UndoPlan *pp);
// The copies into the Recycle Bin, or the moved items back, in one file
// operation; the shell's result.
int performUndo(const Journal *pj, UndoPlan *pp, BOOL *pbAborted);
void freePlan(UndoPlan *pp);
