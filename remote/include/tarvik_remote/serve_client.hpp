// A client of the serving endpoint (tarvik-serve): one session, driven
// synchronously from a plain control loop.
//
//   tarvik_remote::ServeClient client("127.0.0.1:50052");
//   client.open();
//   Value action = client.execute(readings);                 // one step
//   action = client.execute(readings, mask, action);         // and the next
//   client.reset();                                          // episode over
//   client.close();
//
// Each call waits for its answer, at most `timeout` seconds; a stream that
// timed out or broke is over, and so is its session. Failures of the
// step on the server (a ValueError for a bad reading, ...) are raised here
// kind for kind with the server's message. A call that does not get through
// raises RuntimeError naming the call and the address. Every call carries
// the session id as the metadata "tarvik-session" too, for load balancers
// that route on it. One thread at a time may use a client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tarvik_core/value.hpp"

namespace tarvik_remote {

struct ServeClientOptions {
    double timeout = 10.0;  // seconds per call
    // Steps travel on one stream per session (cheaper per step, and the
    // server closes the session as soon as the stream breaks); false sends
    // each step as its own call.
    bool streaming = true;
    std::int64_t max_message_bytes = 16 << 20;
};

class ServeClient {
public:
    explicit ServeClient(std::string address, ServeClientOptions options = {});
    // Closes the session if it is still open, ignoring failures.
    ~ServeClient();
    ServeClient(const ServeClient&) = delete;
    ServeClient& operator=(const ServeClient&) = delete;

    // Opens a session (a runtime of its own on the server). RuntimeError when
    // one is open already.
    void open();
    // One step. RuntimeError before open().
    tarvik_core::Value execute(const tarvik_core::Value& readings,
                               const tarvik_core::Value& sim_action_mask = tarvik_core::Value(),
                               const tarvik_core::Value& previous_action = tarvik_core::Value(), bool explore = false);
    // Ends the episode.
    void reset();
    // Closes the session; the client may open another.
    void close();

    // The open session's id, or "".
    const std::string& session() const noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace tarvik_remote
