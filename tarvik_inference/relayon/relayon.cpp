// Relayon: remote calls that hand their awaitables back to the caller.
#include "tarvik_inference/relayon.hpp"

#include <utility>

namespace tarvik_inference {

using tarvik_core::MaybeTask;
using tarvik_core::Task;
using tarvik_core::Value;

MaybeTask<Value> Relayon::_call_method(const RemoteMethod& attr, const tarvik_core::List& args,
                                       const tarvik_core::Dict& kwargs) {
    if (!attr) throw tarvik_core::TypeError("_call_method() missing required argument 'attr'");
    return attr(args, kwargs);
}

namespace {

// Each call is made only once the one before it has finished, so a manager
// after a failure is never even asked. `.task()` turns a plain answer into
// the TypeError that awaiting a non-awaitable raises.
Task<Value> stop_managers_in_order(Relayon* self) {
    co_await std::move(self->call_sim_mgr("stop_all")).task();
    co_await std::move(self->call_remote_agent_mgr("stop_all")).task();
    co_await std::move(self->call_remote_perceptor_mgr("stop_all")).task();
    co_await std::move(self->call_remote_controller_mgr("stop_all")).task();
    co_return Value();
}

}  // namespace

MaybeTask<Value> Relayon::stop_all() { return stop_managers_in_order(this); }

}  // namespace tarvik_inference
