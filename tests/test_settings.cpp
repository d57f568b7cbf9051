// The settings store against a sandboxed HKCU: first run, the history's
// order after saves, values that are too long, unterminated or of another
// type, and the option bits written and read back.
#include <gtest/gtest.h>
#include "harness.h"
#include "../src/porty4.cpp"

namespace {

std::vector<std::string> history(const Settings &s) {
    std::vector<std::string> out;
    for (const Str &e : s.tstrPath)
        out.push_back(e.buffer ? std::string(e.buffer, e.length) : "<null>");
    return out;
}

std::vector<std::string> storedHistory(RegistrySandbox &reg) {
    std::vector<std::string> out;
    for (int i = 0; i < HISTORY_COUNT; i++) {
        char name[16];
        sprintf(name, "tstrPath%03d", i);
        std::string value = "<absent>";
        regReadString(reg, name, &value);
        out.push_back(value);
    }
    return out;
}

std::vector<std::string> withEmpty(std::vector<std::string> v) {
    v.resize(HISTORY_COUNT, "");
    return v;
}

void storeHistory(RegistrySandbox &reg, const std::vector<std::string> &entries) {
    for (size_t i = 0; i < entries.size(); i++) {
        char name[16];
        sprintf(name, "tstrPath%03d", (int)i);
        regWriteString(reg, name, entries[i]);
    }
}

void storeRaw(RegistrySandbox &reg, const char *name, DWORD type, const void *data, DWORD cb) {
    HKEY h = reg.settingsKey();
    RegSetValueExA(h, name, 0, type, (const BYTE *)data, cb);
    RegCloseKey(h);
}

TEST(Settings, FirstRunCreatesTheKey) {
    RegistrySandbox reg;
    HKEY hProbe = NULL;
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY, 0, KEY_READ, &hProbe));
    Settings s = {};
    s.dwFlags = 0xFFFF;
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    EXPECT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY, 0, KEY_READ, &hProbe));
    RegCloseKey(hProbe);
    EXPECT_EQ(0u, s.dwFlags);
    for (const Str &e : s.tstrPath) {
        EXPECT_EQ((unsigned)PATH_BYTES, e.capacity);
        EXPECT_EQ(0u, e.length);
        EXPECT_STREQ("", e.buffer);
    }
    RegCloseKey(s.hKey);
}

TEST(Settings, LoadsFlagsAndHistory) {
    RegistrySandbox reg;
    regWriteDword(reg, "dwFlags", 0x130);
    storeHistory(reg, {"D:\\Backup", "C:\\表\\x"});
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    EXPECT_EQ(0x130u, s.dwFlags);
    EXPECT_EQ(withEmpty({"D:\\Backup", "C:\\表\\x"}), history(s));
    RegCloseKey(s.hKey);
}

TEST(Settings, HistoryOrderAfterSaves) {
    RegistrySandbox reg;
    storeHistory(reg, {"D:\\A", "C:\\Data", "E:\\B"});
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    Str dest = {};

    // An entry already present moves to the front; the rest keep their order.
    assignStr(&dest, "C:\\Data");
    EXPECT_EQ(ERROR_SUCCESS, saveRecentList(&s, &dest));
    EXPECT_EQ(withEmpty({"C:\\Data", "D:\\A", "E:\\B"}), history(s));
    EXPECT_EQ(withEmpty({"C:\\Data", "D:\\A", "E:\\B"}), storedHistory(reg));

    // Saving the front entry again changes nothing.
    saveRecentList(&s, &dest);
    EXPECT_EQ(withEmpty({"C:\\Data", "D:\\A", "E:\\B"}), history(s));

    // Letter case matters.
    assignStr(&dest, "c:\\data");
    saveRecentList(&s, &dest);
    EXPECT_EQ(withEmpty({"c:\\data", "C:\\Data", "D:\\A", "E:\\B"}), history(s));
    EXPECT_EQ(history(s), storedHistory(reg));
    freeStr(&dest);
    RegCloseKey(s.hKey);
}

TEST(Settings, FullHistoryDropsTheOldest) {
    RegistrySandbox reg;
    std::vector<std::string> full;
    for (int i = 0; i < HISTORY_COUNT; i++)
        full.push_back("C:\\h" + std::to_string(i));
    storeHistory(reg, full);
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    Str dest = {};

    assignStr(&dest, "C:\\new");
    saveRecentList(&s, &dest);
    std::vector<std::string> expected = {"C:\\new"};
    expected.insert(expected.end(), full.begin(), full.end() - 1);
    EXPECT_EQ(expected, history(s));
    EXPECT_EQ(expected, storedHistory(reg));

    // Saving the oldest entry (index 9) moves it to the front like a new one.
    assignStr(&dest, expected[9].c_str());
    std::vector<std::string> again = {expected[9]};
    again.insert(again.end(), expected.begin(), expected.end() - 1);
    saveRecentList(&s, &dest);
    EXPECT_EQ(again, history(s));
    EXPECT_EQ(again, storedHistory(reg));

    // A middle entry moves without losing any other.
    assignStr(&dest, again[5].c_str());
    std::vector<std::string> moved = {again[5]};
    for (int i = 0; i < HISTORY_COUNT; i++)
        if (i != 5)
            moved.push_back(again[i]);
    saveRecentList(&s, &dest);
    EXPECT_EQ(moved, history(s));
    freeStr(&dest);
    RegCloseKey(s.hKey);
}

TEST(Settings, ValuesThatDoNotFitLoadEmpty) {
    RegistrySandbox reg;
    std::string longest(259, 'a');
    std::string tooLong(260, 'b');
    regWriteString(reg, "tstrPath000", longest);
    regWriteString(reg, "tstrPath001", tooLong);
    // Stored without the NUL: exactly 260 bytes, and a short one.
    std::string raw(261, 'c');
    raw[260] = 'X';
    storeRaw(reg, "tstrPath002", REG_SZ, raw.data(), 260);
    storeRaw(reg, "tstrPath003", REG_SZ, "C:\\shortX", 8);
    // Other types never pass for a path.
    storeRaw(reg, "tstrPath004", REG_BINARY, "C:\\binary", 10);
    DWORD number = 0x5C3A43;
    storeRaw(reg, "tstrPath005", REG_DWORD, &number, 4);
    regWriteString(reg, "tstrPath006", "C:\\after");

    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    std::vector<std::string> h = history(s);
    EXPECT_EQ(longest, h[0]);
    EXPECT_EQ("", h[1]);
    EXPECT_EQ("", h[2]);
    EXPECT_EQ("C:\\short", h[3]);
    EXPECT_EQ("", h[4]);
    EXPECT_EQ("", h[5]);
    EXPECT_EQ("C:\\after", h[6]);
    for (const Str &e : s.tstrPath) {
        ASSERT_NE(nullptr, e.buffer);
        EXPECT_EQ(e.length, strlen(e.buffer));
        EXPECT_LT(e.length, e.capacity);
    }
    RegCloseKey(s.hKey);
}

TEST(Settings, FlagsOfTheWrongSizeLoadAsZero) {
    RegistrySandbox reg;
    unsigned char eight[8] = {0x05, 0x01, 0, 0, 0x7F, 0, 0, 0};
    storeRaw(reg, "dwFlags", REG_BINARY, eight, 8);
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    EXPECT_EQ(0u, s.dwFlags);
    RegCloseKey(s.hKey);
}

TEST(Settings, OptionsSavedAndReloaded) {
    RegistrySandbox reg;
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    // Nothing stored yet: reloading keeps what is in memory.
    s.dwFlags = 0x105;
    reloadOption(&s);
    EXPECT_EQ(0x105u, s.dwFlags);

    EXPECT_EQ(ERROR_SUCCESS, saveOption(&s));
    DWORD stored = 0;
    ASSERT_TRUE(regReadDword(reg, "dwFlags", &stored));
    EXPECT_EQ(0x105u, stored);

    s.dwFlags = 0x1FF;
    EXPECT_EQ(ERROR_SUCCESS, reloadOption(&s));
    EXPECT_EQ(0x105u, s.dwFlags);
    RegCloseKey(s.hKey);
}

// A stored move bit (a damaged or hand-edited value) never reaches memory:
// it would turn the next Copy into a move.
TEST(Settings, StoredMoveBitIsNeverLoaded) {
    RegistrySandbox reg;
    regWriteDword(reg, "dwFlags", OPT_MOVE | OPT_NOTIFY);
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    EXPECT_EQ((DWORD)OPT_NOTIFY, s.dwFlags);
    s.dwFlags = OPT_CLEAR_READONLY;
    EXPECT_EQ(ERROR_SUCCESS, reloadOption(&s));
    EXPECT_EQ((DWORD)OPT_NOTIFY, s.dwFlags);
    RegCloseKey(s.hKey);
}

std::vector<std::wstring> pinned(const Favourites &f) {
    return std::vector<std::wstring>(f.szPath, f.szPath + f.nCount);
}

std::wstring multi(const std::vector<std::wstring> &entries) {
    std::wstring s;
    for (const std::wstring &e : entries)
        s += e + L'\0';
    return s + L'\0';
}

// The pinned folders' value as stored and what loads: exact paths under
// MAX_PATH units, ten at most, each once; a name code page 932 cannot hold
// kept whole. Pins by another run and this one are both kept, up to ten; a
// failed write changes nothing in memory.
TEST(Settings, FavouritesDamagedOrOfAnotherTypeAreRefused) {
    std::wstring a = L"C:\\Pinned", b = L"D:\\表\\x", foreign = L"C:\\caf\x00e9";
    std::wstring longest = L"C:\\" + std::wstring(256, L'l');
    std::vector<std::wstring> eleven, elevenLong;
    for (wchar_t c = L'a'; c < L'a' + 11; c++) {
        eleven.push_back(L"C:\\" + std::wstring(1, c));
        elevenLong.push_back(L"C:\\" + std::wstring(250, c));
    }
    const struct {
        DWORD type;
        std::wstring data;
        size_t cbLess; // bytes left off the end
        std::vector<std::wstring> loaded;
    } rows[] = {
        {REG_MULTI_SZ, multi({a, b, foreign}), 0, {a, b, foreign}},
        {REG_MULTI_SZ, multi({a, b}), 4, {a, b}}, // stored without its NULs
        {REG_MULTI_SZ, multi({a, b}), 1, {}},     // an odd size
        {REG_SZ, a + L'\0', 0, {}},
        {REG_MULTI_SZ,
         multi({longest, longest + L"l", L"Pinned", L"C:\\a*", L"C:\\dot.", L"C:\\x\\COM1.txt", a,
                L"c:\\PINNED"}),
         0,
         {longest, a}},
        {REG_MULTI_SZ, multi({a, L"", b}), 0, {a}}, // the first empty string ends the list
        {REG_MULTI_SZ, multi(eleven), 0, {eleven.begin(), eleven.end() - 1}},
        {REG_MULTI_SZ, multi(elevenLong), 0, {}}, // larger than ten paths can be
    };
    for (const auto &row : rows) {
        RegistrySandbox reg;
        HKEY h = reg.settingsKey(), hReadOnly = NULL;
        RegSetValueExW(h, L"mszFavourites", 0, row.type, (const BYTE *)row.data.data(),
                       (DWORD)(row.data.size() * sizeof(WCHAR) - row.cbLess));
        Settings s = {};
        ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
        EXPECT_EQ(row.loaded, pinned(s.favourites)) << &row - rows;
        Favourites other = {};
        std::vector<std::wstring> after = row.loaded;
        int nPin = after.size() < FAVOURITE_COUNT ? PIN_DONE : PIN_FULL;
        EXPECT_EQ(nPin, pinFavourite(h, &other, "C:\\other"));
        EXPECT_EQ(nPin, pinFavourite(s.hKey, &s.favourites, "C:\\this\\"));
        if (nPin == PIN_DONE)
            after.insert(after.end(), {L"C:\\other", L"C:\\this"});
        readFavourites(h, &other);
        EXPECT_EQ(after, pinned(other)) << &row - rows;
        RegOpenKeyExA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY, 0, KEY_QUERY_VALUE, &hReadOnly);
        std::string last(after.back().begin(), after.back().end()); // ASCII in every row
        EXPECT_EQ(PIN_FAILED, unpinFavourite(hReadOnly, &s.favourites, last.c_str()));
        EXPECT_EQ(after, pinned(s.favourites));
        for (HKEY hKey : {hReadOnly, h, s.hKey})
            RegCloseKey(hKey);
    }
}

// The prompt a message box shows, for the copy and the move wording.
struct PromptCase {
    DWORD dwFlags;
    const char *expected;
};

TEST(Prompt, WorkedExample) {
    const PromptCase cases[] = {
        {0, "D:\\Backupに次のファイル・フォルダをコピーします。よろしいですか\r\n\r\n"
            "C:\\a.txt\nC:\\b\n"},
        {OPT_MOVE, "D:\\Backupに次のファイル・フォルダを移動します。よろしいですか\r\n\r\n"
                   "C:\\a.txt\nC:\\b\n"},
    };
    for (const PromptCase &c : cases) {
        Settings s = {};
        s.dwFlags = c.dwFlags;
        Str files = {}, dest = {};
        assignStr(&files, "C:\\a.txt\nC:\\b\n");
        assignStr(&dest, "D:\\Backup");
        std::string text;
        Driver driver([&] {
            HWND hBox = waitMessageBox();
            ASSERT_NE(nullptr, hBox);
            text = messageBoxText(hBox);
            clickId(hBox, IDNO);
        });
        EXPECT_EQ(IDNO, confirmTransfer(&s, &files, 2, &dest));
        driver.thread.join();
        EXPECT_EQ(c.expected, text);
        freeStr(&files);
        freeStr(&dest);
    }
}

TEST(Prompt, NoConfirmAnswersYesAtOnce) {
    Settings s = {};
    s.dwFlags = OPT_NO_CONFIRM;
    Str files = {}, dest = {};
    assignStr(&files, "C:\\a.txt\n");
    assignStr(&dest, "D:\\Backup");
    EXPECT_EQ(IDYES, confirmTransfer(&s, &files, 50, &dest));
    freeStr(&files);
    freeStr(&dest);
}

void *failingCalloc(size_t, size_t) {
    return NULL;
}

// Without memory to name the items the code page cannot hold, the run must
// not go on with their best-fit forms.
TEST(Prompt, ForeignNamesWithoutMemoryStopTheRun) {
    bool bNoMemory = false;
    pfnStrCalloc = failingCalloc;
    WCHAR *pszNames = unrepresentableItems(L"C:\\caf\u00e9.txt", &bNoMemory);
    pfnStrCalloc = calloc;
    EXPECT_EQ(nullptr, pszNames);
    EXPECT_TRUE(bNoMemory);
}

} // namespace
