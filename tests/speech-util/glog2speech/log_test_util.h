// Temporary folders and file reading for the logging tests.
#ifndef TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H
#define TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace speech {
namespace testing_util {

// A fresh folder under the system's temporary directory, removed on destruction.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vela-log-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        path_ = made ? made : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace testing_util
}  // namespace speech

#endif  // TESTS_SPEECH_UTIL_GLOG2SPEECH_LOG_TEST_UTIL_H
