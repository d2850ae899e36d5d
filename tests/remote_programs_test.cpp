// tarvik-host and tarvik-serve as programs: started as child processes on
// loopback ports they pick, used, and stopped with SIGTERM (exit status 0).
#include "remote_support.hpp"
#include "support/temp_dir.hpp"
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
