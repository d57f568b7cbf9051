// The progress window of the work after a transfer (read-only clearing,
// verification): modeless, made from template IDD_PROGRESS once the work has
// run for PROGRESS_DELAY_MS, kept current on the work's own thread, which has
// no other window open then.
#include "progress.h"
#include "resource.h"
#include <stdarg.h>
#include <stdio.h>

#define PROGRESS_DELAY_MS  500
#define PROGRESS_UPDATE_MS 100

DWORD(WINAPI *pfnTickCount)(void) = GetTickCount;

static INT_PTR On_InitProgress(HWND hDlg, LPARAM lParam) {
    SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
    SetDlgItemTextA(hDlg, IDCANCEL, ((const Progress *)lParam)->pszCancel);
    return TRUE;
}

static INT_PTR On_ProgressCommand(HWND hDlg, WPARAM wParam) {
    if (LOWORD(wParam) != IDCANCEL)
        return FALSE;
    ((Progress *)GetWindowLongPtrA(hDlg, DWLP_USER))->bCancelled = true;
    return TRUE;
}

static INT_PTR CALLBACK ProgressProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return On_InitProgress(hDlg, lParam);
    case WM_COMMAND:
        return On_ProgressCommand(hDlg, wParam);
    default:
        return FALSE;
    }
}

void startProgress(Progress *pp, const char *pszCancel) {
    *pp = Progress();
    pp->pszCancel = pszCancel;
    pp->dwStart = pfnTickCount();
}

bool stepProgress(Progress *pp, const char *pszFormat, ...) {
    DWORD dwNow = pfnTickCount();
    if (pp->hWnd == NULL && !pp->bNoWindow && dwNow - pp->dwStart >= PROGRESS_DELAY_MS) {
        pp->hWnd = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_PROGRESS), NULL,
                                      ProgressProc, (LPARAM)pp);
        pp->bNoWindow = pp->hWnd == NULL;
        pp->dwShown = dwNow - PROGRESS_UPDATE_MS;
    }
    if (pp->hWnd != NULL && dwNow - pp->dwShown >= PROGRESS_UPDATE_MS) {
        char szText[256];
        va_list args;
        va_start(args, pszFormat);
        _vsnprintf(szText, sizeof(szText) - 1, pszFormat, args);
        va_end(args);
        szText[sizeof(szText) - 1] = '\0';
        SetDlgItemTextA(pp->hWnd, IDC_PROGRESSTEXT, szText);
        pp->dwShown = dwNow;
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageA(pp->hWnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    return !pp->bCancelled;
}

void endProgress(Progress *pp) {
    if (pp->hWnd != NULL)
        DestroyWindow(pp->hWnd);
    pp->hWnd = NULL;
}
