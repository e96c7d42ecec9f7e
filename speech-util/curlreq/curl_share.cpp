#include "speech-util/curlreq/curl_share.h"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace speech {
namespace util {
namespace curlshare {

namespace {

// Idle handles kept: enough for every upload and fetch thread of the SDK's
// task runner at once (8 + 4) with some room.
constexpr size_t kMaxIdleHandles = 16;

// -1 until the environment has been read, then 0 (off) or 1 (on).
std::atomic<int> g_enabled{-1};

bool readSwitch() {
    const char* value = std::getenv("VELA_ASR_CONN_SHARE");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

// libcurl asks for a lock per kind of shared data; each kind has its own mutex
// so that a DNS lookup never waits for a TLS session store.
class Share {
  public:
    Share() : handle_(curl_share_init()) {
        if (handle_ == nullptr) return;
        curl_share_setopt(handle_, CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(handle_, CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(handle_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(handle_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    CURLSH* handle() const { return handle_; }

  private:
    static std::mutex& mutexFor(void* self, curl_lock_data data) {
        Share* share = static_cast<Share*>(self);
        const size_t i = static_cast<size_t>(data);
        return share->mutexes_[i < CURL_LOCK_DATA_LAST ? i : 0];
    }
    // Shared (read) access is taken exclusively too; the critical sections
    // are short.
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        mutexFor(self, data).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) { mutexFor(self, data).unlock(); }

    std::mutex mutexes_[CURL_LOCK_DATA_LAST];
    CURLSH* handle_;
};

class HandlePool {
    using Clock = std::chrono::steady_clock;
    struct Idle {
        CURL* curl;
        Clock::time_point since;
        long limit_ms;
    };

  public:
    // Never destroyed: handles may come back from threads that outlive static
    // destruction, and the share handle must outlive every handle using it.
    static HandlePool& instance() {
        static HandlePool* pool = new HandlePool;
        return *pool;
    }

    // The most recently used idle handle, whose connection is the freshest;
    // handles idle beyond their limit are destroyed on the way.
    CURL* take() {
        std::vector<CURL*> stale;
        CURL* found = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const Clock::time_point now = Clock::now();
            while (found == nullptr && !idle_.empty()) {
                const Idle entry = idle_.back();
                idle_.pop_back();
                if (now - entry.since <= std::chrono::milliseconds(entry.limit_ms)) {
                    found = entry.curl;
                } else {
                    stale.push_back(entry.curl);
                }
            }
        }
        for (CURL* curl : stale) curl_easy_cleanup(curl);
        return found;
    }
    // Keeps `curl`; false when the pool is full.
    bool keep(CURL* curl, long limit_ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() >= kMaxIdleHandles) return false;
        idle_.push_back(Idle{curl, Clock::now(), limit_ms});
        return true;
    }
    void clear() {
        std::vector<Idle> gone;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gone.swap(idle_);
        }
        for (const Idle& entry : gone) curl_easy_cleanup(entry.curl);
    }

  private:
    std::mutex mutex_;
    std::vector<Idle> idle_;
};

// Whether libcurl is about to send the request of `guard` again on its own:
// it was sent already and no redirect has come since.
bool isResend(SendGuard* guard) {
    long redirects = 0;
    curl_easy_getinfo(guard->curl, CURLINFO_REDIRECT_COUNT, &redirects);
    return guard->sends > 0 && redirects == guard->redirects;
}

// Called by libcurl for every socket it opens: a resend is refused here,
// before it costs a connection.
curl_socket_t openSocket(void* p, curlsocktype, curl_sockaddr* address) {
    SendGuard* guard = static_cast<SendGuard*>(p);
    if (isResend(guard)) {
        guard->refused = true;
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

#if LIBCURL_VERSION_NUM >= 0x075000
// Called by libcurl each time the request is about to be sent, also over a
// connection it reuses for a resend.
int beforeSend(void* p, char*, char*, int, int) {
    SendGuard* guard = static_cast<SendGuard*>(p);
    if (isResend(guard)) {
        guard->refused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    ++guard->sends;
    curl_easy_getinfo(guard->curl, CURLINFO_REDIRECT_COUNT, &guard->redirects);
    return CURL_PREREQFUNC_OK;
}
#endif

// Reads the server's idle time-out from a "Keep-Alive: timeout=N, ..." line.
size_t onHeader(char* line, size_t size, size_t nitems, void* p) {
    const size_t n = size * nitems;
    static const char kName[] = "keep-alive:";
    if (n > sizeof(kName) && strncasecmp(line, kName, sizeof(kName) - 1) == 0) {
        const std::string value(line + sizeof(kName) - 1, n - (sizeof(kName) - 1));
        const size_t at = value.find("timeout=");
        if (at != std::string::npos) {
            const long seconds = std::strtol(value.c_str() + at + 8, nullptr, 10);
            if (seconds >= 0) static_cast<SendGuard*>(p)->keep_alive_ms = seconds * 1000;
        }
    }
    return n;
}

}  // namespace

bool enabled() {
    int state = g_enabled.load();
    if (state < 0) {
        int expected = -1;
        g_enabled.compare_exchange_strong(expected, readSwitch() ? 1 : 0);
        state = g_enabled.load();
    }
    return state == 1;
}

void setEnabled(bool on) {
    g_enabled.store(on ? 1 : 0);
    if (!on) HandlePool::instance().clear();
}

CURLSH* shareHandle() {
    static Share* share = new Share;
    return share->handle();
}

CURL* acquireHandle() {
    CURL* curl = nullptr;
    if (!enabled()) {
        curl = curl_easy_init();
    } else if ((curl = HandlePool::instance().take()) == nullptr) {
        // The first easy handle initialises libcurl, so it is made before the share handle.
        curl = curl_easy_init();
        if (curl != nullptr && shareHandle() != nullptr) curl_easy_setopt(curl, CURLOPT_SHARE, shareHandle());
    }
    if (curl == nullptr) return nullptr;
    static const char* const ca_file = std::getenv("VELA_ASR_CA_FILE");
    if (ca_file != nullptr && ca_file[0] != '\0') curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file);
    return curl;
}

void guardSends(CURL* curl, SendGuard* guard) {
    if (curl == nullptr || !enabled()) return;
    *guard = SendGuard();
    guard->curl = curl;
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, guard);
#if LIBCURL_VERSION_NUM >= 0x075000
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &beforeSend);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, guard);
#endif
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, guard);
}

void releaseHandle(CURL* curl, const SendGuard* guard) {
    if (curl == nullptr) return;
    if (enabled()) {
        long limit_ms = kMaxIdleMs;
        if (guard != nullptr && guard->keep_alive_ms >= 0)
            limit_ms = std::min(limit_ms, guard->keep_alive_ms / 2);
        // Clears every option, keeps the open connections and the share.
        curl_easy_reset(curl);
        if (HandlePool::instance().keep(curl, limit_ms)) return;
    }
    curl_easy_cleanup(curl);
}

}  // namespace curlshare
}  // namespace util
}  // namespace speech
