// Command-line splitting on a real tree: a table of tails and the items (or
// the error) each must give. %D stands for the tree's folder, which is also
// the current directory, so relative pieces are looked up there.
#include <gtest/gtest.h>
#include <string.h>
#include "harness.h"
#include "portystr.h"

namespace {

struct ParseCase {
    const char *tail;
    int result;
    std::vector<std::string> items;
};

std::string expand(const std::string &text, const std::string &dir) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'D') {
            out += dir;
            i++;
        } else {
            out += text[i];
        }
    }
    return out;
}

class Parse : public ::testing::Test {
  protected:
    TestDir dir{"parse"};
    void SetUp() override {
        dir.folder("My Documents");
        dir.file("My Documents\\a.txt");
        dir.file("a");
        dir.file("a b.txt");
        dir.file("x");
        dir.file("x y z");
        dir.file("z");
        dir.file("b");
        dir.file("q r.txt");
        dir.file("m n o.txt");
        dir.folder("表");
        dir.file("表\\a b.txt");
        dir.file("ポ");
        dir.file("ポ ポ.txt");
        dir.folder("ソ dir");
        dir.file("COMｹ");
        SetCurrentDirectoryA(dir.path.c_str());
        ptrGetLongPathName = GetLongPathNameA;
    }
    void TearDown() override {
        SetCurrentDirectoryA("C:\\");
    }
    int run(const std::string &tail, Str *list) {
        Str text = {};
        assignStr(&text, tail.c_str());
        int rc = parse(list, &text);
        freeStr(&text);
        return rc;
    }
};

TEST_F(Parse, Table) {
    const std::string longPath = "C:\\" + std::string(150, 'n') + " " + std::string(150, 'n');
    const std::string quotedLong = "\"" + longPath + "\"", twoLong = longPath + " %D\\b";
    const ParseCase cases[] = {
        {"", 0, {}},
        {"%D\\b", 1, {"%D\\b"}},
        {"%D\\b   ", 1, {"%D\\b"}},
        // Unquoted blanks: the longest existing run wins, found piece by piece.
        {"%D\\My Documents\\a.txt", 1, {"%D\\My Documents\\a.txt"}},
        {"%D\\a b.txt", 1, {"%D\\a b.txt"}},
        // The search stops at the first missing run: "x y" is missing, so
        // "x y z" is never tried; y is dropped and z exists relative to the
        // current folder, which gives its full form.
        {"%D\\x y z", 2, {"%D\\x", "%D\\z"}},
        {"%D\\x y", 1, {"%D\\x"}},
        {"%D\\x y q", 1, {"%D\\x"}},
        {"%D\\x y z b", 3, {"%D\\x", "%D\\z", "%D\\b"}},
        {"\"b\"", 1, {"%D\\b"}},
        // A run ending in a blank is passed over: no item holds the blank.
        {"%D\\a  %D\\b", 2, {"%D\\a", "%D\\b"}},
        // Listed after its first miss: the name as written, or as the
        // service spells it when written otherwise.
        {"%D\\m n o.txt %D\\M N O.TXT", 2, {"%D\\m n o.txt", "%D\\m n o.txt"}},
        // A colon in the next piece stops the join: two absolute paths.
        {"%D\\a %D\\b", 2, {"%D\\a", "%D\\b"}},
        // Missing unquoted pieces vanish; the rest still counts.
        {"%D\\nothere %D\\b", 1, {"%D\\b"}},
        {"%D\\nothere", 0, {}},
        {"%D\\nothere  %D\\b", 1, {"%D\\b"}},
        // Quoted paths.
        {"\"%D\\q r.txt\"", 1, {"%D\\q r.txt"}},
        {"\"%D\\q r.txt\" \"%D\\a b.txt\"", 2, {"%D\\q r.txt", "%D\\a b.txt"}},
        {"\"%D\\q r.txt\" %D\\b", 2, {"%D\\q r.txt", "%D\\b"}},
        {"%D\\b \"%D\\q r.txt\"", 2, {"%D\\b", "%D\\q r.txt"}},
        {"\"%D\\q r.txt\"   ", 1, {"%D\\q r.txt"}},
        {"\"%D\\q r.txt", -1, {}},
        {"\"%D\\b\"x", -1, {}},
        {"%D\\b \"%D\\b\"x", -1, {"%D\\b"}},
        {"\"%D\\missing\"", -2, {}},
        {"\"\"", -2, {}},
        {"%D\\b \"%D\\missing\" %D\\a", -2, {"%D\\b"}},
        // Code page 932: trail bytes 0x5C (表, ソ) and 0x7C (ポ) are not
        // separators or vertical bars.
        {"%D\\表\\a b.txt", 1, {"%D\\表\\a b.txt"}},
        {"\"%D\\表\\a b.txt\"", 1, {"%D\\表\\a b.txt"}},
        {"%D\\ポ ポ.txt", 1, {"%D\\ポ ポ.txt"}},
        {"%D\\ソ dir %D\\b", 2, {"%D\\ソ dir", "%D\\b"}},
        // Names a lookup finds but the shell reads as others: a trailing dot
        // it strips, a wildcard. A trailing backslash finds nothing.
        {"\"%D\\b.\"", PARSE_BAD_NAME, {}},
        {"%D\\b\\ %D\\a", 1, {"%D\\a"}},
        {"\"%D\\q*.txt\"", PARSE_BAD_NAME, {}},
        {"%D\\a %D\\q*", PARSE_BAD_NAME, {"%D\\a"}},
        // A device name, which every folder seems to hold.
        {"\"%D\\nul\"", PARSE_BAD_NAME, {}},
        {"%D\\a %D\\Aux .txt", PARSE_BAD_NAME, {"%D\\a"}},
        // A half-width katakana after COM is a name: code page 932 holds no
        // superscript digit.
        {"%D\\COMｹ", 1, {"%D\\COMｹ"}},
        // Too long for the lookups: taken as written, for the driver to name.
        {quotedLong.c_str(), 1, {longPath}},
        {twoLong.c_str(), 2, {longPath, "%D\\b"}},
        // A slash, "." or ".." is read as the shell reads it: the full form.
        {"%D\\My Documents/a.txt", 1, {"%D\\My Documents\\a.txt"}},
        {"\"%D\\My Documents\\..\\b\"", 1, {"%D\\b"}},
        {"%D\\表\\. %D\\表\\.\\a b.txt", 2, {"%D\\表", "%D\\表\\a b.txt"}},
        // A newline would cut the item in two; no name holds one.
        {"\"%D\\z\n\\..\\b\"", -2, {}},
        {"%D\\z\n\\..\\b", 0, {}},
    };
    for (const ParseCase &c : cases) {
        std::string tail = expand(c.tail, dir.path);
        SCOPED_TRACE(tail);
        Str list = {};
        EXPECT_EQ(c.result, run(tail, &list));
        std::vector<std::string> expected;
        for (const std::string &item : c.items)
            expected.push_back(expand(item, dir.path));
        EXPECT_EQ(expected, listItems(list.buffer ? list.buffer : ""));
        freeStr(&list);
    }
}

TEST_F(Parse, AppendsToWhatTheListHolds) {
    Str list = {};
    assignStr(&list, "X\n");
    EXPECT_EQ(1, run(dir.path + "\\b", &list));
    EXPECT_EQ("X\n" + dir.path + "\\b\n", std::string(list.buffer));
    freeStr(&list);
}

TEST_F(Parse, NoBufferIsAnError) {
    Str list = {};
    Str text = {};
    EXPECT_EQ(-1, parse(&list, &text));
}

// A long-name service that fails after scribbling into the list's free room.
DWORD WINAPI scribblingService(LPCSTR, LPSTR out, DWORD room) {
    if (out != NULL && room >= 4)
        memcpy(out, "junk", 4);
    return 0;
}

TEST_F(Parse, FailedExpansion) {
    ptrGetLongPathName = scribblingService;
    Str list = {};
    assignStr(&list, "X\n");
    resize(&list, 200);
    // A quoted item falls back to the path as written, with nothing left of
    // the failed attempt.
    EXPECT_EQ(1, run("\"" + dir.path + "\\q r.txt\"", &list));
    EXPECT_EQ("X\n" + dir.path + "\\q r.txt\n", std::string(list.buffer));
    EXPECT_EQ(list.length, strlen(list.buffer));
    // An unquoted one is an error.
    EXPECT_EQ(-3, run(dir.path + "\\b", &list));
    freeStr(&list);

    // The same fallback for a first item on an empty list.
    resize(&list, 100);
    EXPECT_EQ(1, run("\"" + dir.path + "\\b\"", &list));
    EXPECT_EQ(dir.path + "\\b\n", std::string(list.buffer));
    freeStr(&list);
}

TEST_F(Parse, LeavesNoLongRunBehind) {
    // Every piece of a long tail of missing names is tried, and the text is
    // left with no stray NULs inside the items that were found.
    std::string tail;
    for (int i = 0; i < 40; i++)
        tail += "n" + std::to_string(i) + " ";
    tail += dir.path + "\\a b.txt";
    Str list = {};
    EXPECT_EQ(1, run(tail, &list));
    EXPECT_EQ(dir.path + "\\a b.txt\n", std::string(list.buffer));
    freeStr(&list);
}

} // namespace
