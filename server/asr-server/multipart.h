// Multipart form bodies. Clients of this server send ordinary form-data
// parts, but their request's Content-Type line names another media type
// ("application/json; boundary=…"), so HTTP libraries leave the body unparsed;
// these functions split it themselves.
#pragma once

#include <string>
#include <vector>

namespace asrserver {

struct FormPart {
    std::string name;          // Content-Disposition name
    std::string filename;      // Content-Disposition filename, empty when absent
    std::string content_type;  // the part's Content-Type, empty when absent
    std::string data;          // raw bytes
};

// The boundary parameter of a Content-Type value, whatever its media type
// (quotes removed); empty when there is none.
std::string boundaryOf(const std::string& content_type);

// Splits a multipart body delimited by `boundary` into `parts`. Returns false,
// with `parts` unspecified, when the body is not a complete multipart body.
bool parseMultipart(const std::string& body, const std::string& boundary, std::vector<FormPart>& parts);

}  // namespace asrserver
