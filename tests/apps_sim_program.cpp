// A simulator program for the run host's tests: a built-in simulator (named
// by the first argument) behind the line protocol on stdin and stdout, so a
// run through it must give exactly the numbers of a run in the built-in one.
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "tarvik_sims/simulator.hpp"

namespace {

using nlohmann::json;

json readings_json(const tarvik_core::Dict& readings) {
    json out = json::object();
    for (const auto& [name, value] : readings) out[name] = value.as_double();
    return out;
}

// Actions arrive as an integer (cart-pole) or a list of numbers (pendulum).
tarvik_core::Value action_value(const json& action) {
    if (action.is_number_integer()) return tarvik_core::Value(action.get<std::int64_t>());
    if (action.is_number()) return tarvik_core::Value(action.get<double>());
    tarvik_core::List list;
    for (const auto& element : action) list.push_back(action_value(element));
    return tarvik_core::Value(std::move(list));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: apps_sim_program SIMULATOR\n";
        return 2;
    }
    const auto sim = tarvik_sims::make_simulator(argv[1]);
    std::string line;
    while (std::getline(std::cin, line)) {
        const json request = json::parse(line);
        const std::string op = request.at("op");
        json answer;
        try {
            if (op == "hello") {
                answer["max_episode_steps"] = sim->max_episode_steps();
            } else if (op == "reset") {
                answer["readings"] = readings_json(sim->reset(request.at("seed").get<std::uint64_t>()));
            } else {
                const tarvik_sims::StepOutcome outcome = sim->step(action_value(request.at("action")));
                answer = {{"readings", readings_json(outcome.observation)},
                          {"reward", outcome.reward},
                          {"terminated", outcome.terminated},
                          {"truncated", outcome.truncated}};
            }
        } catch (const std::exception& e) {
            answer = {{"error", e.what()}};
        }
        std::cout << answer.dump() << '\n' << std::flush;
    }
    return 0;
}
