#include "speech-util/curlreq/curlreq.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>

#include "speech-util/curlreq/curl_share.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "wire/vela_wire.h"

namespace speech {
namespace util {

namespace {

const char kUnit[] = "curlreq";

double elapsedMs(const timeval& begin, const timeval& end) {
    return static_cast<double>(end.tv_sec - begin.tv_sec) * 1000.0 +
           static_cast<double>(end.tv_usec - begin.tv_usec) / 1000.0;
}

// Receive buffers are handed out already zero-filled. A released buffer has
// only its written prefix cleared and is kept for the next request, so the
// 1 MiB buffer of every request is neither allocated nor zero-filled anew.
//
// Each buffer is preceded by a header recording its size and how many bytes
// from its start may be non-zero; the owner of the buffer keeps `dirty` up to
// date while it writes.
struct BufferHeader {
    size_t capacity;
    size_t dirty;
};
constexpr size_t kHeaderSize = (sizeof(BufferHeader) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

BufferHeader* headerOf(char* data) { return reinterpret_cast<BufferHeader*>(data - kHeaderSize); }

class ZeroedBufferCache {
  public:
    // Never destroyed: buffers may come back from threads that outlive static
    // destruction.
    static ZeroedBufferCache& instance() {
        static ZeroedBufferCache* cache = new ZeroedBufferCache;
        return *cache;
    }

    // A zero-filled buffer of `capacity` bytes, or null.
    char* acquire(size_t capacity) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = kept_.begin(); it != kept_.end(); ++it) {
                if ((*it)->capacity == capacity) {
                    BufferHeader* h = *it;
                    kept_.erase(it);
                    kept_bytes_ -= capacity;
                    return reinterpret_cast<char*>(h) + kHeaderSize;
                }
            }
        }
        if (capacity > std::numeric_limits<size_t>::max() - kHeaderSize) return nullptr;
        void* block = std::calloc(1, kHeaderSize + capacity);
        if (block == nullptr) return nullptr;
        BufferHeader* h = static_cast<BufferHeader*>(block);
        h->capacity = capacity;
        h->dirty = 0;
        return static_cast<char*>(block) + kHeaderSize;
    }

    void release(char* data) {
        BufferHeader* h = headerOf(data);
        std::memset(data, 0, std::min(h->dirty, h->capacity));
        h->dirty = 0;
        if (h->capacity > kMaxKeptBytes) {
            std::free(h);
            return;
        }
        std::deque<BufferHeader*> evicted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (!kept_.empty() &&
                   (kept_.size() >= kMaxKept || kept_bytes_ + h->capacity > kMaxKeptBytes)) {
                evicted.push_back(kept_.front());
                kept_bytes_ -= kept_.front()->capacity;
                kept_.pop_front();
            }
            kept_.push_back(h);
            kept_bytes_ += h->capacity;
        }
        for (BufferHeader* old : evicted) std::free(old);
    }

  private:
    // Enough for the requests of every pool thread at once.
    static constexpr size_t kMaxKept = 16;
    static constexpr size_t kMaxKeptBytes = 16 * (size_t{1} << 20) + 16 * 64;

    std::mutex mutex_;
    std::deque<BufferHeader*> kept_;
    size_t kept_bytes_ = 0;
};

struct CachedBufferDeleter {
    void operator()(char* data) const { ZeroedBufferCache::instance().release(data); }
};

}  // namespace

// ---------------------------------------------------------------- TimeCost

TimeCost::TimeCost() : end_{} { gettimeofday(&begin_, nullptr); }

float TimeCost::getTimeCost() {
    gettimeofday(&end_, nullptr);
    return static_cast<float>(elapsedMs(begin_, end_));
}

void TimeCost::reset() {
    gettimeofday(&begin_, nullptr);
    end_ = timeval{};
}

// ------------------------------------------------------------- CurlRequest

CurlRequest::CurlRequest(size_t buf_len, int timeo_connect, int timeo)
    : _timeo_connect_ms(timeo_connect * 1000L), _timeo_ms(timeo * 1000L) {
    char* data = nullptr;
    if (buf_len < std::numeric_limits<size_t>::max()) {
        data = ZeroedBufferCache::instance().acquire(buf_len + 1);
    }
    if (data != nullptr) {
        _buffer = boost::shared_array<char>(data, CachedBufferDeleter());
        _capacity = buf_len + 1;
    }
    // Also without a buffer the object gets its default header and handle;
    // every received byte is then refused.
    reset();
}

CurlRequest::~CurlRequest() {
    curlshare::releaseHandle(_curl);
    if (_c_list != nullptr) curl_slist_free_all(_c_list);
}

void CurlRequest::reset() {
    if (_buffer) {
        BufferHeader* h = headerOf(_buffer.get());
        std::memset(_buffer.get(), 0, std::min(std::max(h->dirty, _buf_len), _capacity));
        h->dirty = 0;
    }
    _buf_len = 0;
    http_status = 200;
    curl_ret_code = CURLE_OK;
    _headers.clear();
    _headers.emplace_back(std::string("Content-Type:") + vela::wire::kJsonType);
    curlshare::releaseHandle(_curl);
    _curl = curlshare::acquireHandle();
    if (_c_list != nullptr) {
        curl_slist_free_all(_c_list);
        _c_list = nullptr;
    }
}

void CurlRequest::perform(const char* url, bool is_post, const char* postdata) {
    if (_curl == nullptr) _curl = curlshare::acquireHandle();

    bool list_ok = true;
    auto append = [this, &list_ok](const char* line) {
        curl_slist* grown = curl_slist_append(_c_list, line);
        if (grown == nullptr) {
            list_ok = false;
        } else {
            _c_list = grown;
        }
    };
    for (const std::string& line : _headers) append(line.c_str());
    append("Expect:");

    curlshare::SendGuard guard;
    if (_curl == nullptr || !list_ok) {
        curl_ret_code = CURLE_OUT_OF_MEMORY;
    } else {
        curl_easy_setopt(_curl, CURLOPT_URL, url);
        curl_easy_setopt(_curl, CURLOPT_READFUNCTION, static_cast<curl_read_callback>(nullptr));
        curl_easy_setopt(_curl, CURLOPT_HTTPHEADER, _c_list);
        curl_easy_setopt(_curl, CURLOPT_WRITEFUNCTION, &CurlRequest::curl_http_recv_func);
        curl_easy_setopt(_curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(_curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(_curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(_curl, CURLOPT_UNRESTRICTED_AUTH, 1L);
        curl_easy_setopt(_curl, CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(_curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
        curl_easy_setopt(_curl, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
        curl_easy_setopt(_curl, CURLOPT_CONNECTTIMEOUT_MS, _timeo_connect_ms);
        curl_easy_setopt(_curl, CURLOPT_TIMEOUT_MS, _timeo_ms);
        _err_detail[0] = '\0';
        curl_easy_setopt(_curl, CURLOPT_ERRORBUFFER, _err_detail);
        if (is_post && postdata != nullptr) curl_easy_setopt(_curl, CURLOPT_POSTFIELDS, postdata);
        curlshare::guardSends(_curl, &guard);

        const size_t received_before = _buf_len;
        curl_ret_code = curl_easy_perform(_curl);
        if (guard.refused) curl_ret_code = CURLE_GOT_NOTHING;
        // Once, on a new connection, and only where the server cannot act on
        // the request twice (see the class comment). A refused resend of a
        // POST may follow a send that completed, so only an own send error
        // counts as proof that the server did not get the request.
        const bool repeatable =
            !is_post || _idempotent || (curl_ret_code == CURLE_SEND_ERROR && !guard.refused);
        if (repeatable && closedBeforeReply(guard, received_before)) {
            glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__,
                                 "CurlRequest::perform reused connection closed before the reply "
                                 "[url:%s][curl_code:%d], sent again on a new connection",
                                 url, static_cast<int>(curl_ret_code));
            curl_easy_setopt(_curl, CURLOPT_FRESH_CONNECT, 1L);
            curlshare::guardSends(_curl, &guard);
            curl_ret_code = curl_easy_perform(_curl);
            if (guard.refused) curl_ret_code = CURLE_GOT_NOTHING;
        }
        long status = 0;
        curl_easy_getinfo(_curl, CURLINFO_RESPONSE_CODE, &status);
        http_status = status;
    }

    if (_c_list != nullptr) curl_slist_free_all(_c_list);
    _c_list = nullptr;
    // The handle goes back to the pool with its connection (see curl_share.h).
    curlshare::releaseHandle(_curl, &guard);
    _curl = nullptr;
}

bool CurlRequest::closedBeforeReply(const curlshare::SendGuard& guard, size_t received_before) const {
    // libcurl resends by itself only after a reused connection ended with no
    // reply byte; the guard refused that resend.
    if (guard.refused) return true;
    if (curl_ret_code != CURLE_GOT_NOTHING && curl_ret_code != CURLE_SEND_ERROR &&
        curl_ret_code != CURLE_RECV_ERROR) {
        return false;
    }
    long connects = -1;
    long header_bytes = -1;
    curl_easy_getinfo(_curl, CURLINFO_NUM_CONNECTS, &connects);  // 0: the connection was reused
    curl_easy_getinfo(_curl, CURLINFO_HEADER_SIZE, &header_bytes);
    return connects == 0 && header_bytes == 0 && _buf_len == received_before;
}

int CurlRequest::doPost(const char* url, const char* postdata) {
    TimeCost tc;
    perform(url, true, postdata);
    if (curl_ret_code == CURLE_OK && http_status == 200) {
        glog2speech_writelog(GLOG_NOTICE, kUnit, __LINE__, "CurlRequest::doPost  [tc:%.2f]",
                             static_cast<double>(tc.getTimeCost()));
        return 0;
    }
    glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__,
                         "CurlRequest::doPost --> [post:%s][msg:%s]:curl_code:%d http_status:%d curl failed",
                         postdata != nullptr ? postdata : "(null)", getErrMsg(),
                         static_cast<int>(curl_ret_code), static_cast<int>(http_status));
    return -1;
}

int CurlRequest::doGet(const char* url) {
    TimeCost tc;
    perform(url, false, nullptr);
    if (curl_ret_code == CURLE_OK && http_status == 200) {
        glog2speech_writelog(GLOG_NOTICE, kUnit, __LINE__, "CurlRequest::doGet [url:%s] [tc:%.2f]", url,
                             static_cast<double>(tc.getTimeCost()));
        return 0;
    }
    glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__,
                         "CurlRequest::doGet --> [url:%s][msg:%s]curl_code:%d http_status:%d curl failed",
                         url, getErrMsg(), static_cast<int>(curl_ret_code), static_cast<int>(http_status));
    return -1;
}

const char* CurlRequest::getErrMsg() const {
    switch (curl_ret_code) {
        case CURLE_OK:
            return "Succ";
        case CURLE_UNSUPPORTED_PROTOCOL:
            return "Protocal not supported!";
        case CURLE_COULDNT_CONNECT:
            return "Connect timeout!";
        case CURLE_REMOTE_ACCESS_DENIED:
            return "Access denied!";
        case CURLE_HTTP_RETURNED_ERROR:
            return "HTTP error";
        case CURLE_WRITE_ERROR:
            return "Writing recved data to disk error!";
        case CURLE_READ_ERROR:
            return "Reading data fron local error!";
        default:
            return "Other error!";
    }
}

int CurlRequest::setRecvLimit(size_t limit) {
    if (limit == 0 || limit > _capacity) return -1;
    _stop_downlaod_bytes = limit;
    if (_curl == nullptr) return -1;
    curl_easy_setopt(_curl, CURLOPT_PROGRESSFUNCTION, &CurlRequest::progress_callback);
    curl_easy_setopt(_curl, CURLOPT_PROGRESSDATA, this);
    // Without this libcurl never calls the progress function.
    curl_easy_setopt(_curl, CURLOPT_NOPROGRESS, 0L);
    return 0;
}

size_t CurlRequest::curl_http_recv_func(char* buffer, size_t size, size_t nmemb, void* lpvoid) {
    if (buffer == nullptr || lpvoid == nullptr) return 0;
    CurlRequest* self = static_cast<CurlRequest*>(lpvoid);
    const size_t n = size * nmemb;
    // No partial copy: a body that does not fit aborts the transfer.
    if (!self->_buffer || n >= self->_capacity - self->_buf_len) return 0;
    std::memcpy(self->_buffer.get() + self->_buf_len, buffer, n);
    self->_buf_len += n;
    BufferHeader* h = headerOf(self->_buffer.get());
    h->dirty = std::max(h->dirty, self->_buf_len);
    glog2speech_writelog(GLOG_DEBUG, kUnit, __LINE__,
                         "CurlRequest curl_http_recv_func recv data [size:%d][nmemb:%d]",
                         static_cast<int>(size), static_cast<int>(nmemb));
    return n;
}

int CurlRequest::progress_callback(void* p, double /*dltotal*/, double dlnow, double /*ultotal*/,
                                   double /*ulnow*/) {
    const CurlRequest* self = static_cast<const CurlRequest*>(p);
    return dlnow >= static_cast<double>(self->_stop_downlaod_bytes) ? 1 : 0;
}

// ---------------------------------------------------------------- CurlForm

namespace {

// libcurl sends forms through its MIME layer from this version on.
bool formsUseMimeLayer() {
    static const bool mime = curl_version_info(CURLVERSION_NOW)->version_num >= 0x073800;
    return mime;
}

// Quotation marks, CR and LF cannot stand inside a quoted header parameter.
std::string headerSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"') {
            out += "%22";
        } else if (c == '\r') {
            out += "%0D";
        } else if (c == '\n') {
            out += "%0A";
        } else {
            out += c;
        }
    }
    return out;
}

// libcurl takes a length of 0 to mean "up to the first NUL"; an empty part
// therefore points at an empty text.
const char* contentPtr(const char* data, size_t len) { return len == 0 || data == nullptr ? "" : data; }

}  // namespace

CurlForm::~CurlForm() {
    if (first_ != nullptr) curl_formfree(first_);
    for (curl_slist* list : part_headers_) curl_slist_free_all(list);
}

curl_slist* CurlForm::partHeaders(const std::string& name, const std::string* filename) {
    if (!formsUseMimeLayer()) return nullptr;
    std::string disposition = "Content-Disposition: form-data; name=\"" + headerSafe(name) + "\"";
    if (filename != nullptr) disposition += "; filename=\"" + headerSafe(*filename) + "\"";
    curl_slist* list = curl_slist_append(nullptr, disposition.c_str());
    if (list != nullptr) part_headers_.push_back(list);
    return list;
}

bool CurlForm::addContent(const std::string& name, const char* data, size_t len,
                          const std::string& content_type) {
    curl_forms extra[2] = {{CURLFORM_END, nullptr}, {CURLFORM_END, nullptr}};
    if (formsUseMimeLayer()) {
        curl_slist* headers = partHeaders(name, nullptr);
        if (headers == nullptr) return false;
        extra[0] = {CURLFORM_CONTENTHEADER, reinterpret_cast<const char*>(headers)};
    }
    return curl_formadd(&first_, &last_, CURLFORM_COPYNAME, name.c_str(), CURLFORM_COPYCONTENTS,
                        contentPtr(data, len), CURLFORM_CONTENTLEN, static_cast<curl_off_t>(len),
                        CURLFORM_CONTENTTYPE, headerSafe(content_type).c_str(), CURLFORM_ARRAY, extra,
                        CURLFORM_END) == CURL_FORMADD_OK;
}

bool CurlForm::addBuffer(const std::string& name, const std::string& filename, const char* data, size_t len,
                         const std::string& content_type) {
    curl_forms extra[2] = {{CURLFORM_END, nullptr}, {CURLFORM_END, nullptr}};
    if (formsUseMimeLayer()) {
        curl_slist* headers = partHeaders(name, &filename);
        if (headers == nullptr) return false;
        extra[0] = {CURLFORM_CONTENTHEADER, reinterpret_cast<const char*>(headers)};
    }
    return curl_formadd(&first_, &last_, CURLFORM_COPYNAME, name.c_str(), CURLFORM_BUFFER, filename.c_str(),
                        CURLFORM_BUFFERPTR, contentPtr(data, len), CURLFORM_BUFFERLENGTH,
                        static_cast<long>(len), CURLFORM_CONTENTTYPE, headerSafe(content_type).c_str(),
                        CURLFORM_ARRAY, extra, CURLFORM_END) == CURL_FORMADD_OK;
}

CURLcode CurlForm::attach(CURL* curl) const {
    if (curl == nullptr) return CURLE_FAILED_INIT;
    return curl_easy_setopt(curl, CURLOPT_HTTPPOST, first_);
}

}  // namespace util
}  // namespace speech
