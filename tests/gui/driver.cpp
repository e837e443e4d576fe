// Operates Kestrune.exe the way an operator would, from another process: menu commands,
// the open-file dialog, the Help and Com port dialogs and the message boxes, checking what
// the window shows. Run by run-gui-tests.sh under Wine with a virtual desktop.
//
//   driver --app Kestrune.exe --hook menuhook.dll --data DIR [--shots]
//
// DIR holds sample.dl, expected-report.txt (what `kestrune-cli info sample.dl` prints),
// refused.dl and a sub-folder whose path is longer than 100 characters with sample.dl in it.
// With --shots the driver prints "SHOT name" and waits for a line on standard input while the
// script takes a screenshot of the desktop.

#include "resources/resource_ids.h"
#include "ui/help_text.h"
#include "ui/window_logic.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;

int failures = 0;
int checks = 0;
bool shotsWanted = false;
std::string appPath;
std::string hookPath;
std::string dataDir;

void fail(const char* format, ...) {
    ++failures;
    std::va_list args;
    va_start(args, format);
    std::fputs("FAIL: ", stdout);
    std::vprintf(format, args);
    std::fputs("\n", stdout);
    va_end(args);
    std::fflush(stdout);
}

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        ++checks;                                                                                  \
        if (!(cond)) {                                                                             \
            fail(__VA_ARGS__);                                                                     \
        }                                                                                          \
    } while (0)

std::string visible(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += c;
        }
    }
    return out.size() > 300 ? out.substr(0, 300) + "..." : out;
}

#define CHECK_TEXT(actual, expected, what)                                                         \
    do {                                                                                           \
        const std::string a_ = (actual);                                                           \
        const std::string e_ = (expected);                                                         \
        CHECK(a_ == e_, "%s:\n    got      \"%s\"\n    expected \"%s\"", what,                     \
              visible(a_).c_str(), visible(e_).c_str());                                           \
    } while (0)

const auto driverStarted = Clock::now();

void step(const char* name) {
    std::printf("-- %5.2f s  %s\n",
                std::chrono::duration<double>(Clock::now() - driverStarted).count(), name);
    std::fflush(stdout);
}

void screenshot(const char* name) {
    if (!shotsWanted) {
        return;
    }
    Sleep(150); // let the last repaint reach the screen
    std::printf("SHOT %s\n", name);
    std::fflush(stdout);
    char line[64];
    std::fgets(line, sizeof line, stdin);
}

std::string readFile(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
            text.append(buffer, n);
        }
        std::fclose(f);
    }
    return text;
}

// Text of a window in another process (edit controls answer only WM_GETTEXT).
std::string textOf(HWND window) {
    const LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string titleOf(HWND window) {
    char title[512] = {};
    GetWindowTextA(window, title, sizeof title);
    return title;
}

RECT frameOf(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

// The reply window for the hook DLL's answers.
std::string hookAnswer;
bool hookAnswered = false;

LRESULT CALLBACK replyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        hookAnswer.assign(static_cast<const char*>(data->lpData), data->cbData);
        hookAnswer.resize(std::strlen(hookAnswer.c_str()));
        hookAnswered = true;
        return TRUE;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND replyWindow() {
    static HWND window = nullptr;
    if (window == nullptr) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = replyProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "KestruneDriverReply";
        RegisterClassA(&windowClass);
        window = CreateWindowA("KestruneDriverReply", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               windowClass.hInstance, nullptr);
    }
    return window;
}

// One running Kestrune.exe.
struct App {
    PROCESS_INFORMATION process{};
    HWND main = nullptr;
    HHOOK hook = nullptr;
    double startSeconds = 0;
};

struct FindRequest {
    DWORD pid;
    const char* className;
    const char* title;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM param) {
    FindRequest& request = *reinterpret_cast<FindRequest*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != request.pid || (request.visibleOnly && !IsWindowVisible(window))) {
        return TRUE;
    }
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (request.className && std::strcmp(className, request.className) != 0) {
        return TRUE;
    }
    if (request.title && titleOf(window) != request.title) {
        return TRUE;
    }
    request.found.push_back(window);
    return TRUE;
}

std::vector<HWND> topWindows(const App& app, const char* className, const char* title,
                             bool visibleOnly = true) {
    FindRequest request{app.process.dwProcessId, className, title, visibleOnly, {}};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

HWND waitForWindow(const App& app, const char* className, const char* title, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        auto found = topWindows(app, className, title);
        if (!found.empty()) {
            return found.front();
        }
        Sleep(20);
    } while (Clock::now() < deadline);
    return nullptr;
}

bool waitUntilGone(HWND window, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (Clock::now() > deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// Returns once the app's main thread has handled everything sent or posted before.
void settle(const App& app) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(app.main, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
}

void command(const App& app, int id) {
    SendMessageA(app.main, WM_COMMAND, id, 0);
}

// Commands that run a modal loop (the open-file dialog, message boxes) are posted.
void postCommand(const App& app, int id) {
    PostMessageA(app.main, WM_COMMAND, id, 0);
}

bool startApp(App& app) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    // Whatever the program writes to standard output or error goes to a file the script
    // inspects: a GUI program has nothing to say there.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA((dataDir + "\\app-output.txt").c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::string commandLine = "\"" + appPath + "\"";
    const auto started = Clock::now();
    const BOOL created = CreateProcessA(appPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &app.process);
    CloseHandle(output);
    if (!created) {
        fail("cannot start %s (error %lu)", appPath.c_str(), GetLastError());
        return false;
    }
    app.main = waitForWindow(app, kestrune::ui::WINDOW_CLASS_NAME, nullptr, 10000);
    if (app.main == nullptr) {
        fail("no main window within 10 s");
        TerminateProcess(app.process.hProcess, 1);
        return false;
    }
    settle(app);
    app.startSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("   Kestrune.exe started, main window after %.2f s\n", app.startSeconds);

    HMODULE hookModule = LoadLibraryA(hookPath.c_str());
    FARPROC exported = hookModule ? GetProcAddress(hookModule, "kestruneTestHook") : nullptr;
    HOOKPROC hookProc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(exported));
    if (hookProc == nullptr) {
        fail("cannot load the hook DLL %s", hookPath.c_str());
        return true;
    }
    app.hook = SetWindowsHookExA(WH_CALLWNDPROC, hookProc, hookModule, app.process.dwThreadId);
    CHECK(app.hook != nullptr, "SetWindowsHookExA failed (error %lu)", GetLastError());
    return true;
}

// Exit from the menu: the process ends with exit code 0.
void exitApp(App& app) {
    if (app.hook) {
        UnhookWindowsHookEx(app.hook);
    }
    postCommand(app, ID_FILE_EXIT);
    const DWORD waited = WaitForSingleObject(app.process.hProcess, 5000);
    CHECK(waited == WAIT_OBJECT_0, "Kestrune did not end within 5 s of Exit");
    DWORD code = 1;
    GetExitCodeProcess(app.process.hProcess, &code);
    CHECK(code == 0, "exit code %lu after Exit", code);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(app.process.hProcess, 1);
    }
    CloseHandle(app.process.hProcess);
    CloseHandle(app.process.hThread);
}

std::string menuDescription(const App& app) {
    static const UINT query = RegisterWindowMessageA("KestruneTestQuery");
    hookAnswered = false;
    hookAnswer.clear();
    DWORD_PTR result = 0;
    SendMessageTimeoutA(app.main, query, 1, reinterpret_cast<LPARAM>(replyWindow()), SMTO_NORMAL,
                        5000, &result);
    CHECK(hookAnswered, "the hook DLL did not answer the menu query");
    return hookAnswer;
}

// The colour of the main window's pixel at (x, y), read inside the program (0xBBGGRR).
uint32_t pixelAt(const App& app, int x, int y) {
    static const UINT query = RegisterWindowMessageA("KestruneTestQuery");
    hookAnswered = false;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(app.main, query, 2 | (WPARAM(x) << 8) | (WPARAM(y) << 20),
                        reinterpret_cast<LPARAM>(replyWindow()), SMTO_NORMAL, 5000, &result);
    CHECK(hookAnswered, "the hook DLL did not answer the pixel query");
    return hookAnswered ? static_cast<uint32_t>(std::stoul(hookAnswer)) : 0xFFFFFFFFu;
}

// Repaints the main window and waits until the paint has been handled.
void repaint(const App& app) {
    InvalidateRect(app.main, nullptr, FALSE);
    Sleep(100);
    settle(app);
}

// The line of one menu item, e.g. "  item 40002 &Abort download grayed".
std::string menuItemLine(const App& app, int id) {
    const std::string menu = menuDescription(app);
    const std::string key = "  item " + std::to_string(id) + " ";
    size_t at = menu.find(key);
    if (at == std::string::npos) {
        return "";
    }
    return menu.substr(at + 2, menu.find('\n', at) - at - 2);
}

HWND detailsPane(const App& app) {
    return GetDlgItem(app.main, IDC_DETAILS_PANE);
}

HWND childOfClass(HWND parent, const char* className) {
    return FindWindowExA(parent, nullptr, className, nullptr);
}

// Load image through the open-file dialog. `path` empty: Cancel. Returns the pane's text.
std::string loadThroughDialog(const App& app, const std::string& path, bool viaStart = false) {
    HWND pane = detailsPane(app);
    const char* marker = "(driver: load pending)";
    SendMessageA(pane, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(marker));
    if (!viaStart) {
        postCommand(app, ID_FILE_LOADIMAGE);
    }
    HWND dialog = waitForWindow(app, "#32770", kestrune::ui::OPEN_DIALOG_TITLE);
    CHECK(dialog != nullptr, "no \"Open image\" dialog");
    if (dialog == nullptr) {
        return "";
    }
    if (path.empty()) {
        SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    } else {
        SetDlgItemTextA(dialog, 1148, path.c_str());
        SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    }
    CHECK(waitUntilGone(dialog), "the open-file dialog stayed open");
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (textOf(pane) == marker && Clock::now() < deadline) {
        Sleep(20);
    }
    settle(app);
    return textOf(pane);
}

// A message box of the app: checks its text and owner, presses OK.
void answerMessageBox(const App& app, const char* caption, const char* text, HWND owner) {
    HWND box = waitForWindow(app, "#32770", caption);
    CHECK(box != nullptr, "no \"%s\" message box", caption);
    if (box == nullptr) {
        return;
    }
    char shown[512] = {};
    GetDlgItemTextA(box, 0xFFFF, shown, sizeof shown);
    CHECK_TEXT(shown, text, "message box text");
    CHECK(GetWindow(box, GW_OWNER) == owner, "message box \"%s\" has the wrong owner", caption);
    SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    CHECK(waitUntilGone(box), "message box \"%s\" did not close", caption);
}

std::string expectedReport;
std::string samplePath() {
    return dataDir + "\\sample.dl";
}

// ---------------------------------------------------------------------------------------------

void startUpAndMenu() {
    step("start-up: window, controls, menu");
    App app;
    if (!startApp(app)) {
        return;
    }

    char className[64] = {};
    GetClassNameA(app.main, className, sizeof className);
    CHECK_TEXT(className, "Kestrune", "window class");
    CHECK_TEXT(titleOf(app.main), kestrune::ui::MAIN_WINDOW_TITLE, "title at start-up");
    const LONG style = GetWindowLongA(app.main, GWL_STYLE);
    CHECK((style & WS_OVERLAPPEDWINDOW) == WS_OVERLAPPEDWINDOW && (style & WS_CLIPCHILDREN),
          "main window style 0x%lx", style);

    // The size rule, from this desktop's own metrics.
    HDC info = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
    TEXTMETRICA metrics{};
    GetTextMetricsA(info, &metrics);
    DeleteDC(info);
    const kestrune::ui::Size expected = kestrune::ui::mainWindowSize(
        GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYDLGFRAME), metrics.tmAveCharWidth,
        metrics.tmHeight);
    const RECT frame = frameOf(app.main);
    CHECK(frame.right - frame.left == expected.width && frame.bottom - frame.top == expected.height,
          "window size %ldx%ld, expected %dx%d", frame.right - frame.left, frame.bottom - frame.top,
          expected.width, expected.height);

    HWND pane = detailsPane(app);
    CHECK(pane != nullptr, "no details pane (id 8)");
    const LONG paneStyle = GetWindowLongA(pane, GWL_STYLE);
    const LONG paneWanted = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                            ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL;
    // The edit control draws its border itself and takes WS_BORDER out of its visible style.
    const LONG paneSeen = paneWanted & ~WS_BORDER;
    CHECK((paneStyle & paneSeen) == paneSeen, "details pane style 0x%lx", paneStyle);
    CHECK(SendMessageA(pane, EM_GETLIMITTEXT, 0, 0) == 32000, "details pane limit %ld",
          static_cast<long>(SendMessageA(pane, EM_GETLIMITTEXT, 0, 0)));
    CHECK_TEXT(textOf(pane), "", "details pane at start-up");

    HWND button = childOfClass(app.main, "Button");
    CHECK(button && GetDlgCtrlID(button) == ID_DOWNLOAD_START && IsWindowVisible(button) &&
              IsWindowEnabled(button),
          "Start download button missing, hidden or disabled");
    if (button) {
        CHECK_TEXT(titleOf(button), "Start download", "button text");
    }
    HWND progress = childOfClass(app.main, "msctls_progress32");
    CHECK(progress && !IsWindowVisible(progress), "progress bar missing or visible");
    HWND status = childOfClass(app.main, "Static");
    CHECK(status && !IsWindowVisible(status) && GetDlgCtrlID(status) == IDC_STATUS_TEXT,
          "status text missing, visible or with another id");

    CHECK_TEXT(menuDescription(app),
               "popup &File\n"
               "  item 40006 &Load image\n"
               "  separator\n"
               "  item 40005 &Exit\n"
               "popup &Download\n"
               "  item 40001 &Start download\n"
               "  item 40002 &Abort download grayed\n"
               "popup &Options\n"
               "  item 40003 &Com port\n"
               "  item 40009 &Details\n"
               "  item 1006 Serialport info\n"
               "  separator\n"
               "  item 40008 &Help\n"
               "  separator\n"
               "  item 40004 &About Kestrune\n",
               "menu at start-up");
    screenshot("main-idle");

    step("Serialport info toggles its check mark and label");
    command(app, ID_OPTIONS_SERIALPORTINFO);
    CHECK_TEXT(menuItemLine(app, ID_OPTIONS_SERIALPORTINFO), "item 1006 &Serialport info checked",
               "Serialport info after one toggle");
    command(app, ID_OPTIONS_SERIALPORTINFO);
    CHECK_TEXT(menuItemLine(app, ID_OPTIONS_SERIALPORTINFO), "item 1006 &Serialport info",
               "Serialport info after two toggles");

    step("About does nothing");
    command(app, ID_OPTIONS_ABOUT);
    settle(app);
    CHECK(topWindows(app, "#32770", nullptr).empty(), "About opened a window");

    step("cancel before any load");
    CHECK_TEXT(loadThroughDialog(app, ""), "Incorrect file format!\r\n", "pane after cancel");
    CHECK_TEXT(titleOf(app.main), kestrune::ui::MAIN_WINDOW_TITLE, "title after cancel");

    step("a click on the banner does nothing, a click on the lamp starts");
    PostMessageA(app.main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 5));
    PostMessageA(app.main, WM_LBUTTONUP, 0, MAKELPARAM(100, 5));
    settle(app);
    Sleep(200);
    CHECK(topWindows(app, "#32770", nullptr).empty(), "a click on the banner opened a window");
    PostMessageA(app.main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(203, 35));
    PostMessageA(app.main, WM_LBUTTONUP, 0, MAKELPARAM(203, 35));
    answerMessageBox(app, "Missing file.....", "You need to load the *.dl file.", app.main);
    CHECK_TEXT(loadThroughDialog(app, "", true), "Incorrect file format!\r\n",
               "pane after the lamp's Start and a cancel");

    exitApp(app);
}

void loadingImages() {
    step("Start with no image: the missing-file box, then the open-file dialog");
    App app;
    if (!startApp(app)) {
        return;
    }
    postCommand(app, ID_DOWNLOAD_START);
    answerMessageBox(app, "Missing file.....", "You need to load the *.dl file.", app.main);
    CHECK_TEXT(loadThroughDialog(app, samplePath(), true), expectedReport,
               "details pane after loading sample.dl");
    CHECK_TEXT(titleOf(app.main),
               std::string(kestrune::ui::MAIN_WINDOW_TITLE) + "        \"sample.dl\"",
               "title after loading sample.dl");
    screenshot("main-report");

    step("Details enlarges the window by 500 pixels with a check mark, and back");
    const RECT before = frameOf(app.main);
    command(app, ID_OPTIONS_DETAILS);
    const RECT enlarged = frameOf(app.main);
    CHECK(enlarged.bottom - enlarged.top == before.bottom - before.top + 500 &&
              enlarged.left == before.left && enlarged.top == before.top &&
              enlarged.right == before.right,
          "Details: height %ld -> %ld", before.bottom - before.top, enlarged.bottom - enlarged.top);
    CHECK_TEXT(menuItemLine(app, ID_OPTIONS_DETAILS), "item 40009 &Details checked",
               "Details item after one press");
    HWND pane = detailsPane(app);
    RECT paneRect{};
    GetWindowRect(pane, &paneRect);
    CHECK(paneRect.bottom - paneRect.top > 300, "details pane only %ld pixels tall",
          paneRect.bottom - paneRect.top);
    settle(app);
    screenshot("main-details");

    step("a refused file: \"Incorrect file format!\", title kept");
    const std::string title = titleOf(app.main);
    CHECK_TEXT(loadThroughDialog(app, dataDir + "\\refused.dl"), "Incorrect file format!\r\n",
               "pane after a refused file");
    CHECK_TEXT(titleOf(app.main), title, "title after a refused file");

    step("a path longer than 100 characters");
    const std::string longPath =
        dataDir + "\\" + std::string(60, 'd') + "\\" + std::string(50, 'e') + "\\long-sample.dl";
    CHECK(longPath.size() > 100, "the long path has only %zu characters", longPath.size());
    CHECK_TEXT(loadThroughDialog(app, longPath), expectedReport, "pane after the long path");
    CHECK_TEXT(titleOf(app.main),
               std::string(kestrune::ui::MAIN_WINDOW_TITLE) + "        \"long-sample.dl\"",
               "title after the long path");

    step("cancel after a load loads the same file again");
    CHECK_TEXT(loadThroughDialog(app, ""), expectedReport, "pane after cancel");

    command(app, ID_OPTIONS_DETAILS);
    const RECT restored = frameOf(app.main);
    CHECK(restored.bottom - restored.top == before.bottom - before.top,
          "Details twice: height %ld, expected %ld", restored.bottom - restored.top,
          before.bottom - before.top);
    CHECK_TEXT(menuItemLine(app, ID_OPTIONS_DETAILS), "item 40009 &Details",
               "Details item after two presses");

    step("Start with an image: no question, no lamp on repaint; Abort draws it again");
    repaint(app);
    CHECK(pixelAt(app, 215, 23) == 0xFFFFFF, "no ready lamp while idle");
    postCommand(app, ID_DOWNLOAD_START);
    settle(app);
    Sleep(200);
    CHECK(topWindows(app, "#32770", nullptr).empty(), "Start with an image opened a window");
    repaint(app);
    const uint32_t unlit = pixelAt(app, 215, 23);
    CHECK(unlit != 0xFFFFFF && unlit != 0, "the lamp was drawn while armed (0x%06x)", unlit);
    command(app, ID_DOWNLOAD_ABORT);
    CHECK(pixelAt(app, 215, 23) == 0xFFFFFF, "Abort did not draw the ready lamp");
    CHECK_TEXT(menuItemLine(app, ID_DOWNLOAD_ABORT), "item 40002 &Abort download grayed",
               "Abort after Abort");
    exitApp(app);
}

void helpAndComPort() {
    step("Help: beside the main window, the help text, one at a time, OK only");
    App app;
    if (!startApp(app)) {
        return;
    }
    // The operator has moved the main window: the dialogs follow it.
    SetWindowPos(app.main, nullptr, 200, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    settle(app);
    const RECT mainFrame = frameOf(app.main);
    CHECK(mainFrame.left == 200 && mainFrame.top == 100, "main window at (%ld, %ld)",
          mainFrame.left, mainFrame.top);
    command(app, ID_OPTIONS_HELP);
    HWND help = waitForWindow(app, "#32770", "Help");
    CHECK(help != nullptr, "no Help dialog");
    if (help != nullptr) {
        const RECT r = frameOf(help);
        CHECK(r.left == mainFrame.left + 95 && r.top == mainFrame.top + 20,
              "Help at (%ld, %ld), main window at (%ld, %ld)", r.left, r.top, mainFrame.left,
              mainFrame.top);
        CHECK(GetWindow(help, GW_OWNER) == app.main, "Help is not owned by the main window");
        CHECK_TEXT(textOf(GetDlgItem(help, IDC_HELP_TEXT)), kestrune::ui::HELP_TEXT, "help text");
        screenshot("help");

        command(app, ID_OPTIONS_HELP);
        settle(app);
        const auto helps = topWindows(app, "#32770", "Help");
        CHECK(helps.size() == 1 && helps.front() == help, "a second Help gave %zu dialogs",
              helps.size());

        PostMessageA(help, WM_COMMAND, IDCANCEL, 0); // what Escape arrives as
        PostMessageA(GetDlgItem(help, IDC_HELP_TEXT), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(GetDlgItem(help, IDC_HELP_TEXT), WM_KEYUP, VK_ESCAPE, 0xC0010001);
        settle(app);
        CHECK(IsWindowVisible(help), "Escape closed the Help dialog");

        SendMessageA(GetDlgItem(help, IDOK), BM_CLICK, 0, 0);
        CHECK(waitUntilGone(help), "OK did not close the Help dialog");
        command(app, ID_OPTIONS_HELP);
        HWND again = waitForWindow(app, "#32770", "Help");
        CHECK(again != nullptr, "Help after OK opened nothing");
        if (again) {
            SendMessageA(GetDlgItem(again, IDOK), BM_CLICK, 0, 0);
            waitUntilGone(again);
        }
    }

    step("Com port: Com 1 checked; Com 2 + Cancel keeps it; Com 2 + OK chooses Com 2");
    auto openComPort = [&]() {
        command(app, ID_OPTIONS_COMPORT);
        return waitForWindow(app, "#32770", "Com port");
    };
    auto checked = [](HWND dialog, int id) {
        return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    };
    HWND com = openComPort();
    CHECK(com != nullptr, "no Com port dialog");
    if (com == nullptr) {
        exitApp(app);
        return;
    }
    const RECT r = frameOf(com);
    CHECK(r.left == mainFrame.left + 135 && r.top == mainFrame.top + 20,
          "Com port at (%ld, %ld), main window at (%ld, %ld)", r.left, r.top, mainFrame.left,
          mainFrame.top);
    CHECK(checked(com, IDC_COM1) && !checked(com, IDC_COM2), "Com 1 not checked at start-up");
    screenshot("com-port");

    command(app, ID_OPTIONS_COMPORT);
    settle(app);
    CHECK(topWindows(app, "#32770", "Com port").size() == 1, "a second Com port dialog");

    SendMessageA(GetDlgItem(com, IDC_COM2), BM_CLICK, 0, 0);
    CHECK(checked(com, IDC_COM2) && !checked(com, IDC_COM1), "Com 2 not checked after a click");
    SendMessageA(GetDlgItem(com, IDCANCEL), BM_CLICK, 0, 0);
    CHECK(waitUntilGone(com), "Cancel did not close the Com port dialog");

    // The dialog checks the stored choice when it opens: that is how the choice is read here.
    com = openComPort();
    CHECK(com && checked(com, IDC_COM1) && !checked(com, IDC_COM2),
          "Com 2 + Cancel changed the port choice");
    if (com) {
        SendMessageA(GetDlgItem(com, IDC_COM2), BM_CLICK, 0, 0);
        SendMessageA(GetDlgItem(com, IDOK), BM_CLICK, 0, 0);
        CHECK(waitUntilGone(com), "OK did not close the Com port dialog");
    }
    com = openComPort();
    CHECK(com && checked(com, IDC_COM2) && !checked(com, IDC_COM1),
          "Com 2 + OK did not store Com 2");
    if (com) {
        SendMessageA(GetDlgItem(com, IDCANCEL), BM_CLICK, 0, 0);
        waitUntilGone(com);
    }
    exitApp(app);
}

// A driver stuck on a window that never came must not hold the test run.
DWORD WINAPI watchdog(void*) {
    Sleep(90000);
    std::puts("FAIL: the driver did not finish within 90 s");
    std::fflush(stdout);
    ExitProcess(3);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--app" && i + 1 < argc) {
            appPath = argv[++i];
        } else if (arg == "--hook" && i + 1 < argc) {
            hookPath = argv[++i];
        } else if (arg == "--data" && i + 1 < argc) {
            dataDir = argv[++i];
        } else if (arg == "--shots") {
            shotsWanted = true;
        } else {
            std::fprintf(stderr, "usage: driver --app EXE --hook DLL --data DIR [--shots]\n");
            return 64;
        }
    }
    expectedReport = readFile(dataDir + "\\expected-report.txt");
    if (expectedReport.empty()) {
        std::fprintf(stderr, "driver: no expected report in %s\n", dataDir.c_str());
        return 2;
    }
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
    const auto started = Clock::now();
    startUpAndMenu();
    loadingImages();
    helpAndComPort();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%d checks, %d failed, %.1f s\n", checks, failures, seconds);
    return failures == 0 ? 0 : 1;
}
