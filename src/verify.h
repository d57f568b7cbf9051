// Proof of a transfer: every file that the transfer wrote is flushed to its
// medium and compared with its source, byte for byte, reading the copy past
// the system cache; a move across volumes deletes each source the moment it
// is proven, and nothing else.
#pragma once
#include <windows.h>
#include "plan.h"

// Whether the items and the destination lie on one volume, by volume
// identity: each item on the volume of the folder that holds it (what a move
// renames), the destination on the volume it leads to. False when an identity
// cannot be told: such a move is then copied, proven and deleted.
bool onOneVolume(const TransferPlan *pPlan);

// What the driver hands over once the shell's file operation returned 0.
struct VerifyRequest {
    const TransferPlan *pPlan; // what was sent, and where it was written
    bool bMove;                // each source goes once proven
    bool bNotify;              // say how many files were verified
    bool bDeclined;            // the user declined items in the shell's question
};

// Compares what was sent with what was written and tells the user: a warning
// naming what differs or cannot be read, what was skipped, what was read
// through a cache and, for a move, what stays in the source; or the notice.
// Returns the run's exit status: 0 when everything was proven (and for a
// move, went), else 1.
int verifyTransfer(const VerifyRequest *pRequest);

// Test seam: flushes a copy to its medium before it is read back.
extern BOOL(WINAPI *pfnFlushFileBuffers)(HANDLE);
