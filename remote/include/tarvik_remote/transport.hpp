// The gRPC transport: remote managers whose implementations live in an
// implementation host (tarvik-host) in another process or on another machine.
//
// A runtime normally never calls this: a NetworkMgr (and so Relayon and the
// Runvane facade) whose configuration has a "remote" target opens this
// library as the module tarvik_remote.transport and calls its entry point
// tarvik_remote_connect. Hosts that install managers by hand may call
// connect() and NetworkMgr::set_remote_manager.
//
// The four managers share one connection and one session on the host. The
// agent, perceptor and controller managers answer "create_with_client"
// exactly as the in-process transport does (same arguments, same errors for
// wrong arguments, unknown URLs and the wrong kind), but the object is made
// on the host: the pair they give back is (the host's client id, a proxy)
// whose every operation is one call to the host. "stop_all" stops the
// manager's objects there; stop_watchdogs ends the session (the host then
// drops whatever is left). While the session has objects, a background
// thread sends heartbeats well within the lease the host announced, so the
// host can drop the objects of a runtime that vanished.
//
// Every call has a deadline ("timeout", "create_timeout" of the target). A
// call that does not get through raises RuntimeError naming the call and the
// address: "remote perceptor 'tilt' (perceptor-client-1).compute_sensors() at
// 127.0.0.1:50051 got no answer within 10 s (DEADLINE_EXCEEDED)", "... failed:
// the host cannot be reached (UNAVAILABLE: ...)", "... is gone (NOT_FOUND:
// ...)" after the host restarted or dropped the session. An error the
// implementation raised comes back as the same kind with the same message.
//
// Operations are awaited without blocking the caller's event loop; the
// answer resumes the coroutine on its own loop.
#pragma once

#include <array>
#include <memory>

#include "tarvik_core/network.hpp"

namespace tarvik_remote {

// The four remote managers of one connection, in RemoteManagerKind order.
// Nothing is sent until the first create_with_client.
std::array<std::shared_ptr<tarvik_core::RemoteManager>, 4> connect(const tarvik_core::RemoteTarget& target);

}  // namespace tarvik_remote

// The module's entry point (tarvik_core::ConnectTransportFn).
extern "C" void tarvik_remote_connect(const tarvik_core::RemoteTarget& target,
                                      std::array<std::shared_ptr<tarvik_core::RemoteManager>, 4>& managers);
