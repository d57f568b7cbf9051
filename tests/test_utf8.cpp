// Module tests in a process whose code page is UTF-8, as porterly.exe runs on
// Windows 10 version 1903 and later: unlike the other test programs this one
// links the manifest with the UTF-8 element, and its literals stay UTF-8. The
// texts, the representability check, the splitter, drops and the history
// over names in several scripts.
#include <gtest/gtest.h>
#include "harness.h"
#include "dropfiles.h"
#include "typedpath.h"
#include "../src/porty4.cpp"

namespace {

std::string utf8(const std::wstring &text) {
    std::string out(text.size() * 4 + 1, '\0');
    out.resize((size_t)WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], (int)out.size(),
                                           NULL, NULL));
    out.pop_back();
    return out;
}

std::wstring repeat(const std::wstring &text, int n) {
    std::wstring out;
    while (n-- > 0)
        out += text;
    return out;
}

TEST(Utf8, TextsComeInTheProcesssCodePage) {
    EXPECT_EQ(65001u, GetACP());
    EXPECT_STREQ("%sに次のファイル・フォルダをコピーします。よろしいですか\r\n\r\n%s",
                 loadText(IDS_COPY_PROMPT));
    EXPECT_STREQ("フォルダ名に :/\"|<>\\の文字を含むことはできません。", loadText(IDS_FORBIDDEN));
    EXPECT_NE(nullptr, strstr(loadText(unrepresentableTextId(TRUE)), "(UTF-8)"));
}

// Only an unpaired surrogate is refused; the file operation takes 259 units
// whatever bytes they take.
TEST(Utf8, WhatIsHeldAndWhatFits) {
    const struct {
        std::wstring text;
        bool bHeld;
    } held[] = {
        {L"café〜", true},
        {L"한글 파일", true},
        {L"😀", true},
        {L"表", true},
        {L"a\xD83D"
         L"b",
         false},
        {L"\xDE00", false},
    };
    for (const auto &row : held)
        EXPECT_EQ(row.bHeld, isAnsiText(row.text.c_str(), (int)row.text.size())) << row.bHeld;
    const struct {
        std::wstring path;
        bool bFits;
    } fits[] = {
        {L"C:\\" + repeat(L"表", 256), true},
        {L"C:\\" + repeat(L"表", 257), false},
        {L"C:\\" + repeat(L"😀", 128), true},
        {L"C:\\" + repeat(L"😀", 129), false},
    };
    for (const auto &row : fits)
        EXPECT_EQ(row.bFits, fitsFileOperation(utf8(row.path).c_str())) << row.path.size();
}

// Both roads of the long-name expansion split at real backslashes only and
// join unquoted pieces around a blank. The last item, written in another
// case, is found after its folder was listed (its first run misses).
TEST(Utf8, SplitterTakesNamesInEveryScript) {
    TestDir dir("utf8_parse");
    std::string items[] = {dir.file("café〜.txt"), dir.file("한글 파일.txt"),
                           dir.file("😀.txt"),      dir.folder("Ωmega dir"),
                           dir.file("表.txt"),     dir.file("x y É.txt")};
    std::string tail = "\"" + items[0] + "\" " + items[1] + " " + items[2] + " \"" + items[3] +
                       "\" " + items[4] + " " + dir.at("x y é.txt");
    std::string expected;
    for (const std::string &item : items)
        expected += item + "\n";
    for (GetLongPathNameProc road :
         {(GetLongPathNameProc)GetLongPathNameA, (GetLongPathNameProc)NULL}) {
        ptrGetLongPathName = road;
        Str text = {}, list = {};
        assignStr(&text, tail.c_str());
        EXPECT_EQ(6, parse(&list, &text)) << (road != NULL);
        EXPECT_EQ(expected, list.buffer ? list.buffer : "") << (road != NULL);
        freeStr(&text);
        freeStr(&list);
    }
    ptrGetLongPathName = NULL;
}

std::vector<BYTE> wideDrop(const std::vector<std::wstring> &names) {
    std::vector<BYTE> block(sizeof(DROPFILES));
    for (const std::wstring &name : names)
        block.insert(block.end(), (const BYTE *)name.c_str(),
                     (const BYTE *)(name.c_str() + name.size() + 1));
    block.resize(block.size() + 2);
    DROPFILES *pdf = (DROPFILES *)block.data();
    pdf->pFiles = sizeof(DROPFILES);
    pdf->fWide = TRUE;
    return block;
}

// A wide drop converts exactly; only an unpaired surrogate refuses it whole.
TEST(Utf8, WideDropsConvertExactly) {
    Str list = {};
    assignStr(&list, "X\n");
    WCHAR *pszForeign = NULL;
    std::vector<BYTE> block = wideDrop({L"C:\\café〜.txt", L"C:\\한글 파일\\😀 表.txt"});
    EXPECT_EQ(DROP_ADDED, appendDropped(&list, block.data(), block.size(), &pszForeign));
    EXPECT_EQ("X\nC:\\한글 파일\\😀 表.txt\nC:\\café〜.txt\n", std::string(list.buffer));
    block = wideDrop({L"C:\\a.txt", L"C:\\b\xD800.txt"});
    EXPECT_EQ(DROP_FOREIGN, appendDropped(&list, block.data(), block.size(), &pszForeign));
    free(pszForeign);
    EXPECT_EQ("X\nC:\\한글 파일\\😀 表.txt\nC:\\café〜.txt\n", std::string(list.buffer));
    freeStr(&list);
}

// COM and LPT with a superscript 1, 2 or 3 name the port in any folder (the
// rule of every door); another superscript, or a second one, is a name.
TEST(Utf8, SuperscriptPortsAreDevices) {
    auto exact = [](const wchar_t *psz) {
        std::string path = utf8(L"C:\\x\\" + std::wstring(psz));
        return isExactPath(path.c_str(), path.size(), false);
    };
    for (const wchar_t *psz : {L"COM\u00B9", L"lpt\u00B2.txt", L"Com\u00B3 .log"})
        EXPECT_FALSE(exact(psz));
    for (const wchar_t *psz : {L"COM\u2074", L"COM\u00B9\u00B9", L"ACOM\u00B9"})
        EXPECT_TRUE(exact(psz));
}

// Values written under code page 932 (stored as UTF-16) read back exactly; an
// entry of 259 units and a deep Japanese folder are kept whole.
TEST(Utf8, HistoryKeepsEveryScriptWhole) {
    RegistrySandbox reg;
    const std::wstring entries[] = {
        L"C:\\表\\x",
        L"C:\\" + repeat(L"表", 256),
        L"C:\\" + repeat(repeat(L"深", 10) + L"\\", 11) + repeat(L"深", 10),
    };
    HKEY hKey = reg.settingsKey();
    const WCHAR *names[] = {L"tstrPath000", L"tstrPath001", L"tstrPath002"};
    for (int i = 0; i < 3; i++)
        RegSetValueExW(hKey, names[i], 0, REG_SZ, (const BYTE *)entries[i].c_str(),
                       (DWORD)(entries[i].size() + 1) * sizeof(WCHAR));
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(utf8(entries[i]), s.tstrPath[i].buffer) << i;
    Str dest = {};
    assignStr(&dest, "C:\\dést😀");
    EXPECT_EQ(ERROR_SUCCESS, saveRecentList(&s, &dest));
    EXPECT_TRUE(regReadWide(hKey, NULL, L"tstrPath000") == L"C:\\dést😀");
    EXPECT_TRUE(regReadWide(hKey, NULL, L"tstrPath002") == entries[1]);
    EXPECT_TRUE(regReadWide(hKey, NULL, L"tstrPath003") == entries[2]);
    freeStr(&dest);
    RegCloseKey(hKey);
    RegCloseKey(s.hKey);
}

// A folder named in several scripts is pinned and read back whole, and its
// path, typed or pasted as Explorer copies it, gives it byte for byte.
TEST(Utf8, FavouritesAndTypedPathsKeepEveryScriptWhole) {
    RegistrySandbox reg;
    TestDir dir("utf8_typed");
    std::string folder = dir.folder("Ωmega 한글 😀 表");
    Settings s = {};
    ASSERT_EQ(ERROR_SUCCESS, readReg(&s));
    EXPECT_EQ(PIN_DONE, pinFavourite(s.hKey, &s.favourites, folder.c_str()));
    readFavourites(s.hKey, &s.favourites);
    EXPECT_EQ(folder, utf8(s.favourites.szPath[0]));
    char szFolder[PATH_BYTES];
    WCHAR *pszChecked = NULL;
    std::wstring typed = L" \"" + std::wstring(s.favourites.szPath[0]) + L"\\\" ";
    ASSERT_EQ(TYPED_FOLDER, resolveTypedPath(typed.c_str(), szFolder, &pszChecked));
    EXPECT_EQ(folder, szFolder);
    free(pszChecked);
    RegCloseKey(s.hKey);
}

} // namespace
