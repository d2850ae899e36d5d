// The orchestration graph: agent nodes, perceptor nodes, sensors, and the
// orchestration that holds them.
//
// Node kinds are classes, so "is this an orchestrator" is a class-membership
// test (dynamic_cast): Agent, and its subclasses AgentOrchestrator,
// AgentCoordinatedSet and AgentCoordinatedPopulation. GraphNode is the base of
// every node and is not itself an Agent (perceptor nodes are GraphNodes).
//
// Orchestration::load(path) reads and validates an orchestration file (the
// format is in docs/orchestration-format.md); every problem is one error that
// names the file, the JSON path and what is wrong. init() then loads the
// plugin libraries into the orchestration's registry and checks that every
// implementation named exists. Nothing half-loaded is ever returned.
//
// Ownership: the orchestration owns its nodes, sensors and registry; hosts and
// processors share it through OrchestrationPtr. Nodes are mutable only where
// processors set spaces on them (set_action_space, set_sim_sensor_space).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik_core/async.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/importers.hpp"
#include "tarvik_core/model_session.hpp"
#include "tarvik_core/sensors.hpp"
#include "tarvik_core/spaces.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

class Orchestration;
using OrchestrationPtr = std::shared_ptr<Orchestration>;

// Base of every node. Agent operations exist here so that any node can be
// asked; on a node that is not an agent they raise AttributeError, except
// get_name and is_controller (false).
class GraphNode : public Object {
public:
    explicit GraphNode(std::string name) : name_(std::move(name)) {}

    virtual std::string get_name() const { return name_; }
    virtual bool is_controller() const { return false; }
    virtual std::vector<std::string> get_children() const;
    virtual bool is_remote() const;
    virtual std::optional<std::string> get_checkpoint_uri() const;
    virtual spaces::SpacePtr get_action_space() const;
    virtual void set_action_space(spaces::SpacePtr space);
    virtual spaces::SpacePtr get_sim_sensor_space() const;
    virtual void set_sim_sensor_space(spaces::SpacePtr space);
    virtual ImplClassPtr get_impl_cls() const;
    virtual std::shared_ptr<Object> get_impl_cls_instance() const;
    virtual bool has_custom_action_space() const;
    std::string repr() const override;

protected:
    [[noreturn]] void no_attribute(std::string_view attribute) const;
    std::string name_;
};

using GraphNodePtr = std::shared_ptr<GraphNode>;

struct AgentDefinition {
    std::string name;
    spaces::SpacePtr action_space;                // may be null
    spaces::SpacePtr sim_sensor_space;            // may be null
    std::optional<std::string> checkpoint_uri;    // a local folder
    std::optional<std::string> impl;              // teacher or controller name
    bool is_controller = false;
    bool is_remote = false;
    bool custom_action_space = false;
    std::vector<std::string> children;            // orchestrators, sets, populations
};

class Agent : public GraphNode {
public:
    explicit Agent(AgentDefinition definition, std::weak_ptr<const Registry> registry = {});

    bool is_controller() const override { return definition_.is_controller; }
    std::vector<std::string> get_children() const override { return definition_.children; }
    bool is_remote() const override { return definition_.is_remote; }
    std::optional<std::string> get_checkpoint_uri() const override { return definition_.checkpoint_uri; }
    spaces::SpacePtr get_action_space() const override { return action_space_; }
    void set_action_space(spaces::SpacePtr space) override { action_space_ = std::move(space); }
    spaces::SpacePtr get_sim_sensor_space() const override { return sim_sensor_space_; }
    void set_sim_sensor_space(spaces::SpacePtr space) override { sim_sensor_space_ = std::move(space); }
    // The teacher or controller class, or null when the agent names none.
    // KeyError when the registry lacks the name; RuntimeError once the
    // orchestration (and with it the registry) is gone.
    ImplClassPtr get_impl_cls() const override;
    // A new teacher or controller instance per call, or null when the agent
    // names none. TypeError when the class is of the other kind.
    std::shared_ptr<Object> get_impl_cls_instance() const override;
    bool has_custom_action_space() const override { return definition_.custom_action_space; }

    const AgentDefinition& definition() const noexcept { return definition_; }
    // Used by the loader, which creates nodes before the registry exists.
    void bind_registry(std::weak_ptr<const Registry> registry) { registry_ = std::move(registry); }

private:
    AgentDefinition definition_;
    spaces::SpacePtr action_space_;
    spaces::SpacePtr sim_sensor_space_;
    std::weak_ptr<const Registry> registry_;
};

// An orchestrator's action is the choice of one child, so until a space is set
// on it its action space is Discrete over its children.
class AgentOrchestrator : public Agent {
public:
    using Agent::Agent;
    spaces::SpacePtr get_action_space() const override;
};
class AgentCoordinatedSet : public Agent { using Agent::Agent; };
class AgentCoordinatedPopulation : public Agent { using Agent::Agent; };

class PerceptorNode : public GraphNode {
public:
    PerceptorNode(std::string name, std::string impl, bool remote,
                  std::vector<std::string> sensors, std::weak_ptr<const Registry> registry = {});
    bool is_remote() const override { return remote_; }
    ImplClassPtr get_impl_cls() const override;
    std::shared_ptr<Object> get_impl_cls_instance() const override;
    // Names of the sensors this perceptor derives.
    const std::vector<std::string>& sensors() const noexcept { return sensors_; }
    void bind_registry(std::weak_ptr<const Registry> registry) { registry_ = std::move(registry); }

private:
    std::string impl_;
    bool remote_;
    std::vector<std::string> sensors_;
    std::weak_ptr<const Registry> registry_;
};

using PerceptorNodePtr = std::shared_ptr<PerceptorNode>;

class Orchestration : public Object {
public:
    // Reads and validates an orchestration file. Relative paths in it
    // (checkpoints, plugins) are resolved against the file's folder.
    static OrchestrationPtr load(const std::string& path);
    // The same from JSON text; `source` names it in errors.
    static OrchestrationPtr from_json(std::string_view text, const std::filesystem::path& base_dir,
                                      const std::string& source);

    bool is_initialized() const noexcept { return initialized_; }
    // Loads the plugin libraries, imports the modules of other languages the
    // file lists, and checks every implementation name; a remote node's
    // implementation may be missing here (it lives on an implementation
    // host), and then stands registered without a version by a factory that
    // raises RuntimeError, as only a host can make one. A
    // failed init leaves the orchestration uninitialised and its registry as
    // it was before the call; it may be retried. Once initialised, init()
    // does nothing.
    // Plugin libraries stay loaded for the life of the process, since objects
    // made by their factories may outlive the orchestration.
    Task<void> init();

    const std::string& id() const noexcept { return id_; }
    GraphNodePtr get_top_agent() const;
    // KeyError naming the missing node and the file.
    GraphNodePtr get_node_by_name(std::string_view name) const;
    const std::vector<GraphNodePtr>& nodes() const noexcept { return nodes_; }

    // Perceptor nodes in file order, or none when the file declares none.
    std::optional<std::vector<PerceptorNodePtr>> perceptors;
    // Every sensor, in file order (raw sensors and derived ones).
    SensorList sensors;
    // The simulator's sensor space, when the file declares one.
    spaces::SpacePtr sim_sensor_space;
    // The file's "model_session" section; a host's settings override it.
    ModelSessionSettings model_session;

    // Implementations available to this orchestration. Hosts may add their own
    // before init().
    Registry& registry() noexcept { return *registry_; }
    const Registry& registry() const noexcept { return *registry_; }
    // Plugin libraries to load at init: absolute paths, or bare file names
    // looked up next to the file, in TARVIK_PLUGIN_PATH, then beside the
    // runtime's libraries.
    const std::vector<std::string>& plugins() const noexcept { return plugins_; }
    // Names of the implementations the file uses (teachers, controllers,
    // perceptors), in file order, each once.
    std::vector<std::string> implementation_names() const;
    // Modules of other languages to import at init, after the plugins, in
    // file order (see importers.hpp).
    const std::vector<ModuleImport>& imports() const noexcept { return imports_; }
    // The file it came from, or the name given to from_json; errors start with it.
    const std::string& source() const noexcept { return source_; }
    std::string repr() const override;

    Orchestration();
    ~Orchestration() override;

private:
    friend class OrchestrationLoader;
    // An implementation name the file uses: where (JSON path), and the kind
    // the registry must hold it as. Checked by init().
    struct ImplRef {
        std::string json_path;
        std::string name;
        ImplKind kind;
        bool remote = false;  // the node runs it on an implementation host
    };
    void load_plugins();
    void check_implementations() const;
    void register_remote_only();

    std::string id_;
    std::string source_;
    std::string base_dir_;
    std::string top_agent_;
    std::vector<GraphNodePtr> nodes_;
    std::vector<std::string> plugins_;
    std::vector<ModuleImport> imports_;
    std::shared_ptr<Registry> registry_;
    std::vector<ImplRef> impl_refs_;
    bool initialized_ = false;
};

}  // namespace tarvik_core
