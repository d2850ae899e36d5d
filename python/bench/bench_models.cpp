// tarvik-python-bench-models: writes the models of the Python benchmark.
//
// The same policies as the C++ benchmark's tiny and medium scenarios (an
// orchestrator "top" over n_out skills, MLPs with seeded weights and an
// "action_mask" input), written to <folder>/<size>/ckpt/<agent>.onnx.
// python_bench.py writes the orchestration files around them.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "support/model_builder.hpp"

namespace {

struct Size {
    const char* label;
    std::int64_t n_in;
    std::vector<std::int64_t> hidden;
    std::int64_t n_out;
};

void write_policy(const Size& size, std::uint64_t seed, const std::filesystem::path& path) {
    tarvik_test::mlp_policy({.n_in = size.n_in,
                             .hidden = size.hidden,
                             .n_out = size.n_out,
                             .seed = seed,
                             .io = {.obs_name = "observation", .mask_size = size.n_out}})
        .write(path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    try {
        const std::filesystem::path out(argv[1]);
        for (const Size& size : {Size{"tiny", 4, {64, 64}, 2}, Size{"medium", 200, {256, 256}, 16}}) {
            const auto ckpt = out / size.label / "ckpt";
            write_policy(size, 7, ckpt / "top.onnx");
            for (std::int64_t i = 0; i < size.n_out; ++i)
                write_policy(size, 100 + static_cast<std::uint64_t>(i), ckpt / ("skill" + std::to_string(i) + ".onnx"));
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
}
