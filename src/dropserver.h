// The drop-target server: porterly.exe started by COM (-Embedding) serves the
// shell a drop target that takes the whole selection, with no command line and
// so no length limit, then runs the ordinary driver on it.
#pragma once
#include <windows.h>

// Serves the class until a drop has been handled, or until the drag has made
// no call for the whole wait. Returns the process's exit status.
int runDropServer(HINSTANCE hInstance);
