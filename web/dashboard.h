#pragma once

// The station's state for the web: a second front end beside the terminal table. It stands
// between the station loop and the table (every event goes on to the table first), keeps what
// the page shows that the ports' own status does not hold (the last outcome of every port, the
// counters of the recorded attempts, the latest events), and hands each client of /events its
// own bounded queue. A port's thread only ever takes the one short lock here; it never waits for
// a client.

#include "report/causes.h"
#include "station/forward.h"
#include "station/station_loop.h"
#include "web/client_queue.h"
#include "web/station_view.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::web {

struct DashboardOptions {
    size_t events = 20;        // the latest events kept for the page
    size_t queueMessages = 16; // a client this many messages behind is dropped
    // Without a change, a message anyway this often (the page's clock, and a sign of life).
    std::chrono::milliseconds heartbeat{5000};
};

class Dashboard final : public station::StationEvents {
public:
    // `release`: the release the station serves from (none: `image` alone).
    Dashboard(std::vector<const station::PortStatus*> ports, const station::ImageFacts& image,
              station::StationEvents& next, DashboardOptions options = {},
              const release::LoadedRelease* release = nullptr);

    void event(const std::string& port, const std::string& text) override;
    void attemptEnded(const station::PortStatus& status, const station::AttemptReport& report,
                      const station::AttemptPlace& place) override;

    // The station now.
    StationView view() const;

    // A message for every client when the state changed since the last one (or the heartbeat is
    // due); clients that fell behind are dropped. Called by one thread, a few times a second.
    void publish();
    // A new client's queue, holding the state now as its first message.
    std::shared_ptr<ClientQueue> subscribe();
    void unsubscribe(const std::shared_ptr<ClientQueue>& client);
    // The end: every client's thread stops waiting.
    void closeAll();
    size_t clients() const;
    // Clients dropped because they fell behind, since the start.
    uint64_t dropped() const;
    // Who and where, and the forwarder whose delivery the page shows (none: no --forward).
    void traceability(const station::Provenance& provenance, const station::Forwarder* forwarder);
    // A port a reload added: shown from now on, after the others.
    void addPort(const station::PortStatus* port);
    // The web server's state, for /metrics.
    void web(const WebView& state);

private:
    Message messageLocked(const std::string& json) const;

    std::vector<const station::PortStatus*> ports_; // a reload adds to them, under mutex_
    const station::ImageFacts image_;
    const release::LoadedRelease* release_;
    std::vector<std::string> labels_; // the release's images, in entry order
    station::StationEvents& next_;
    const DashboardOptions options_;
    const std::chrono::system_clock::time_point started_;
    const std::chrono::steady_clock::time_point startedSteady_;

    mutable std::mutex mutex_;
    std::vector<PortView> counted_; // one per port: its recorded attempts, its last one
    std::deque<EventView> events_;
    std::vector<std::shared_ptr<ClientQueue>> clients_;
    std::string lastState_; // the last message's state, without its clock
    Message lastMessage_;
    std::chrono::steady_clock::time_point lastSent_{};
    uint64_t dropped_ = 0;
    WebView web_;
    station::Provenance provenance_;
    const station::Forwarder* forwarder_ = nullptr;
    bool lineWorsened_ = false; // as the last attempt with a figure left it
    // The attempts since the causes were last brought up to date.
    struct Unread {
        std::string port;
        station::AttemptReport report;
        station::AttemptPlace place;
    };
    mutable std::vector<Unread> unread_;
    // The shift's attempts as the report reads them from the record, and their groups now:
    // brought up to date on the web's side, so that a port's thread only leaves a copy.
    std::vector<report::CauseGroup> causesNow() const;
    mutable std::mutex causesMutex_;
    mutable report::FailureCauses causes_;
    mutable std::vector<report::CauseGroup> causeGroups_;
};

} // namespace kestrune::web
