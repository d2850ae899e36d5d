// The counting wrapper and the walk that puts it into a processor tree.
#include "tarvik_apps/counting_processor.hpp"

#include <utility>

#include "tarvik_core/errors.hpp"
#include "tarvik_inference/actuon.hpp"
#include "tarvik_inference/conductrix.hpp"

namespace tarvik_apps {

namespace {

// The base constructor needs the wrapped processor's context before the
// wrapper's own members exist, so the null check happens here.
const tarvik_core::AgentProcessorContext& context_of(const ProcessorPtr& inner) {
    if (!inner) throw tarvik_core::ValueError("CountingProcessor needs a processor to wrap, got None");
    return inner->context;
}

std::shared_ptr<CountingProcessor> counted(const ProcessorPtr& processor) {
    if (auto existing = std::dynamic_pointer_cast<CountingProcessor>(processor)) return existing;
    return std::make_shared<CountingProcessor>(processor);
}

// Depth first: each orchestrator's children are wrapped in place, then the
// walk continues below each wrapped child.
void wrap_children(const ProcessorPtr& processor, std::vector<std::shared_ptr<CountingProcessor>>& counters) {
    auto* orchestrator = dynamic_cast<tarvik_inference::Conductrix*>(processor.get());
    if (!orchestrator) return;
    for (ProcessorPtr& child : orchestrator->get_child_agent_processors()) {
        auto wrapper = counted(child);
        child = wrapper;
        counters.push_back(wrapper);
        wrap_children(wrapper->inner(), counters);
    }
}

}  // namespace

std::shared_ptr<tarvik_inference::GrafexEngine> model_of(const tarvik_inference::BaseAgentProcessor& processor) {
    if (const auto* skill = dynamic_cast<const tarvik_inference::Actuon*>(&processor)) return skill->onnx_engine;
    if (const auto* orchestrator = dynamic_cast<const tarvik_inference::Conductrix*>(&processor))
        return orchestrator->onnx_engine;
    return nullptr;
}

CountingProcessor::CountingProcessor(ProcessorPtr inner)
    : BaseAgentProcessor(context_of(inner)), inner_(std::move(inner)) {}

Task<void> CountingProcessor::init() { return inner_->init(); }

Task<void> CountingProcessor::reset() { return inner_->reset(); }

Task<Value> CountingProcessor::_execute(Value sim_sensors, tarvik_inference::ExecuteArgs args) {
    ++executions_;
    last_step_failed_ = true;
    Value action = co_await inner_->_execute(std::move(sim_sensors), std::move(args));
    last_step_failed_ = false;
    co_return action;
}

std::string CountingProcessor::get_agent_name() const { return inner_->get_agent_name(); }

tarvik_inference::SpacePtr CountingProcessor::get_action_space() const { return inner_->get_action_space(); }

ActingCounts ActingCounts::instrument(const ProcessorPtr& top) {
    ActingCounts counts;
    counts.top_ = counted(top);
    counts.counters_.push_back(counts.top_);
    wrap_children(counts.top_->inner(), counts.counters_);
    return counts;
}

void add_acting(std::vector<AgentActCount>& counts, const std::string& agent, std::int64_t steps) {
    // Trees are small: a linear search keeps the tree order without an index.
    for (auto& entry : counts) {
        if (entry.agent == agent) {
            entry.steps += steps;
            return;
        }
    }
    counts.push_back(AgentActCount{.agent = agent, .steps = steps});
}

std::vector<AgentActCount> ActingCounts::per_agent() const {
    std::vector<AgentActCount> out;
    for (const auto& counter : counters_) add_acting(out, counter->get_agent_name(), counter->executions());
    return out;
}

const CountingProcessor* ActingCounts::failed_agent() const noexcept {
    // A failure passes up through every wrapper above the agent it started
    // in, and the list is depth first, so the last failed wrapper is that
    // agent's.
    for (auto it = counters_.rbegin(); it != counters_.rend(); ++it)
        if ((*it)->last_step_failed()) return it->get();
    return nullptr;
}

void ActingCounts::clear() {
    for (const auto& counter : counters_) counter->clear_executions();
}

}  // namespace tarvik_apps
