// The checks of what the peer's call sends, without GStreamer.
#include "media/signal_check.h"

#include <gtest/gtest.h>

namespace quorell::media {
namespace {

const std::string kPeer = "127.0.0.1";
const std::string kFingerprint =
    "a=fingerprint:sha-256 "
    "4A:AD:B9:B1:3F:82:18:3B:54:02:12:DF:3E:5D:49:6B:19:E5:7C:AB:3B:A3:5C:9D:AB:64:3E:1A:2F:3C:"
    "4D:5E\r\n";

std::string Sdp(const std::string& media, const std::string& extra = "") {
    return "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n" + kFingerprint + media + extra;
}
const std::string kAudio = "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=rtpmap:111 OPUS/48000/2\r\n";
const std::string kVideo = "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=rtpmap:96 VP8/90000\r\n";
const std::string kHost = "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host";

std::optional<std::string> Check(const std::string& sdp, Agreement agreement = {true, true},
                                 const std::vector<MediaKind>* expected = nullptr) {
    return CheckDescription(sdp, agreement, kPeer, expected, nullptr);
}

TEST(MediaSignalCheck, CandidatesOnlyOfThePeersHostAddressOverUdp) {
    EXPECT_EQ(CheckCandidate(kHost, kPeer), std::nullopt);
    EXPECT_EQ(CheckCandidate(kHost + " generation 0 ufrag ab+/", kPeer), std::nullopt);
    EXPECT_EQ(CheckCandidate("candidate:7 2 udp 1 ::1 9 typ host", "::1"), std::nullopt);
    // The same address written another way is the same address.
    EXPECT_EQ(CheckCandidate("candidate:7 1 UDP 1 0:0::1 9 typ host", "::1"), std::nullopt);

    const std::pair<std::string, std::string> refused[] = {
        {"candidate:1 1 UDP 2015363327 192.0.2.1 40000 typ host",
         "a candidate of an address other than the peer's"},
        {"candidate:1 1 UDP 2015363327 4f1e.local 40000 typ host",
         "a candidate hidden behind a .local name"},
        {"candidate:1 1 UDP 2015363327 peer.example 40000 typ host",
         "a candidate whose address is not an IP address"},
        {"candidate:1 1 TCP 2015363327 127.0.0.1 40000 typ host", "a candidate that is not UDP"},
        {"candidate:1 1 UDP 1 127.0.0.1 40000 typ srflx raddr 0.0.0.0 rport 0",
         "a candidate that is not a host candidate"},
        {"candidate:1 1 UDP 1 127.0.0.1 40000 typ relay",
         "a candidate that is not a host candidate"},
        {"candidate:1 3 UDP 1 127.0.0.1 40000 typ host", "a candidate of a bad component"},
        {"candidate:1 0 UDP 1 127.0.0.1 40000 typ host", "a candidate of a bad component"},
        {"candidate:1 1 UDP 1 127.0.0.1 0 typ host", "a candidate with a bad port"},
        {"candidate:1 1 UDP 1 127.0.0.1 65536 typ host", "a candidate with a bad port"},
        {"candidate:1 1 UDP 4294967296 127.0.0.1 1 typ host", "a candidate with a bad priority"},
        {"candidate:1 1 UDP -1 127.0.0.1 1 typ host", "a candidate with a bad priority"},
        {"candidate:1  1 UDP 1 127.0.0.1 1 typ host", "a candidate that does not parse"},
        {"candidate:1 1 UDP 1 127.0.0.1 1 typ host generation", "a candidate that does not parse"},
        {"candidate:1 1 UDP 1 127.0.0.1 1 typo host", "a candidate that does not parse"},
        {"a=candidate:1 1 UDP 1 127.0.0.1 1 typ host", "a candidate that does not parse"},
        {"candidate:a-b 1 UDP 1 127.0.0.1 1 typ host", "a candidate that does not parse"},
        {"", "a candidate that does not parse"},
        {kHost + "\r\na=candidate:2 1 UDP 1 10.0.0.1 1 typ host",
         "a candidate with bytes that are not printable text"},
        {kHost + std::string(1, '\0'), "a candidate with bytes that are not printable text"},
        {kHost + " x " + std::string(kMaxCandidateBytes, 'y'), "a candidate over the size limit"},
    };
    for (const auto& [text, reason] : refused) {
        EXPECT_EQ(CheckCandidate(text, kPeer), reason) << text;
    }
}

TEST(MediaSignalCheck, DescriptionsCarryOnlyTheAgreedMediaOverDtlsSrtp) {
    SdpSummary summary;
    EXPECT_EQ(CheckDescription(Sdp(kAudio + kVideo), {true, true}, kPeer, nullptr, &summary),
              std::nullopt);
    EXPECT_EQ(summary.media, (std::vector<MediaKind>{MediaKind::kVoice, MediaKind::kVideo}));
    EXPECT_EQ(Check(Sdp(kAudio), {true, false}), std::nullopt);
    // LF alone ends a line too, and a candidate of the peer's inside is taken.
    EXPECT_EQ(Check("v=0\no=- 1 0 IN IP4 0.0.0.0\ns=-\nt=0 0\n" + kFingerprint + kAudio +
                    "a=" + kHost + "\r\n"),
              std::nullopt);

    const std::pair<std::string, std::string> refused[] = {
        {"", "an empty description"},
        {"garbage", "a description that does not parse"},
        {"v=1\r\n", "a description that does not parse (no version)"},
        {Sdp(kAudio, "v=0\r\n"), "a description that does not parse (two versions)"},
        {Sdp(kAudio, "\r\n"), "a description that does not parse"},
        {Sdp(kAudio, "A=b\r\n"), "a description that does not parse"},
        {Sdp(kAudio, "a=x\x01y\r\n"), "a description with bytes that are not printable text"},
        {Sdp(kAudio, "a=\xc3\xa9\r\n"), "a description with bytes that are not printable text"},
        {"v=0\r\ns=-\r\nt=0 0\r\n" + kFingerprint + kAudio, "a description that does not parse"},
        {Sdp(""), "a description without media"},
        {Sdp("m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"),
         "media of a kind this call did not agree (application)"},
        {Sdp("m=audio 9 RTP/AVP 111\r\n"), "media not carried by DTLS-SRTP"},
        {Sdp("m=audio 9 UDP/TLS/RTP/SAVPF\r\n"), "a media line that does not parse"},
        {Sdp("m=audio 99999 UDP/TLS/RTP/SAVPF 111\r\n"), "a media line with a bad port"},
        {Sdp("m=audio 9 UDP/TLS/RTP/SAVPF 128\r\n"), "a media line with a bad payload type"},
        {Sdp(kAudio + kAudio), "two lines of voice"},
        {Sdp(kAudio + kVideo + kVideo), "more media than a call carries"},
        {Sdp(kAudio, "a=candidate:1 1 UDP 1 192.0.2.1 1 typ host\r\n"),
         "a candidate of an address other than the peer's"},
        {"v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=candidate:1 1 UDP 1 127.0.0.1 1 typ "
         "host\r\n" +
             kFingerprint + kAudio,
         "a candidate outside any media"},
        {"v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n" + kAudio,
         "media without a DTLS fingerprint"},
        {"v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n" + kAudio + kFingerprint + kVideo,
         "media without a DTLS fingerprint"},
        {Sdp(kAudio,
             "a=fingerprint:sha-1 4A:AD:B9:B1:3F:82:18:3B:54:02:12:DF:3E:5D:49:6B:19:E5:7C:AB\r\n"),
         "a DTLS fingerprint that is not SHA-256"},
        {Sdp(kAudio, std::string(kMaxSdpBytes, 'a')), "a description over the size limit"},
    };
    for (const auto& [sdp, reason] : refused) {
        EXPECT_EQ(Check(sdp), reason) << sdp;
    }
    EXPECT_EQ(Check(Sdp(kVideo), {true, false}), "video, which this call did not agree");
    EXPECT_EQ(Check(Sdp(kAudio), {false, true}), "voice, which this call did not agree");
}

TEST(MediaSignalCheck, AnAnswerCarriesExactlyTheMediaOfTheOffer) {
    const std::vector<MediaKind> both = {MediaKind::kVoice, MediaKind::kVideo};
    EXPECT_EQ(Check(Sdp(kAudio + kVideo), {true, true}, &both), std::nullopt);
    EXPECT_EQ(Check(Sdp(kVideo + kAudio), {true, true}, &both),
              "an answer whose media differ from our offer");
    EXPECT_EQ(Check(Sdp(kAudio), {true, true}, &both),
              "an answer whose media differ from our offer");
}

TEST(MediaSignalCheck, CanonicalAddresses) {
    EXPECT_EQ(CanonicalAddress("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(CanonicalAddress("FE80:0::1"), "fe80::1");
    EXPECT_EQ(CanonicalAddress("127.1"), std::nullopt);
    EXPECT_EQ(CanonicalAddress("1.2.3.4 "), std::nullopt);
    EXPECT_EQ(CanonicalAddress(std::string("1.2.3.4\0", 8)), std::nullopt);
    EXPECT_EQ(CanonicalAddress(""), std::nullopt);
}

}  // namespace
}  // namespace quorell::media
