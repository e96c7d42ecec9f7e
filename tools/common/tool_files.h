// Input and output files of the codec tools: opening both, and ending a run so
// that a failed one reports why and leaves no partial output behind.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace tools {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Prints "PROGRAM: MESSAGE" on standard error; returns the exit status 1.
inline int fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 1;
}

inline File openFile(const std::string& path, const char* mode) {
    return File(std::fopen(path.c_str(), mode), &std::fclose);
}

inline std::string errnoMessage(const char* verb, const std::string& path) {
    return std::string(verb) + " " + path + ": " + std::strerror(errno);
}

// Closes `out` after a run over `in`; on a read or write error removes the
// output file and returns the failure status, else 0.
inline int finishFiles(const char* program, File& in, const std::string& in_path, File& out,
                       const std::string& out_path, bool write_error) {
    if (std::ferror(in.get())) {
        std::remove(out_path.c_str());
        return fail(program, errnoMessage("cannot read", in_path));
    }
    if (write_error || std::fclose(out.release()) != 0) {
        std::remove(out_path.c_str());
        return fail(program, errnoMessage("cannot write", out_path));
    }
    return 0;
}

}  // namespace tools
