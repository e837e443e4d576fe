// The Windows build has no HTTP client library that keeps kestrune-cli.exe one static file:
// --forward is refused there (the command says so before the station starts).

#include "station/forward.h"

namespace kestrune::station {
namespace {

class NoPoster final : public Poster {
public:
    PostAnswer post(const std::string&, const std::string&) override {
        PostAnswer answer;
        answer.kind = "connect";
        return answer;
    }
};

} // namespace

std::unique_ptr<Poster> httpPoster(const ForwardTarget&, uint32_t) {
    return std::make_unique<NoPoster>();
}

} // namespace kestrune::station
