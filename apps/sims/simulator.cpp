#include "tarvik_sims/simulator.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "action_value.hpp"
#include "tarvik_core/errors.hpp"

namespace tarvik_sims {

using tarvik_core::RuntimeError;
using tarvik_core::ValueError;

// ---- episode bookkeeping -----------------------------------------------------

Simulator::Simulator(std::string name, std::string summary, std::int64_t max_episode_steps,
                     std::vector<ReadingInfo> readings, ActionInfo action_info)
    : name_(std::move(name)),
      summary_(std::move(summary)),
      max_episode_steps_(max_episode_steps),
      readings_(std::move(readings)),
      action_info_(std::move(action_info)) {}

void Simulator::begin_episode(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    draw_initial_state(rng);
}

Dict Simulator::reset(std::uint64_t seed) {
    begin_episode(seed);
    elapsed_steps_ = 0;
    started_ = true;
    ended_ = false;
    ended_by_termination_ = false;
    return observation();
}

StepOutcome Simulator::step(const Value& action) {
    if (!started_)
        throw RuntimeError(name_ + ": step() called before reset(); call reset(seed) first");
    if (ended_) {
        throw RuntimeError(
            name_ + (ended_by_termination_
                         ? ": the episode has terminated"
                         : ": the episode was truncated after " + std::to_string(elapsed_steps_) + " steps") +
            "; call reset(seed) before stepping again");
    }
    // advance() rejects a bad action before touching the state, so a failed
    // step leaves the episode exactly as it was.
    const Transition transition = advance(action);
    ++elapsed_steps_;
    StepOutcome outcome;
    outcome.observation = observation();
    outcome.reward = transition.reward;
    outcome.terminated = transition.terminated;
    outcome.truncated = transition.truncated || elapsed_steps_ >= max_episode_steps_;
    ended_ = outcome.terminated || outcome.truncated;
    ended_by_termination_ = outcome.terminated;
    return outcome;
}

void Simulator::resume_episode() noexcept {
    started_ = true;
    ended_ = false;
    ended_by_termination_ = false;
}

double Simulator::uniform(std::mt19937_64& rng, double low, double high) {
    // The top 53 bits make a double in [0, 1) with every value equally likely.
    const double unit = static_cast<double>(rng() >> 11) * 0x1.0p-53;
    return low + (high - low) * unit;
}

// ---- actions -----------------------------------------------------------------

namespace detail {

std::optional<Value> single_element(const Value& action) {
    auto lone_scalar = [](const auto& sequence) -> std::optional<Value> {
        if (sequence.size() != 1) return std::nullopt;
        const Value& element = sequence[0];
        if (element.is_list() || element.is_tuple() || element.is_array() || element.is_dict())
            return std::nullopt;
        return element;
    };
    if (action.is_list()) return lone_scalar(action.as_list());
    if (action.is_tuple()) return lone_scalar(action.as_tuple());
    if (action.is_array()) {
        const tarvik_core::NdArray& array = action.as_array();
        if (array.size() != 1 || array.ndim() > 1) return std::nullopt;
        switch (array.dtype()) {
            case tarvik_core::DType::Bool: return Value(array.item_int(0) != 0);
            case tarvik_core::DType::Float32:
            case tarvik_core::DType::Float64: return Value(array.item(0));
            default: return Value(array.item_int(0));
        }
    }
    return action;
}

}  // namespace detail

// ---- registry and help -------------------------------------------------------

namespace {

struct Entry {
    const char* name;
    std::function<std::unique_ptr<Simulator>()> make;
};

const std::vector<Entry>& entries() {
    static const std::vector<Entry> all = {
        {"cartpole", [] { return std::make_unique<CartPole>(); }},
        {"pendulum", [] { return std::make_unique<Pendulum>(); }},
    };
    return all;
}

std::string bound_text(const ActionInfo& info, double bound) {
    if (info.kind == ActionKind::Discrete) return std::to_string(static_cast<std::int64_t>(bound));
    return tarvik_core::float_repr(bound);
}

}  // namespace

std::vector<std::string> simulator_names() {
    std::vector<std::string> names;
    for (const Entry& entry : entries()) names.emplace_back(entry.name);
    return names;
}

std::unique_ptr<Simulator> make_simulator(std::string_view name) {
    for (const Entry& entry : entries()) {
        if (name == entry.name) return entry.make();
    }
    std::string available;
    for (const Entry& entry : entries()) {
        if (!available.empty()) available += ", ";
        available += entry.name;
    }
    throw ValueError("unknown simulator '" + std::string(name) + "' (available: " + available + ")");
}

std::shared_ptr<Simulator> make_simulator(const tarvik_core::Registry& registry, std::string_view name) {
    const auto cls = registry.find(name);
    if (!cls || cls->kind() != tarvik_core::ImplKind::simulator) {
        std::string message = "no simulator named '" + std::string(name) + "' is registered (registered: " +
                              tarvik_core::repr_names(registry.names(tarvik_core::ImplKind::simulator)) + ")";
        if (!cls) throw tarvik_core::KeyError(message);
        throw tarvik_core::TypeError(message + "; '" + std::string(name) + "' is a " +
                                     std::string(tarvik_core::impl_kind_name(cls->kind())) + ", registered by " +
                                     cls->origin());
    }
    auto instance = cls->instantiate();
    auto simulator = std::dynamic_pointer_cast<Simulator>(instance);
    if (!simulator)
        throw tarvik_core::TypeError("the factory of simulator '" + std::string(name) + "' (registered by " +
                                     cls->origin() + ") made a " + instance->class_name() +
                                     ", which is not a tarvik_sims::Simulator");
    return simulator;
}

std::string describe(const Simulator& simulator) {
    std::string text = simulator.name() + ": " + simulator.summary() + "\n";
    if (simulator.max_episode_steps() == Simulator::kNoStepLimit)
        text += "episodes: no step limit of its own\n";
    else
        text += "episodes: truncated after " + std::to_string(simulator.max_episode_steps()) + " steps\n";
    text += "readings:\n";
    std::size_t width = 0;
    for (const ReadingInfo& reading : simulator.readings()) width = std::max(width, reading.name.size());
    for (const ReadingInfo& reading : simulator.readings()) {
        text += "  " + reading.name + std::string(width - reading.name.size() + 2, ' ');
        if (reading.size != 1) text += "(" + std::to_string(reading.size) + " values) ";
        text += reading.meaning + "\n";
    }
    const ActionInfo& action = simulator.action_info();
    text += "action: ";
    if (action.kind == ActionKind::Discrete)
        text += "discrete, an integer from ";
    else
        text += "continuous, clipped to ";
    text += bound_text(action, action.low) + " to " + bound_text(action, action.high);
    if (action.size != 1) text += " (" + std::to_string(action.size) + " values)";
    text += ": " + action.meaning + "\n";
    return text;
}

}  // namespace tarvik_sims
