// Fuzz target: the orchestration loader, fed arbitrary file contents.
//
// The bytes are the text of an orchestration file. Loading must either give
// a whole orchestration or fail with one of the runtime's own errors
// (tarvik_core::Error, the file's "<file>: <JSON path>: ..." ValueError for
// most); anything else escaping, a crash, a leak or undefined behaviour is a
// finding. What loads is then walked the way tools do (every node's spaces,
// every sensor's sizes, the text forms), since a file that loads must be
// usable. The base folder does not exist: loading never touches the disk
// beyond the file itself. With TARVIK_FUZZ_VERBOSE set, each outcome is
// printed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/orchestration.hpp"

namespace {

void walk(const tarvik_core::Orchestration& o) {
    (void)o.repr();
    (void)o.get_top_agent()->get_name();
    for (const auto& node : o.nodes()) {
        (void)node->repr();
        const auto* agent = dynamic_cast<const tarvik_core::Agent*>(node.get());
        if (!agent) continue;  // perceptor nodes have no children nor spaces
        for (const auto& child : agent->get_children()) (void)o.get_node_by_name(child);
        if (const auto space = agent->get_action_space()) {
            (void)space->repr();
            (void)space->flat_dim();
            (void)space->action_dist_size();
        }
    }
    for (const auto& sensor : o.sensors) {
        (void)sensor->space->repr();
        (void)sensor->flat_size();
        (void)tarvik_core::raw_reading_size(*sensor->space);
    }
    if (o.sim_sensor_space) (void)o.sim_sensor_space->repr();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarvik_core::set_console_logging(false);
    tarvik_core::set_default_log_level(tarvik_core::LogLevel::debug);  // messages are built, not shown
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool verbose = std::getenv("TARVIK_FUZZ_VERBOSE") != nullptr;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto orchestration =
            tarvik_core::Orchestration::from_json(text, "/nonexistent/tarvik-fuzz", "fuzz.json");
        walk(*orchestration);
        if (verbose) std::fprintf(stderr, "loaded %s\n", orchestration->repr().c_str());
    } catch (const tarvik_core::Error& e) {
        // refused with the runtime's own error: fine
        if (verbose) std::fprintf(stderr, "%s: %s\n", e.kind(), e.what());
    }
    return 0;
}
