// The forwarder's HTTP client on Windows: WinHTTP, a system DLL, so that kestrune-cli.exe stays
// one static file importing only the system's DLLs.

#include "station/forward.h"

#include <windows.h>
#include <winhttp.h>

namespace kestrune::station {
namespace {

// The receiver's answer is kept up to this many bytes (the dead-letter file quotes it).
constexpr DWORD MAX_BODY = 64 * 1024;

std::wstring wide(const std::string& text) {
    std::wstring out;
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    }
    return out;
}

// A failed WinHTTP call as the forwarder counts it. `sent`: the request had gone out, so a
// time-out is an answer that did not come, counted as the receiver closing (as on POSIX, where
// the two cannot be told apart); before, it is the connection's.
const char* kindOf(DWORD error, bool sent) {
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
        return sent ? "closed" : "timeout";
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "connect";
    default:
        return "closed"; // the receiver closed, or answered what is no HTTP
    }
}

class Handle {
public:
    explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset(HINTERNET handle = nullptr) {
        if (handle_ != nullptr) {
            WinHttpCloseHandle(handle_);
        }
        handle_ = handle;
    }
    HINTERNET get() const { return handle_; }

private:
    HINTERNET handle_;
};

class WinHttpPoster final : public Poster {
public:
    WinHttpPoster(const ForwardTarget& target, uint32_t timeoutMs)
        : host_(wide(target.host)), port_(static_cast<INTERNET_PORT>(target.port)),
          path_(wide(target.path)), timeoutMs_(static_cast<int>(timeoutMs)) {
        // The session keeps its connections alive between lines, as the POSIX client does.
        session_.reset(WinHttpOpen(L"kestrune", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    }

    PostAnswer post(const std::string& json, const std::string& idempotencyKey) override {
        PostAnswer answer;
        answer.kind = "connect";
        if (session_.get() == nullptr) {
            return answer;
        }
        if (connection_.get() == nullptr) {
            connection_.reset(WinHttpConnect(session_.get(), host_.c_str(), port_, 0));
            if (connection_.get() == nullptr) {
                return answer;
            }
        }
        const Handle request(WinHttpOpenRequest(connection_.get(), L"POST", path_.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                0));
        if (request.get() == nullptr) {
            return failed(answer, false);
        }
        // The same time-out to resolve, connect, send and for each read.
        WinHttpSetTimeouts(request.get(), timeoutMs_, timeoutMs_, timeoutMs_, timeoutMs_);
        // The wait for the answer's head is a time-out of its own.
        DWORD answerMs = static_cast<DWORD>(timeoutMs_);
        WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerMs,
                         sizeof answerMs);
        const std::wstring headers =
            L"Content-Type: application/json\r\nIdempotency-Key: " + wide(idempotencyKey) + L"\r\n";
        if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1),
                                const_cast<char*>(json.data()), static_cast<DWORD>(json.size()),
                                static_cast<DWORD>(json.size()), 0)) {
            return failed(answer, false);
        }
        if (!WinHttpReceiveResponse(request.get(), nullptr)) {
            return failed(answer, true);
        }
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(
                request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            return failed(answer, true);
        }
        for (;;) {
            char buffer[4096];
            DWORD read = 0;
            if (!WinHttpReadData(request.get(), buffer, sizeof buffer, &read)) {
                // The status came: the line's fate is known, whatever became of its body.
                break;
            }
            if (read == 0) {
                break;
            }
            if (answer.body.size() < MAX_BODY) {
                answer.body.append(buffer, read);
            }
        }
        answer.kind.clear();
        answer.status = static_cast<int>(status);
        return answer;
    }

private:
    // The request failed before an answer: why, and a new connection for the next one.
    PostAnswer& failed(PostAnswer& answer, bool sent) {
        answer.kind = kindOf(GetLastError(), sent);
        connection_.reset();
        return answer;
    }

    const std::wstring host_;
    const INTERNET_PORT port_;
    const std::wstring path_;
    const int timeoutMs_;
    Handle session_;
    Handle connection_;
};

} // namespace

std::unique_ptr<Poster> httpPoster(const ForwardTarget& target, uint32_t timeoutMs) {
    return std::make_unique<WinHttpPoster>(target, timeoutMs);
}

} // namespace kestrune::station
