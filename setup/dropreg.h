// Registering porterly.exe as the shell's drop target for Send To: its App
// Paths entry naming the drop-target class, and the class as a local server.
#pragma once
#include <windows.h>

// Writes the App Paths entry (for the current user) and the class under
// hClassRoot\Software\Classes (the current user's for an install; the tests
// use the machine's, the only one Wine's COM reads). pszProgram is the full
// path of porterly.exe. FALSE when a value could not be written.
BOOL registerDropTarget(HKEY hClassRoot, const char *pszProgram);
// Removes exactly those values, each only when it points to pszProgram, and
// the keys they leave empty. FALSE when one of ours could not be removed.
BOOL unregisterDropTarget(HKEY hClassRoot, const char *pszProgram);

// What the App Paths entry names. As with the shortcut, any file named
// porterly.exe is a copy of Porterly; anything else, or a value that cannot
// be read, is another program's. The named path goes to pszProgram
// (3 * MAX_PATH bytes); pszThis is this copy's porterly.exe.
enum AppPathState { APP_PATH_NONE, APP_PATH_THIS, APP_PATH_COPY, APP_PATH_FOREIGN };
AppPathState readAppPath(char *pszProgram, const char *pszThis);
