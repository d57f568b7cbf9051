// The drop-target server: porterly.exe started by COM (-Embedding) serves the
// shell a drop target that takes the whole selection, with no command line and
// so no length limit, and hands the list back for the ordinary driver.
#pragma once
#include <windows.h>
#include "portystr.h"

// A selection that named nothing (a drop of no items), as an item count.
#define DRIVER_NO_FILES (-5)
// A drop holding names that the shell would read as other items (named
// through pszForeign), as an item count.
#define DRIVER_BAD_NAME (-7)

// What a drop handed over: the list (each item followed by "\n"), its item
// count or an error (PARSE_NO_MEMORY, DRIVER_NO_FILES, or below zero for a
// malformed block), and, when not null, the names the code page cannot hold,
// one per line. The caller frees both.
struct DroppedList {
    Str strFiles;
    int nItems;
    WCHAR *pszForeign;
};

// How a server ended: a drop was read into the list; the drag left or no
// drop came in time; the class could not be served.
enum ServerResult { SERVER_DROPPED, SERVER_NO_DROP, SERVER_FAILED };

// Serves the class until a drop was read, or until the drag has made no call
// for the whole wait. The list is filled only for SERVER_DROPPED.
ServerResult runDropServer(DroppedList *pDropped);
