// The forwarder's HTTP client: cpp-httplib's, as Debian builds it (a library beside its header).

#include "station/forward.h"

#include <httplib.h>

namespace kestrune::station {
namespace {

class HttpPoster final : public Poster {
public:
    HttpPoster(const ForwardTarget& target, uint32_t timeoutMs)
        : client_(target.host, target.port), path_(target.path) {
        const auto timeout = std::chrono::milliseconds(timeoutMs);
        client_.set_connection_timeout(timeout);
        client_.set_read_timeout(timeout);
        client_.set_write_timeout(timeout);
        client_.set_keep_alive(true);
    }

    PostAnswer post(const std::string& json, const std::string& idempotencyKey) override {
        const httplib::Headers headers{{"Idempotency-Key", idempotencyKey}};
        const httplib::Result result = client_.Post(path_, headers, json, "application/json");
        PostAnswer answer;
        if (result) {
            answer.status = result->status;
            answer.body = result->body;
            return answer;
        }
        switch (result.error()) {
        case httplib::Error::Connection:
        case httplib::Error::BindIPAddress:
            answer.kind = "connect";
            break;
        case httplib::Error::ConnectionTimeout:
            answer.kind = "timeout";
            break;
        default:
            // A read that timed out and a receiver that closed look the same to the library.
            answer.kind = "closed";
            break;
        }
        return answer;
    }

private:
    httplib::Client client_;
    std::string path_;
};

} // namespace

std::unique_ptr<Poster> httpPoster(const ForwardTarget& target, uint32_t timeoutMs) {
    return std::make_unique<HttpPoster>(target, timeoutMs);
}

} // namespace kestrune::station
