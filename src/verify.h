// Proof of a transfer: every file that the transfer wrote is compared with its
// source, byte for byte, reading the copy past the system cache; a move across
// volumes deletes only the sources that were proven.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include "plan.h"

typedef int(WINAPI *FileOperationProc)(LPSHFILEOPSTRUCTA);

// Whether every item of the list (NUL-separated, ended by an empty path) lies
// on the volume of the folder pszDest, by volume serial. False when one of
// them cannot be told: such a move is then proven like any other.
bool onOneVolume(const char *pszList, const char *pszDest);

// What the driver hands over once the shell's file operation returned 0.
struct VerifyRequest {
    const TransferPlan *pPlan;          // what was sent, and where it was written
    bool bMove;                         // the sources go once proven
    bool bNotify;                       // say how many files were verified
    FileOperationProc pfnFileOperation; // deletes the proven sources
};

// Compares what was sent with what was written and tells the user: a warning
// naming what differs or cannot be read, or the notice. For a move, deletes
// the sources that were proven, in one file operation. Returns the run's exit
// status: 0 when everything was proven, else 1.
int verifyTransfer(const VerifyRequest *pRequest);
