// The transfer driver and the settings store: the program's entry, its main
// loop around the chooser, the confirmed copy or move, and the registry.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include "favourites.h"
#include "portystr.h"
#include "version.h"

// Caption of the chooser and of every message box.
#define APP_TITLE PORTERLY_TITLE

// Option bits of Settings::dwFlags.
#define OPT_NOTIFY           0x001
#define OPT_SILENT_OVERWRITE 0x002
#define OPT_NO_OVERWRITE     0x004
#define OPT_OPEN_FOLDER      0x008
#define OPT_OPEN_CURRENT     0x010
#define OPT_OPEN_HISTORY     0x020
#define OPT_NO_CONFIRM       0x040
#define OPT_MOVE             0x080 // set by the chooser's Move button only, never stored
#define OPT_CLEAR_READONLY   0x100
#define OPT_VERIFY           0x200
#define OPT_UNDO             0x400 // set by the jump menu's undo entry only, never stored
// Bits that only end the chooser; the registry never gives or keeps them.
#define OPT_RUN_ONLY (OPT_MOVE | OPT_UNDO)

#define HISTORY_COUNT 10

// Shared by the driver and the chooser for the whole run.
struct Settings {
    HKEY hKey;                   // the open settings key
    Str tstrPath[HISTORY_COUNT]; // recent destinations, newest first
    DWORD dwFlags;               // option bits
    HINSTANCE hInstance;         // the program's module
    Str *pstrFiles;              // the source list, owned by the driver
    Favourites favourites;       // pinned destinations, above the recent ones
};

LONG readReg(Settings *pSettings);
LONG saveOption(Settings *pSettings);
LONG reloadOption(Settings *pSettings);

// The driver once the sources are known: the chooser, the confirmation, the
// transfer, the history and the post-actions, as every route into the program
// runs them. nItems counts the items of the list (one per line), or is an
// error of the splitter or a drop; pszForeign, when not null, names the items
// the code page cannot hold (or, with DRIVER_BAD_NAME, that the shell would
// read as others), and the run ends with them. Returns the exit status: 1
// when a verified transfer was not proven whole, else 0.
int runDriver(HINSTANCE hInstance, Str *pstrFiles, int nItems, WCHAR *pszForeign);

// The folder path of an item into PATH_BYTES at pszPath ("" unless
// PATH_OK) and, as the shell gave it, into MAX_PATH wide characters at
// pszWide. PATH_FOREIGN: the code page cannot hold it.
int pathFromIdList(LPCITEMIDLIST pidl, char *pszPath, WCHAR *pszWide);
#define PATH_OK      0
#define PATH_NONE    1
#define PATH_FOREIGN 2

// Messages the chooser shares: items whose names the ANSI code page cannot
// hold (one per line in pszNames), and the string-failure message.
void showUnrepresentable(HWND hOwner, const WCHAR *pszNames, BOOL bDropped);
// Items whose names the shell would read as others (isExactPath), likewise.
void showBadNames(HWND hOwner, const WCHAR *pszNames, BOOL bDropped);
void showStringError(HWND hOwner);
// A path longer than the file operation takes is refused, never cut: the
// message names each (one per line in pszNames).
void showTooLong(HWND hOwner, const char *pszNames);
// Whether every newline-ended item of the list from byte uFrom on fits the
// file operation; when not, the message names those that do not.
bool fitsOrShow(HWND hOwner, Str *pstrList, unsigned int uFrom);

// Test seams: the shell services whose effects a test wants to see or avoid.
extern int(WINAPI *pfnFileOperation)(LPSHFILEOPSTRUCTA);
extern HINSTANCE(WINAPI *pfnShellExecute)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
