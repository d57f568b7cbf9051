// The in-memory drive C: that answers the splitter's file-system calls on the
// Linux host (see fakefs.cpp), and what the fuzzer uses to shape it.
#pragma once
#include <windows.h>

// Empties the drive down to its root folder C:\, the current folder, with
// names in code page cp (932, or 65001 for UTF-8).
void fsReset(unsigned cp);
// Adds an entry by its path below C:\ (backslash-separated, in the drive's
// code page),
// making missing folders on the way; an entry ending in a backslash is a
// folder. Names that are not 8.3 get an alias. Returns false, adding nothing
// more, for a name Windows would refuse or that clashes with an entry of the
// other kind.
bool fsAdd(const char *pszPath);
// Makes an existing folder (a full path such as C:\work) the current folder.
bool fsSetCwd(const char *pszPath);
// Search handles opened by FindFirstFileA and not yet closed.
int fsOpenHandles();
// Whether the shell acts on exactly the item the path names, written plainly:
// absolute, no wildcard, control character, < > " | or colon but the drive's,
// no component empty or ending in a dot or a blank. bWritten: a path as
// written, which may also be relative and hold "/", "." and "..".
bool fsExactPath(const char *pszPath, bool bWritten);
