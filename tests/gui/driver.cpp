// Operates Kestrune.exe the way an operator would, from another process: menu commands,
// the open-file dialog, the Help and Com port dialogs and the message boxes, checking what
// the window shows. Run by run-gui-tests.sh under Wine with a virtual desktop.
//
//   driver --app Kestrune.exe --hook menuhook.dll --data DIR [--shots] [--bench RUNS]
//
// DIR holds sample.dl, expected-report.txt (what `kestrune-cli info sample.dl` prints),
// refused.dl, a sub-folder whose path is longer than 100 characters with sample.dl in it, and
// a two-module image (two-modules.dl, its report in expected-two-modules.txt) also under the
// names long-name-xxx...x.dl of 85 and 150 characters.
// With --shots the driver prints "SHOT name" and waits for a line on standard input while the
// script takes a screenshot of the desktop. --bench RUNS runs no test but the window's
// benchmark (benchDownloads).

#include "resources/resource_ids.h"
#include "ui/help_text.h"
#include "ui/window_logic.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>
#include <windows.h>

// After windows.h, which it builds on.
#include <commctrl.h>

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

// The running Kestrune.exe processes, for the watchdog: each inherits the driver's standard
// output, and one left running would keep the script waiting for the driver's last line.
std::atomic<HANDLE> runningApps[4] = {};

void rememberApp(HANDLE process) {
    for (auto& slot : runningApps) {
        HANDLE none = nullptr;
        if (slot.compare_exchange_strong(none, process)) {
            return;
        }
    }
}

void forgetApp(HANDLE process) {
    for (auto& slot : runningApps) {
        HANDLE expected = process;
        slot.compare_exchange_strong(expected, nullptr);
    }
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

size_t windowsTitled(const App& app, const char* title) {
    return topWindows(app, "#32770", title, false).size();
}

// The waits end when the window comes: their bounds only say when to give up on a loaded machine.
HWND waitForWindow(const App& app, const char* className, const char* title,
                   int timeoutMs = 15000) {
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

bool waitUntilGone(HWND window, int timeoutMs = 15000) {
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
    if (created) {
        rememberApp(app.process.hProcess);
    }
    if (!created) {
        fail("cannot start %s (error %lu)", appPath.c_str(), GetLastError());
        return false;
    }
    // A first start in a fresh prefix took 6.6 s beside the native tier.
    app.main = waitForWindow(app, kestrune::ui::WINDOW_CLASS_NAME, nullptr, 30000);
    if (app.main == nullptr) {
        fail("no main window within 30 s");
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

// The program ended by a posted `message` (`how` the operator did it): the process ends with
// exit code 0.
void endApp(App& app, UINT message, WPARAM wParam, const char* how) {
    if (app.hook) {
        UnhookWindowsHookEx(app.hook);
    }
    PostMessageA(app.main, message, wParam, 0);
    const DWORD waited = WaitForSingleObject(app.process.hProcess, 5000);
    CHECK(waited == WAIT_OBJECT_0, "Kestrune did not end within 5 s of %s", how);
    DWORD code = 1;
    GetExitCodeProcess(app.process.hProcess, &code);
    CHECK(code == 0, "exit code %lu after %s", code, how);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(app.process.hProcess, 1);
    }
    forgetApp(app.process.hProcess);
    CloseHandle(app.process.hProcess);
    CloseHandle(app.process.hThread);
}

// Exit from the menu.
void exitApp(App& app) {
    endApp(app, WM_COMMAND, ID_FILE_EXIT, "Exit");
}

// Handles what waits in the driver's own queue. Wine counts a thread whose queue holds messages
// it has not looked at for 5 s as hung, and the hook's answer (sent "abort if hung") is lost.
void pumpMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

std::string menuDescription(const App& app) {
    static const UINT query = RegisterWindowMessageA("KestruneTestQuery");
    pumpMessages();
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
    pumpMessages();
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

// Polls `done` every 10 ms until it holds or `timeoutMs` has passed.
template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        pumpMessages();
        Sleep(10);
    }
    return true;
}

// A control's text as the program draws it, measured inside the program (the hook DLL) in the
// control's own font.
struct TextMeasure {
    bool answered = false;
    int width = 0, height = 0;               // as written: widest line, all lines
    int wrappedWidth = 0, wrappedHeight = 0; // wrapped at the client width
    int clientWidth = 0, clientHeight = 0;
    std::string face;
};

TextMeasure measureText(const App& app, HWND control) {
    static const UINT query = RegisterWindowMessageA("KestruneTestQuery");
    pumpMessages();
    hookAnswered = false;
    DWORD_PTR result = 0;
    const WPARAM which = 3 | (reinterpret_cast<WPARAM>(control) << 8);
    SendMessageTimeoutA(app.main, query, which, reinterpret_cast<LPARAM>(replyWindow()),
                        SMTO_NORMAL, 5000, &result);
    TextMeasure m;
    char face[128] = {};
    m.answered = hookAnswered && std::sscanf(hookAnswer.c_str(), "%d %d %d %d %d %d %127[^\n]",
                                             &m.width, &m.height, &m.wrappedWidth, &m.wrappedHeight,
                                             &m.clientWidth, &m.clientHeight, face) == 7;
    m.face = face;
    CHECK(m.answered, "the hook DLL did not measure a text: \"%s\"", hookAnswer.c_str());
    return m;
}

// How a control lays out its text, and the room its own drawing takes beside the text.
enum class TextKind {
    Wrapped,    // a static: word-wrapped in its client area
    PushButton, // one line, centred inside the button's frame
    RadioButton,
    GroupBox, // one line in the top border
    Lines,    // a multi-line edit without wrapping: every line whole in its formatting rectangle
};

// Nothing of the text cut off: what the control needs fits its client area. Returns the
// font's face name.
std::string checkTextFits(const App& app, HWND control, TextKind kind, const char* what) {
    const TextMeasure m = measureText(app, control);
    if (!m.answered) {
        return "";
    }
    bool fits = false;
    switch (kind) {
    case TextKind::Wrapped:
        fits = m.wrappedWidth <= m.clientWidth && m.wrappedHeight <= m.clientHeight;
        break;
    case TextKind::PushButton:
        fits = m.width + 6 <= m.clientWidth && m.height + 4 <= m.clientHeight;
        break;
    case TextKind::RadioButton:
        fits = m.width + 16 <= m.clientWidth && m.height <= m.clientHeight;
        break;
    case TextKind::GroupBox:
        fits = m.width + 12 <= m.clientWidth;
        break;
    case TextKind::Lines:
        fits = m.width <= m.clientWidth && m.height <= m.clientHeight;
        break;
    }
    CHECK(fits, "%s is cut off: the text needs %dx%d (wrapped %dx%d) in %s, the control has %dx%d",
          what, m.width, m.height, m.wrappedWidth, m.wrappedHeight, m.face.c_str(), m.clientWidth,
          m.clientHeight);
    return m.face;
}

// The keyboard focus inside the program, as the system knows it.
HWND focusOf(const App& app) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(app.process.dwThreadId, &info);
    return info.hwndFocus;
}

// A key pressed and released on the program's focused control: the messages the system would
// post to it, taken from the program's queue by its message loop. They are handled after this
// returns: what they change is polled for.
void pressKey(const App& app, UINT key) {
    HWND focus = focusOf(app);
    CHECK(focus != nullptr, "no focused control for a key press");
    const UINT scan = MapVirtualKeyA(key, 0);
    PostMessageA(focus, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageA(focus, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
}

// A key that must change nothing: given time to be handled first.
void pressIgnoredKey(const App& app, UINT key) {
    pressKey(app, key);
    Sleep(300);
    settle(app);
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
    step("Wine's Windows fonts: the real ones, not a fallback; the button's text whole");
    // Without them Wine draws every font with DejaVu: other metrics everywhere, and the
    // caption buttons as letters.
    HDC screen = GetDC(nullptr);
    for (const char* face : {"MS Sans Serif", "System", "Marlett", "Tahoma"}) {
        HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH, face);
        HGDIOBJ old = SelectObject(screen, font);
        char chosen[LF_FACESIZE] = {};
        GetTextFaceA(screen, sizeof chosen, chosen);
        SelectObject(screen, old);
        DeleteObject(font);
        CHECK_TEXT(chosen, face, "the font Wine chose for this face");
    }
    ReleaseDC(nullptr, screen);
    if (button) {
        CHECK_TEXT(checkTextFits(app, button, TextKind::PushButton, "the Start download button"),
                   "System", "the Start download button's font");
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

    step("file names of 85 and 150 characters: the title and the pane follow the image");
    // The two-module image behind a long name after the three-module sample: a title or a pane
    // still describing the sample would send one image while the window names another.
    const std::string otherReport = readFile(dataDir + "\\expected-two-modules.txt");
    CHECK(!otherReport.empty() && otherReport != expectedReport,
          "no report of the two-module image");
    for (size_t length : {85u, 150u}) {
        const std::string name = "long-name-" + std::string(length - 13, 'x') + ".dl";
        CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after sample.dl");
        CHECK_TEXT(loadThroughDialog(app, dataDir + "\\" + name), otherReport,
                   ("pane after a " + std::to_string(length) + "-character name").c_str());
        CHECK_TEXT(titleOf(app.main),
                   std::string(kestrune::ui::MAIN_WINDOW_TITLE) + "        \"" + name + "\"",
                   ("title after a " + std::to_string(length) + "-character name").c_str());
    }
    screenshot("main-long-name");
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after sample.dl");

    step("cancel after a load loads the same file again");
    CHECK_TEXT(loadThroughDialog(app, ""), expectedReport, "pane after cancel");

    command(app, ID_OPTIONS_DETAILS);
    const RECT restored = frameOf(app.main);
    CHECK(restored.bottom - restored.top == before.bottom - before.top,
          "Details twice: height %ld, expected %ld", restored.bottom - restored.top,
          before.bottom - before.top);
    CHECK_TEXT(menuItemLine(app, ID_OPTIONS_DETAILS), "item 40009 &Details",
               "Details item after two presses");

    exitApp(app);
}

// Chooses the port in the Com port dialog with the mouse, as the operator does.
void choosePort(const App& app, int radio) {
    command(app, ID_OPTIONS_COMPORT);
    HWND com = waitForWindow(app, "#32770", "Com port");
    CHECK(com != nullptr, "no Com port dialog");
    if (com != nullptr) {
        SendMessageA(GetDlgItem(com, radio), BM_CLICK, 0, 0);
        SendMessageA(GetDlgItem(com, IDOK), BM_CLICK, 0, 0);
        waitUntilGone(com);
    }
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

    step("the keyboard in Help: Escape does nothing, Enter is OK and ends the dialog");
    command(app, ID_OPTIONS_HELP);
    help = waitForWindow(app, "#32770", "Help");
    CHECK(help != nullptr, "no Help dialog");
    if (help != nullptr) {
        CHECK(IsChild(help, focusOf(app)), "the focus is not in the Help dialog");
        CHECK_TEXT(checkTextFits(app, GetDlgItem(help, IDOK), TextKind::PushButton, "Help's OK"),
                   "MS Sans Serif", "the dialogs' font");
        checkTextFits(app, GetDlgItem(help, IDC_HELP_TEXT), TextKind::Lines, "the help text");
        pressIgnoredKey(app, VK_ESCAPE);
        CHECK(IsWindowVisible(help), "Escape closed the Help dialog");
        pressKey(app, VK_RETURN);
        CHECK(waitUntil([&] { return !IsWindow(help); }, 3000),
              "Enter did not close and end the Help dialog");
    }

    step("the keyboard in Com port: Down moves from Com 1 to Com 2, Tab, Enter, Escape");
    choosePort(app, IDC_COM1);
    com = openComPort();
    CHECK(com != nullptr, "no Com port dialog");
    if (com != nullptr) {
        for (int id : {IDC_COM1, IDC_COM2}) {
            checkTextFits(app, GetDlgItem(com, id), TextKind::RadioButton, "a Com radio button");
        }
        for (int id : {IDOK, IDCANCEL}) {
            checkTextFits(app, GetDlgItem(com, id), TextKind::PushButton, "a Com port button");
        }
        checkTextFits(app, GetDlgItem(com, -1), TextKind::GroupBox, "the Com port group box");
        CHECK(focusOf(app) == GetDlgItem(com, IDC_COM1), "the focus is not on Com 1");
        pressKey(app, VK_DOWN);
        CHECK(waitUntil(
                  [&] {
                      return focusOf(app) == GetDlgItem(com, IDC_COM2) && checked(com, IDC_COM2) &&
                             !checked(com, IDC_COM1);
                  },
                  3000),
              "Down did not move from Com 1 to Com 2");
        pressKey(app, VK_TAB);
        CHECK(waitUntil([&] { return focusOf(app) == GetDlgItem(com, IDOK); }, 3000),
              "Tab did not move from Com 2 to OK");
        pressKey(app, VK_RETURN);
        CHECK(waitUntil([&] { return !IsWindow(com); }, 3000),
              "Enter did not close and end the Com port dialog");
    }
    com = openComPort();
    CHECK(com && checked(com, IDC_COM2) && !checked(com, IDC_COM1),
          "Down, Tab and Enter did not store Com 2");
    if (com) {
        pressKey(app, VK_ESCAPE);
        CHECK(waitUntil([&] { return !IsWindow(com); }, 3000),
              "Escape did not close and end the Com port dialog");
    }
    com = openComPort();
    CHECK(com && checked(com, IDC_COM2), "Escape changed the port choice");
    if (com) {
        SendMessageA(GetDlgItem(com, IDCANCEL), BM_CLICK, 0, 0);
        waitUntilGone(com);
    }

    step("Help and Com port opened and closed ten times each leave no dialog behind");
    for (int i = 0; i < 10; ++i) {
        command(app, ID_OPTIONS_HELP);
        HWND h = waitForWindow(app, "#32770", "Help");
        if (h == nullptr) {
            fail("no Help dialog at opening %d", i + 1);
            break;
        }
        if (i % 2 == 0) {
            SendMessageA(GetDlgItem(h, IDOK), BM_CLICK, 0, 0);
        } else {
            pressKey(app, VK_RETURN);
        }
        waitUntilGone(h);
    }
    for (int i = 0; i < 10; ++i) {
        HWND c = openComPort();
        if (c == nullptr) {
            fail("no Com port dialog at opening %d", i + 1);
            break;
        }
        if (i % 3 == 0) {
            SendMessageA(GetDlgItem(c, IDOK), BM_CLICK, 0, 0);
        } else if (i % 3 == 1) {
            SendMessageA(GetDlgItem(c, IDCANCEL), BM_CLICK, 0, 0);
        } else {
            pressKey(app, VK_ESCAPE);
        }
        waitUntilGone(c);
    }
    settle(app);
    CHECK(windowsTitled(app, "Help") == 0, "%zu Help dialogs left after ten openings",
          windowsTitled(app, "Help"));
    CHECK(windowsTitled(app, "Com port") == 0, "%zu Com port dialogs left after ten openings",
          windowsTitled(app, "Com port"));
    exitApp(app);
}

// ---------------------------------------------------------------------------------------------
// Downloads against the box simulator, which run-gui-tests.sh keeps on the pseudo-terminal that
// Wine's COM1 leads to. The driver asks the script for it on standard output, one line each:
//   BOX ARGS...    a new simulator with these options ("ready" once it listens)
//   SILENT         a box that never sends a byte
//   BOXWAKE        lets a simulator started with --hold send its wake-up bytes
//   BOXWAIT N S    the simulator's N-th verdict line, waiting up to S seconds ("none" if not)
//   BOXCOUNT       how many verdict lines it has printed
//   BOXEND S       waits up to S seconds for it to exit: "exit STATUS"

bool boxWanted = true;

std::string ask(const std::string& request) {
    std::printf("%s\n", request.c_str());
    std::fflush(stdout);
    char line[1024] = {};
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return "";
    }
    std::string answer = line;
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
        answer.pop_back();
    }
    return answer;
}

bool startBox(const std::string& options) {
    const std::string answer = ask("BOX " + options);
    CHECK(answer.rfind("ready", 0) == 0, "the box simulator did not start (%s): %s",
          options.c_str(), answer.c_str());
    return answer.rfind("ready", 0) == 0;
}

int boxCount() {
    return std::atoi(ask("BOXCOUNT").c_str());
}

std::string boxVerdict(int n, int seconds) {
    return ask("BOXWAIT " + std::to_string(n) + " " + std::to_string(seconds));
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

HWND progressBarOf(const App& app) {
    return childOfClass(app.main, "msctls_progress32");
}

HWND statusTextOf(const App& app) {
    return childOfClass(app.main, "Static");
}

int progressPosition(const App& app) {
    return static_cast<int>(SendMessageA(progressBarOf(app), PBM_GETPOS, 0, 0));
}

bool progressShown(const App& app) {
    return IsWindowVisible(progressBarOf(app)) != FALSE;
}

// (The status text has the button's id too: the button is found by its class.)
HWND startButtonOf(const App& app) {
    return childOfClass(app.main, "Button");
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

const char* const RESTART_TITLE = "Restart the set top box.";
const char* const OPEN_DIALOG_TITLE_TEXT = kestrune::ui::OPEN_DIALOG_TITLE;
const char* const SUCCESS_TEXT = "Download was successful.\nEnjoy your upgraded set top box.";
const char* const FAILURE_TEXT =
    "Download was not successful.\nYou can press \"Start download\",\nto try downloading again.";

// The four menu items that follow the download, and the Start download button.
std::string downloadMenu(const App& app) {
    std::string out;
    for (int id : {ID_DOWNLOAD_START, ID_DOWNLOAD_ABORT, ID_FILE_LOADIMAGE, ID_OPTIONS_COMPORT}) {
        out += menuItemLine(app, id) + "\n";
    }
    out += IsWindowEnabled(startButtonOf(app)) ? "button enabled\n" : "button disabled\n";
    return out;
}

const std::string IDLE_MENU = "item 40001 &Start download\n"
                              "item 40002 &Abort download grayed\n"
                              "item 40006 &Load image\n"
                              "item 40003 &Com port\n"
                              "button enabled\n";
const std::string BUSY_MENU = "item 40001 &Start download grayed\n"
                              "item 40002 &Abort download\n"
                              "item 40006 &Load image grayed\n"
                              "item 40003 &Com port grayed\n"
                              "button disabled\n";

// What the window shows once an attempt has ended: idle menu and button, no progress display,
// status "Download 0.0 %", no restart dialog, the lamp drawn.
void checkIdle(const App& app, const char* when) {
    // The state after the last box closed: a box's modal loop can take the driver's settling
    // message before the code after the box has run (seen once beside the native tier).
    waitUntil([&] { return downloadMenu(app) == IDLE_MENU; }, 5000);
    CHECK_TEXT(downloadMenu(app), IDLE_MENU, (std::string("menu ") + when).c_str());
    CHECK(!progressShown(app), "progress bar shown %s", when);
    HWND status = statusTextOf(app);
    CHECK(!IsWindowVisible(status), "status text shown %s", when);
    CHECK_TEXT(titleOf(status), "Download 0.0 %", (std::string("status text ") + when).c_str());
    CHECK(progressPosition(app) == 0, "progress position %d %s", progressPosition(app), when);
    CHECK(topWindows(app, "#32770", RESTART_TITLE).empty(), "restart dialog still open %s", when);
    CHECK(pixelAt(app, 215, 23) == 0xFFFFFF, "ready lamp not drawn %s", when);
}

// The Test Log's text with the edit control's line breaks as plain line feeds.
std::string testLogText(const App& app) {
    const auto logs = topWindows(app, "#32770", "Test Log");
    if (logs.size() != 1) {
        fail("%zu Test Log windows", logs.size());
        return "";
    }
    std::string text = textOf(GetDlgItem(logs.front(), IDC_TEST_LOG_EDIT));
    std::string out;
    for (char c : text) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

// The block count of a verdict line ("...; 17 blocks, ...").
int blocksInVerdict(const std::string& verdict) {
    const size_t at = verdict.find(" blocks,");
    if (at == std::string::npos) {
        return -1;
    }
    size_t from = verdict.rfind(' ', at - 1);
    return std::atoi(verdict.c_str() + from + 1);
}

struct DownloadWatch {
    bool sawBusyWhileRunning = false;
    bool shotTaken = false;
    std::vector<std::string> statusTexts;
    int lastPosition = 0;
    bool positionsRose = true;
};

// Watches a running download until the result box with `caption` appears; returns the box.
HWND watchDownload(const App& app, const char* caption, DownloadWatch& watch, bool shot,
                   int timeoutMs = 60000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    HWND box = nullptr;
    while (Clock::now() < deadline) {
        auto boxes = topWindows(app, "#32770", caption);
        if (!boxes.empty()) {
            box = boxes.front();
            break;
        }
        if (progressShown(app)) {
            const std::string status = titleOf(statusTextOf(app));
            if (watch.statusTexts.empty() || watch.statusTexts.back() != status) {
                watch.statusTexts.push_back(status);
            }
            const int position = progressPosition(app);
            watch.positionsRose = watch.positionsRose && position >= watch.lastPosition;
            watch.lastPosition = position;
            if (!watch.sawBusyWhileRunning && position > 0) {
                watch.sawBusyWhileRunning = true;
                CHECK_TEXT(downloadMenu(app), BUSY_MENU, "menu while the session runs");
            }
            if (shot && !watch.shotTaken && position >= 30 && position <= 80) {
                watch.shotTaken = true;
                screenshot("download-progress");
            }
        }
        pumpMessages();
        Sleep(20);
    }
    CHECK(box != nullptr, "no \"%s\" box within %d s", caption, timeoutMs / 1000);
    return box;
}

// A child control's rectangle in the main window's client coordinates.
RECT clientRectOf(const App& app, HWND control) {
    RECT r = frameOf(control);
    MapWindowPoints(nullptr, app.main, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// With the progress display shown: the banner, the button, the progress bar and the status
// text each keep their own place, inside the client area.
void checkNothingOverlaps(const App& app) {
    RECT client{};
    GetClientRect(app.main, &client);
    const RECT banner{0, 0, 390, 70};
    struct Part {
        const char* name;
        RECT rect;
    };
    const Part parts[] = {{"the progress bar", clientRectOf(app, progressBarOf(app))},
                          {"the status text", clientRectOf(app, statusTextOf(app))},
                          {"the Start download button", clientRectOf(app, startButtonOf(app))}};
    for (size_t i = 0; i < std::size(parts); ++i) {
        const RECT& r = parts[i].rect;
        CHECK(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom,
              "%s (%ld,%ld)-(%ld,%ld) is not inside the client area %ldx%ld", parts[i].name, r.left,
              r.top, r.right, r.bottom, client.right, client.bottom);
        RECT common{};
        // The button stands on the banner's panel by design.
        if (i < 2) {
            CHECK(!IntersectRect(&common, &r, &banner), "%s (%ld,%ld)-(%ld,%ld) covers the banner",
                  parts[i].name, r.left, r.top, r.right, r.bottom);
        }
        for (size_t j = i + 1; j < std::size(parts); ++j) {
            CHECK(!IntersectRect(&common, &r, &parts[j].rect), "%s overlaps %s", parts[i].name,
                  parts[j].name);
        }
    }
}

// Every status text seen was "Download X.Y %", never falling.
void checkStatusTexts(const DownloadWatch& watch) {
    double last = -1;
    for (const std::string& s : watch.statusTexts) {
        double value = -1;
        char sign = 0;
        const bool parsed = std::sscanf(s.c_str(), "Download %lf %c", &value, &sign) == 2 &&
                            sign == '%' && s.size() >= 14;
        CHECK(parsed, "status text \"%s\"", s.c_str());
        CHECK(value >= last, "status text fell to \"%s\"", s.c_str());
        last = value;
    }
    CHECK(watch.statusTexts.size() >= 3, "only %zu status texts seen during the download",
          watch.statusTexts.size());
    CHECK(watch.positionsRose, "the progress bar moved back");
}

// A result box with its exact text, owned by the main window; the display at that moment.
void answerResult(const App& app, HWND box, const char* caption, const char* text) {
    if (box == nullptr) {
        return;
    }
    char shown[512] = {};
    GetDlgItemTextA(box, 0xFFFF, shown, sizeof shown);
    CHECK_TEXT(shown, text, (std::string("\"") + caption + "\" box text").c_str());
    CHECK(GetWindow(box, GW_OWNER) == app.main, "\"%s\" box is not owned by the main window",
          caption);
    SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    CHECK(waitUntilGone(box), "\"%s\" box did not close", caption);
}

// After a result box: the session's Abort returns the window to idle.
void waitForIdle(const App& app, const char* when) {
    const bool idle = waitUntil([&] { return !progressShown(app); }, 5000);
    CHECK(idle, "the progress display stayed after %s", when);
    settle(app);
    checkIdle(app, (std::string("after ") + when).c_str());
}

void fullDownloads() {
    step("download: Serialport info on, the sample loaded, the box held back");
    // At the real line rate, with the blocks of a box that takes 2048 bytes at a time.
    if (!startBox("--downloads 2 --timeout 5 --hold --baud 57600 --max-block 2048")) {
        return;
    }
    App app;
    if (!startApp(app)) {
        return;
    }
    command(app, ID_OPTIONS_SERIALPORTINFO);
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after loading");
    repaint(app);
    CHECK(pixelAt(app, 215, 23) == 0xFFFFFF, "no ready lamp while idle");

    step("Start: the restart dialog, the busy menu, the button disabled, no lamp on repaint");
    postCommand(app, ID_DOWNLOAD_START);
    HWND restart = waitForWindow(app, "#32770", RESTART_TITLE);
    CHECK(restart != nullptr, "no restart dialog after Start");
    if (restart != nullptr) {
        CHECK(GetWindow(restart, GW_OWNER) == app.main, "restart dialog not owned by the window");
        const RECT mainFrame = frameOf(app.main);
        const RECT r = frameOf(restart);
        CHECK(r.left == mainFrame.left + 100 && r.top == mainFrame.top + 50,
              "restart dialog at (%ld, %ld), main window at (%ld, %ld)", r.left, r.top,
              mainFrame.left, mainFrame.top);
        checkTextFits(app, childOfClass(restart, "Static"), TextKind::Wrapped, "the restart text");
        checkTextFits(app, GetDlgItem(restart, IDOK), TextKind::PushButton, "the restart OK");
    }
    CHECK_TEXT(downloadMenu(app), BUSY_MENU, "menu with the restart dialog");
    CHECK(!progressShown(app), "progress shown before the box woke");
    screenshot("restart-dialog");

    step("the box wakes: the Test Log, the progress bar and status text run to 100 %");
    const auto woke = Clock::now();
    ask("BOXWAKE");
    CHECK(restart == nullptr || waitUntilGone(restart, 3000),
          "the restart dialog stayed after the wake-up");
    // The operator moves the Test Log below the main window, off the lamp and the progress.
    HWND testLog = waitForWindow(app, "#32770", "Test Log", 3000);
    CHECK(testLog != nullptr, "no Test Log window after the wake-up");
    if (testLog != nullptr) {
        CHECK(GetWindow(testLog, GW_OWNER) == app.main, "Test Log not owned by the main window");
        const RECT mainFrame = frameOf(app.main);
        const RECT logFrame = frameOf(testLog);
        SetWindowPos(testLog, nullptr, mainFrame.left, mainFrame.bottom + 4,
                     logFrame.right - logFrame.left, 470, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // The moved Test Log may leave its white on the screen until Wine has delivered the
    // exposure, which under load takes more than a few repaints: a lamp drawn on repaint
    // stays white every time, for the whole five seconds.
    bool lampDark = false;
    int repaints = 0;
    while (repaints < 50 && !lampDark) {
        repaint(app);
        ++repaints;
        lampDark = pixelAt(app, 215, 23) != 0xFFFFFF;
    }
    CHECK(lampDark, "the lamp was drawn on every repaint while the download runs");
    if (repaints > 1) {
        std::printf("   (the lamp area was white on %d repaints)\n", repaints - 1);
    }
    DownloadWatch watch;
    HWND box = watchDownload(app, "Download complete", watch, true);
    std::printf("   download 1: result box %.2f s after the wake-up\n", secondsSince(woke));
    CHECK(watch.sawBusyWhileRunning, "the download was never seen running");
    checkStatusTexts(watch);
    CHECK(waitUntil([&] { return progressPosition(app) == 100; }, 1000),
          "progress position %d at the result box", progressPosition(app));
    CHECK_TEXT(titleOf(statusTextOf(app)), "Download 100.0 %", "status text at the result box");
    // Drawn whole, on one line: with other font metrics the "%" went to a second line that the
    // control has no room for.
    checkTextFits(app, statusTextOf(app), TextKind::Wrapped, "the status text");
    const TextMeasure status = measureText(app, statusTextOf(app));
    std::printf("   \"Download 100.0 %%\" needs %dx%d in %s; the status text is %dx%d\n",
                status.width, status.height, status.face.c_str(), status.clientWidth,
                status.clientHeight);
    checkNothingOverlaps(app);
    CHECK(topWindows(app, "#32770", "Test Log").size() == 1, "no Test Log window");
    screenshot("result-box");
    answerResult(app, box, "Download complete", SUCCESS_TEXT);
    waitForIdle(app, "the first download");
    screenshot("test-log");

    const std::string verdict = boxVerdict(1, 20);
    std::printf("   %s\n", verdict.c_str());
    CHECK(contains(verdict, "download 1: byte-exact") && contains(verdict, "downloadId 1,"),
          "the box's verdict on download 1: %s", verdict.c_str());

    step("the Test Log: banner, start, wake-up byte, one line per block, round 1");
    for (HWND logWindow : topWindows(app, "#32770", "Test Log")) {
        CHECK(IsWindowVisible(GetDlgItem(logWindow, IDC_TEST_LOG_EDIT)),
              "the Test Log no longer draws itself after the download");
    }
    const std::string log = testLogText(app);
    const std::string head = "Kestrune (NorDig)  V1.01  08-Dec-1998\n\nDOWNLOAD STARTED\n"
                             "Byte 85 received\n";
    CHECK_TEXT(log.substr(0, head.size()), head, "start of the Test Log");
    const std::string tail = "Round 1; All modules sent; ret = 0\n";
    CHECK(log.size() > tail.size() && log.substr(log.size() - tail.size()) == tail,
          "end of the Test Log: \"%s\"", visible(log).c_str());
    if (log.size() > head.size() + tail.size()) {
        const std::string blocks = log.substr(head.size(), log.size() - head.size() - tail.size());
        int lines = 0;
        for (char c : blocks) {
            lines += c == '\n';
        }
        CHECK(lines == blocksInVerdict(verdict) && lines > 0,
              "%d block lines in the Test Log, the box counted %d blocks", lines,
              blocksInVerdict(verdict));
    }

    step("a second download in the same run: round 2, downloadId 2");
    postCommand(app, ID_DOWNLOAD_START);
    DownloadWatch second;
    box = watchDownload(app, "Download complete", second, false);
    answerResult(app, box, "Download complete", SUCCESS_TEXT);
    waitForIdle(app, "the second download");
    const std::string verdict2 = boxVerdict(2, 20);
    std::printf("   %s\n", verdict2.c_str());
    CHECK(contains(verdict2, "download 2: byte-exact") && contains(verdict2, "downloadId 2,"),
          "the box's verdict on download 2: %s", verdict2.c_str());
    const std::string log2 = testLogText(app);
    CHECK(contains(log2, "Round 2; All modules sent; ret = 0\n") && !contains(log2, "Round 1;"),
          "the second Test Log: \"%s\"", visible(log2).c_str());
    CHECK_TEXT(ask("BOXEND 5"), "exit 0", "the box simulator's exit");
    exitApp(app);
}

// The box behind a USB adapter with a 16 ms latency timer (kestrune-relay on COM1): its last
// wake-up bytes reach the window after the purge, and every frame comes in packets.
void relayDownload() {
    step("download over a USB adapter at 16 ms (the relay), the box waking every 10 ms");
    App app;
    if (!startApp(app)) {
        return;
    }
    command(app, ID_OPTIONS_SERIALPORTINFO);
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after loading");
    if (!startBox("--relay 16 --wakeup-every 0.01 --timeout 5 --baud 57600 --max-block 2048")) {
        exitApp(app);
        return;
    }
    postCommand(app, ID_DOWNLOAD_START);
    DownloadWatch watch;
    HWND box = watchDownload(app, "Download complete", watch, false);
    answerResult(app, box, "Download complete", SUCCESS_TEXT);
    waitForIdle(app, "the download over the relay");
    // The closing line follows the result box; the skipped leftovers are not the window's.
    const std::string log = testLogText(app);
    CHECK(contains(log, "Round 1; All modules sent; ret = 0\n") && !contains(log, "skipped"),
          "the Test Log over the relay: \"%s\"", visible(log).c_str());
    const std::string verdict = boxVerdict(1, 20);
    std::printf("   %s\n", verdict.c_str());
    CHECK(contains(verdict, "byte-exact"), "the box's verdict over the relay: %s", verdict.c_str());
    exitApp(app);
}

void failedDownloads() {
    step("a box that NAKs one block ten times: \"Download error\"");
    App app;
    if (!startApp(app)) {
        return;
    }
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after loading");
    if (startBox("--nak 3:10 --timeout 1 --hold")) {
        postCommand(app, ID_DOWNLOAD_START);
        // The restart dialog's OK only takes the message away: the watch goes on.
        HWND restart = waitForWindow(app, "#32770", RESTART_TITLE);
        CHECK(restart != nullptr, "no restart dialog");
        if (restart != nullptr) {
            SendMessageA(GetDlgItem(restart, IDOK), BM_CLICK, 0, 0);
            CHECK(waitUntilGone(restart), "OK did not close the restart dialog");
        }
        Sleep(300);
        CHECK_TEXT(downloadMenu(app), BUSY_MENU, "menu after the restart dialog's OK");
        ask("BOXWAKE");
        DownloadWatch watch;
        HWND box = watchDownload(app, "Download error", watch, false);
        CHECK(progressShown(app), "progress hidden at the result box");
        answerResult(app, box, "Download error", FAILURE_TEXT);
        waitForIdle(app, "a NAKed download");
    }

    step("a box that asks with a wrong downloadId: \"Download error\"");
    if (startBox("--wrong-id 2 --timeout 1")) {
        postCommand(app, ID_DOWNLOAD_START);
        DownloadWatch watch;
        HWND box = watchDownload(app, "Download error", watch, false);
        if (box != nullptr) {
            char shown[512] = {};
            GetDlgItemTextA(box, 0xFFFF, shown, sizeof shown);
            CHECK_TEXT(shown, FAILURE_TEXT, "\"Download error\" box text");
            // Abort while the session shows its result (the window is disabled, so only a
            // program can do this): the box goes, the window is idle and usable again.
            const auto abortAt = Clock::now();
            command(app, ID_DOWNLOAD_ABORT);
            std::printf("   Abort over the result box took %.0f ms\n",
                        secondsSince(abortAt) * 1000);
            CHECK(waitUntilGone(box, 3000), "the result box stayed after Abort");
            CHECK(IsWindowEnabled(app.main), "the main window stayed disabled");
        }
        waitForIdle(app, "a download ended with an error");
        std::printf("   %s\n", boxVerdict(1, 20).c_str());
    }

    step("the window closed in the middle of a download: the program ends with exit code 0");
    if (startBox("--timeout 1")) {
        App closing;
        if (startApp(closing)) {
            CHECK_TEXT(loadThroughDialog(closing, samplePath()), expectedReport,
                       "pane after loading");
            postCommand(closing, ID_DOWNLOAD_START);
            CHECK(
                waitUntil([&] { return progressShown(closing) && progressPosition(closing) >= 20; },
                          20000),
                "the download never reached 20 %%");
            endApp(closing, WM_CLOSE, 0, "closing the window");
        }
    }

    step("COM2 chosen and not present: the port-failure box, then idle");
    choosePort(app, IDC_COM2);
    postCommand(app, ID_DOWNLOAD_START);
    HWND error = waitForWindow(app, "#32770", "Error", 5000);
    CHECK(error != nullptr, "no \"Error\" box for COM2");
    if (error != nullptr) {
        char shown[512] = {};
        GetDlgItemTextA(error, 0xFFFF, shown, sizeof shown);
        CHECK_TEXT(shown,
                   "Failed to open communication resource.\nThe com port may not be the correct "
                   "one, choose option and select the right com port,\nor the com port is "
                   "already busy, quit all other applications that are using the com port.",
                   "port-failure box text");
        CHECK(GetWindow(error, GW_OWNER) == nullptr, "the port-failure box has an owner");
        SendMessageA(GetDlgItem(error, IDOK), BM_CLICK, 0, 0);
        CHECK(waitUntilGone(error), "the port-failure box did not close");
    }
    settle(app);
    checkIdle(app, "after the port failure");
    choosePort(app, IDC_COM1);
    exitApp(app);
}

// Aborts from the menu: one in the middle of a download, then a storm at random moments.
void aborts() {
    step("Abort from the menu in the middle of a download, then a download that succeeds");
    // --timeout: how soon the box gives up an aborted download and wakes again.
    if (!startBox("--downloads 1000 --timeout 0.8 --max-block 4096")) {
        return;
    }
    App app;
    if (!startApp(app)) {
        return;
    }
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after loading");
    postCommand(app, ID_DOWNLOAD_START);
    CHECK(waitUntil([&] { return progressShown(app) && progressPosition(app) >= 30; }, 20000),
          "the download never reached 30 %%");
    command(app, ID_DOWNLOAD_ABORT);
    checkIdle(app, "after Abort in the middle");
    Sleep(300);
    CHECK(topWindows(app, "#32770", nullptr).empty(), "a window came up after Abort");
    const std::string aborted = boxVerdict(1, 20);
    std::printf("   %s\n", aborted.c_str());
    CHECK(contains(aborted, "download 1:") && !contains(aborted, "byte-exact"),
          "the box's verdict on the aborted download: %s", aborted.c_str());
    postCommand(app, ID_DOWNLOAD_START);
    // Start (a click on a lamp still on screen) and Load image while the session runs: no
    // second port, no second session, no open-file dialog; the download goes on undisturbed
    // (a second session on the line would break it for the box).
    CHECK(waitUntil([&] { return progressShown(app) && progressPosition(app) >= 10; }, 20000),
          "the download after Abort never reached 10 %%");
    for (int i = 0; i < 3; ++i) {
        postCommand(app, ID_DOWNLOAD_START);
    }
    postCommand(app, ID_FILE_LOADIMAGE);
    settle(app);
    DownloadWatch watch;
    HWND box = watchDownload(app, "Download complete", watch, false);
    CHECK(topWindows(app, "#32770", OPEN_DIALOG_TITLE_TEXT).empty(),
          "Load image opened its dialog during the download");
    answerResult(app, box, "Download complete", SUCCESS_TEXT);
    waitForIdle(app, "the download after Abort");
    Sleep(300);
    CHECK(topWindows(app, "#32770", nullptr).empty(), "a second result box or a dialog came up");
    const std::string verdict = boxVerdict(2, 20);
    std::printf("   %s\n", verdict.c_str());
    CHECK(contains(verdict, "download 2: byte-exact") && contains(verdict, "downloadId 2,"),
          "the box's verdict on the download after Abort: %s", verdict.c_str());

    int rounds = 30;
    if (const char* env = std::getenv("KESTRUNE_GUI_ABORTS")) {
        rounds = std::max(1, std::atoi(env));
    }
    unsigned seed = static_cast<unsigned>(GetTickCount());
    if (const char* env = std::getenv("KESTRUNE_GUI_SEED")) {
        seed = static_cast<unsigned>(std::strtoul(env, nullptr, 10));
    }
    std::srand(seed);
    char title[96];
    std::snprintf(title, sizeof title, "%d aborts at random moments (seed %u)", rounds, seed);
    step(title);
    int running = 0;
    int verdicts = boxCount();
    int extraBoxes = 0;
    double slowestAbort = 0;
    // The last rounds with the Test Log: sessions ended while they type into it too.
    const int logFrom = rounds - std::min(rounds / 6, 5);
    for (int i = 0; i < rounds; ++i) {
        if (i == logFrom) {
            command(app, ID_OPTIONS_SERIALPORTINFO);
        }
        const int delayMs = std::rand() % 2000;
        postCommand(app, ID_DOWNLOAD_START);
        Sleep(delayMs);
        // A download that finished first is answered like any other.
        bool sessionSeen = progressShown(app);
        if (HWND done = waitForWindow(app, "#32770", "Download complete", 0)) {
            SendMessageA(GetDlgItem(done, IDOK), BM_CLICK, 0, 0);
            waitUntilGone(done);
            ++extraBoxes;
            sessionSeen = true;
        }
        const auto abortAt = Clock::now();
        command(app, ID_DOWNLOAD_ABORT);
        slowestAbort = std::max(slowestAbort, secondsSince(abortAt));
        char when[64];
        std::snprintf(when, sizeof when, "after abort %d (%d ms)", i + 1, delayMs);
        CHECK_TEXT(downloadMenu(app), IDLE_MENU, when);
        CHECK(!progressShown(app), "progress bar shown %s", when);
        // A session ended inside a piece of log text must not leave the log undrawn: the edit
        // control that stopped drawing itself counts as not visible.
        for (HWND log : topWindows(app, "#32770", "Test Log")) {
            CHECK(IsWindowVisible(GetDlgItem(log, IDC_TEST_LOG_EDIT)),
                  "the Test Log no longer draws itself %s", when);
        }
        if (sessionSeen) {
            ++running;
            // The box gives up its download and wakes again before the next Start; an
            // aborted session that touched the line after Abort would show here as a
            // mismatch or a protocol breach instead of an incomplete download.
            const std::string v = boxVerdict(verdicts + 1, 4);
            if (contains(v, "boxsim ")) {
                ++verdicts;
                CHECK(contains(v, "byte-exact") || verdicts == 0 ||
                          (!contains(v, "mismatch") && !contains(v, "protocol")),
                      "the box %s: %s", when, v.c_str());
            }
        }
    }
    CHECK(topWindows(app, "#32770", "Test Log").size() == (logFrom < rounds ? 1u : 0u),
          "%zu Test Log windows after the storm", topWindows(app, "#32770", "Test Log").size());
    std::printf("   %d of %d aborts hit a running session; slowest Abort %.0f ms; %d downloads "
                "finished first\n",
                running, rounds, slowestAbort * 1000, extraBoxes);
    CHECK(slowestAbort < 1.0, "an Abort took %.2f s", slowestAbort);
    CHECK(rounds < 10 || running * 2 >= rounds, "only %d of %d aborts hit a running session",
          running, rounds);

    step("after the storm: the port opens again and a download succeeds");
    Sleep(1000);
    verdicts = boxCount();
    postCommand(app, ID_DOWNLOAD_START);
    DownloadWatch last;
    box = watchDownload(app, "Download complete", last, false);
    answerResult(app, box, "Download complete", SUCCESS_TEXT);
    waitForIdle(app, "the download after the storm");
    const std::string final = boxVerdict(verdicts + 1, 20);
    std::printf("   %s\n", final.c_str());
    CHECK(contains(final, "byte-exact"), "the box's verdict after the storm: %s", final.c_str());

    step("Exit in the middle of a download: the program ends at once with exit code 0");
    postCommand(app, ID_DOWNLOAD_START);
    CHECK(waitUntil([&] { return progressShown(app) && progressPosition(app) >= 20; }, 20000),
          "the last download never reached 20 %%");
    exitApp(app);
}

void notResponding() {
    step("a box that never answers: Abort after about 20 s, then \"Communication error\"");
    const std::string answer = ask("SILENT");
    CHECK(answer.rfind("ready", 0) == 0, "no silent box: %s", answer.c_str());
    App app;
    if (!startApp(app)) {
        return;
    }
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after loading");
    const auto started = Clock::now();
    postCommand(app, ID_DOWNLOAD_START);
    HWND restart = waitForWindow(app, "#32770", RESTART_TITLE);
    CHECK(restart != nullptr, "no restart dialog");
    CHECK_TEXT(downloadMenu(app), BUSY_MENU, "menu while waiting for the box");
    if (restart != nullptr) {
        // Escape takes the message away as its OK does; the watch goes on (the watchdog below).
        CHECK(IsChild(restart, focusOf(app)), "the focus is not in the restart dialog");
        pressKey(app, VK_ESCAPE);
        CHECK(waitUntilGone(restart, 3000), "Escape did not close the restart dialog");
        CHECK_TEXT(downloadMenu(app), BUSY_MENU, "menu after Escape in the restart dialog");
    }
    HWND box = waitForWindow(app, "#32770", "Communication error", 40000);
    const double seconds = secondsSince(started);
    std::printf("   the watchdog fired %.1f s after Start\n", seconds);
    CHECK(box != nullptr, "no \"Communication error\" box within 40 s");
    CHECK(seconds >= 19.5 && seconds < 26, "the watchdog fired %.1f s after Start", seconds);
    // Abort ran before the box: the window is idle behind it.
    checkIdle(app, "behind the \"Communication error\" box");
    if (box != nullptr) {
        answerResult(app, box, "Communication error",
                     "Not possible to download, the set top box is not responding.\nCheck that "
                     "your set top box is connected and press \"Start download\" to try once "
                     "again.");
    }
    checkIdle(app, "after the \"Communication error\" box");
    exitApp(app);
}

// The benchmark: the sample downloaded from the window against the box paced at 57600 baud,
// `runs` times with the Test Log hidden, then as many times with it shown. One line per
// download: "BENCH hidden|shown SECONDS BOX_SECONDS MINIMUM", the seconds from the box's
// release to the result box, the box's own span (wake-up answer to the last request) and the
// protocol minimum of that exchange.
void benchDownloads(int runs) {
    App app;
    if (!startApp(app)) {
        return;
    }
    CHECK_TEXT(loadThroughDialog(app, samplePath()), expectedReport, "pane after loading");
    for (const char* mode : {"hidden", "shown"}) {
        if (std::strcmp(mode, "shown") == 0) {
            command(app, ID_OPTIONS_SERIALPORTINFO);
        }
        for (int i = 0; i < runs; ++i) {
            if (!startBox("--hold --baud 57600 --max-block 2048 --timeout 5")) {
                exitApp(app);
                return;
            }
            postCommand(app, ID_DOWNLOAD_START);
            CHECK(waitForWindow(app, "#32770", RESTART_TITLE) != nullptr, "no restart dialog");
            ask("BOXWAKE");
            const auto woke = Clock::now();
            HWND box = nullptr;
            HWND error = nullptr;
            // Every 5 ms, through the window list only: the window under test is not asked
            // anything while it downloads.
            const auto deadline = Clock::now() + std::chrono::seconds(60);
            while (box == nullptr && error == nullptr && Clock::now() < deadline) {
                Sleep(5);
                box = waitForWindow(app, "#32770", "Download complete", 0);
                error = box ? nullptr : waitForWindow(app, "#32770", "Download error", 0);
                pumpMessages();
            }
            const double seconds = secondsSince(woke);
            CHECK(box != nullptr, "no \"Download complete\" box within 60 s");
            if (error != nullptr) {
                SendMessageA(GetDlgItem(error, IDOK), BM_CLICK, 0, 0);
                waitUntilGone(error);
            } else if (box == nullptr) {
                command(app, ID_DOWNLOAD_ABORT);
            }
            answerResult(app, box, "Download complete", SUCCESS_TEXT);
            waitForIdle(app, "a benchmark download");
            const std::string verdict = boxVerdict(1, 20);
            double boxSeconds = 0;
            double minimum = 0;
            const size_t at = verdict.rfind("; ");
            const bool parsed =
                contains(verdict, "byte-exact") && at != std::string::npos &&
                std::sscanf(verdict.c_str() + at, "; %lf s (protocol minimum %lf s)", &boxSeconds,
                            &minimum) == 2;
            CHECK(parsed, "the box's verdict: %s", verdict.c_str());
            if (parsed && box != nullptr) {
                std::printf("BENCH %s %.3f %.3f %.3f\n", mode, seconds, boxSeconds, minimum);
                std::fflush(stdout);
            }
        }
    }
    exitApp(app);
}

// A driver stuck on a window that never came must not hold the test run. Three times what the
// suite takes alone: beside the other tier's tests it took 360 s.
int watchdogSeconds = 540;
int benchRuns = 0;

DWORD WINAPI watchdog(void*) {
    Sleep(watchdogSeconds * 1000);
    std::printf("FAIL: the driver did not finish within %d s\n", watchdogSeconds);
    std::fflush(stdout);
    for (auto& slot : runningApps) {
        if (HANDLE process = slot.exchange(nullptr)) {
            TerminateProcess(process, 3);
        }
    }
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
        } else if (arg == "--no-box") {
            boxWanted = false;
        } else if (arg == "--bench" && i + 1 < argc) {
            benchRuns = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr,
                         "usage: driver --app EXE --hook DLL --data DIR [--shots] [--no-box] "
                         "[--bench RUNS]\n");
            return 64;
        }
    }
    expectedReport = readFile(dataDir + "\\expected-report.txt");
    if (expectedReport.empty()) {
        std::fprintf(stderr, "driver: no expected report in %s\n", dataDir.c_str());
        return 2;
    }
    if (const char* env = std::getenv("KESTRUNE_GUI_ABORTS")) {
        watchdogSeconds += 3 * std::max(0, std::atoi(env) - 30);
    }
    if (benchRuns > 0) {
        watchdogSeconds = 60 + 2 * benchRuns * 40;
    }
    CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
    const auto started = Clock::now();
    if (benchRuns > 0) {
        benchDownloads(benchRuns);
        return failures == 0 ? 0 : 1;
    }
    // KESTRUNE_GUI_ONLY=name,name,... runs only those groups (window, downloads, failures,
    // relay, aborts, watchdog).
    const char* only = std::getenv("KESTRUNE_GUI_ONLY");
    auto wanted = [&](const char* name) {
        return only == nullptr || *only == '\0' ||
               contains(std::string(",") + only + ",", std::string(",") + name + ",");
    };
    if (wanted("window")) {
        startUpAndMenu();
        loadingImages();
        helpAndComPort();
    }
    if (boxWanted) {
        if (wanted("downloads")) {
            fullDownloads();
        }
        if (wanted("failures")) {
            failedDownloads();
        }
        if (wanted("relay")) {
            relayDownload();
        }
        if (wanted("aborts")) {
            aborts();
        }
        if (wanted("watchdog")) {
            notResponding();
        }
    } else {
        std::puts("-- download tests skipped: no box simulator");
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%d checks, %d failed, %.1f s\n", checks, failures, seconds);
    return failures == 0 ? 0 : 1;
}
