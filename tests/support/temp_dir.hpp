// TempDir: a fresh folder for one test, removed with everything in it when
// the object goes away. Created under TARVIK_TEST_TMP when set (the build
// tree), else under the system's temporary folder.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::string& child) const { return path_ / child; }
    // Writes `text` to path()/relative (creating folders) and returns the full path.
    std::filesystem::path write(const std::string& relative, const std::string& text) const;

private:
    std::filesystem::path path_;
};

}  // namespace tarvik_test
