// Shared by the gRPC layer's tests: the cart-pole example with its parts run
// locally or remotely, runtimes stepped synchronously, deterministic readings,
// and the built programs run as child processes on loopback ports.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <condition_variable>
#include <mutex>
#include <optional>

#include <grpcpp/create_channel.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/security/credentials.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/expect_error.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_inference/runvane.hpp"

extern char** environ;

namespace tarvik_core {
inline void PrintTo(const Value& value, std::ostream* os) { *os << repr(value); }
}  // namespace tarvik_core

namespace remote_test {

using namespace tarvik_core;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline fs::path cartpole_dir() { return fs::path(TARVIK_SOURCE_DIR) / "examples" / "cartpole"; }

// The cart-pole example: one orchestrator over two skills with the cart
// teacher and the rescue controller, and the tilt perceptor, as file text
// with absolute model folders. With `remote`, every teacher, controller and
// perceptor is remote and the file names no plugin: the runtime's process
// never loads them, an implementation host serves them.
inline std::string cartpole_json(bool remote) {
    std::ifstream in(cartpole_dir() / "orchestration.json");
    nlohmann::json file = nlohmann::json::parse(in);
    for (auto& agent : file["agents"]) {
        if (agent.contains("checkpoint"))
            agent["checkpoint"] = (cartpole_dir() / agent["checkpoint"].get<std::string>()).string();
        if (remote && (agent.contains("teacher") || agent.contains("controller"))) agent["remote"] = true;
    }
    if (remote) {
        file.erase("plugins");
        for (auto& perceptor : file["perceptors"]) perceptor["remote"] = true;
    }
    return file.dump();
}

inline OrchestrationPtr cartpole(bool remote) {
    return Orchestration::from_json(cartpole_json(remote), cartpole_dir(), remote ? "remote cartpole" : "cartpole");
}

inline Dict remote_config(const std::string& address, double timeout = 5.0) {
    return Dict{{"target", Dict{{"remote", Dict{{"address", address}, {"timeout", timeout}}}}}};
}

// A facade packaged on one agent, stepped from plain (non-loop) code.
class Runtime {
public:
    Runtime(OrchestrationPtr orchestration, Value config, std::string agent = "") : runvane_(std::move(config)) {
        run_sync(runvane_.load_orchestration(std::move(orchestration)));
        tarvik_inference::PackageArgs args;
        if (!agent.empty()) args.agent = agent;
        run_sync(runvane_.package(std::move(args)));
    }
    Value step(const Value& readings, const Value& previous_action) {
        tarvik_inference::RunvaneExecuteArgs args;
        args.previous_action = previous_action;
        return run_sync(runvane_.execute(readings, std::move(args)));
    }
    void close() { run_sync(runvane_.close()); }
    tarvik_inference::Runvane& facade() { return runvane_; }

private:
    tarvik_inference::Runvane runvane_;
};

// Cart-pole readings spread over the track and the pole's range, so that
// the teacher's edge masks and the rescue controller's both branches occur.
inline std::vector<Value> cartpole_readings(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> x(-2.6, 2.6), speed(-2.0, 2.0), theta(-0.35, 0.35);
    std::vector<Value> steps;
    for (std::size_t i = 0; i < count; ++i) {
        Dict readings;
        readings.set("x", x(random));
        readings.set("x_dot", speed(random));
        readings.set("theta", theta(random));
        readings.set("theta_dot", speed(random));
        steps.emplace_back(std::move(readings));
    }
    return steps;
}

// The actions a runtime gives for `readings`, each step handed the action
// before it.
inline std::vector<Value> actions_for(Runtime& runtime, const std::vector<Value>& readings) {
    std::vector<Value> actions;
    Value previous;
    for (const auto& step : readings) actions.push_back(previous = runtime.step(step, previous));
    return actions;
}

// One call of `method` ("/package.Service/Method") with `request` as the raw
// request bytes, waited for at most 10 s; the reply's bytes go to `reply`.
inline grpc::Status raw_call(const std::string& address, const std::string& method, const std::string& request,
                             std::string* reply = nullptr) {
    grpc::GenericStub stub(grpc::CreateChannel(address, grpc::InsecureChannelCredentials()));
    const grpc::Slice slice(request);
    grpc::ByteBuffer request_buffer(&slice, 1), reply_buffer;
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 10s);
    std::mutex mutex;
    std::condition_variable done;
    std::optional<grpc::Status> status;
    stub.UnaryCall(&context, method, grpc::StubOptions(), &request_buffer, &reply_buffer, [&](grpc::Status s) {
        std::lock_guard lock(mutex);
        status = s;
        done.notify_all();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return status.has_value(); });
    if (status->ok() && reply) {
        std::vector<grpc::Slice> slices;
        (void)reply_buffer.Dump(&slices);
        for (const auto& s : slices) reply->append(reinterpret_cast<const char*>(s.begin()), s.size());
    }
    return *status;
}

// Waits until `condition` holds, at most `timeout`; whether it does. For
// what servers do after a call has been answered (closing a session, ...).
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 5s) {
    for (auto until = std::chrono::steady_clock::now() + timeout; !condition();) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A port on loopback that nothing listens on (the kernel just gave it out).
inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// A built program running as a child process, its standard output and error
// read through one pipe. Killed, if still running, when the object goes away.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> text = {program};
        text.insert(text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : text) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
        if (spawned != 0) throw std::runtime_error("cannot start " + program);
    }

    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // Reads output until a line starts with `prefix` and returns the rest of
    // that line; fails the test (and returns "") after `timeout`.
    std::string wait_for_line(const std::string& prefix, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            for (auto end = output_.find('\n', scanned_); end != std::string::npos; end = output_.find('\n', scanned_)) {
                const std::string line = output_.substr(scanned_, end - scanned_);
                scanned_ = end + 1;
                if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
            }
            pollfd ready{out_, POLLIN, 0};
            if (poll(&ready, 1, 100) > 0) {
                char buffer[4096];
                const auto got = read(out_, buffer, sizeof buffer);
                if (got <= 0) break;
                output_.append(buffer, static_cast<std::size_t>(got));
            }
        }
        ADD_FAILURE() << "no line starting with '" << prefix << "' in time; output so far:\n" << output_;
        return "";
    }

    // Sends SIGTERM and returns the exit status (see wait).
    int terminate(std::chrono::milliseconds timeout = 20s) {
        kill(pid_, SIGTERM);
        return wait(timeout);
    }

    // The exit status (128 + signal when killed), or -1 when the program has
    // not ended within `timeout`.
    int wait(std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::size_t scanned_ = 0;
};

}  // namespace remote_test
