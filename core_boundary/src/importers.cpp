// The importer table and the import step of Orchestration::init.
#include "tarvik_core/importers.hpp"

#include <map>
#include <mutex>
#include <utility>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"

namespace tarvik_core {

namespace {

struct ImporterTable {
    std::mutex mutex;
    std::map<std::string, Importer, std::less<>> importers;
};

ImporterTable& table() {
    static ImporterTable instance;
    return instance;
}

// A copy, so that the importer runs without the table locked: it may import
// further modules, or install importers of its own.
Importer importer_for(const std::string& language) {
    ImporterTable& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.importers.find(language);
    return it == t.importers.end() ? Importer() : it->second;
}

}  // namespace

void install_importer(const std::string& language, Importer importer) {
    ImporterTable& t = table();
    std::lock_guard lock(t.mutex);
    if (importer) t.importers[language] = std::move(importer);
    else t.importers.erase(language);
}

bool has_importer(const std::string& language) { return static_cast<bool>(importer_for(language)); }

void import_modules(const std::vector<ModuleImport>& requests, Registry& registry, const std::string& source) {
    const std::string origin = registry.origin();
    for (const auto& request : requests) {
        const std::string where = source + ": " + request.json_path + ": cannot import " + request.language +
                                  " module '" + request.module + "': ";
        Importer importer = importer_for(request.language);
        if (!importer)
            throw ImportError(where + "no importer for " + request.language + " modules is installed (a " +
                              request.language + " host must load this orchestration)");
        registry.set_origin(request.language + " module " + request.module);
        try {
            importer(request, registry);
        } catch (...) {
            registry.set_origin(origin);
            std::exception_ptr failure = std::current_exception();
            if (!is_ordinary_error(failure)) throw;
            ImportError error(where + error_text(failure));
            error.set_cause(failure);
            throw error;
        }
        registry.set_origin(origin);
    }
}

}  // namespace tarvik_core
