// LogCapture: records every line of one named logger while it is alive.
//
//   LogCapture logs("tarvik_inference.grafex");   // also lowers the level to debug
//   ... run code ...
//   EXPECT_TRUE(logs.contains(LogLevel::error, "Error during inference: ..."));
//
// The previous level is restored and the sink removed on destruction.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarvik_core/logging.hpp"

namespace tarvik_test {

struct CapturedLine {
    tarvik_core::LogLevel level;
    std::string message;
};

class LogCapture {
public:
    explicit LogCapture(std::string logger_name);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> lines() const;
    // Lines of one level, in order.
    std::vector<std::string> messages(tarvik_core::LogLevel level) const;
    bool contains(tarvik_core::LogLevel level, const std::string& message) const;
    // How many lines of that level start with `prefix`.
    std::size_t count_prefix(tarvik_core::LogLevel level, const std::string& prefix) const;
    void clear();

private:
    struct Sink;
    std::string name_;
    tarvik_core::LogLevel previous_;
    std::shared_ptr<Sink> sink_;
};

}  // namespace tarvik_test
