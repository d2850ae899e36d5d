// Recording fakes for teachers, controllers, perceptors and network managers.
//
// Each fake records every call (operation name and arguments) in order, in its
// own list and in an optional Journal shared between fakes, so tests can check
// the order of calls across objects. Behaviour is set through public members
// (results, hooks, errors to throw); defaults pass values through.
//
//   auto journal = std::make_shared<Journal>();
//   auto teacher = std::make_shared<FakeTeacher>(journal);
//   teacher->mask = List{1, 0, 1};
//   teacher->on_transform_action = [](const Value&, const Value& a) { return Value(a.as_int() + 1); };
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik_core/implementations.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_test {

using tarvik_core::Dict;
using tarvik_core::List;
using tarvik_core::Task;
using tarvik_core::Tuple;
using tarvik_core::Value;

// Calls of several fakes in one order: "teacher.transform_action", ...
struct Journal {
    std::vector<std::string> entries;
    void add(std::string entry) { entries.push_back(std::move(entry)); }
};

struct Call {
    std::string op;
    std::vector<Value> args;
};

class CallRecorder {
public:
    explicit CallRecorder(std::string prefix, std::shared_ptr<Journal> journal)
        : prefix_(std::move(prefix)), journal_(std::move(journal)) {}
    std::vector<Call> calls;
    std::size_t count(std::string_view op) const;
    // Arguments of the last call of `op` (test failure if none).
    const std::vector<Value>& last(std::string_view op) const;

protected:
    void record(std::string op, std::vector<Value> args);

private:
    std::string prefix_;
    std::shared_ptr<Journal> journal_;
};

class FakeTeacher : public tarvik_core::Teacher, public CallRecorder {
public:
    explicit FakeTeacher(std::shared_ptr<Journal> journal = nullptr) : CallRecorder("teacher", std::move(journal)) {}

    Value filtered_keys;                 // filtered_sensor_space() result
    std::exception_ptr filtered_error;   // thrown by filtered_sensor_space() when set
    std::function<Value(const Value& obs)> on_transform_sensors;                      // default: obs
    Value mask;                          // compute_action_mask() result
    std::function<Value(const Value& obs, const Value& action)> on_transform_action;  // default: action
    Value reward = 0.25;
    Value success = false;
    Value termination = false;
    std::exception_ptr reset_error;

    Task<Value> filtered_sensor_space() override;
    Task<void> reset() override;
    Task<Value> transform_sensors(const Value& obs, const Value& extra) override;
    Task<Value> compute_action_mask(const Value& obs, const Value& previous_action) override;
    Task<Value> transform_action(const Value& obs, const Value& action) override;
    Task<Value> compute_reward(const Value& obs, const Value& action, const Value& sim_reward) override;
    Task<Value> compute_success_criteria(const Value& obs, const Value& action) override;
    Task<Value> compute_termination(const Value& obs, const Value& action) override;
};

class FakeController : public tarvik_core::Controller, public CallRecorder {
public:
    explicit FakeController(std::shared_ptr<Journal> journal = nullptr)
        : CallRecorder("controller", std::move(journal)) {}

    std::function<Value(const Value& obs, const Value& previous_action)> on_compute_action;  // default: 0
    Value filtered_keys;
    std::exception_ptr reset_error;

    Task<Value> compute_action(const Value& obs, const Value& previous_action) override;
    Task<Value> filtered_sensor_space() override;
    Task<void> reset() override;
};

class FakePerceptor : public tarvik_core::Perceptor, public CallRecorder {
public:
    explicit FakePerceptor(std::shared_ptr<Journal> journal = nullptr, std::string name = "perceptor")
        : CallRecorder(std::move(name), std::move(journal)) {}

    std::function<Value(const Value& sensors)> on_compute_sensors;  // default: empty mapping
    std::exception_ptr reset_error;

    Task<Value> compute_sensors(const Value& sensors) override;
    Task<void> reset() override;
};

// Registers a fake under `name` in `registry`; every instance the factory
// makes is configured by `configure` and kept in `made` (newest last).
template <class Fake>
struct Made {
    std::vector<std::shared_ptr<Fake>> all;
    std::shared_ptr<Fake> last() const { return all.empty() ? nullptr : all.back(); }
};

std::shared_ptr<Made<FakeTeacher>> register_fake_teacher(tarvik_core::Registry& registry, const std::string& name,
                                                         std::function<void(FakeTeacher&)> configure = {},
                                                         std::shared_ptr<Journal> journal = nullptr,
                                                         std::string version = "1.0.0");
std::shared_ptr<Made<FakeController>> register_fake_controller(tarvik_core::Registry& registry,
                                                               const std::string& name,
                                                               std::function<void(FakeController&)> configure = {},
                                                               std::shared_ptr<Journal> journal = nullptr,
                                                               std::string version = "1.0.0");
std::shared_ptr<Made<FakePerceptor>> register_fake_perceptor(tarvik_core::Registry& registry, const std::string& name,
                                                             std::function<void(FakePerceptor&)> configure = {},
                                                             std::shared_ptr<Journal> journal = nullptr,
                                                             std::string version = "1.0.0");

// A network manager for asynchronous callers: remote calls return their
// awaitables unchanged. Its in-process remote managers are wrapped so that
// every call is recorded with the manager's name ("simulator", "agent",
// "perceptor", "controller"), the method and the arguments.
class AwaitingNetworkMgr : public tarvik_core::NetworkMgr {
public:
    AwaitingNetworkMgr();
    struct RemoteCall {
        std::string manager;
        std::string method;
        List args;
        Dict kwargs;
    };
    std::shared_ptr<std::vector<RemoteCall>> remote_calls = std::make_shared<std::vector<RemoteCall>>();
    tarvik_core::MaybeTask<Value> _call_method(const RemoteMethod& attr, const List& args,
                                               const Dict& kwargs) override;
};

// An orchestration from JSON text (relative paths against `base_dir`).
tarvik_core::OrchestrationPtr orchestration_from_json(const std::string& json, const std::string& base_dir = ".");

}  // namespace tarvik_test
