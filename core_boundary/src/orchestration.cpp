// Graph nodes and the orchestration object (loading is in
// orchestration_loader.cpp).
#include "tarvik_core/orchestration.hpp"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/modules.hpp"

namespace tarvik_core {

namespace {

Logger& logger() {
    static Logger& log = get_logger("tarvik_core.orchestration");
    return log;
}

// The class behind `impl`, looked up in the registry of the node's
// orchestration. The node only holds a weak reference: nodes may be kept by
// processors after the orchestration is dropped, and must then fail clearly.
ImplClassPtr resolve(const std::weak_ptr<const Registry>& registry, const GraphNode& node, const std::string& impl) {
    auto live = registry.lock();
    if (!live)
        throw RuntimeError(node.class_name() + " '" + node.get_name() + "' cannot resolve implementation '" + impl +
                           "': it belongs to no live orchestration");
    return live->get(impl);
}

bool instance_has_kind(const Object& instance, ImplKind kind) {
    switch (kind) {
        case ImplKind::teacher: return dynamic_cast<const Teacher*>(&instance) != nullptr;
        case ImplKind::controller: return dynamic_cast<const Controller*>(&instance) != nullptr;
        case ImplKind::perceptor: return dynamic_cast<const Perceptor*>(&instance) != nullptr;
        case ImplKind::simulator: return false;  // no node uses a simulator
    }
    return false;
}

// A new instance of `cls`, which the node uses as a `wanted`. Processors
// downcast what they get, so a class of another kind must fail here, with the
// names involved, rather than as a null pointer later.
std::shared_ptr<Object> instantiate_as(const ImplClass& cls, ImplKind wanted, const GraphNode& node) {
    const std::string who = node.class_name() + " '" + node.get_name() + "'";
    const std::string wanted_name(impl_kind_name(wanted));
    if (cls.kind() != wanted)
        throw TypeError(who + " uses '" + cls.name() + "' as its " + wanted_name + ", but '" + cls.name() +
                        "' is registered as a " + std::string(impl_kind_name(cls.kind())));
    auto instance = cls.instantiate();
    if (!instance_has_kind(*instance, wanted))
        throw TypeError(who + ": the factory of " + wanted_name + " '" + cls.name() + "' made a " +
                        instance->class_name() + ", which is not a " + wanted_name);
    return instance;
}

}  // namespace

// --- GraphNode: agent operations are missing on non-agent nodes ---------------

void GraphNode::no_attribute(std::string_view attribute) const {
    throw AttributeError("'" + class_name() + "' object has no attribute '" + std::string(attribute) + "'");
}

std::vector<std::string> GraphNode::get_children() const { no_attribute("get_children"); }
bool GraphNode::is_remote() const { no_attribute("is_remote"); }
std::optional<std::string> GraphNode::get_checkpoint_uri() const { no_attribute("get_checkpoint_uri"); }
spaces::SpacePtr GraphNode::get_action_space() const { no_attribute("get_action_space"); }
void GraphNode::set_action_space(spaces::SpacePtr) { no_attribute("set_action_space"); }
spaces::SpacePtr GraphNode::get_sim_sensor_space() const { no_attribute("get_sim_sensor_space"); }
void GraphNode::set_sim_sensor_space(spaces::SpacePtr) { no_attribute("set_sim_sensor_space"); }
ImplClassPtr GraphNode::get_impl_cls() const { no_attribute("get_impl_cls"); }
std::shared_ptr<Object> GraphNode::get_impl_cls_instance() const { no_attribute("get_impl_cls_instance"); }
bool GraphNode::has_custom_action_space() const { no_attribute("has_custom_action_space"); }

std::string GraphNode::repr() const {
    // Appended, not concatenated: g++ 12 warns falsely (-Wrestrict) about
    // "literal" + std::string&& at -O2 and above.
    std::string out = "<";
    out += class_name();
    out += " '";
    out += get_name();
    out += "'>";
    return out;
}

// --- Agent -------------------------------------------------------------------

Agent::Agent(AgentDefinition definition, std::weak_ptr<const Registry> registry)
    : GraphNode(definition.name),
      definition_(std::move(definition)),
      action_space_(definition_.action_space),
      sim_sensor_space_(definition_.sim_sensor_space),
      registry_(std::move(registry)) {}

ImplClassPtr Agent::get_impl_cls() const {
    if (!definition_.impl) return nullptr;
    return resolve(registry_, *this, *definition_.impl);
}

std::shared_ptr<Object> Agent::get_impl_cls_instance() const {
    auto cls = get_impl_cls();
    if (!cls) return nullptr;
    return instantiate_as(*cls, definition_.is_controller ? ImplKind::controller : ImplKind::teacher, *this);
}

// --- PerceptorNode ------------------------------------------------------------

PerceptorNode::PerceptorNode(std::string name, std::string impl, bool remote, std::vector<std::string> sensors,
                             std::weak_ptr<const Registry> registry)
    : GraphNode(std::move(name)),
      impl_(std::move(impl)),
      remote_(remote),
      sensors_(std::move(sensors)),
      registry_(std::move(registry)) {}

ImplClassPtr PerceptorNode::get_impl_cls() const { return resolve(registry_, *this, impl_); }

std::shared_ptr<Object> PerceptorNode::get_impl_cls_instance() const {
    return instantiate_as(*get_impl_cls(), ImplKind::perceptor, *this);
}

// --- Orchestration --------------------------------------------------------------

Orchestration::Orchestration() : registry_(std::make_shared<Registry>()) {}

Orchestration::~Orchestration() = default;

Task<void> Orchestration::init() {
    if (initialized_) co_return;
    // Plugins write into the registry as they load; a failure part-way must
    // not leave some of their classes behind, or a retry would report them as
    // registered twice. Classes are immutable, so a copy is a full snapshot.
    Registry snapshot = *registry_;
    try {
        load_plugins();
        import_modules(imports_, *registry_, source_);
        check_implementations();
        register_remote_only();
    } catch (...) {
        *registry_ = std::move(snapshot);
        throw;
    }
    registry_->set_origin(snapshot.origin());
    initialized_ = true;
    co_return;
}

void Orchestration::load_plugins() {
    for (std::size_t i = 0; i < plugins_.size(); ++i) {
        const std::string where = source_ + ": $.plugins[" + std::to_string(i) + "]: ";
        std::string path;
        try {
            path = load_plugin(plugins_[i], *registry_, {base_dir_});
        } catch (const FileNotFoundError& e) {
            throw FileNotFoundError(where + e.what());
        } catch (const ImportError& e) {
            throw ImportError(where + e.what());
        }
        logger().debug("Loaded plugin " + path + " for orchestration '" + id_ + "'");
    }
}

void Orchestration::check_implementations() const {
    for (const auto& ref : impl_refs_) {
        auto cls = registry_->find(ref.name);
        if (cls && cls->kind() == ref.kind) continue;
        if (!cls && ref.remote) continue;  // served by an implementation host
        const std::string kind(impl_kind_name(ref.kind));
        std::string message = source_ + ": " + ref.json_path + ": no " + kind + " named '" + ref.name +
                              "' is registered (known: " + repr_names(registry_->names(ref.kind)) + ")";
        if (cls)
            message += "; '" + ref.name + "' is a " + std::string(impl_kind_name(cls->kind())) + ", registered by " +
                       cls->origin();
        throw ValueError(message);
    }
}

std::vector<std::string> Orchestration::implementation_names() const {
    std::vector<std::string> names;
    for (const auto& ref : impl_refs_)
        if (std::find(names.begin(), names.end(), ref.name) == names.end()) names.push_back(ref.name);
    return names;
}

// A remote node's implementation need not be loaded in this process: a
// runtime with a remote target only names it to the host. It still gets a
// class, so that nodes resolve it and the transports learn its name and kind;
// having no version, it is asked for as "latest".
void Orchestration::register_remote_only() {
    const std::string origin = registry_->origin();
    registry_->set_origin("no plugin (remote only)");
    for (const auto& ref : impl_refs_) {
        if (!ref.remote || registry_->find(ref.name)) continue;
        auto unavailable = [kind = std::string(impl_kind_name(ref.kind)), name = ref.name] {
            throw RuntimeError(kind + " '" + name +
                               "' is not registered in this process: it runs only on an implementation host "
                               "(a 'remote' target)");
        };
        switch (ref.kind) {
            case ImplKind::teacher:
                registry_->add_teacher(ref.name, [=]() -> std::shared_ptr<Teacher> { unavailable(); return nullptr; }, "");
                break;
            case ImplKind::controller:
                registry_->add_controller(ref.name, [=]() -> std::shared_ptr<Controller> { unavailable(); return nullptr; }, "");
                break;
            case ImplKind::perceptor:
                registry_->add_perceptor(ref.name, [=]() -> std::shared_ptr<Perceptor> { unavailable(); return nullptr; }, "");
                break;
        }
    }
    registry_->set_origin(origin);
}

GraphNodePtr Orchestration::get_top_agent() const {
    if (top_agent_.empty())
        throw RuntimeError("orchestration '" + id_ + "' (" + source_ + ") has no top agent");
    return get_node_by_name(top_agent_);
}

GraphNodePtr Orchestration::get_node_by_name(std::string_view name) const {
    for (const auto& node : nodes_)
        if (node->get_name() == name) return node;
    throw KeyError("no node named '" + std::string(name) + "' in orchestration '" + id_ + "' (" + source_ + ")");
}

std::string Orchestration::repr() const {
    std::size_t agents = 0;
    for (const auto& node : nodes_)
        if (dynamic_cast<const Agent*>(node.get())) ++agents;
    const std::size_t perceptor_count = perceptors ? perceptors->size() : 0;
    return "<Orchestration '" + id_ + "' from " + source_ + ": " + std::to_string(agents) + " agents, " +
           std::to_string(perceptor_count) + " perceptors, " + std::to_string(sensors.size()) + " sensors" +
           (initialized_ ? "" : ", not initialized") + ">";
}

spaces::SpacePtr AgentOrchestrator::get_action_space() const {
    if (auto space = Agent::get_action_space()) return space;
    const auto children = get_children();
    if (children.empty()) return nullptr;
    return std::make_shared<spaces::Discrete>(static_cast<std::int64_t>(children.size()));
}

}  // namespace tarvik_core
