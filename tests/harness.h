// Test helpers: scratch folders inside the Wine prefix, an isolated HKCU, the
// program started with an exact command line, and the means to find and drive
// its windows (chooser, message boxes, dialogs) from a second thread.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "settingskey.h"
#include "version.h"

// Scratch folder C:\porterly-tests\<name>, emptied on creation and removed on
// destruction. Names are byte strings in the process's code page.
struct TestDir {
    std::string path; // no trailing backslash
    // Under root\porterly-tests (root "Q:" is the second volume of the prefix).
    explicit TestDir(const std::string &name, const std::string &root = "C:");
    ~TestDir();
    std::string at(const std::string &relative) const; // path + "\" + relative
    std::string file(const std::string &relative, const std::string &content = "x") const;
    std::string folder(const std::string &relative) const;
};

void removeTree(const std::string &path);
void removeTree(const std::wstring &path);
// The process's code page to wide characters.
std::wstring toWide(const std::string &text);
bool exists(const std::string &path);
bool isFolder(const std::string &path);
std::string readFile(const std::string &path);
// Reads every folder on the way to path once (the browser under Wine selects
// a folder reliably only when it was listed before the tree was filled).
void touchFolders(const std::string &path);

// Redirects HKEY_CURRENT_USER of this process to a fresh scratch key.
struct RegistrySandbox {
    HKEY hScratch = NULL;
    std::string name;
    RegistrySandbox();
    ~RegistrySandbox();
    HKEY settingsKey(); // opens (creating) the program's key under the sandbox
};

// Values under the program's settings key, read through the sandbox.
bool regReadString(RegistrySandbox &sandbox, const char *value, std::string *out);
bool regReadDword(RegistrySandbox &sandbox, const char *value, DWORD *out);
void regWriteDword(RegistrySandbox &sandbox, const char *value, DWORD data);
void regWriteString(RegistrySandbox &sandbox, const char *value, const std::string &data);
// A string value read wide (subkey may be null), or "" when there is none.
std::wstring regReadWide(HKEY hKey, const WCHAR *subkey, const WCHAR *value);

// Polls until fn returns a window or the time runs out (null then).
HWND waitFor(const std::function<HWND()> &fn, DWORD timeoutMs = 10000);
// Visible top-level windows captioned like the program, told apart by children.
HWND findChooser(DWORD processId = 0);
HWND findMessageBox(DWORD processId = 0);
HWND findDialogWithEdit(const char *caption, DWORD processId = 0);
HWND waitChooser(DWORD processId = 0);
HWND waitMessageBox(DWORD processId = 0);
std::string windowText(HWND hwnd);
std::string messageBoxText(HWND hBox);
// Clicks a button of a dialog or message box by id (BM_CLICK, posted).
void clickId(HWND hDlg, int id);
// Selects a folder in a chooser (in this process or another) and waits until
// the tree reports it; returns whether the tree's selection moved.
bool selectFolder(HWND hChooser, const std::string &path);
bool selectFolder(HWND hChooser, const std::wstring &path); // any name, through the wide message
// The chooser's OK (Copy) and Cancel buttons, and a button found by caption.
HWND chooserCopy(HWND hChooser);
HWND chooserCancel(HWND hChooser);
HWND childButton(HWND hParent, const char *caption);
// Waits until the window is gone.
bool waitGone(HWND hwnd, DWORD timeoutMs = 10000);

// Brings the window system and the UI libraries up on the calling thread, so
// that a driver thread never races the test's thread through their first use.
void prepareUiThreads();

// Runs a driver on a second thread while the test's thread runs modal UI.
struct Driver {
    std::thread thread;
    explicit Driver(std::function<void()> fn) {
        prepareUiThreads();
        thread = std::thread(std::move(fn));
    }
    ~Driver() {
        if (thread.joinable())
            thread.join();
    }
};

// Like Driver, but after fn it keeps closing any window of this process that
// is still up (a stray prompt, or UI left open by a failed step) until
// finish(), which returns how many it had to close: 0 in a passing test.
struct UiDriver {
    std::thread thread;
    std::atomic<bool> finished{false};
    std::atomic<int> strays{0};
    explicit UiDriver(std::function<void()> fn);
    int finish();
    ~UiDriver();
};

// A program beside the test program (porterly.exe unless named), or the path
// as given when it holds a backslash.
std::string programPath(const char *name = "porterly.exe");
// A started process, ended when the record goes if it still runs.
struct Process {
    PROCESS_INFORMATION pi = {};
    // As for programPath. porterly-cp932.exe: the program as it runs on
    // Windows before 10 version 1903, in code page 932.
    const char *name = "porterly.exe";
    bool start(const std::string &tail);      // exactly "exe" + " " + tail
    bool startWide(const std::wstring &tail); // the same with a wide command line
    bool startLine(const std::wstring &line); // a whole command line (a Unix program too)
    DWORD wait(DWORD timeoutMs = 30000);      // exit code, or STILL_ACTIVE on time-out
    ~Process();
};

// The id of a running porterly.exe started otherwise (as COM starts a server),
// or 0.
DWORD programPid();

// A data object offering one HGLOBAL format with the given bytes, as a drop
// source hands it over (created with one reference).
struct OneFormat final : IDataObject {
    LONG refs = 1;
    CLIPFORMAT cf;
    std::string bytes;
    CLIPFORMAT cf2 = 0; // a second format, when not 0
    std::string bytes2;
    OneFormat(CLIPFORMAT cfFormat, const std::string &data) : cf(cfFormat), bytes(data) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetData(FORMATETC *pFmt, STGMEDIUM *pMedium) override;
    STDMETHODIMP QueryGetData(FORMATETC *pFmt) override;
    STDMETHODIMP GetDataHere(FORMATETC *, STGMEDIUM *) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC *, FORMATETC *) override;
    STDMETHODIMP SetData(FORMATETC *, STGMEDIUM *, BOOL) override;
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC **) override;
    STDMETHODIMP DAdvise(FORMATETC *, DWORD, IAdviseSink *, DWORD *) override;
    STDMETHODIMP DUnadvise(DWORD) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA **) override;
};

// A window's text read as wide characters (also across processes).
std::wstring wideText(HWND hwnd);

// Runs WinMain of this test program in-process with the given tail.
int runWinMain(const std::string &tail);

// UTF-8 literal in the test source is already CP932 here (-fexec-charset).
std::vector<std::string> listItems(const std::string &list); // split at "\n"
