#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>

#include "session/identity.h"
#include "session/verification_code.h"
#include "temp_folder.h"

namespace quorell {
namespace {

// Self-signed certificates are not trusted by a chain but pinned by fingerprint afterwards;
// the handshake still requires the peer to present one and to prove it holds the key.
int AcceptAnyChain(int, X509_STORE_CTX*) {
    return 1;
}

using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using Session = std::unique_ptr<SSL, decltype(&SSL_free)>;

Context MakeContext(bool server, const Identity* identity) {
    Context ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       AcceptAnyChain);
    if (identity) {
        EXPECT_TRUE(identity->UseIn(ctx.get())) << OpenSslErrors();
    }
    return ctx;
}

struct Outcome {
    bool done = false;
    std::string version;
    Fingerprint clientSaw{}, serverSaw{};
};

// Runs both ends over an in-memory BIO pair until each has finished or one has failed.
Outcome Handshake(const Identity* client, const Identity* server) {
    Context cctx = MakeContext(false, client), sctx = MakeContext(true, server);
    Session c(SSL_new(cctx.get()), SSL_free), s(SSL_new(sctx.get()), SSL_free);
    BIO *cb = nullptr, *sb = nullptr;
    EXPECT_EQ(BIO_new_bio_pair(&cb, 0, &sb, 0), 1);
    SSL_set_bio(c.get(), cb, cb);
    SSL_set_bio(s.get(), sb, sb);
    SSL_set_connect_state(c.get());
    SSL_set_accept_state(s.get());
    Outcome out;
    bool cDone = false, sDone = false;
    for (int round = 0; round < 20 && !(cDone && sDone); ++round) {
        for (auto [ssl, done] : {std::pair{c.get(), &cDone}, std::pair{s.get(), &sDone}}) {
            if (*done) continue;
            int r = SSL_do_handshake(ssl);
            if (r == 1) {
                *done = true;
                continue;
            }
            int e = SSL_get_error(ssl, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                ERR_clear_error();
                return out;
            }
        }
    }
    if (!(cDone && sDone)) return out;
    // TLS 1.3 servers check the client's certificate after the client thinks it is done, so
    // pass one byte each way to make sure both accepted the other.
    char byte = 'x';
    if (SSL_write(c.get(), &byte, 1) != 1 || SSL_read(s.get(), &byte, 1) != 1) return out;
    if (SSL_write(s.get(), &byte, 1) != 1 || SSL_read(c.get(), &byte, 1) != 1) return out;
    out.done = true;
    out.version = SSL_get_version(c.get());
    X509* seenByClient = SSL_get0_peer_certificate(c.get());
    X509* seenByServer = SSL_get0_peer_certificate(s.get());
    if (seenByClient) out.clientSaw = FingerprintOf(seenByClient);
    if (seenByServer) out.serverSaw = FingerprintOf(seenByServer);
    return out;
}

class TwoIdentities : public ::testing::Test {
protected:
    TempFolder folderA, folderB, folderM;
    std::string error;
    std::optional<Identity> a = Identity::LoadOrCreate(folderA.path(), error);
    std::optional<Identity> b = Identity::LoadOrCreate(folderB.path(), error);
    std::optional<Identity> m = Identity::LoadOrCreate(folderM.path(), error);

    void SetUp() override { ASSERT_TRUE(a && b && m) << error; }
};

TEST_F(TwoIdentities, MutualTls13HandshakeShowsEachTheOthersFingerprint) {
    Outcome o = Handshake(&*a, &*b);
    ASSERT_TRUE(o.done);
    EXPECT_EQ(o.version, "TLSv1.3");
    EXPECT_EQ(o.clientSaw, b->GetFingerprint());
    EXPECT_EQ(o.serverSaw, a->GetFingerprint());
    EXPECT_EQ(VerificationCode(o.clientSaw, a->GetFingerprint(), {}),
              VerificationCode(o.serverSaw, b->GetFingerprint(), {}));
}

TEST_F(TwoIdentities, PeerWithoutCertificateRefused) {
    EXPECT_FALSE(Handshake(nullptr, &*b).done);
    EXPECT_FALSE(Handshake(&*a, nullptr).done);
}

}  // namespace
}  // namespace quorell
