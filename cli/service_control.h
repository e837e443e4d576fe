#pragma once
// `kestrune-cli service`: a station as a Windows service. The words and paths it builds are
// plain logic (service.cpp); the service control manager's calls are behind the few functions
// at the end, one file per platform (service_control_win32.cpp; service_control_posix.cpp,
// where systemd runs stations instead).

#include <functional>
#include <string>

namespace kestrune::cli {

// One argument of a Windows command line, quoted so that the C runtime's parser gives it back
// unchanged: as it is when it has no space, tab or quote, else in quotes with the backslashes
// before a quote (and at the end) doubled and each quote escaped.
std::string quoteArgument(const std::string& word);
// What the service manager starts: "<exe>" service run NAME --config "<config>".
std::string serviceCommandLine(const std::string& exe, const std::string& name,
                               const std::string& config);
// "" when NAME can name a service (1 to 80 letters, digits, '-', '_' or '.'), else why not.
std::string checkServiceName(const std::string& name);
// The folder part of a path, with its last separator ('/', '\' or a drive's ':'); "" for a
// bare file name.
std::string folderOf(const std::string& path);
// The service's log: NAME.log in the record's folder (the working folder when there is no
// record, or the record is a bare file name).
std::string serviceLogPath(const std::string& name, const std::string& record);

// The platform's part. Each returns "" when done, else the sentence that says why not.
// Where there is no service control manager, the sentence every service command ends with;
// "" where there is one.
const char* servicesMissing();
std::string installService(const std::string& name, const std::string& commandLine,
                           const std::string& config, bool autoStart);
// Stops it first when it runs (the downloads in progress finish), telling `progress` once.
std::string removeService(const std::string& name,
                          const std::function<void(const std::string&)>& progress);
// The service's ParamChange control: the running station reads its config again.
std::string reloadService(const std::string& name);
// This process as the service NAME, started by the manager: `body` runs the station and gives
// its exit status, which the manager is told at the end. "" when it ran (its status in
// `status`), else why not (the process was not started by the manager).
std::string runAsService(const std::string& name, const std::function<int()>& body, int& status);
// One of the service's events (its start, a refusal, its end) in the system's event log, as an
// error or as information; nothing where there is no event log. The log file has every line.
void reportServiceEvent(const std::string& name, bool failure, const std::string& text);
// The full path of this program, and of `path` against the working folder.
std::string thisExecutable();
std::string absolutePath(const std::string& path);
// The service's working folder is the system's: its station works in its config's folder.
bool setWorkingFolder(const std::string& folder);

} // namespace kestrune::cli
