// Lazy binding between the runtime's libraries, and the initialisation guard.
//
// import_module("tarvik_inference.moldrix") opens the shared library of that
// module (libtarvik_inference_moldrix.so) once per process and returns a
// handle whose entry points are looked up by name. It searches, in order, the
// folders of TARVIK_MODULE_PATH (colon-separated) and the folder that holds
// the tarvik_core library itself, which is where the build and the install put
// every module. A module that cannot be found or opened is an ImportError
// naming the module and every place looked; a missing entry point is an
// ImportError naming the module and the symbol. Modules are never unloaded.
// A failed import is not remembered: a later call looks again. Names other
// than dotted identifiers (empty, "..", slashes) are a ValueError, so a name
// can never reach a file outside the module folders. Thread-safe.
//
// This is how a library "loads X when Y runs": the binding happens at the
// moment of the call, so a missing module fails exactly that call.
#pragma once

#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "tarvik_core/errors.hpp"

namespace tarvik_core {

class ImportError : public Error {
public:
    using Error::Error;
    const char* kind() const noexcept override { return "ImportError"; }
};

class Module {
public:
    Module(std::string name, std::string path, void* handle)
        : name_(std::move(name)), path_(std::move(path)), handle_(handle) {}
    const std::string& name() const noexcept { return name_; }
    const std::string& path() const noexcept { return path_; }
    // The address of an exported symbol; ImportError when absent.
    void* symbol(std::string_view symbol_name) const;
    template <class Fn>
    Fn* function(std::string_view symbol_name) const {
        return reinterpret_cast<Fn*>(symbol(symbol_name));
    }

private:
    std::string name_;
    std::string path_;
    void* handle_;
};

const Module& import_module(std::string_view dotted_name);

// The folders of a colon-separated search-path variable, in order, then the
// folder that holds the tarvik_core library (where the build and the install
// put every runtime library). Plugins given by bare file name are looked up
// the same way, with TARVIK_PLUGIN_PATH.
std::vector<std::string> library_search_folders(const char* environment_variable);

// The guard of classes that must be initialised before use: throws
// RuntimeError "<Class>.<operation>() called before init() completed" when
// `initialized` is false.
void ensure_cls_is_initialized(const std::type_info& cls, bool initialized, std::string_view operation);

}  // namespace tarvik_core
