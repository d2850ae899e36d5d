// Default operations of teachers, controllers and perceptors, implementation
// classes, and the per-orchestration registry.
#include "tarvik_core/implementations.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <utility>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"

namespace tarvik_core {

// --- defaults: pass everything through -------------------------------------

Task<Value> AgentImplementation::filtered_sensor_space() { co_return Value{}; }

Task<void> AgentImplementation::reset() { co_return; }

Task<Value> Teacher::transform_sensors(const Value& obs, const Value& /*extra*/) { co_return obs; }

Task<Value> Teacher::compute_action_mask(const Value& /*obs*/, const Value& /*previous_action*/) {
    co_return Value{};
}

Task<Value> Teacher::transform_action(const Value& /*obs*/, const Value& action) { co_return action; }

Task<Value> Teacher::compute_reward(const Value& /*obs*/, const Value& /*action*/, const Value& sim_reward) {
    co_return sim_reward;
}

Task<Value> Teacher::compute_success_criteria(const Value& /*obs*/, const Value& /*action*/) {
    co_return Value(false);
}

Task<Value> Teacher::compute_termination(const Value& /*obs*/, const Value& /*action*/) {
    co_return Value(false);
}

Task<Value> Perceptor::compute_sensors(const Value& /*sensors*/) { co_return Value(Dict{}); }

Task<void> Perceptor::reset() { co_return; }

// --- ImplClass ----------------------------------------------------------------

std::string_view impl_kind_name(ImplKind kind) noexcept {
    switch (kind) {
        case ImplKind::teacher: return "teacher";
        case ImplKind::controller: return "controller";
        case ImplKind::perceptor: return "perceptor";
        case ImplKind::simulator: return "simulator";
    }
    return "implementation";
}

ImplClass::ImplClass(std::string name, ImplKind kind, Factory factory, std::string version, std::string origin)
    : name_(std::move(name)),
      kind_(kind),
      factory_(std::move(factory)),
      version_(std::move(version)),
      origin_(std::move(origin)) {}

std::shared_ptr<Object> ImplClass::instantiate() const {
    auto instance = factory_();
    // A null instance would only fail later, far from its cause, as a null
    // dereference inside a processor.
    if (!instance)
        throw RuntimeError("the factory of " + std::string(impl_kind_name(kind_)) + " '" + name_ +
                           "' (registered by " + origin_ + ") returned no object");
    return instance;
}

std::string ImplClass::repr() const {
    return "<ImplClass " + std::string(impl_kind_name(kind_)) + " '" + name_ + "' " + version_ + " from " +
           origin_ + ">";
}

// --- Registry -------------------------------------------------------------------

namespace {
// Wraps a typed factory into the untyped form ImplClass stores; the typed
// signature is what guarantees that a teacher's factory makes teachers.
template <class T>
ImplClass::Factory erase(Registry::FactoryOf<T> factory) {
    if (!factory) return {};
    return [f = std::move(factory)]() -> std::shared_ptr<Object> { return f(); };
}
}  // namespace

void Registry::add_teacher(std::string name, FactoryOf<Teacher> factory, std::string version) {
    add(std::move(name), ImplKind::teacher, erase(std::move(factory)), std::move(version));
}

void Registry::add_controller(std::string name, FactoryOf<Controller> factory, std::string version) {
    add(std::move(name), ImplKind::controller, erase(std::move(factory)), std::move(version));
}

void Registry::add_perceptor(std::string name, FactoryOf<Perceptor> factory, std::string version) {
    add(std::move(name), ImplKind::perceptor, erase(std::move(factory)), std::move(version));
}

void Registry::add_simulator(std::string name, FactoryOf<Object> factory, std::string version) {
    add(std::move(name), ImplKind::simulator, erase(std::move(factory)), std::move(version));
}

void Registry::add(std::string name, ImplKind kind, ImplClass::Factory factory, std::string version) {
    const std::string kind_name(impl_kind_name(kind));
    if (name.empty()) throw ValueError("a " + kind_name + " cannot be registered without a name (by " + origin_ + ")");
    if (!factory)
        throw ValueError("implementation '" + name + "' is registered without a factory (by " + origin_ + ")");
    if (auto it = classes_.find(name); it != classes_.end())
        throw ValueError("implementation '" + name + "' is registered twice: by " + it->second->origin() +
                         " and by " + origin_);
    auto cls = std::make_shared<const ImplClass>(name, kind, std::move(factory), std::move(version), origin_);
    classes_.emplace(std::move(name), std::move(cls));
}

ImplClassPtr Registry::find(std::string_view name) const {
    auto it = classes_.find(name);
    return it == classes_.end() ? nullptr : it->second;
}

ImplClassPtr Registry::get(std::string_view name) const {
    if (auto cls = find(name)) return cls;
    throw KeyError("no implementation named '" + std::string(name) + "' (known: " + repr_names(names()) + ")");
}

std::vector<std::string> Registry::names() const {
    std::vector<std::string> out;
    out.reserve(classes_.size());
    for (const auto& [name, cls] : classes_) out.push_back(name);
    return out;
}

std::vector<std::string> Registry::names(ImplKind kind) const {
    std::vector<std::string> out;
    for (const auto& [name, cls] : classes_)
        if (cls->kind() == kind) out.push_back(name);
    return out;
}

// --- plugin libraries -------------------------------------------------------------

std::string load_plugin(const std::string& library, Registry& registry, const std::vector<std::string>& folders) {
    namespace fs = std::filesystem;
    std::string path = library;
    std::error_code ec;
    if (path.find('/') == std::string::npos) {
        std::vector<std::string> candidates = folders;
        for (auto& folder : library_search_folders("TARVIK_PLUGIN_PATH")) candidates.push_back(std::move(folder));
        std::string looked;
        for (const auto& folder : candidates) {
            const fs::path candidate = fs::path(folder) / path;
            if (fs::exists(candidate, ec)) {
                path = candidate.string();
                break;
            }
            looked += (looked.empty() ? "" : ", ") + folder;
        }
        if (path.find('/') == std::string::npos)
            throw FileNotFoundError("plugin library not found: " + path + " (looked in: " + looked + ")");
    }
    if (!fs::exists(path, ec)) throw FileNotFoundError("plugin library not found: " + path);
    // RTLD_LOCAL: two plugins may define the same internal symbols. The
    // handle is never closed.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        throw ImportError("cannot load plugin library " + path + ": " + (error ? error : "unknown error"));
    }
    dlerror();
    void* entry = dlsym(handle, kPluginEntryPoint);
    if (!entry)
        throw ImportError("plugin library " + path + " does not export the entry point '" + kPluginEntryPoint + "'");
    registry.set_origin(path);
    reinterpret_cast<RegisterFn>(entry)(registry);
    return path;
}

}  // namespace tarvik_core
