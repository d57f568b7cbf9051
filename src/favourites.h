// Pinned destinations: up to ten folders that the jump menu lists above the
// recent ones until the user unpins them. They live beside the history under
// the settings key, in one multi-string value of their own, kept wide so that
// a name in any script survives whichever code page a run has.
#pragma once
#include <windows.h>

#define FAVOURITE_COUNT 10

struct Favourites {
    int nCount;                              // entries in use, from index 0
    WCHAR szPath[FAVOURITE_COUNT][MAX_PATH]; // in the order pinned, each under MAX_PATH units
};

// Loads the stored list into pFav. A value that is absent, of another type,
// larger than ten paths or of an odd size gives an empty list; an entry that
// is too long, not an exact absolute path (isExactPath) or a repeat is left
// out. Entries past the tenth are ignored.
void readFavourites(HKEY hKey, Favourites *pFav);

// The index of the entry naming the folder pszPath (ANSI, the process's code
// page; letter case aside), or -1.
int findFavourite(const Favourites *pFav, const char *pszPath);

// Pins or unpins the folder pszPath (ANSI). Each first reads the stored list
// again (another run may have changed it), then writes it at once; pFav then
// holds what is stored. Nothing changes in memory when the write fails.
#define PIN_DONE   0 // done (or nothing to do)
#define PIN_FULL   1 // ten are pinned already
#define PIN_FAILED 2 // the path cannot be taken or the store cannot be written
int pinFavourite(HKEY hKey, Favourites *pFav, const char *pszPath);
int unpinFavourite(HKEY hKey, Favourites *pFav, const char *pszPath);
// Unpins every favourite that cannot be chosen now (checkFavourites), as
// found at that moment: a folder that came back meanwhile stays.
int pruneFavourites(HKEY hKey, Favourites *pFav);

// Whether each favourite can be chosen now (into pbThere[0 .. nCount - 1]):
// the code page holds its name and it exists as a folder. A network folder
// counts as there without a look: an unreachable server would hold the menu
// for many seconds.
void checkFavourites(const Favourites *pFav, bool *pbThere);
