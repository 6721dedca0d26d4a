#include "support/two_peers.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/qt_bridge.h"
#include "support/fake_audio.h"
#include "video/pattern_camera.h"

namespace quorell::test {

Peer::Peer(const std::string& addr, std::shared_ptr<UiBridge> bridge, PeerPorts ports,
           const std::string& identity_folder)
    : address(addr) {
    auto player = std::make_unique<FakeRingPlayer>();
    ring = player.get();
    devices.ring = std::move(player);
    devices.camera = std::make_unique<PatternCamera>();
    // Recording is driven by hand in tests (FakeToneInput::Produce), so it is exact and fast.
    auto input = std::make_unique<FakeToneInput>();
    tone = input.get();
    devices.wave_in = std::move(input);
    auto output = std::make_unique<FakeRecordingOutput>();
    output->play_at_once = true;
    played = output.get();
    devices.wave_out = std::move(output);
    devices.sink_out = std::make_unique<FakeRecordingOutput>();
    auto desktop = std::make_unique<FakeOpener>();
    opener = desktop.get();
    devices.opener = std::move(desktop);
    StartupConfig config;
    config.bind_address = address;
    config.control_port = ports.control;
    config.file_port = ports.file;
    config.audio_sink_port = ports.audio_sink;
    config.session_port = ports.session;
    config.identity_folder = identity_folder;
    config.session_calls = ports.session_calls;
    config.keep_history = !ports.history_folder.empty();
    config.history_folder = ports.history_folder;
    form = std::make_unique<TForm1>(config, devices, dialogs, std::move(bridge));
    form->show();
}

Peer::~Peer() {
    form.reset();
}

void Peer::TypeAddress(const QString& text) {
    form->Edit1->clear();
    QTest::keyClicks(form->Edit1, text);
}

void Peer::Connect() {
    QTest::mouseClick(form->Button6, Qt::LeftButton);
}

void Peer::StartSend(const QString& message) {
    form->Memo2->setPlainText(message);
    QTest::mouseClick(form->Button1, Qt::LeftButton);
}

bool Peer::Send(const QString& message) {
    const int before = HistoryLinesStartingWith(QStringLiteral("自己["));
    StartSend(message);
    return WaitUntil(
        [&] { return HistoryLinesStartingWith(QStringLiteral("自己[")) == before + 1; });
}

QString Peer::HistoryText() const {
    return form->Memo1->toPlainText();
}

QStringList Peer::History() const {
    return HistoryText().split(QLatin1Char('\n'));
}

int Peer::HistoryLinesStartingWith(const QString& prefix) const {
    int n = 0;
    for (const QString& line : History()) n += line.startsWith(prefix);
    return n;
}

void TwoPeers::SetUp() {
    bridge = MakeQtUiBridge();
    a = std::make_unique<Peer>("127.0.0.1", bridge);
    b = std::make_unique<Peer>("127.0.0.2", bridge);
    ASSERT_TRUE(a->form->Server1.Active()) << a->dialogs.calls.size();
    ASSERT_TRUE(b->form->Server1.Active());
}

void TwoPeers::TearDown() {
    a.reset();
    b.reset();
    bridge->Close();
    bridge.reset();
    if (!temp_folder.empty()) QDir(QString::fromStdString(temp_folder)).removeRecursively();
}

std::string TwoPeers::IdentityFolder(const Peer& peer) const {
    return temp_folder + "/" + peer.address;
}

void TwoPeers::RestartWithSession(std::unique_ptr<Peer>& peer, const std::string& folder,
                                  bool calls) {
    const std::string address = peer->address;
    peer.reset();
    PeerPorts ports;
    ports.session = kTestSessionPort;
    ports.session_calls = calls;
    peer = std::make_unique<Peer>(address, bridge, ports, folder);
}

void TwoPeers::OpenSession() {
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(a->form->SessionOpen()) << a->HistoryText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return b->form->SessionOpen(); }));
}

void TwoPeers::StartWithSessions() {
    if (temp_folder.empty()) {
        QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/quorell-peers-XXXXXX"));
        dir.setAutoRemove(false);
        temp_folder = dir.path().toStdString();
    }
    RestartWithSession(a, IdentityFolder(*a));
    RestartWithSession(b, IdentityFolder(*b));
    ASSERT_NE(a->form->Sessions(), nullptr) << a->HistoryText().toStdString();
    ASSERT_NE(b->form->Sessions(), nullptr) << b->HistoryText().toStdString();
}

void TwoPeers::ConnectBothWays() {
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return a->form->Button1->isEnabled(); }));
    b->TypeAddress(QStringLiteral("127.0.0.1"));
    b->Connect();
    ASSERT_TRUE(WaitUntil([&] { return b->form->Button1->isEnabled(); }));
    // Each side's notice has reached the other.
    ASSERT_TRUE(WaitUntil([&] { return a->ring->rings == 1 && b->ring->rings == 1; }));
}

}  // namespace quorell::test
