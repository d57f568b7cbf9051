// The destination chooser: the shell's folder browser extended with Copy, Move,
// Settings, New and Rename buttons, an options panel, a jump menu and a drop target.
#pragma once
#include <windows.h>
#include <shlobj.h>

struct Settings;

// Shows the chooser; returns the chosen folder (the caller frees it with the
// shell's allocator) or null when the user cancelled.
LPITEMIDLIST GuiMain(Settings *pSettings);
