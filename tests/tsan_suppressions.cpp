// ThreadSanitizer suppressions linked into every test binary of a thread-
// sanitizer build. cpp-httplib, which only the tests' HTTP servers and clients
// use, comes from Debian uninstrumented: TSan sees the memcpy/memcmp calls of
// its worker threads but not all of the library's own synchronisation, and
// reports races inside it that are not ours.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so*\n"; }
