// Reading the blocks a drop hands over: DROPFILES (CF_HDROP) into the source
// list, for the chooser's drop target and the drop-target server, and the
// shell's ID-list array (CFSTR_SHELLIDLIST), checked before the server reads it.
#pragma once
#include "portystr.h"

// What became of a drop. A drop is taken whole or not at all.
// DROP_FOREIGN: a name the ANSI code page cannot hold. DROP_BAD_NAME: a name
// the shell would read as another item (isExactPath).
enum DropResult { DROP_ADDED, DROP_MALFORMED, DROP_NO_ROOM, DROP_FOREIGN, DROP_BAD_NAME };

// Appends the names of the drop block (cbBlock bytes) to the list, the last
// dropped first, each followed by a newline: the same bytes DragQueryFileA
// gives. The list is left as it was unless every name is added. On
// DROP_FOREIGN and DROP_BAD_NAME, *ppszNamed lists the names refused, as wide
// text, one per line (the caller frees it).
DropResult appendDropped(Str *pstrList, const BYTE *pBlock, SIZE_T cbBlock, WCHAR **ppszNamed);

// The number of names in a drop block, or -1 for a block that is not one.
int countDropped(const BYTE *pBlock, SIZE_T cbBlock);

// Checks a shell ID-list array (CIDA) of cbBlock bytes: the folder's list and
// every item's lie whole inside the block, each a chain of item IDs ended by a
// zero size. Returns the number of items, or -1 for a block that is not one.
int checkIdListArray(const BYTE *pBlock, SIZE_T cbBlock);
