// A simulator in another program, written in any language, driven over a
// line protocol on that program's standard input and output.
//
// The program runs as `/bin/sh -c COMMAND` in a process group of its own;
// its standard error is the host's, so its diagnostics show up there. The
// host writes one JSON object per line and the program answers each with one
// JSON object on one line:
//
//   host:    {"op": "hello", "protocol": 1}
//   program: {"max_episode_steps": 500}                  (the key may be left out)
//   host:    {"op": "reset", "seed": 7}
//   program: {"readings": {"x": 0.01, "theta": -0.02}}   ("action_mask" may follow)
//   host:    {"op": "step", "action": 1}
//   program: {"readings": {...}, "reward": 1.0, "terminated": false, "truncated": false}
//
// Readings map sensor names to numbers, lists of numbers, or anything else
// JSON holds; "action_mask", when given, is the simulator's mask for the next
// step; "terminated" and "truncated" default to false. Actions go out as JSON
// (an integer, a number, a list for arrays). An answer {"error": "text"}
// refuses the request: a refused step is a ValueError, as an invalid action
// is for a built-in simulator, and the program keeps running. When the host
// is done it closes the program's standard input; a program still running a
// second later is killed.
//
// Faults stop the program at once: an answer that is not one JSON object of
// the expected shape, a program that exits or closes its output before
// answering, or no answer within the reply time limit each raise one
// RuntimeError naming the simulator ("exec:COMMAND"), the request and what
// went wrong. The whole process group is killed and the program reaped, so
// nothing is left behind; every later call raises RuntimeError "... is no
// longer running".
//
// Ownership: the simulator owns the program for its whole life; destroying it
// ends the program as above. Not thread-safe, like every simulator.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tarvik_sims/simulator.hpp"

namespace tarvik_sims {

class ChildProcessSimulator final : public Simulator {
public:
    static constexpr std::chrono::milliseconds kDefaultReplyLimit{10000};
    // How long a program may take to exit after its input was closed.
    static constexpr std::chrono::milliseconds kExitGrace{1000};
    static constexpr int kProtocolVersion = 1;

    // Starts `command` and exchanges the greeting. RuntimeError when the
    // program cannot be started or answers the greeting wrongly, late or not
    // at all; ValueError for an empty command or a limit that is not positive.
    explicit ChildProcessSimulator(const std::string& command,
                                   std::chrono::milliseconds reply_limit = kDefaultReplyLimit);
    ~ChildProcessSimulator() override;

    Dict observation() const override { return readings_; }
    Value action_mask() const override { return action_mask_; }

    // The program's process id while it runs, else -1.
    int pid() const noexcept;

protected:
    void begin_episode(std::uint64_t seed) override;
    void draw_initial_state(std::mt19937_64&) override {}  // the program draws its own
    Transition advance(const Value& action) override;

private:
    struct Channel;
    explicit ChildProcessSimulator(std::unique_ptr<Channel> channel);

    std::unique_ptr<Channel> channel_;
    Dict readings_;
    Value action_mask_;
};

}  // namespace tarvik_sims
