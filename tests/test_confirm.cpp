// The confirmation of long lists, end to end: WinMain runs on the test's
// thread with the real chooser and dialog 106, a second thread picks the
// destination, drops items, and answers the prompt with clicks and keys.
// Also checks template 106 itself, since the dialog finds its buttons by the
// template's texts.
#include <gtest/gtest.h>
#include "harness.h"
#include "porty4.h"
#include "resource.h"
#include <shellapi.h>
#include <shlobj.h>
#include <atomic>

static const char szCaption[] = PORTERLY_TITLE;

// ---------------------------------------------------------------- helpers

static std::vector<std::string> makeFiles(const TestDir &dir, int n) {
    std::vector<std::string> paths;
    for (int i = 0; i < n; i++) {
        char name[32];
        sprintf(name, "item%02d.txt", i);
        paths.push_back(dir.file(name, name));
    }
    return paths;
}

static std::string quotedTail(const std::vector<std::string> &paths) {
    std::string tail;
    for (const std::string &p : paths)
        tail += (tail.empty() ? "\"" : " \"") + p + "\"";
    return tail;
}

static unsigned listBytes(const std::vector<std::string> &paths) {
    unsigned n = 0;
    for (const std::string &p : paths)
        n += (unsigned)p.size() + 1;
    return n;
}

// Dropped names that add exactly `bytes` bytes (names and newlines) to the
// list; they need not exist, the chooser takes drops as they come.
static std::vector<std::string> padding(unsigned bytes) {
    std::vector<std::string> names;
    while (bytes > 0) {
        unsigned take = bytes <= 200 ? bytes : (bytes - 200 < 10 ? bytes - 10 : 200);
        names.push_back("C:\\" + std::string(take - 4, 'p'));
        bytes -= take;
    }
    return names;
}

// Posts a WM_DROPFILES as the shell builds it: DROPFILES header, ANSI names,
// double NUL.
static void dropFiles(HWND hwnd, const std::vector<std::string> &names) {
    std::string block;
    for (const std::string &n : names)
        block += n + '\0';
    block += '\0';
    HGLOBAL h = GlobalAlloc(GHND, sizeof(DROPFILES) + block.size());
    DROPFILES *pdf = (DROPFILES *)GlobalLock(h);
    pdf->pFiles = sizeof(DROPFILES);
    pdf->fWide = FALSE;
    memcpy((char *)pdf + sizeof(DROPFILES), block.data(), block.size());
    GlobalUnlock(h);
    PostMessageA(hwnd, WM_DROPFILES, (WPARAM)h, 0);
}

static HWND findConfirm() {
    return findDialogWithEdit(szCaption);
}

// The message box or dialog 106, whichever appears first.
static HWND waitPrompt() {
    return waitFor([] {
        HWND h = findConfirm();
        return h != NULL ? h : findMessageBox();
    });
}

static HWND focusOf(HWND hwnd) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, NULL), &info);
    return info.hwndFocus;
}

// A key as the dialog's message loop sees it: posted to the focused control.
static void pressKey(HWND hDlg, UINT vk) {
    HWND hTarget = focusOf(hDlg);
    if (hTarget == NULL)
        hTarget = hDlg;
    PostMessageA(hTarget, WM_KEYDOWN, vk, 1);
    PostMessageA(hTarget, WM_KEYUP, vk, 0xC0000001);
}

// Waits until the focus of the dialog's thread is on hWant.
static bool waitFocus(HWND hDlg, HWND hWant) {
    return waitFor([&] { return focusOf(hDlg) == hWant ? hWant : (HWND)NULL; }, 3000) != NULL;
}

static std::string promptLine(const std::string &dest, bool bMove) {
    return dest + (bMove ? "に次のファイル・フォルダを移動します。よろしいですか"
                         : "に次のファイル・フォルダをコピーします。よろしいですか");
}

static std::string dialogText(const std::string &dest, bool bMove,
                              const std::vector<std::string> &items) {
    std::string text = promptLine(dest, bMove) + "\r\n\r\n";
    for (const std::string &p : items)
        text += p + "\r\n";
    return text;
}

static int countIn(const std::string &folder) {
    int n = 0;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (strcmp(fd.cFileName, ".") != 0 && strcmp(fd.cFileName, "..") != 0)
            n++;
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return n;
}

// One run: sources, a destination, and what the second thread saw.
struct ConfirmRun {
    RegistrySandbox reg;
    TestDir dir;
    std::string dest;
    std::vector<std::string> items;
    explicit ConfirmRun(const char *name, int nItems) : dir(name) {
        items = makeFiles(dir, nItems);
        dest = dir.folder("dest");
        touchFolders(dest);
    }
    int run() {
        return runWinMain(quotedTail(items));
    }
    bool historyWritten() {
        std::string s;
        return regReadString(reg, "tstrPath000", &s) && !s.empty();
    }
};

// Chooses the destination; drops `drops` first when given; leaves with Copy
// or Move. Returns the chooser.
static HWND leaveChooser(const std::string &dest, const std::vector<std::string> &drops = {},
                         bool bMove = false) {
    HWND hChooser = waitChooser();
    if (hChooser == NULL)
        return NULL;
    selectFolder(hChooser, dest);
    if (!drops.empty())
        dropFiles(hChooser, drops);
    HWND hButton = bMove ? childButton(hChooser, "移動(&M)") : chooserCopy(hChooser);
    PostMessageA(hButton, BM_CLICK, 0, 0);
    return hChooser;
}

// ---------------------------------------------------------------- template 106

static const BYTE *skipSzOrOrd(const BYTE *p, std::string *out = NULL) {
    const WORD *w = (const WORD *)p;
    if (*w == 0xFFFF)
        return p + 4;
    std::string s;
    while (*w != 0)
        s += (char)*w++;
    if (out)
        *out = s;
    return (const BYTE *)(w + 1);
}

static const BYTE *alignDword(const BYTE *p) {
    return (const BYTE *)(((ULONG_PTR)p + 3) & ~(ULONG_PTR)3);
}

TEST(ConfirmTemplate, MatchesTheContract) {
    HRSRC hRes = FindResourceA(NULL, MAKEINTRESOURCEA(IDD_CONFIRM), (LPCSTR)RT_DIALOG);
    ASSERT_NE(nullptr, hRes);
    const BYTE *p = (const BYTE *)LockResource(LoadResource(NULL, hRes));
    const DLGTEMPLATE *t = (const DLGTEMPLATE *)p;
    EXPECT_EQ(0x90C80AC4u, t->style);
    EXPECT_EQ(0u, t->dwExtendedStyle);
    EXPECT_EQ(4, t->cdit);
    EXPECT_EQ(263, t->cx);
    EXPECT_EQ(111, t->cy);
    p += sizeof(DLGTEMPLATE);
    p = skipSzOrOrd(p); // menu
    p = skipSzOrOrd(p); // class
    std::string caption, font;
    p = skipSzOrOrd(p, &caption);
    EXPECT_EQ(szCaption, caption);
    EXPECT_EQ(9, *(const WORD *)p);
    p = skipSzOrOrd(p + 2, &font);
    EXPECT_EQ("MS UI Gothic", font);

    struct Want {
        WORD id;
        WORD classAtom;
        const char *text;
        DWORD style;
        short x, y, cx, cy;
    } want[4] = {{IDYES, 0x80, "&Yes", 0x50010001, 94, 90, 50, 14},
                 {IDNO, 0x80, "&No", 0x50010000, 149, 90, 50, 14},
                 {IDC_CONFIRMEDIT, 0x81, "", 0x50A01884, 6, 7, 250, 68},
                 {IDCANCEL, 0x80, "&Cancel", 0x50010000, 206, 90, 50, 14}};
    for (const Want &w : want) {
        p = alignDword(p);
        const DLGITEMTEMPLATE *item = (const DLGITEMTEMPLATE *)p;
        SCOPED_TRACE(w.text);
        EXPECT_EQ(w.id, item->id);
        EXPECT_EQ(w.style, item->style);
        EXPECT_EQ(0u, item->dwExtendedStyle);
        EXPECT_EQ(w.x, item->x);
        EXPECT_EQ(w.y, item->y);
        EXPECT_EQ(w.cx, item->cx);
        EXPECT_EQ(w.cy, item->cy);
        p += sizeof(DLGITEMTEMPLATE);
        ASSERT_EQ(0xFFFF, ((const WORD *)p)[0]);
        EXPECT_EQ(w.classAtom, ((const WORD *)p)[1]);
        std::string text;
        p = skipSzOrOrd(p + 4, &text);
        EXPECT_EQ(w.text, text);
        p += 2 + *(const WORD *)p; // creation data
    }
}

// ---------------------------------------------------------------- which prompt

struct Threshold {
    const char *name;
    int nItems;          // command-line items
    unsigned totalBytes; // list length after the drops; 0 for no drops
    int nShortDrops;     // further drops of short names
    bool bDialog;
};

static void runThreshold(const Threshold &t) {
    SCOPED_TRACE(t.name);
    ConfirmRun r(t.name, t.nItems);
    std::vector<std::string> drops;
    if (t.totalBytes != 0)
        drops = padding(t.totalBytes - listBytes(r.items));
    for (int i = 0; i < t.nShortDrops; i++)
        drops.push_back("C:\\d" + std::to_string(i));
    bool bSawDialog = false, bSawBox = false;
    Driver driver([&] {
        ASSERT_NE(nullptr, leaveChooser(r.dest, drops));
        HWND hPrompt = waitPrompt();
        ASSERT_NE(nullptr, hPrompt);
        bSawDialog = hPrompt == findConfirm();
        bSawBox = !bSawDialog;
        clickId(hPrompt, IDCANCEL);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    EXPECT_EQ(t.bDialog, bSawDialog);
    EXPECT_EQ(!t.bDialog, bSawBox);
    EXPECT_EQ(0, countIn(r.dest));
    EXPECT_FALSE(r.historyWritten());
}

TEST(ConfirmChoice, TenItemsAnd2599BytesAskInAMessageBox) {
    runThreshold({"thr_10_2599", 10, 2599, 0, false});
}

TEST(ConfirmChoice, TenItemsAnd2600BytesAskInTheDialog) {
    runThreshold({"thr_10_2600", 10, 2600, 0, true});
}

TEST(ConfirmChoice, ElevenItemsAskInTheDialog) {
    runThreshold({"thr_11", 11, 0, 0, true});
}

TEST(ConfirmChoice, DroppedItemsCountInBytesNotInItems) {
    runThreshold({"thr_5_20", 5, 0, 20, false});
}

// ---------------------------------------------------------------- the dialog itself

TEST(ConfirmDialog, TwelveItemsShowTheListAndEnterCopies) {
    ConfirmRun r("dlg_enter", 12);
    std::string text, title, yes, no, cancel;
    bool bFocusYes = false;
    LRESULT defId = 0;
    Driver driver([&] {
        ASSERT_NE(nullptr, leaveChooser(r.dest));
        HWND hDlg = waitFor(findConfirm);
        ASSERT_NE(nullptr, hDlg);
        title = windowText(hDlg);
        text = windowText(GetDlgItem(hDlg, IDC_CONFIRMEDIT));
        yes = windowText(GetDlgItem(hDlg, IDYES));
        no = windowText(GetDlgItem(hDlg, IDNO));
        cancel = windowText(GetDlgItem(hDlg, IDCANCEL));
        bFocusYes = waitFocus(hDlg, GetDlgItem(hDlg, IDYES));
        defId = SendMessageA(hDlg, DM_GETDEFID, 0, 0);
        pressKey(hDlg, VK_RETURN);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    EXPECT_EQ(szCaption, title);
    EXPECT_EQ(dialogText(r.dest, false, r.items), text);
    EXPECT_EQ("はい(&Y)", yes);
    EXPECT_EQ("いいえ(&N)", no);
    EXPECT_EQ("キャンセル(&C)", cancel);
    EXPECT_TRUE(bFocusYes);
    EXPECT_EQ(MAKELONG(IDYES, DC_HASDEFID), defId);
    EXPECT_EQ(12, countIn(r.dest));
    EXPECT_EQ("item00.txt", readFile(r.dest + "\\item00.txt"));
    EXPECT_EQ("item11.txt", readFile(r.dest + "\\item11.txt"));
    EXPECT_TRUE(r.historyWritten());
}

TEST(ConfirmDialog, TabCyclesTheThreeButtonsOnly) {
    ConfirmRun r("dlg_tab", 11);
    std::vector<int> ids;
    Driver driver([&] {
        ASSERT_NE(nullptr, leaveChooser(r.dest));
        HWND hDlg = waitFor(findConfirm);
        ASSERT_NE(nullptr, hDlg);
        HWND hWant[4] = {GetDlgItem(hDlg, IDYES), GetDlgItem(hDlg, IDNO),
                         GetDlgItem(hDlg, IDCANCEL), GetDlgItem(hDlg, IDYES)};
        waitFocus(hDlg, hWant[0]);
        ids.push_back(GetDlgCtrlID(focusOf(hDlg)));
        for (int i = 1; i < 4; i++) {
            pressKey(hDlg, VK_TAB);
            waitFocus(hDlg, hWant[i]);
            ids.push_back(GetDlgCtrlID(focusOf(hDlg)));
        }
        clickId(hDlg, IDCANCEL);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    EXPECT_EQ((std::vector<int>{IDYES, IDNO, IDCANCEL, IDYES}), ids);
    EXPECT_EQ(0, countIn(r.dest));
}

TEST(ConfirmDialog, MoveWordingAndEscapeCancels) {
    ConfirmRun r("dlg_move", 11);
    std::string text;
    bool bChooserAgain = false;
    Driver driver([&] {
        ASSERT_NE(nullptr, leaveChooser(r.dest, {}, true));
        HWND hDlg = waitFor(findConfirm);
        ASSERT_NE(nullptr, hDlg);
        text = windowText(GetDlgItem(hDlg, IDC_CONFIRMEDIT));
        waitFocus(hDlg, GetDlgItem(hDlg, IDYES));
        pressKey(hDlg, VK_ESCAPE);
        waitGone(hDlg);
        // Cancel ends the run; No would bring the chooser back.
        HWND hChooser = waitFor([] { return findChooser(); }, 1000);
        bChooserAgain = hChooser != NULL;
        if (hChooser != NULL)
            PostMessageA(chooserCancel(hChooser), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    EXPECT_EQ(dialogText(r.dest, true, r.items), text);
    EXPECT_FALSE(bChooserAgain);
    EXPECT_EQ(0, countIn(r.dest));
    EXPECT_TRUE(exists(r.items[0]));
    EXPECT_FALSE(r.historyWritten());
}

TEST(ConfirmDialog, CloseBoxCancelsAndNoReturnsToTheChooser) {
    ConfirmRun r("dlg_close", 11);
    bool bChooserAgain = false, bSecondDialog = false;
    Driver driver([&] {
        ASSERT_NE(nullptr, leaveChooser(r.dest));
        HWND hDlg = waitFor(findConfirm);
        ASSERT_NE(nullptr, hDlg);
        clickId(hDlg, IDNO);
        waitGone(hDlg);
        bChooserAgain = leaveChooser(r.dest) != NULL;
        hDlg = waitFor(findConfirm);
        bSecondDialog = hDlg != NULL;
        if (hDlg != NULL)
            PostMessageA(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    EXPECT_TRUE(bChooserAgain);
    EXPECT_TRUE(bSecondDialog);
    EXPECT_EQ(0, countIn(r.dest));
    EXPECT_FALSE(r.historyWritten());
}

// ---------------------------------------------------------------- reservation failure

static std::atomic<size_t> cbFailing{0};
static std::atomic<int> nFailed{0};

static void *failingRealloc(void *p, size_t cb) {
    if (cb == cbFailing.load()) {
        nFailed++;
        return NULL;
    }
    return realloc(p, cb);
}

TEST(ConfirmDialog, ReservationFailureShowsTheStringMessage) {
    ConfirmRun r("dlg_nomem", 12);
    std::string message;
    // Destination + list + one byte per newline + the prompt's own bytes,
    // and the block's NUL.
    unsigned cbList = listBytes(r.items);
    cbFailing = r.dest.size() + cbList + cbList + strlen(loadText(IDS_COPY_PROMPT)) + 1;
    nFailed = 0;
    Driver driver([&] {
        HWND hChooser = waitChooser();
        ASSERT_NE(nullptr, hChooser);
        selectFolder(hChooser, r.dest);
        pfnStrRealloc = failingRealloc;
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
        HWND hBox = waitMessageBox();
        pfnStrRealloc = realloc;
        ASSERT_NE(nullptr, hBox);
        message = messageBoxText(hBox);
        clickId(hBox, IDOK);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    pfnStrRealloc = realloc;
    EXPECT_EQ(1, nFailed.load());
    EXPECT_EQ("文字列操作に失敗しました。処理を中断します。", message);
    EXPECT_EQ(0, countIn(r.dest));
    EXPECT_FALSE(r.historyWritten());
}

// An edit control holds 30,000 characters unless told otherwise: the dialog
// for 30,000 dropped items must still end with the last one.
TEST(ConfirmDialog, ThirtyThousandItemsAreAllShown) {
    ConfirmRun r("dlg_many", 1);
    std::vector<std::string> drops;
    for (int i = 0; i < 30000; i++)
        drops.push_back("C:\\dropped\\item" + std::to_string(i) + ".txt");
    std::string tail;
    Driver driver([&] {
        ASSERT_NE(nullptr, leaveChooser(r.dest, drops));
        HWND hDlg = waitFor(findConfirm, 30000);
        ASSERT_NE(nullptr, hDlg);
        HWND hEdit = GetDlgItem(hDlg, IDC_CONFIRMEDIT);
        // Wine's edit takes a longer text all the same; Windows' cuts it.
        EXPECT_GT((size_t)SendMessageA(hEdit, EM_GETLIMITTEXT, 0, 0), 30000u * 22);
        std::vector<char> text((size_t)SendMessageA(hEdit, WM_GETTEXTLENGTH, 0, 0) + 1);
        SendMessageA(hEdit, WM_GETTEXT, (WPARAM)text.size(), (LPARAM)text.data());
        tail = std::string(text.data()).substr(strlen(text.data()) - 40);
        PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(0, r.run());
    driver.thread.join();
    // Dropped items come last dropped first: item0 ends the list.
    EXPECT_EQ("\r\nC:\\dropped\\item0.txt\r\n", tail.substr(tail.size() - 24));
}
