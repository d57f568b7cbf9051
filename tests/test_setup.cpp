// porterly-setup.exe end to end under /quiet: the Send To shortcut read back
// through the shell, shortcuts it must leave alone, the settings it purges and
// the key beside them it must keep. Each test puts the prefix's Porterly.lnk
// and settings key back as they were.
#include <gtest/gtest.h>
#include <shlobj.h>
#include "harness.h"
#include "../setup/setupres.h"
#include "dropclass.h"

namespace {

const char szMakerKey[] = PORTERLY_MAKER_KEY;
const char szSettingsKey[] = PORTERLY_SETTINGS_KEY;
const char szAppPathKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\porterly.exe";
const char szClassKey[] = "Software\\Classes\\CLSID\\" PORTERLY_DROP_CLSID_TEXT;
const char szServerKey[] = "Software\\Classes\\CLSID\\" PORTERLY_DROP_CLSID_TEXT "\\LocalServer32";

// A string value under HKCU, or "<none>".
std::string regString(const char *key, const char *name) {
    char buf[MAX_PATH + 8];
    DWORD cb = sizeof(buf);
    if (RegGetValueA(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, NULL, buf, &cb) != 0)
        return "<none>";
    return buf;
}

void setString(const char *key, const char *name, const std::string &data) {
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, NULL, 0, KEY_WRITE, NULL, &h, NULL));
    RegSetValueExA(h, name, 0, REG_SZ, (const BYTE *)data.c_str(), (DWORD)data.size() + 1);
    RegCloseKey(h);
}

// A setup program (beside the tests, or a path) run to its end: its exit
// status, or 0xDEAD when it did not start.
DWORD runSetup(const std::string &exe, const std::string &tail) {
    Process p;
    p.name = exe.c_str();
    return p.start(tail) ? p.wait() : 0xDEAD;
}

DWORD setup(const std::string &tail) {
    return runSetup("porterly-setup.exe", tail);
}

std::string sendToLink() {
    char buf[MAX_PATH] = "";
    SHGetFolderPathA(NULL, CSIDL_SENDTO, NULL, SHGFP_TYPE_CURRENT, buf);
    return std::string(buf) + "\\Porterly.lnk";
}

std::wstring wide(const std::string &s) {
    WCHAR buf[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, buf, MAX_PATH);
    return buf;
}

struct Link {
    std::string target, icon, description;
    int iconIndex = -1;
};

bool readLink(const std::string &path, Link *out) {
    IShellLinkA *link = NULL;
    IPersistFile *file = NULL;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER,
                                         IID_IShellLinkA, (void **)&link)) &&
              SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) &&
              SUCCEEDED(file->Load(wide(path).c_str(), STGM_READ));
    char buf[MAX_PATH];
    if (ok && SUCCEEDED(link->GetPath(buf, MAX_PATH, NULL, SLGP_RAWPATH)))
        out->target = buf;
    if (ok && SUCCEEDED(link->GetIconLocation(buf, MAX_PATH, &out->iconIndex)))
        out->icon = buf;
    if (ok && SUCCEEDED(link->GetDescription(buf, MAX_PATH)))
        out->description = buf;
    if (file)
        file->Release();
    if (link)
        link->Release();
    return ok;
}

bool writeLink(const std::string &path, const std::string &target) {
    IShellLinkA *link = NULL;
    IPersistFile *file = NULL;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER,
                                         IID_IShellLinkA, (void **)&link)) &&
              SUCCEEDED(link->SetPath(target.c_str())) &&
              SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) &&
              SUCCEEDED(file->Save(wide(path).c_str(), TRUE));
    if (file)
        file->Release();
    if (link)
        link->Release();
    return ok;
}

bool keyExists(const char *key) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

void setValue(const char *key, const char *name) {
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, NULL, 0, KEY_WRITE, NULL, &h, NULL));
    DWORD data = 1;
    RegSetValueExA(h, name, 0, REG_DWORD, (const BYTE *)&data, sizeof(data));
    RegCloseKey(h);
}

// Keeps the prefix's Porterly.lnk and settings key (its values) over a test.
struct SetupTest : ::testing::Test {
    std::string link = sendToLink();
    bool hadLink = false;
    std::string linkBytes;
    bool hadMaker = false, hadSettings = false;
    std::vector<std::pair<std::string, std::string>> values; // name, type + data

    void SetUp() override {
        CoInitialize(NULL);
        hadLink = exists(link);
        if (hadLink)
            linkBytes = readFile(link);
        DeleteFileA(link.c_str());
        hadMaker = keyExists(szMakerKey);
        HKEY h;
        hadSettings = RegOpenKeyExA(HKEY_CURRENT_USER, szSettingsKey, 0, KEY_READ, &h) == 0;
        for (DWORD i = 0; hadSettings; i++) {
            char name[256];
            BYTE data[4096];
            DWORD cchName = sizeof(name), cbData = sizeof(data), type = 0;
            if (RegEnumValueA(h, i, name, &cchName, NULL, &type, data, &cbData) != 0)
                break;
            values.emplace_back(name,
                                std::string((char *)&type, 4) + std::string((char *)data, cbData));
        }
        if (hadSettings)
            RegCloseKey(h);
    }

    void TearDown() override {
        DeleteFileA(link.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, szAppPathKey);
        RegDeleteTreeA(HKEY_CURRENT_USER, szClassKey);
        if (hadLink) {
            HANDLE f = CreateFileA(link.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            DWORD written = 0;
            WriteFile(f, linkBytes.data(), (DWORD)linkBytes.size(), &written, NULL);
            CloseHandle(f);
        }
        RegDeleteKeyA(HKEY_CURRENT_USER, PORTERLY_MAKER_KEY "\\test-sibling");
        HKEY h;
        if (hadSettings && RegCreateKeyExA(HKEY_CURRENT_USER, szSettingsKey, 0, NULL, 0, KEY_WRITE,
                                           NULL, &h, NULL) == 0) {
            for (auto &v : values)
                RegSetValueExA(h, v.first.c_str(), 0, *(const DWORD *)v.second.data(),
                               (const BYTE *)v.second.data() + 4, (DWORD)v.second.size() - 4);
            RegCloseKey(h);
        }
        if (!hadSettings)
            RegDeleteKeyA(HKEY_CURRENT_USER, szSettingsKey);
        if (hadMaker && !keyExists(szMakerKey))
            RegCreateKeyExA(HKEY_CURRENT_USER, szMakerKey, 0, NULL, 0, KEY_WRITE, NULL, &h, NULL);
        CoUninitialize();
    }
};

TEST_F(SetupTest, InstallsUpdatesAndRemovesTheShortcut) {
    ASSERT_EQ(0u, setup("/install /quiet"));
    Link read;
    ASSERT_TRUE(readLink(link, &read));
    EXPECT_EQ(0, lstrcmpiA(programPath().c_str(), read.target.c_str())) << read.target;
    EXPECT_EQ(0, lstrcmpiA(programPath().c_str(), read.icon.c_str())) << read.icon;
    EXPECT_EQ(0, read.iconIndex);
    EXPECT_FALSE(read.description.empty());

    // A shortcut left by a copy of Porterly kept elsewhere is brought up to date.
    ASSERT_TRUE(writeLink(link, "C:\\old place\\PORTERLY.EXE"));
    ASSERT_EQ(0u, setup("/install /quiet"));
    ASSERT_TRUE(readLink(link, &read));
    EXPECT_EQ(0, lstrcmpiA(programPath().c_str(), read.target.c_str())) << read.target;

    // The drop target that takes selections of any size.
    EXPECT_EQ(0, lstrcmpiA(programPath().c_str(), regString(szAppPathKey, NULL).c_str()));
    EXPECT_EQ(PORTERLY_DROP_CLSID_TEXT, regString(szAppPathKey, "DropTarget"));
    EXPECT_EQ(
        0, lstrcmpiA(("\"" + programPath() + "\"").c_str(), regString(szServerKey, NULL).c_str()));

    EXPECT_EQ(0u, setup("/uninstall /quiet"));
    EXPECT_FALSE(exists(link));
    EXPECT_FALSE(keyExists(szAppPathKey));
    EXPECT_FALSE(keyExists(szClassKey));
    EXPECT_EQ(0u, setup("/uninstall /quiet")); // nothing left to remove is no failure
}

// The dialog offers what fits the shortcut it finds, and reports what it did.
TEST_F(SetupTest, DialogInstallsThenOffersRemoval) {
    auto openDialog = [&](Process &p) -> HWND {
        p.name = "porterly-setup.exe";
        if (!p.start(""))
            return NULL;
        return waitFor([&]() -> HWND {
            HWND h = FindWindowA("#32770", PORTERLY_TITLE " セットアップ");
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            return pid == p.pi.dwProcessId && IsWindowVisible(h) ? h : NULL;
        });
    };
    auto checked = [](HWND hDlg, int id) {
        return SendMessageA(GetDlgItem(hDlg, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    };

    Process first;
    HWND hDlg = openDialog(first);
    ASSERT_NE(nullptr, hDlg);
    EXPECT_TRUE(checked(hDlg, IDC_INSTALL));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDC_PURGE)));
    clickId(hDlg, IDOK);
    HWND hBox = waitMessageBox(first.pi.dwProcessId);
    ASSERT_NE(nullptr, hBox);
    EXPECT_NE(std::string::npos, messageBoxText(hBox).find("追加しました"));
    clickId(hBox, IDOK);
    EXPECT_EQ(0u, first.wait());
    EXPECT_TRUE(exists(link));

    Process second;
    hDlg = openDialog(second);
    ASSERT_NE(nullptr, hDlg);
    EXPECT_TRUE(checked(hDlg, IDC_UNINSTALL));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_PURGE)));
    clickId(hDlg, IDCANCEL);
    EXPECT_EQ(0u, second.wait());
    EXPECT_TRUE(exists(link));
}

TEST_F(SetupTest, LeavesAForeignShortcutAlone) {
    ASSERT_TRUE(writeLink(link, "C:\\windows\\notepad.exe"));
    std::string before = readFile(link);
    EXPECT_EQ(0u, setup("/uninstall /quiet"));
    EXPECT_EQ(before, readFile(link));
    EXPECT_NE(0u, setup("/install /quiet"));
    EXPECT_EQ(before, readFile(link));

    // Another copy's drop target stays too.
    setString(szAppPathKey, NULL, "C:\\other\\porterly.exe");
    setString(szAppPathKey, "DropTarget", PORTERLY_DROP_CLSID_TEXT);
    setString(szServerKey, NULL, "\"C:\\other\\porterly.exe\"");
    EXPECT_EQ(0u, setup("/uninstall /quiet"));
    EXPECT_EQ("C:\\other\\porterly.exe", regString(szAppPathKey, NULL));
    EXPECT_EQ(PORTERLY_DROP_CLSID_TEXT, regString(szAppPathKey, "DropTarget"));
    EXPECT_EQ("\"C:\\other\\porterly.exe\"", regString(szServerKey, NULL));

    // Nor does a copy's path that differs from this one only by a soft hyphen.
    std::wstring wKey = toWide(szAppPathKey), hyphened = toWide(programPath());
    hyphened.insert(hyphened.rfind(L'\\'), L"\u00AD");
    RegSetKeyValueW(HKEY_CURRENT_USER, wKey.c_str(), NULL, REG_SZ, hyphened.c_str(),
                    (DWORD)(hyphened.size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(0u, setup("/uninstall /quiet"));
    EXPECT_TRUE(hyphened == regReadWide(HKEY_CURRENT_USER, wKey.c_str(), NULL));

    // Install writes over another copy's entry, never over another program's.
    DeleteFileA(link.c_str());
    setString(szAppPathKey, NULL, "C:\\other\\notepad.exe");
    EXPECT_EQ(1u, setup("/install /quiet"));
    EXPECT_EQ("C:\\other\\notepad.exe", regString(szAppPathKey, NULL));
    EXPECT_FALSE(exists(link));
    setString(szAppPathKey, NULL, "C:\\other\\porterly.exe");
    EXPECT_EQ(0u, setup("/install /quiet"));
    EXPECT_EQ(0, lstrcmpiA(programPath().c_str(), regString(szAppPathKey, NULL).c_str()));
}

TEST_F(SetupTest, RefusesWithoutProgramOrWithBadArguments) {
    TestDir dir("setup-alone");
    std::string alone = dir.at("porterly-setup.exe");
    ASSERT_TRUE(CopyFileA(programPath("porterly-setup.exe").c_str(), alone.c_str(), FALSE));
    EXPECT_EQ(1u, runSetup(alone, "/install /quiet"));
    EXPECT_FALSE(exists(link));

    EXPECT_EQ(2u, setup("/install /bogus /quiet"));
    EXPECT_EQ(2u, setup("/purge /quiet"));
    EXPECT_EQ(2u, setup("/install /uninstall /quiet"));
    EXPECT_FALSE(exists(link));
}

TEST_F(SetupTest, PurgeKeepsWhatElseTheMakersKeyHolds) {
    setValue(szSettingsKey, "dwFlags");
    setValue(PORTERLY_MAKER_KEY "\\test-sibling", "kept");
    // The journal of the last transfer goes with its folder.
    WCHAR szData[MAX_PATH] = L"";
    SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, szData);
    std::wstring data = std::wstring(szData) + L"\\Porterly";
    CreateDirectoryW(data.c_str(), NULL);
    CloseHandle(CreateFileW((data + L"\\last-transfer.journal").c_str(), GENERIC_WRITE, 0, NULL,
                            CREATE_ALWAYS, 0, NULL));
    EXPECT_EQ(0u, setup("/uninstall /purge /quiet"));
    EXPECT_FALSE(keyExists(szSettingsKey));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(data.c_str()));
    EXPECT_TRUE(keyExists(PORTERLY_MAKER_KEY "\\test-sibling"));

    // A value of its own keeps the maker's key too (RegDeleteKey would not mind).
    RegDeleteKeyA(HKEY_CURRENT_USER, PORTERLY_MAKER_KEY "\\test-sibling");
    setValue(szMakerKey, "test-value");
    setValue(szSettingsKey, "dwFlags");
    EXPECT_EQ(0u, setup("/uninstall /purge /quiet"));
    EXPECT_FALSE(keyExists(szSettingsKey));
    EXPECT_TRUE(keyExists(szMakerKey));

    HKEY h;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_CURRENT_USER, szMakerKey, 0, KEY_WRITE, &h));
    RegDeleteValueA(h, "test-value");
    RegCloseKey(h);
    setValue(szSettingsKey, "dwFlags");
    EXPECT_EQ(0u, setup("/uninstall /purge /quiet"));
    EXPECT_FALSE(keyExists(szMakerKey));
}

DWORD runSetupWide(const std::wstring &exe, const std::wstring &tail) {
    Process p;
    return p.startLine(L"\"" + exe + L"\" " + tail) ? p.wait() : 0xDEAD;
}

// In UTF-8 the setup program installs from a folder of any name: the shortcut
// points there exactly, and the uninstall knows it for its own. (Wine keeps
// the target path in the writer's ANSI code page only, so this process, in
// code page 932, reads it changed; the icon and working folder are stored
// wide: docs/wine-notes.md.) Under code page 932 the same folder is refused.
TEST_F(SetupTest, InstallsFromAFolderOfAnyName) {
    const std::wstring folder = L"C:\\\u30C4\u30FC\u30EB\u301C\u00E9";
    removeTree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    for (const char *name : {"porterly.exe", "porterly-setup.exe", "porterly-setup-cp932.exe"})
        ASSERT_TRUE(CopyFileW(toWide(programPath(name)).c_str(),
                              (folder + L"\\" + toWide(name)).c_str(), FALSE));
    EXPECT_EQ(1u, runSetupWide(folder + L"\\porterly-setup-cp932.exe", L"/install /quiet"));
    EXPECT_FALSE(exists(link));
    std::wstring setupExe = folder + L"\\porterly-setup.exe";
    EXPECT_EQ(0u, runSetupWide(setupExe, L"/install /quiet"));
    IShellLinkW *pLink = NULL;
    IPersistFile *pFile = NULL;
    WCHAR icon[MAX_PATH] = L"", workDir[MAX_PATH] = L"";
    int iconIndex = -1;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   (void **)&pLink)) &&
        SUCCEEDED(pLink->QueryInterface(IID_IPersistFile, (void **)&pFile)) &&
        SUCCEEDED(pFile->Load(toWide(link).c_str(), STGM_READ))) {
        pLink->GetIconLocation(icon, MAX_PATH, &iconIndex);
        pLink->GetWorkingDirectory(workDir, MAX_PATH);
    }
    if (pFile)
        pFile->Release();
    if (pLink)
        pLink->Release();
    EXPECT_TRUE(folder + L"\\porterly.exe" == icon);
    EXPECT_TRUE(folder == workDir);
    EXPECT_EQ(0u, runSetupWide(setupExe, L"/uninstall /quiet"));
    EXPECT_FALSE(exists(link));
    removeTree(folder);
}

} // namespace
