// The journal reader: what it takes and what it refuses whole, one row per
// rule. Each journal is written with its right end line unless the row says.
#include <gtest/gtest.h>
#include <string>
#include "journal.h"

namespace {

const wchar_t szHead[] = L"\uFEFFporterly journal 1\n";

// The text with its end line (or a wrong one), as the stored bytes.
bool read(const std::wstring &body, bool bRightEnd, Journal *pj) {
    WideText w = {};
    appendWide(&w, (const WCHAR *)body.c_str(), body.size());
    endJournal(&w);
    if (!bRightEnd)
        w.p[w.length - 2] ^= 1;
    bool bRead = parseJournal((const unsigned char *)w.p, w.length * 2, pj);
    freeWide(&w);
    return bRead;
}

TEST(Journal, ReaderTakesOnlyWhatTheWriterWrites) {
    const std::wstring copy = std::wstring(szHead) + L"copy\ndest\tD:\\Backup\n";
    const std::wstring item = L"item\t0\tf3.1d9\tC:\\Docs\\a.txt\ta.txt\n";
    const struct {
        std::wstring text;
        bool bRightEnd, bTaken;
    } rows[] = {
        {copy + item + L"item\t1\td\tC:\\Docs\\f\tf\nsub\tf0.0\tin\\x.txt\n", true, true},
        {std::wstring(szHead) + L"move\ndest\t\\\\srv\\share\n" + item, true, true},
        {copy + item, false, false},                                       // damaged
        {copy, true, false},                                               // no item
        {copy + item + item, true, false},                                 // a name twice
        {copy + item + L"item\t0\tf3.1\tC:\\A.TXT\tA.TXT\n", true, false}, // case aside, twice
        {copy + L"item\t0\tf3.1\ta.txt\ta.txt\n", true, false},            // relative origin
        {copy + L"item\t0\tf3.1\tC:\\..\\a\ta\n", true, false},            // ".." on the way
        {copy + L"item\t0\tf3.1\tC:\\x\\..\t..\n", true, false},           // ".." as the name
        {copy + L"item\t0\tf3.1\tC:\\x\\a\t*.txt\n", true, false},         // a wildcard
        {copy + L"item\t0\tf3.1\tC:\\x\\a\tsub\\a\n", true, false},        // out of the folder
        {copy + L"item\t0\tf3.1\tC:\\x\\a\ta.txt:s\n", true, false},       // a stream
        {copy + L"item\t0\tf3.1\tC:\\x\\nul\tNUL.txt\n", true, false},     // a device
        {copy + L"item\t0\tf3.1\tC:\\x\\a\tCOM\u00B9.txt\n", true, false}, // a port, as superscript
        {copy + L"item\t0\tf3.1\tC:\\x\\a\tlpt\u00B3.log\n", true, false},
        {copy + L"item\t0\tf3.1\tC:\\x\\a\tCOM\u2074\n", true, true},    // no port of that number
        {copy + L"item\t0\tf3.1\tC:\\x\\a.\ta. \n", true, false},        // blank or dot at the end
        {copy + L"item\t0\tf03.1\tC:\\x\\a\ta\n", true, false},          // not as written
        {copy + item + L"sub\tf0.0\tx\n", true, false},                  // content of a file
        {copy + L"item\t0\td\tC:\\x\\f\tf\nsub\td\t\\x\n", true, false}, // content out of it
        {std::wstring(szHead) + L"copy\ndest\tBackup\n" + item, true, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << (&row - rows));
        Journal j;
        EXPECT_EQ(row.bTaken, read(row.text, row.bRightEnd, &j));
        EXPECT_EQ(row.bTaken, j.nItems > 0);
        freeJournal(&j);
    }
}

} // namespace
