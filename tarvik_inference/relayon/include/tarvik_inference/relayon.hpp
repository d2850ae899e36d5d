// Relayon: the network manager for callers that already run on an event loop.
//
// The base NetworkMgr resolves every remote call on a private loop of its own,
// which is impossible from inside a running loop (it refuses). Relayon hands
// the remote operation's awaitable back untouched instead, so the caller
// awaits it on its own loop:
//
//   auto relayon = std::make_shared<Relayon>(config);
//   Value reply = co_await std::move(relayon->call_remote_perceptor_mgr("reset")).task();
//
// Use it wherever remote calls are made from coroutines (the inference facade
// builds one unless the host supplies a manager); use the base NetworkMgr only
// from plain synchronous code.
//
// Ownership: the remote managers and their connections belong to the base;
// Relayon adds no state. The task returned by stop_all refers to this manager,
// which must stay alive until that task has finished.
//
// Errors: an empty `attr` is a TypeError; whatever `attr` itself raises
// propagates from _call_method; failures of the remote operation surface where
// the caller awaits it.
#pragma once

#include "tarvik_core/network.hpp"

namespace tarvik_inference {

class Relayon : public tarvik_core::NetworkMgr {
public:
    using tarvik_core::NetworkMgr::NetworkMgr;

    // Calls `attr` and returns its result as it comes: an awaitable is
    // returned unstarted, a plain value as it is. Nothing is run or awaited here.
    tarvik_core::MaybeTask<tarvik_core::Value> _call_method(const RemoteMethod& attr, const tarvik_core::List& args,
                                                           const tarvik_core::Dict& kwargs) override;

    // A task (nothing happens until it is awaited) that asks the simulator,
    // agent, perceptor and controller managers to "stop_all", strictly one
    // after the other. The first failure ends it and propagates unchanged; a
    // manager that answers with a plain value instead of an awaitable is a
    // TypeError at that point. The managers after a failure are not asked.
    tarvik_core::MaybeTask<tarvik_core::Value> stop_all() override;
};

}  // namespace tarvik_inference
