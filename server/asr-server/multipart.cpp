#include "server/asr-server/multipart.h"

#include <strings.h>

#include <cctype>

namespace asrserver {

namespace {

constexpr size_t kMaxParts = 64;

std::string trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

std::string unquote(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

// Value of parameter `key` in a header value such as
// `form-data; name="asr_audio"; filename=""`; `found` tells whether it is there.
std::string parameter(const std::string& value, const char* key, bool* found = nullptr) {
    if (found != nullptr) *found = false;
    size_t pos = value.find(';');
    while (pos != std::string::npos) {
        const size_t start = pos + 1;
        // A quoted value may hold ';', so find the parameter's end outside quotes.
        size_t end = start;
        bool quoted = false;
        while (end < value.size() && (quoted || value[end] != ';')) {
            if (value[end] == '"') quoted = !quoted;
            ++end;
        }
        const std::string item = value.substr(start, end - start);
        const size_t eq = item.find('=');
        if (eq != std::string::npos && strcasecmp(trim(item.substr(0, eq)).c_str(), key) == 0) {
            if (found != nullptr) *found = true;
            return unquote(trim(item.substr(eq + 1)));
        }
        pos = end < value.size() ? end : std::string::npos;
    }
    return std::string();
}

// Parses the header block of one part (lines separated by CRLF).
void parseHeaders(const std::string& block, FormPart& part) {
    size_t pos = 0;
    while (pos < block.size()) {
        size_t eol = block.find("\r\n", pos);
        if (eol == std::string::npos) eol = block.size();
        const std::string line = block.substr(pos, eol - pos);
        pos = eol + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = trim(line.substr(0, colon));
        const std::string value = trim(line.substr(colon + 1));
        if (strcasecmp(key.c_str(), "Content-Disposition") == 0) {
            part.name = parameter(value, "name");
            part.filename = parameter(value, "filename");
        } else if (strcasecmp(key.c_str(), "Content-Type") == 0) {
            part.content_type = value;
        }
    }
}

}  // namespace

std::string boundaryOf(const std::string& content_type) { return parameter(content_type, "boundary"); }

bool parseMultipart(const std::string& body, const std::string& boundary, std::vector<FormPart>& parts) {
    parts.clear();
    if (boundary.empty() || boundary.size() > 200) return false;
    const std::string delimiter = "--" + boundary;
    const std::string inner = "\r\n" + delimiter;

    // The first delimiter opens the body or follows a preamble line.
    size_t pos;
    if (body.compare(0, delimiter.size(), delimiter) == 0) {
        pos = delimiter.size();
    } else {
        pos = body.find(inner);
        if (pos == std::string::npos) return false;
        pos += inner.size();
    }
    for (;;) {
        if (body.compare(pos, 2, "--") == 0) return true;  // closing delimiter
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
        if (body.compare(pos, 2, "\r\n") != 0) return false;
        pos += 2;
        if (parts.size() == kMaxParts) return false;

        FormPart part;
        size_t data_start;
        if (body.compare(pos, 2, "\r\n") == 0) {  // a part without headers
            data_start = pos + 2;
        } else {
            const size_t headers_end = body.find("\r\n\r\n", pos);
            if (headers_end == std::string::npos) return false;
            parseHeaders(body.substr(pos, headers_end - pos), part);
            data_start = headers_end + 4;
        }
        const size_t data_end = body.find(inner, data_start);
        if (data_end == std::string::npos) return false;
        part.data = body.substr(data_start, data_end - data_start);
        parts.push_back(std::move(part));
        pos = data_end + inner.size();
    }
}

}  // namespace asrserver
