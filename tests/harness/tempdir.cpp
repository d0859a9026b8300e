#include "tempdir.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace harness {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::link(const std::string& name, const std::string& target) const {
    std::filesystem::create_symlink(target, path_ + "/" + name);
}

void TempDir::unlink(const std::string& name) const {
    std::filesystem::remove(path_ + "/" + name);
}

}  // namespace harness
