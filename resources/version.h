// The program's version, the one place it is written. The resource scripts,
// the window and message captions and scripts/release.sh all take it from
// here; the text form shows the patch number in two digits ("4.63.00").
#pragma once

#define PORTERLY_VER_MAJOR 4
#define PORTERLY_VER_MINOR 63
#define PORTERLY_VER_PATCH 0

#define PORTERLY_STR2(x) #x
#define PORTERLY_STR(x)  PORTERLY_STR2(x)
#if PORTERLY_VER_PATCH < 10
#define PORTERLY_PATCH_TEXT "0" PORTERLY_STR(PORTERLY_VER_PATCH)
#else
#define PORTERLY_PATCH_TEXT PORTERLY_STR(PORTERLY_VER_PATCH)
#endif

#define PORTERLY_VERSION \
    PORTERLY_STR(PORTERLY_VER_MAJOR) "." PORTERLY_STR(PORTERLY_VER_MINOR) "." PORTERLY_PATCH_TEXT
// Caption of the chooser, the dialogs and every message box.
#define PORTERLY_TITLE "Porterly ver." PORTERLY_VERSION
// FILEVERSION and PRODUCTVERSION of the version records.
#define PORTERLY_VERSION_NUMBERS PORTERLY_VER_MAJOR, PORTERLY_VER_MINOR, PORTERLY_VER_PATCH, 0
