// Temporary folders and file reading for the logging tests.
#ifndef TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H
#define TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace speech::testing_util {

// A fresh folder under the temporary directory, removed with its content.
class TempDir {
  public:
    TempDir() : path_((std::filesystem::temp_directory_path() / "vela-log-XXXXXX").string()) {
        if (::mkdtemp(path_.data()) == nullptr) path_.clear();
    }
    ~TempDir() { std::filesystem::remove_all(path_, ec_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::error_code ec_;
};

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
