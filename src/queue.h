// Transfers that share a disk run one at a time, in order of arrival, across
// every Porterly process of the user's session. No process stays resident:
// each takes its place in a small shared record guarded by a session-wide
// mutex, and a transfer that must wait shows a window with "start now" and
// Cancel until those ahead of it have ended.
#pragma once
#include <windows.h>
#include "journal.h"
#include "undo.h"

struct QueueRecord;

// One transfer's place, held from enterQueue to leaveQueue.
struct QueuePlace {
    HANDLE hLock, hMap;
    HANDLE hPlace; // the place's own mutex, held while the place is
    QueueRecord *pRecord;
    PSECURITY_DESCRIPTOR pSecurity; // the objects' descriptor, for the wake event
    unsigned int nSlot;
    ULONGLONG ullArrival; // 0: no place is held
    bool bWaited;         // the place did not run at once
    WCHAR szPrefix[160];  // the objects' common name
};

// Takes the place of a transfer of the newline-ended items of pszList into
// pszDest, after its confirmation, and waits for its turn. A move within one
// volume is a rename and takes no place. False when the user cancelled in the
// waiting window: nothing may be transferred then. Where the queue cannot be
// had the transfer runs at once, as without it.
bool enterQueue(QueuePlace *pp, const char *pszList, const char *pszDest, bool bMove);
// The same for the undo of the journal's transfer, once confirmed; undo
// checks each item again under its own lock right before it acts, so what
// the transfers ahead changed meanwhile is left and named.
#define QUEUE_GO        0
#define QUEUE_CANCELLED 1
int enterUndoQueue(QueuePlace *pp, const Journal *pj);
// Gives the place up (also when none was taken) and wakes those who wait.
void leaveQueue(QueuePlace *pp);

// Test seam: the disks under a volume (its root, "X:\", a mounted folder
// or "\\server\share\"), as keys into pKeys (at most nMax); their count.
#define QUEUE_VOLUME_DISKS 4
typedef int (*DisksOfVolumeProc)(const WCHAR *pszVolume, ULONGLONG *pKeys, int nMax);
extern DisksOfVolumeProc pfnDisksOfVolume;
