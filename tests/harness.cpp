// Test helpers shared by the test programs; see harness.h.
#include "harness.h"
#include <commctrl.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <string.h>
#include <wchar.h>

TestDir::TestDir(const std::string &name, const std::string &root) {
    CreateDirectoryA((root + "\\porterly-tests").c_str(), NULL);
    path = root + "\\porterly-tests\\" + name;
    removeTree(path);
    CreateDirectoryA(path.c_str(), NULL);
}

TestDir::~TestDir() {
    SetCurrentDirectoryA("C:\\");
    removeTree(path);
}

std::string TestDir::at(const std::string &relative) const {
    return path + "\\" + relative;
}

std::string TestDir::file(const std::string &relative, const std::string &content) const {
    std::string full = at(relative);
    HANDLE h = CreateFileA(full.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(h, content.data(), (DWORD)content.size(), &written, NULL);
        CloseHandle(h);
    }
    return full;
}

std::string TestDir::folder(const std::string &relative) const {
    std::string full = at(relative);
    CreateDirectoryA(full.c_str(), NULL);
    return full;
}

// Wide, so that names the code page cannot hold (made by the UTF-8 program
// or by a test) go too.
void removeTree(const std::wstring &path) {
    DWORD attr = GetFileAttributesW(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES)
        return;
    if (attr & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: remove the link itself, never what it leads to.
        if (!RemoveDirectoryW(path.c_str()))
            DeleteFileW(path.c_str());
        return;
    }
    SetFileAttributesW(path.c_str(), attr & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
                removeTree(path + L"\\" + fd.cFileName);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}

void removeTree(const std::string &path) {
    removeTree(toWide(path));
}

std::wstring toWide(const std::string &text) {
    std::wstring out(text.size() + 1, L'\0');
    out.resize((size_t)MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], (int)out.size()));
    if (!out.empty())
        out.pop_back();
    return out;
}

bool exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isFolder(const std::string &path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::string readFile(const std::string &path) {
    std::string out;
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, NULL) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

void touchFolders(const std::string &path) {
    std::string prefix;
    size_t pos = 0;
    for (;;) {
        size_t next = path.find('\\', pos);
        std::string part = path.substr(0, next == std::string::npos ? path.size() : next);
        if (part.size() > 2) {
            WIN32_FIND_DATAA fd;
            HANDLE h = FindFirstFileA((part + "\\*").c_str(), &fd);
            if (h != INVALID_HANDLE_VALUE) {
                while (FindNextFileA(h, &fd)) {
                }
                FindClose(h);
            }
        }
        if (next == std::string::npos)
            break;
        pos = next + 1;
    }
}

static int sandboxCounter = 0;

RegistrySandbox::RegistrySandbox() {
    char buf[64];
    sprintf(buf, "Software\\PorterlyTests\\p%lu_%d", GetCurrentProcessId(), ++sandboxCounter);
    name = buf;
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    RegDeleteTreeA(HKEY_CURRENT_USER, name.c_str());
    RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hScratch,
                    NULL);
    RegOverridePredefKey(HKEY_CURRENT_USER, hScratch);
}

RegistrySandbox::~RegistrySandbox() {
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL);
    RegCloseKey(hScratch);
    RegDeleteTreeA(HKEY_CURRENT_USER, name.c_str());
}

HKEY RegistrySandbox::settingsKey() {
    HKEY h = NULL;
    RegCreateKeyExA(hScratch, PORTERLY_SETTINGS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL);
    return h;
}

bool regReadString(RegistrySandbox &sandbox, const char *value, std::string *out) {
    HKEY h = sandbox.settingsKey();
    char buf[1024];
    DWORD cb = sizeof(buf) - 1, type = 0;
    LONG rc = RegQueryValueExA(h, value, NULL, &type, (BYTE *)buf, &cb);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS)
        return false;
    buf[cb] = '\0';
    *out = buf;
    return true;
}

bool regReadDword(RegistrySandbox &sandbox, const char *value, DWORD *out) {
    HKEY h = sandbox.settingsKey();
    DWORD cb = sizeof(DWORD), type = 0;
    LONG rc = RegQueryValueExA(h, value, NULL, &type, (BYTE *)out, &cb);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && type == REG_DWORD;
}

void regWriteDword(RegistrySandbox &sandbox, const char *value, DWORD data) {
    HKEY h = sandbox.settingsKey();
    RegSetValueExA(h, value, 0, REG_DWORD, (const BYTE *)&data, sizeof(data));
    RegCloseKey(h);
}

void regWriteString(RegistrySandbox &sandbox, const char *value, const std::string &data) {
    HKEY h = sandbox.settingsKey();
    RegSetValueExA(h, value, 0, REG_SZ, (const BYTE *)data.c_str(), (DWORD)data.size() + 1);
    RegCloseKey(h);
}

HWND waitFor(const std::function<HWND()> &fn, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND h = fn();
        if (h != NULL)
            return h;
        if (GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(20);
    }
}

struct FindArgs {
    DWORD processId;
    const char *caption;
    int kind; // 0 chooser, 1 message box, 2 dialog with an edit
    HWND found;
};

// A window's text without sending it a message: a window of this process
// whose thread is busy cannot block the caller.
static std::string quietWindowText(HWND hwnd) {
    WCHAR wText[256] = L"";
    InternalGetWindowText(hwnd, wText, 256);
    char text[512] = "";
    WideCharToMultiByte(CP_ACP, 0, wText, -1, text, sizeof(text), NULL, NULL);
    return text;
}

static BOOL CALLBACK findTopLevel(HWND hwnd, LPARAM lParam) {
    FindArgs *args = (FindArgs *)lParam;
    if (!IsWindowVisible(hwnd))
        return TRUE;
    if (args->processId != 0) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != args->processId)
            return TRUE;
    }
    if (quietWindowText(hwnd) != args->caption)
        return TRUE;
    bool match = false;
    if (args->kind == 0)
        match = FindWindowExA(hwnd, NULL, "SysTreeView32", NULL) != NULL;
    else if (args->kind == 1)
        match = GetDlgItem(hwnd, 0xFFFF) != NULL &&
                FindWindowExA(hwnd, NULL, "SysTreeView32", NULL) == NULL;
    else
        match = FindWindowExA(hwnd, NULL, "Edit", NULL) != NULL;
    if (match) {
        args->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

static HWND findKind(int kind, const char *caption, DWORD processId) {
    FindArgs args = {processId ? processId : GetCurrentProcessId(), caption, kind, NULL};
    EnumWindows(findTopLevel, (LPARAM)&args);
    return args.found;
}

HWND findChooser(DWORD processId) {
    return findKind(0, PORTERLY_TITLE, processId);
}

HWND findMessageBox(DWORD processId) {
    return findKind(1, PORTERLY_TITLE, processId);
}

HWND findDialogWithEdit(const char *caption, DWORD processId) {
    return findKind(2, caption, processId);
}

HWND waitChooser(DWORD processId) {
    return waitFor([&] { return findChooser(processId); });
}

HWND waitMessageBox(DWORD processId) {
    return waitFor([&] { return findMessageBox(processId); });
}

std::string windowText(HWND hwnd) {
    char buf[8192] = "";
    SendMessageA(hwnd, WM_GETTEXT, sizeof(buf), (LPARAM)buf);
    return buf;
}

std::string messageBoxText(HWND hBox) {
    char buf[8192] = "";
    GetDlgItemTextA(hBox, 0xFFFF, buf, sizeof(buf));
    return buf;
}

void clickId(HWND hDlg, int id) {
    HWND h = GetDlgItem(hDlg, id);
    if (h != NULL)
        PostMessageA(h, BM_CLICK, 0, 0);
}

static std::string treeSelectionText(HWND hTree, DWORD pid) {
    HTREEITEM hItem = (HTREEITEM)SendMessageA(hTree, TVM_GETNEXTITEM, TVGN_CARET, 0);
    if (hItem == NULL)
        return "";
    if (pid == GetCurrentProcessId()) {
        char text[260] = "";
        TVITEMA item = {};
        item.mask = TVIF_TEXT;
        item.hItem = hItem;
        item.pszText = text;
        item.cchTextMax = sizeof(text);
        SendMessageA(hTree, TVM_GETITEMA, 0, (LPARAM)&item);
        return text;
    }
    char buf[32];
    sprintf(buf, "%p", (void *)hItem);
    return buf;
}

// The path's bytes (with their NUL) reach the chooser's process as they are:
// narrow ones with BFFM_SETSELECTIONA, wide ones with BFFM_SETSELECTIONW.
static void sendSelection(HWND hChooser, DWORD pid, const void *path, size_t cb, UINT msg) {
    if (pid == GetCurrentProcessId()) {
        SendMessageA(hChooser, msg, TRUE, (LPARAM)path);
        return;
    }
    HANDLE hProcess = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (hProcess == NULL)
        return;
    void *remote = VirtualAllocEx(hProcess, NULL, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    WriteProcessMemory(hProcess, remote, path, cb, NULL);
    SendMessageA(hChooser, msg, TRUE, (LPARAM)remote);
    VirtualFreeEx(hProcess, remote, 0, MEM_RELEASE);
    CloseHandle(hProcess);
}

static bool selectFolder(HWND hChooser, const void *path, size_t cb, UINT msg,
                         const std::string &name) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hChooser, &pid);
    HWND hTree = FindWindowExA(hChooser, NULL, "SysTreeView32", NULL);
    std::string before = treeSelectionText(hTree, pid);
    // Now and then Wine's browser misses a folder made just before (its shell
    // folder has not seen it yet); a second request a moment later finds it.
    for (int attempt = 0; attempt < 5; attempt++) {
        if (attempt > 0)
            Sleep(200);
        sendSelection(hChooser, pid, path, cb, msg);
        std::string after = treeSelectionText(hTree, pid);
        if (after != before || after == name)
            return true;
    }
    return false;
}

bool selectFolder(HWND hChooser, const std::string &path) {
    return selectFolder(hChooser, path.c_str(), path.size() + 1, BFFM_SETSELECTIONA,
                        path.substr(path.rfind('\\') + 1));
}

bool selectFolder(HWND hChooser, const std::wstring &path) {
    return selectFolder(hChooser, path.c_str(), (path.size() + 1) * sizeof(WCHAR),
                        BFFM_SETSELECTIONW, "");
}

HWND chooserCopy(HWND hChooser) {
    HWND h = NULL;
    while ((h = FindWindowExA(hChooser, h, "Button", NULL)) != NULL) {
        if (GetWindowLongA(h, GWL_STYLE) & BS_DEFPUSHBUTTON)
            return h;
    }
    return NULL;
}

HWND chooserCancel(HWND hChooser) {
    HWND hCopy = chooserCopy(hChooser);
    HWND h = NULL;
    while ((h = FindWindowExA(hChooser, h, "Button", NULL)) != NULL) {
        if (h != hCopy)
            return h;
    }
    return NULL;
}

HWND childButton(HWND hParent, const char *caption) {
    return FindWindowExA(hParent, NULL, "Button", caption);
}

bool waitGone(HWND hwnd, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (IsWindow(hwnd)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

static BOOL CALLBACK closeOwnWindow(HWND hwnd, LPARAM lParam) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(hwnd)) {
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
        (*(int *)lParam)++;
    }
    return TRUE;
}

// Wine can deadlock when one thread makes its first window-system call while
// another, holding the loader lock, loads a library that registers window
// classes: the first waits for the lock, the second for the first's one-time
// set-up. Doing all of that here, before any second thread, avoids the race.
void prepareUiThreads() {
    static bool bDone = false;
    if (bDone)
        return;
    bDone = true;
    LoadLibraryA("comctl32.dll"); // the browser's tree; its start registers classes
    LoadLibraryA("shell32.dll");
    LoadLibraryA("ole32.dll");
    HWND hwnd = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    if (hwnd != NULL)
        DestroyWindow(hwnd);
    FindWindowA(NULL, "");
}

UiDriver::UiDriver(std::function<void()> fn) {
    prepareUiThreads();
    thread = std::thread([this, fn] {
        fn();
        while (!finished) {
            int closed = 0;
            EnumWindows(closeOwnWindow, (LPARAM)&closed);
            if (closed > 0) {
                strays += closed;
                Sleep(300);
            }
            Sleep(20);
        }
    });
}

int UiDriver::finish() {
    finished = true;
    if (thread.joinable())
        thread.join();
    return strays;
}

UiDriver::~UiDriver() {
    finish();
}

std::string programPath(const char *name) {
    if (strchr(name, '\\') != NULL)
        return name;
    char buf[MAX_PATH];
    GetModuleFileNameA(NULL, buf, sizeof(buf));
    char *sep = strrchr(buf, '\\');
    strcpy(sep + 1, name);
    return buf;
}

bool Process::start(const std::string &tail) {
    std::string exe = programPath(name);
    std::string line = "\"" + exe + "\" " + tail;
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    return CreateProcessA(exe.c_str(), buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi) != 0;
}

bool Process::startWide(const std::wstring &tail) {
    return startLine(L"\"" + toWide(programPath(name)) + L"\" " + tail);
}

bool Process::startLine(const std::wstring &line) {
    std::vector<WCHAR> buf(line.begin(), line.end());
    buf.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    return CreateProcessW(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi) != 0;
}

std::wstring regReadWide(HKEY hKey, const WCHAR *subkey, const WCHAR *value) {
    WCHAR buf[1024] = L"";
    DWORD cb = sizeof(buf) - sizeof(WCHAR);
    RegGetValueW(hKey, subkey, value, RRF_RT_REG_SZ, NULL, buf, &cb);
    return buf;
}

std::wstring wideText(HWND hwnd) {
    WCHAR buf[4096] = L"";
    SendMessageW(hwnd, WM_GETTEXT, 4096, (LPARAM)buf);
    return buf;
}

DWORD Process::wait(DWORD timeoutMs) {
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

Process::~Process() {
    if (pi.hProcess != NULL) {
        if (wait(0) == STILL_ACTIVE)
            TerminateProcess(pi.hProcess, 99);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
}

int runWinMain(const std::string &tail) {
    std::vector<char> buf(tail.begin(), tail.end());
    buf.push_back('\0');
    return WinMain(GetModuleHandleA(NULL), NULL, buf.data(), SW_SHOWNORMAL);
}

std::vector<std::string> listItems(const std::string &list) {
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t nl = list.find('\n', pos);
        if (nl == std::string::npos) {
            items.push_back(list.substr(pos) + "<no newline>");
            break;
        }
        items.push_back(list.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return items;
}

// ---------------------------------------------------------------- watchdog
// Under ctest every test runs in a process of its own. When
// PORTERLY_TEST_WATCHDOG gives seconds, a test still running after them lists
// this process's windows (what the UI was waiting for) and ends the process,
// so a hang reports itself instead of sitting out ctest's time-out.

static BOOL CALLBACK dumpChild(HWND hwnd, LPARAM lParam) {
    char cls[64] = "";
    GetClassNameA(hwnd, cls, sizeof(cls));
    fprintf(stderr, "%s%p %s \"%s\"%s%s\n", (const char *)lParam, (void *)hwnd, cls,
            quietWindowText(hwnd).c_str(), IsWindowVisible(hwnd) ? "" : " hidden",
            IsWindowEnabled(hwnd) ? "" : " disabled");
    return TRUE;
}

static BOOL CALLBACK dumpTopLevel(HWND hwnd, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId())
        return TRUE;
    dumpChild(hwnd, (LPARAM) "  ");
    EnumChildWindows(hwnd, dumpChild, (LPARAM) "      ");
    return TRUE;
}

static DWORD WINAPI listWindows(LPVOID) {
    EnumWindows(dumpTopLevel, 0);
    return 0;
}

// Stopped and waited for before the process ends: the i386 Wine now and then
// crashes ending a thread that still waits at exit (docs/wine-notes.md).
static HANDLE hWatchdogStop, hWatchdog;

static void stopWatchdog() {
    SetEvent(hWatchdogStop);
    WaitForSingleObject(hWatchdog, 5000);
}

static DWORD WINAPI watchdog(LPVOID param) {
    if (WaitForSingleObject(hWatchdogStop, (DWORD)(UINT_PTR)param * 1000) != WAIT_TIMEOUT)
        return 0;
    fprintf(stderr, "watchdog: still running after %u s; windows of this process:\n",
            (unsigned)(UINT_PTR)param);
    fflush(stderr);
    // A deadlock inside the window system would hold the listing too.
    HANDLE hList = CreateThread(NULL, 0, listWindows, NULL, 0, NULL);
    if (hList == NULL || WaitForSingleObject(hList, 5000) != WAIT_OBJECT_0)
        fprintf(stderr, "watchdog: the windows cannot be listed (window system blocked)\n");
    fflush(stderr);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

// A crash would start Wine's debugger, which waits with the process stopped
// (the watchdog with it) until ctest's time-out: report it and end instead.
static LONG WINAPI reportCrash(EXCEPTION_POINTERS *pInfo) {
    fprintf(stderr, "crash: exception %08lx at %p\n",
            (unsigned long)pInfo->ExceptionRecord->ExceptionCode,
            pInfo->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}

static int startWatchdog() {
    char value[16] = "";
    if (GetEnvironmentVariableA("PORTERLY_TEST_WATCHDOG", value, sizeof(value)) == 0)
        return 0;
    SetUnhandledExceptionFilter(reportCrash);
    int seconds = atoi(value);
    if (seconds > 0) {
        hWatchdogStop = CreateEventA(NULL, TRUE, FALSE, NULL);
        hWatchdog = CreateThread(NULL, 0, watchdog, (LPVOID)(UINT_PTR)seconds, 0, NULL);
        if (hWatchdog != NULL)
            atexit(stopWatchdog);
    }
    return seconds;
}

static const int watchdogSeconds = startWatchdog();

DWORD programPid() {
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof(pe);
    DWORD pid = 0;
    for (BOOL b = Process32First(hSnap, &pe); b && pid == 0; b = Process32Next(hSnap, &pe)) {
        if (lstrcmpiA(pe.szExeFile, "porterly.exe") == 0)
            pid = pe.th32ProcessID;
    }
    CloseHandle(hSnap);
    return pid;
}

STDMETHODIMP OneFormat::QueryInterface(REFIID riid, void **ppv) {
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject) ? this : NULL;
    return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
}
STDMETHODIMP_(ULONG) OneFormat::AddRef() {
    return InterlockedIncrement(&refs);
}
STDMETHODIMP_(ULONG) OneFormat::Release() {
    LONG n = InterlockedDecrement(&refs);
    if (n == 0)
        delete this;
    return n;
}
STDMETHODIMP OneFormat::GetData(FORMATETC *pFmt, STGMEDIUM *pMedium) {
    if (QueryGetData(pFmt) != S_OK)
        return DV_E_FORMATETC;
    const std::string &data = pFmt->cfFormat == cf ? bytes : bytes2;
    HGLOBAL h = GlobalAlloc(GHND, data.size());
    memcpy(GlobalLock(h), data.data(), data.size());
    GlobalUnlock(h);
    *pMedium = {};
    pMedium->tymed = TYMED_HGLOBAL;
    pMedium->hGlobal = h;
    return S_OK;
}
STDMETHODIMP OneFormat::QueryGetData(FORMATETC *pFmt) {
    return (pFmt->cfFormat == cf || (cf2 != 0 && pFmt->cfFormat == cf2)) &&
                   (pFmt->tymed & TYMED_HGLOBAL)
               ? S_OK
               : DV_E_FORMATETC;
}
STDMETHODIMP OneFormat::GetDataHere(FORMATETC *, STGMEDIUM *) {
    return E_NOTIMPL;
}
STDMETHODIMP OneFormat::GetCanonicalFormatEtc(FORMATETC *, FORMATETC *) {
    return E_NOTIMPL;
}
STDMETHODIMP OneFormat::SetData(FORMATETC *, STGMEDIUM *, BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP OneFormat::EnumFormatEtc(DWORD, IEnumFORMATETC **) {
    return E_NOTIMPL;
}
STDMETHODIMP OneFormat::DAdvise(FORMATETC *, DWORD, IAdviseSink *, DWORD *) {
    return E_NOTIMPL;
}
STDMETHODIMP OneFormat::DUnadvise(DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP OneFormat::EnumDAdvise(IEnumSTATDATA **) {
    return E_NOTIMPL;
}
