// Host stand-in for <shlobj.h>: the drop block's header as the shell lays it out.
#pragma once
#include <windows.h>

struct POINT {
    LONG x, y;
};

struct DROPFILES {
    DWORD pFiles; // offset of the names from the block's start
    POINT pt;
    BOOL fNC;
    BOOL fWide;
};
