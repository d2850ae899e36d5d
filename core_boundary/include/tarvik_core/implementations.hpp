// User implementations: teachers, controllers and perceptors, and the
// registry that maps implementation names to factories.
//
// A teacher shapes what one agent sees and does: it may restrict the sensors
// the agent gets, transform sensor readings and actions, compute an action
// mask, and score steps. A controller is an agent whose decision is programmed
// instead of learned. A perceptor derives extra sensor values from the others.
// Every operation is a Task; the defaults pass values through unchanged, so an
// implementation overrides only what it changes.
//
// Implementations are registered under a name, with a factory that makes a new
// instance per call, usually by a plugin library's entry point:
//
//   extern "C" void tarvik_register(tarvik_core::Registry& registry) {
//       registry.add_teacher("my_teacher", [] { return std::make_shared<MyTeacher>(); });
//   }
//
// A plugin may also register simulators for hosts to drive (tarvik-run's
// --sim plugin:NAME). The core does not know the simulator interface, which
// belongs to the hosts, so a simulator's factory makes a plain Object and the
// host checks what it got:
//
//       registry.add_simulator("my_robot", [] { return std::make_shared<MyRobotSim>(); });
//
// The registry belongs to one orchestration (no process-wide state). Adding a
// name twice is a ValueError naming both origins. A registry is copyable, and
// a copy is a snapshot: classes are immutable and shared between copies.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik_core/async.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

// What teachers and controllers share.
class AgentImplementation : public Object {
public:
    // Names of the sensors the agent sees, in observation order; None or an
    // empty list means all of the orchestration's sensors.
    virtual Task<Value> filtered_sensor_space();
    // Called at the end of every episode.
    virtual Task<void> reset();
};

class Teacher : public AgentImplementation {
public:
    // The processed observation given the converted sensors (mapping).
    virtual Task<Value> transform_sensors(const Value& obs, const Value& extra);
    // A mask over the agent's actions, or None for "no opinion".
    virtual Task<Value> compute_action_mask(const Value& obs, const Value& previous_action);
    // The action handed back to the simulator; may also be a tuple whose
    // element 1 is the action.
    virtual Task<Value> transform_action(const Value& obs, const Value& action);
    virtual Task<Value> compute_reward(const Value& obs, const Value& action, const Value& sim_reward);
    virtual Task<Value> compute_success_criteria(const Value& obs, const Value& action);
    virtual Task<Value> compute_termination(const Value& obs, const Value& action);
};

class Controller : public AgentImplementation {
public:
    // The raw action (for an orchestrator: the chosen child's position).
    virtual Task<Value> compute_action(const Value& obs, const Value& previous_action) = 0;
};

class Perceptor : public Object {
public:
    // Derived sensor values (a mapping name -> value) given the sensors read
    // so far (a mapping in sensor order). The default derives nothing.
    virtual Task<Value> compute_sensors(const Value& sensors);
    virtual Task<void> reset();
};

enum class ImplKind { teacher, controller, perceptor, simulator };
std::string_view impl_kind_name(ImplKind kind) noexcept;  // "teacher", ...

// An implementation class: its name, kind, version and factory.
class ImplClass : public Object {
public:
    using Factory = std::function<std::shared_ptr<Object>()>;
    ImplClass(std::string name, ImplKind kind, Factory factory, std::string version, std::string origin);

    const std::string& name() const noexcept { return name_; }
    ImplKind kind() const noexcept { return kind_; }
    const std::string& version() const noexcept { return version_; }
    // Where it was registered from (a plugin path, or "host").
    const std::string& origin() const noexcept { return origin_; }
    // A new instance. Errors of the factory propagate; a factory that returns
    // null is a RuntimeError naming the implementation.
    std::shared_ptr<Object> instantiate() const;
    std::string repr() const override;

private:
    std::string name_;
    ImplKind kind_;
    Factory factory_;
    std::string version_;
    std::string origin_;
};

using ImplClassPtr = std::shared_ptr<const ImplClass>;

class Registry {
public:
    template <class T>
    using FactoryOf = std::function<std::shared_ptr<T>()>;

    void add_teacher(std::string name, FactoryOf<Teacher> factory, std::string version = "1.0.0");
    void add_controller(std::string name, FactoryOf<Controller> factory, std::string version = "1.0.0");
    void add_perceptor(std::string name, FactoryOf<Perceptor> factory, std::string version = "1.0.0");
    // Type-erased: the host that drives simulators checks the instance's type.
    void add_simulator(std::string name, FactoryOf<Object> factory, std::string version = "1.0.0");

    // The class registered under `name`, or null.
    ImplClassPtr find(std::string_view name) const;
    // KeyError naming the missing implementation and the known ones.
    ImplClassPtr get(std::string_view name) const;
    std::vector<std::string> names() const;
    // Names of the classes of one kind, sorted.
    std::vector<std::string> names(ImplKind kind) const;

    // Origin recorded for registrations from now on ("host" by default).
    void set_origin(std::string origin) { origin_ = std::move(origin); }
    const std::string& origin() const noexcept { return origin_; }

private:
    void add(std::string name, ImplKind kind, ImplClass::Factory factory, std::string version);
    std::map<std::string, ImplClassPtr, std::less<>> classes_;
    std::string origin_ = "host";
};

// The entry point every plugin library exports.
using RegisterFn = void (*)(Registry&);
inline constexpr const char* kPluginEntryPoint = "tarvik_register";

// Loads a plugin library into `registry` and returns its path. `library` is a
// path (anything with a slash), or a bare file name looked up in `folders`,
// then in the TARVIK_PLUGIN_PATH folders, then beside the runtime's
// libraries. Registrations record the path as their origin; the registry's
// origin is left at that path. The library stays loaded for the life of the
// process (objects its factories make may outlive any registry).
// FileNotFoundError "plugin library not found: ..." when it is missing,
// ImportError when it cannot be opened or exports no entry point; whatever
// the entry point raises propagates.
std::string load_plugin(const std::string& library, Registry& registry, const std::vector<std::string>& folders = {});

}  // namespace tarvik_core
