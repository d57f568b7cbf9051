// Long-name expansion on real short names: both roads (the platform's
// long-name service and the component walk used where it is missing), what a
// failure leaves in the list, and how the splitter copes with it. Short names
// come from GetShortPathNameA: Wine hashes them, so they are never guessed.
#include <gtest/gtest.h>
#include "harness.h"
#include "../src/portystr.cpp"

// ---------------------------------------------------------------- fixture

static std::string shortOf(const std::string &longPath) {
    char buf[MAX_PATH] = "";
    GetShortPathNameA(longPath.c_str(), buf, sizeof(buf));
    return buf;
}

static std::string textOf(const Str &s) {
    return s.buffer ? std::string(s.buffer, s.length) : std::string();
}

static std::string lastComponent(const std::string &path) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(path.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    FindClose(h);
    return fd.cFileName;
}

// Calls makePathLong on a writable copy and checks that the path comes back
// unchanged.
static int expand(Str *pstrList, const std::string &path, const std::string &lastName) {
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    int rc = makePathLong(pstrList, buf.data(), lastName.c_str());
    EXPECT_EQ(path, std::string(buf.data()));
    return rc;
}

static int nServiceCalls = 0;
static std::vector<DWORD> serviceRooms;
static DWORD WINAPI countingService(LPCSTR pszShort, LPSTR pszOut, DWORD cb) {
    nServiceCalls++;
    serviceRooms.push_back(cb);
    return GetLongPathNameA(pszShort, pszOut, cb);
}

// A name that grows by a byte between the two calls: each answer is a size.
static DWORD WINAPI growingService(LPCSTR, LPSTR, DWORD cb) {
    return cb < 50 ? 50 : cb + 1;
}

static std::vector<size_t> reallocSizes;
static size_t cbFailAt = 0; // 0: never fail
static void *countingRealloc(void *p, size_t cb) {
    reallocSizes.push_back(cb);
    if (cb == cbFailAt)
        return NULL;
    return realloc(p, cb);
}

static void *failingRealloc(void *, size_t) {
    return NULL;
}

class LongName : public ::testing::Test {
  protected:
    TestDir dir{"longname"};
    std::string dirLong, fileLong, mbDir, mbFile;

    void SetUp() override {
        dir.folder("Program Long Folder");
        dirLong = dir.folder("Program Long Folder\\Some Directory Name");
        fileLong = dir.file("Program Long Folder\\Some Directory Name\\File With Long Name.txt");
        // 表 and ソ end in the byte 0x5C in code page 932.
        dir.folder("表");
        mbDir = dir.folder("表\\表示用の長いフォルダ名です");
        mbFile = dir.file("表\\表示用の長いフォルダ名です\\ソース表の長いファイル名.txt");
        nServiceCalls = 0;
        serviceRooms.clear();
        reallocSizes.clear();
        cbFailAt = 0;
    }
    void TearDown() override {
        ptrGetLongPathName = NULL;
        pfnStrRealloc = realloc;
    }
};

TEST_F(LongName, FixtureHasRealShortNames) {
    std::string s = shortOf(fileLong);
    ASSERT_FALSE(s.empty());
    EXPECT_NE(fileLong, s);
    EXPECT_EQ(std::string::npos, s.find(' '));
    EXPECT_EQ("File With Long Name.txt", lastComponent(s));
}

// ---------------------------------------------------------------- with the service

TEST_F(LongName, ServiceWritesIntoTheFreeRoomWithoutReallocating) {
    ptrGetLongPathName = countingService;
    Str list = {};
    assignStr(&list, "C:\\first\n");
    resize(&list, 600);
    char *pBlock = list.buffer;
    pfnStrRealloc = countingRealloc;
    EXPECT_EQ(0, expand(&list, shortOf(fileLong), "ignored"));
    EXPECT_EQ("C:\\first\n" + fileLong + "\n", textOf(list));
    EXPECT_EQ(pBlock, list.buffer);
    EXPECT_EQ(601u, list.capacity);
    EXPECT_TRUE(reallocSizes.empty());
    EXPECT_EQ(1, nServiceCalls);
    freeStr(&list);
}

TEST_F(LongName, ServiceWithTooLittleRoomReservesOnceExactly) {
    ptrGetLongPathName = countingService;
    Str list = {};
    assignStr(&list, "C:\\first\n"); // capacity 10, one byte free
    unsigned int length = list.length;
    DWORD needed = (DWORD)fileLong.size() + 1;
    pfnStrRealloc = countingRealloc;
    EXPECT_EQ(0, expand(&list, shortOf(fileLong), "ignored"));
    EXPECT_EQ("C:\\first\n" + fileLong + "\n", textOf(list));
    // One reservation to length + needed + 1; the newline then fits.
    EXPECT_EQ((std::vector<size_t>{length + needed + 1 + 1}), reallocSizes);
    EXPECT_EQ(length + needed + 2, list.capacity);
    EXPECT_EQ((std::vector<DWORD>{1, needed}), serviceRooms);
    freeStr(&list);
}

TEST_F(LongName, ServiceFailuresKeepTheListLength) {
    ptrGetLongPathName = countingService;
    Str list = {};
    assignStr(&list, "C:\\first\n");
    resize(&list, 600);
    EXPECT_EQ(1, expand(&list, dir.at("NOSUCH~1\\x.txt"), "x.txt"));
    EXPECT_EQ(9u, list.length);

    // The reservation for the second call fails.
    Str small = {};
    assignStr(&small, "C:\\first\n");
    cbFailAt = small.length + fileLong.size() + 1 + 1 + 1;
    pfnStrRealloc = countingRealloc;
    EXPECT_EQ(LONG_NO_ROOM, expand(&small, shortOf(fileLong), "ignored"));
    EXPECT_EQ("C:\\first\n", textOf(small));

    // The path fits but the newline cannot be added: no item without its
    // newline is left behind.
    Str exact = {};
    assignStr(&exact, "C:\\first\n");
    pfnStrRealloc = realloc;
    resize(&exact, exact.length + (unsigned)fileLong.size()); // the path and its NUL
    cbFailAt = exact.length + fileLong.size() + 2;
    pfnStrRealloc = countingRealloc;
    EXPECT_EQ(LONG_NO_ROOM, expand(&exact, shortOf(fileLong), "ignored"));
    EXPECT_EQ("C:\\first\n", textOf(exact));
    EXPECT_EQ('\0', exact.buffer[exact.length]);

    ptrGetLongPathName = growingService;
    pfnStrRealloc = realloc;
    freeStr(&small);
    assignStr(&small, "C:\\first\n");
    EXPECT_EQ(LONG_FAILED, expand(&small, shortOf(fileLong), "ignored"));
    EXPECT_EQ("C:\\first\n", textOf(small));
    freeStr(&list);
    freeStr(&small);
    freeStr(&exact);
}

// ---------------------------------------------------------------- the component walk

TEST_F(LongName, WalkConvertsEveryDirectoryAndTakesLastName) {
    Str list = {};
    assignStr(&list, "C:\\first\n");
    EXPECT_EQ(0, expand(&list, shortOf(fileLong), "File With Long Name.txt"));
    EXPECT_EQ("C:\\first\n" + fileLong + "\n", textOf(list));
    // The last component is never looked up: lastName stands in for it.
    freeStr(&list);
    EXPECT_EQ(0, expand(&list, shortOf(dirLong) + "\\NOSUCH~1.TXT", "Given Name.txt"));
    EXPECT_EQ(dirLong + "\\Given Name.txt\n", textOf(list));
    freeStr(&list);
}

TEST_F(LongName, WalkEdgeCases) {
    Str list = {};
    EXPECT_EQ(1, expand(&list, "relative\\a.txt", "a.txt"));
    EXPECT_EQ("", textOf(list));
    EXPECT_EQ(1, expand(&list, "\\\\server\\share\\a.txt", "a.txt"));
    EXPECT_EQ("", textOf(list));
    EXPECT_EQ(1, expand(&list, "C:name", "name"));
    EXPECT_EQ("C:", textOf(list));
    freeStr(&list);
    EXPECT_EQ(0, expand(&list, "C:\\NOSUCH~9.TXT", "Long Given.txt"));
    EXPECT_EQ("C:\\Long Given.txt\n", textOf(list));
    freeStr(&list);
}

// appendStr keeps the old text when it cannot grow: the walk must fail
// rather than count an item that never reached the list.
TEST_F(LongName, WalkFailsWhenTheListCannotGrow) {
    Str list = {};
    assignStr(&list, "C:\\first\n");
    pfnStrRealloc = failingRealloc;
    EXPECT_EQ(LONG_NO_ROOM, expand(&list, shortOf(fileLong), "File With Long Name.txt"));
    EXPECT_EQ("C:\\first\n", textOf(list));
    freeStr(&list);
}

TEST_F(LongName, WalkFailureAfterAConvertedDirectoryLeavesItsBeginning) {
    Str list = {};
    assignStr(&list, "C:\\first\n");
    std::string top = shortOf("C:\\porterly-tests");
    ASSERT_NE("C:\\porterly-tests", top);
    EXPECT_EQ(1, expand(&list, top + "\\NOSUCH~1\\x.txt", "x.txt"));
    EXPECT_EQ("C:\\first\nC:\\porterly-tests", textOf(list));
    freeStr(&list);
}

TEST_F(LongName, WalkKeepsLeadingDirectoriesItCannotLookUp) {
    Str list = {};
    // "C:\nosuch\.." names the drive root, which the lookup never finds.
    std::string path = "C:\\nosuch\\..\\" + shortOf(dir.path).substr(3) + "\\x.txt";
    EXPECT_EQ(0, expand(&list, path, "X Long.txt"));
    EXPECT_EQ("C:\\nosuch\\..\\porterly-tests\\longname\\X Long.txt\n", textOf(list));
    freeStr(&list);
    EXPECT_EQ(0, expand(&list, "C:\\NOSUCH~1\\NOSUCH~2\\a.txt", "A Long.txt"));
    EXPECT_EQ("C:\\NOSUCH~1\\NOSUCH~2\\A Long.txt\n", textOf(list));
    freeStr(&list);
}

TEST_F(LongName, WalkKeepsTheTextOfADriveRelativePath) {
    // C:porterly-tests\... is relative to the drive's current folder; the
    // text before the first backslash must not be lost.
    SetCurrentDirectoryA("C:\\");
    Str list = {};
    std::string shortRel = shortOf(fileLong).substr(shortOf(dir.path).size() + 1);
    std::string path = "C:porterly-tests\\longname\\" + shortRel;
    EXPECT_EQ(0, expand(&list, path, "File With Long Name.txt"));
    EXPECT_EQ("C:porterly-tests\\longname\\Program Long Folder\\Some Directory Name\\File With "
              "Long Name.txt\n",
              textOf(list));
    freeStr(&list);
}

TEST_F(LongName, BothRoadsSplitMultibyteNamesAtRealBackslashesOnly) {
    std::string s = shortOf(mbFile);
    ASSERT_FALSE(s.empty());
    std::string name = lastComponent(mbFile);
    for (int road = 0; road < 2; road++) {
        SCOPED_TRACE(road ? "service" : "walk");
        ptrGetLongPathName = road ? countingService : NULL;
        Str list = {};
        EXPECT_EQ(0, expand(&list, s, name));
        EXPECT_EQ(mbFile + "\n", textOf(list));
        freeStr(&list);
        // Written long already: the walk looks up 表 and 表示用... whole.
        EXPECT_EQ(0, expand(&list, mbFile, name));
        EXPECT_EQ(mbFile + "\n", textOf(list));
        freeStr(&list);
    }
}

// ---------------------------------------------------------------- through the splitter

static int parseTail(Str *pstrList, const std::string &tail) {
    Str text = {};
    assignStr(&text, tail.c_str());
    int n = parse(pstrList, &text);
    freeStr(&text);
    return n;
}

TEST_F(LongName, SplitterGivesLongNamesOnBothRoads) {
    for (int road = 0; road < 2; road++) {
        SCOPED_TRACE(road ? "service" : "walk");
        ptrGetLongPathName = road ? GetLongPathNameA : NULL;
        Str list = {};
        std::string tail = shortOf(fileLong) + " \"" + shortOf(mbFile) + "\"";
        EXPECT_EQ(2, parseTail(&list, tail));
        EXPECT_EQ(fileLong + "\n" + mbFile + "\n", textOf(list));
        freeStr(&list);
    }
}

TEST_F(LongName, WalkTakesTheFullFormOfAPathThroughDotDot) {
    // The whole path is found ("nosuch\.." collapses); the walk, which would
    // fail at nosuch, gets the full form the shell will read instead.
    std::string odd = dir.path + "\\nosuch\\..\\Program Long Folder";
    ASSERT_EQ("Program Long Folder", lastComponent(odd));
    Str list = {};
    EXPECT_EQ(2, parseTail(&list, "\"" + shortOf(fileLong) + "\" \"" + odd + "\""));
    EXPECT_EQ(fileLong + "\n" + dir.at("Program Long Folder") + "\n", textOf(list));
    freeStr(&list);
    EXPECT_EQ(2, parseTail(&list, shortOf(fileLong) + " " + odd));
    freeStr(&list);
}

static DWORD WINAPI scribblingService(LPCSTR, LPSTR pszOut, DWORD cb) {
    if (cb > 4)
        memcpy(pszOut, "JUNK", 4);
    return 0;
}

TEST_F(LongName, ServiceFailureOfAQuotedItemFallsBackToThePathAsWritten) {
    ptrGetLongPathName = scribblingService;
    Str list = {};
    resize(&list, 500);
    std::string s = shortOf(fileLong);
    EXPECT_EQ(1, parseTail(&list, "\"" + s + "\""));
    EXPECT_EQ(s + "\n", textOf(list));
    freeStr(&list);
}

// A list that cannot grow fails the splitter as a whole and never keeps a cut
// item, also on a quoted item's fallback to the path as written.
TEST_F(LongName, SplitterFailsWhenTheListCannotGrow) {
    ptrGetLongPathName = GetLongPathNameA;
    Str list = {};
    assignStr(&list, "C:\\first\n");
    pfnStrRealloc = failingRealloc;
    EXPECT_EQ(PARSE_NO_MEMORY, parseTail(&list, fileLong));
    EXPECT_EQ("C:\\first\n", textOf(list));
    ptrGetLongPathName = scribblingService;
    EXPECT_EQ(PARSE_NO_MEMORY, parseTail(&list, "\"" + fileLong + "\""));
    EXPECT_EQ("C:\\first\n", textOf(list));
    pfnStrRealloc = realloc;
    freeStr(&list);
    // A size whose terminator would wrap the 32-bit count is refused.
    EXPECT_EQ(nullptr, resize(&list, 0xFFFFFFFFu));
    EXPECT_EQ(nullptr, list.buffer);
}

// The lookups resolve "." and "..", reporting the folder they lead to: the
// walk must never put that folder's name in their place, and the list holds
// the full form the shell will read.
TEST_F(LongName, WalkNeverNamesADotComponentByItsFolder) {
    Str list = {};
    std::string dot = dirLong + "\\.\\" + lastComponent(fileLong);
    EXPECT_EQ(2, parseTail(&list, "\"" + dot + "\" \"" + dirLong + "\\..\""));
    EXPECT_EQ(fileLong + "\n" + dir.at("Program Long Folder") + "\n", textOf(list));
    freeStr(&list);
}
