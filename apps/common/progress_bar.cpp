// The progress bar of long runs.
#include "tarvik_apps/progress_bar.hpp"

#include <algorithm>
#include <cmath>

namespace tarvik_apps {

namespace {
constexpr int kWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// Carriage return, then "erase to the end of the line".
constexpr const char* kEraseLine = "\r\x1b[K";
}  // namespace

ProgressBar::ProgressBar(std::ostream& stream, bool enabled, std::chrono::milliseconds delay)
    : stream_(stream), enabled_(enabled), start_(Clock::now()), delay_(delay) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::update(double fraction, const std::string& label) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now - start_ < delay_) return;
    if (shown_ && now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    fraction = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '-');
    const int percent = static_cast<int>(fraction * 100.0);
    stream_ << kEraseLine << '[' << bar << "] " << percent << "%  " << label << std::flush;
    shown_ = true;
}

void ProgressBar::clear() {
    if (!shown_) return;
    stream_ << kEraseLine << std::flush;
    shown_ = false;
}

}  // namespace tarvik_apps
