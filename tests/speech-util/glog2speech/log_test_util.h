// Temporary folders and file reading for the logging tests.
#ifndef TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H
#define TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace speech::testing_util {

// A fresh folder, removed with its content.
using TempDir = vela_test::TempDir;

inline std::string read_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace speech::testing_util

#endif  // TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H
