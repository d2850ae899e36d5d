// Counting how often each agent of a packaged processor tree acts.
//
// CountingProcessor stands in for one processor: it counts the calls of
// _execute and hands _execute, reset, init, the agent name and the action
// space straight to the processor it wraps. A counted step costs one
// increment and one coroutine frame more than an uncounted one.
//
// Each wrapper also remembers whether its last step failed, so that after a
// failed step ActingCounts::failed_agent() can say in which agent it
// happened: the innermost wrapper the failure passed through.
//
// ActingCounts::instrument puts a CountingProcessor in front of every child of
// every orchestrator (Conductrix) in a tree, and in front of the top processor
// itself, so the counts cover every level: an orchestrator counts each step it
// delegated, and the child it chose counts the same step again.
//
//   ActingCounts counts = ActingCounts::instrument(runvane.agent_processor);
//   runvane.agent_processor = counts.top();    // the facade now runs the counted tree
//   ... steps ...
//   for (const auto& entry : counts.per_agent()) print(entry.agent, entry.steps);
//
// Ownership: a wrapper shares ownership of the processor it wraps; the tree's
// orchestrators own the wrappers that replaced their children, and
// ActingCounts keeps a reference to every wrapper so it can read them.
// Instrumenting a tree twice wraps nothing twice: existing wrappers are
// reused. Nothing here locks; one event loop drives the tree.
//
// Errors: wrapping a null processor is a ValueError; everything the wrapped
// processor raises passes through unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarvik_inference/grafex.hpp"
#include "tarvik_inference/kernova.hpp"

namespace tarvik_apps {

using tarvik_core::Task;
using tarvik_core::Value;
using tarvik_inference::ProcessorPtr;

// The model a processor runs (a skill's or an orchestrator's), or null: a
// controller, an agent whose model was not found, another kind of processor.
std::shared_ptr<tarvik_inference::GrafexEngine> model_of(const tarvik_inference::BaseAgentProcessor& processor);

class CountingProcessor final : public tarvik_inference::BaseAgentProcessor {
public:
    // ValueError when `inner` is null.
    explicit CountingProcessor(ProcessorPtr inner);

    Task<void> init() override;
    Task<void> reset() override;
    Task<Value> _execute(Value sim_sensors, tarvik_inference::ExecuteArgs args = {}) override;
    std::string get_agent_name() const override;
    tarvik_inference::SpacePtr get_action_space() const override;

    const ProcessorPtr& inner() const noexcept { return inner_; }
    std::int64_t executions() const noexcept { return executions_; }
    // Also forgets a failed last step.
    void clear_executions() noexcept {
        executions_ = 0;
        last_step_failed_ = false;
    }
    // Whether the last _execute ended in an error.
    bool last_step_failed() const noexcept { return last_step_failed_; }

private:
    ProcessorPtr inner_;
    std::int64_t executions_ = 0;
    bool last_step_failed_ = false;
};

// One agent's share of the steps.
struct AgentActCount {
    std::string agent;
    std::int64_t steps = 0;
};

// Adds `steps` to the entry of `agent`, appending one at the end when it is new.
void add_acting(std::vector<AgentActCount>& counts, const std::string& agent, std::int64_t steps);

class ActingCounts {
public:
    // Wraps `top` and every orchestrator child below it (see above). The tree
    // is changed in place; the returned object's top() is the wrapped top
    // processor, which the host must run instead of `top`.
    static ActingCounts instrument(const ProcessorPtr& top);

    const std::shared_ptr<CountingProcessor>& top() const noexcept { return top_; }

    // Calls per agent since the last clear(), summed over every place the
    // agent has in the tree, in the order the tree lists the agents (depth
    // first, children in order).
    std::vector<AgentActCount> per_agent() const;
    void clear();
    // After a failed step: the wrapper of the agent it failed in (the deepest
    // whose last step failed), or null when no step failed since clear().
    const CountingProcessor* failed_agent() const noexcept;

private:
    std::shared_ptr<CountingProcessor> top_;
    std::vector<std::shared_ptr<CountingProcessor>> counters_;  // depth first, top first
};

}  // namespace tarvik_apps
