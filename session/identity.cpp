#include "session/identity.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "session/private_file.h"

namespace quorell {
namespace {

constexpr const char* kKeyFile = "key.pem";
constexpr const char* kCertificateFile = "certificate.pem";
// Long enough that the certificate never has to be renewed; it is pinned, not trusted by date.
constexpr long kValiditySeconds = 100L * 365 * 24 * 3600;

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Pem(int (*write)(BIO*, void*), void* object) {
    BIO* bio = BIO_new(BIO_s_mem());
    std::string out;
    if (bio && write(bio, object) == 1) {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        out.assign(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    return out;
}

int WriteKey(BIO* bio, void* key) {
    return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(key), nullptr, nullptr, 0, nullptr,
                                    nullptr);
}

int WriteCertificate(BIO* bio, void* certificate) {
    return PEM_write_bio_X509(bio, static_cast<X509*>(certificate));
}

X509* MakeCertificate(EVP_PKEY* key) {
    X509* cert = X509_new();
    if (!cert) return nullptr;
    unsigned char serial[16];
    bool ok = X509_set_version(cert, X509_VERSION_3) == 1 && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7F;  // a positive serial number
        BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
        BN_free(bn);
    }
    ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds) != nullptr &&
         X509_set_pubkey(cert, key) == 1;
    X509_NAME* name = X509_get_subject_name(cert);
    ok = ok &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>("Quorell"), -1, -1,
                                    0) == 1 &&
         X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, nullptr) > 0;
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

std::optional<Identity> Fail(std::string& error, const std::string& why) {
    error = why;
    return std::nullopt;
}

}  // namespace

Identity::Identity(EVP_PKEY* key, X509* certificate)
    : key_(key, KeyFree{}), certificate_(certificate, CertificateFree{}) {
    fingerprint_ = FingerprintOf(certificate);
}

std::optional<Identity> Identity::LoadOrCreate(const std::string& folder, std::string& error) {
    if (std::string e = EnsurePrivateFolder(folder); !e.empty()) return Fail(error, e);
    const std::string keyPath = folder + "/" + kKeyFile;
    const std::string certPath = folder + "/" + kCertificateFile;
    const bool haveKey = Exists(keyPath), haveCert = Exists(certPath);

    if (!haveKey && !haveCert) {
        EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        if (!key) return Fail(error, "cannot make a key: " + OpenSslErrors());
        X509* cert = MakeCertificate(key);
        if (!cert) {
            EVP_PKEY_free(key);
            return Fail(error, "cannot make a certificate: " + OpenSslErrors());
        }
        Identity identity(key, cert);
        std::string keyPem = Pem(WriteKey, key), certPem = Pem(WriteCertificate, cert);
        if (keyPem.empty() || certPem.empty())
            return Fail(error, "cannot encode the identity: " + OpenSslErrors());
        // The certificate goes last: a crash between the two leaves a key alone, which the next
        // start refuses instead of silently making a new identity.
        if (std::string e = WritePrivateFile(keyPath, keyPem); !e.empty()) return Fail(error, e);
        if (std::string e = WritePrivateFile(certPath, certPem); !e.empty()) {
            ::unlink(keyPath.c_str());  // ours, from a moment ago: the next start begins afresh
            return Fail(error, e);
        }
        return identity;
    }
    if (!haveKey) return Fail(error, keyPath + " is missing beside " + certPath);
    if (!haveCert) return Fail(error, certPath + " is missing beside " + keyPath);

    std::string keyPem, certPem;
    if (!ReadPrivateFile(keyPath, keyPem, error)) return std::nullopt;
    if (!ReadPrivateFile(certPath, certPem, error)) return std::nullopt;

    BIO* bio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!key) return Fail(error, keyPath + " holds no readable key: " + OpenSslErrors());
    bio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!cert) {
        EVP_PKEY_free(key);
        return Fail(error, certPath + " holds no readable certificate: " + OpenSslErrors());
    }
    Identity identity(key, cert);
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519)
        return Fail(error, keyPath + " is not an Ed25519 key");
    if (X509_check_private_key(cert, key) != 1) {
        OpenSslErrors();
        return Fail(error, keyPath + " does not match " + certPath);
    }
    return identity;
}

bool Identity::UseIn(SSL_CTX* ctx) const {
    return SSL_CTX_use_certificate(ctx, certificate_.get()) == 1 &&
           SSL_CTX_use_PrivateKey(ctx, key_.get()) == 1 && SSL_CTX_check_private_key(ctx) == 1;
}

Fingerprint FingerprintOf(X509* certificate) {
    Fingerprint out{};
    unsigned int n = 0;
    X509_digest(certificate, EVP_sha256(), out.data(), &n);
    return out;
}

std::string ToHex(const Fingerprint& fingerprint) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : fingerprint) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::optional<Fingerprint> FingerprintFromHex(const std::string& hex) {
    if (hex.size() != 64) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    Fingerprint out{};
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = value(hex[2 * i]), lo = value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return out;
}

std::string DefaultIdentityFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return std::string(data) + "/quorell";
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return std::string(home) + "/.local/share/quorell";
    return {};
}

std::string OpenSslErrors() {
    std::string out;
    while (unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        if (!out.empty()) out += "; ";
        out += buffer;
    }
    return out.empty() ? "unknown error" : out;
}

}  // namespace quorell
