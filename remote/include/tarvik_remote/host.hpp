// The implementation host: serves teachers, controllers and perceptors to
// runtimes in other processes over gRPC (the program tarvik-host is a thin
// command line around HostServer).
//
// A Catalog says what is served: every class of the registries added to it,
// usually one registry per plugin library. Unlike one orchestration's
// registry, a catalog may hold several versions of one name (from different
// plugins), so that runtimes pinned to an old version keep working while new
// ones get the newest: create_with_client asks for a version or for
// "latest" (the highest, comparing dot-separated parts numerically).
//
// Plugin libraries are one source of classes; anything that fills a
// tarvik_core::Registry is another (this is where Python modules come in:
// their classes are registered into a Registry by the Python package and
// added with Catalog::add).
//
// HostServer listens, and gives every create_with_client a new instance and
// a client id of its own, kept in the calling runtime's session. A session
// that sends nothing (no call, no heartbeat) for `lease` is dropped with all
// its objects: that is how the objects of a runtime that crashed or lost its
// network are freed. Calls on one object run one at a time, on that object's
// own event loop; different objects run in parallel on gRPC's threads.
//
// Ownership: the server owns its catalog, its sessions and every instance it
// made. shutdown() (also run by the destructor) stops listening, lets calls
// in progress finish within a grace period, and destroys every instance.
//
// Errors: constructing a HostServer raises RuntimeError when it cannot
// listen on the address; Catalog raises ValueError for a name and version
// served twice. What goes wrong in a call is answered to the caller, never
// thrown here.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tarvik_core/implementations.hpp"

namespace tarvik_remote {

class Catalog {
public:
    // Adds every class of `registry`. ValueError when a name is already
    // served at the same version (naming both origins) or as another kind.
    // Nothing is added when it fails.
    void add(const tarvik_core::Registry& registry);
    // Loads a plugin library into a registry of its own (see
    // tarvik_core::load_plugin for how a bare name is looked up) and adds
    // it; returns the library's path.
    std::string load_plugin(const std::string& library);

    // The class a create_with_client of `kind` asks for. KeyError when
    // nothing is served under `name`, TypeError when it is another kind,
    // ValueError for a version not served (the message lists those that
    // are; `where` says where, "at <address>").
    tarvik_core::ImplClassPtr find(tarvik_core::ImplKind kind, const std::string& name, const std::string& version,
                                   const std::string& where) const;

    // Every class served: by name, then by version, oldest first.
    std::vector<tarvik_core::ImplClassPtr> classes() const;
    bool empty() const noexcept { return by_name_.empty(); }

private:
    std::map<std::string, std::vector<tarvik_core::ImplClassPtr>, std::less<>> by_name_;
};

// Orders versions: dot-separated parts, numbers as numbers ("1.10" > "1.9"),
// other parts as text; a version that runs out of parts first is older.
bool version_less(const std::string& a, const std::string& b);

struct HostOptions {
    // host:port to listen on; port 0 picks a free port (see HostServer::port).
    std::string listen = "127.0.0.1:50051";
    // How long a session may stay silent before the host drops it.
    std::chrono::milliseconds lease{10000};
    std::int64_t max_message_bytes = 16 << 20;
};

class HostServer {
public:
    HostServer(Catalog catalog, HostOptions options);
    ~HostServer();
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    // The port it listens on (the one picked when the options said 0).
    int port() const noexcept;
    // host:port as clients reach it.
    std::string address() const;

    // Stops serving: no new calls, calls in progress get `grace` to finish,
    // then every session and instance is dropped. Idempotent.
    void shutdown(std::chrono::milliseconds grace = std::chrono::seconds(2));

    std::size_t session_count() const;
    std::size_t object_count() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tarvik_remote
