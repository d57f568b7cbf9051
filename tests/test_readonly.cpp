// Read-only clearing after a transfer, on real trees in the Wine prefix:
// ChangeFileAttr on a plan whose names stand in a destination folder, the
// driver's transfer() with the shell's operation or a stand-in for it, and
// once a whole run with the option set. Wine cannot set a folder's read-only bit from
// Windows code; a folder made chmod 555 from Unix reads as read-only, so the
// tests start /bin/chmod (Wine runs Unix programs through CreateProcess).
#include <gtest/gtest.h>
#include "harness.h"
#include <functional>
#include "../src/porty4.cpp"
#include "../src/clearing.cpp"
#include <commctrl.h>

// ---------------------------------------------------------------- helpers

typedef char *(CDECL *UnixFileNameProc)(LPCWSTR);

// The Unix path of a Windows path (UTF-8), or "" when Wine cannot tell.
static std::string unixPath(const std::string &path) {
    UnixFileNameProc pfn = (UnixFileNameProc)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    WCHAR wPath[MAX_PATH];
    if (pfn == NULL || MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wPath, MAX_PATH) == 0)
        return "";
    char *pszUnix = pfn(wPath);
    if (pszUnix == NULL)
        return "";
    std::string out = pszUnix;
    HeapFree(GetProcessHeap(), 0, pszUnix);
    return out;
}

// Runs a Unix program on Windows paths (quoted), then polls until done()
// holds: Wine starts it through CreateProcess but gives no handle to wait on.
static bool runUnix(const std::string &program, const std::vector<std::string> &paths,
                    const std::function<bool()> &done) {
    std::string cmd = program;
    for (const std::string &path : paths) {
        std::string unix = unixPath(path);
        if (unix.empty())
            return false;
        cmd += " \"" + unix + "\"";
    }
    std::vector<WCHAR> wCmd(cmd.size() + 1);
    MultiByteToWideChar(CP_UTF8, 0, cmd.c_str(), -1, wCmd.data(), (int)wCmd.size());
    Process p;
    if (!p.startLine(wCmd.data()))
        return false;
    for (int i = 0; i < 250; i++) {
        if (done())
            return true;
        Sleep(20);
    }
    return false;
}

// Makes a folder read-only for Wine: chmod 555 on the Unix side.
static bool makeFolderReadOnly(const std::string &path) {
    return runUnix("/bin/chmod 555", {path}, [&] {
        DWORD attr = GetFileAttributesA(path.c_str());
        return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY);
    });
}

// A symbolic link made on the Unix side: CreateSymbolicLinkA makes nothing
// under Wine.
static bool makeLink(const std::string &target, const std::string &link) {
    return runUnix("/bin/ln -s", {target, link},
                   [&] { return GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

static std::string roFile(const TestDir &dir, const std::string &rel, DWORD extra = 0) {
    std::string path = dir.file(rel, rel);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | extra);
    return path;
}

static bool isReadOnly(const std::string &path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY);
}

// The list as the driver hands it over: NUL after every path, one more at the end.
static std::string nulList(const std::vector<std::string> &paths) {
    std::string list;
    for (const std::string &p : paths)
        list += p + '\0';
    return list + '\0';
}

static size_t addPlanName(TransferPlan *pp, const std::wstring &name) {
    size_t off = pp->text.length;
    appendWide(&pp->text, name.c_str(), name.size() + 1);
    return off;
}

// Clears by a plan in which the transfer wrote each of the names into dest,
// as they stand there now; pfnRealloc serves the clearing itself.
static void clearIn(const std::string &dest, const std::vector<std::string> &names,
                    void *(*pfnRealloc)(void *, size_t) = realloc) {
    TransferPlan plan = {};
    appendWide(&plan.text, L"", 1);
    plan.offDest = addPlanName(&plan, toWide(dest));
    std::vector<PlanItem> items(names.size());
    for (size_t i = 0; i < names.size(); i++) {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(toWide(dest + "\\" + names[i]).c_str(), &fd);
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << names[i];
        FindClose(h);
        items[i].offWritten = addPlanName(&plan, toWide(names[i]));
        items[i].bThere = items[i].bWritten = true;
        stampOf(&fd, &items[i].after);
        items[i].dwAfterAttr = fd.dwFileAttributes;
    }
    plan.pItems = items.data();
    plan.nItems = items.size();
    pfnStrRealloc = pfnRealloc;
    ChangeFileAttr(&plan);
    pfnStrRealloc = realloc;
    freeWide(&plan.text);
}

// ---------------------------------------------------------------- the clearing itself

TEST(ReadOnlyClearing, FilesLoseOnlyTheReadOnlyBit) {
    TestDir dest("ro_files");
    std::string hidden = roFile(dest, "hidden.txt", FILE_ATTRIBUTE_HIDDEN);
    std::string plain = roFile(dest, "plain.txt");
    std::string other = roFile(dest, "other.txt");
    ASSERT_TRUE(isReadOnly(hidden));
    ASSERT_TRUE(GetFileAttributesA(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    clearIn(dest.path, {"hidden.txt", "plain.txt"});
    EXPECT_FALSE(isReadOnly(hidden));
    EXPECT_TRUE(GetFileAttributesA(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(isReadOnly(plain));
    EXPECT_TRUE(isReadOnly(other)); // not in the list
}

TEST(ReadOnlyClearing, FolderTreeIsClearedAtEveryDepthFoldersThroughDot) {
    TestDir dest("ro_tree");
    dest.folder("tree");
    dest.folder("tree\\sub");
    dest.folder("tree\\sub\\deeper");
    std::vector<std::string> files = {roFile(dest, "tree\\top.txt"),
                                      roFile(dest, "tree\\sub\\mid.txt", FILE_ATTRIBUTE_HIDDEN),
                                      roFile(dest, "tree\\sub\\deeper\\low.txt")};
    std::vector<std::string> folders = {dest.at("tree"), dest.at("tree\\sub"),
                                        dest.at("tree\\sub\\deeper")};
    for (const std::string &f : folders)
        ASSERT_TRUE(makeFolderReadOnly(f)) << f;
    for (const std::string &p : files)
        ASSERT_TRUE(isReadOnly(p)) << p;
    for (const std::string &f : folders)
        ASSERT_TRUE(isReadOnly(f)) << f;

    clearIn(dest.path, {"tree"});
    for (const std::string &p : files)
        EXPECT_FALSE(isReadOnly(p)) << p;
    for (const std::string &f : folders)
        EXPECT_FALSE(isReadOnly(f)) << f;
    EXPECT_TRUE(GetFileAttributesA(files[1].c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

// The plan writes nothing under a drive's root, a "." or ".." name, a name
// with a slash or a missing item's name: the clearing never walks the drive,
// the destination's parent or a folder that was never sent.
TEST(ReadOnlyClearing, RootItemsAndMissingNamesChangeNothing) {
    TestDir dest("ro_skip");
    std::string keep = roFile(dest, "keep.txt");
    std::string sub = dest.folder("sub");
    std::string inner = roFile(dest, "sub\\inner.txt");
    std::string rootFile = "C:\\porterly-ro-root.txt";
    HANDLE h = CreateFileA(rootFile.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_READONLY, NULL);
    CloseHandle(h);
    ASSERT_TRUE(isReadOnly(rootFile));
    TestDir beside("ro_beside");
    std::string neighbour = roFile(beside, "n.txt");
    dest.folder("data");
    dest.folder("data\\sub");
    std::string unsent = roFile(dest, "data\\sub\\f.txt");
    std::string list = nulList({"C:\\", beside.path + "\\", "C:\\src\\nosuch.txt", sub + "\\..",
                                dest.at("."), beside.at(".."), dest.path + "\\data/sub/f.txt"});
    TransferPlan plan;
    ASSERT_TRUE(makePlan(&plan, list.c_str(), dest.path.c_str(), PLAN_MERGES));
    completePlan(&plan, NULL, NULL);
    ChangeFileAttr(&plan);
    freeTransferPlan(&plan);
    EXPECT_TRUE(isReadOnly(keep));
    EXPECT_TRUE(isReadOnly(inner));
    EXPECT_TRUE(isReadOnly(rootFile));
    EXPECT_TRUE(isReadOnly(neighbour));
    EXPECT_TRUE(isReadOnly(unsent));
    SetFileAttributesA(rootFile.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(rootFile.c_str());
}

static void *failingRealloc(void *, size_t) {
    return NULL;
}

// When a path cannot be built whole the walk must skip it: the folder's own
// name left over from a failed join would be walked again without end, or
// take an entry's attributes.
TEST(ReadOnlyClearing, PathsThatCannotBeBuiltAreSkipped) {
    TestDir dest("ro_nogrow");
    dest.folder("tree");
    std::string inner = roFile(dest, "tree\\in.txt", FILE_ATTRIBUTE_HIDDEN);
    clearIn(dest.path, {"tree"}, failingRealloc);
    EXPECT_TRUE(isReadOnly(inner));
    EXPECT_FALSE(GetFileAttributesA(dest.at("tree").c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

// A link to a folder, inside a transferred folder or transferred itself,
// leads out of what was transferred: what it points to keeps its bit. (Wine
// shows a link to a file as the file itself, so only folder links are here.)
TEST(ReadOnlyClearing, LinksAreNotFollowed) {
    TestDir dest("ro_links");
    TestDir outside("ro_outside");
    std::string system = roFile(outside, "system.ini");
    dest.folder("moved");
    std::string inner = roFile(dest, "moved\\inner.txt");
    ASSERT_TRUE(makeLink(outside.path, dest.at("moved\\junction")));
    ASSERT_TRUE(makeLink(outside.path, dest.at("linked")));
    clearIn(dest.path, {"moved", "linked"});
    EXPECT_FALSE(isReadOnly(inner));
    EXPECT_TRUE(isReadOnly(system));
    std::vector<std::string> links = {dest.at("moved\\junction"), dest.at("linked")};
    EXPECT_TRUE(runUnix("/bin/rm", links, [&] { return !exists(links[0]) && !exists(links[1]); }));
}

// transfer() as the driver calls it, in a registry sandbox, with the shell's
// operation pfnOp: the options, the list (newline-ended) and the destination.
static void runTransfer(DWORD dwFlags, const std::string &list, const std::string &dest,
                        int(WINAPI *pfnOp)(LPSHFILEOPSTRUCTA) = SHFileOperationA) {
    RegistrySandbox reg;
    Settings settings = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&settings));
    settings.dwFlags = dwFlags;
    Str files = {}, target = {};
    assignStr(&files, list.c_str());
    assignStr(&target, dest.c_str());
    resize(&target, PATH_BYTES); // the shell reads two NULs
    memset(target.buffer + target.length, 0, target.capacity - target.length);
    pfnFileOperation = pfnOp;
    transfer(&settings, &files, &target);
    pfnFileOperation = SHFileOperationA;
    RegCloseKey(settings.hKey);
    freeStr(&files);
    freeStr(&target);
}

static std::string goneDest;
static int WINAPI removeDestination(LPSHFILEOPSTRUCTA) {
    removeTree(goneDest);
    return 0;
}

// The clearing never works relative to the current directory: when the
// destination is gone after the transfer, same-named entries where the
// process happens to stand keep their bit.
TEST(ReadOnlyClearing, VanishedDestinationClearsNothingElsewhere) {
    TestDir here("ro_here");
    std::string bystander = roFile(here, "a.txt");
    TestDir dest("ro_gone");
    goneDest = dest.path;
    SetCurrentDirectoryA(here.path.c_str());
    runTransfer(OPT_CLEAR_READONLY, "C:\\src\\a.txt\n", dest.path, removeDestination);
    SetCurrentDirectoryA("C:\\");
    EXPECT_TRUE(isReadOnly(bystander));
}

// Names in the destination as a real copy leaves them: split at the real
// last backslash (ソ is 0x83 0x5C and 表 is 0x95 0x5C in code page 932), and
// the entry with the item's own name is the one cleared, never a neighbour.
TEST(ReadOnlyClearing, CopiesClearedByTheirOwnNames) {
    TestDir src("ro_sjis_src"), dest("ro_sjis");
    std::string file = roFile(src, "ソ表.txt");
    src.folder("表");
    roFile(src, "表\\ソ.txt");
    std::string decoy = roFile(dest, ".txt"); // what a byte-wise split would name
    std::string neighbour = roFile(dest, "ソ表 (2).txt");
    runTransfer(OPT_CLEAR_READONLY, file + "\n" + src.at("表") + "\n", dest.path);
    EXPECT_FALSE(isReadOnly(dest.at("ソ表.txt")));
    EXPECT_FALSE(isReadOnly(dest.at("表\\ソ.txt")));
    EXPECT_TRUE(isReadOnly(file) && isReadOnly(decoy) && isReadOnly(neighbour));
}

// A transfer that renames, as the shell does on Windows: renameFrom (a.txt)
// is copied as "a (2).txt", told by a wide name mapping; b.txt is new;
// c.txt was there and no mapping names its copy.
static std::string renameDest, renameFrom, renameSrc;
static FILEOP_FLAGS renameFlags;
static int WINAPI renamingCopy(LPSHFILEOPSTRUCTA pOp) {
    renameFlags = pOp->fFlags;
    std::string newPath = renameDest + "\\a (2).txt";
    for (auto pair : {std::make_pair(renameFrom, newPath),
                      std::make_pair(renameSrc + "\\b.txt", renameDest + "\\b.txt")}) {
        CopyFileA(pair.first.c_str(), pair.second.c_str(), FALSE);
        SetFileAttributesA(pair.second.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    HDSA hdsa = DSA_Create(sizeof(SHNAMEMAPPINGW), 1);
    std::wstring oldPath = toWide(renameFrom), wideNew = toWide(newPath);
    // A new path's count far past its NUL: the name still ends there.
    SHNAMEMAPPINGW m = {(LPWSTR)SHAlloc((oldPath.size() + 1) * 2),
                        (LPWSTR)SHAlloc((wideNew.size() + 1) * 2), (int)oldPath.size(),
                        (int)wideNew.size() + 0x10000000};
    wcscpy(m.pszOldPath, oldPath.c_str());
    wcscpy(m.pszNewPath, wideNew.c_str());
    DSA_InsertItem(hdsa, DA_LAST, &m);
    pOp->hNameMappings = hdsa;
    return 0;
}

static BOOL WINAPI failingWrite(LPCWSTR, DWORD) {
    return FALSE;
}

// Rows: renaming asked for; the shell's own question answered "keep both"
// (no option); a.txt sent into its own folder (it goes as a copy beside
// itself, which the shell names anew; the source keeps its bit); writes
// that fail, told and never a full success. The renamed copy is cleared,
// proven and recorded for undo by its new name.
TEST(ReadOnlyClearing, RenamedCopiesByTheirMappingsEntriesThatWereThereLeftAlone) {
    struct {
        bool bOwnFolder, bWritesFail;
        DWORD dwFlags;
        std::string message;
    } rows[] = {
        {false, false, OPT_NO_OVERWRITE, ""},
        {false, false, 0, ""},
        {true, false, OPT_SILENT_OVERWRITE | OPT_VERIFY, ""},
        {false, true, OPT_NO_OVERWRITE | OPT_NOTIFY,
         "コピーしましたが、2 個の項目の読み取り専用属性を解除できませんでした。"},
    };
    for (auto &row : rows) {
        TestDir dest("ro_renamed" + std::to_string(&row - rows));
        std::string a = roFile(dest, "a.txt"), c = roFile(dest, "c.txt");
        renameDest = dest.path;
        TestDir src("ro_src");
        renameSrc = src.path;
        std::string list =
            src.file("a.txt") + "\n" + src.file("b.txt") + "\n" + src.file("c.txt") + "\n";
        renameFrom = row.bOwnFolder ? a : src.at("a.txt");
        pfnSetAttributes = row.bWritesFail ? failingWrite : SetFileAttributesW;
        std::string message;
        Driver driver([&] {
            HWND hBox = row.message.empty() ? NULL : waitMessageBox();
            message = hBox != NULL ? messageBoxText(hBox) : "";
            clickId(hBox, IDOK);
        });
        runTransfer(OPT_CLEAR_READONLY | row.dwFlags, row.bOwnFolder ? a + "\n" : list, dest.path,
                    renamingCopy);
        driver.thread.join();
        pfnSetAttributes = SetFileAttributesW;
        EXPECT_EQ(row.message, message);
        EXPECT_TRUE(renameFlags & FOF_WANTMAPPINGHANDLE);
        EXPECT_EQ(row.bWritesFail, isReadOnly(dest.at("a (2).txt")));
        EXPECT_EQ(row.bWritesFail || row.bOwnFolder, isReadOnly(dest.at("b.txt")));
        EXPECT_TRUE(isReadOnly(a) && isReadOnly(c));
        Journal journal;
        ASSERT_EQ(JOURNAL_READ, readJournal(&journal));
        EXPECT_TRUE(journal.nItems > 0 && wcscmp(journal.pItems[0].pszName, L"a (2).txt") == 0 &&
                    !journal.pItems[0].bExisted);
        freeJournal(&journal);
    }
}

// Wine's move of a folder onto one of its name moves nothing and returns 0
// (docs/wine-notes.md); this one merges as Windows does.
static std::string mergeFrom, mergeTo;
static int WINAPI mergingMove(LPSHFILEOPSTRUCTA) {
    CreateDirectoryA((mergeTo + "\\new").c_str(), NULL);
    for (const char *pszName : {"\\a.txt", "\\sub\\b.txt", "\\new\\c.txt"})
        MoveFileA((mergeFrom + pszName).c_str(), (mergeTo + pszName).c_str());
    return 0;
}

// A sent folder meeting one of its name in the destination merges into it:
// what was there keeps its bit, copied or moved.
TEST(ReadOnlyClearing, AMergedFolderKeepsTheBitsOfWhatWasThere) {
    for (DWORD dwMove : {(DWORD)0, (DWORD)OPT_MOVE}) {
        TestDir dir(dwMove ? "ro_merge_move" : "ro_merge_copy");
        for (const char *pszFolder : {"src", "src\\folder", "src\\folder\\sub", "src\\folder\\new",
                                      "dest", "dest\\folder", "dest\\folder\\sub"})
            dir.folder(pszFolder);
        const char *sent[] = {"a.txt", "sub\\b.txt", "new\\c.txt"};
        for (const char *pszName : sent)
            roFile(dir, std::string("src\\folder\\") + pszName);
        std::string old = roFile(dir, "dest\\folder\\old.txt");
        std::string oldDeep = roFile(dir, "dest\\folder\\sub\\old.txt");
        mergeFrom = dir.at("src\\folder");
        mergeTo = dir.at("dest\\folder");
        runTransfer(OPT_CLEAR_READONLY | OPT_SILENT_OVERWRITE | dwMove, mergeFrom + "\n",
                    dir.at("dest"), dwMove ? mergingMove : SHFileOperationA);
        for (const char *pszName : sent) {
            std::string copy = mergeTo + "\\" + pszName;
            EXPECT_TRUE(exists(copy) && !isReadOnly(copy)) << pszName << dwMove;
        }
        EXPECT_TRUE(isReadOnly(old) && isReadOnly(oldDeep)) << dwMove;
    }
}

// A clock that moves 300 ms a reading; once the progress window is up it
// notes the window's text and cancels through it.
static DWORD fakeNow;
static std::string progressText;
static DWORD WINAPI steppingClock() {
    HWND hDlg = FindWindowA("#32770", APP_TITLE);
    if (hDlg != NULL && GetDlgItem(hDlg, IDC_PROGRESSTEXT) != NULL && progressText.empty()) {
        char text[256] = "";
        GetDlgItemTextA(hDlg, IDC_PROGRESSTEXT, text, sizeof(text));
        progressText = text;
        PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
    }
    return fakeNow += 300;
}

TEST(ReadOnlyClearing, LongClearingShowsItsCountAndCanBeCancelled) {
    TestDir dest("ro_progress");
    dest.folder("tree");
    std::vector<std::string> files;
    for (int i = 0; i < 6; i++)
        files.push_back(roFile(dest, "tree\\f" + std::to_string(i) + ".txt"));
    std::string message;
    Driver driver([&] {
        HWND hBox = waitMessageBox();
        ASSERT_NE(nullptr, hBox);
        message = messageBoxText(hBox);
        clickId(hBox, IDOK);
    });
    pfnTickCount = steppingClock;
    clearIn(dest.path, {"tree"});
    pfnTickCount = GetTickCount;
    driver.thread.join();
    // Shown at the second entry (600 ms), cancelled while the third was counted.
    EXPECT_EQ("読み取り専用属性を解除しています... (2 個)", progressText);
    EXPECT_EQ("読み取り専用属性の解除を中止しました。3 個の項目の属性を解除済みです。", message);
    int stillReadOnly = 0;
    for (const std::string &f : files)
        stillReadOnly += isReadOnly(f);
    EXPECT_EQ(4, stillReadOnly); // the "." entry of the folder was the first cleared
    EXPECT_EQ(nullptr, FindWindowA("#32770", APP_TITLE));
}

// ---------------------------------------------------------------- after a real transfer

static void copyWithFlags(DWORD dwFlags, const std::string &tail, const std::string &dest) {
    RegistrySandbox reg;
    regWriteDword(reg, "dwFlags", dwFlags);
    Driver driver([&] {
        HWND hChooser = waitChooser();
        ASSERT_NE(nullptr, hChooser);
        EXPECT_TRUE(selectFolder(hChooser, dest));
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(0, runWinMain(tail));
    driver.thread.join();
}

TEST(ReadOnlyRun, CopiedItemsComeOutWritableSourcesStayReadOnly) {
    TestDir dir("ro_run");
    dir.folder("src");
    std::string file = roFile(dir, "src\\doc.txt", FILE_ATTRIBUTE_HIDDEN);
    dir.folder("src\\folder");
    dir.folder("src\\folder\\inner");
    std::string deep = roFile(dir, "src\\folder\\inner\\deep.txt");
    std::string dest = dir.folder("dest");
    std::string plain = dir.folder("plain");
    touchFolders(dest);
    touchFolders(plain);
    std::string tail = "\"" + file + "\" \"" + dir.at("src\\folder") + "\"";

    copyWithFlags(OPT_NO_CONFIRM | OPT_CLEAR_READONLY, tail, dest);
    EXPECT_EQ("src\\doc.txt", readFile(dest + "\\doc.txt"));
    EXPECT_FALSE(isReadOnly(dest + "\\doc.txt"));
    EXPECT_TRUE(GetFileAttributesA((dest + "\\doc.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(exists(dest + "\\folder\\inner\\deep.txt"));
    EXPECT_FALSE(isReadOnly(dest + "\\folder\\inner\\deep.txt"));
    EXPECT_TRUE(isReadOnly(file));
    EXPECT_TRUE(isReadOnly(deep));

    // Without the option the copies keep the bit.
    copyWithFlags(OPT_NO_CONFIRM, tail, plain);
    EXPECT_TRUE(isReadOnly(plain + "\\doc.txt"));
    EXPECT_TRUE(isReadOnly(plain + "\\folder\\inner\\deep.txt"));
}

// An item sent into its own folder goes as a copy beside itself, named as
// Explorer names it (the first such name is taken here), whatever the
// options: the item itself is never written over (Wine's shell clears the
// bit of a file it overwrites, the source included). A move leaves it be.
TEST(ReadOnlyRun, ACopyIntoItsOwnFolderIsACopyBesideIt) {
    for (DWORD dwFlags : {(DWORD)(OPT_SILENT_OVERWRITE | OPT_VERIFY), 0ul, (DWORD)OPT_NO_OVERWRITE,
                          (DWORD)(OPT_MOVE | OPT_SILENT_OVERWRITE)}) {
        SCOPED_TRACE(dwFlags);
        TestDir own("ro_own");
        std::string a = roFile(own, "a.txt");
        own.folder("f");
        own.file("f\\in.txt", "in");
        own.file("a - コピー.txt", "taken");
        runTransfer(OPT_CLEAR_READONLY | dwFlags, a + "\n" + own.at("f") + "\n", own.path);
        bool bCopy = !(dwFlags & OPT_MOVE);
        EXPECT_TRUE(isReadOnly(a));
        EXPECT_EQ("a.txt", readFile(a));
        EXPECT_EQ("taken", readFile(own.at("a - コピー.txt")));
        EXPECT_EQ(bCopy ? "a.txt" : "<missing>", readFile(own.at("a - コピー (2).txt")));
        EXPECT_FALSE(isReadOnly(own.at("a - コピー (2).txt")));
        EXPECT_EQ(bCopy ? "in" : "<missing>", readFile(own.at("f - コピー\\in.txt")));
    }
}
