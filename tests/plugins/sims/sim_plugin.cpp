// A plugin library for the run host's tests: simulators registered through
// the plugin entry point.
//
// - "relay_cartpole": a simulator class of its own that keeps a cart-pole
//   elsewhere and relays to it, as a wrapper around real hardware or another
//   engine would; its episodes must match the built-in cart-pole's exactly.
// - "not_a_simulator": a factory that makes some other object.
#include <memory>

#include "tarvik_core/implementations.hpp"
#include "tarvik_sims/simulator.hpp"

namespace {

using tarvik_sims::Simulator;

class RelayCartPole final : public Simulator {
public:
    RelayCartPole()
        : Simulator("relay_cartpole", "the built-in cart-pole, driven at one remove",
                    tarvik_sims::CartPole::kMaxEpisodeSteps, {},
                    {}) {}

    tarvik_core::Dict observation() const override { return inner_.observation(); }

protected:
    // The seed goes to the inner simulator, which draws its own state.
    void begin_episode(std::uint64_t seed) override { inner_.reset(seed); }
    void draw_initial_state(std::mt19937_64&) override {}
    Transition advance(const tarvik_core::Value& action) override {
        const tarvik_sims::StepOutcome outcome = inner_.step(action);
        return Transition{.reward = outcome.reward, .terminated = outcome.terminated, .truncated = outcome.truncated};
    }

private:
    tarvik_sims::CartPole inner_;
};

class NotASimulator : public tarvik_core::Object {};

}  // namespace

extern "C" void tarvik_register(tarvik_core::Registry& registry) {
    registry.add_simulator("relay_cartpole", [] { return std::make_shared<RelayCartPole>(); });
    registry.add_simulator("not_a_simulator", [] { return std::make_shared<NotASimulator>(); });
}
