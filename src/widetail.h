// The command line as Windows gave it, wide: the check beside the splitter
// that no item is taken in a form the ANSI code page changed. The ANSI tail
// shows a name the code page cannot hold in a stand-in form (e-acute as e),
// which could name nothing, or another file.
#pragma once
#include <windows.h>

// The tail of the wide command line, past the program's name and the blanks
// after it, skipped as the start-up code skips them in the ANSI one.
WCHAR *wideTail();

// Lists, one per line, the items of the wide tail that hold characters the
// ANSI code page cannot represent. Null when there are none, or when there
// is no memory to tell (*pbNoMemory): the run must not go on with the
// changed names then. The caller frees the list.
WCHAR *unrepresentableItems(const WCHAR *pszTail, bool *pbNoMemory);
