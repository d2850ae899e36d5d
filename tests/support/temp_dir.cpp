#include "support/temp_dir.hpp"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include <unistd.h>

namespace tarvik_test {

TempDir::TempDir() {
    namespace fs = std::filesystem;
    const char* root_env = std::getenv("TARVIK_TEST_TMP");
    fs::path root = root_env && *root_env ? fs::path(root_env) : fs::temp_directory_path();
    fs::create_directories(root);
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = root / ("tarvik-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter++) + "-" + std::to_string(rd() % 100000));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder under " + root.string());
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& relative, const std::string& text) const {
    auto full = path_ / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + full.string());
    return full;
}

}  // namespace tarvik_test
