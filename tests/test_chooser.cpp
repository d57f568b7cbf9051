// The destination chooser under Wine: layout, enabled states, preselection,
// Move and Copy, dropped items and the click dispatch. The chooser is the
// real folder browser running on the test's thread; a second thread drives
// it, and reads or changes the chooser's state through UiThread so that
// dialog_data is only ever touched on the chooser's own thread.
#include <gtest/gtest.h>
#include "harness.h"
#include "../src/portygui.cpp"
#include <commctrl.h>
#include <malloc.h>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------- helpers

// Runs functions on the test's thread while it sits in the chooser's modal
// loop: a message-only window whose one message calls the function passed.
#define WM_INVOKE (WM_APP + 50)

static LRESULT CALLBACK invokerProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INVOKE) {
        (*(std::function<void()> *)lParam)();
        return 0;
    }
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

struct UiThread {
    HWND hwnd = NULL;
    UiThread() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = invokerProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "PorterlyTestInvoker";
        RegisterClassA(&wc);
        hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               wc.hInstance, NULL);
    }
    ~UiThread() {
        DestroyWindow(hwnd);
    }
    // Times out rather than hang when the chooser has already ended.
    void run(std::function<void()> fn) {
        SendMessageTimeoutA(hwnd, WM_INVOKE, 0, (LPARAM)&fn, SMTO_NORMAL, 10000, NULL);
    }
};

static bool waitUntil(const std::function<bool()> &pred, DWORD timeoutMs = 3000) {
    DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

static std::string strText(const Str &str) {
    return str.buffer ? std::string(str.buffer, str.length) : std::string();
}

// A Settings record as the driver hands it to GuiMain.
struct ChooserSettings {
    Str strFiles = {};
    Settings settings = {};
    ChooserSettings(const std::string &files, DWORD dwFlags, const std::string &newest = "") {
        assignStr(&strFiles, files.c_str());
        settings.dwFlags = dwFlags;
        settings.hInstance = GetModuleHandleA(NULL);
        settings.pstrFiles = &strFiles;
        if (!newest.empty())
            assignStr(&settings.tstrPath[0], newest.c_str());
    }
    ~ChooserSettings() {
        freeStr(&strFiles);
        for (Str &str : settings.tstrPath)
            freeStr(&str);
    }
};

struct Outcome {
    bool bChosen = false;
    std::string path;
};

// GuiMain on this thread, drive(chooser, ui) on a second one. Whatever drive
// leaves open is cancelled, so a failed expectation never hangs the test.
static Outcome runChooser(ChooserSettings &cs, const std::function<void(HWND, UiThread &)> &drive) {
    UiThread ui;
    Outcome outcome;
    LPITEMIDLIST pidl = NULL;
    {
        Driver driver([&] {
            HWND hChooser = waitChooser(GetCurrentProcessId());
            if (hChooser == NULL) {
                ADD_FAILURE() << "no chooser";
                return;
            }
            drive(hChooser, ui);
            if (!waitGone(hChooser, 1500)) {
                PostMessageA(hChooser, WM_COMMAND, IDCANCEL, 0);
                waitGone(hChooser);
            }
        });
        pidl = GuiMain(&cs.settings);
    }
    if (pidl != NULL) {
        char szPath[MAX_PATH] = "";
        outcome.bChosen = true;
        SHGetPathFromIDListA(pidl, szPath);
        outcome.path = szPath;
        CoTaskMemFree(pidl);
    }
    return outcome;
}

static HWND windowAfter(HWND hwnd) {
    return GetWindow(hwnd, GW_HWNDNEXT);
}

// Position and size in the parent's client coordinates.
static RECT clientRect(HWND hControl) {
    RECT rc;
    GetWindowRect(hControl, &rc);
    MapWindowPoints(NULL, GetParent(hControl), (POINT *)&rc, 2);
    return rc;
}

#define EXPECT_PLACED(hControl, x, y, cx, cy)                                                      \
    do {                                                                                           \
        RECT rc_ = clientRect(hControl);                                                           \
        EXPECT_EQ((x), rc_.left) << #hControl;                                                     \
        EXPECT_EQ((y), rc_.top) << #hControl;                                                      \
        EXPECT_EQ((cx), rc_.right - rc_.left) << #hControl;                                        \
        EXPECT_EQ((cy), rc_.bottom - rc_.top) << #hControl;                                        \
    } while (0)

// Selects an item that has no file-system path (the computer's drive list).
static void selectNonFolder(HWND hChooser) {
    LPITEMIDLIST pidl = NULL;
    SHGetSpecialFolderLocation(NULL, CSIDL_DRIVES, &pidl);
    SendMessageA(hChooser, BFFM_SETSELECTIONA, FALSE, (LPARAM)pidl);
    CoTaskMemFree(pidl);
}

struct ButtonStates {
    bool bCopy, bMove, bNew, bRename;
    bool operator==(const ButtonStates &o) const {
        return bCopy == o.bCopy && bMove == o.bMove && bNew == o.bNew && bRename == o.bRename;
    }
};

static std::ostream &operator<<(std::ostream &os, const ButtonStates &s) {
    return os << "Copy " << s.bCopy << " Move " << s.bMove << " New " << s.bNew << " Rename "
              << s.bRename;
}

static ButtonStates buttonStates() {
    return {IsWindowEnabled(dialog_data.hCopy) != FALSE,
            IsWindowEnabled(dialog_data.hMove) != FALSE, IsWindowEnabled(dialog_data.hNew) != FALSE,
            IsWindowEnabled(dialog_data.hRename) != FALSE};
}

// A posted WM_DROPFILES of these ANSI names, as the shell builds it.
static void postDrop(HWND hwnd, const std::vector<std::string> &names) {
    size_t cb = sizeof(DROPFILES) + 1;
    for (const std::string &name : names)
        cb += name.size() + 1;
    HGLOBAL hDrop = GlobalAlloc(GHND, cb);
    DROPFILES *pDrop = (DROPFILES *)GlobalLock(hDrop);
    pDrop->pFiles = sizeof(DROPFILES);
    pDrop->fWide = FALSE;
    char *p = (char *)(pDrop + 1);
    for (const std::string &name : names) {
        memcpy(p, name.c_str(), name.size() + 1);
        p += name.size() + 1;
    }
    GlobalUnlock(hDrop);
    PostMessageA(hwnd, WM_DROPFILES, (WPARAM)hDrop, 0);
}

// ---------------------------------------------------------------- a stand-in browser

// A window laid out like the browser (tree, OK with the default-push style,
// Cancel) at chosen sizes, so that init can be run on other geometries. It
// records every selection request.
static std::vector<std::string> selectionRequests;

static LRESULT CALLBACK standInProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == BFFM_SETSELECTIONA) {
        selectionRequests.push_back(wParam ? (const char *)lParam : "<item id list>");
        return 0;
    }
    return DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

static HWND createStandIn(int nWidth, int nGap, bool bDefaultButton) {
    static bool bRegistered = false;
    if (!bRegistered) {
        HMODULE hComCtl = LoadLibraryA("comctl32.dll");
        typedef BOOL(WINAPI * InitProc)(const INITCOMMONCONTROLSEX *);
        InitProc pfnInit = (InitProc)(void *)GetProcAddress(hComCtl, "InitCommonControlsEx");
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_TREEVIEW_CLASSES};
        if (pfnInit != NULL)
            pfnInit(&icc);
        WNDCLASSA wc = {};
        wc.lpfnWndProc = standInProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "PorterlyStandInBrowser";
        RegisterClassA(&wc);
        bRegistered = true;
    }
    HWND hwnd = CreateWindowExA(0, "PorterlyStandInBrowser", "browser", WS_POPUP | WS_CAPTION, 100,
                                100, nWidth, 300, NULL, NULL, GetModuleHandleA(NULL), NULL);
    CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | (bDefaultButton ? BS_DEFPUSHBUTTON : 0), 100, 250,
                    70, 21, hwnd, (HMENU)IDOK, NULL, NULL);
    CreateWindowExA(0, "BUTTON", "Cancel", WS_CHILD, 170 + nGap, 250, 70, 21, hwnd, (HMENU)IDCANCEL,
                    NULL, NULL);
    CreateWindowExA(0, "SysTreeView32", "", WS_CHILD, 10, 30, 200, 200, hwnd, NULL, NULL, NULL);
    return hwnd;
}

// ---------------------------------------------------------------- layout

struct BrowserGeometry {
    int nWidth = 0, nGap = 0, nOkHeight = 0, nOkTopInWindow = 0;
};

static int CALLBACK measureCallback(HWND hwnd, UINT uMsg, LPARAM, LPARAM lpData) {
    if (uMsg != BFFM_INITIALIZED)
        return 0;
    BrowserGeometry *pGeo = (BrowserGeometry *)lpData;
    HWND hOk = NULL;
    while ((hOk = FindWindowExA(hwnd, hOk, "BUTTON", NULL)) != NULL &&
           !(GetWindowLongA(hOk, GWL_STYLE) & BS_DEFPUSHBUTTON)) {
    }
    HWND hCancel = NULL;
    while ((hCancel = FindWindowExA(hwnd, hCancel, "BUTTON", NULL)) == hOk) {
    }
    RECT rcWindow, rcOk, rcCancel;
    GetWindowRect(hwnd, &rcWindow);
    GetWindowRect(hOk, &rcOk);
    GetWindowRect(hCancel, &rcCancel);
    pGeo->nWidth = rcWindow.right - rcWindow.left;
    pGeo->nGap = rcCancel.left - rcOk.right;
    pGeo->nOkHeight = rcOk.bottom - rcOk.top;
    pGeo->nOkTopInWindow = rcOk.top - rcWindow.top;
    PostMessageA(hwnd, WM_COMMAND, IDCANCEL, 0);
    return 0;
}

// The plain browser, without anything of the chooser, as the platform lays it out.
static BrowserGeometry measurePlainBrowser() {
    BrowserGeometry geo;
    char szName[MAX_PATH];
    BROWSEINFOA bi = {};
    bi.pszDisplayName = szName;
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    bi.lpfn = measureCallback;
    bi.lParam = (LPARAM)&geo;
    LPITEMIDLIST pidl = SHBrowseForFolderA(&bi);
    CoTaskMemFree(pidl);
    return geo;
}

TEST(ChooserLayout, FollowsTheBrowsersOwnGeometry) {
    BrowserGeometry geo = measurePlainBrowser();
    ASSERT_GT(geo.nWidth, 0);
    const int W = geo.nWidth, g = geo.nGap, h = geo.nOkHeight;
    const int w = (W - 5 * g) / 4;
    const int T = geo.nOkTopInWindow - GetSystemMetrics(SM_CYSMCAPTION);

    ChooserSettings cs("", 0);
    runChooser(cs, [&](HWND hChooser, UiThread &ui) {
        ui.run([&] {
            DialogData &d = dialog_data;
            EXPECT_EQ(hChooser, d.hDlg);
            EXPECT_EQ(APP_TITLE, windowText(hChooser));
            EXPECT_EQ(W, d.nDialogWidth); // the panel's measures
            EXPECT_EQ(2 * g + (W - 3 * g) / 2, d.nColumn2X);

            EXPECT_PLACED(d.hSettings, g, T, w, h);
            EXPECT_PLACED(d.hMove, 2 * g + w, T, w, h);
            EXPECT_PLACED(d.hCopy, 3 * g + 2 * w, T, w, h);
            EXPECT_PLACED(d.hCancelButton, 4 * g + 3 * w, T, w, h);
            EXPECT_PLACED(d.hNew, W - w - 2 * g, 2, w / 2, h);
            EXPECT_PLACED(d.hRename, W - w / 2 - g, 2, w / 2, h);

            EXPECT_EQ("設定(&S)", windowText(d.hSettings));
            EXPECT_EQ("移動(&M)", windowText(d.hMove));
            EXPECT_EQ("コピー", windowText(d.hCopy));
            EXPECT_EQ("新規(&I)", windowText(d.hNew));
            EXPECT_EQ("改名(&R)", windowText(d.hRename));
            EXPECT_EQ(0x50011003, GetWindowLongA(d.hSettings, GWL_STYLE));
            for (HWND hButton : {d.hMove, d.hNew, d.hRename}) {
                EXPECT_EQ(0x50010000, GetWindowLongA(hButton, GWL_STYLE) & ~WS_DISABLED);
                EXPECT_EQ(0, GetDlgCtrlID(hButton));
            }
            HFONT hFont = (HFONT)SendMessageA(d.hCopy, WM_GETFONT, 0, 0);
            EXPECT_EQ(hFont, d.hFont);
            for (HWND hButton : {d.hSettings, d.hMove, d.hNew, d.hRename})
                EXPECT_EQ(hFont, (HFONT)SendMessageA(hButton, WM_GETFONT, 0, 0));

            HWND hTree = FindWindowExA(hChooser, NULL, "SysTreeView32", NULL);
            EXPECT_EQ(d.hSettings, windowAfter(hTree));
            EXPECT_EQ(d.hMove, windowAfter(d.hSettings));
            EXPECT_EQ(d.hCancelButton, windowAfter(d.hCopy));
            EXPECT_EQ(d.hNew, windowAfter(d.hCancelButton));
            EXPECT_EQ(d.hRename, windowAfter(d.hNew));
            // The caption text below New and Rename no longer paints over them.
            HWND hStatic = NULL;
            while ((hStatic = FindWindowExA(hChooser, hStatic, "Static", NULL)) != NULL)
                EXPECT_TRUE(GetWindowLongA(hStatic, GWL_STYLE) & WS_CLIPSIBLINGS);
            EXPECT_FALSE(d.bExpanded);
            EXPECT_EQ(0, SendMessageA(d.hSettings, BM_GETCHECK, 0, 0));
            EXPECT_TRUE(GetWindowLongA(hChooser, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
        });
    });
}

// The same formulas on window sizes the platform does not happen to use.
TEST(ChooserLayout, OtherWidthsAndGaps) {
    struct Case {
        int W, g, x[4], w, xNew, xRename, wHalf;
    } cases[] = {
        {330, 5, {5, 86, 167, 248}, 76, 244, 287, 38},
        {325, 5, {5, 85, 165, 245}, 75, 240, 283, 37},
        {405, 7, {7, 106, 205, 304}, 92, 299, 352, 46},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.W);
        ChooserSettings cs("", OPT_MOVE);
        HWND hwnd = createStandIn(c.W, c.g, true);
        RECT rcWindow, rcOk;
        GetWindowRect(hwnd, &rcWindow);
        GetWindowRect(FindWindowExA(hwnd, NULL, "BUTTON", "OK"), &rcOk);
        const int T = rcOk.top - rcWindow.top - GetSystemMetrics(SM_CYSMCAPTION);
        EXPECT_EQ(0, init(hwnd, &cs.settings));
        DialogData &d = dialog_data;
        EXPECT_EQ(c.w, d.nButtonWidth);
        EXPECT_EQ(2 * c.g + (c.W - 3 * c.g) / 2, d.nColumn2X);
        EXPECT_EQ(rcWindow.bottom - rcWindow.top, d.nDialogHeight);
        EXPECT_EQ(T, d.nButtonTop);
        EXPECT_PLACED(d.hSettings, c.x[0], T, c.w, 21);
        EXPECT_PLACED(d.hMove, c.x[1], T, c.w, 21);
        EXPECT_PLACED(d.hCopy, c.x[2], T, c.w, 21);
        EXPECT_PLACED(d.hCancelButton, c.x[3], T, c.w, 21);
        EXPECT_PLACED(d.hNew, c.xNew, 2, c.wHalf, 21);
        EXPECT_PLACED(d.hRename, c.xRename, 2, c.wHalf, 21);
        EXPECT_EQ(0u, cs.settings.dwFlags & OPT_MOVE);
        EXPECT_EQ(APP_TITLE, windowText(hwnd));
        DestroyWindow(hwnd);
    }
}

// Without a default push button nothing is added, but drops are still taken.
TEST(ChooserLayout, StopsWithoutAnOkButton) {
    ChooserSettings cs("X\n", 0);
    HWND hwnd = createStandIn(300, 6, false);
    EXPECT_EQ(1, init(hwnd, &cs.settings));
    EXPECT_EQ((LONG_PTR)BrowseProc, GetWindowLongPtrA(hwnd, GWLP_WNDPROC));
    EXPECT_EQ(nullptr, dialog_data.hCopy);
    EXPECT_EQ(nullptr, dialog_data.hMove);
    EXPECT_EQ(nullptr, FindWindowExA(hwnd, NULL, "BUTTON", "移動(&M)"));
    postDrop(hwnd, {"C:\\p.txt"});
    MSG msg;
    while (PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    EXPECT_EQ("X\nC:\\p.txt\n", strText(cs.strFiles));
    DestroyWindow(hwnd);
}

// ---------------------------------------------------------------- enabled states

TEST(ChooserButtons, FollowCopy) {
    TestDir dir("chooser_states");
    std::string folder = dir.folder("sub");
    touchFolders(folder);
    ChooserSettings cs("", 0);
    runChooser(cs, [&](HWND hChooser, UiThread &ui) {
        struct Step {
            const char *name;
            std::function<void()> select;
            ButtonStates expected;
            std::string selected;
        } steps[] = {
            {"nothing yet", [] {}, {true, false, false, false}, ""},
            {"folder", [&] { selectFolder(hChooser, folder); }, {true, true, true, true}, folder},
            {"no path",
             [&] { ui.run([&] { selectNonFolder(hChooser); }); },
             {false, false, false, false},
             ""},
            {"drive root",
             [&] { selectFolder(hChooser, "C:\\"); },
             {true, true, true, false},
             "C:\\"},
            {"folder again",
             [&] { selectFolder(hChooser, folder); },
             {true, true, true, true},
             folder},
        };
        for (Step &step : steps) {
            SCOPED_TRACE(step.name);
            step.select();
            ButtonStates states = {};
            std::string selected;
            waitUntil([&] {
                ui.run([&] { states = buttonStates(); });
                return states == step.expected;
            });
            ui.run([&] { selected = dialog_data.szSelected; });
            EXPECT_EQ(step.expected, states);
            EXPECT_EQ(step.selected, selected);
        }
    });
}

// Wine sets Copy's state only after the selection callback returns, so the
// states copied inside it lag one selection until the chooser looks again.
// Whatever Move shows, a click on it must never end the chooser on an item
// without a path.
TEST(ChooserButtons, MoveWaitsForCopy) {
    TestDir dir("chooser_lag");
    std::string folder = dir.folder("sub");
    touchFolders(folder);
    ChooserSettings cs("", 0);
    Outcome outcome = runChooser(cs, [&](HWND hChooser, UiThread &ui) {
        auto moveEnabled = [&] {
            bool bMove = false;
            ui.run([&] { bMove = IsWindowEnabled(dialog_data.hMove) != FALSE; });
            return bMove;
        };
        ui.run([&] { selectNonFolder(hChooser); });
        ASSERT_TRUE(waitUntil([&] { return !moveEnabled(); }));

        // To a folder: Copy is on as soon as the selection message returns,
        // Move catches up once the callback has returned.
        bool bCopy = false;
        ui.run([&] {
            SendMessageA(hChooser, BFFM_SETSELECTIONA, TRUE, (LPARAM)folder.c_str());
            bCopy = IsWindowEnabled(dialog_data.hCopy) != FALSE;
        });
        EXPECT_TRUE(bCopy);
        EXPECT_TRUE(waitUntil(moveEnabled));

        // Away from it, clicking Move at once, and with Move forced on.
        ui.run([&] {
            selectNonFolder(hChooser);
            SendMessageA(dialog_data.hMove, BM_CLICK, 0, 0);
            EnableWindow(dialog_data.hMove, TRUE);
            SendMessageA(dialog_data.hMove, BM_CLICK, 0, 0);
            EXPECT_EQ(0u, cs.settings.dwFlags & OPT_MOVE);
        });
        EXPECT_FALSE(waitGone(hChooser, 300));
        PostMessageA(dialog_data.hCancelButton, BM_CLICK, 0, 0);
    });
    EXPECT_FALSE(outcome.bChosen);
    EXPECT_EQ(0u, cs.settings.dwFlags & OPT_MOVE);
}

// ---------------------------------------------------------------- preselection

TEST(ChooserPreselect, HistoryThenCurrentFolder) {
    TestDir dir("chooser_preselect");
    std::string history = dir.folder("history");
    std::string source = dir.folder("source");
    std::string item = dir.file("source\\a.txt");
    touchFolders(history);
    touchFolders(source);
    struct Case {
        DWORD dwFlags;
        bool bHistory;
        std::string expected;
    } cases[] = {
        {0, false, ""},
        {0, true, ""},
        {OPT_OPEN_CURRENT, false, source},
        {OPT_OPEN_CURRENT, true, source},
        {OPT_OPEN_HISTORY, false, ""},
        {OPT_OPEN_HISTORY, true, history},
        {OPT_OPEN_HISTORY | OPT_OPEN_CURRENT, false, source},
        {OPT_OPEN_HISTORY | OPT_OPEN_CURRENT, true, history},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.dwFlags << " history " << c.bHistory);
        ChooserSettings cs(item + "\n", c.dwFlags | OPT_MOVE, c.bHistory ? history : "");
        std::string selected = "<not read>";
        DWORD dwFlags = 0;
        runChooser(cs, [&](HWND, UiThread &ui) {
            ui.run([&] {
                selected = dialog_data.szSelected;
                dwFlags = cs.settings.dwFlags;
            });
            PostMessageA(dialog_data.hCancelButton, BM_CLICK, 0, 0);
        });
        EXPECT_EQ(c.expected, selected);
        EXPECT_EQ(c.dwFlags, dwFlags); // OPT_MOVE cleared at the opening
        EXPECT_EQ(item + "\n", strText(cs.strFiles));
    }
}

// A preselected drive root: Move and New follow Copy, Rename stays off.
TEST(ChooserPreselect, DriveRootCannotBeRenamed) {
    ChooserSettings cs("C:\\porterly-not-there.txt\n", OPT_OPEN_CURRENT);
    ButtonStates states = {};
    std::string selected;
    runChooser(cs, [&](HWND, UiThread &ui) {
        ui.run([&] {
            states = buttonStates();
            selected = dialog_data.szSelected;
        });
        PostMessageA(dialog_data.hCancelButton, BM_CLICK, 0, 0);
    });
    EXPECT_EQ("C:\\", selected);
    EXPECT_EQ((ButtonStates{true, true, true, false}), states);
}

struct OpenCurrentCase {
    const char *name;
    const char *list; // null: a list without a buffer
    std::vector<std::string> expected;
};

TEST(OpenCurrent, SelectsTheFolderOfTheFirstItem) {
    const OpenCurrentCase cases[] = {
        {"folder", "C:\\dir\\file.txt\nD:\\x\\y.txt\n", {"C:\\dir"}},
        {"drive root", "C:\\file.txt\n", {"C:\\"}},
        {"share", "\\\\server\\share\\file.txt\n", {"\\\\server\\share"}},
        {"one item, no newline", "C:\\dir\\sub", {"C:\\dir"}},
        {"trail byte 0x5C", "C:\\dir\\表\n", {"C:\\dir"}},
        {"folder with a trail byte", "C:\\表\\a.txt\n", {"C:\\表"}},
        {"no backslash", "file.txt\nC:\\x\\y\n", {}},
        {"leading backslash", "\\file.txt\n", {""}},
        {"empty", "", {}},
        {"no buffer", NULL, {}},
    };
    HWND hwnd = createStandIn(300, 6, true);
    for (const OpenCurrentCase &c : cases) {
        SCOPED_TRACE(c.name);
        ChooserSettings cs("", 0);
        freeStr(&cs.strFiles);
        if (c.list != NULL) {
            assignStr(&cs.strFiles, c.list);
            resize(&cs.strFiles, cs.strFiles.length + 40);
        }
        Str before = cs.strFiles;
        std::string text = strText(cs.strFiles);
        std::vector<char> bytes;
        if (before.buffer != NULL)
            bytes.assign(before.buffer, before.buffer + before.capacity + 1);
        dialog_data.hDlg = hwnd;
        dialog_data.pSettings = &cs.settings;
        selectionRequests.clear();
        openCurrent();
        EXPECT_EQ(c.expected, selectionRequests);
        EXPECT_EQ(before.capacity, cs.strFiles.capacity);
        EXPECT_EQ(before.length, cs.strFiles.length);
        EXPECT_EQ(before.buffer, cs.strFiles.buffer);
        if (before.buffer != NULL) {
            EXPECT_EQ(bytes, std::vector<char>(cs.strFiles.buffer,
                                               cs.strFiles.buffer + cs.strFiles.capacity + 1));
        }
    }
    dialog_data.pSettings = NULL;
    DestroyWindow(hwnd);
}

// ---------------------------------------------------------------- Move and Copy

TEST(ChooserMove, FlagsTheCallerSees) {
    TestDir dir("chooser_flags");
    std::string folder = dir.folder("dest");
    touchFolders(folder);
    struct Case {
        const char *name;
        DWORD dwStart;
        bool bMove, bCancel;
    } cases[] = {
        {"move", 0, true, false},
        {"copy after an earlier move", OPT_MOVE | OPT_NOTIFY, false, false},
        {"cancel", OPT_MOVE, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChooserSettings cs("C:\\x.txt\n", c.dwStart);
        Outcome outcome = runChooser(cs, [&](HWND hChooser, UiThread &ui) {
            EXPECT_TRUE(selectFolder(hChooser, folder));
            HWND hButton = NULL;
            waitUntil([&] {
                ui.run([&] {
                    hButton = c.bCancel ? dialog_data.hCancelButton
                              : c.bMove ? dialog_data.hMove
                                        : dialog_data.hCopy;
                });
                return IsWindowEnabled(hButton) != FALSE;
            });
            PostMessageA(hButton, BM_CLICK, 0, 0);
            EXPECT_TRUE(waitGone(hChooser));
        });
        EXPECT_EQ(!c.bCancel, outcome.bChosen);
        if (!c.bCancel) {
            EXPECT_EQ(folder, outcome.path);
        }
        EXPECT_EQ(c.bMove ? (DWORD)OPT_MOVE : 0u, cs.settings.dwFlags & OPT_MOVE);
        EXPECT_EQ(c.dwStart & OPT_NOTIFY, cs.settings.dwFlags & OPT_NOTIFY);
    }
}

// A whole run: Move ends the chooser, the prompt speaks of moving, the files move.
TEST(ChooserMove, WholeRunMovesFiles) {
    RegistrySandbox reg;
    regWriteDword(reg, "dwFlags", 0);
    TestDir dir("chooser_moverun");
    std::string a = dir.file("a.txt", "alpha");
    std::string b = dir.folder("b b"); // see docs/wine-notes.md: Wine moves several
    dir.file("b b\\n.txt", "beta");    // plain files in one call only with a folder among them
    std::string dest = dir.folder("dest");
    touchFolders(dest);
    std::string prompt;
    Driver driver([&] {
        HWND hChooser = waitChooser(GetCurrentProcessId());
        ASSERT_NE(nullptr, hChooser);
        EXPECT_TRUE(selectFolder(hChooser, dest));
        HWND hMove = childButton(hChooser, "移動(&M)");
        waitUntil([&] { return IsWindowEnabled(hMove) != FALSE; });
        PostMessageA(hMove, BM_CLICK, 0, 0);
        HWND hBox = waitMessageBox(GetCurrentProcessId());
        ASSERT_NE(nullptr, hBox);
        prompt = messageBoxText(hBox);
        clickId(hBox, IDYES);
    });
    EXPECT_EQ(0, runWinMain("\"" + a + "\" \"" + b + "\""));
    driver.thread.join();
    EXPECT_EQ(dest + "に次のファイル・フォルダを移動します。よろしいですか\r\n\r\n" + a + "\n" + b +
                  "\n",
              prompt);
    EXPECT_FALSE(exists(a));
    EXPECT_FALSE(exists(b));
    EXPECT_EQ("alpha", readFile(dir.at("dest\\a.txt")));
    EXPECT_EQ("beta", readFile(dir.at("dest\\b b\\n.txt")));
}

// Under Wine a click on the disabled Copy still ends the browser with an item
// that has no path: the run must end as if cancelled, with nothing transferred.
TEST(ChooserMove, ItemWithoutPathEndsTheRun) {
    RegistrySandbox reg;
    regWriteDword(reg, "dwFlags", 0);
    TestDir dir("chooser_nopath");
    std::string a = dir.file("a.txt", "alpha");
    bool bMessage = false;
    bool bOpenAfterMove = false;
    Driver driver([&] {
        HWND hChooser = waitChooser(GetCurrentProcessId());
        ASSERT_NE(nullptr, hChooser);
        LPITEMIDLIST pidl = NULL;
        SHGetSpecialFolderLocation(NULL, CSIDL_DRIVES, &pidl);
        SendMessageA(hChooser, BFFM_SETSELECTIONA, FALSE, (LPARAM)pidl);
        CoTaskMemFree(pidl);
        HWND hCopy = chooserCopy(hChooser);
        HWND hMove = childButton(hChooser, "移動(&M)");
        waitUntil([&] { return !IsWindowEnabled(hMove); });
        SendMessageA(hMove, BM_CLICK, 0, 0);
        bOpenAfterMove = IsWindow(hChooser) && IsWindowVisible(hChooser);
        PostMessageA(hCopy, BM_CLICK, 0, 0);
        if (!waitGone(hChooser, 1000)) // where a disabled button ignores clicks
            PostMessageA(hChooser, WM_COMMAND, IDCANCEL, 0);
        HWND hBox = waitFor([] { return findMessageBox(GetCurrentProcessId()); }, 1000);
        if (hBox != NULL) {
            bMessage = true;
            clickId(hBox, IDCANCEL);
            clickId(hBox, IDOK);
        }
    });
    EXPECT_EQ(0, runWinMain("\"" + a + "\""));
    driver.thread.join();
    EXPECT_TRUE(bOpenAfterMove);
    EXPECT_FALSE(bMessage);
    EXPECT_EQ("alpha", readFile(a));
    std::string newest;
    EXPECT_FALSE(regReadString(reg, "tstrPath000", &newest) && !newest.empty()) << newest;
}

// ---------------------------------------------------------------- drops

TEST(ChooserDrop, LastDroppedFirst) {
    TestDir dir("chooser_drop");
    std::string dest = dir.folder("dest");
    touchFolders(dest);
    std::string x = "C:\\in\\x.txt";
    // Beyond the first 260 bytes, within what the file operation takes.
    std::string longName = "C:\\" + std::string(130 * 2, 'n') + ".txt";
    for (size_t i = 3; i < 3 + 260; i += 2)
        longName.replace(i, 2, "表");
    ChooserSettings cs(x + "\n", 0);
    Outcome outcome = runChooser(cs, [&](HWND hChooser, UiThread &ui) {
        postDrop(hChooser, {"C:\\p.txt", "C:\\表\\q", x, dir.path});
        postDrop(hChooser, {longName});
        unsigned int length = 0;
        EXPECT_TRUE(waitUntil([&] {
            ui.run([&] { length = cs.strFiles.length; });
            return length > x.size() + 1 + longName.size();
        }));
        EXPECT_TRUE(selectFolder(hChooser, dest));
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
    });
    EXPECT_TRUE(outcome.bChosen);
    EXPECT_EQ(x + "\n" + dir.path + "\n" + x + "\nC:\\表\\q\nC:\\p.txt\n" + longName + "\n",
              strText(cs.strFiles));
    EXPECT_EQ(strlen(cs.strFiles.buffer), cs.strFiles.length);
}

// Started without paths, fed by a drop of twelve files: the count that parse
// returned (none) still decides, so the message box asks, not the dialog.
TEST(ChooserDrop, RunStartedWithoutPaths) {
    RegistrySandbox reg;
    regWriteDword(reg, "dwFlags", 0);
    TestDir dir("chooser_droprun");
    std::string dest = dir.folder("dest");
    touchFolders(dest);
    std::vector<std::string> files;
    for (int i = 0; i < 12; i++)
        files.push_back(dir.file("f" + std::to_string(i) + ".txt", "n" + std::to_string(i)));
    std::string prompt = "<none>";
    Driver driver([&] {
        HWND hChooser = waitChooser(GetCurrentProcessId());
        ASSERT_NE(nullptr, hChooser);
        postDrop(hChooser, files);
        EXPECT_TRUE(selectFolder(hChooser, dest));
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
        HWND hBox = waitFor([] {
            HWND h = FindWindowA(NULL, APP_TITLE);
            return h != NULL && IsWindowVisible(h) &&
                           FindWindowExA(h, NULL, "SysTreeView32", NULL) == NULL
                       ? h
                       : NULL;
        });
        ASSERT_NE(nullptr, hBox);
        if (GetDlgItem(hBox, 0xFFFF) != NULL) {
            prompt = messageBoxText(hBox);
            clickId(hBox, IDYES);
        } else {
            PostMessageA(hBox, WM_COMMAND, IDCANCEL, 0);
        }
    });
    EXPECT_EQ(0, runWinMain(""));
    driver.thread.join();
    std::string list;
    for (int i = 11; i >= 0; i--)
        list += files[i] + "\n";
    EXPECT_EQ(dest + "に次のファイル・フォルダをコピーします。よろしいですか\r\n\r\n" + list,
              prompt);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ("n" + std::to_string(i),
                  readFile(dir.at("dest\\f" + std::to_string(i) + ".txt")));
}

// A drop block as the shell builds it, ANSI or wide.
static HGLOBAL makeDrop(const std::vector<std::wstring> &names, bool bWide) {
    std::vector<char> data;
    for (const std::wstring &name : names) {
        std::vector<char> bytes;
        if (bWide) {
            bytes.assign((const char *)name.c_str(),
                         (const char *)(name.c_str() + name.size() + 1));
        } else {
            int cb = WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, NULL, 0, NULL, NULL);
            bytes.resize(cb);
            WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, bytes.data(), cb, NULL, NULL);
        }
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.resize(data.size() + (bWide ? 2 : 1), '\0');
    HGLOBAL h = GlobalAlloc(GHND, sizeof(DROPFILES) + data.size());
    DROPFILES *pdf = (DROPFILES *)GlobalLock(h);
    pdf->pFiles = sizeof(DROPFILES);
    pdf->fWide = bWide;
    memcpy(pdf + 1, data.data(), data.size());
    GlobalUnlock(h);
    return h;
}

static DropResult dropInto(Str *pstrList, HGLOBAL h, WCHAR **ppszForeign) {
    DropResult result =
        appendDropped(pstrList, (const BYTE *)GlobalLock(h), GlobalSize(h), ppszForeign);
    GlobalUnlock(h);
    return result;
}

// One walk of the block gives the very bytes of a DragQueryFileA loop, for
// ANSI and wide blocks, Shift-JIS names and names longer than MAX_PATH.
TEST(ChooserDrop, OneWalkGivesWhatDragQueryFileGives) {
    std::vector<std::wstring> names = {L"C:\\p.txt", L"C:\\表\\ソ q",
                                       L"C:\\" + std::wstring(300, L'n'), L"C:\\ポ"};
    for (bool bWide : {false, true}) {
        SCOPED_TRACE(bWide ? "wide" : "ansi");
        HGLOBAL h = makeDrop(names, bWide);
        std::string expected = "X\n";
        UINT n = DragQueryFileA((HDROP)h, 0xFFFFFFFF, NULL, 0);
        for (UINT i = n; i-- > 0;) {
            std::string name(DragQueryFileA((HDROP)h, i, NULL, 0) + 1, '\0');
            DragQueryFileA((HDROP)h, i, &name[0], (UINT)name.size());
            expected += name.c_str() + std::string("\n");
        }
        Str list = {};
        assignStr(&list, "X\n");
        WCHAR *pszForeign = NULL;
        EXPECT_EQ(DROP_ADDED, dropInto(&list, h, &pszForeign));
        EXPECT_EQ(expected, strText(list));
        EXPECT_EQ(expected.size(), list.length);
        freeStr(&list);
        GlobalFree(h);
    }
}

static void *failingRealloc(void *, size_t) {
    return NULL;
}
static void *failingCalloc(size_t, size_t) {
    return NULL;
}

// A drop is taken whole or not at all: a name the code page cannot hold, a
// list that cannot grow, or a block that is not one leave the list alone.
TEST(ChooserDrop, RefusedWholeAndListKept) {
    Str list = {};
    assignStr(&list, "X\n");
    WCHAR *pszForeign = NULL;
    HGLOBAL h = makeDrop({L"C:\\a.txt", L"C:\\café.txt", L"C:\\b"}, true);
    EXPECT_EQ(DROP_FOREIGN, dropInto(&list, h, &pszForeign));
    ASSERT_NE(nullptr, pszForeign);
    const std::wstring named = L"C:\\café.txt\r\n"; // outside the macro, which also narrows it
    EXPECT_EQ(named, pszForeign);
    free(pszForeign);
    EXPECT_EQ("X\n", strText(list));
    GlobalFree(h);

    // Names the shell would read as other paths (表 ends in 0x5C): "C:\表."
    // acts on "C:\表".
    for (const wchar_t *pszOdd :
         {L"C:\\a/b.txt", L"C:\\a\\..", L"C:\\.\\b", L"表\\..\\x", L"C:\\src\\*", L"C:\\s\\?.txt",
          L"C:\\表.", L"C:\\a.txt ", L"C:\\a\n\\..", L"C:\\a<b", L"C:\\a|b", L"C:\\a\"b",
          L"C:\\a:b", L"relative.txt", L"\\x.txt", L"C:x.txt", L"C:\\a\\\\b", L"C:\\a\\con",
          L"C:\\a\\LPT0 .txt"}) {
        for (bool bWide : {false, true}) {
            h = makeDrop({L"C:\\ok.txt", pszOdd}, bWide);
            EXPECT_EQ(DROP_BAD_NAME, dropInto(&list, h, &pszForeign)) << bWide;
            free(pszForeign);
            GlobalFree(h);
        }
    }
    h = makeDrop({L"C:\\表", L"C:\\ポ\\a..b", L"\\\\server\\share\\x", L"D:\\", L"C:\\nul\\a.txt",
                  L"C:\\comx.txt"},
                 false);
    EXPECT_EQ(DROP_ADDED, dropInto(&list, h, &pszForeign));
    GlobalFree(h);
    assignStr(&list, "X\n");

    // Without room to name them, names the code page cannot hold are refused too.
    h = makeDrop({L"C:\\café.txt"}, true);
    pfnStrCalloc = failingCalloc;
    EXPECT_EQ(DROP_NO_ROOM, dropInto(&list, h, &pszForeign));
    pfnStrCalloc = calloc;
    EXPECT_EQ("X\n", strText(list));
    GlobalFree(h);

    h = makeDrop({L"C:\\a.txt"}, false);
    pfnStrRealloc = failingRealloc;
    EXPECT_EQ(DROP_NO_ROOM, dropInto(&list, h, &pszForeign));
    pfnStrRealloc = realloc;
    EXPECT_EQ("X\n", strText(list));
    DROPFILES *pdf = (DROPFILES *)GlobalLock(h);
    memset(pdf + 1, 'a', GlobalSize(h) - sizeof(DROPFILES)); // no terminator left
    GlobalUnlock(h);
    EXPECT_EQ(DROP_MALFORMED, dropInto(&list, h, &pszForeign));
    EXPECT_EQ("X\n", strText(list));
    GlobalFree(h);
    freeStr(&list);
}

// A drop that exactly fills the room a cut-back list left keeps its NUL
// inside the block.
TEST(ChooserDrop, ExactFillKeepsTheNulInTheBlock) {
    Str list = {};
    assignStr(&list, "X\nabcdefgh"); // an 11-byte block
    list.buffer[2] = '\0';           // cut back as a failed expansion is
    list.length = 2;
    HGLOBAL h = makeDrop({L"C:\\abcde"}, false); // 9 bytes with its newline
    WCHAR *pszForeign = NULL;
    EXPECT_EQ(DROP_ADDED, dropInto(&list, h, &pszForeign));
    EXPECT_EQ("X\nC:\\abcde\n", strText(list));
    EXPECT_LT(list.length, _msize(list.buffer));
    GlobalFree(h);
    freeStr(&list);
}

// On the real chooser the refusal is a warning over it that names the item:
// a name the code page cannot hold, or a path too long for the file
// operation (259 UTF-16 units at most).
TEST(ChooserDrop, ForeignNameIsNamedInAWarning) {
    std::string tooLong = "C:\\" + std::string(256, 'n') + ".txt";
    const struct {
        HGLOBAL hDrop;
        std::wstring named;
    } rows[] = {
        {makeDrop({L"C:\\한.txt"}, true), L"\r\n\r\nC:\\한.txt\r\n"},
        {makeDrop({L"C:\\ok.txt", toWide(tooLong)}, false),
         L"\r\n\r\n" + toWide(tooLong) + L"\r\n"},
        {makeDrop({L"C:\\ok.txt", L"C:\\src\\*.doc"}, false), L"\r\n\r\nC:\\src\\*.doc\r\n"},
    };
    for (const auto &row : rows) {
        ChooserSettings cs("C:\\in\\x.txt\n", 0);
        std::wstring text;
        runChooser(cs, [&](HWND hChooser, UiThread &) {
            PostMessageA(hChooser, WM_DROPFILES, (WPARAM)row.hDrop, 0);
            HWND hBox = waitMessageBox(GetCurrentProcessId());
            ASSERT_NE(nullptr, hBox);
            EXPECT_EQ(hChooser, GetWindow(hBox, GW_OWNER));
            text = wideText(GetDlgItem(hBox, 0xFFFF));
            clickId(hBox, IDOK);
            waitGone(hBox);
        });
        EXPECT_NE(std::wstring::npos, text.find(row.named)) << text.size();
        EXPECT_EQ("C:\\in\\x.txt\n", strText(cs.strFiles));
    }
}

// The chime that a drop plays: a RIFF WAVE resource of the stated format.
TEST(ChooserDrop, SoundResource) {
    HMODULE hModule = GetModuleHandleA(NULL);
    HRSRC hRes = FindResourceA(hModule, MAKEINTRESOURCEA(IDR_DROPWAVE), "WAVE");
    ASSERT_NE(nullptr, hRes);
    ASSERT_EQ(16754u, SizeofResource(hModule, hRes));
    const BYTE *p = (const BYTE *)LockResource(LoadResource(hModule, hRes));
    auto u16 = [&](size_t at) { return (unsigned)(p[at] | p[at + 1] << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    EXPECT_EQ(0, memcmp(p, "RIFF", 4));
    EXPECT_EQ(16754u - 8, u32(4));
    EXPECT_EQ(0, memcmp(p + 8, "WAVE", 4));
    size_t at = 12;
    unsigned nData = 0;
    bool bFormat = false;
    while (at + 8 <= 16754) {
        unsigned cb = u32(at + 4);
        if (memcmp(p + at, "fmt ", 4) == 0) {
            bFormat = true;
            EXPECT_EQ(1u, u16(at + 8));     // PCM
            EXPECT_EQ(1u, u16(at + 10));    // mono
            EXPECT_EQ(8000u, u32(at + 12)); // samples per second
            EXPECT_EQ(16000u, u32(at + 16));
            EXPECT_EQ(2u, u16(at + 20));
            EXPECT_EQ(16u, u16(at + 22));
        } else if (memcmp(p + at, "data", 4) == 0) {
            nData = cb;
        }
        at += 8 + cb + (cb & 1);
    }
    EXPECT_TRUE(bFormat);
    EXPECT_EQ(16614u, nData);
    EXPECT_EQ(16754u, at);
    EXPECT_TRUE(PlaySoundA(MAKEINTRESOURCEA(IDR_DROPWAVE), hModule, DROP_SOUND_FLAGS));
    PlaySoundA(NULL, NULL, 0);
}

// ---------------------------------------------------------------- click dispatch

static WNDPROC pfnBrowserProc;
static std::vector<std::pair<WPARAM, LPARAM>> commandsSeen;

static LRESULT CALLBACK spyProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_COMMAND)
        commandsSeen.push_back({wParam, lParam});
    return CallWindowProcA(pfnBrowserProc, hwnd, uMsg, wParam, lParam);
}

TEST(ChooserDispatch, OtherNotificationsOnlyReachTheBrowser) {
    ChooserSettings cs("", 0);
    runChooser(cs, [&](HWND hChooser, UiThread &ui) {
        ui.run([&] {
            DialogData &d = dialog_data;
            pfnBrowserProc = d.pfnOldProc;
            d.pfnOldProc = spyProc;
            commandsSeen.clear();
            std::vector<std::pair<WPARAM, LPARAM>> sent;
            for (HWND hButton : {d.hMove, d.hSettings, d.hNew, d.hRename}) {
                for (WORD wCode : {BN_DOUBLECLICKED, BN_SETFOCUS, BN_KILLFOCUS}) {
                    sent.push_back({MAKEWPARAM(0, wCode), (LPARAM)hButton});
                    SendMessageA(hChooser, WM_COMMAND, sent.back().first, sent.back().second);
                }
            }
            EXPECT_EQ(sent, commandsSeen);
            EXPECT_EQ(0u, cs.settings.dwFlags & OPT_MOVE);
            EXPECT_FALSE(d.bExpanded);
            EXPECT_TRUE(IsWindowVisible(hChooser));

            // Clicks act and then reach the browser as well.
            commandsSeen.clear();
            SendMessageA(d.hSettings, BM_CLICK, 0, 0);
            EXPECT_TRUE(d.bExpanded);
            EXPECT_EQ(1, SendMessageA(d.hSettings, BM_GETCHECK, 0, 0));
            SendMessageA(d.hSettings, BM_CLICK, 0, 0);
            EXPECT_FALSE(d.bExpanded);
            EXPECT_EQ(0, SendMessageA(d.hSettings, BM_GETCHECK, 0, 0));
            std::vector<std::pair<WPARAM, LPARAM>> clicks = {
                {MAKEWPARAM(0, BN_CLICKED), (LPARAM)d.hSettings},
                {MAKEWPARAM(0, BN_CLICKED), (LPARAM)d.hSettings}};
            EXPECT_EQ(clicks, commandsSeen);
            EXPECT_EQ(nullptr, d.hApply);
            EXPECT_EQ(nullptr, d.hRevert);
            EXPECT_EQ(nullptr, d.hHistory);
            for (HWND hOption : d.hOptions)
                EXPECT_EQ(nullptr, hOption);
            d.pfnOldProc = pfnBrowserProc;
        });
        PostMessageA(dialog_data.hCancelButton, BM_CLICK, 0, 0);
    });
}

// Which control does what, and Apply and Revert on stand-ins for the panel.
TEST(ChooserDispatch, RowsApplyAndRevert) {
    RegistrySandbox reg;
    ChooserSettings cs("", 0);
    HKEY hKey = reg.settingsKey();
    cs.settings.hKey = hKey;
    runChooser(cs, [&](HWND hChooser, UiThread &ui) {
        ui.run([&] {
            DialogData &d = dialog_data;
            EXPECT_EQ(ROW_NONE, clickRow(NULL));
            EXPECT_EQ(ROW_MOVE, clickRow(d.hMove));
            EXPECT_EQ(ROW_SETTINGS, clickRow(d.hSettings));
            EXPECT_EQ(ROW_RENAME, clickRow(d.hRename));
            EXPECT_EQ(ROW_NEW, clickRow(d.hNew));
            EXPECT_EQ(ROW_OTHER, clickRow(d.hCopy));
            EXPECT_EQ(ROW_OTHER, clickRow(d.hCancelButton));

            auto make = [&](const char *caption, DWORD dwStyle) {
                return CreateWindowExA(0, "BUTTON", caption, WS_CHILD | dwStyle, 0, 0, 10, 10,
                                       hChooser, NULL, NULL, NULL);
            };
            for (HWND &hOption : d.hOptions)
                hOption = make("option", BS_CHECKBOX);
            d.hApply = make("apply", 0);
            d.hRevert = make("revert", 0);
            d.hHistory = make("history", 0);
            EXPECT_EQ(ROW_APPLY, clickRow(d.hApply));
            EXPECT_EQ(ROW_REVERT, clickRow(d.hRevert));
            EXPECT_EQ(ROW_HISTORY, clickRow(d.hHistory));
            EXPECT_EQ(ROW_OTHER, clickRow(d.hOptions[3]));

            // Apply writes the bits and disables itself and Revert.
            cs.settings.dwFlags = OPT_NOTIFY | OPT_OPEN_FOLDER | OPT_CLEAR_READONLY;
            SendMessageA(d.hApply, BM_CLICK, 0, 0);
            DWORD dwStored = 0;
            EXPECT_TRUE(regReadDword(reg, "dwFlags", &dwStored));
            EXPECT_EQ((DWORD)(OPT_NOTIFY | OPT_OPEN_FOLDER | OPT_CLEAR_READONLY), dwStored);
            EXPECT_FALSE(IsWindowEnabled(d.hApply));
            EXPECT_FALSE(IsWindowEnabled(d.hRevert));

            // Revert reads them back and sets all eight check marks by them.
            regWriteDword(reg, "dwFlags", OPT_SILENT_OVERWRITE | OPT_OPEN_CURRENT | OPT_NO_CONFIRM);
            cs.settings.dwFlags = 0x17F;
            for (HWND hOption : d.hOptions)
                SendMessageA(hOption, BM_SETCHECK, 1, 0);
            EnableWindow(d.hApply, TRUE);
            EnableWindow(d.hRevert, TRUE);
            SendMessageA(d.hRevert, BM_CLICK, 0, 0);
            EXPECT_EQ((DWORD)(OPT_SILENT_OVERWRITE | OPT_OPEN_CURRENT | OPT_NO_CONFIRM),
                      cs.settings.dwFlags);
            const int expected[8] = {0, 1, 0, 0, 1, 0, 1, 0};
            for (int i = 0; i < 8; i++)
                EXPECT_EQ(expected[i], SendMessageA(d.hOptions[i], BM_GETCHECK, 0, 0)) << i;
            EXPECT_FALSE(IsWindowEnabled(d.hApply));
            EXPECT_FALSE(IsWindowEnabled(d.hRevert));

            for (HWND &hOption : d.hOptions) {
                DestroyWindow(hOption);
                hOption = NULL;
            }
            for (HWND *ph : {&d.hApply, &d.hRevert, &d.hHistory}) {
                DestroyWindow(*ph);
                *ph = NULL;
            }
        });
        PostMessageA(dialog_data.hCancelButton, BM_CLICK, 0, 0);
    });
    RegCloseKey(hKey);
}
