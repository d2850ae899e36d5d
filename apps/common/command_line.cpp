// Command-line pieces shared by tarvik-run and tarvik-inspect.
#include "command_line.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>

#include "tarvik_apps/run_command.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/grafex.hpp"

namespace tarvik_apps::command_line {

namespace {

namespace fs = std::filesystem;

template <class T>
std::errc parse_whole(std::string_view text, T& value) {
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (ec == std::errc() && stop != end) return std::errc::invalid_argument;
    return ec;
}

std::string kind_of(const fs::file_status& status) {
    switch (status.type()) {
        case fs::file_type::directory: return "directory";
        case fs::file_type::character: return "character device";
        case fs::file_type::block: return "block device";
        case fs::file_type::fifo: return "pipe";
        case fs::file_type::socket: return "socket";
        default: return "special file";
    }
}

}  // namespace

void set_up(CLI::App& app, const char* program) {
    const std::string name = program;
    app.set_version_flag("--version", [name] {
        return name + " " + TARVIK_VERSION + " (ONNX Runtime " + tarvik_inference::onnxruntime_version() + ")";
    });
    app.failure_message([name](const CLI::App*, const CLI::Error& e) {
        return name + ": error: " + e.what() + "\nRun with --help for more information.\n";
    });
}

std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? kExitSuccess : kExitUsage;
    }
}

CLI::Validator whole_number(std::int64_t min) {
    return CLI::Validator(
        [min](std::string& text) -> std::string {
            std::int64_t value = 0;
            const std::errc ec = parse_whole(text, value);
            if (ec == std::errc::result_out_of_range && text.front() != '-')
                return "must be at most " + std::to_string(std::numeric_limits<std::int64_t>::max()) + ", got " + text;
            if (ec != std::errc() || value < min)
                return "must be a whole number of at least " + std::to_string(min) + ", got " + text;
            text = std::to_string(value);
            return {};
        },
        "N>=" + std::to_string(min));
}

CLI::Validator unsigned_number() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (!text.empty() && text.front() == '-') return "must not be negative, got " + text;
            std::uint64_t value = 0;
            const std::errc ec = parse_whole(text, value);
            if (ec == std::errc::result_out_of_range)
                return "must be at most " + std::to_string(std::numeric_limits<std::uint64_t>::max()) + ", got " + text;
            if (ec != std::errc()) return "must be a whole number, got " + text;
            text = std::to_string(value);
            return {};
        },
        "N>=0");
}

CLI::Validator seconds(double max_seconds) {
    return CLI::Validator(
        [max_seconds](std::string& text) -> std::string {
            double value = 0.0;
            const char* end = text.data() + text.size();
            const auto [stop, ec] = std::from_chars(text.data(), end, value);
            if (ec != std::errc() || stop != end || !(value > 0.0 && value <= max_seconds)) {
                std::ostringstream limit;
                limit << max_seconds;
                return "must be a number of seconds above 0 and at most " + limit.str() + ", got " + text;
            }
            return {};
        },
        "SECONDS");
}

CLI::Validator not_empty() {
    return CLI::Validator(
        [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : std::string(); }, "TEXT");
}

void require_regular_file(const std::string& path, std::string_view what) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status) || fs::is_regular_file(status)) return;
    throw tarvik_core::ValueError(std::string(what) + " " + path + " is not a regular file (it is a " +
                                  kind_of(status) + ")");
}

void write_output(std::ostream& out, std::string_view text) {
    // The stream keeps no reason of its own; errno right after the failed
    // write holds it.
    errno = 0;
    out << text;
    out.flush();
    if (out) return;
    const int reason = errno;
    throw tarvik_core::RuntimeError(std::string("cannot write to standard output") +
                                    (reason ? std::string(": ") + std::strerror(reason) : std::string()));
}

}  // namespace tarvik_apps::command_line

namespace tarvik_apps {

bool prepare_standard_streams() {
    std::signal(SIGPIPE, SIG_IGN);
    bool output_open = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) output_open = false;
        // open() takes the lowest free number, which is `fd`: the lower ones
        // are open by now.
        const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd != fd && null_fd >= 0) close(null_fd);
    }
    return output_open;
}

}  // namespace tarvik_apps
