// Importers: implementations written in another language, named by an
// orchestration file.
//
// An orchestration file may list modules of another language whose
// implementations it uses:
//
//   "imports": {"python": ["mission.teachers"]}
//
// The core knows no such language itself. A host that embeds one (the Python
// package does, for "python") installs an importer for that language; when an
// orchestration initialises, after its plugin libraries, each listed module is
// handed to the importer of its language together with the orchestration's
// registry, and the importer registers what the module provides. Without an
// importer for the language, init fails with an ImportError that names the
// file, the JSON path and the language, so a file written for a Python host
// fails clearly in a C++ host.
//
// Ownership: the importer table is process-wide, since a language runtime is
// one per process; install_importer replaces the language's importer, and an
// empty function removes it. Thread-safe. Importers run on the thread that
// initialises the orchestration, without any lock of this table held.
//
// Errors: whatever an importer raises is rethrown as an ImportError
// "<file>: <JSON path>: cannot import <language> module '<name>': <message>"
// carrying the importer's failure as its cause; cancellation and interruption
// pass through unchanged.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tarvik_core/implementations.hpp"

namespace tarvik_core {

// One module an orchestration file asks for.
struct ModuleImport {
    std::string language;   // the key under "imports", e.g. "python"
    std::string module;     // the module's name in that language
    std::string json_path;  // where the file names it, e.g. "$.imports.python[0]"
    std::string base_dir;   // the folder of the orchestration file
};

// Registers the implementations of `request.module` into `registry`.
using Importer = std::function<void(const ModuleImport& request, Registry& registry)>;

void install_importer(const std::string& language, Importer importer);
bool has_importer(const std::string& language);

// Runs the importer of each request in order. `source` names the file in
// errors. Classes registered during a call record "<language> module <name>"
// as their origin unless the importer sets its own.
void import_modules(const std::vector<ModuleImport>& requests, Registry& registry, const std::string& source);

}  // namespace tarvik_core
