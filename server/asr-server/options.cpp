#include "server/asr-server/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/asr-server/grammar.h"

namespace asrserver {

namespace {

bool parseCount(const std::string& text, long max, long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    value = v;
    return true;
}

}  // namespace

std::string usage() {
    return "Usage: asr-server [options]\n"
           "Reference speech recognition server: creates sessions, collects numbered audio\n"
           "packets and answers intermediate and final results over HTTP.\n"
           "\n"
           "  --host ADDR              address to listen on (default 127.0.0.1)\n"
           "  --port N                 port (default 8900; 0 picks a free one)\n"
           "  --path P                 base path of every request (default /asr/v2)\n"
           "  --recognizer NAME        pocketsphinx (default) or echo, which only reports\n"
           "                           how many bytes and packets it received\n"
           "  --model DIR              PocketSphinx model folder holding en-us/, en-us.lm.bin\n"
           "                           and cmudict-en-us.dict\n"
           "                           (default /usr/share/pocketsphinx/model/en-us; without\n"
           "                           --model, a missing model falls back to echo)\n"
           "  --jsgf FILE              recognise only what the JSGF grammar FILE allows (its\n"
           "                           first public rule) instead of using the language model\n"
           "  --words \"P1|P2|...\"      recognise only these phrases, one per utterance: each\n"
           "                           phrase is words of the dictionary separated by blanks,\n"
           "                           e.g. --words \"yes|no|call home\"\n"
           "                           (--jsgf and --words exclude each other; with either\n"
           "                           the language model is not loaded)\n"
           "  --decoders N             PocketSphinx decoders shared by the sessions (default 4)\n"
           "  --profile P              PocketSphinx search settings: accurate (its widest\n"
           "                           search, with passes over the whole utterance at its\n"
           "                           end), balanced (default) or fast (a narrower search,\n"
           "                           the cheapest per stream)\n"
           "  --shaped-noise-db N      add noise shaped like the speech's own envelope, N dB\n"
           "                           below it, before recognition: clean synthetic speech\n"
           "                           lacks the noise of recorded speech (default 30; 0: none)\n"
           "  --nbest N                final results carry up to N readings of the utterance,\n"
           "                           distinct and best first, as \"alternatives\":\n"
           "                           [{\"text\",\"score\"}]; a score is the reading's\n"
           "                           log-likelihood (natural log, acoustic and language\n"
           "                           model together), comparable within one result only\n"
           "                           (default 0: none)\n"
           "  --final-delay-ms N       withhold each final result this long (default 0)\n"
           "  --hold-ms N              longest wait of a result fetch for new audio (default 500)\n"
           "  --session-timeout-s N    drop sessions idle this long (default 30)\n"
           "  --max-sessions N         sessions held at once (default 1000)\n"
           "  --max-sessions-per-client N\n"
           "                           sessions held at once for one client address\n"
           "                           (default 64); beyond it \"too many sessions\" (err_no 4)\n"
           "  --trust-proxy ADDR       a proxy in front (e.g. nginx) at this IP address; its\n"
           "                           requests count for the client it names in X-Real-IP\n"
           "                           (else the last X-Forwarded-For entry); repeatable\n"
           "  --max-held-mb N          audio all sessions together may hold while it waits\n"
           "                           for earlier packets or a decoder (default 256); a packet\n"
           "                           beyond it is refused with \"limit reached\" (err_no 4)\n"
           "  --max-session-s N        audio one session may carry (default 300): a packet whose\n"
           "                           number times the session's packet size, or whose audio\n"
           "                           with what the session stored, goes beyond it is refused\n"
           "                           with \"limit reached\" (err_no 4)\n"
           "  --decode-threads N       threads decoding audio, beside the HTTP threads\n"
           "                           (default: one per core)\n"
           "  --max-backlog-s N        audio received and not yet decoded, over all sessions,\n"
           "                           beyond which new sessions are refused with \"too many\n"
           "                           sessions\" (err_no 4) (default 60 per decode thread)\n"
           "  --drain-s N              on Ctrl-C or SIGTERM, refuse new sessions (err_no 6) and\n"
           "                           stop within this time, live sessions given all but the\n"
           "                           last quarter second of it to finish (default 2)\n"
           "  --gap-timeout-ms N       once the last packet is in, fill a gap in the numbering\n"
           "                           that stays open this long and finish (default 1000)\n"
           "  --coalesce-ms N          a waiting result fetch answers new audio once it is\n"
           "                           this old, so audio and end packet give one answer (default 20)\n"
           "  --decoder-idle-ms N      a session that sends no audio this long gives its\n"
           "                           decoder back (default 2000)\n"
           "  --node NAME              node name (1-32 of A-Z a-z 0-9 _ -): every sid becomes\n"
           "                           NAME.RANDOM, and sids of other nodes are refused\n"
           "  --threads N              HTTP worker threads (default 32)\n"
           "  --tls-cert FILE          serve HTTPS with this PEM certificate (chain)...\n"
           "  --tls-key FILE           ...and this PEM private key\n"
           "  --max-connections N      connections open at once (default 512)\n"
           "  --max-connections-per-client N\n"
           "                           connections open at once from one address (default 128)\n"
           "  --keep-alive-s N         close a connection idle this long (default 5)\n"
           "  --keep-alive-requests N  requests per connection (default 1000)\n"
           "  --head-timeout-s N       time for the TLS handshake, and for the first request\n"
           "                           head (default 10)\n"
           "  --body-timeout-s N       time for a request body (default 30)\n"
           "  --verbose                log every request and PocketSphinx to standard error\n"
           "  -h, --help               show this help\n"
           "  --version                print the version and exit\n"
           "\n"
           "The first line on standard output names the address served, e.g.\n"
           "  listening on http://127.0.0.1:8900/asr/v2\n"
           "Ctrl-C or SIGTERM stops the server after the drain time.\n";
}

ParseOutcome parseOptions(int argc, const char* const* argv, Options& options, std::string& message) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") return ParseOutcome::Help;
        if (arg == "--version") return ParseOutcome::Version;
        if (arg == "--verbose") {
            options.verbose = true;
            options.http.verbose = true;
            options.pocketsphinx.verbose = true;
            continue;
        }
        std::string value;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            message = "missing value for " + arg;
            return ParseOutcome::Error;
        }

        long n = 0;
        auto count = [&](long max) {
            if (parseCount(value, max, n)) return true;
            message = "invalid value '" + value + "' for " + arg;
            return false;
        };
        auto positive = [&](long max) {
            if (parseCount(value, max, n) && n > 0) return true;
            message = "invalid value '" + value + "' for " + arg + " (1 to " + std::to_string(max) + ")";
            return false;
        };
        if (arg == "--host") {
            if (value.empty()) {
                message = "empty --host";
                return ParseOutcome::Error;
            }
            options.http.host = value;
        } else if (arg == "--port") {
            if (!count(65535)) return ParseOutcome::Error;
            options.http.port = static_cast<int>(n);
        } else if (arg == "--path") {
            if (value.empty() || value[0] != '/') {
                message = "--path must start with '/'";
                return ParseOutcome::Error;
            }
            options.http.path = value;
        } else if (arg == "--recognizer") {
            if (value != "pocketsphinx" && value != "echo") {
                message = "unknown recognizer '" + value + "' (use pocketsphinx or echo)";
                return ParseOutcome::Error;
            }
            options.recognizer = value;
        } else if (arg == "--model") {
            options.pocketsphinx.model_dir = value;
            options.model_given = true;
        } else if (arg == "--jsgf") {
            if (value.empty()) {
                message = "empty --jsgf";
                return ParseOutcome::Error;
            }
            options.pocketsphinx.grammar_file = value;
        } else if (arg == "--words") {
            if (!parsePhrases(value, options.pocketsphinx.phrases, message)) {
                message = "--words: " + message;
                return ParseOutcome::Error;
            }
        } else if (arg == "--decoders") {
            if (!positive(256)) return ParseOutcome::Error;
            options.pocketsphinx.max_decoders = static_cast<size_t>(n);
        } else if (arg == "--profile") {
            if (!isProfile(value)) {
                message = "unknown profile '" + value + "' (use " + profiles() + ")";
                return ParseOutcome::Error;
            }
            options.pocketsphinx.profile = value;
        } else if (arg == "--shaped-noise-db") {
            if (!count(90)) return ParseOutcome::Error;
            options.pocketsphinx.shaped_noise_db = static_cast<int>(n);
        } else if (arg == "--nbest") {
            if (!count(100)) return ParseOutcome::Error;
            options.pocketsphinx.nbest = static_cast<size_t>(n);
        } else if (arg == "--final-delay-ms") {
            if (!count(3600000)) return ParseOutcome::Error;
            options.service.limits.final_delay = std::chrono::milliseconds(n);
        } else if (arg == "--hold-ms") {
            if (!count(60000)) return ParseOutcome::Error;
            options.service.hold = std::chrono::milliseconds(n);
        } else if (arg == "--session-timeout-s") {
            if (!positive(86400)) return ParseOutcome::Error;
            options.service.session_timeout = std::chrono::seconds(n);
        } else if (arg == "--max-sessions") {
            if (!positive(1000000)) return ParseOutcome::Error;
            options.service.max_sessions = static_cast<size_t>(n);
        } else if (arg == "--max-sessions-per-client") {
            if (!positive(1000000)) return ParseOutcome::Error;
            options.service.max_sessions_per_client = static_cast<size_t>(n);
        } else if (arg == "--trust-proxy") {
            unsigned char address[16];
            if (inet_pton(AF_INET, value.c_str(), address) != 1 &&
                inet_pton(AF_INET6, value.c_str(), address) != 1) {
                message = "invalid --trust-proxy '" + value + "' (an IPv4 or IPv6 address)";
                return ParseOutcome::Error;
            }
            options.http.trusted_proxies.push_back(value);
        } else if (arg == "--max-held-mb") {
            if (!positive(65536)) return ParseOutcome::Error;
            options.service.max_held_bytes = static_cast<size_t>(n) << 20;
        } else if (arg == "--max-session-s") {
            if (!positive(86400)) return ParseOutcome::Error;
            options.service.limits.max_audio = std::chrono::seconds(n);
        } else if (arg == "--decode-threads") {
            if (!positive(256)) return ParseOutcome::Error;
            options.service.decode_threads = static_cast<size_t>(n);
        } else if (arg == "--max-backlog-s") {
            if (!positive(86400)) return ParseOutcome::Error;
            options.service.max_backlog_s = static_cast<double>(n);
        } else if (arg == "--drain-s") {
            if (!count(3600)) return ParseOutcome::Error;
            options.drain = std::chrono::seconds(n);
        } else if (arg == "--gap-timeout-ms") {
            if (!count(600000)) return ParseOutcome::Error;
            options.service.limits.gap_timeout = std::chrono::milliseconds(n);
        } else if (arg == "--coalesce-ms") {
            if (!count(10000)) return ParseOutcome::Error;
            options.service.limits.coalesce = std::chrono::milliseconds(n);
        } else if (arg == "--decoder-idle-ms") {
            if (!positive(3600000)) return ParseOutcome::Error;
            options.service.limits.decoder_idle = std::chrono::milliseconds(n);
        } else if (arg == "--node") {
            if (!validNodeName(value)) {
                message = "invalid --node '" + value + "' (1 to 32 of A-Z, a-z, 0-9, _ and -)";
                return ParseOutcome::Error;
            }
            options.service.node = value;
        } else if (arg == "--threads") {
            if (!positive(1024)) return ParseOutcome::Error;
            options.http.threads = static_cast<size_t>(n);
        } else if (arg == "--tls-cert" || arg == "--tls-key") {
            if (value.empty()) {
                message = "empty " + arg;
                return ParseOutcome::Error;
            }
            (arg == "--tls-cert" ? options.http.tls_cert : options.http.tls_key) = value;
        } else if (arg == "--max-connections") {
            if (!positive(1000000)) return ParseOutcome::Error;
            options.http.max_connections = static_cast<size_t>(n);
        } else if (arg == "--max-connections-per-client") {
            if (!positive(1000000)) return ParseOutcome::Error;
            options.http.max_per_client = static_cast<size_t>(n);
        } else if (arg == "--keep-alive-s") {
            if (!positive(3600)) return ParseOutcome::Error;
            options.http.keep_alive = std::chrono::seconds(n);
        } else if (arg == "--keep-alive-requests") {
            if (!positive(1000000)) return ParseOutcome::Error;
            options.http.keep_alive_requests = static_cast<size_t>(n);
        } else if (arg == "--head-timeout-s") {
            if (!positive(3600)) return ParseOutcome::Error;
            options.http.head_timeout = std::chrono::seconds(n);
        } else if (arg == "--body-timeout-s") {
            if (!positive(3600)) return ParseOutcome::Error;
            options.http.body_timeout = std::chrono::seconds(n);
        } else {
            message = "unknown option " + arg;
            return ParseOutcome::Error;
        }
    }
    if (options.http.tls_cert.empty() != options.http.tls_key.empty()) {
        message = "--tls-cert and --tls-key go together";
        return ParseOutcome::Error;
    }
    const PocketSphinxConfig& ps = options.pocketsphinx;
    if (!ps.grammar_file.empty() && !ps.phrases.empty()) {
        message = "--jsgf and --words exclude each other";
        return ParseOutcome::Error;
    }
    if (ps.usesGrammar() && options.recognizer != "pocketsphinx") {
        message = "--jsgf and --words need the pocketsphinx recognizer";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace asrserver
