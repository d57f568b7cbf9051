// A path in hand: text pasted into the chooser or typed into its path dialog,
// turned into the folder to select under the rules of every other door, or
// refused with a message that names it.
#pragma once
#include <windows.h>

#define TYPED_FOLDER    0 // pszFolder names the folder (a file's path gives its folder)
#define TYPED_EMPTY     1 // nothing but blanks and quotes
#define TYPED_FOREIGN   2 // the code page cannot hold it
#define TYPED_BAD_NAME  3 // relative, or the shell would read it as another item (isExactPath)
#define TYPED_TOO_LONG  4 // longer than the file operation takes
#define TYPED_MISSING   5 // no such folder or file
#define TYPED_NO_MEMORY 6

// Takes the text as given: surrounding blanks and one pair of surrounding
// double quotes dropped (as Explorer's "Copy as path" gives it), a trailing
// backslash dropped but a root's, environment variables expanded, short
// names made long. pszFolder (PATH_BYTES) receives the folder in the
// process's code page, "" unless TYPED_FOLDER. *ppszChecked receives the
// path as checked, for the message (free() it; null without memory).
int resolveTypedPath(const WCHAR *pszText, char *pszFolder, WCHAR **ppszChecked);

// The message for a result other than TYPED_FOLDER, naming the path.
// TYPED_NOT_SHOWN: the path was right but the chooser's tree would not
// select it.
#define TYPED_NOT_SHOWN 7
void showTypedPathRefused(HWND hOwner, int nResult, const WCHAR *pszChecked);

// The clipboard's text (free() it), or null when it holds none.
WCHAR *clipboardText(HWND hOwner);
