// The drop-target server end to end: the test registers the class where
// Wine's COM reads it (the machine's classes), creates the server through COM
// as the shell would, and drops shell data objects or blocks of its own on it.
#include <gtest/gtest.h>
#include "harness.h"
#include "dropclass.h"
#include "dropreg.h"
#include <shlobj.h>
#include <set>

namespace {

const CLSID clsidDrop = PORTERLY_DROP_CLSID_INIT;

bool waitExit(DWORD pid, DWORD ms) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    bool bGone = h == NULL || WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    if (h != NULL)
        CloseHandle(h);
    return bGone;
}

// Entries in a folder (its "." and ".." too).
size_t countEntries(const std::wstring &folder) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    size_t n = 0;
    if (h != INVALID_HANDLE_VALUE) {
        do
            n++;
        while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    return n;
}

// Waits for the process to end while files keep arriving in the folder: false
// only when nothing new arrived for noProgressMs, never on the total time,
// which a busy machine stretches.
bool waitExitWhileArriving(DWORD pid, const std::wstring &folder, DWORD noProgressMs) {
    size_t seen = countEntries(folder);
    DWORD since = GetTickCount();
    while (!waitExit(pid, 1000)) {
        size_t n = countEntries(folder);
        if (n != seen) {
            seen = n;
            since = GetTickCount();
            noteProgress();
        } else if (GetTickCount() - since > noProgressMs) {
            return false;
        }
    }
    return true;
}

// The shell's data object over every item of a folder, as Explorer hands a
// selection to a drop target.
IDataObject *shellSelection(const std::string &folder) {
    WCHAR wszFolder[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, wszFolder, MAX_PATH);
    LPITEMIDLIST pidlFolder = NULL;
    IShellFolder *pFolder = NULL;
    IEnumIDList *pEnum = NULL;
    IDataObject *pData = NULL;
    std::vector<LPITEMIDLIST> items;
    if (SUCCEEDED(SHParseDisplayName(wszFolder, NULL, &pidlFolder, 0, NULL)) &&
        SUCCEEDED(SHBindToObject(NULL, pidlFolder, NULL, IID_IShellFolder, (void **)&pFolder)) &&
        pFolder->EnumObjects(NULL, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &pEnum) == S_OK) {
        LPITEMIDLIST pidl;
        while (pEnum->Next(1, &pidl, NULL) == S_OK)
            items.push_back(pidl);
        pFolder->GetUIObjectOf(NULL, (UINT)items.size(), (LPCITEMIDLIST *)items.data(),
                               IID_IDataObject, NULL, (void **)&pData);
    }
    for (LPITEMIDLIST pidl : items)
        ILFree(pidl);
    if (pEnum)
        pEnum->Release();
    if (pFolder)
        pFolder->Release();
    ILFree(pidlFolder);
    return pData;
}

std::string blockOf(IDataObject *pData, CLIPFORMAT cf) {
    FORMATETC fmt = {cf, NULL, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (FAILED(pData->GetData(&fmt, &medium)))
        return "";
    std::string bytes((const char *)GlobalLock(medium.hGlobal), GlobalSize(medium.hGlobal));
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    return bytes;
}

const CLIPFORMAT cfIdList = (CLIPFORMAT)RegisterClipboardFormatA(CFSTR_SHELLIDLIST);

struct DropServer : ::testing::Test {
    TestDir dir{"dropserver"};
    std::string src = dir.folder("src"), dest = dir.folder("dest");
    IDropTarget *pTarget = NULL;

    void SetUp() override {
        CoInitialize(NULL);
        ASSERT_TRUE(registerDropTarget(HKEY_LOCAL_MACHINE, programPath().c_str()));
        RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
    }
    void TearDown() override {
        EXPECT_EQ(0, endPrograms()); // every server ended with its step
        if (pTarget != NULL)
            pTarget->Release();
        EXPECT_TRUE(unregisterDropTarget(HKEY_LOCAL_MACHINE, programPath().c_str()));
        RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
        SetEnvironmentVariableA("PORTERLY_DROP_WAIT_MS", NULL);
        CoUninitialize();
    }
    HRESULT create() {
        return CoCreateInstance(clsidDrop, NULL, CLSCTX_LOCAL_SERVER, IID_IDropTarget,
                                (void **)&pTarget);
    }
    // Enters and drops; the sender is told to change nothing on its side.
    // bComeBack: the drag leaves first and comes back, as a pointer crossing
    // the window's edge does.
    void drop(IDataObject *pData, bool bComeBack = false) {
        ASSERT_EQ(S_OK, create());
        POINTL pt = {10, 10};
        DWORD dwEffect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
        if (bComeBack) {
            ASSERT_EQ(S_OK, pTarget->DragEnter(pData, MK_LBUTTON, pt, &dwEffect));
            ASSERT_EQ(S_OK, pTarget->DragLeave());
            Sleep(1500);
        }
        ASSERT_EQ(S_OK, pTarget->DragEnter(pData, MK_LBUTTON, pt, &dwEffect));
        EXPECT_EQ((DWORD)DROPEFFECT_COPY, dwEffect);
        dwEffect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        ASSERT_EQ(S_OK, pTarget->Drop(pData, 0, pt, &dwEffect));
        EXPECT_EQ((DWORD)DROPEFFECT_NONE, dwEffect);
    }
    // The server's chooser: the destination chosen and Copy pressed.
    void chooseDest(DWORD pid) {
        HWND hChooser = waitChooser(pid);
        ASSERT_NE(nullptr, hChooser);
        ASSERT_TRUE(selectFolder(hChooser, dest));
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
    }
};

TEST_F(DropServer, TakesFiveThousandShellItems) {
    // Names in several scripts (some beyond code page 932: the server runs in
    // UTF-8), about 70 characters a path: together past 32,767 characters
    // many times over. Made and read through the wide calls.
    const int n = 5000;
    std::wstring wsrc(src.begin(), src.end()), wdest(dest.begin(), dest.end());
    const std::wstring pattern = L"\\ファイル_Ελληνικά_Русский_한글_😀_%04d.txt";
    std::vector<std::wstring> names;
    for (int i = 0; i < n; i++) {
        WCHAR name[64];
        _snwprintf(name, 64, pattern.c_str(), i);
        names.push_back(name);
        HANDLE h =
            CreateFileW((wsrc + name).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD cb = 0;
        WriteFile(h, name, 8, &cb, NULL);
        CloseHandle(h);
        if (i % 100 == 0)
            noteProgress();
    }
    touchFolders(dest);
    IDataObject *pData = shellSelection(src);
    ASSERT_NE(nullptr, pData);
    drop(pData);
    pData->Release();
    DWORD pid = programPid();
    ASSERT_NO_FATAL_FAILURE(chooseDest(pid));
    HWND hConfirm = waitFor([&] { return findDialogWithEdit(PORTERLY_TITLE, pid); }, 60000);
    ASSERT_NE(nullptr, hConfirm);
    HWND hEdit = FindWindowExA(hConfirm, NULL, "Edit", NULL);
    std::wstring text(SendMessageW(hEdit, WM_GETTEXTLENGTH, 0, 0) + 1, L'\0');
    text.resize(SendMessageW(hEdit, WM_GETTEXT, text.size(), (LPARAM)&text[0]));
    std::set<std::wstring> lines;
    for (size_t i = 0, j; (j = text.find(L"\r\n", i)) != std::wstring::npos; i = j + 2)
        lines.insert(text.substr(i, j - i));
    for (const std::wstring &name : names)
        ASSERT_EQ(1u, lines.count(wsrc + name)) << (int)(&name - &names[0]);
    clickId(hConfirm, IDYES);
    ASSERT_TRUE(waitExitWhileArriving(pid, wdest, 60000));
    for (const std::wstring &name : names) {
        WCHAR copied[4] = L"";
        HANDLE h =
            CreateFileW((wdest + name).c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD cb = 0;
        ReadFile(h, copied, 8, &cb, NULL);
        CloseHandle(h);
        ASSERT_EQ(0, memcmp(copied, name.c_str(), 8)) << (int)(&name - &names[0]);
    }
}

// Only the shell's ID-list array, or with a CF_HDROP that left an item out
// (as Windows leaves out long paths): its paths are read and copied as given.
// The drag leaves once before it drops: the server waits on after DragLeave.
TEST_F(DropServer, TakesTheShellIdListAlone) {
    SetEnvironmentVariableA("PORTERLY_DROP_WAIT_MS", "4000");
    std::string a = dir.file("src\\表の長いファイル名.txt", "a");
    std::string b = dir.file("src\\b c.txt", "b");
    touchFolders(dest);
    for (bool bShortHdrop : {false, true}) {
        IDataObject *pShell = shellSelection(src);
        ASSERT_NE(nullptr, pShell);
        OneFormat *pData = new OneFormat(cfIdList, blockOf(pShell, cfIdList));
        pShell->Release();
        DROPFILES df = {sizeof(DROPFILES), {0, 0}, FALSE, TRUE};
        std::wstring wb = toWide(b);
        pData->cf2 = bShortHdrop ? CF_HDROP : 0;
        pData->bytes2 = std::string((const char *)&df, sizeof(df)) +
                        std::string((const char *)wb.c_str(), (wb.size() + 1) * 2) +
                        std::string(2, '\0');
        drop(pData, bShortHdrop);
        pData->Release();
        DWORD pid = programPid();
        ASSERT_NO_FATAL_FAILURE(chooseDest(pid));
        HWND hBox = waitMessageBox(pid);
        ASSERT_NE(nullptr, hBox);
        std::string text = messageBoxText(hBox);
        EXPECT_NE(std::string::npos, text.find(a + "\n")) << text;
        EXPECT_NE(std::string::npos, text.find(b + "\n")) << text;
        clickId(hBox, IDYES);
        ASSERT_TRUE(waitExit(pid, 20000));
        EXPECT_EQ("a", readFile(dest + "\\表の長いファイル名.txt"));
        EXPECT_EQ("b", readFile(dest + "\\b c.txt"));
        DeleteFileA((dest + "\\表の長いファイル名.txt").c_str());
        DeleteFileA((dest + "\\b c.txt").c_str());
        pTarget->Release();
        pTarget = NULL;
    }
}

// A selection that is no list, or an empty one, ends the run with a message.
TEST_F(DropServer, MalformedOrEmptySelectionEndsWithAMessage) {
    DROPFILES df = {sizeof(DROPFILES), {0, 0}, FALSE, FALSE};
    std::string header((const char *)&df, sizeof(df));
    df.fWide = TRUE;
    std::string wide((const char *)&df, sizeof(df));
    df.pFiles = 0x10000; // the names would start past the block
    std::string outside((const char *)&df, sizeof(df));
    const UINT cida[] = {1, 12, 400};                      // the item's list lies past the block
    std::string wild((const char *)L"C:\\src\\*.txt", 26); // named in the refusal
    struct {
        CLIPFORMAT cf;
        std::string bytes;
        const char *message;
    } rows[] = {
        {CF_HDROP, outside + std::string(4, '\0'), "引数解析中にエラー"},
        {CF_HDROP, header + std::string(2, '\0'), "操作すべきファイルが指定されていません"},
        {cfIdList, std::string((const char *)cida, sizeof(cida)) + std::string(2, '\0'),
         "引数解析中にエラー"},
        {CF_HDROP, wide + wild + std::string(4, '\0'), "C:\\src\\*.txt"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.message);
        OneFormat *pData = new OneFormat(row.cf, row.bytes);
        drop(pData);
        pData->Release();
        DWORD pid = programPid();
        HWND hBox = waitMessageBox(pid);
        ASSERT_NE(nullptr, hBox);
        EXPECT_NE(std::string::npos, messageBoxText(hBox).find(row.message));
        clickId(hBox, IDOK);
        EXPECT_TRUE(waitExit(pid, 10000));
        pTarget->Release();
        pTarget = NULL;
    }
}

// A drag that never drops, or leaves, does not keep a server running.
TEST_F(DropServer, EndsWithoutADrop) {
    SetEnvironmentVariableA("PORTERLY_DROP_WAIT_MS", "1500");
    for (bool bLeave : {false, true}) {
        SCOPED_TRACE(bLeave);
        OneFormat *pData = new OneFormat(CF_HDROP, "");
        ASSERT_EQ(S_OK, create());
        DWORD pid = programPid();
        POINTL pt = {10, 10};
        DWORD dwEffect = DROPEFFECT_MOVE; // no copy offered: nothing accepted
        ASSERT_EQ(S_OK, pTarget->DragEnter(pData, MK_LBUTTON, pt, &dwEffect));
        EXPECT_EQ((DWORD)DROPEFFECT_NONE, dwEffect);
        if (bLeave)
            pTarget->DragLeave();
        EXPECT_TRUE(waitExit(pid, 10000));
        pData->Release();
        pTarget->Release();
        pTarget = NULL;
    }
    // The other spelling of the switch starts the server too, not a run on a
    // path (which would wait in its argument message).
    Process p;
    ASSERT_TRUE(p.start("/Embedding"));
    EXPECT_EQ(0u, p.wait(10000));
}

} // namespace
