// Read-only clearing after a transfer, on real trees in the Wine prefix:
// ChangeFileAttr directly on a destination folder, and once through a whole
// run with the option set. Wine cannot set a folder's read-only bit from
// Windows code; a folder made chmod 555 from Unix reads as read-only, so the
// tests start /bin/chmod (Wine runs Unix programs through CreateProcess).
#include <gtest/gtest.h>
#include "harness.h"
#include <functional>
#include "../src/porty4.cpp"

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
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(NULL, wCmd.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    if (pi.hProcess != NULL)
        CloseHandle(pi.hProcess);
    if (pi.hThread != NULL)
        CloseHandle(pi.hThread);
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

static void clearIn(const std::string &dest, const std::vector<std::string> &sources) {
    std::string list = nulList(sources);
    ChangeFileAttr(dest.c_str(), list.c_str(), NULL, NULL);
}

// ---------------------------------------------------------------- the clearing itself

TEST(ReadOnlyClearing, FilesLoseOnlyTheReadOnlyBit) {
    TestDir dest("ro_files");
    std::string hidden = roFile(dest, "hidden.txt", FILE_ATTRIBUTE_HIDDEN);
    std::string plain = roFile(dest, "plain.txt");
    std::string other = roFile(dest, "other.txt");
    ASSERT_TRUE(isReadOnly(hidden));
    ASSERT_TRUE(GetFileAttributesA(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    clearIn(dest.path, {"C:\\src\\hidden.txt", "D:\\elsewhere\\plain.txt"});
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

    clearIn(dest.path, {"C:\\from\\tree"});
    for (const std::string &p : files)
        EXPECT_FALSE(isReadOnly(p)) << p;
    for (const std::string &f : folders)
        EXPECT_FALSE(isReadOnly(f)) << f;
    EXPECT_TRUE(GetFileAttributesA(files[1].c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST(ReadOnlyClearing, RootItemsAndMissingNamesChangeNothing) {
    TestDir dest("ro_skip");
    std::string keep = roFile(dest, "keep.txt");
    std::string sub = dest.folder("sub");
    std::string inner = roFile(dest, "sub\\inner.txt");
    // A root item must not become a walk of the current drive.
    std::string rootFile = "C:\\porterly-ro-root.txt";
    HANDLE h = CreateFileA(rootFile.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_READONLY, NULL);
    CloseHandle(h);
    ASSERT_TRUE(isReadOnly(rootFile));
    clearIn(dest.path, {"C:\\", "D:\\src\\", "C:\\src\\nosuch.txt", "C:\\src\\nosuch"});
    EXPECT_TRUE(isReadOnly(keep));
    EXPECT_TRUE(isReadOnly(inner));
    EXPECT_TRUE(isReadOnly(rootFile));
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
    pfnStrRealloc = failingRealloc;
    clearIn(dest.path, {"C:\\from\\tree"});
    pfnStrRealloc = realloc;
    EXPECT_TRUE(isReadOnly(inner));
    EXPECT_FALSE(GetFileAttributesA(dest.at("tree").c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST(ReadOnlyClearing, ShiftJisNamesSplitAtTheRealLastBackslash) {
    // ソ is 0x83 0x5C and 表 is 0x95 0x5C in code page 932.
    TestDir dest("ro_sjis");
    std::string file = roFile(dest, "ソ表.txt");
    std::string decoy = roFile(dest, ".txt"); // what a byte-wise split would name
    dest.folder("表");
    std::string inner = roFile(dest, "表\\ソ.txt");
    clearIn(dest.path, {"C:\\元\\ソ表.txt", "C:\\元\\表"});
    EXPECT_FALSE(isReadOnly(file));
    EXPECT_FALSE(isReadOnly(inner));
    EXPECT_TRUE(isReadOnly(decoy));
}

TEST(ReadOnlyClearing, TheEntryWithTheSourceNameIsTheOneCleared) {
    // Where a transfer gives an item another name on a collision, the entry
    // with the source's name is cleared, not the renamed copy.
    TestDir dest("ro_collision");
    std::string existing = roFile(dest, "a.txt");
    std::string renamed = roFile(dest, "a (2).txt");
    clearIn(dest.path, {"C:\\src\\a.txt"});
    EXPECT_FALSE(isReadOnly(existing));
    EXPECT_TRUE(isReadOnly(renamed));
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
    clearIn(dest.path, {"C:\\src\\moved", "C:\\src\\linked"});
    EXPECT_FALSE(isReadOnly(inner));
    EXPECT_TRUE(isReadOnly(system));
    std::vector<std::string> links = {dest.at("moved\\junction"), dest.at("linked")};
    EXPECT_TRUE(runUnix("/bin/rm", links, [&] { return !exists(links[0]) && !exists(links[1]); }));
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
    RegistrySandbox reg;
    Settings settings = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&settings));
    settings.dwFlags = OPT_CLEAR_READONLY;
    TestDir dest("ro_gone");
    goneDest = dest.path;
    pfnFileOperation = removeDestination;
    Str files = {}, target = {};
    assignStr(&files, "C:\\src\\a.txt\n");
    assignStr(&target, dest.path.c_str());
    SetCurrentDirectoryA(here.path.c_str());
    transfer(&settings, &files, &target);
    SetCurrentDirectoryA("C:\\");
    pfnFileOperation = SHFileOperationA;
    EXPECT_TRUE(isReadOnly(bystander));
    RegCloseKey(settings.hKey);
    freeStr(&files);
    freeStr(&target);
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
