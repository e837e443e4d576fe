#include "cli/service_notify.h"

// Windows has no notify socket: the service control manager is told by the service itself.
namespace kestrune::cli {

// No SIGHUP: a reload is a restart there.
void onReloadSignal(void (*)(int)) {}

ServiceNotifier::ServiceNotifier() = default;
void ServiceNotifier::ready() {}
void ServiceNotifier::status(const std::string& text) {
    status_ = text;
}
void ServiceNotifier::stopping() {}
void ServiceNotifier::tick(bool) {}

} // namespace kestrune::cli
