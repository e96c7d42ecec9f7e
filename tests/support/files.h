// Whole files for tests: reading them, and the files of the test data.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vela_test {

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The path of a file of the test data (tests/data), e.g. "bv32/zeros_1s.pcm".
// A missing file fails the running test with a message naming it; the caller
// still gets the path, so that a check against it fails instead of crashing.
inline std::string testDataPath(const std::string& name) {
    const std::string path = std::string(VELA_TEST_DATA_DIR) + "/" + name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) ADD_FAILURE() << "test data file missing: " << path;
    return path;
}

// The bytes of a file of the test data; empty, and a failure, when it is missing.
inline std::string testData(const std::string& name) { return readFile(testDataPath(name)); }

// A recording of the front end's test data, e.g. "speech_8k.pcm".
inline std::string testAudio(const std::string& name) { return testData("vad/" + name); }

}  // namespace vela_test

#endif  // TESTS_SUPPORT_FILES_H
