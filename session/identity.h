#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace quorell {

// SHA-256 of a certificate's DER encoding.
using Fingerprint = std::array<std::uint8_t, 32>;

Fingerprint FingerprintOf(X509* certificate);
// Lower-case hex, 64 characters.
std::string ToHex(const Fingerprint& fingerprint);
std::optional<Fingerprint> FingerprintFromHex(const std::string& hex);

// The folder of this user's identity and known peers: $XDG_DATA_HOME/quorell, or
// ~/.local/share/quorell when XDG_DATA_HOME is unset or not absolute. Empty when neither it nor
// HOME is known.
std::string DefaultIdentityFolder();

// This copy's long-term Ed25519 key and its self-signed certificate, kept as key.pem and
// certificate.pem (both mode 0600) in a folder of mode 0700.
class Identity {
public:
    // Loads the identity from `folder`, or makes and stores a new one when neither file exists.
    // Returns nothing with `error` set when a file is unreadable, corrupt, not of mode 0600, when
    // only one of the two exists or the key does not match the certificate; nothing is then
    // written.
    static std::optional<Identity> LoadOrCreate(const std::string& folder, std::string& error);

    EVP_PKEY* Key() const { return key_.get(); }
    X509* Certificate() const { return certificate_.get(); }
    const Fingerprint& GetFingerprint() const { return fingerprint_; }

    // Makes `ctx` present this identity. Returns false when OpenSSL refuses it.
    bool UseIn(SSL_CTX* ctx) const;

private:
    struct KeyFree {
        void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    };
    struct CertificateFree {
        void operator()(X509* c) const { X509_free(c); }
    };
    Identity(EVP_PKEY* key, X509* certificate);

    std::shared_ptr<EVP_PKEY> key_;
    std::shared_ptr<X509> certificate_;
    Fingerprint fingerprint_{};
};

// Text of OpenSSL's last errors, emptying its queue.
std::string OpenSslErrors();

}  // namespace quorell
