// ThreadSanitizer suppressions for the tests that run calls, on top of scripts/tsan.supp.
// GStreamer's DTLS element runs OpenSSL on its own threads and hands the connection between
// them under GLib's locks, which ThreadSanitizer cannot see. Kept out of the common file, where
// they would also hide races in the session's own use of OpenSSL.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libssl.so.3\n"
           "race:libcrypto.so.3\n";
}
#endif
