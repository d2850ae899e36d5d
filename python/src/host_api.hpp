// What the Python package offers an implementation host.
//
// tarvik-host --python-module opens libtarvik_python_host (host_module.cpp),
// which starts an interpreter when none runs, imports the tarvik package and
// takes this table from the capsule tarvik._tarvik._host_api. Going through
// the extension keeps one copy of the adapters, the registry's C++ side and
// the value conversions in the process: the host serves Python classes
// through exactly the wrappers an in-process runtime uses.
//
// register_module imports a Python module (sys.path as the interpreter has
// it) and adds the teachers, controllers and perceptors it registers to
// `registry`: those registered while it was imported, and those registered
// by it or its submodules before. It takes the GIL itself, and installs the
// host scheduler (bridge.hpp): `async def` methods then run on the package's
// host loop (tarvik/_host.py). Errors:
// ImportError "cannot import Python module '<name>': <exception>" (with the
// traceback, unless the module itself was not found); ValueError when the
// module registers nothing, or a name the registry already holds from
// elsewhere.
#pragma once

#include "tarvik_core/implementations.hpp"

namespace tarvik_python {

struct HostApi {
    // kHostApiVersion of the extension that filled the table: a host module
    // built against another layout refuses it.
    int version;
    void (*register_module)(tarvik_core::Registry& registry, const char* module);
};

inline constexpr int kHostApiVersion = 1;
inline constexpr const char* kHostApiCapsule = "tarvik._tarvik._host_api";

// The table (for module.cpp, which publishes it).
const HostApi& host_api();

}  // namespace tarvik_python
