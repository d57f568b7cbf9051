// Reading a drop block (DROPFILES, as the shell hands it with CF_HDROP) into
// the source list: the chooser's drop target uses it.
#pragma once
#include "portystr.h"

// What became of a drop. A drop is taken whole or not at all.
// DROP_BAD_NAME: a name holds a "/" or a "." or ".." component, which the
// shell would read as another path than the one written.
enum DropResult { DROP_ADDED, DROP_MALFORMED, DROP_NO_ROOM, DROP_FOREIGN, DROP_BAD_NAME };

// Appends the names of the drop block (cbBlock bytes) to the list, the last
// dropped first, each followed by a newline: the same bytes DragQueryFileA
// gives. The list is left as it was unless every name is added. On
// DROP_FOREIGN, *ppszForeign lists the wide names that the ANSI code page
// cannot hold, one per line (the caller frees it).
DropResult appendDropped(Str *pstrList, const BYTE *pBlock, SIZE_T cbBlock, WCHAR **ppszForeign);
