// Runs a fuzz target's entry function over stored inputs, without libFuzzer:
// how the ordinary (and the sanitizer) build replays the seed corpus and
// every input that once failed.
//   <name>_replay FILE_OR_FOLDER...
// Folders are read in name order, one input per file (dot files skipped). A
// failing input ends the program the way it ended the fuzzer (an abort, a
// sanitizer report, an escaping exception); the input is named on standard
// error first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path given = argv[i];
        if (!fs::exists(given)) {
            // A fuzzer without findings has no regressions folder in git.
            std::fprintf(stderr, "%s: none\n", given.c_str());
            continue;
        }
        if (!fs::is_directory(given)) {
            inputs.push_back(given);
            continue;
        }
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(given))
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                found.push_back(entry.path());
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        std::fprintf(stderr, "%s\n", path.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
