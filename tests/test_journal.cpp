// The journal reader: what it takes and what it refuses whole, one row per
// rule. Each journal is written with its right end line unless the row says.
#include <gtest/gtest.h>
#include <string>
#include "journal.h"

namespace {

const wchar_t szHead[] = L"\uFEFFporterly journal 2\n";
const wchar_t szVolume[] = L"volume\t\\\\?\\Volume{0}\\\n";

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
    const std::wstring copy = std::wstring(szHead) + L"copy\ndest\tD:\\Backup\n" + szVolume;
    const std::wstring item = L"item\tc\tf3.1d9\tf3.1d9\tC:\\Docs\\a.txt\ta.txt\n";
    const struct {
        std::wstring text;
        bool bRightEnd, bTaken;
    } rows[] = {
        {copy + item + L"item\tc\td\td\tC:\\Docs\\f\tf\nsub\tf0.0\tin\\x.txt\n", true, true},
        {std::wstring(szHead) + L"move\ndest\t\\\\srv\\share\n" + szVolume + item +
             L"item\tm\td\td\tC:\\Docs\\f\tf\nsub\td\tin\n",
         true, true}, // a moved folder's content
        {copy + L"item\tw\tf3.1\tf2.1\tC:\\x\\a\ta\nitem\tu\td\td\tC:\\x\\b\tb\n", true, true},
        {copy + item, false, false},                                             // damaged
        {copy, true, false},                                                     // no item
        {copy + item + item, true, false},                                       // a name twice
        {copy + item + L"item\tc\tf3.1\tf3.1\tC:\\A.TXT\tA.TXT\n", true, false}, // case aside
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\\u00E9\t\u00E9\nitem\tc\tf3.1\tf3.1\tC:"
                L"\\x\\\u00C9\t\u00C9\n",
         true, false}, // twice beyond ASCII, folded as names are compared
        {copy + L"item\tc\tf3.1\tf3.1\ta.txt\ta.txt\n", true, false},        // relative origin
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\..\\a\ta\n", true, false},        // ".." on the way
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\..\t..\n", true, false},       // ".." as the name
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a\t*.txt\n", true, false},     // a wildcard
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a\tsub\\a\n", true, false},    // out of the folder
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a\ta.txt:s\n", true, false},   // a stream
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\nul\tNUL.txt\n", true, false}, // a device
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a.\ta. \n", true, false},   // blank or dot at the end
        {copy + L"item\tc\tf03.1\tf3.1\tC:\\x\\a\ta\n", true, false},     // not as written
        {copy + L"item\tx\tf3.1\tf3.1\tC:\\x\\a\ta\n", true, false},      // no such way
        {copy + L"item\tc\tf3.1\tC:\\x\\a\ta\n", true, false},            // no origin stamp
        {copy + item + L"sub\tf0.0\tx\n", true, false},                   // content of a file
        {copy + L"item\tw\td\td\tC:\\x\\f\tf\nsub\td\tx\n", true, false}, // of a name written over
        {copy + L"item\tc\td\td\tC:\\x\\f\tf\nsub\td\t\\x\n", true, false}, // content out of it
        {std::wstring(szHead) + L"copy\ndest\tBackup\n" + szVolume + item, true, false},
        {std::wstring(szHead) + L"copy\ndest\tD:\\Backup\nvolume\t\n" + item, true, false},
        {std::wstring(szHead) + L"copy\ndest\tD:\\Backup\n" + item, true, false}, // no volume
        {L"\uFEFFporterly journal 1\ncopy\ndest\tD:\\Backup\nitem\t0\tf3.1\tC:\\a\ta\n", true,
         false}, // an older version
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
