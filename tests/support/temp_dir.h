// Scratch folders for tests, removed with everything in them when the test is
// over, passed or failed.
//
// Every folder lives in one folder per test process (processTempDir()) under
// the temporary directory ($TMPDIR). ctest runs the tests of one binary as
// parallel processes, so fixed names directly in $TMPDIR would collide. Child
// processes inherit the process folder through the environment: a death test
// re-runs the binary and ends it without running destructors, so what it makes
// must lie where its parent cleans up.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vela_test {

const std::string& processTempDir();

// A fresh folder, removed with its content by the destructor, in the process
// that made it only (a forked child that exits must leave it to its parent).
class TempDir {
  public:
    TempDir() : TempDir(processTempDir()) {}
    // Makes the folder in `parent` (a path ending with '/').
    explicit TempDir(const std::string& parent) : owner_(getpid()) {
        std::string pattern = parent + "vela-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr)
            path_ = pattern;
        else
            ADD_FAILURE() << "cannot make a temporary folder in " << parent;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty() && getpid() == owner_) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, without a trailing '/'; empty when it could not be made.
    const std::string& path() const { return path_; }

  private:
    pid_t owner_;
    std::string path_;
};

// The folder of this test process (or of the test process that started it);
// the path ends with '/'.
inline const std::string& processTempDir() {
    static const std::string path = [] {
        constexpr const char* kInherited = "VELA_TEST_PROCESS_TMPDIR";
        std::error_code ec;
        const char* inherited = getenv(kInherited);
        if (inherited != nullptr && std::filesystem::is_directory(inherited, ec))
            return std::string(inherited);
        static const TempDir dir(::testing::TempDir());
        if (dir.path().empty()) return ::testing::TempDir();
        setenv(kInherited, (dir.path() + "/").c_str(), 1);
        return dir.path() + "/";
    }();
    return path;
}

// Made before main, so that every child process finds it in its environment.
inline const std::string& kProcessTempDirMadeEarly = processTempDir();

}  // namespace vela_test

#endif  // TESTS_SUPPORT_TEMP_DIR_H
