// The simulator behind a line protocol: starting the program, one request and
// one answer at a time under a deadline, and ending the program without
// leaving a zombie or a stray process behind.
#include "tarvik_sims/child_process_simulator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarvik_core/errors.hpp"

extern char** environ;

namespace tarvik_sims {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using tarvik_core::RuntimeError;
using tarvik_core::ValueError;

// An answer longer than this without a line end is not an answer.
constexpr std::size_t kMaxReply = 16u << 20;
constexpr auto kPollSlice = std::chrono::milliseconds(5);

std::string seconds_text(std::chrono::milliseconds limit) {
    std::ostringstream text;
    text << static_cast<double>(limit.count()) / 1000.0 << " s";
    return text.str();
}

constexpr std::size_t kShown = 80;

// The start of a line that is no answer, quoted and escaped, for messages.
std::string excerpt(const std::string& line) {
    const std::string shown = line.size() > kShown ? line.substr(0, kShown) : line;
    std::string text = json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
    return line.size() > kShown ? text + "..." : text;
}

// The start of an answer of the wrong shape, as JSON, for messages.
std::string excerpt(const json& answer) {
    const std::string text = answer.dump(-1, ' ', false, json::error_handler_t::replace);
    return text.size() > kShown ? text.substr(0, kShown) + "..." : text;
}

std::string ending_text(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const char* name = strsignal(WTERMSIG(status));
        return "was killed by signal " + std::to_string(WTERMSIG(status)) + (name ? std::string(" (") + name + ")" : "");
    }
    return "ended";
}

// A pipe whose ends are close-on-exec and numbered above the standard
// descriptors, so that placing them as the program's stdin and stdout can
// never overwrite one with the other.
void make_pipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) throw RuntimeError(std::string("cannot make a pipe: ") + std::strerror(errno));
    for (int i = 0; i < 2; ++i) {
        if (ends[i] > STDERR_FILENO) continue;
        const int moved = fcntl(ends[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(ends[i]);
        ends[i] = moved;
    }
}

// write() without SIGPIPE ending the host when the program has gone: the
// signal is blocked for this thread during the call, and one it raised is
// taken off the pending set before the mask is restored.
ssize_t write_quietly(int fd, const char* data, std::size_t size) {
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    sigpending(&pending);
    const bool already_pending = sigismember(&pending, SIGPIPE) == 1;
    const ssize_t written = write(fd, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !already_pending) {
        const timespec no_wait{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

Value value_of(const json& item) {
    switch (item.type()) {
        case json::value_t::boolean: return Value(item.get<bool>());
        case json::value_t::number_integer: return Value(item.get<std::int64_t>());
        case json::value_t::number_unsigned: {
            const auto number = item.get<std::uint64_t>();
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return Value(static_cast<double>(number));
            return Value(static_cast<std::int64_t>(number));
        }
        case json::value_t::number_float: return Value(item.get<double>());
        case json::value_t::string: return Value(item.get<std::string>());
        case json::value_t::array: {
            tarvik_core::List list;
            for (const auto& element : item) list.push_back(value_of(element));
            return Value(std::move(list));
        }
        case json::value_t::object: {
            tarvik_core::Dict dict;
            for (const auto& [key, element] : item.items()) dict.set(key, value_of(element));
            return Value(std::move(dict));
        }
        default: return Value();
    }
}

json json_of_array(const tarvik_core::NdArray& array, std::size_t dim, std::int64_t offset) {
    const auto& shape = array.shape();
    if (dim == shape.size()) {
        switch (array.dtype()) {
            case tarvik_core::DType::Bool: return json(array.item_int(offset) != 0);
            case tarvik_core::DType::Float32:
            case tarvik_core::DType::Float64: {
                const double number = array.item(offset);
                if (!std::isfinite(number))
                    throw ValueError("JSON has no place for the non-finite number " + tarvik_core::float_repr(number));
                return json(number);
            }
            default: return json(array.item_int(offset));
        }
    }
    std::int64_t stride = 1;
    for (std::size_t later = dim + 1; later < shape.size(); ++later) stride *= shape[later];
    json out = json::array();
    for (std::int64_t i = 0; i < shape[dim]; ++i) out.push_back(json_of_array(array, dim + 1, offset + i * stride));
    return out;
}

json json_of(const Value& value) {
    if (value.is_none()) return nullptr;
    if (value.is_bool()) return value.as_bool();
    if (value.is_int()) return value.as_int();
    if (value.is_float()) {
        if (!std::isfinite(value.as_double()))
            throw ValueError("JSON has no place for the non-finite number " + tarvik_core::float_repr(value.as_double()));
        return value.as_double();
    }
    if (value.is_str()) return value.as_str();
    if (value.is_array()) return json_of_array(value.as_array(), 0, 0);
    if (value.is_list() || value.is_tuple()) {
        json out = json::array();
        for (const auto& element : value.is_list() ? value.as_list().items() : value.as_tuple().items())
            out.push_back(json_of(element));
        return out;
    }
    if (value.is_dict()) {
        json out = json::object();
        for (const auto& [key, element] : value.as_dict()) out[key] = json_of(element);
        return out;
    }
    throw tarvik_core::TypeError("a " + value.type_name() + " cannot be sent as JSON");
}

}  // namespace

// The program and the two pipes to it.
struct ChildProcessSimulator::Channel {
    std::string name;  // "exec:COMMAND", as messages name the simulator
    std::chrono::milliseconds reply_limit{0};
    pid_t pid = -1;
    int to_program = -1;
    int from_program = -1;
    std::string pending;  // bytes read past the last answer
    std::int64_t max_episode_steps = Simulator::kNoStepLimit;

    ~Channel() { stop(kExitGrace); }

    // Stops the program at once and raises `problem`.
    [[noreturn]] void fail(const std::string& problem) {
        stop(std::chrono::milliseconds(0));
        throw RuntimeError("simulator '" + name + "' " + problem);
    }

    // Closes the program's input, gives it `grace` to exit, then kills its
    // process group (the program if it still runs, and whatever it left
    // there) and reaps it. The exit status, or -1 when there was no program.
    int stop(std::chrono::milliseconds grace) {
        if (to_program >= 0) close(to_program);
        if (from_program >= 0) close(from_program);
        to_program = from_program = -1;
        if (pid < 0) return -1;
        // program_ended() leaves the program a zombie, so its process group id
        // cannot be reused before the kill below.
        const auto deadline = Clock::now() + grace;
        while (!program_ended() && Clock::now() < deadline) std::this_thread::sleep_for(kPollSlice);
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);  // in case it left its group
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return status;
    }

    void start(const std::string& command) {
        int input[2];
        int output[2];
        make_pipe(input);
        try {
            make_pipe(output);
        } catch (...) {
            close(input[0]);
            close(input[1]);
            throw;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // A group of its own, so the program and everything it starts can be
        // ended together; default signal handling and no blocked signals,
        // whatever the host set for itself.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        sigaddset(&signals, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        std::string shell = "/bin/sh", flag = "-c", text = command;
        char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
        const int spawned = posix_spawn(&pid, shell.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(input[0]);
        close(output[1]);
        to_program = input[1];
        from_program = output[0];
        if (spawned != 0) {
            pid = -1;
            fail(std::string("cannot be started: ") + std::strerror(spawned));
        }
        fcntl(to_program, F_SETFL, fcntl(to_program, F_GETFL) | O_NONBLOCK);
        fcntl(from_program, F_SETFL, fcntl(from_program, F_GETFL) | O_NONBLOCK);
    }

    // True once the program has exited (it stays a zombie until stop()).
    bool program_ended() const {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
    }

    enum class Wait { ready, timed_out, program_ended };

    // Waits for `fd` to be ready for `events` until `deadline`. Looks at the
    // program now and then: one that exited while something it started still
    // holds the pipe open would otherwise look like a program that hangs.
    Wait wait_for(int fd, short events, Clock::time_point deadline) {
        constexpr std::int64_t kSliceMs = 100;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Wait::timed_out;
            pollfd entry{fd, events, 0};
            const int ready = poll(&entry, 1, static_cast<int>(std::min(left.count(), kSliceMs)));
            if (ready > 0) return Wait::ready;
            if (ready < 0 && errno != EINTR) fail(std::string("cannot be waited for: ") + std::strerror(errno));
            if (ready == 0 && program_ended()) return Wait::program_ended;
        }
    }

    // The program ended or closed its output before answering `what`.
    [[noreturn]] void fail_gone(const std::string& what) {
        const auto deadline = Clock::now() + kExitGrace;
        bool ended = program_ended();
        while (!ended && Clock::now() < deadline) {
            std::this_thread::sleep_for(kPollSlice);
            ended = program_ended();
        }
        const int status = stop(std::chrono::milliseconds(0));
        throw RuntimeError("simulator '" + name + "' " +
                           (ended ? ending_text(status) : std::string("closed its output")) + " before it answered " +
                           what + (ended ? "" : "; it was stopped"));
    }

    void send(const std::string& line, const std::string& what, Clock::time_point deadline) {
        std::size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t written = write_quietly(to_program, line.data() + sent, line.size() - sent);
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                const Wait waited = wait_for(to_program, POLLOUT, deadline);
                if (waited == Wait::program_ended) fail_gone(what);
                if (waited == Wait::timed_out)
                    fail("did not read " + what + " within " + seconds_text(reply_limit) + "; it was stopped");
            } else if (errno == EPIPE) {
                fail_gone(what);
            } else if (errno != EINTR) {
                fail("cannot be written to: " + std::string(std::strerror(errno)));
            }
        }
    }

    std::string receive(const std::string& what, Clock::time_point deadline) {
        for (;;) {
            if (const auto end = pending.find('\n'); end != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            if (pending.size() > kMaxReply)
                fail("answered " + what + " with more than " + std::to_string(kMaxReply >> 20) +
                     " MiB and no line end: " + excerpt(pending));
            char buffer[65536];
            const ssize_t got = read(from_program, buffer, sizeof buffer);
            if (got > 0) {
                pending.append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0) {
                fail_gone(what);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                const Wait waited = wait_for(from_program, POLLIN, deadline);
                if (waited == Wait::program_ended) fail_gone(what);
                if (waited == Wait::timed_out)
                    fail("did not answer " + what + " within " + seconds_text(reply_limit) + "; it was stopped");
            } else if (errno != EINTR) {
                fail("cannot be read from: " + std::string(std::strerror(errno)));
            }
        }
    }

    // One request and its answer, a JSON object. {"error": ...} answers are
    // returned for the caller to judge.
    json exchange(const json& request, const std::string& what) {
        if (pid < 0) throw RuntimeError("simulator '" + name + "' is no longer running");
        const auto deadline = Clock::now() + reply_limit;
        send(request.dump() + "\n", what, deadline);
        const std::string line = receive(what, deadline);
        json answer = json::parse(line, nullptr, false);
        if (!answer.is_object()) fail("answered " + what + " with something that is not a JSON object: " + excerpt(line));
        return answer;
    }

    // The refusal text of an {"error": ...} answer, or nothing.
    std::optional<std::string> refusal(const json& answer) const {
        const auto error = answer.find("error");
        if (error == answer.end()) return std::nullopt;
        return error->is_string() ? error->get<std::string>() : error->dump();
    }

    Dict readings_of(const json& answer, const std::string& what) {
        const auto readings = answer.find("readings");
        if (readings == answer.end() || !readings->is_object())
            fail("answered " + what + " without \"readings\" as a JSON object: " + excerpt(answer));
        return value_of(*readings).as_dict();
    }

    bool flag_of(const json& answer, const char* key, const std::string& what) {
        const auto flag = answer.find(key);
        if (flag == answer.end()) return false;
        if (!flag->is_boolean())
            fail("answered " + what + " with \"" + key + "\" that is not true or false: " + excerpt(answer));
        return flag->get<bool>();
    }
};

ChildProcessSimulator::ChildProcessSimulator(const std::string& command, std::chrono::milliseconds reply_limit)
    : ChildProcessSimulator([&] {
          if (command.empty()) throw ValueError("a simulator program needs a command");
          if (reply_limit.count() <= 0)
              throw ValueError("the reply time limit of simulator 'exec:" + command + "' must be positive");
          auto channel = std::make_unique<Channel>();
          channel->name = "exec:" + command;
          channel->reply_limit = reply_limit;
          channel->start(command);
          const std::string what = "hello";
          const json answer = channel->exchange({{"op", "hello"}, {"protocol", kProtocolVersion}}, what);
          if (auto refused = channel->refusal(answer)) channel->fail("refused " + what + ": " + *refused);
          if (const auto limit = answer.find("max_episode_steps"); limit != answer.end()) {
              if (!limit->is_number_integer() || limit->get<std::int64_t>() < 1)
                  channel->fail("answered hello with \"max_episode_steps\" that is not a whole number of at least 1: " +
                                excerpt(answer));
              channel->max_episode_steps = limit->get<std::int64_t>();
          }
          return channel;
      }()) {}

ChildProcessSimulator::ChildProcessSimulator(std::unique_ptr<Channel> channel)
    : Simulator(channel->name, "a simulator program speaking the line protocol", channel->max_episode_steps, {}, {}),
      channel_(std::move(channel)) {}

ChildProcessSimulator::~ChildProcessSimulator() = default;

int ChildProcessSimulator::pid() const noexcept { return channel_->pid; }

void ChildProcessSimulator::begin_episode(std::uint64_t seed) {
    const std::string what = "reset (seed " + std::to_string(seed) + ")";
    const json answer = channel_->exchange({{"op", "reset"}, {"seed", seed}}, what);
    if (auto refused = channel_->refusal(answer))
        throw RuntimeError("simulator '" + channel_->name + "' refused " + what + ": " + *refused);
    readings_ = channel_->readings_of(answer, what);
    const auto mask = answer.find("action_mask");
    action_mask_ = mask == answer.end() ? Value() : value_of(*mask);
}

Simulator::Transition ChildProcessSimulator::advance(const Value& action) {
    json sent;
    try {
        sent = json_of(action);
    } catch (const tarvik_core::Error& e) {
        throw ValueError("simulator '" + channel_->name + "' cannot be sent the action " + tarvik_core::repr(action) +
                         ": " + e.what());
    }
    const std::string what = "step (action " + sent.dump() + ")";
    const json answer = channel_->exchange({{"op", "step"}, {"action", sent}}, what);
    if (auto refused = channel_->refusal(answer))
        throw ValueError("simulator '" + channel_->name + "' refused the action " + sent.dump() + ": " + *refused);
    Dict readings = channel_->readings_of(answer, what);
    const auto reward = answer.find("reward");
    if (reward == answer.end() || !reward->is_number())
        channel_->fail("answered " + what + " without \"reward\" as a number: " + excerpt(answer));
    Transition transition;
    transition.reward = reward->get<double>();
    transition.terminated = channel_->flag_of(answer, "terminated", what);
    transition.truncated = channel_->flag_of(answer, "truncated", what);
    const auto mask = answer.find("action_mask");
    readings_ = std::move(readings);
    action_mask_ = mask == answer.end() ? Value() : value_of(*mask);
    return transition;
}

}  // namespace tarvik_sims
