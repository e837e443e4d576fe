// The service control manager's side of `kestrune-cli service`, and what a station run as a
// service tells it (the ServiceNotifier of Windows).
#include "cli/service_control.h"
#include "cli/service_notify.h"
#include "service_events.h"

#include <atomic>
#include <mutex>
#include <vector>
#include <windows.h>

namespace kestrune::cli {
namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// The manager's refusals a user can act on, in words; the rest with their number.
std::string why(const std::string& name, DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return "the service manager refused: run this from an administrator's command prompt";
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
        return "a service " + name + " exists already (service remove " + name + " first)";
    case ERROR_SERVICE_DOES_NOT_EXIST:
        return "there is no service " + name;
    case ERROR_SERVICE_NOT_ACTIVE:
        return "the service " + name + " is not running";
    case ERROR_SERVICE_MARKED_FOR_DELETE:
        return "the service " + name + " is being removed";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        return "the service " + name + " is starting or stopping: try again";
    default:
        return "the service manager failed with error " + std::to_string(error);
    }
}

class Handle {
public:
    explicit Handle(SC_HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != nullptr) {
            CloseServiceHandle(h_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    SC_HANDLE h_;
};

// The service this process is, while it runs as one.
struct Running {
    std::mutex mutex;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    std::wstring name;
    const std::function<int()>* body = nullptr;
    int exitStatus = 0;
    // Set by the station's thread, called on the manager's.
    std::atomic<void (*)(int)> stop{nullptr};
    std::atomic<void (*)(int)> reload{nullptr};
    std::atomic<bool> stopPending{false};
};
Running g_service;

// A stop waits for the downloads in progress: a slow one takes minutes.
constexpr DWORD STOP_WAIT_HINT_MS = 180000;

void reportLocked(DWORD state, DWORD waitHint) {
    if (g_service.handle == nullptr) {
        return;
    }
    SERVICE_STATUS& s = g_service.status;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_STOP_PENDING
                               ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                     (state == SERVICE_RUNNING ? SERVICE_ACCEPT_PARAMCHANGE : 0)
                               : 0;
    s.dwWaitHint = waitHint;
    s.dwCheckPoint =
        state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? s.dwCheckPoint + 1 : 0;
    SetServiceStatus(g_service.handle, &s);
}

void report(DWORD state, DWORD waitHint) {
    const std::lock_guard<std::mutex> lock(g_service.mutex);
    reportLocked(state, waitHint);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        g_service.stopPending = true;
        report(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
        if (void (*stop)(int) = g_service.stop.load(); stop != nullptr) {
            stop(control == SERVICE_CONTROL_STOP ? 1 : 2);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        if (void (*reload)(int) = g_service.reload.load(); reload != nullptr) {
            reload(0);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    g_service.handle = RegisterServiceCtrlHandlerExW(g_service.name.c_str(), onControl, nullptr);
    if (g_service.handle == nullptr) {
        return;
    }
    report(SERVICE_START_PENDING, 30000);
    const int status = (*g_service.body)();
    g_service.exitStatus = status;
    {
        const std::lock_guard<std::mutex> lock(g_service.mutex);
        g_service.status.dwWin32ExitCode = status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        g_service.status.dwServiceSpecificExitCode = static_cast<DWORD>(status);
        reportLocked(SERVICE_STOPPED, 0);
    }
}

// Where the event log finds a source's message texts: this program's message table, whose one
// message is the event's own line.
std::wstring eventSourceKey(const std::string& name) {
    return wide("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name);
}

void registerEventSource(const std::string& name) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, eventSourceKey(name).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const std::wstring exe = wide(thisExecutable());
    RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(exe.c_str()),
                   static_cast<DWORD>((exe.size() + 1) * sizeof(wchar_t)));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof types);
    RegCloseKey(key);
}

} // namespace

const char* servicesMissing() {
    return nullptr;
}

std::string installService(const std::string& name, const std::string& commandLine,
                           const std::string& config, bool autoStart) {
    const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        return why(name, GetLastError());
    }
    const std::wstring display = wide("Kestrune station " + name);
    const Handle service(
        CreateServiceW(manager.get(), wide(name).c_str(), display.c_str(),
                       SERVICE_CHANGE_CONFIG | SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
                       autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       wide(commandLine).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        return why(name, GetLastError());
    }
    // What the Services console shows, and a station that dies started again, as systemd's
    // Restart=on-failure does; neither is needed to run, so a refusal is not one of install.
    std::wstring text = wide("Serves set top boxes from " + config);
    SERVICE_DESCRIPTIONW description{text.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW actions{};
    actions.dwResetPeriod = 86400;
    actions.cActions = 3;
    actions.lpsaActions = restart;
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
    // Without its source's key Event Viewer shows the events as "description not found".
    registerEventSource(name);
    return "";
}

std::string removeService(const std::string& name,
                          const std::function<void(const std::string&)>& progress) {
    const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return why(name, GetLastError());
    }
    const Handle service(OpenServiceW(manager.get(), wide(name).c_str(),
                                      DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        return why(name, GetLastError());
    }
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        progress("stopping " + name + ": the downloads in progress finish first");
        bool gone = false;
        if (status.dwCurrentState != SERVICE_STOP_PENDING &&
            !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD error = GetLastError();
            // Its process has ended without telling the manager (Wine keeps such a service
            // "running"): nothing is left to stop.
            gone = error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_NO_DATA ||
                   error == ERROR_BROKEN_PIPE;
            if (!gone) {
                return why(name, error);
            }
        }
        const ULONGLONG end = GetTickCount64() + STOP_WAIT_HINT_MS;
        while (!gone && QueryServiceStatus(service.get(), &status) &&
               status.dwCurrentState != SERVICE_STOPPED) {
            if (GetTickCount64() > end) {
                return "the service " + name + " did not stop within " +
                       std::to_string(STOP_WAIT_HINT_MS / 1000) + " s; it is not removed";
            }
            Sleep(200);
        }
    }
    if (!DeleteService(service.get())) {
        return why(name, GetLastError());
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, eventSourceKey(name).c_str());
    return "";
}

std::string reloadService(const std::string& name) {
    const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return why(name, GetLastError());
    }
    // ParamChange is sent with the right to pause and continue.
    const Handle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_PAUSE_CONTINUE));
    if (!service) {
        return why(name, GetLastError());
    }
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_PARAMCHANGE, &status)) {
        return why(name, GetLastError());
    }
    return "";
}

std::string runAsService(const std::string& name, const std::function<int()>& body, int& status) {
    g_service.name = wide(name);
    g_service.body = &body;
    std::vector<wchar_t> own(g_service.name.begin(), g_service.name.end());
    own.push_back(L'\0');
    const SERVICE_TABLE_ENTRYW table[] = {{own.data(), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            return "service run is what the service manager starts; in a console run "
                   "kestrune-cli station --config FILE";
        }
        return why(name, GetLastError());
    }
    status = g_service.exitStatus;
    return "";
}

void reportServiceEvent(const std::string& name, bool failure, const std::string& text) {
    const HANDLE source = RegisterEventSourceW(nullptr, wide(name).c_str());
    if (source == nullptr) {
        return;
    }
    const std::wstring line = wide(text);
    const wchar_t* strings[] = {line.c_str()};
    ReportEventW(source, failure ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
                 KESTRUNE_SERVICE_EVENT, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

std::string thisExecutable() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            return narrow(path);
        }
        path.resize(path.size() * 2);
    }
}

std::string absolutePath(const std::string& path) {
    const std::wstring given = wide(path);
    const DWORD n = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return path;
    }
    std::wstring full(n, L'\0');
    const DWORD written = GetFullPathNameW(given.c_str(), n, full.data(), nullptr);
    full.resize(written);
    return narrow(full);
}

bool setWorkingFolder(const std::string& folder) {
    return folder.empty() || SetCurrentDirectoryW(wide(folder).c_str()) != 0;
}

// The station's side, while this process is a service; outside one, nothing.
void onReloadSignal(void (*handler)(int)) {
    g_service.reload = handler;
}

void onStopControl(void (*handler)(int)) {
    g_service.stop = handler;
}

ServiceNotifier::ServiceNotifier() = default;

void ServiceNotifier::ready() {
    if (!g_service.stopPending) {
        report(SERVICE_RUNNING, 0);
    }
}

void ServiceNotifier::status(const std::string& text) {
    status_ = text;
}

void ServiceNotifier::stopping() {
    g_service.stopPending = true;
    report(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
}

// While the downloads in progress finish, the manager sees the stop move on once a second.
void ServiceNotifier::tick(bool) {
    if (!g_service.stopPending) {
        return;
    }
    const int64_t now = static_cast<int64_t>(GetTickCount64());
    if (now - lastPingMs_ >= 1000) {
        lastPingMs_ = now;
        report(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
    }
}

} // namespace kestrune::cli
