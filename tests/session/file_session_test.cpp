// A whole file offer between two copies over a real session on loopback: the session's own
// pacing (SendWaiting) carries 64 MiB through without a message refused.

#include <fstream>

#include "files/incoming_transfer.h"
#include "files/offer_builder.h"
#include "files/outgoing_transfer.h"
#include "transport_support.h"

namespace quorell::session::test {
namespace {

// Hands the session's file messages to a transfer.
class ToTransfer : public ISessionHandler {
public:
    explicit ToTransfer(std::function<void(const FileMessage&)> to) : to_(std::move(to)) {}
    void SessionMessage(const Message& message) override {
        if (const auto* m = std::get_if<FileMessage>(&message)) to_(*m);
    }
    void SessionClosed(Ended, const std::string&) override {}

private:
    std::function<void(const FileMessage&)> to_;
};

TEST(FilesOverASession, SixtyFourMiBArriveWhole) {
    SessionOptions with_files = Peer::Fast();
    with_files.capabilities = {"chat", "events", kFileCapability};
    Peer carol{"127.0.0.3", "carol@nas", with_files};
    Peer dave{"127.0.0.1", "dave@pc", with_files};
    const std::uint16_t port = dave.Listen();
    std::string error;
    auto dialled = carol.service->Dial(Ip("127.0.0.1"), port, error);
    ASSERT_TRUE(dialled) << error;
    auto accepted = dave.inbox.Wait();
    ASSERT_TRUE(accepted);

    TempFolder source, dest;
    const std::string path = source.path() + "/big.bin";
    std::string block(1024 * 1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 64; ++i) {
            block[0] = static_cast<char>(i);  // no two blocks alike
            out << block;
        }
    }
    auto offer = files::BuildOffer({path}, error);
    ASSERT_TRUE(offer) << error;

    files::SessionPipe to_dave(dialled), to_carol(accepted);
    files::IncomingTransfer* in_ptr = nullptr;
    files::IncomingCallbacks ic;
    ic.offered = [&](const files::IncomingOffer&) {
        std::string e;
        EXPECT_TRUE(in_ptr->Accept(dest.path(), e)) << e;
    };
    files::IncomingTransfer in(to_carol, ic);
    in_ptr = &in;
    std::optional<files::OutgoingResult> result;
    files::OutgoingTransfer out(3, *offer, to_dave,
                                {{}, [&](const files::OutgoingResult& r) { result = r; }});
    accepted->Start(std::make_shared<ToTransfer>([&](const FileMessage& m) { in.OnMessage(m); }));
    dialled->Start(std::make_shared<ToTransfer>([&](const FileMessage& m) { out.OnMessage(m); }));
    out.Start();
    ASSERT_TRUE(out.Wait(240s));  // generous: slow under the sanitizers
    ASSERT_TRUE(in.Wait(30s));
    EXPECT_EQ(result->end, files::TransferEnd::kFinished) << result->text;
    ASSERT_EQ(result->files.size(), 1u);
    EXPECT_TRUE(result->files[0].ok()) << result->files[0].text;
    EXPECT_EQ(result->sent_bytes, 64u * 1024 * 1024);

    std::ifstream a(path, std::ios::binary), b(dest.path() + "/big.bin", std::ios::binary);
    EXPECT_TRUE(
        std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {}));
    dialled->Close();
    accepted->Close();
}

}  // namespace
}  // namespace quorell::session::test
