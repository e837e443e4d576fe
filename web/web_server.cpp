#include "web/web_server.h"

#include "common/system_error.h"
#include "web/listen_socket.h"

// The library's limits, set before it is included: a request line (its URI) and each header
// line at most 8 KB, all the header lines together 32 KB (longer: 414 or 400, and the
// connection ends), no request body at all, and
// room in the listen queue for the connections beyond the limit that are answered 503.
#define CPPHTTPLIB_REQUEST_URI_MAX_LENGTH 8192
#define CPPHTTPLIB_HEADER_MAX_LENGTH 8192
#define CPPHTTPLIB_HEADERS_TOTAL_MAX_LENGTH 32768
#define CPPHTTPLIB_LISTEN_BACKLOG 64
#define CPPHTTPLIB_THREAD_POOL_COUNT 1
#include <condition_variable>
#include <deque>
#include <functional>
#include <httplib.h>

namespace kestrune::web {
namespace {

// Whether this thread answers the connections beyond the limit.
thread_local bool t_refusing = false;

// The server's threads: a fixed number serve connections; one more thread answers every
// connection beyond them with 503 and closes it. The library's own pool would queue them
// without end instead.
class LimitedPool final : public httplib::TaskQueue {
public:
    explicit LimitedPool(size_t workers) : workers_(workers) {
        for (size_t i = 0; i < workers; ++i) {
            threads_.emplace_back([this] { work(false); });
        }
        threads_.emplace_back([this] { work(true); });
    }

    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (busy_ + jobs_.size() < workers_) {
                jobs_.push_back(std::move(fn));
            } else {
                refused_.push_back(std::move(fn));
            }
        }
        ready_.notify_all();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
    }

private:
    void work(bool refusing) {
        t_refusing = refusing;
        std::deque<std::function<void()>>& queue = refusing ? refused_ : jobs_;
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return shutdown_ || !queue.empty(); });
                if (queue.empty()) {
                    return;
                }
                fn = std::move(queue.front());
                queue.pop_front();
                busy_ += refusing ? 0 : 1;
            }
            // Each job serves one connection and closes its socket.
            fn();
            std::lock_guard<std::mutex> lock(mutex_);
            busy_ -= refusing ? 0 : 1;
        }
    }

    const size_t workers_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::deque<std::function<void()>> refused_;
    size_t busy_ = 0;
    bool shutdown_ = false;
};

// A whole body that then reports a failure: the library closes the connection after it instead
// of keeping it alive for a next request.
void answerAndClose(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    auto body = std::make_shared<std::string>(text);
    res.set_content_provider(body->size(), "text/plain; charset=utf-8",
                             [body](size_t, size_t, httplib::DataSink& sink) {
                                 sink.write(body->data(), body->size());
                                 return false;
                             });
}

} // namespace

struct WebServer::Impl {
    httplib::Server server;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable wake;
};

std::string parseHttpAddress(const std::string& text, std::string& address, int& port) {
    std::string digits = text;
    address = "127.0.0.1";
    if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        digits = text.substr(colon + 1);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        if (address.empty()) {
            return "--http " + text + ": no address before the port";
        }
    }
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
        return "--http " + text + ": the port must be a number from 0 to 65535";
    }
    port = std::stoi(digits);
    return "";
}

WebServer::WebServer(Dashboard& dashboard, WebLimits limits)
    : impl_(std::make_unique<Impl>()), dashboard_(dashboard), limits_(limits) {
    httplib::Server& svr = impl_->server;
    const size_t workers = limits_.connections;
    svr.new_task_queue = [workers] { return new LimitedPool(workers); };
    svr.set_socket_options([](socket_t sock) { prepareListenSocket(sock); });
    svr.set_read_timeout(limits_.timeoutSeconds, 0);
    svr.set_write_timeout(limits_.timeoutSeconds, 0);
    svr.set_keep_alive_timeout(limits_.timeoutSeconds);
    svr.set_keep_alive_max_count(100);
    svr.set_payload_max_length(0);
    svr.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (t_refusing) {
            res.set_header("Retry-After", "5");
            answerAndClose(res, 503, "too many clients at once; try again in a few seconds\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            answerAndClose(res, 405, "read only: GET and HEAD\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    svr.Get("/", [](const httplib::Request&, httplib::Response& res) {
        // Everything of the page is in it: nothing may come from elsewhere.
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; style-src 'unsafe-inline'; script-src "
                       "'unsafe-inline'; connect-src 'self'; img-src data:");
        res.set_content(DASHBOARD_PAGE, "text/html; charset=utf-8");
    });
    svr.Get("/api/station", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(stationJson(dashboard_.view()) + "\n", "application/json");
    });
    svr.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metricsText(dashboard_.view()), "text/plain; version=0.0.4; charset=utf-8");
    });
    svr.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        if (impl_->stopping) {
            answerAndClose(res, 503, "the station is stopping\n");
            return;
        }
        std::shared_ptr<ClientQueue> client = dashboard_.subscribe();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, client](size_t, httplib::DataSink& sink) {
                Message message;
                switch (client->pop(message, std::chrono::milliseconds(1000))) {
                case ClientQueue::Next::Message:
                    return sink.write(message->data(), message->size());
                case ClientQueue::Next::Timeout:
                    return !impl_->stopping && sink.is_writable();
                case ClientQueue::Next::Ended:
                    break;
                }
                return false;
            },
            [this, client](bool) { dashboard_.unsubscribe(client); });
    });
}

WebServer::~WebServer() {
    stop();
}

std::string WebServer::listen(const std::string& address, int port) {
    address_ = address;
    if (port == 0) {
        port_ = impl_->server.bind_to_any_port(address);
        if (port_ > 0) {
            return "";
        }
    } else if (impl_->server.bind_to_port(address, port)) {
        port_ = port;
        return "";
    }
    const SystemError error = lastSystemError();
    return "cannot listen on " + address + ":" + std::to_string(port) + ": " +
           (error ? systemErrorText(error) : std::string("not an address of this machine"));
}

std::string WebServer::url() const {
    const bool v6 = address_.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_) + "/";
}

void WebServer::start() {
    serving_ = std::thread([this] { impl_->server.listen_after_bind(); });
    publishing_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        while (!impl_->stopping) {
            lock.unlock();
            dashboard_.publish();
            lock.lock();
            impl_->wake.wait_for(lock, limits_.publishEvery,
                                 [this] { return impl_->stopping.load(); });
        }
    });
}

void WebServer::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->stopping) {
            return;
        }
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    dashboard_.closeAll();
    impl_->server.stop();
    if (serving_.joinable()) {
        serving_.join();
    }
    if (publishing_.joinable()) {
        publishing_.join();
    }
}

} // namespace kestrune::web
