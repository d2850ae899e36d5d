// A thread that sweeps a server's expired sessions, often enough that one
// goes within a quarter of its timeout (and at most half a second) of
// expiring, until the server stops it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvik_remote {

// When a session was last heard from; read and written from any thread.
class LastHeard {
public:
    using Clock = std::chrono::steady_clock;
    LastHeard() noexcept { touch(); }
    void touch() noexcept { at_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }
    bool silent_for_more_than(std::chrono::milliseconds period, Clock::time_point now) const noexcept {
        return now - Clock::time_point(Clock::duration(at_.load(std::memory_order_relaxed))) > period;
    }

private:
    std::atomic<Clock::rep> at_;
};

// Takes the sessions (shared pointers to something with a LastHeard
// `heard`) silent for more than `period` out of `sessions`.
template <class Map>
std::vector<typename Map::mapped_type> take_silent(Map& sessions, std::chrono::milliseconds period) {
    const auto now = LastHeard::Clock::now();
    std::vector<typename Map::mapped_type> silent;
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (it->second->heard.silent_for_more_than(period, now)) {
            silent.push_back(std::move(it->second));
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    return silent;
}

class Sweeper {
public:
    Sweeper(std::chrono::milliseconds timeout, std::function<void()> sweep)
        : thread_([this, sweep = std::move(sweep),
                   every = std::min<std::chrono::milliseconds>(timeout / 4 + std::chrono::milliseconds(1),
                                                               std::chrono::milliseconds(500))] {
              std::unique_lock lock(mutex_);
              while (!wake_.wait_for(lock, every, [this] { return stopping_; })) {
                  lock.unlock();
                  sweep();
                  lock.lock();
              }
          }) {}

    ~Sweeper() { stop(); }

    // Idempotent; returns once a sweep in progress has finished. False when
    // it had been stopped already.
    bool stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return false;
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the rest exists
};

}  // namespace tarvik_remote
