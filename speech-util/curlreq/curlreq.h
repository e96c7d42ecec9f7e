// HTTP client: one libcurl easy handle per request, a fixed receive buffer and
// fixed options and time-outs; plus a stopwatch and a multipart form builder.
#ifndef SPEECH_UTIL_CURLREQ_CURLREQ_H
#define SPEECH_UTIL_CURLREQ_CURLREQ_H

// The form interface (curl_formadd, CURLOPT_HTTPPOST) and the double-based
// progress callback are deprecated in current libcurl but still supported.
#ifndef CURL_DISABLE_DEPRECATION
#define CURL_DISABLE_DEPRECATION
#endif
#include <curl/curl.h>
#include <sys/time.h>

#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <string>
#include <vector>

#include "speech-util/curlreq/curl_share.h"

namespace speech {
namespace util {

// Stopwatch in milliseconds, started at construction.
class TimeCost {
  public:
    TimeCost();
    // Takes the current time into end_ and returns the milliseconds since begin_.
    float getTimeCost();
    // Restarts the stopwatch.
    void reset();

  private:
    timeval begin_;
    timeval end_;
};

// One HTTP exchange over a libcurl easy handle.
//
// The receive buffer holds `buf_len` + 1 bytes. Invariant: _buf_len < _capacity
// whenever a buffer exists, and the byte at _buf_len and every byte after it are
// zero, so the body is always a NUL-terminated text; a body longer than
// `buf_len` aborts the transfer. The buffer comes already zeroed from a small
// process-wide cache, and only the bytes a request wrote are cleared again, so a
// request does not pay for zero-filling the whole buffer.
//
// Every request gives up its easy handle when it ends (to the pool of
// curl_share.h, which keeps its connections) and destroys its header list. An
// object is used by one thread at a time. Redirects are followed at most
// kMaxRedirects times, and only to http and https URLs.
//
// A request that went out over a reused (kept-alive) connection which the
// server closed before any reply byte came back (libcurl's codes 52, 55 and
// 56, or libcurl's own resend refused, see curl_share.h) is sent once more,
// on a new connection, when that cannot make the server act on it twice: a
// GET always (a read), a POST marked with setIdempotent(true), and any POST
// whose sending failed (55), as the server cannot act on a request it has
// not received whole. Otherwise a POST that may have reached the server
// fails as before: libcurl cannot tell whether the server received it before
// the connection ended.
class CurlRequest {
  public:
    static constexpr long kMaxRedirects = 3;

    // Time-outs in seconds (0: none).
    CurlRequest(size_t buf_len, int timeo_connect, int timeo);
    ~CurlRequest();
    CurlRequest(const CurlRequest&) = delete;
    CurlRequest& operator=(const CurlRequest&) = delete;

    // POST to `url`: the body is a form the caller attached to getCurl(), or
    // `postdata` when not null. Returns 0 when libcurl succeeded and the HTTP
    // status is 200, otherwise -1.
    int doPost(const char* url, const char* postdata);
    // GET `url`; returns 0 or -1 like doPost.
    int doGet(const char* url);

    // The receive buffer, shared; the body is the NUL-terminated text in it.
    // Holders may read it and change bytes of the body, but must not write past
    // the body: the buffer is reused afterwards with only the written part cleared.
    boost::shared_array<char> getData() const { return _buffer; }
    size_t getDataLen() const { return _buf_len; }
    size_t getCapacity() const { return _capacity; }
    void clearHeader() { _headers.clear(); }
    // Appends one header line ("Name:value", no line end) for the next request.
    void addHeader(std::string line) { _headers.push_back(std::move(line)); }
    // Replaces the time-outs for the requests from now on, in milliseconds
    // (0: none): connecting, and the whole exchange.
    void setTimeoutsMs(long connect_ms, long total_ms) {
        _timeo_connect_ms = connect_ms;
        _timeo_ms = total_ms;
    }
    // Whether doPost may send its request twice without harm (the server keeps
    // it by a key, as an upload by its packet index). Off by default; a GET is
    // always taken as safe to repeat.
    void setIdempotent(bool on) { _idempotent = on; }
    // The easy handle, for options the caller adds before doPost (a form post).
    CURL* getCurl() const { return _curl; }
    curl_slist** get_curl_slist() { return &_c_list; }

    // Empties the received data, restores the status fields and the default
    // header "Content-Type:application/json", and makes a fresh easy handle.
    void reset();
    // Short text for curl_ret_code.
    const char* getErrMsg() const;
    // libcurl's own description of the last failure ("Could not resolve host:
    // ..."), empty when it gave none.
    const char* getErrDetail() const { return _err_detail; }
    // Aborts a download once `limit` bytes have arrived. Returns -1 when `limit`
    // is 0 or above the capacity, or when no easy handle exists (the limit is
    // kept then), else 0. Turns libcurl's progress reporting on.
    int setRecvLimit(size_t limit);

  private:
    CurlRequest() = delete;

    // Appends the header lines and the empty "Expect:" entry to _c_list and
    // sets the common options; then performs the request and destroys the
    // handle and the list. `postdata` is used only when `is_post` is true.
    void perform(const char* url, bool is_post, const char* postdata);
    // Whether the request that just ended failed because a reused connection
    // was closed before any reply byte came back. `received_before` is
    // _buf_len before the request.
    bool closedBeforeReply(const curlshare::SendGuard& guard, size_t received_before) const;

    static size_t curl_http_recv_func(char* buffer, size_t size, size_t nmemb, void* lpvoid);
    static int progress_callback(void* p, double dltotal, double dlnow, double ultotal, double ulnow);

    boost::shared_array<char> _buffer;
    size_t _buf_len = 0;
    size_t _capacity = 0;
    long _timeo_connect_ms;
    long _timeo_ms;
    std::vector<std::string> _headers;
    CURL* _curl = nullptr;
    curl_slist* _c_list = nullptr;
    size_t _stop_downlaod_bytes = 0;
    bool _idempotent = false;
    char _err_detail[CURL_ERROR_SIZE] = {};

  public:
    long http_status = 200;
    CURLcode curl_ret_code = CURLE_OK;
};

typedef boost::shared_ptr<CurlRequest> CurlReqPtr;

// A multipart form for CURLOPT_HTTPPOST whose parts go out as
// "Content-Disposition: form-data; name=..." whatever the request's own
// Content-Type line says. (From libcurl 7.56 on, forms are sent through the MIME
// layer, which writes "attachment" for the parts when the request carries a
// custom Content-Type header such as "application/json"; the disposition is
// therefore given as an explicit part header there. libcurl writes the part's
// Content-Type line before it.)
//
// Names, file names and content types must not contain a quotation mark, CR or
// LF; such bytes are percent-encoded.
class CurlForm {
  public:
    CurlForm() = default;
    ~CurlForm();
    CurlForm(const CurlForm&) = delete;
    CurlForm& operator=(const CurlForm&) = delete;

    // Adds a part whose `len` bytes of content are copied into the form.
    // Returns false when libcurl refused the part.
    bool addContent(const std::string& name, const char* data, size_t len, const std::string& content_type);
    // Adds a file-upload part named `name` with file name `filename` (which may
    // be empty) whose content is the `len` bytes at `data`, referenced: they
    // must stay valid until the request is done. Returns false on refusal.
    bool addBuffer(const std::string& name, const std::string& filename, const char* data, size_t len,
                   const std::string& content_type);
    // Attaches the form to `curl` as its form post (CURLOPT_HTTPPOST). The form
    // must outlive the request.
    CURLcode attach(CURL* curl) const;
    curl_httppost* get() const { return first_; }

  private:
    // The part's Content-Disposition line as a header list owned by the form;
    // null on libcurl < 7.56 (which writes form-data itself) or on failure.
    curl_slist* partHeaders(const std::string& name, const std::string* filename);

    curl_httppost* first_ = nullptr;
    curl_httppost* last_ = nullptr;
    std::vector<curl_slist*> part_headers_;
};

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_CURLREQ_CURLREQ_H
