// A scratch directory private to the running test process. ctest runs the
// tests of one binary as parallel processes, so fixed file names directly in
// the shared temporary directory would let them overwrite each other's files.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vela_test {

// Created on first use, removed with everything in it when the process ends;
// the path ends with '/'.
inline const std::string& processTempDir() {
    struct Dir {
        std::string path;
        Dir() {
            std::string pattern = ::testing::TempDir() + "vela-test-XXXXXX";
            path = mkdtemp(&pattern[0]) != nullptr ? pattern + "/" : ::testing::TempDir();
        }
        ~Dir() {
            if (path == ::testing::TempDir()) return;
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const Dir dir;
    return dir.path;
}

}  // namespace vela_test

#endif  // TESTS_SUPPORT_TEMP_DIR_H
