// tarvik-host and tarvik-serve as programs: started as child processes on
// loopback ports they pick, used, and stopped with SIGTERM (exit status 0).
#include <cmath>
#include <cstdlib>

#include "remote_support.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_remote/host.hpp"
#include "tarvik_remote/serve_client.hpp"

namespace {

using namespace remote_test;

TEST(Programs, HostAndServeChainedGiveTheLocalActionsAndStopCleanly) {
    ChildProcess host(TARVIK_HOST_EXE, {"--listen", "127.0.0.1:0", "--lease", "2", TARVIK_CARTPOLE_PLUGIN});
    const std::string host_address = host.wait_for_line("tarvik-host: listening on ");
    ASSERT_FALSE(host_address.empty());

    // A runtime in this process, its implementations in the host.
    const auto readings = cartpole_readings(20, 11);
    Runtime local(cartpole(false), Value());
    const auto expected = actions_for(local, readings);
    {
        Runtime remote(cartpole(true), remote_config(host_address));
        EXPECT_EQ(actions_for(remote, readings), expected);
        remote.close();
    }

    // A serving endpoint whose runtimes reach the same host.
    tarvik_test::TempDir dir;
    const std::string file = dir.write("remote_cartpole.json", cartpole_json(true)).string();
    ChildProcess serve(TARVIK_SERVE_EXE,
                       {"--listen", "127.0.0.1:0", "--implementations", host_address, "--idle-timeout", "5", file});
    const std::string serve_address = serve.wait_for_line("tarvik-serve: listening on ");
    ASSERT_FALSE(serve_address.empty());
    tarvik_remote::ServeClient client(serve_address);
    client.open();
    std::vector<Value> served;
    Value previous;
    for (const auto& step : readings) served.push_back(previous = client.execute(step, Value(), previous));
    EXPECT_EQ(served, expected);

    // Stopped with a session and its stream open: both end, and so does the program.
    EXPECT_EQ(serve.terminate(), 0);
    EXPECT_THROW(client.execute(readings[0]), RuntimeError);
    EXPECT_EQ(host.terminate(), 0);
}

#ifdef TARVIK_PYTHON_HOST
// A perceptor and a teacher that really suspend (async def), and a
// controller acting on the perceptor's sensor, so that every hosted part
// shows in the pendulum's actions.
constexpr const char* kPythonRules = R"(
import asyncio
import numpy as np
import tarvik

def value(obs, name):
    return float(np.asarray(obs[name]).reshape(-1)[0])

@tarvik.perceptor("host_energy")
class Energy:
    async def compute_sensors(self, sensors):
        await asyncio.sleep(0.001)
        energy = 0.5 * value(sensors, "theta_dot") ** 2 + 15.0 * value(sensors, "cos_theta")
        return {"energy": np.array([energy], dtype=np.float32)}

@tarvik.controller("host_pump")
class Pump:
    def compute_action(self, obs, previous_action):
        direction = value(obs, "theta_dot") or 1.0
        return np.array([np.clip((15.0 - value(obs, "energy")) * direction, -2.0, 2.0)], dtype=np.float32)

@tarvik.teacher("host_stabilize")
class Stabilize(tarvik.Teacher):
    def filtered_sensor_space(self):
        return ["sin_theta", "theta_dot"]

    async def transform_action(self, obs, action):
        await asyncio.sleep(0.001)
        return action * np.float32(0.5)
)";

// The pendulum example with those rules: served remotely, or imported into
// this process by the file's "imports".
OrchestrationPtr python_pendulum(const fs::path& folder, bool remote) {
    const fs::path example = fs::path(TARVIK_SOURCE_DIR) / "examples" / "pendulum";
    std::ifstream in(example / "orchestration.json");
    nlohmann::json file = nlohmann::json::parse(in);
    file["sensors"].push_back({{"name", "energy"},
                               {"space", {{"type", "Box"}, {"low", -100.0}, {"high", 100.0}, {"shape", {1}}}},
                               {"source", {{"perceptor", "energy"}}}});
    file["perceptors"] = {{{"name", "energy"}, {"implementation", "host_energy"}, {"sensors", {"energy"}},
                           {"remote", remote}}};
    for (auto& agent : file["agents"]) {
        if (agent["name"] == "swing_up") agent.update({{"controller", "host_pump"}, {"remote", remote}});
        if (agent["name"] == "stabilize")
            agent.update({{"teacher", "host_stabilize"}, {"remote", remote}, {"checkpoint", (example / "models").string()}});
    }
    if (!remote) file["imports"] = {{"python", {"host_rules_py"}}};
    return Orchestration::from_json(file.dump(), folder, remote ? "remote python pendulum" : "python pendulum");
}

TEST(Programs, HostServesAPythonModuleWithTheActionsOfTheSameClassesInProcess) {
    tarvik_test::TempDir dir;
    dir.write("host_rules_py.py", kPythonRules);
    // The host finds the module on PYTHONPATH, and its own package by itself.
    ::setenv("PYTHONPATH", dir.path().c_str(), 1);
    ChildProcess host(TARVIK_HOST_EXE, {"--listen", "127.0.0.1:0", "--python-module", "host_rules_py"});
    const std::string address = host.wait_for_line("tarvik-host: listening on ");
    ASSERT_FALSE(address.empty());

    // This process gets the same classes through the same support: it starts
    // an interpreter here and installs the package's importer of "python"
    // modules, which the in-process file's imports then use.
    Registry scratch;
    import_module("tarvik_python.host")
        .function<void(Registry&, const char*)>("tarvik_python_register_module")(scratch, "host_rules_py");

    std::vector<Value> states;
    for (double theta : {0.1, 0.4, 2.0, 3.0})
        for (double speed : {-1.5, 0.7})
            states.emplace_back(Dict{{"cos_theta", std::cos(theta)}, {"sin_theta", std::sin(theta)}, {"theta_dot", speed}});
    Runtime local(python_pendulum(dir.path(), false), Value());
    const auto expected = actions_for(local, states);
    {
        Runtime remote(python_pendulum(dir.path(), true), remote_config(address));
        EXPECT_EQ(actions_for(remote, states), expected);
        remote.close();
    }
    EXPECT_EQ(host.terminate(), 0);
}
#endif

TEST(Programs, BadStartsExitWithAClearError) {
    ChildProcess no_plugins(TARVIK_HOST_EXE, {});
    EXPECT_EQ(no_plugins.wait_for_line("tarvik-host: error: "), "give at least one plugin library or --python-module");
    EXPECT_EQ(no_plugins.wait(), 2);
    ChildProcess missing(TARVIK_SERVE_EXE, {"--listen", "127.0.0.1:0", "/nonexistent/orchestration.json"});
    EXPECT_EQ(missing.wait_for_line("tarvik-serve: error: "), "orchestration file not found: /nonexistent/orchestration.json");
    EXPECT_EQ(missing.wait(), 1);

    // A port another host holds is refused, not shared.
    tarvik_remote::Catalog catalog;
    catalog.load_plugin(TARVIK_CARTPOLE_PLUGIN);
    tarvik_remote::HostServer holder(catalog, tarvik_remote::HostOptions{.listen = "127.0.0.1:0"});
    ChildProcess taken(TARVIK_HOST_EXE, {"--listen", holder.address(), TARVIK_CARTPOLE_PLUGIN});
    EXPECT_EQ(taken.wait_for_line("tarvik-host: error: "),
              "cannot listen on " + holder.address() + " (the address is in use, or not an address of this machine)");
    EXPECT_EQ(taken.wait(), 1);
}

}  // namespace
