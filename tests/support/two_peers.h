#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/devices.h"
#include "app/form1.h"
#include "support/fake_audio.h"
#include "support/fakes.h"
#include "support/wait.h"

namespace quorell::test {

// Control port the fixture's peers listen on (above 1024, so no privilege is needed).
constexpr int kTestControlPort = 21001;
// File port of the fixture's peers.
constexpr int kTestFilePort = 28090;
// Stream audio sink port of the fixture's peers.
constexpr int kTestAudioSinkPort = 29002;

// Session port of the fixture's peers, when their session is on.
constexpr int kTestSessionPort = 29010;

// The fixed ports a peer binds. Programs that run beside the tests (the soak) move them.
struct PeerPorts {
    int control = kTestControlPort;
    int file = kTestFilePort;
    int audio_sink = kTestAudioSinkPort;
    int session = 0;               // 0: the plain protocol only
    bool session_calls = true;     // the session names call/1
    std::string history_folder{};  // where the chat history is kept (empty: not kept)
};

// One copy of the program: its window with fake boxes and a counting ring player, bound to
// one loopback address.
struct Peer {
    // identity_folder: where a peer with its session on keeps its identity and known peers.
    Peer(const std::string& address, std::shared_ptr<UiBridge> bridge, PeerPorts ports = {},
         const std::string& identity_folder = {});
    ~Peer();

    std::string address;
    FakeDialogs dialogs;
    FakeRingPlayer* ring;                   // owned by devices
    FakeToneInput* tone = nullptr;          // owned by devices
    FakeRecordingOutput* played = nullptr;  // owned by devices
    FakeOpener* opener = nullptr;           // owned by devices
    DeviceContext devices;
    std::unique_ptr<TForm1> form;

    // Driving the window as a person would.
    void TypeAddress(const QString& text);
    void Connect();  // clicks the connect button
    // Types into the input box and clicks send; waits until the own history shows the message
    // (false if it never does).
    bool Send(const QString& message);
    // The same without waiting, for sends that are meant to fail.
    void StartSend(const QString& message);
    QStringList History() const;  // the history box, one entry per display line
    QString HistoryText() const;
    int HistoryLinesStartingWith(const QString& prefix) const;
};

// Two copies of the program in one process: A on 127.0.0.1 and B on 127.0.0.2.
class TwoPeers : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A types B's address and connects, and B does the same back.
    void ConnectBothWays();

    // Makes A and B anew with their sessions on, each with an identity folder of its own
    // (kept across RestartWithSession).
    void StartWithSessions();
    // Makes `peer` anew on its address with its session on (naming call/1 when `calls`) and the
    // identity in folder.
    void RestartWithSession(std::unique_ptr<Peer>& peer, const std::string& folder,
                            bool calls = true);
    std::string IdentityFolder(const Peer& peer) const;
    // A connects to B with one press, as a user would; both windows end up on the session.
    void OpenSession();
    std::string temp_folder;  // removed at the end

    std::shared_ptr<UiBridge> bridge;
    std::unique_ptr<Peer> a;
    std::unique_ptr<Peer> b;
};

}  // namespace quorell::test
