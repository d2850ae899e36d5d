// tarvik-make-example-models: tunes the example orchestrations' models
// against the built-in simulators and writes them as ONNX files.
//
//   tarvik-make-example-models [--out DIR] [--example cartpole|pendulum|all]
//
// By default the models go where the orchestrations look for them, the
// source tree's examples/<name>/models; with --out they go to DIR/<name>.
// The run is deterministic: the same generator writes the same bytes.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cartpole_example.hpp"
#include "example_models.hpp"
#include "pendulum_example.hpp"

namespace {

namespace fs = std::filesystem;
using tarvik_examples::ExampleResult;

constexpr const char* kUsage =
    "usage: tarvik-make-example-models [--out DIR] [--example cartpole|pendulum|all]\n"
    "\n"
    "Tunes the models of the example orchestrations against the built-in simulators\n"
    "and writes them as ONNX files.\n"
    "\n"
    "  --out DIR       write the models of example NAME to DIR/NAME\n"
    "                  (default: the source tree's examples/NAME/models)\n"
    "  --example NAME  cartpole, pendulum or all (default: all)\n"
    "  --help          show this text\n";

struct Options {
    std::optional<fs::path> out;
    std::vector<std::string> examples = {"cartpole", "pendulum"};
};

// Nullopt after printing a message when the command line is not usable.
std::optional<Options> parse(int argc, char** argv, int& exit_code) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            exit_code = 0;
            return std::nullopt;
        }
        if ((arg == "--out" || arg == "--example") && i + 1 >= argc) {
            std::fprintf(stderr, "tarvik-make-example-models: %s needs a value\n%s", argv[i], kUsage);
            exit_code = 2;
            return std::nullopt;
        }
        if (arg == "--out") {
            options.out = fs::path(argv[++i]);
        } else if (arg == "--example") {
            const std::string_view name = argv[++i];
            if (name == "all") {
                options.examples = {"cartpole", "pendulum"};
            } else if (name == "cartpole" || name == "pendulum") {
                options.examples = {std::string(name)};
            } else {
                std::fprintf(stderr, "tarvik-make-example-models: unknown example '%s' (known: cartpole, pendulum, all)\n",
                             argv[i]);
                exit_code = 2;
                return std::nullopt;
            }
        } else {
            std::fprintf(stderr, "tarvik-make-example-models: unknown argument '%s'\n%s", argv[i], kUsage);
            exit_code = 2;
            return std::nullopt;
        }
    }
    return options;
}

void report(const ExampleResult& result) {
    const auto& search = result.search;
    const auto& options = result.search_options;
    std::printf("%s: cross-entropy search over %zu parameters, %d rounds of %d candidates on %zu training episodes: "
                "best score %.2f (%d evaluations)\n",
                result.name.c_str(), result.parameters, options.rounds, options.population, result.training_episodes,
                search.best_score, search.evaluations);
    std::string rounds;
    for (double best : search.round_best) {
        char text[32];
        std::snprintf(text, sizeof text, "%s%.2f", rounds.empty() ? "" : " ", best);
        rounds += text;
    }
    std::printf("%s: best score after each round: %s\n", result.name.c_str(), rounds.c_str());
    for (const auto& evaluation : result.evaluations)
        std::printf("%s: %s, seeds %llu-%llu: mean return %.1f, lowest %.1f; steps per child: %s\n",
                    result.name.c_str(), evaluation.label.c_str(),
                    static_cast<unsigned long long>(evaluation.seeds.front()),
                    static_cast<unsigned long long>(evaluation.seeds.back()), evaluation.mean_return(),
                    evaluation.min_return(), evaluation.child_shares().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    const auto options = parse(argc, argv, exit_code);
    if (!options) return exit_code;
    const fs::path examples_dir = TARVIK_EXAMPLES_SOURCE_DIR;
    try {
        for (const std::string& name : options->examples) {
            const auto started = std::chrono::steady_clock::now();
            const fs::path orchestration = examples_dir / name / "orchestration.json";
            const ExampleResult result = name == "cartpole" ? tarvik_examples::cartpole::make_models(orchestration)
                                                            : tarvik_examples::pendulum::make_models(orchestration);
            report(result);
            const fs::path models_dir = options->out ? *options->out / name : examples_dir / name / "models";
            for (const auto& model : result.models) {
                const fs::path path = models_dir / (model.agent + ".onnx");
                tarvik_examples::write_file_atomically(path, model.onnx_bytes());
                std::printf("%s: wrote %s\n", name.c_str(), path.string().c_str());
            }
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
            std::printf("%s: done in %.1f s\n", name.c_str(), elapsed.count());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-make-example-models: %s\n", e.what());
        return 1;
    }
    return 0;
}
