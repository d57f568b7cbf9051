// The journal reader: what it takes and what it refuses whole, one row per
// rule. Each journal is written with its right end line unless the row says.
// Then the journal's file as transfers record it, from their plans.
#include <gtest/gtest.h>
#include <string>
#include "harness.h"
#include "journal.h"
#include "undo.h"

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
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a\tCOM\u00B9.txt\n", true,
         false}, // a port, as superscript
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a\tlpt\u00B3.log\n", true, false},
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a\tCOM\u2074\n", true,
         true},                                                           // no port of that number
        {copy + L"item\tc\tf3.1\tf3.1\tC:\\x\\a.\ta. \n", true, false},   // blank or dot at the end
        {copy + L"item\tc\tf03.1\tf3.1\tC:\\x\\a\ta\n", true, false},     // not as written
        {copy + item + L"sub\tf0.0\tx\n", true, false},                   // content of a file
        {copy + L"item\tw\td\td\tC:\\x\\f\tf\nsub\td\tx\n", true, false}, // of a name written over
        {copy + L"item\tc\td\td\tC:\\x\\f\tf\nsub\td\t\\x\n", true, false}, // content out of it
        {std::wstring(szHead) + L"copy\ndest\tBackup\n" + szVolume + item, true, false},
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

// A transfer of the list (items apart by '\n') as its plan records it, the
// shell's work done by act in between.
template <typename Act>
void record(std::string list, const std::string &dest, DWORD dwHow, Act act) {
    list += '\n'; // the last item's NUL, then the string's own ends the list
    for (char &ch : list)
        ch = ch == '\n' ? '\0' : ch;
    TransferPlan plan;
    ASSERT_TRUE(makePlan(&plan, list.c_str(), dest.c_str(), dwHow));
    act();
    completePlan(&plan, NULL, NULL);
    recordTransfer(&plan);
    freeTransferPlan(&plan);
}

bool unknownVolume(const WCHAR *, WCHAR *) {
    return false;
}

// After an earlier copy of old.txt, the journal is the last transfer's when
// it wrote anything, even nothing to take back; a transfer that wrote nothing
// keeps it; where the new one cannot be written there is none.
TEST(Journal, AlwaysTheLastTransferThatWrote) {
    TestDir dir("journal_last");
    std::string dest = dir.folder("dest"), a = dir.file("a.txt", "new"), old = dir.file("old.txt");
    dir.folder("b");
    std::string twin = dir.file("b\\a.txt", "other"), copy = dest + "\\a.txt";
    bool (*realIdentity)(const WCHAR *, WCHAR *) = pfnVolumeIdentity;
    enum { COPY, MOVE, MOVE_KEPT, OVER, TWO, NOTHING, NO_VOLUME };
    const struct {
        int how;
        const wchar_t *name; // the journal's first item, none when null
        WCHAR chHow;
    } rows[] = {{COPY, L"a.txt", JOURNAL_COPIED},      {MOVE, L"a.txt", JOURNAL_MOVED},
                {MOVE_KEPT, L"a.txt", JOURNAL_COPIED}, // a move that copied and kept its source
                {OVER, L"a.txt", JOURNAL_OVER},        {TWO, L"a.txt", JOURNAL_OVER},
                {NOTHING, L"old.txt", JOURNAL_COPIED}, {NO_VOLUME, nullptr, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.how);
        record(old, dest, 0, [&] { CopyFileA(old.c_str(), (dest + "\\old.txt").c_str(), FALSE); });
        if (row.how == OVER)
            dir.file("dest\\a.txt", "was there");
        pfnVolumeIdentity = row.how == NO_VOLUME ? unknownVolume : realIdentity;
        record(row.how == TWO ? a + "\n" + twin : a, dest,
               row.how == MOVE || row.how == MOVE_KEPT ? PLAN_MOVE : 0, [&] {
                   if (row.how == MOVE)
                       MoveFileA(a.c_str(), copy.c_str());
                   else if (row.how != NOTHING)
                       CopyFileA(a.c_str(), copy.c_str(), FALSE);
               });
        pfnVolumeIdentity = realIdentity;
        Journal j;
        ASSERT_EQ(row.name ? JOURNAL_READ : JOURNAL_NONE, readJournal(&j));
        if (row.name != nullptr) {
            EXPECT_TRUE(wcscmp(row.name, j.pItems[0].pszName) == 0 &&
                        row.chHow == j.pItems[0].chHow && j.nItems == 1);
        }
        freeJournal(&j);
        if (row.how == MOVE)
            MoveFileA(copy.c_str(), a.c_str());
        DeleteFileA(copy.c_str());
        DeleteFileA((dest + "\\old.txt").c_str());
    }
}

// Under a local application data path of 228 units the journal's name just
// fits; from 229 on nothing is written there.
TEST(Journal, WrittenOnlyWhereItsPathFits) {
    RegistrySandbox reg;
    TestDir dir("journal_len");
    std::string dest = dir.folder("dest"), a = dir.file("a.txt");
    for (size_t cch : {228u, 229u, 232u}) {
        SCOPED_TRACE(cch);
        std::wstring local =
            toWide(dir.path) + L"\\" + std::wstring(cch - dir.path.size() - 1, L'x');
        CreateDirectoryW(local.c_str(), NULL);
        RegSetKeyValueW(
            HKEY_CURRENT_USER,
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
            L"Local AppData", REG_SZ, local.c_str(), (DWORD)(local.size() + 1) * 2);
        record(a, dest, 0, [&] { CopyFileA(a.c_str(), (dest + "\\a.txt").c_str(), FALSE); });
        Journal j;
        EXPECT_EQ(cch <= 228 ? JOURNAL_READ : JOURNAL_NONE, readJournal(&j));
        freeJournal(&j);
        EXPECT_EQ(cch <= 228,
                  GetFileAttributesW((local + L"\\Porterly\\last-transfer.journal").c_str()) !=
                      INVALID_FILE_ATTRIBUTES);
        DeleteFileA((dest + "\\a.txt").c_str());
        removeTree(local);
    }
}

} // namespace
