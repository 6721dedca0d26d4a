// Two peers under the full workload while a third address (127.0.0.3) attacks B's ports:
// idle connections and garbage lines on the control port, random datagrams and protocol
// markers with garbage on the file port, random datagrams, cut and oversized JPEG headers and
// empty datagrams on the video and voice ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <iostream>

#include "app/form1.h"
#include "support/raw_udp.h"
#include "support/two_peers.h"
#include "support/workload.h"
#include "video/jpeg_codec.h"
#include "video/pattern_camera.h"

namespace quorell::test {
namespace {

constexpr const char* kAttacker = "127.0.0.3";
constexpr const char* kVictim = "127.0.0.2";

// A TCP connection from the attacker's address to the victim's port, or -1.
int ConnectFromAttacker(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in from = RawUdp::Address(kAttacker, 0);
    sockaddr_in to = RawUdp::Address(kVictim, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Attacker {
public:
    Attacker(int video_port, int voice_port) : video_port_(video_port), voice_port_(voice_port) {
        const std::string jpeg = EncodeFrameForWire(PatternCamera::Pattern(176, 144, 3));
        // Headers cut short, all before the picture data starts: none of them is a picture.
        const std::size_t scan = jpeg.find("\xFF\xDA");
        for (std::size_t cut : {std::size_t{2}, std::size_t{20}, scan / 2, scan + 4})
            cut_jpegs_.push_back(jpeg.substr(0, cut));
        // The frame size in the start-of-frame segment raised far beyond any camera's.
        std::string huge = jpeg;
        const std::size_t sof = huge.find("\xFF\xC0");
        if (sof != std::string::npos && sof + 9 <= huge.size())
            huge.replace(sof + 5, 4, "\xFF\xFF\xFF\xFF");
        cut_jpegs_.push_back(huge.substr(0, sof + 40));
        cut_jpegs_.push_back(huge);
    }
    ~Attacker() {
        for (int fd : idle_) ::close(fd);
    }

    // Connections that never send a byte.
    void HoldIdleConnections(int count) {
        for (int i = 0; i < count; ++i) {
            const int fd = ConnectFromAttacker(kTestControlPort);
            if (fd >= 0) idle_.push_back(fd);
        }
    }
    std::size_t IdleConnections() const { return idle_.size(); }

    // One round against every port.
    void Round() {
        // A garbage line (never one of the workload's tagged lines) on its own connection.
        const int fd = ConnectFromAttacker(kTestControlPort);
        if (fd >= 0) {
            std::string line = "x" + Garbage(1, 300);
            for (char& c : line)
                if (c == '\n') c = '?';
            line += "\r\n";
            (void)!::write(fd, line.data(), line.size());
            ::close(fd);
        }
        static const char* const kMarkers[] = {
            "Send file:File Name:", "Send File:File Length:", "Send File:File End!"};
        for (int i = 0; i < 3; ++i) udp_.SendTo(kVictim, kTestFilePort, Garbage(0, 1500));
        const char* marker = kMarkers[random_.bounded(3)];
        udp_.SendTo(kVictim, kTestFilePort,
                    std::string(marker) + (random_.bounded(2) ? Garbage(0, 40) : "12"));
        for (int port : {video_port_, voice_port_}) {
            udp_.SendTo(kVictim, port, Garbage(0, 3000));
            udp_.SendTo(kVictim, port, "");
        }
        udp_.SendTo(kVictim, video_port_,
                    cut_jpegs_[random_.bounded(static_cast<quint32>(cut_jpegs_.size()))]);
        ++rounds_;
    }
    int Rounds() const { return rounds_; }
    const std::vector<std::string>& Headers() const { return cut_jpegs_; }

private:
    std::string Garbage(int min, int max) {
        std::string bytes(static_cast<std::size_t>(random_.bounded(min, max + 1)), '\0');
        for (char& c : bytes) c = static_cast<char>(random_.generate());
        return bytes;
    }

    int video_port_;
    int voice_port_;
    RawUdp udp_{kAttacker};
    QRandomGenerator random_{20261209};
    std::vector<std::string> cut_jpegs_;
    std::vector<int> idle_;
    int rounds_ = 0;
};

class FixtureAttackTest : public TwoPeers {};

TEST_F(FixtureAttackTest, LinesFilesAndFramesSurviveAStrangerOnEveryPort) {
    a->form->IdUDPClient2().ReceiveTimeout = 300;
    b->form->IdUDPClient2().ReceiveTimeout = 300;
    WorkloadOptions options;
    options.file_min_bytes = 2 * 1024;
    options.file_max_bytes = 60 * 1024;
    options.file_patience = std::chrono::seconds(2);
    Workload workload(*a, *b, options);
    QString why;
    ASSERT_TRUE(workload.Start(&why)) << why.toStdString();

    Attacker attacker(options.video_port_a, options.voice_port_a);
    for (const std::string& header : attacker.Headers()) {
        QImage picture;
        EXPECT_NE(DecodeJpeg(header, &picture), DecodeResult::Decoded) << header.size();
    }
    attacker.HoldIdleConnections(20);
    EXPECT_EQ(attacker.IdleConnections(), 20u);
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::seconds(12);
    WorkloadCounters halfway;
    int b_frames_halfway = 0;
    bool half = false;
    while (Clock::now() < until) {
        attacker.Round();
        Settle(std::chrono::milliseconds(20));
        if (!half && Clock::now() > until - std::chrono::seconds(4)) {
            halfway = workload.Counters();
            b_frames_halfway = b->form->VideoReceiving().FramesShown();
            half = true;
        }
    }
    const WorkloadCounters during = workload.Counters();
    const int b_frames = b->form->VideoReceiving().FramesShown() - b_frames_halfway;
    ASSERT_TRUE(workload.Finish(std::chrono::seconds(30))) << workload.Summary().toStdString();
    const WorkloadCounters& c = workload.Counters();
    std::cout << attacker.Rounds() << " rounds: " << workload.Summary().toStdString() << "\n";
    for (const QString& note : c.notes) std::cout << "  " << note.toStdString() << "\n";

    EXPECT_GT(c.lines_sent, 5);
    EXPECT_EQ(workload.LinesMissing(), 0);
    EXPECT_EQ(c.lines_garbled, 0);
    EXPECT_EQ(c.lines_repeated, 0);
    EXPECT_EQ(c.lines_unconfirmed, 0);
    EXPECT_GE(c.files_sent, 2);
    EXPECT_EQ(c.files_corrupted, 0);
    EXPECT_EQ(c.files_unreported, 0);
    // The peer's frames keep showing on the attacked side (nothing the stranger sends is a
    // picture, so every frame shown there is the peer's).
    EXPECT_GT(b_frames, 0);
    EXPECT_GT(during.frames_shown, halfway.frames_shown);
    EXPECT_GT(during.voice_blocks, halfway.voice_blocks);
}

}  // namespace
}  // namespace quorell::test
