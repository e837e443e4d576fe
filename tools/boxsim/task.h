#pragma once

// A coroutine that returns a T to the coroutine awaiting it: the box's steps (send a frame,
// receive one, download) are written as the sequence they are, and the same code runs on a
// real line, where every wait finishes inside the call (a blocking poll), and on a virtual
// line, where a wait suspends the box until the session's own port calls bring its bytes or
// its time-out: single-threaded, deterministic, no real time spent.

#include <coroutine>
#include <exception>
#include <utility>

namespace boxsim {

template <class T> class Task {
public:
    struct promise_type {
        T value{};
        std::coroutine_handle<> continuation;

        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Final {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
                const std::coroutine_handle<> next = h.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        Final final_suspend() noexcept { return {}; }
        void return_value(T v) { value = std::move(v); }
        void unhandled_exception() { std::terminate(); }
    };

    explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (h_) {
                h_.destroy();
            }
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (h_) {
            h_.destroy();
        }
    }

    // Awaited by another coroutine: runs until it is done, then resumes that one.
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        h_.promise().continuation = awaiting;
        return h_;
    }
    T await_resume() { return std::move(h_.promise().value); }

    // At the top: runs until the first wait that the line cannot finish at once.
    void start() { h_.resume(); }
    bool done() const { return !h_ || h_.done(); }
    const T& result() const { return h_.promise().value; }
    // Runs to the end on a line whose waits all finish inside the call (a real line).
    T run() {
        start();
        if (!h_.done()) {
            std::terminate(); // a wait was left to a line that never finishes it
        }
        return std::move(h_.promise().value);
    }

private:
    std::coroutine_handle<promise_type> h_;
};

} // namespace boxsim
