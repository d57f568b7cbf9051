// Growable wide text: the one buffer in which names, journals and messages
// are put together in UTF-16, whatever the process's code page. No platform
// calls, so that the journal's reader can be fuzzed on any host.
#pragma once
#include <windows.h>
#include <stddef.h>

// The all-zero record is the empty text; p stays NUL-terminated once used.
struct WideText {
    WCHAR *p;
    size_t length, capacity;
};

// Appends cch units (NULs among them, when asked). False when memory ran
// out; the text is then as it was.
bool appendWide(WideText *pt, const WCHAR *psz, size_t cch);
// Appends a NUL-terminated text without its NUL.
bool appendText(WideText *pt, const WCHAR *psz);
void freeWide(WideText *pt);
