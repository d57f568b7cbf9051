// The queue of transfers to one disk, end to end: real porterly.exe processes,
// the first held in its place by the shell's overwrite question, others
// waiting behind it in their window. Under Wine every drive is one disk (C:
// and Q: are two partitions of device 0); another disk comes through the
// disk seam, in this process.
#include <gtest/gtest.h>
#include <shlobj.h>
#include "harness.h"
#include "porty4.h"
#include "resource.h"
#include "../src/queue.cpp"

namespace {

const char szOverwrite[] = "ファイルの上書きの確認";

// A visible window of the process: with this caption, or (null) the waiting window.
struct FindOwn {
    DWORD pid;
    const char *caption;
    HWND found;
};

BOOL CALLBACK matchOwn(HWND hwnd, LPARAM lParam) {
    FindOwn *a = (FindOwn *)lParam;
    DWORD owner = 0;
    char text[128] = "";
    GetWindowThreadProcessId(hwnd, &owner);
    GetWindowTextA(hwnd, text, sizeof(text));
    bool match = a->caption
                     ? strcmp(text, a->caption) == 0
                     : strcmp(text, PORTERLY_TITLE) == 0 && GetDlgItem(hwnd, IDC_QUEUETEXT) != NULL;
    if (owner == a->pid && IsWindowVisible(hwnd) && match)
        a->found = hwnd;
    return a->found == NULL;
}

HWND findOwn(DWORD pid, const char *caption) {
    FindOwn args = {pid, caption, NULL};
    EnumWindows(matchOwn, (LPARAM)&args);
    return args.found;
}

std::string waitingText(HWND hWait) {
    char text[1024] = "";
    GetDlgItemTextA(hWait, IDC_QUEUETEXT, text, sizeof(text));
    return text;
}

// A text of the queue as the program shows it: "dest への転送は n 件の転送の後に始まります".
std::string waitText(const std::string &dest, int n, bool bUndo = false) {
    return dest + (bUndo ? " への転送を元に戻す操作は " : " への転送は ") + std::to_string(n) +
           " 件の転送の後に始まります";
}

int otherDisk(const WCHAR *, ULONGLONG *pKeys, int) {
    pKeys[0] = 0xD15C;
    return 1;
}

class Queue : public ::testing::Test {
  protected:
    TestDir dir{"queue"};
    TestDir qdir{"queue", "Q:"}; // another volume of the same disk
    std::string dest;
    std::wstring journal;
    void SetUp() override {
        dest = dir.folder("dest");
        RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
        DWORD dwFlags = OPT_NO_CONFIRM;
        RegSetKeyValueA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY, "dwFlags", REG_DWORD, &dwFlags,
                        sizeof(dwFlags));
        WCHAR sz[MAX_PATH] = L"";
        SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, sz);
        journal = std::wstring(sz) + L"\\Porterly\\last-transfer.journal";
        DeleteFileW(journal.c_str());
    }
    void TearDown() override {
        pfnDisksOfVolume = disksOfVolume;
        RegDeleteTreeA(HKEY_CURRENT_USER, PORTERLY_SETTINGS_KEY);
        DeleteFileW(journal.c_str());
    }
    // Starts the program on the items and leaves its chooser on folder with
    // Copy (or the button of that caption).
    static bool send(Process &p, const std::string &items, const std::string &folder,
                     const char *button = nullptr) {
        touchFolders(folder);
        if (!p.start(items))
            return false;
        HWND hChooser = waitChooser(p.pi.dwProcessId);
        if (hChooser == NULL || !selectFolder(hChooser, folder))
            return false;
        PostMessageA(button ? childButton(hChooser, button) : chooserCopy(hChooser), BM_CLICK, 0,
                     0);
        return true;
    }
    // A copy of name into dest that meets its older copy there: the shell's
    // question holds it in its place until answered (returned).
    HWND hold(Process &p, const std::string &name) {
        dir.file("dest\\" + name, "old");
        if (!send(p, "\"" + dir.file(name, "new") + "\"", dest))
            return NULL;
        return waitFor([&] { return findOwn(p.pi.dwProcessId, szOverwrite); });
    }
    static HWND waiting(Process &p) {
        return waitFor([&] { return findOwn(p.pi.dwProcessId, nullptr); });
    }
};

// While a copy into C: holds its place: a move within C: (a rename) and a copy
// on another disk run at once; a copy within Q: (another partition of that
// disk) waits and is cancelled; a copy into another folder of C: waits and is
// started now; the undo of that copy waits too, and leaves the copy that
// changed while it waited, named.
TEST_F(Queue, WaitsOnlyForWhatSharesADisk) {
    Process first;
    HWND hAsk = hold(first, "a.txt");
    ASSERT_NE(nullptr, hAsk);
    std::string other = dir.folder("other"), farDest = qdir.folder("dest");
    const struct {
        const char *what;
        std::string item, folder;
        const char *button;
        int choice; // 0: runs at once; else the button pressed in the waiting window
        std::string text, arrived, left;
        bool bChanged; // the copy changes while it waits
    } rows[] = {
        {"move within C:", dir.file("m.txt"), other, "移動(&M)", 0, "", other + "\\m.txt",
         dir.at("m.txt"), false},
        {"copy within Q:", qdir.file("q.txt"), farDest, nullptr, IDCANCEL, waitText(farDest, 1), "",
         farDest + "\\q.txt", false},
        {"copy into C:", dir.file("c.txt"), other, nullptr, IDOK, waitText(other, 1),
         other + "\\c.txt", "", false},
        {"its undo", "/undo", "", nullptr, IDOK, waitText(other, 1, true), other + "\\c.txt", "",
         true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Process p;
        if (row.folder.empty()) {
            ASSERT_TRUE(p.start(row.item));
            HWND hBox = waitMessageBox(p.pi.dwProcessId); // undo asks first
            ASSERT_NE(nullptr, hBox);
            clickId(hBox, IDYES);
        } else {
            ASSERT_TRUE(send(p, "\"" + row.item + "\"", row.folder, row.button));
        }
        if (row.choice != 0) {
            HWND hWait = waiting(p);
            ASSERT_NE(nullptr, hWait);
            EXPECT_EQ(row.text, waitingText(hWait));
            if (row.bChanged)
                dir.file("other\\c.txt", "changed");
            clickId(hWait, row.choice);
        }
        if (row.bChanged) { // the undo confirmed before leaves the changed copy
            HWND hBox = waitMessageBox(p.pi.dwProcessId);
            ASSERT_NE(nullptr, hBox);
            EXPECT_EQ(0u, messageBoxText(hBox).find("次の項目は元に戻さずに残しました。"));
            clickId(hBox, IDOK);
        }
        EXPECT_EQ(row.bChanged ? 1u : 0u, p.wait());
        EXPECT_TRUE(row.arrived.empty() || exists(row.arrived));
        EXPECT_TRUE(row.left.empty() || !exists(row.left));
        EXPECT_TRUE(IsWindow(hAsk));
    }
    // Another disk, through the seam, in this process.
    pfnDisksOfVolume = otherDisk;
    std::string d = dir.file("d.txt");
    UiDriver driver([&] {
        HWND hChooser = waitChooser();
        ASSERT_NE(nullptr, hChooser);
        ASSERT_TRUE(selectFolder(hChooser, other));
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
        waitGone(hChooser);
    });
    touchFolders(other);
    EXPECT_EQ(0, runWinMain(d));
    EXPECT_EQ(0, driver.finish()); // no waiting window was left to close
    EXPECT_TRUE(exists(other + "\\d.txt"));
    clickId(hAsk, IDYES);
    EXPECT_EQ(0u, first.wait());
    EXPECT_EQ("new", readFile(dest + "\\a.txt"));
}

// Three copies into one folder: each waits for all before it, its text counts
// them down, and each starts as the one before it ends.
TEST_F(Queue, RunsInArrivalOrder) {
    Process first, second, third;
    HWND hAsk = hold(first, "a.txt");
    ASSERT_NE(nullptr, hAsk);
    dir.file("dest\\b.txt", "old"); // the second holds its turn in its own question
    ASSERT_TRUE(send(second, "\"" + dir.file("b.txt", "new") + "\"", dest));
    HWND hWait2 = waiting(second);
    ASSERT_NE(nullptr, hWait2);
    ASSERT_TRUE(send(third, "\"" + dir.file("c.txt") + "\"", dest));
    HWND hWait3 = waiting(third);
    ASSERT_NE(nullptr, hWait3);
    EXPECT_EQ(waitText(dest, 1), waitingText(hWait2));
    EXPECT_EQ(waitText(dest, 2), waitingText(hWait3));

    clickId(hAsk, IDYES);
    EXPECT_EQ(0u, first.wait());
    HWND hAsk2 = waitFor([&] { return findOwn(second.pi.dwProcessId, szOverwrite); });
    ASSERT_NE(nullptr, hAsk2);
    EXPECT_NE(nullptr,
              waitFor([&] { return waitingText(hWait3) == waitText(dest, 1) ? hWait3 : NULL; }));
    EXPECT_FALSE(exists(dest + "\\c.txt"));
    clickId(hAsk2, IDYES);
    EXPECT_EQ(0u, second.wait());
    EXPECT_EQ(0u, third.wait());
    EXPECT_EQ("new", readFile(dest + "\\b.txt"));
    EXPECT_TRUE(exists(dest + "\\c.txt"));
}

// A Porterly killed in its place (or a crash) blocks nobody: the one waiting
// behind it starts at once.
TEST_F(Queue, KilledTransferLosesItsPlace) {
    Process first, second;
    ASSERT_NE(nullptr, hold(first, "a.txt"));
    ASSERT_TRUE(send(second, "\"" + dir.file("b.txt") + "\"", dest));
    HWND hWait = waiting(second);
    ASSERT_NE(nullptr, hWait);
    TerminateProcess(first.pi.hProcess, 9);
    EXPECT_TRUE(waitGone(hWait));
    EXPECT_EQ(0u, second.wait());
    EXPECT_TRUE(exists(dest + "\\b.txt"));
}

// A thread that ended in its place and holding the lock (both mutexes
// abandoned) leaves nothing that blocks; the record's rule, row by row.
TEST(QueueRecord, AbandonedPlacesAndWhatIsAhead) {
    std::string list = "C:\\windows\\win.ini\n", to = "C:\\windows";
    std::thread([&] {
        QueuePlace place;
        enterQueue(&place, list.c_str(), to.c_str(), false);
        lockQueue(&place);
    }).join();
    QueuePlace place;
    ASSERT_TRUE(enterQueue(&place, list.c_str(), to.c_str(), false));
    EXPECT_NE(0u, place.ullArrival);
    EXPECT_EQ(SLOT_RUNNING, place.pRecord->slots[place.nSlot].dwState);
    leaveQueue(&place);

    const struct {
        ULONGLONG arrival;
        DWORD state, nKeys;
        ULONGLONG key;
        bool ahead;
    } rows[] = {{5, SLOT_RUNNING, 1, 7, true},  {5, SLOT_WAITING, 1, 7, true},
                {5, SLOT_RUNNING, 1, 8, false}, {11, SLOT_RUNNING, 1, 7, false},
                {5, SLOT_FREE, 1, 7, false},    {5, SLOT_RUNNING, QUEUE_ALL_DISKS, 0, true},
                {5, SLOT_RUNNING, 0, 0, false}};
    for (const auto &row : rows) {
        QueueRecord record = {};
        record.slots[3] = {10, {{9, 7}, 2, 0}, 1, SLOT_WAITING};
        record.slots[9] = {row.arrival, {{row.key}, row.nKeys, 0}, 2, row.state};
        EXPECT_EQ(row.ahead ? 1u : 0u, countAhead(&record, 3, NULL, 0)) << row.arrival << row.key;
    }
}

} // namespace
