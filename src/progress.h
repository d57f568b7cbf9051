// A progress window for work that runs on the driver's thread after the file
// operation: shown only once the work has taken half a second, with one line
// of text and a Cancel button.
#pragma once
#include <windows.h>

// The state of one run of work; all zero before startProgress.
struct Progress {
    DWORD dwStart;         // when the work began
    DWORD dwShown;         // when the text was last shown
    HWND hWnd;             // the window, once shown
    bool bNoWindow;        // the window could not be made: go on without it
    bool bCancelled;       // the user pressed Cancel
    const char *pszCancel; // the Cancel button's caption
};

// pszCancel, the button's caption, is kept until endProgress.
void startProgress(Progress *pp, const char *pszCancel);
// Called at each step of the work. Once the work has taken long enough it
// shows the window, and every tenth of a second sets its text from pszFormat
// (a string-table text with printf arguments) and lets it answer. False once
// the user cancelled.
bool stepProgress(Progress *pp, const char *pszFormat, ...);
// Removes the window; whether the user cancelled stays in bCancelled.
void endProgress(Progress *pp);

// Test seam: the clock the window goes by.
extern DWORD(WINAPI *pfnTickCount)(void);
