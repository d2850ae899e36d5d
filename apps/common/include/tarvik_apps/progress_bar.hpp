// A one-line progress bar for long runs, redrawn in place on a terminal.
//
// Short runs should not flicker a bar for a fraction of a second, so nothing
// is drawn until `delay` has passed since the bar was made; after that it is
// redrawn at most every 100 ms. clear() erases the line (before other output
// goes to the same terminal, and at the end). A disabled bar writes nothing
// at all, which is what a non-terminal stream or --quiet gets.
//
// Ownership: the bar borrows its stream. Not thread-safe.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

namespace tarvik_apps {

class ProgressBar {
public:
    ProgressBar(std::ostream& stream, bool enabled, std::chrono::milliseconds delay = std::chrono::seconds(2));
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // `fraction` of the work is done (clamped to [0, 1]); `label` follows the bar.
    void update(double fraction, const std::string& label);
    // Erases the bar if it is on screen.
    void clear();
    bool shown() const noexcept { return shown_; }

private:
    using Clock = std::chrono::steady_clock;
    std::ostream& stream_;
    bool enabled_;
    Clock::time_point start_;
    Clock::time_point last_draw_;
    std::chrono::milliseconds delay_;
    bool shown_ = false;
};

}  // namespace tarvik_apps
