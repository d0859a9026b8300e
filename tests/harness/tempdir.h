// A temporary directory removed with everything in it.
#pragma once

#include <string>

namespace harness {

class TempDir {
public:
    // Made under the system's temporary directory as PREFIX-XXXXXX; throws std::system_error
    // when it cannot be.
    explicit TempDir(const std::string& prefix = "benchd-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // A symbolic link name -> target inside the directory (a board plugged in).
    void link(const std::string& name, const std::string& target) const;
    void unlink(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace harness
