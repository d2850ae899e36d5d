// Module loading (dlopen, once per module) and the initialisation guard.
#include "tarvik_core/modules.hpp"

#include <dlfcn.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "tarvik_core/value.hpp"

namespace tarvik_core {

namespace fs = std::filesystem;

namespace {

// Any function of this library: dladdr on it tells where tarvik_core lives.
void core_library_anchor() {}

// Module names are dotted identifiers; anything else (a slash, "..") could
// reach files outside the module folders, so it is refused before any lookup.
void check_module_name(std::string_view name) {
    bool valid = !name.empty() && name.front() != '.' && name.back() != '.' &&
                 name.find("..") == std::string_view::npos;
    for (char c : name)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.');
    if (!valid) throw ValueError("invalid module name '" + std::string(name) + "': expected a dotted name such as 'tarvik_inference.grafex'");
}

std::string library_file_name(std::string_view dotted_name) {
    std::string file = "lib";
    for (char c : dotted_name) file += c == '.' ? '_' : c;
    return file + ".so";
}

// TARVIK_MODULE_PATH entries in order, then the folder of tarvik_core. Read
// on every import, so a host may set the variable after start-up.
std::vector<std::string> module_folders() { return library_search_folders("TARVIK_MODULE_PATH"); }

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

struct ModuleCache {
    // Recursive: a module's static initialisers may import another module
    // while dlopen of the first still runs on this thread.
    std::recursive_mutex mutex;
    std::map<std::string, std::unique_ptr<Module>, std::less<>> modules;
};

ModuleCache& module_cache() {
    static ModuleCache cache;
    return cache;
}

}  // namespace

std::vector<std::string> library_search_folders(const char* environment_variable) {
    std::vector<std::string> folders;
    if (const char* path = std::getenv(environment_variable)) {
        std::string_view rest(path);
        while (!rest.empty()) {
            const auto colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (!entry.empty()) folders.emplace_back(entry);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&core_library_anchor), &info) != 0 && info.dli_fname) {
        std::error_code ec;
        fs::path folder = fs::weakly_canonical(fs::absolute(info.dli_fname, ec), ec).parent_path();
        if (!folder.empty()) folders.push_back(folder.string());
    }
    return folders;
}

const Module& import_module(std::string_view dotted_name) {
    check_module_name(dotted_name);
    ModuleCache& cache = module_cache();
    std::lock_guard lock(cache.mutex);
    if (auto it = cache.modules.find(dotted_name); it != cache.modules.end()) return *it->second;

    const std::string name(dotted_name);
    const std::string file = library_file_name(dotted_name);
    const std::vector<std::string> folders = module_folders();
    for (const auto& folder : folders) {
        const fs::path candidate = fs::path(folder) / file;
        std::error_code ec;
        if (!fs::exists(candidate, ec)) continue;
        // The first file found decides: a broken module is reported, not
        // silently replaced by another copy further down the path.
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (!handle) {
            const char* reason = dlerror();
            throw ImportError("cannot load module '" + name + "' from " + candidate.string() + ": " +
                              (reason ? reason : "unknown error"));
        }
        auto [it, inserted] = cache.modules.emplace(name, std::make_unique<Module>(name, candidate.string(), handle));
        return *it->second;
    }
    throw ImportError("No module named '" + name + "' (looked in: " + join(folders) + ")");
}

void* Module::symbol(std::string_view symbol_name) const {
    const std::string symbol(symbol_name);
    dlerror();  // a null symbol is legal; only dlerror tells a missing one apart
    void* address = dlsym(handle_, symbol.c_str());
    if (dlerror() != nullptr || address == nullptr)
        throw ImportError("module '" + name_ + "' has no entry point '" + symbol + "'");
    return address;
}

void ensure_cls_is_initialized(const std::type_info& cls, bool initialized, std::string_view operation) {
    if (!initialized)
        throw RuntimeError(class_name_of(cls) + "." + std::string(operation) + "() called before init() completed");
}

}  // namespace tarvik_core
