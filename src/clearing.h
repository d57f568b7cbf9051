// The read-only clearing after a transfer (option 0x100): what the transfer
// wrote, as its plan tells, loses its read-only bit, at every depth of a
// folder's copy; nothing that was there before, and nothing through a link.
#pragma once
#include "plan.h"

// Clears what a whole transfer wrote; a progress window once it takes long,
// and a note when the user cancelled there. Returns how many read-only
// entries kept their bit.
unsigned int ChangeFileAttr(const TransferPlan *pPlan);

// Test seam: the attribute write.
extern BOOL(WINAPI *pfnSetAttributes)(LPCWSTR, DWORD);
