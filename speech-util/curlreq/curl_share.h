// Connection reuse for the HTTP client.
//
// Every request still has its own easy handle for its whole duration, but the
// handle comes from a small process-wide pool of idle handles instead of being
// made new, and goes back to it after the request. An easy handle keeps the
// connections it opened, so the next request to the same server goes over an
// open TCP (and TLS) connection. Handles in the pool are used by one thread at
// a time; the pool's mutex hands them between threads.
//
// All handles also use one process-wide libcurl share handle for the DNS cache
// and the TLS session cache (with one mutex per kind of shared data), so that a
// connection that has to be opened anyway resumes an earlier TLS session
// instead of paying a full handshake. The connection cache itself is not put
// into the share handle: libcurl does not support sharing it between threads
// that run transfers at the same time.
//
// The environment variable VELA_ASR_CONN_SHARE=0, read once at the first
// request, turns all of this off: every request then makes and destroys its
// own handle, and no connection, DNS entry or TLS session outlives a request.
#ifndef SPEECH_UTIL_CURLREQ_CURL_SHARE_H
#define SPEECH_UTIL_CURLREQ_CURL_SHARE_H

#ifndef CURL_DISABLE_DEPRECATION
#define CURL_DISABLE_DEPRECATION
#endif
#include <curl/curl.h>

namespace speech {
namespace util {
namespace curlshare {

// Whether connections and caches are reused (the environment switch, unless a
// test changed it with setEnabled).
bool enabled();
// Switches reuse on or off for requests that start from now on; handles that
// are idle in the pool are destroyed when it is switched off.
void setEnabled(bool on);

// Watches one request on a handle from acquireHandle.
//
// libcurl sends a request again by itself when a reused connection ended
// without any reply byte, possibly over another reused connection and up to
// five times. The guard refuses such a resend before libcurl opens a socket or
// sends anything: the request fails as if the server had sent nothing
// (CURLE_GOT_NOTHING) and `refused` is set, and CurlRequest decides whether
// the request may go out again (once, on a new connection; see curlreq.h).
//
// Reusing a connection the server is about to close is made rare: connections
// the server has closed already are found dead by libcurl and replaced before
// anything is sent, and a handle that has been idle for longer than its limit
// is not reused at all. The limit is kMaxIdleMs, or half the idle time-out the
// server announces ("Keep-Alive: timeout=N") when that is shorter, which
// leaves the server's close time to arrive.
struct SendGuard {
    CURL* curl = nullptr;
    int sends = 0;
    long redirects = 0;
    bool refused = false;
    long keep_alive_ms = -1;  // the server's announced idle time-out, -1 if none
};
constexpr long kMaxIdleMs = 4000;

// An easy handle with libcurl's default options for one request: an idle one
// from the pool, or a new one. Null when libcurl cannot make one. When the
// environment variable VELA_ASR_CA_FILE (read once) names a PEM file, https
// servers are verified against the certificates in it instead of the
// system's store; verification itself stays on.
CURL* acquireHandle();
// Installs `guard` (which must outlive the request) on `curl` just before the
// request; a no-op when reuse is off.
void guardSends(CURL* curl, SendGuard* guard);
// Takes back a handle from acquireHandle (null is ignored), with the guard of
// its last request if it made one. Its options are cleared (so it refers to no
// form, header list or buffer of the finished request) and it is kept with its
// open connections, or destroyed when reuse is off or the pool is full.
void releaseHandle(CURL* curl, const SendGuard* guard = nullptr);

// The process-wide share handle (DNS and TLS session caches); made on first
// use, never freed. Null when libcurl cannot make it.
CURLSH* shareHandle();

}  // namespace curlshare
}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_CURLREQ_CURL_SHARE_H
