// The confirmation of a transfer (and of its undo): the prompt, with the
// destination and the list, in a message box, or for a long list in the
// scrolling dialog (template 106).
#pragma once
#include <windows.h>
#include "portystr.h"

// Lists longer than this are confirmed in the scrolling dialog.
#define DIALOG_MIN_ITEMS 10
#define DIALOG_MIN_BYTES 2600

// pszFormat takes the destination and the list (newline-ended items).
// Returns IDYES, IDNO, IDCANCEL, 3 when the text cannot be built, or another
// value when the dialog cannot be shown.
int confirmList(HINSTANCE hInstance, const char *pszFormat, Str *pstrFiles, int nItems,
                Str *pstrDest);
