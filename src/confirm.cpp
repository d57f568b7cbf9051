// The confirmation (see confirm.h). The dialog finds its controls by their
// template texts and gives them their Japanese captions as it opens.
#include "confirm.h"
#include "resource.h"
#include <stdio.h>
#include <string.h>

// What the confirmation dialog shows; built on the caller's frame.
struct ConfirmParam {
    Str *pstrFiles;
    const char *pszFormat;
    Str *pstrDest;
};

static INT_PTR On_InitConfirm(HWND hDlg, const ConfirmParam *pParam) {
    Str *pstrFiles = pParam->pstrFiles;
    Str *pstrDest = pParam->pstrDest;
    unsigned int cbList = pstrFiles->buffer ? (unsigned int)strlen(pstrFiles->buffer) : 0;
    Str strText = {};
    // Room for the prompt, the list, and every newline becoming CR LF. The
    // prompt's own length: in UTF-8 it takes half as much again as in 932.
    unsigned int cbFormat = (unsigned int)strlen(pParam->pszFormat);
    if (resize(&strText, pstrDest->length + pstrFiles->length + cbList + cbFormat) == NULL) {
        EndDialog(hDlg, 3);
        return TRUE;
    }
    int n = _snprintf(strText.buffer, strText.capacity, pParam->pszFormat,
                      pstrDest->buffer ? pstrDest->buffer : "", "");
    char *p = strText.buffer + (n > 0 ? n : 0);
    for (unsigned int i = 0; i < cbList; i++) {
        if (pstrFiles->buffer[i] == '\n')
            *p++ = '\r';
        *p++ = pstrFiles->buffer[i];
    }
    *p = '\0';
    strText.length = (unsigned int)(p - strText.buffer);

    HWND hYes = FindWindowExA(hDlg, NULL, "BUTTON", "&Yes");
    if (hYes != NULL) {
        SendMessageA(hYes, WM_SETTEXT, 0, (LPARAM)loadText(IDS_YES));
        SetFocus(hYes);
    }
    HWND hNo = FindWindowExA(hDlg, NULL, "BUTTON", "&No");
    if (hNo != NULL)
        SendMessageA(hNo, WM_SETTEXT, 0, (LPARAM)loadText(IDS_NO));
    HWND hCancel = FindWindowExA(hDlg, NULL, "BUTTON", "&Cancel");
    if (hCancel != NULL)
        SendMessageA(hCancel, WM_SETTEXT, 0, (LPARAM)loadText(IDS_CANCEL));
    HWND hEdit = FindWindowExA(hDlg, NULL, "EDIT", NULL);
    if (hEdit != NULL) {
        // WM_SETTEXT sets the whole list: the text limit (lifted here all the
        // same) restricts only typing.
        HCURSOR hOld = SetCursor(LoadCursor(NULL, IDC_WAIT));
        SendMessageA(hEdit, EM_SETLIMITTEXT, 0, 0);
        SendMessageA(hEdit, WM_SETTEXT, 0, (LPARAM)strText.buffer);
        SetCursor(hOld);
    }
    freeStr(&strText);
    MessageBeep(MB_ICONQUESTION);
    return FALSE; // the focus stays on Yes
}

static INT_PTR On_ConfirmCommand(HWND hDlg, WPARAM wParam) {
    int id = LOWORD(wParam);
    if (id == IDCANCEL || id == IDYES || id == IDNO) {
        EndDialog(hDlg, id);
        return TRUE;
    }
    return FALSE;
}

static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return On_InitConfirm(hDlg, (const ConfirmParam *)lParam);
    case WM_COMMAND:
        return On_ConfirmCommand(hDlg, wParam);
    default:
        return FALSE;
    }
}

int confirmList(HINSTANCE hInstance, const char *pszFormat, Str *pstrFiles, int nItems,
                Str *pstrDest) {
    if (nItems > DIALOG_MIN_ITEMS || pstrFiles->length >= DIALOG_MIN_BYTES) {
        ConfirmParam param = {pstrFiles, pszFormat, pstrDest};
        return (int)DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_CONFIRM), NULL, DialogProc,
                                    (LPARAM)&param);
    }
    Str strPrompt = {};
    int answer = 3;
    if (resize(&strPrompt,
               pstrFiles->length + pstrDest->length + (unsigned int)strlen(pszFormat)) != NULL) {
        strPrompt.length = (unsigned int)_snprintf(strPrompt.buffer, strPrompt.capacity, pszFormat,
                                                   pstrDest->buffer, pstrFiles->buffer);
        answer = showText(NULL, strPrompt.buffer, MB_YESNOCANCEL | MB_ICONQUESTION);
        freeStr(&strPrompt);
    }
    return answer;
}
