// Whole files for tests: reading them, and the recordings of the test data.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <fstream>
#include <iterator>
#include <string>

namespace vela_test {

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A recording of the front end's test data, e.g. "speech_8k.pcm".
inline std::string testAudio(const std::string& name) {
    return readFile(std::string(VELA_TEST_DATA_DIR) + "/vad/" + name);
}

}  // namespace vela_test

#endif  // TESTS_SUPPORT_FILES_H
