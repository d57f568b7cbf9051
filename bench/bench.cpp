// Porterly's benchmark: times what a user waits for on large selections
// (the chooser's start, the splitter, drops, the long confirmation, the
// read-only clearing, the verification, the undo journal) against the bare
// platform cost of the same work, both measured in this one run, and prints a
// Markdown table of the figures and their ratios. scripts/bench.sh builds and
// runs it under Wine, either build.
//   porterly-bench.exe [--quick]
//       [chooser|steps|splitter|drop|server|dialog|readonly|merge|verify|vmove|journal|undo|queue|
//        calls]...
// Like the tests, it compiles the driver module itself to reach its private
// functions (the dialog procedure, the read-only clearing) and takes the
// splitter and the chooser from the archive.
#include "harness.h"
#include "../src/porty4.cpp"
#include "verify.h"
#include "dropclass.h"
#include "dropreg.h"
#include "undo.h"
#include "queue.h"
#include <algorithm>
#include <stdarg.h>
#include <stdio.h>

// Short, so that the full 32K line holds about 1,800 items, as a Send To line
// from a folder near the root does.
static const char szRoot[] = "C:\\pb";

static bool bQuick = false;
static std::vector<std::string> rows;    // table lines, in order
static std::vector<std::string> targets; // the program's targets against this run's figures
static std::vector<std::string> calls;   // platform costs per call
static std::vector<std::string> steps;   // the chooser's start, step by step

static void fail(const char *pszWhat) {
    fprintf(stderr, "bench: %s\n", pszWhat);
    exit(1);
}

static double now() {
    static LARGE_INTEGER freq = {};
    if (freq.QuadPart == 0)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
}

static std::string format(const char *pszFormat, ...) {
    char buf[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(buf, sizeof(buf), pszFormat, args);
    va_end(args);
    return buf;
}

static std::string thousands(unsigned long long n) {
    std::string s = format("%llu", n);
    for (int i = (int)s.size() - 3; i > 0; i -= 3)
        s.insert((size_t)i, ",");
    return s;
}

static std::string ms(double v) {
    return format(v < 1 ? "%.3f" : v < 10 ? "%.2f" : v < 100 ? "%.1f" : "%.0f", v);
}

// ---------------------------------------------------------------- repetitions

struct Series {
    std::vector<double> ms;
    double min() const {
        return *std::min_element(ms.begin(), ms.end());
    }
    double median() const {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
};

// Runs the timed functions (each returns one timing in ms) in turn, round
// after round, so that a change in the machine's load falls on all of them:
// up to 7 rounds (3 when quick), stopping after 3 (2) once the rounds have
// taken 10 s (3 s), or after 2 (1) when a run takes over 5 s. A function's
// first run is a warm-up (first use of a library, cold directories) and is
// not counted, unless it took over 5 s: caches do not matter at that scale.
// Short work whose ratio is a target takes 21 rounds (bAll) unless quick: the
// load of a shared machine shifts its median less then. Long work whose
// ratio is a target takes at least nLong rounds (2 when quick), however long.
static std::vector<Series> rounds(const std::vector<std::function<double()>> &fns,
                                  bool bAll = false, int nLong = 0) {
    int maxRuns = bQuick ? 3 : bAll ? 21 : std::max(7, nLong);
    int minRuns = bQuick ? 2 : bAll ? 21 : 3;
    double budget = bQuick ? 3000 : 10000;
    std::vector<Series> s(fns.size());
    double start = now();
    bool bSlow = false;
    for (size_t i = 0; i < fns.size(); i++) {
        double first = fns[i]();
        if (first > 5000) {
            s[i].ms.push_back(first);
            bSlow = true;
        }
    }
    if (bSlow)
        minRuns = bQuick ? 1 : 2;
    if (nLong > 0)
        minRuns = std::max(minRuns, bQuick ? 2 : nLong);
    else
        start = now(); // all were warm-ups
    for (;;) {
        int n = maxRuns;
        for (const Series &one : s)
            n = std::min(n, (int)one.ms.size());
        if (n >= maxRuns || (n >= minRuns && now() - start >= budget))
            return s;
        for (size_t i = 0; i < fns.size(); i++) {
            if ((int)s[i].ms.size() == n)
                s[i].ms.push_back(fns[i]());
        }
    }
}

static std::string ratio(double v) {
    return format(v < 100 ? "%.2fx" : "%.0fx", v);
}

static void addRow(const std::string &work, const Series &ours, const std::string &baseline,
                   const Series &base) {
    rows.push_back(format(
        "| %s | %s / %s | %s | %s / %s | %s | %s | %d / %d |", work.c_str(), ms(ours.min()).c_str(),
        ms(ours.median()).c_str(), baseline.c_str(), ms(base.min()).c_str(),
        ms(base.median()).c_str(), ratio(ours.median() / base.median()).c_str(),
        ratio(ours.min() / base.min()).c_str(), (int)ours.ms.size(), (int)base.ms.size()));
    fprintf(stderr, "%s\n", rows.back().c_str());
}

static std::string verdict(bool bMet) {
    return bMet ? "met" : "**not met**";
}

// ---------------------------------------------------------------- fixtures

static void makeFile(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        fail(("cannot create " + path).c_str());
    CloseHandle(h);
}

// n files named by the pattern (one %04d or %03d) in folder; made once and
// kept: the last name existing means all do.
static std::vector<std::string> files(const std::string &folder, const char *pszName, int n) {
    std::vector<std::string> paths;
    for (int i = 1; i <= n; i++)
        paths.push_back(folder + "\\" + format(pszName, i));
    if (!exists(paths.back())) {
        fprintf(stderr, "bench: making %d files in %s\n", n, folder.c_str());
        CreateDirectoryA(szRoot, NULL);
        CreateDirectoryA(folder.c_str(), NULL);
        for (const std::string &p : paths)
            makeFile(p);
    }
    return paths;
}

// The first `count` paths of a kind, or as many as fit a 32,000-character
// tail (count 0).
static std::string tailOf(const std::vector<std::string> &paths, bool bQuoted, int count,
                          int *pItems) {
    std::string tail;
    int n = 0;
    for (const std::string &p : paths) {
        std::string item = bQuoted ? "\"" + p + "\"" : p;
        if (count > 0 ? n == count : tail.size() + 1 + item.size() > 32000)
            break;
        tail += (n++ ? " " : "") + item;
    }
    *pItems = n;
    return tail;
}

// ---------------------------------------------------------------- 1. the chooser's start

struct FindArgs {
    DWORD pid;
    const char *pszCaption; // null: any caption
    HWND found;
};

static BOOL CALLBACK findBrowser(HWND hwnd, LPARAM lParam) {
    FindArgs *args = (FindArgs *)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != args->pid || !IsWindowVisible(hwnd) ||
        FindWindowExA(hwnd, NULL, "SysTreeView32", NULL) == NULL)
        return TRUE;
    char text[64] = "";
    GetWindowTextA(hwnd, text, sizeof(text));
    if (args->pszCaption != NULL && strcmp(text, args->pszCaption) != 0)
        return TRUE;
    args->found = hwnd;
    return FALSE;
}

// From CreateProcess until the program's browser window is visible; the
// window is then closed and the process waited for, untimed.
static double startToBrowser(const std::string &exe, const std::string &tail,
                             const char *pszCaption) {
    Process p;
    p.name = exe.c_str();
    double t0 = now();
    if (!p.start(tail))
        fail(("cannot start " + exe).c_str());
    FindArgs args = {p.pi.dwProcessId, pszCaption, NULL};
    while (EnumWindows(findBrowser, (LPARAM)&args), args.found == NULL) {
        if (now() - t0 > 30000)
            fail(("no browser window from " + exe).c_str());
        Sleep(2);
    }
    double t = now() - t0;
    PostMessageA(args.found, WM_CLOSE, 0, 0);
    p.wait(10000);
    return t;
}

// A build to compare with, when one lies beside the benchmark as
// porterly-before.exe: its chooser row is timed in the same rounds.
static void chooserFigure(const std::string &item) {
    fprintf(stderr, "bench: the chooser's start\n");
    std::string exe = programPath();
    std::string bare = programPath("porterly-bare-browser.exe");
    std::string manifested = programPath("porterly-bare-browser-manifest.exe");
    std::string before = programPath("porterly-before.exe");
    // Default settings: nothing preselected.
    RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
    std::vector<std::function<double()>> fns = {
        [&] { return startToBrowser(exe, item, APP_TITLE); },
        [&] { return startToBrowser(bare, "", NULL); },
        [&] { return startToBrowser(manifested, "", NULL); }};
    if (exists(before))
        fns.push_back([&] { return startToBrowser(before, item, APP_TITLE); });
    std::vector<Series> s = rounds(fns, true);
    addRow("Chooser visible, one item (process start)", s[0],
           "a program that only opens the browser", s[1]);
    addRow("The manifest: that program with the chooser's manifest", s[2],
           "the same program without it", s[1]);
    if (s.size() > 3)
        addRow("Chooser visible, the build to compare with (`porterly-before.exe`)", s[3],
               "a program that only opens the browser", s[1]);
}

// The chooser's start step by step, each timed alone in a fresh process (this
// program started with --step N), so that it pays its first-use costs as the
// program does: the exit status is the step's time in microseconds.
struct StartStep {
    const char *pszName;
    void (*pfnPrepare)(); // untimed: what the browser has done by then
    void (*pfnRun)();
};

static void stepRegistry() {
    Settings settings = {};
    if (readReg(&settings) == ERROR_SUCCESS)
        RegCloseKey(settings.hKey);
    for (Str &str : settings.tstrPath)
        freeStr(&str);
}

static void stepTexts() {
    for (UINT uId : {IDS_BROWSE_TITLE, IDS_COPY, IDS_SETTINGS, IDS_MOVE, IDS_NEW, IDS_RENAME})
        loadText(uId);
}

// What the jump menu asks of the shell, the special folders' paths and names,
// for every folder id up to the last it lists (its 25 among them).
static void stepSpecialFolders() {
    for (int csidl = CSIDL_DESKTOP; csidl <= CSIDL_COMMON_APPDATA; csidl++) {
        LPITEMIDLIST pidl = NULL;
        if (FAILED(SHGetSpecialFolderLocation(NULL, csidl, &pidl)) || pidl == NULL)
            continue;
        WCHAR szPath[MAX_PATH];
        SHGetPathFromIDListW(pidl, szPath);
        SHFILEINFOW sfi = {};
        SHGetFileInfoW((LPCWSTR)pidl, 0, &sfi, sizeof(sfi), SHGFI_PIDL | SHGFI_DISPLAYNAME);
        CoTaskMemFree(pidl);
    }
}

// Ten pinned folders, stored afresh (untimed) and then read and looked up as
// every opening of the jump menu does.
static void prepareFavourites() {
    Settings settings = {};
    if (readReg(&settings) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(settings.hKey, "mszFavourites");
    for (int i = 0; i < FAVOURITE_COUNT; i++) {
        std::string folder = format("%s\\fav%d", szRoot, i);
        CreateDirectoryA(szRoot, NULL);
        CreateDirectoryA(folder.c_str(), NULL);
        pinFavourite(settings.hKey, &settings.favourites, folder.c_str());
    }
    RegCloseKey(settings.hKey);
}

static void stepFavourites() {
    Settings settings = {};
    if (readReg(&settings) == ERROR_SUCCESS)
        RegCloseKey(settings.hKey);
    bool tbThere[FAVOURITE_COUNT];
    checkFavourites(&settings.favourites, tbThere);
}

// The chime's library, which the chooser loads on the first drop.
static void stepChime() {
    char szPath[MAX_PATH + 16];
    UINT cch = GetSystemDirectoryA(szPath, MAX_PATH);
    strcpy(szPath + cch, "\\winmm.dll");
    LoadLibraryA(szPath);
}

// The browser's window with its tree (the common controls loaded) and the
// shell, there before the chooser adds to them.
static HWND hStepWindow;

static void prepareWindow() {
    hStepWindow = CreateWindowExA(0, "#32770", "", WS_POPUP, 0, 0, 400, 300, NULL, NULL,
                                  GetModuleHandleA(NULL), NULL);
    LoadLibraryA("comctl32.dll");
    CreateWindowExA(0, "SysTreeView32", "", WS_CHILD | WS_VISIBLE, 10, 40, 380, 200, hStepWindow,
                    NULL, GetModuleHandleA(NULL), NULL);
}

static void prepareShell() {
    IShellFolder *pDesktop = NULL;
    if (SUCCEEDED(SHGetDesktopFolder(&pDesktop)) && pDesktop != NULL)
        pDesktop->Release();
}

// The added buttons, made in a dialog's font as the chooser makes them.
static void stepButtons() {
    HFONT hFont = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    HWND hAfter = NULL;
    for (int i = 0; i < 5; i++) {
        HWND h = CreateWindowExA(0, "BUTTON", "x", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 10 + 60 * i,
                                 10, 50, 20, hStepWindow, NULL, GetModuleHandleA(NULL), NULL);
        SetWindowPos(h, hAfter, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SendMessageA(h, WM_SETFONT, (WPARAM)hFont, TRUE);
        hAfter = h;
    }
}

static const StartStep startSteps[] = {
    {"registry: the settings read (key opened, options, ten destinations)", NULL, stepRegistry},
    {"string table: the chooser's six texts", NULL, stepTexts},
    {"special folders: the jump menu's lookups (on its first opening)", prepareShell,
     stepSpecialFolders},
    {"drop chime: its library loaded (on the first drop)", NULL, stepChime},
    {"favourites: the settings read with ten pinned, each looked up (each jump-menu opening)",
     prepareFavourites, stepFavourites},
    {"extra buttons: five made in the dialog's font", prepareWindow, stepButtons},
};

static int runStep(int n) {
    if (startSteps[n].pfnPrepare != NULL)
        startSteps[n].pfnPrepare();
    double t0 = now();
    startSteps[n].pfnRun();
    return (int)((now() - t0) * 1000);
}

static double stepOnce(int n) {
    Process p;
    p.name = "porterly-bench.exe";
    if (!p.start(format("--step %d", n)))
        fail("cannot start a step");
    DWORD code = p.wait(30000);
    if (code == STILL_ACTIVE)
        fail("a step did not end");
    return code / 1000.0;
}

static void stepFigures() {
    fprintf(stderr, "bench: the chooser's start, step by step\n");
    std::vector<std::function<double()>> fns;
    for (int n = 0; n < (int)(sizeof(startSteps) / sizeof(startSteps[0])); n++)
        fns.push_back([n] { return stepOnce(n); });
    std::vector<Series> s = rounds(fns, true);
    for (size_t n = 0; n < s.size(); n++) {
        steps.push_back(format("%s: %s / %s ms", startSteps[n].pszName, ms(s[n].min()).c_str(),
                               ms(s[n].median()).c_str()));
        fprintf(stderr, "%s\n", steps.back().c_str());
    }
}

// ---------------------------------------------------------------- 2. the splitter

// The driver's steps: the tail copied, the list reserved, then split.
static double splitOnce(const std::string &tail, int nItems) {
    double t0 = now();
    Str strText = {};
    Str strList = {};
    assignStr(&strText, tail.c_str());
    if (resize(&strList, BYTES_PER_ITEM * (unsigned int)count_sp(tail.c_str())) == NULL)
        fail("cannot reserve the list");
    int n = parse(&strList, &strText);
    double t = now() - t0;
    freeStr(&strText);
    freeStr(&strList);
    if (n != nItems)
        fail(format("the splitter returned %d for %d items", n, nItems).c_str());
    return t;
}

static double lookupLoop(const std::vector<std::string> &paths, int nItems) {
    char buf[2 * MAX_PATH];
    double t0 = now();
    for (int i = 0; i < nItems; i++) {
        if (GetFileAttributesA(paths[(size_t)i].c_str()) != INVALID_FILE_ATTRIBUTES)
            GetLongPathNameA(paths[(size_t)i].c_str(), buf, sizeof(buf));
    }
    return now() - t0;
}

static void splitterFigures(const std::vector<std::string> &plain,
                            const std::vector<std::string> &blank,
                            const std::vector<std::string> &blank2,
                            const std::vector<std::string> &blank4) {
    // As the driver finds it at its start.
    ptrGetLongPathName = GetLongPathNameA;
    struct Kind {
        const char *pszName;
        const std::vector<std::string> *paths;
        bool bQuoted;
        double limit;
    } kinds[] = {{"plain", &plain, false, 1.2},
                 {"quoted", &plain, true, 1.2},
                 {"unquoted with a blank", &blank, false, 1.2},
                 {"unquoted with two blanks", &blank2, false, 1.2},
                 {"unquoted with four blanks", &blank4, false, 1.2}};
    for (const Kind &kind : kinds) {
        double worst = 0;
        for (int count : {100, 1000, 0}) {
            int n = 0;
            std::string tail = tailOf(*kind.paths, kind.bQuoted, count, &n);
            fprintf(stderr, "bench: splitter, %s, %d items\n", kind.pszName, n);
            std::vector<Series> s = rounds(
                {[&] { return splitOnce(tail, n); }, [&] { return lookupLoop(*kind.paths, n); }});
            addRow(format("Splitter, %s, %s items (%s characters)", kind.pszName,
                          thousands((unsigned)n).c_str(), thousands(tail.size()).c_str()),
                   s[0], "`GetFileAttributesA` + `GetLongPathNameA` loop", s[1]);
            worst = std::max(worst, s[0].median() / s[1].median());
        }
        targets.push_back(format("Splitter, %s: at most %.1fx the bare loop at every size; "
                                 "measured up to %.2fx: %s",
                                 kind.pszName, kind.limit, worst,
                                 verdict(worst <= kind.limit).c_str()));
    }
}

// ---------------------------------------------------------------- 3. drops onto the chooser

// A drop block as the shell builds it: DROPFILES, the names, a double NUL.
static HGLOBAL dropBlock(const std::vector<std::string> &names, int n, bool bWide) {
    size_t cb = sizeof(DROPFILES) + (bWide ? 2 : 1);
    for (int i = 0; i < n; i++)
        cb += (names[(size_t)i].size() + 1) * (bWide ? 2 : 1);
    HGLOBAL h = GlobalAlloc(GHND, cb);
    DROPFILES *pDrop = (DROPFILES *)GlobalLock(h);
    pDrop->pFiles = sizeof(DROPFILES);
    pDrop->fWide = bWide;
    char *p = (char *)(pDrop + 1);
    for (int i = 0; i < n; i++) {
        const std::string &name = names[(size_t)i];
        if (bWide) {
            p += 2 *
                 MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, (WCHAR *)p, (int)name.size() + 1);
        } else {
            memcpy(p, name.c_str(), name.size() + 1);
            p += name.size() + 1;
        }
    }
    GlobalUnlock(h);
    return h;
}

// What the drop handler does today, without the list: the count, then the
// length and the copy of every name.
static double dragQueryLoop(HGLOBAL h) {
    char buf[2 * MAX_PATH];
    double t0 = now();
    UINT n = DragQueryFileA((HDROP)h, 0xFFFFFFFF, NULL, 0);
    for (UINT i = 0; i < n; i++) {
        UINT cch = DragQueryFileA((HDROP)h, i, NULL, 0);
        if (cch < sizeof(buf))
            DragQueryFileA((HDROP)h, i, buf, cch + 1);
    }
    return now() - t0;
}

static volatile size_t walkSink;

// One pass over the names from GlobalLock.
static double walkBlock(HGLOBAL h) {
    double t0 = now();
    DROPFILES *pDrop = (DROPFILES *)GlobalLock(h);
    size_t n = 0;
    if (pDrop->fWide) {
        for (const WCHAR *p = (const WCHAR *)((char *)pDrop + pDrop->pFiles); *p;
             p += wcslen(p) + 1)
            n++;
    } else {
        for (const char *p = (const char *)pDrop + pDrop->pFiles; *p; p += strlen(p) + 1)
            n++;
    }
    GlobalUnlock(h);
    walkSink = n;
    return now() - t0;
}

static unsigned int countLines(const Str *pstr) {
    unsigned int n = 0;
    for (unsigned int i = 0; i < pstr->length; i++)
        n += pstr->buffer[i] == '\n';
    return n;
}

static void dropFigures(const std::string &item) {
    std::vector<std::string> names;
    for (int i = 1; i <= 30000; i++)
        names.push_back(format("%s\\dropped\\from a folder\\file-%05d.txt", szRoot, i));
    Str strFiles = {};
    Settings settings = {};
    settings.hInstance = GetModuleHandleA(NULL);
    settings.pstrFiles = &strFiles;
    std::string startList = item + "\n";
    assignStr(&strFiles, startList.c_str());

    Driver driver([&] {
        HWND hChooser = waitChooser();
        if (hChooser == NULL)
            fail("the chooser did not open");
        struct Case {
            int n;
            bool bWide;
        } cases[] = {{1000, false}, {10000, false}, {10000, true}, {30000, false}};
        for (const Case &c : cases) {
            fprintf(stderr, "bench: drop of %d items%s\n", c.n, c.bWide ? " (wide)" : "");
            auto onBlock = [&](double (*pfn)(HGLOBAL)) {
                return [&, pfn] {
                    HGLOBAL h = dropBlock(names, c.n, c.bWide);
                    double t = pfn(h);
                    GlobalFree(h);
                    return t;
                };
            };
            std::vector<Series> s = rounds({[&] {
                                                // The list as the driver left it: the one item
                                                // started with.
                                                assignStr(&strFiles, startList.c_str());
                                                HGLOBAL h = dropBlock(names, c.n, c.bWide);
                                                double t0 = now();
                                                SendMessageA(hChooser, WM_DROPFILES, (WPARAM)h, 0);
                                                double t = now() - t0;
                                                if (countLines(&strFiles) != (unsigned int)c.n + 1)
                                                    fail("the drop did not reach the list whole");
                                                return t;
                                            },
                                            onBlock(dragQueryLoop), onBlock(walkBlock)});
            const Series &ours = s[0];
            std::string work =
                format("Drop of %s items%s onto the chooser", thousands((unsigned)c.n).c_str(),
                       c.bWide ? " (wide `DROPFILES`)" : "");
            addRow(work, ours, "`DragQueryFileA` loop (count, length, copy)", s[1]);
            addRow(work, ours, "one walk of the block from `GlobalLock`", s[2]);
            if (c.n == 30000)
                targets.push_back(format("Drop of 30,000 items: under 100 ms; measured %s ms "
                                         "(median): %s",
                                         ms(ours.median()).c_str(),
                                         verdict(ours.median() < 100).c_str()));
        }
        PostMessageA(hChooser, WM_CLOSE, 0, 0);
    });
    LPITEMIDLIST pidl = GuiMain(&settings);
    if (pidl != NULL)
        CoTaskMemFree(pidl);
    driver.thread.join();
    freeStr(&strFiles);
}

// ---------------------------------------------------------------- 3b. drops on the server

// From Drop on the drop-target server (started by COM beforehand, untimed)
// until its chooser is visible; the chooser is then closed and the server
// waited for, untimed.
static double dropToChooser(const std::string &block) {
    static const CLSID clsid = PORTERLY_DROP_CLSID_INIT;
    IDropTarget *pTarget = NULL;
    if (FAILED(
            CoCreateInstance(clsid, NULL, CLSCTX_LOCAL_SERVER, IID_IDropTarget, (void **)&pTarget)))
        fail("the drop-target server did not start");
    DWORD pid = programPid();
    OneFormat *pData = new OneFormat(CF_HDROP, block);
    POINTL pt = {0, 0};
    DWORD dwEffect = DROPEFFECT_COPY;
    pTarget->DragEnter(pData, MK_LBUTTON, pt, &dwEffect);
    double t0 = now();
    pTarget->Drop(pData, 0, pt, &dwEffect);
    FindArgs args = {pid, APP_TITLE, NULL};
    while (EnumWindows(findBrowser, (LPARAM)&args), args.found == NULL) {
        if (now() - t0 > 60000)
            fail("no chooser from the drop-target server");
        Sleep(2);
    }
    double t = now() - t0;
    PostMessageA(args.found, WM_CLOSE, 0, 0);
    HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (hProcess != NULL) {
        WaitForSingleObject(hProcess, 10000);
        CloseHandle(hProcess);
    }
    pData->Release();
    pTarget->Release();
    return t;
}

static void serverFigures(const std::string &item) {
    CoInitialize(NULL);
    std::string exe = programPath();
    // Where Wine's COM reads classes (the machine's), removed again after.
    if (!registerDropTarget(HKEY_LOCAL_MACHINE, exe.c_str()))
        fail("cannot register the drop-target class");
    RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
    std::vector<std::string> names;
    for (int i = 1; i <= 30000; i++)
        names.push_back(format("%s\\sent\\from a folder\\file-%05d.txt", szRoot, i));
    double median5000 = 0;
    for (int n : {5000, 30000}) {
        fprintf(stderr, "bench: drop of %d items on the server\n", n);
        HGLOBAL h = dropBlock(names, n, true);
        std::string block((const char *)GlobalLock(h), GlobalSize(h));
        GlobalUnlock(h);
        GlobalFree(h);
        std::vector<Series> s = rounds({[&] { return dropToChooser(block); },
                                        [&] { return startToBrowser(exe, item, APP_TITLE); }});
        addRow(format("Drop of %s items (wide) on the drop-target server until the chooser is "
                      "visible",
                      thousands((unsigned)n).c_str()),
               s[0], "the chooser's start from a one-item command line", s[1]);
        if (n == 5000) {
            median5000 = s[0].median();
            targets.push_back(format("Drop of 5,000 items on the server until the chooser is "
                                     "visible: at most 1 s; measured %s ms (median): %s",
                                     ms(median5000).c_str(), verdict(median5000 <= 1000).c_str()));
        } else {
            double growth = s[0].median() / median5000;
            targets.push_back(format("The server's drop grows at most linearly: 30,000 items "
                                     "take %.1f times as long as 5,000 (6 would be linear): %s",
                                     growth, verdict(growth <= 6).c_str()));
        }
    }
    unregisterDropTarget(HKEY_LOCAL_MACHINE, exe.c_str());
    CoUninitialize();
}

// ---------------------------------------------------------------- 4. the long confirmation

// The baseline's procedure: template 106 with only the prebuilt text set into
// its edit control, its text limit lifted as the confirmation lifts it (the
// limit restricts typing only; WM_SETTEXT sets the whole text either way).
static INT_PTR CALLBACK bareEditProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        HWND hEdit = FindWindowExA(hDlg, NULL, "EDIT", NULL);
        SendMessageA(hEdit, EM_SETLIMITTEXT, 0, 0);
        SendMessageA(hEdit, WM_SETTEXT, 0, lParam);
        return TRUE;
    }
    if (uMsg == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(hDlg, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

// Times modal dialogs run on this thread, from the call until a second thread
// finds the dialog up and answering with text in its edit control; that
// thread then notes whether the text ends with lastItem and cancels it.
struct DialogWatch {
    std::string lastItem;
    std::atomic<double> t0{0};
    std::atomic<double> t{0};
    std::atomic<bool> bLast{false};
    std::atomic<bool> done{false};
    Driver driver;
    explicit DialogWatch(const std::string &last) : lastItem(last), driver([this] { watch(); }) {}
    ~DialogWatch() {
        done = true;
    }
    void watch() {
        while (!done) {
            HWND hDlg = findDialogWithEdit(APP_TITLE);
            HWND hEdit = hDlg ? FindWindowExA(hDlg, NULL, "Edit", NULL) : NULL;
            if (hEdit == NULL || SendMessageA(hEdit, WM_GETTEXTLENGTH, 0, 0) == 0) {
                Sleep(2);
                continue;
            }
            t = now() - t0;
            std::vector<char> text((size_t)SendMessageA(hEdit, WM_GETTEXTLENGTH, 0, 0) + 1);
            SendMessageA(hEdit, WM_GETTEXT, text.size(), (LPARAM)text.data());
            std::string s(text.data());
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                s.pop_back();
            bLast = s.size() >= lastItem.size() &&
                    s.compare(s.size() - lastItem.size(), lastItem.size(), lastItem) == 0;
            PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
            waitGone(hDlg);
        }
    }
    double time(const std::function<void()> &modal, bool *pbLast) {
        t = -1;
        t0 = now();
        modal();
        if (t < 0)
            fail("the dialog was not seen");
        *pbLast = bLast;
        return t;
    }
};

static void dialogFigures() {
    Settings settings = {};
    settings.hInstance = GetModuleHandleA(NULL);
    Str strDest = {};
    std::string dest = std::string(szRoot) + "\\destination";
    assignStr(&strDest, dest.c_str());
    for (int n : {10000, 30000}) {
        fprintf(stderr, "bench: confirmation of %d items\n", n);
        std::string list, last;
        for (int i = 1; i <= n; i++) {
            last = format("%s\\selected\\from a folder\\file-%05d.txt", szRoot, i);
            list += last + "\n";
        }
        Str strFiles = {};
        assignStr(&strFiles, list.c_str());
        // The text the dialog shows: the prompt, a blank line, one item a line.
        std::string text = format(loadText(IDS_COPY_PROMPT), dest.c_str(), "");
        for (char ch : list)
            text += ch == '\n' ? "\r\n" : std::string(1, ch);
        bool bOursLast = false, bBaseLast = false;
        std::vector<Series> s;
        {
            DialogWatch watch(last);
            s = rounds(
                {[&] {
                     return watch.time([&] { confirmTransfer(&settings, &strFiles, n, &strDest); },
                                       &bOursLast);
                 },
                 [&] {
                     return watch.time(
                         [&] {
                             DialogBoxParamA(settings.hInstance, MAKEINTRESOURCEA(IDD_CONFIRM),
                                             NULL, bareEditProc, (LPARAM)text.c_str());
                         },
                         &bBaseLast);
                 }});
        }
        const Series &ours = s[0], &base = s[1];
        if (!bBaseLast)
            fail("the bare edit control does not hold the whole text");
        addRow(format("Confirmation dialog, %s items (last item shown: %s)",
                      thousands((unsigned)n).c_str(), bOursLast ? "yes" : "**no**"),
               ours, "the same text set into template 106's edit control, limit lifted", base);
        double ratio = ours.median() / base.median();
        targets.push_back(format("Confirmation of %s items: every line shown and within 1.5x "
                                 "the bare edit control; last item shown: %s, %.2fx: %s",
                                 thousands((unsigned)n).c_str(), bOursLast ? "yes" : "no", ratio,
                                 verdict(bOursLast && ratio <= 1.5).c_str()));
        freeStr(&strFiles);
    }
    freeStr(&strDest);
}

// ---------------------------------------------------------------- 5. read-only clearing

#define RO_FOLDERS       250
#define RO_MERGE_FOLDERS 50
#define RO_FILES         200

// The product's clearing of the transferred tree in pszDest, with the plan
// the driver makes around the transfer: before it (with bAway the tree is
// out of the way then, its name free, as a transfer finds it), and after it.
// Returns the time of the plan and the clearing.
static double clearInDestination(const char *pszDest, const std::string &tree, const char *pszList,
                                 bool bAway) {
    std::string away = tree + ".away";
    if (bAway)
        MoveFileA(tree.c_str(), away.c_str());
    double t0 = now();
    TransferPlan plan;
    if (!makePlan(&plan, pszList, pszDest, PLAN_MERGES))
        fail("the transfer's plan cannot be made");
    double t = now() - t0;
    if (bAway)
        MoveFileA(away.c_str(), tree.c_str());
    t0 = now();
    completePlan(&plan, NULL, NULL);
    ChangeFileAttr(&plan);
    t += now() - t0;
    freeTransferPlan(&plan);
    return t;
}

static void bareClear(const std::string &folder) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        bool bDot = strcmp(fd.cFileName, ".") == 0;
        if (strcmp(fd.cFileName, "..") == 0)
            continue;
        std::string path = folder + "\\" + fd.cFileName;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !bDot)
            bareClear(path);
        else
            SetFileAttributesA(path.c_str(), fd.dwFileAttributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

typedef char *(CDECL *UnixFileNameProc)(LPCWSTR);

// Makes every file of the tree read-only again. 50,000 SetFileAttributesA
// calls take as long as the clearing itself; under Wine a chmod on the Unix
// side takes a fraction of a second (the folders too: they read as read-only
// then, and both clearings clear them). Wine gives no handle to wait on, so
// this waits until every file shows the bit.
static void markReadOnly(const std::string &tree, const std::vector<std::string> &all) {
    UnixFileNameProc pfn = (UnixFileNameProc)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    WCHAR wTree[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, tree.c_str(), -1, wTree, MAX_PATH);
    char *pszUnix = pfn != NULL ? pfn(wTree) : NULL;
    Process chmod;
    bool bStarted = false;
    if (pszUnix != NULL) {
        std::string cmd = std::string("/bin/chmod -R a-w \"") + pszUnix + "\"";
        HeapFree(GetProcessHeap(), 0, pszUnix);
        std::vector<WCHAR> wCmd(cmd.size() + 1);
        MultiByteToWideChar(CP_UTF8, 0, cmd.c_str(), -1, wCmd.data(), (int)wCmd.size());
        bStarted = chmod.startLine(wCmd.data());
    }
    double t0 = now();
    for (const std::string &p : all) {
        while (!(GetFileAttributesA(p.c_str()) & FILE_ATTRIBUTE_READONLY)) {
            if (!bStarted || now() - t0 > 10000) {
                SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_READONLY);
                continue;
            }
            Sleep(5);
        }
    }
}

// A tree of folders d001... of RO_FILES files each.
static std::vector<std::string> roTree(const std::string &tree, int nFolders) {
    std::vector<std::string> all;
    CreateDirectoryA(tree.c_str(), NULL);
    for (int d = 1; d <= nFolders; d++) {
        std::vector<std::string> some = files(tree + format("\\d%03d", d), "f%03d.txt", RO_FILES);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

static void readOnlyFigure(const std::string &tree, int nFolders, bool bMerge) {
    std::vector<std::string> all = roTree(tree, nFolders);
    // Merging, the sent folder (of the same shape) meets the tree; else the
    // tree's name was free before the transfer.
    std::string from = std::string(szRoot) + (bMerge ? "\\rmsrc" : "\\elsewhere");
    CreateDirectoryA(from.c_str(), NULL);
    std::string sent = from + tree.substr(tree.rfind('\\'));
    if (bMerge)
        roTree(sent, nFolders);
    else
        CreateDirectoryA(sent.c_str(), NULL);
    fprintf(stderr, "bench: read-only clearing of %d files\n", (int)all.size());
    auto timed = [&](const std::function<double()> &clear) {
        return [&, clear] {
            markReadOnly(tree, all);
            double t = clear();
            if (GetFileAttributesA(all.back().c_str()) & FILE_ATTRIBUTE_READONLY)
                fail("a file is still read-only");
            return t;
        };
    };
    // The transferred item is the tree's folder, as the source list names it.
    std::string list = sent + '\0';
    std::vector<Series> s = rounds(
        {timed([&] { return clearInDestination(szRoot, tree, list.c_str(), !bMerge); }), timed([&] {
             double t0 = now();
             bareClear(tree);
             return now() - t0;
         })});
    addRow(format("Read-only clearing, %s files in %d folders%s", thousands(all.size()).c_str(),
                  nFolders, bMerge ? ", merged into a folder of that shape" : ""),
           s[0], "recursive `FindFirstFileA` / `SetFileAttributesA` walk", s[1]);
}

// ---------------------------------------------------------------- 6. verification

#define VERIFY_FILES 1000
#define MIB          (1024 * 1024)

// A file of nMib MiB whose bytes differ from piece to piece and from file to
// file, written with its copy at once (both made once and kept).
static void makeDataPair(const std::string &source, const std::string &copy, int nMib, int seed) {
    if (exists(copy))
        return;
    std::vector<char> piece(MIB);
    HANDLE h[2];
    for (int k = 0; k < 2; k++) {
        h[k] = CreateFileA((k ? copy : source).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (h[k] == INVALID_HANDLE_VALUE)
            fail("cannot create a verification fixture");
    }
    for (int i = 0; i < nMib; i++) {
        for (size_t j = 0; j < piece.size(); j += 64)
            piece[j] = (char)(seed * 31 + i * 7 + (int)(j >> 6));
        DWORD cb = 0;
        for (int k = 0; k < 2; k++)
            WriteFile(h[k], piece.data(), MIB, &cb, NULL);
    }
    CloseHandle(h[0]);
    CloseHandle(h[1]);
}

// The product's verification of the list's items against their copies in pszDest.
static double verifyOnce(const std::string &list, const char *pszDest) {
    TransferPlan plan; // the driver's, made around the transfer: not timed here
    std::string items = list + '\0';
    if (!makePlan(&plan, items.c_str(), pszDest, 0))
        fail("the transfer's plan cannot be made");
    completePlan(&plan, NULL, NULL);
    VerifyRequest request = {&plan, false, false, false};
    double t0 = now();
    if (verifyTransfer(&request) != 0)
        fail("a verification found a difference");
    double t = now() - t0;
    freeTransferPlan(&plan);
    return t;
}

// The bare loop: both files read in pieces of the same size, the copy
// flushed to its medium and read unbuffered as the product reads it, and
// compared with memcmp; with bDelete each source is deleted after it
// compared equal. Without bReadSource: a plain sequential read of the copies.
static double bareCompare(const std::vector<std::string> &sources,
                          const std::vector<std::string> &copies, bool bReadSource = true,
                          bool bDelete = false) {
    BYTE *p = (BYTE *)VirtualAlloc(NULL, 2 * MIB, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    double t0 = now();
    for (size_t i = 0; i < sources.size(); i++) {
        HANDLE hSource = bReadSource
                             ? CreateFileA(sources[i].c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL)
                             : INVALID_HANDLE_VALUE;
        HANDLE hCopy = CreateFileA(copies[i].c_str(),
                                   bReadSource ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                   FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                   bReadSource ? FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN
                                               : FILE_FLAG_SEQUENTIAL_SCAN,
                                   NULL);
        if (bReadSource && !FlushFileBuffers(hCopy))
            fail("cannot flush a copy");
        DWORD cb = MIB, cbCopy = 0;
        while (cb != 0) {
            if (bReadSource && !ReadFile(hSource, p, MIB, &cb, NULL))
                fail("cannot read a source");
            if (!ReadFile(hCopy, p + MIB, MIB, &cbCopy, NULL) ||
                (bReadSource && (cb != cbCopy || memcmp(p, p + MIB, cb) != 0)))
                fail("the bare loop found a difference");
            cb = cbCopy;
        }
        if (hSource != INVALID_HANDLE_VALUE)
            CloseHandle(hSource);
        CloseHandle(hCopy);
        if (bDelete && !DeleteFileA(sources[i].c_str()))
            fail("cannot delete a source");
    }
    double t = now() - t0;
    VirtualFree(p, 0, MEM_RELEASE);
    return t;
}

static double mbPerSecond(double cb, double msTaken) {
    return cb / MIB / (msTaken / 1000);
}

static void verifyFigures() {
    std::string src = std::string(szRoot) + "\\vsrc", dst = std::string(szRoot) + "\\vdst";
    CreateDirectoryA(src.c_str(), NULL);
    CreateDirectoryA(dst.c_str(), NULL);
    CreateDirectoryA((src + "\\tree").c_str(), NULL);
    CreateDirectoryA((dst + "\\tree").c_str(), NULL);
    std::vector<std::string> sources, copies;
    fprintf(stderr, "bench: verification fixtures (4 GiB, made once)\n");
    for (int i = 1; i <= VERIFY_FILES; i++) {
        std::string name = format("\\tree\\f%04d.bin", i);
        sources.push_back(src + name);
        copies.push_back(dst + name);
        makeDataPair(sources.back(), copies.back(), 1, i);
    }
    std::vector<std::string> bigSource = {src + "\\big.bin"}, bigCopy = {dst + "\\big.bin"};
    makeDataPair(bigSource[0], bigCopy[0], 1024, 0);
    std::string tree = src + "\\tree" + '\0', big = bigSource[0] + '\0';
    // Into the page cache first, so that no side pays for a cold disk: a
    // first run over 5 s would count.
    bareCompare(sources, copies);
    bareCompare(bigSource, bigCopy);
    // Each size in rounds of its own, so that the quicker one gets its 7 runs.
    std::vector<Series> s = rounds({[&] { return verifyOnce(tree, dst.c_str()); },
                                    [&] { return bareCompare(sources, copies); },
                                    [&] { return bareCompare(sources, copies, false); }});
    std::vector<Series> sBig = rounds({[&] { return verifyOnce(big, dst.c_str()); },
                                       [&] { return bareCompare(bigSource, bigCopy); },
                                       [&] { return bareCompare(bigSource, bigCopy, false); }});
    s.insert(s.end(), sBig.begin(), sBig.end());
    const char *pszBare = "bare loop: both read in 1 MiB pieces (the copy flushed, then read "
                          "unbuffered), `memcmp`";
    addRow("Verification, 1,000 files of 1 MiB", s[0], pszBare, s[1]);
    addRow("Verification, one file of 1 GiB", s[3], pszBare, s[4]);
    // Judged on the minimums: the work reads from the page cache here, and a
    // neighbour's load spike on one run moves a median by more than the 10%.
    double r1 = s[0].min() / s[1].min(), r2 = s[3].min() / s[4].min();
    targets.push_back(format("Verification within 1.1x of the bare loop (ratio of minimums; "
                             "medians %s and %s): 1,000 files %s, 1 GiB %s: %s",
                             ratio(s[0].median() / s[1].median()).c_str(),
                             ratio(s[3].median() / s[4].median()).c_str(), ratio(r1).c_str(),
                             ratio(r2).c_str(), verdict(r1 <= 1.1 && r2 <= 1.1).c_str()));
    targets.push_back(
        format("Verification throughput (bytes verified, each file counted once, "
               "median): %.0f MB/s (1,000 files), %.0f MB/s (1 GiB); a plain "
               "sequential `ReadFile` of the same copies: %.0f MB/s, %.0f MB/s",
               mbPerSecond(1024.0 * MIB, s[0].median()), mbPerSecond(1024.0 * MIB, s[3].median()),
               mbPerSecond(1024.0 * MIB, s[2].median()), mbPerSecond(1024.0 * MIB, s[5].median())));
    for (const std::string &line : targets)
        fprintf(stderr, "%s\n", line.c_str());
}

// ---------------------------------------------------------------- 6b. a verified move across
// volumes

#define MOVE_FILES 1000
#define MOVE_KIB   64

// Puts the moved tree back where it came from (renamed where the two drives
// share a Unix file system, copied otherwise), outside the timing.
static void moveBack(const std::string &moved, const std::string &source) {
    if (exists(moved) && !MoveFileExA(moved.c_str(), source.c_str(), MOVEFILE_COPY_ALLOWED))
        fail("cannot put the moved files back");
}

// The shell's copy of the tree into pszDest, as the driver asks for it.
static void shellCopy(const std::string &tree, const std::string &dest) {
    std::string from = tree + '\0', to = dest + '\0';
    SHFILEOPSTRUCTA op = {};
    op.wFunc = FO_COPY;
    op.pFrom = from.c_str();
    op.pTo = to.c_str();
    op.fFlags = FOF_WANTMAPPINGHANDLE;
    if (SHFileOperationA(&op) != 0 || op.fAnyOperationsAborted)
        fail("the shell's copy failed");
    if (op.hNameMappings != NULL)
        SHFreeNameMappings(op.hNameMappings);
}

// The bare loop's copy: CopyFileA, file by file, into a folder it makes.
static void loopCopy(const std::vector<std::string> &sources,
                     const std::vector<std::string> &copies, const std::string &folder) {
    CreateDirectoryA(folder.c_str(), NULL);
    for (size_t i = 0; i < sources.size(); i++) {
        if (!CopyFileA(sources[i].c_str(), copies[i].c_str(), TRUE))
            fail("cannot copy a file");
    }
}

// The move's sources, MOVE_KIB each, their bytes differing from file to
// file; made once and kept (the last one existing means all do).
static void makeMoveFiles(const std::string &tree, const std::vector<std::string> &sources) {
    if (exists(sources.back()))
        return;
    fprintf(stderr, "bench: making %d files of %d KiB in %s\n", MOVE_FILES, MOVE_KIB, tree.c_str());
    CreateDirectoryA(tree.c_str(), NULL);
    std::vector<char> data(MOVE_KIB * 1024);
    for (size_t i = 0; i < sources.size(); i++) {
        for (size_t j = 0; j < data.size(); j += 64)
            data[j] = (char)(i * 31 + (j >> 6));
        HANDLE h = CreateFileA(sources[i].c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD cb = 0;
        if (h == INVALID_HANDLE_VALUE || !WriteFile(h, data.data(), (DWORD)data.size(), &cb, NULL))
            fail("cannot create a move fixture");
        CloseHandle(h);
    }
}

// The bare loops' move of the tree into dest: the copy (the shell's, or
// CopyFileA file by file), then the verification's bare loop deleting each
// source it proved, and the tree's folder; the files go back untimed.
static double bareVerifiedMove(bool bShell, const std::string &tree, const std::string &dest,
                               const std::vector<std::string> &sources,
                               const std::vector<std::string> &copies) {
    std::string moved = dest + tree.substr(tree.rfind('\\'));
    double t0 = now();
    if (bShell)
        shellCopy(tree, dest);
    else
        loopCopy(sources, copies, moved);
    double t = now() - t0 + bareCompare(sources, copies, true, true);
    t0 = now();
    if (!RemoveDirectoryA(tree.c_str()))
        fail("cannot remove the moved folder");
    t += now() - t0;
    moveBack(moved, tree);
    return t;
}

// A verified move of 1,000 files from Q: (a volume of its own) to C:: the
// driver's transfer() (the shell's copy, the proof deleting each source as
// it is proven, the journal), against bare loops that copy, compare and
// delete the same files.
static void verifiedMoveFigure() {
    std::string source = std::string("Q:") + (szRoot + 2), tree = source + "\\mvtree";
    std::string dest = std::string(szRoot) + "\\mvdst", moved = dest + "\\mvtree";
    CreateDirectoryA(source.c_str(), NULL);
    CreateDirectoryA(dest.c_str(), NULL);
    moveBack(moved, tree);
    std::vector<std::string> sources, copies;
    for (int i = 1; i <= MOVE_FILES; i++) {
        sources.push_back(tree + format("\\m%04d.bin", i));
        copies.push_back(moved + format("\\m%04d.bin", i));
    }
    makeMoveFiles(tree, sources);
    Settings settings = {};
    settings.dwFlags = OPT_MOVE | OPT_VERIFY | OPT_NO_CONFIRM;
    Str strDest = {}, strFiles = {};
    assignStr(&strDest, dest.c_str());
    resize(&strDest, PATH_BYTES); // the shell reads two NULs
    memset(strDest.buffer + strDest.length, 0, strDest.capacity - strDest.length);
    auto productMove = [&] {
        assignStr(&strFiles, (tree + "\n").c_str());
        double t0 = now();
        int nStatus = transfer(&settings, &strFiles, &strDest, NULL);
        double t = now() - t0;
        if (nStatus != 0 || exists(tree))
            fail("the verified move did not move everything");
        moveBack(moved, tree);
        return t;
    };
    // A first move beforehand, so that the shell's first use (a run over 5 s
    // would count) falls on none; then at least 7 rounds, each run a few
    // seconds: the ratio is a target, and the copy's time scatters.
    productMove();
    auto bareMove = [&](bool bShell) {
        return bareVerifiedMove(bShell, tree, dest, sources, copies);
    };
    std::vector<Series> s = rounds(
        {productMove, [&] { return bareMove(false); }, [&] { return bareMove(true); }}, false, 7);
    std::string work = format("Verified move across volumes, %s files of %d KiB",
                              thousands(MOVE_FILES).c_str(), MOVE_KIB);
    addRow(work, s[0], "bare loop: `CopyFileA`, then the verification's bare loop, `DeleteFileA`",
           s[1]);
    addRow(work, s[0], "the shell's `FO_COPY`, then the verification's bare loop, `DeleteFileA`",
           s[2]);
    double r1 = s[0].min() / s[1].min(), r2 = s[0].min() / s[2].min();
    targets.push_back(format("Verified move across volumes within 1.1x of a bare loop that copies, "
                             "compares and deletes (ratio of minimums): copying with `CopyFileA` "
                             "%s: %s; copying with the shell's `FO_COPY` %s: %s",
                             ratio(r1).c_str(), verdict(r1 <= 1.1).c_str(), ratio(r2).c_str(),
                             verdict(r2 <= 1.1).c_str()));
    fprintf(stderr, "%s\n", targets.back().c_str());
    freeStr(&strDest);
    freeStr(&strFiles);
}

// ---------------------------------------------------------------- 7. undo's journal and the undo

// Resets a move's fixture: the files go back into src by renaming the folder.
static void putBack(const std::string &src, const std::string &dest) {
    if (!exists(src + "\\j00001.txt")) {
        RemoveDirectoryA(src.c_str());
        MoveFileA(dest.c_str(), src.c_str());
    }
    CreateDirectoryA(dest.c_str(), NULL);
}

// Recording for 30,000 items against the driver's own time for their move
// within the volume (transfer(), the shell's work and the recording in it).
// Recording is what the driver adds: which names were there before, and the
// journal written after.
static void journalFigure() {
    const int n = bQuick ? 5000 : 30000;
    std::string src = std::string(szRoot) + format("\\jsrc%d", n);
    std::string dest = std::string(szRoot) + "\\jdest";
    putBack(src, dest);
    std::vector<std::string> all = files(src, "j%05d.txt", n);
    // With a folder: Wine's shell moves no plain files when it gets several
    // alone (docs/wine-notes.md).
    std::string list = src + "\\jfolder\n";
    CreateDirectoryA((src + "\\jfolder").c_str(), NULL);
    for (const std::string &p : all)
        list += p + "\n";
    Settings settings = {};
    settings.dwFlags = OPT_MOVE;
    Str strDest = {}, strFiles = {};
    assignStr(&strDest, dest.c_str());
    double tDriver = 0;
    bool bMoved = true;
    std::vector<Series> s =
        rounds({[&] {
                    putBack(src, dest);
                    assignStr(&strFiles, list.c_str());
                    double t0 = now();
                    transfer(&settings, &strFiles, &strDest, NULL);
                    tDriver = now() - t0;
                    // The i386 Wine's shell cancels such a move (docs/wine-notes.md).
                    bMoved = bMoved && exists(dest + "\\j00001.txt");
                    if (!bMoved)
                        return 0.0;
                    // The same recording again, on the names as the move left them.
                    putBack(src, dest);
                    assignStr(&strFiles, list.c_str());
                    for (unsigned int i = 0; i < strFiles.length; i++)
                        strFiles.buffer[i] = strFiles.buffer[i] == '\n' ? '\0' : strFiles.buffer[i];
                    t0 = now();
                    TransferPlan plan;
                    if (!makePlan(&plan, strFiles.buffer, strDest.buffer, PLAN_MOVE))
                        fail("the transfer's plan cannot be made");
                    double tNote = now() - t0;
                    RemoveDirectoryA(dest.c_str());
                    MoveFileA(src.c_str(), dest.c_str());
                    t0 = now();
                    completePlan(&plan, NULL, NULL);
                    recordTransfer(&plan);
                    freeTransferPlan(&plan);
                    return tNote + now() - t0;
                },
                [&] { return tDriver; }});
    if (!bMoved) {
        targets.push_back(format("Recording for undo, %s items: not measured, the shell moved "
                                 "nothing (it cancelled the move)",
                                 thousands((unsigned)n).c_str()));
    } else {
        addRow(format("Recording for undo, %s items moved", thousands((unsigned)n).c_str()), s[0],
               "the driver's own `transfer()` of the same move, recording included", s[1]);
        double share = s[0].median() / (s[1].median() - s[0].median());
        targets.push_back(format("Recording for undo adds at most 5%% to the driver's time for %s "
                                 "items: %.1f%%: %s",
                                 thousands((unsigned)n).c_str(), share * 100,
                                 verdict(share <= 0.05).c_str()));
    }
    freeStr(&strDest);
    freeStr(&strFiles);
}

// Wine's Recycle Bin: the desktop's trash, under XDG_DATA_HOME (scripts/wine-env.sh).
// Its folders stay: Wine makes them once a process and then takes them as there.
static void emptyTrash() {
    const char *pszData = getenv("XDG_DATA_HOME");
    if (pszData == NULL)
        return;
    std::string root = std::string("Z:") + pszData + "/Trash/";
    std::replace(root.begin(), root.end(), '/', '\\');
    std::string trash = root + "files\\*" + '\0' + root + "info\\*" + '\0';
    SHFILEOPSTRUCTA op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = trash.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationA(&op);
}

// Undo of a copy of 5,000 files (reading the journal, checking every copy,
// the Recycle Bin) against a bare FO_DELETE to the Recycle Bin of them.
static void undoFigure() {
    const int n = 5000;
    std::string src = std::string(szRoot) + "\\usrc", dest = std::string(szRoot) + "\\udest";
    std::vector<std::string> all = files(src, "u%04d.txt", n);
    std::string list, copies;
    for (int i = 1; i <= n; i++) {
        list += all[(size_t)i - 1] + '\0';
        copies += dest + format("\\u%04d.txt", i) + '\0';
    }
    auto copy = [&] {
        emptyTrash();
        CreateDirectoryA(dest.c_str(), NULL);
        SHFILEOPSTRUCTA op = {};
        op.wFunc = FO_COPY;
        op.pFrom = list.c_str();
        op.pTo = dest.c_str();
        op.fFlags = FOF_NO_UI;
        SHFileOperationA(&op);
    };
    std::vector<Series> s =
        rounds({[&] {
                    CreateDirectoryA(dest.c_str(), NULL);
                    TransferPlan tp;
                    if (!makePlan(&tp, list.c_str(), dest.c_str(), 0))
                        fail("the transfer's plan cannot be made");
                    copy();
                    completePlan(&tp, NULL, NULL);
                    recordTransfer(&tp);
                    freeTransferPlan(&tp);
                    double t0 = now();
                    Journal journal;
                    UndoPlan plan;
                    BOOL bAborted = FALSE;
                    if (readJournal(&journal) != JOURNAL_READ || !planUndo(&journal, &plan) ||
                        plan.nTake != (unsigned)n || performUndo(&journal, &plan, &bAborted) != 0)
                        fail("the undo did not take the copies back");
                    double t = now() - t0;
                    freePlan(&plan);
                    freeJournal(&journal);
                    return t;
                },
                [&] {
                    copy();
                    SHFILEOPSTRUCTA op = {};
                    op.wFunc = FO_DELETE;
                    op.pFrom = copies.c_str();
                    op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION;
                    double t0 = now();
                    int rc = SHFileOperationA(&op);
                    double t = now() - t0;
                    if (rc != 0)
                        fprintf(stderr, "bench: the bare FO_DELETE returned %d\n", rc);
                    return t;
                }});
    if (exists(dest + "\\u0001.txt"))
        fail("a copy is still there");
    emptyTrash();
    addRow("Undo of a copy of 5,000 files", s[0],
           "`FO_DELETE` of the same files to the Recycle Bin", s[1]);
    double ratio = s[0].median() / s[1].median();
    targets.push_back(format("Undo of 5,000 copied files within 1.2x a bare `FO_DELETE`: %.2fx: %s",
                             ratio, verdict(ratio <= 1.2).c_str()));
}

// ---------------------------------------------------------------- 8. the queue

// A transfer that waits for nothing: its place taken and given up (the disks
// of its items and destination, the session's objects, the look at the
// record), against a bare named mutex made, waited on and released.
static void queueCostFigure(const std::vector<std::string> &plain) {
    fprintf(stderr, "bench: the queue's cost\n");
    std::string one = plain[0] + "\n", all;
    for (const std::string &p : plain)
        all += p + "\n";
    auto place = [](const std::string &list) {
        QueuePlace place;
        double t0 = now();
        if (!enterQueue(&place, list.c_str(), szRoot, false) || place.ullArrival == 0)
            fail("the queue gave no place");
        leaveQueue(&place);
        return now() - t0;
    };
    std::vector<Series> s = rounds({[&] { return place(one); }, [&] { return place(all); },
                                    [] {
                                        double t0 = now();
                                        HANDLE h = CreateMutexW(NULL, FALSE, L"Local\\pb-bare");
                                        WaitForSingleObject(h, INFINITE);
                                        ReleaseMutex(h);
                                        CloseHandle(h);
                                        return now() - t0;
                                    }},
                                   true);
    const char *pszBare = "a bare `CreateMutexW` / `WaitForSingleObject` / `ReleaseMutex`";
    addRow("Queue: a transfer that waits for nothing, one item", s[0], pszBare, s[2]);
    addRow(format("Queue: a transfer that waits for nothing, %s items of one folder",
                  thousands(plain.size()).c_str()),
           s[1], pszBare, s[2]);
    double worst = std::max(s[0].median(), s[1].median());
    targets.push_back(format("The queue's cost for a transfer that waits for nothing at most 5 ms: "
                             "%s ms (the larger median): %s",
                             ms(worst).c_str(), verdict(worst <= 5).c_str()));
}

struct FindOwn {
    DWORD pid;
    const char *pszCaption; // null: the waiting window
    HWND found;
};

static BOOL CALLBACK findOwn(HWND hwnd, LPARAM lParam) {
    FindOwn *args = (FindOwn *)lParam;
    DWORD pid = 0;
    char text[128] = "";
    GetWindowThreadProcessId(hwnd, &pid);
    GetWindowTextA(hwnd, text, sizeof(text));
    if (pid == args->pid && IsWindowVisible(hwnd) &&
        (args->pszCaption ? strcmp(text, args->pszCaption) == 0
                          : GetDlgItem(hwnd, IDC_QUEUETEXT) != NULL))
        args->found = hwnd;
    return args->found == NULL;
}

static HWND waitOwn(DWORD pid, const char *pszCaption) {
    HWND h = waitFor(
        [&] {
            FindOwn args = {pid, pszCaption, NULL};
            EnumWindows(findOwn, (LPARAM)&args);
            return args.found;
        },
        60000);
    if (h == NULL)
        fail(pszCaption ? pszCaption : "no waiting window");
    return h;
}

// Starts porterly.exe on the item and leaves its chooser on the folder with Copy.
static void sendTo(Process &p, const std::string &item, const std::string &folder) {
    if (!p.start(item))
        fail("cannot start porterly.exe");
    HWND hChooser = waitFor([&] { return findChooser(p.pi.dwProcessId); }, 60000);
    if (hChooser == NULL || !selectFolder(hChooser, folder))
        fail("no chooser, or the folder cannot be selected");
    PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
}

// A first porterly.exe held in its place by the shell's overwrite question, a
// second waiting behind it; then the first ends (answered, or killed) and
// this times from its process's end until the second's file is written.
static double wakeOnce(const std::string &dir, bool bKill) {
    std::string first = dir + "\\a.txt", second = dir + "\\b.txt";
    std::string held = dir + "\\held", idle = dir + "\\free";
    removeTree(idle + "\\b.txt");
    HANDLE h =
        CreateFileA((held + "\\a.txt").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CloseHandle(h);
    Process a, b;
    sendTo(a, first, held);
    HWND hAsk = waitOwn(a.pi.dwProcessId, "ファイルの上書きの確認");
    sendTo(b, second, idle);
    waitOwn(b.pi.dwProcessId, NULL);
    double tEnd = 0, tFile = 0, tStart = now();
    if (bKill) {
        tEnd = now();
        TerminateProcess(a.pi.hProcess, 9);
    } else {
        PostMessageA(GetDlgItem(hAsk, IDYES), BM_CLICK, 0, 0);
    }
    while (tEnd == 0 || tFile == 0) {
        if (tEnd == 0 && WaitForSingleObject(a.pi.hProcess, 0) == WAIT_OBJECT_0)
            tEnd = now();
        if (tFile == 0 && GetFileAttributesA((idle + "\\b.txt").c_str()) != INVALID_FILE_ATTRIBUTES)
            tFile = now();
        if (now() - tStart > 30000)
            fail("the waiting transfer did not start");
    }
    b.wait(30000);
    return tFile - tEnd;
}

// What the wake can cost at least: a process waiting on a named event, which
// then writes a file, timed from SetEvent until the file is there.
static double bareWake(const std::string &dir) {
    std::string path = dir + "\\bare.txt";
    DeleteFileA(path.c_str());
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, "Local\\pb-wake");
    Process p;
    p.name = "porterly-bench.exe";
    if (!p.start("--wake " + path))
        fail("cannot start the wake helper");
    Sleep(300); // it waits by then
    double t0 = now();
    SetEvent(hEvent);
    while (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (now() - t0 > 30000)
            fail("the wake helper wrote nothing");
    }
    double t = now() - t0;
    p.wait(10000);
    CloseHandle(hEvent);
    return t;
}

static int runWakeHelper(const char *pszPath) {
    HANDLE hEvent = OpenEventA(SYNCHRONIZE, FALSE, "Local\\pb-wake");
    if (hEvent == NULL || WaitForSingleObject(hEvent, 30000) != WAIT_OBJECT_0)
        return 1;
    CloseHandle(CreateFileA(pszPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    return 0;
}

static void queueWakeFigure() {
    fprintf(stderr, "bench: the queue's wake\n");
    std::string dir = std::string(szRoot) + "\\q";
    CreateDirectoryA(dir.c_str(), NULL);
    CreateDirectoryA((dir + "\\held").c_str(), NULL);
    CreateDirectoryA((dir + "\\free").c_str(), NULL);
    makeFile(dir + "\\a.txt");
    makeFile(dir + "\\b.txt");
    touchFolders(dir + "\\held");
    touchFolders(dir + "\\free");
    RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
    DWORD dwFlags = OPT_NO_CONFIRM;
    RegSetKeyValueA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY, "dwFlags", REG_DWORD, &dwFlags,
                    sizeof(dwFlags));
    std::vector<Series> s =
        rounds({[&] { return wakeOnce(dir, false); }, [&] { return wakeOnce(dir, true); },
                [&] { return bareWake(dir); }});
    RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
    const char *pszBare = "a process waiting on a named event writes a file";
    addRow("Queue: from the end of the transfer ahead (its process) to the waiting one's file",
           s[0], pszBare, s[2]);
    addRow("Queue: from the transfer ahead killed to the waiting one's file", s[1], pszBare, s[2]);
    double worst = std::max(s[0].median(), s[1].median());
    targets.push_back(format("A waiting transfer starts within 100 ms of the one before it "
                             "ending: %s ms (the larger median): %s",
                             ms(worst).c_str(), verdict(worst <= 100).c_str()));
}

// ---------------------------------------------------------------- platform calls

static double perCall(int kind, const std::string &folder, const char *pszName) {
    const int n = 500;
    std::vector<std::string> paths;
    for (int i = 1; i <= n; i++)
        paths.push_back(folder + "\\" + format(pszName, i));
    char buf[2 * MAX_PATH];
    WIN32_FIND_DATAA fd;
    double t0 = now();
    for (const std::string &p : paths) {
        if (kind == 0) {
            HANDLE h = FindFirstFileA(p.c_str(), &fd);
            if (h != INVALID_HANDLE_VALUE)
                FindClose(h);
        } else if (kind == 1) {
            GetFileAttributesA(p.c_str());
        } else {
            GetLongPathNameA(p.c_str(), buf, sizeof(buf));
        }
    }
    return (now() - t0) / n;
}

static void callFigures(const std::string &big) {
    const char *names[] = {"`FindFirstFileA` + `FindClose`", "`GetFileAttributesA`",
                           "`GetLongPathNameA`"};
    for (int kind = 0; kind < 3; kind++) {
        perCall(kind, big, "p%04d.txt"); // warm-up
        calls.push_back(format("%s: hit %s ms, miss %s ms in that folder of 2,000 files, "
                               "miss %s ms in a folder of 3 entries",
                               names[kind], ms(perCall(kind, big, "p%04d.txt")).c_str(),
                               ms(perCall(kind, big, "x%04d.txt")).c_str(),
                               ms(perCall(kind, szRoot, "x%04d.txt")).c_str()));
        fprintf(stderr, "%s\n", calls.back().c_str());
    }
}

// ---------------------------------------------------------------- sizes and output

static std::string sizeRow(const std::string &path, const char *pszLabel) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return format("| %s | not built | | | | | |", pszLabel);
    unsigned long long n = data.nFileSizeLow;
    return format("| %s | %s bytes (%.1f KiB) | | | | | |", pszLabel, thousands(n).c_str(),
                  n / 1024.0);
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--step") == 0)
        return runStep(atoi(argv[2]));
    if (argc == 3 && strcmp(argv[1], "--wake") == 0)
        return runWakeHelper(argv[2]);
    std::vector<std::string> only;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0)
            bQuick = true;
        else
            only.push_back(argv[i]);
    }
    auto wanted = [&](const char *pszName) {
        return only.empty() || std::find(only.begin(), only.end(), pszName) != only.end();
    };
    prepareUiThreads();

    std::string plainFolder = std::string(szRoot) + "\\p";
    std::vector<std::string> plain = files(plainFolder, "p%04d.txt", 2000);
    std::vector<std::string> blank = files(std::string(szRoot) + "\\b", "b %04d.txt", 2000);
    std::vector<std::string> blank2 = files(std::string(szRoot) + "\\b2", "b x %04d.txt", 2000);
    std::vector<std::string> blank4 = files(std::string(szRoot) + "\\b4", "b x y z %04d.txt", 2000);

    if (wanted("chooser"))
        chooserFigure(plain[0]);
    if (wanted("steps"))
        stepFigures();
    if (wanted("splitter"))
        splitterFigures(plain, blank, blank2, blank4);
    if (wanted("drop"))
        dropFigures(plain[0]);
    if (wanted("server"))
        serverFigures(plain[0]);
    if (wanted("dialog"))
        dialogFigures();
    if (wanted("readonly"))
        readOnlyFigure(std::string(szRoot) + "\\ro", RO_FOLDERS, false);
    if (wanted("readonly") || wanted("merge"))
        readOnlyFigure(std::string(szRoot) + "\\rm", RO_MERGE_FOLDERS, true);
    if (wanted("verify"))
        verifyFigures();
    if (wanted("vmove"))
        verifiedMoveFigure();
    if (wanted("journal"))
        journalFigure();
    if (wanted("undo"))
        undoFigure();
    if (wanted("queue")) {
        queueCostFigure(plain);
        queueWakeFigure();
    }
    if (wanted("calls"))
        callFigures(plainFolder);

    std::string exe = programPath();
    std::string dir = exe.substr(0, exe.rfind('\\') + 1);
    printf("| Work | Porterly min / median (ms) | Bare platform baseline | Baseline min / median "
           "(ms) | Ratio of medians | Ratio of minimums | Runs |\n");
    printf("|---|---|---|---|---|---|---|\n");
    for (const std::string &row : rows)
        printf("%s\n", row.c_str());
    for (const char *preset : {"win32", "win64"})
        printf("%s\n", sizeRow(dir + "..\\" + preset + "\\porterly.exe",
                               (std::string("Size of `porterly.exe`, ") + preset).c_str())
                           .c_str());
    if (!targets.empty()) {
        printf("\nTargets:\n\n");
        for (const std::string &line : targets)
            printf("- %s\n", line.c_str());
    }
    if (!steps.empty()) {
        printf(
            "\nThe chooser's start step by step, each alone in a fresh process, min / median:\n\n");
        for (const std::string &line : steps)
            printf("- %s\n", line.c_str());
    }
    if (!calls.empty()) {
        printf("\nPlatform calls, time per call (ms), names in a folder of 2,000 files:\n\n");
        for (const std::string &line : calls)
            printf("- %s\n", line.c_str());
    }
    // Written out now, not at exit: the i386 Wine now and then dies tearing
    // down the shell's leftover threads after the exit status is set, and
    // took the buffered table with it.
    fflush(stdout);
    return ferror(stdout) ? 1 : 0;
}
