// What an implementation host serves, by name, kind and version.
#include <algorithm>
#include <cctype>

#include "tarvik_core/errors.hpp"
#include "tarvik_remote/host.hpp"

namespace tarvik_remote {

using tarvik_core::ImplClassPtr;

namespace {

std::vector<std::string> split_version(const std::string& version) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto dot = version.find('.', start);
        parts.push_back(version.substr(start, dot - start));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

bool is_number(const std::string& part) {
    return !part.empty() && part.size() <= 18 &&
           std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string quoted_versions(const std::vector<ImplClassPtr>& classes) {
    std::string out;
    for (const auto& cls : classes) out += (out.empty() ? "'" : ", '") + cls->version() + "'";
    return out;
}

}  // namespace

bool version_less(const std::string& a, const std::string& b) {
    const auto pa = split_version(a), pb = split_version(b);
    for (std::size_t i = 0; i < std::min(pa.size(), pb.size()); ++i) {
        if (pa[i] == pb[i]) continue;
        if (is_number(pa[i]) && is_number(pb[i])) return std::stoll(pa[i]) < std::stoll(pb[i]);
        return pa[i] < pb[i];
    }
    return pa.size() < pb.size();
}

void Catalog::add(const tarvik_core::Registry& registry) {
    auto merged = by_name_;
    for (const auto& name : registry.names()) {
        ImplClassPtr cls = registry.find(name);
        auto& served = merged[name];
        for (const auto& other : served) {
            if (other->kind() != cls->kind())
                throw tarvik_core::ValueError("'" + name + "' is served as a " +
                                              std::string(tarvik_core::impl_kind_name(other->kind())) + " (by " +
                                              other->origin() + ") and as a " +
                                              std::string(tarvik_core::impl_kind_name(cls->kind())) + " (by " +
                                              cls->origin() + ")");
            if (other->version() == cls->version())
                throw tarvik_core::ValueError("version '" + cls->version() + "' of '" + name + "' is served twice: by " +
                                              other->origin() + " and by " + cls->origin());
        }
        served.insert(std::upper_bound(served.begin(), served.end(), cls,
                                       [](const ImplClassPtr& a, const ImplClassPtr& b) {
                                           return version_less(a->version(), b->version());
                                       }),
                      cls);
    }
    by_name_ = std::move(merged);
}

std::string Catalog::load_plugin(const std::string& library) {
    tarvik_core::Registry registry;
    std::string path = tarvik_core::load_plugin(library, registry);
    add(registry);
    return path;
}

ImplClassPtr Catalog::find(tarvik_core::ImplKind kind, const std::string& name, const std::string& version,
                           const std::string& where) const {
    const std::string kind_name(tarvik_core::impl_kind_name(kind));
    auto it = by_name_.find(name);
    if (it == by_name_.end()) {
        std::vector<std::string> names;
        for (const auto& [served, classes] : by_name_)
            if (classes.front()->kind() == kind) names.push_back(served);
        throw tarvik_core::KeyError("no " + kind_name + " named '" + name + "' is served " + where + " (it serves: " +
                                    tarvik_core::repr_names(names) + ")");
    }
    const auto& classes = it->second;
    if (classes.front()->kind() != kind)
        throw tarvik_core::TypeError("'" + name + "' is served " + where + " as a " +
                                     std::string(tarvik_core::impl_kind_name(classes.front()->kind())) + ", not a " +
                                     kind_name);
    if (version == "latest") return classes.back();
    for (const auto& cls : classes)
        if (cls->version() == version) return cls;
    throw tarvik_core::ValueError("version '" + version + "' of " + kind_name + " '" + name + "' is not served " +
                                  where + " (it serves " + (classes.size() == 1 ? "version " : "versions ") +
                                  quoted_versions(classes) + ")");
}

std::vector<ImplClassPtr> Catalog::classes() const {
    std::vector<ImplClassPtr> out;
    for (const auto& [name, classes] : by_name_) out.insert(out.end(), classes.begin(), classes.end());
    return out;
}

}  // namespace tarvik_remote
