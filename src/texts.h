// Texts in the process's code page (UTF-8, or 932 where Windows ignores the
// manifest's UTF-8 element): the string table's texts, wide names converted
// exactly, and the room a path takes. Shared by the program and the setup.
#pragma once
#include <windows.h>

// Bytes that a path of up to MAX_PATH - 1 UTF-16 units, the most the shell's
// file operation takes, needs in the process's code page with its NUL: three
// per unit in UTF-8 (a surrogate pair, two units, takes four), two in code
// page 932.
#define PATH_BYTES (3 * MAX_PATH)

// A text of the module's string table in the process's code page; "" when it
// cannot be had. Kept for the run: never freed.
const char *loadText(UINT uId);

// Whether the ANSI code page holds these cch wide characters exactly (no
// best-fit stand-in such as e for e-acute, no default character).
bool isAnsiText(const WCHAR *pszText, int cch);

// Converts a wide text into the ANSI code page, into cbOut bytes at pszOut.
// False, and "" there, when the code page cannot hold it exactly or it does
// not fit: a changed or cut path must never be acted on.
bool toAnsi(const WCHAR *pszText, char *pszOut, int cbOut);

// Two names compared as the file system compares them: ordinally, case
// ignored (a linguistic comparison takes a soft hyphen for nothing). Negative,
// zero or positive, for sorting.
int compareNames(const WCHAR *pszA, const WCHAR *pszB);

// Every message box of the program, captioned with its title; the answer.
int showText(HWND hOwner, const char *pszText, UINT uStyle);
int showWide(HWND hOwner, const WCHAR *pszText, UINT uStyle);
// The string table's text uId followed by the names (wide, a line each).
void showNamed(HWND hOwner, UINT uId, const WCHAR *pszNames, UINT uStyle);
