// The main window's side of the encrypted session with another copy of the program: starting
// the service, dialling on connect, adopting a session, its messages and its end.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdio>
#include <mutex>
#include <thread>
#include <variant>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_calls_view.h"
#include "app/form1_files_view.h"
#include "app/history.h"
#include "app/qt_text.h"
#include "common/text.h"
#include "common/worker.h"
#include "discovery/peer_discovery.h"
#include "links/control_dispatcher.h"
#include "links/line_source.h"
#include "net/resolve.h"
#include "protocol/control_lines.h"
#include "session/session_control_link.h"

namespace quorell {

using session::Session;

namespace {

// Runs body on a thread of its own and waits for it, serving the bridge meanwhile: the
// session's thread may be waiting for this one to take a hand-off.
void RunServingBridge(UiBridge* bridge, std::function<void()> body,
                      std::chrono::milliseconds timeout) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([body = std::move(body), done] {
        body();
        *done = true;
    });
    if (WaitServingBridge(
            bridge, [&] { return done->load(); }, timeout)) {
        worker.join();
    } else {
        worker.detach();
    }
}

}  // namespace

// The peer's lines over the session do what the same plain lines do, shown as the session
// peer's own.
class TForm1::SessionEvents : public IControlEvents {
public:
    explicit SessionEvents(TForm1& form) : form_(form) {}
    void SetPeerVideoPort(long port) override { form_.SetPeerVideoPort(port); }
    void SetPeerVoicePort(const std::string& port) override { form_.SetPeerVoicePort(port); }
    void PeerOfferedFile(const std::string& source) override { form_.PeerOfferedFile(source); }
    void PeerCancelledFile() override { form_.PeerCancelledFile(); }
    void PeerClosedVideo() override { form_.PeerClosedVideo(); }
    void PeerConnected(const std::string& source) override { form_.PeerConnected(source); }
    void PeerAcceptedFile(const std::string& line) override {
        form_.AddHistory(HistoryLine(form_.PeerPrefix(true), FromGbk(line)));
        form_.Keep(keep::Kind::kPeer, FromGbk(line));
        form_.file_send_.PeerAccepted();
    }
    void ShowIncoming(const std::string& line) override { form_.ShowPeerLine(line, true); }

private:
    TForm1& form_;
};

// Runs on the session's thread; everything it does goes through the bridge.
class TForm1::SessionHandler : public session::ISessionHandler {
public:
    SessionHandler(std::shared_ptr<UiBridge> bridge, SharedWindowRef<TForm1> window,
                   SharedWindowRef<IControlEvents> events, const Session* which,
                   std::string peer_address, std::weak_ptr<SessionFilesLink> files,
                   std::weak_ptr<SessionCallsLink> calls)
        : bridge_(std::move(bridge)),
          window_(std::move(window)),
          events_(std::move(events)),
          which_(which),
          peer_address_(std::move(peer_address)),
          files_(std::move(files)),
          calls_(std::move(calls)) {}

    void SessionMessage(const session::Message& message) override {
        try {
            if (const auto* chat = std::get_if<session::Chat>(&message)) {
                bridge_->Invoke([&] { window_->Get().SessionChat(which_, chat->text); });
            } else if (const auto* event = std::get_if<session::Event>(&message)) {
                const std::optional<std::string> line = session::LineForEvent(*event);
                if (!line) return;
                LineFeed feed({*line}, peer_address_);
                DispatchLines(feed, *bridge_, *events_);
            } else if (const auto* file = std::get_if<session::FileMessage>(&message)) {
                // Straight to the controller on this thread; what it decides comes back
                // through the bridge.
                if (const std::shared_ptr<SessionFilesLink> files = files_.lock())
                    files->Files().OnMessage(*file);
            } else if (const auto* call = std::get_if<session::CallMessage>(&message)) {
                if (const std::shared_ptr<SessionCallsLink> calls = calls_.lock())
                    calls->Calls().OnMessage(*call);
            }
        } catch (...) {
            // A closed window or a line the window refuses (a port that is no number): dropped,
            // as the control server drops such a connection.
        }
    }

    void SessionClosed(session::Ended why, const std::string&) override {
        try {
            bridge_->Invoke([&] { window_->Get().SessionEnded(which_, why); });
        } catch (...) {
        }
    }

private:
    std::shared_ptr<UiBridge> bridge_;
    SharedWindowRef<TForm1> window_;
    SharedWindowRef<IControlEvents> events_;
    const Session* which_;
    std::string peer_address_;
    // Held by the window, closed by whoever retires the session.
    std::weak_ptr<SessionFilesLink> files_;
    std::weak_ptr<SessionCallsLink> calls_;
};

void TForm1::BuildSessionControls() {
    // Beside the address box, between the connect and the voice buttons.
    Label5 = new QLabel(QStringLiteral("未加密"), GroupBox2);
    Label5->setGeometry(238, 22, 104, 12);
    // Over the history's frame, right of its caption.
    Label6 = new QLabel(GroupBox3);
    Label6->setGeometry(150, 0, 180, 14);
    Label6->hide();
    Button7 = new QPushButton(QStringLiteral("验证…"), GroupBox3);
    Button7->setGeometry(340, 0, 60, 16);
    Button7->setAutoDefault(true);
    Button7->hide();
    // Over the settings' frame, above the voice buttons, while a voice call is under way.
    Button8 = new QPushButton(QStringLiteral("静音"), GroupBox2);
    Button8->setGeometry(344, 0, 75, 16);
    Button8->setCheckable(true);
    Button8->hide();
}

void TForm1::StartSessions() {
    if (config_.session_port <= 0 || config_.session_port > 65535) return;
    session_ref_ = std::make_shared<WindowRef<TForm1>>(this);
    const std::string folder =
        config_.identity_folder.empty() ? DefaultIdentityFolder() : config_.identity_folder;
    std::string error;
    if (folder.empty()) {
        error = "no folder for the identity (neither XDG_DATA_HOME nor HOME is set)";
    } else if (std::optional<Identity> identity = Identity::LoadOrCreate(folder, error)) {
        identity_ = std::make_shared<const Identity>(std::move(*identity));
        known_peers_ = KnownPeers::Load(folder, error);
    }
    if (known_peers_) {
        session::SessionOptions options;
        options.bind_address = config_.bind_address;
        options.port = static_cast<std::uint16_t>(config_.session_port);
        options.own_name = PeerDiscovery::DefaultName().toStdString();
        options.program = "Quorell";
        options.capabilities.push_back(session::kFileCapability);
        if (config_.session_calls) options.capabilities.push_back(session::kCallCapability);
        sessions_ = std::make_shared<session::SessionService>(*identity_, options);
        sessions_->SetIncoming([bridge = bridge_, ref = session_ref_](std::shared_ptr<Session> s) {
            try {
                bridge->Invoke([&] { ref->Get().AdoptSession(s); });
                return;
            } catch (...) {
            }
            s->Close();
        });
        if (sessions_->Listen(error)) return;
        sessions_.reset();
    }
    // Said beside the connection's kind and on the standard error, never in the history: the
    // window then is exactly the plain protocol's.
    const QString why = QStringLiteral("无法启用加密会话（%1），本次只使用未加密的连接。")
                            .arg(QString::fromStdString(error));
    Label5->setToolTip(why);
    std::fprintf(stderr, "quorell: %s\n", why.toLocal8Bit().constData());
}

bool TForm1::DialSession() {
    const std::string host = Trimmed(ToGbk(Edit1->text()));
    struct Attempt {
        std::shared_ptr<const Identity> identity;  // outlives the service
        std::shared_ptr<session::SessionService> service;
        std::mutex mu;
        bool finished = false;
        bool abandoned = false;
        std::shared_ptr<Session> session;
    };
    auto attempt = std::make_shared<Attempt>();
    attempt->identity = identity_;
    attempt->service = sessions_;
    const auto port = static_cast<std::uint16_t>(config_.session_port);
    StartDetachedWorker([attempt, host, port] {
        std::shared_ptr<Session> opened;
        try {
            std::string error;
            opened = attempt->service->Dial(net::ResolveHost(host), port, error);
        } catch (...) {
        }
        std::lock_guard lock(attempt->mu);
        attempt->finished = true;
        if (!attempt->abandoned) {
            attempt->session = std::move(opened);
        } else if (opened) {
            opened->Close();
        }
    });
    const session::SessionOptions defaults;
    const auto bound =
        defaults.connect_timeout + defaults.handshake_timeout + std::chrono::milliseconds(500);
    WaitServingBridge(
        bridge_.get(),
        [&] {
            std::lock_guard lock(attempt->mu);
            return attempt->finished;
        },
        bound);
    std::shared_ptr<Session> opened;
    {
        std::lock_guard lock(attempt->mu);
        attempt->abandoned = true;
        opened = std::move(attempt->session);
    }
    return opened && AdoptSession(std::move(opened));
}

bool TForm1::AdoptSession(std::shared_ptr<Session> incoming) {
    const session::SessionInfo& info = incoming->Info();
    const std::string address = info.peer_address.Text();
    // One session at a time: the one the user already has stays and the newcomer is turned
    // away (its side goes on over the plain protocol). A session with this very copy (the
    // user typed an own address) is no session with a peer.
    const bool another_peer = open_ && open_->session->IsOpen() &&
                              open_->session->Info().peer_address != info.peer_address;
    if (another_peer || info.peer_fingerprint == info.own_fingerprint) {
        StartDetachedWorker([incoming] { incoming->Close(); });
        return false;
    }
    if (open_) RetireSession();

    bool verified = false;
    bool key_changed = false;
    switch (known_peers_->Check(info.peer_name, info.peer_fingerprint)) {
        case KnownPeers::Standing::New:
            known_peers_->Remember(info.peer_name, info.peer_fingerprint);
            break;
        case KnownPeers::Standing::KnownVerified:
            verified = true;
            break;
        case KnownPeers::Standing::KnownUnverified:
            break;
        case KnownPeers::Standing::KeyChanged:
            key_changed = true;
            break;
    }

    OpenSession open;
    open.session = incoming;
    open.events = std::make_shared<SessionEvents>(*this);
    open.events_ref = std::make_shared<WindowRef<IControlEvents>>(open.events.get());
    open.verified = verified;
    files_view_->Attach(open);
    calls_view_->Attach(open);
    open_ = std::move(open);
    control_link_->Switch(std::make_shared<session::SessionControlLink>(incoming));

    Edit1->setText(QString::fromStdString(address));
    for (QPushButton* button : {Button1, Button2, Button3, BitBtn4, BitBtn5}) {
        button->setEnabled(true);
    }
    AddSystemLine(
        QStringLiteral("[系统消息]：已与 %1 建立加密会话。").arg(QString::fromStdString(address)));
    ShowConnectionKind();
    ShowKeptHistory();
    incoming->Start(std::make_shared<SessionHandler>(bridge_, session_ref_, open_->events_ref,
                                                     incoming.get(), address, open_->files,
                                                     open_->calls));
    if (key_changed) {
        AddSystemLine(
            QStringLiteral("[系统消息]：警告：对方的密钥与上次不同，对方可能是别人冒充的。"));
        dialogs_.KeyChangedBox(QString::fromStdString(info.peer_name));
    }
    return true;
}

void TForm1::SessionChat(const Session* which, const std::string& text) {
    if (!open_ || open_->session.get() != which) return;
    const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    Keep(keep::Kind::kPeer, shown);
    chat_.Incoming(HistoryLine(kPeerPrefix, shown));
    CountUnread();
    TellUser(shown);
}

void TForm1::SessionEnded(const Session* which, session::Ended why) {
    if (!open_ || open_->session.get() != which) return;
    RetireSession();
    ShowConnectionKind();
    AddSystemLine(why == session::Ended::kClosedHere
                      ? QStringLiteral("[系统消息]：加密会话已关闭，现在使用未加密的连接。")
                      : QStringLiteral("[系统消息]：加密会话已结束，现在使用未加密的连接。"));
}

void TForm1::RetireSession() {
    control_link_->Switch(nullptr);
    OpenSession old = std::move(*open_);
    open_.reset();
    old.events_ref->Reset();
    files_view_->Retired(old.files.get());
    calls_view_->Retired();
    // Never on this thread: closing waits for the session's thread, which may be waiting for
    // this one, and the files' close for their threads, which may be waiting for this one too.
    ++*retiring_;
    StartDetachedWorker([session = std::move(old.session), events = std::move(old.events),
                         files = std::move(old.files), calls = std::move(old.calls),
                         retiring = retiring_]() mutable {
        if (calls) calls->Calls().Close();
        calls.reset();
        if (files) files->Files().Close("加密会话已结束");
        files.reset();
        session->Close();
        session.reset();
        events.reset();
        --*retiring;
    });
}

void TForm1::CloseSessions() {
    if (session_ref_) session_ref_->Reset();
    if (open_) {
        std::shared_ptr<Session> session = open_->session;
        std::shared_ptr<SessionFilesLink> files = open_->files;
        std::shared_ptr<SessionCallsLink> calls = open_->calls;
        calls_view_->Retired();
        control_link_->Switch(nullptr);
        open_->events_ref->Reset();
        // Transfers in progress are cancelled, the peer told, before the goodbye.
        RunServingBridge(
            bridge_.get(),
            [session, files, calls] {
                // The peer's media stops at once with the session's goodbye.
                if (calls) calls->Calls().Close();
                if (files) files->CancelAndClose("对方关闭了窗口");
                session->Close();
            },
            std::chrono::seconds(5));
    }
    if (sessions_) {
        std::shared_ptr<session::SessionService> service = sessions_;
        RunServingBridge(
            bridge_.get(), [service] { service->Stop(); }, std::chrono::seconds(10));
    }
    WaitServingBridge(
        bridge_.get(), [this] { return retiring_->load() == 0; }, std::chrono::seconds(5));
}

void TForm1::ShowConnectionKind() {
    if (!open_) {
        Label5->setText(QStringLiteral("未加密"));
        Label6->hide();
        Button7->hide();
        return;
    }
    Label5->setText(open_->verified ? QStringLiteral("加密，已验证")
                                    : QStringLiteral("加密，未验证"));
    const QString calls = calls_view_->RunningNote();
    Label6->setText(QStringLiteral("验证码 ") +
                    QString::fromStdString(open_->session->Info().code) +
                    (calls.isEmpty() ? QString() : QStringLiteral(" · ") + calls));
    Label6->show();
    Button7->setVisible(!open_->verified);
}

void TForm1::Button7Click() {
    if (!open_) return;
    const std::shared_ptr<Session> session = open_->session;
    const session::SessionInfo& info = session->Info();
    if (!dialogs_.ConfirmVerification(QString::fromStdString(info.code))) return;
    // The box may have stayed open while the session ended or another one came.
    if (!open_ || open_->session != session) return;
    const std::string error = known_peers_->MarkVerified(info.peer_name, info.peer_fingerprint);
    if (!error.empty()) {
        dialogs_.PlainBox(QStringLiteral("无法保存验证结果：") + QString::fromStdString(error));
        return;
    }
    open_->verified = true;
    ShowConnectionKind();
}

void TForm1::AddSystemLine(const QString& text, keep::Kind kind, const QString& saved_path) {
    AddHistory(HistoryLine(kOwnPrefix, text));
    Keep(kind, text, saved_path);
}

bool TForm1::SendChatOverSession() {
    if (!open_) return false;
    const QString typed = ToCrLf(Memo2->toPlainText());
    const QByteArray utf8 = typed.toUtf8();
    if (utf8.isEmpty()) return true;
    if (static_cast<std::size_t>(utf8.size()) > session::kMaxChatBytes) {
        MessageTooLargeBox();
        return true;
    }
    if (!open_->session->Send(session::Chat{utf8.toStdString()})) {
        // Never sent in the clear instead: the text stays for the user to send again.
        dialogs_.PlainBox(QStringLiteral("加密会话已结束，消息没有发出。"));
        return true;
    }
    AddHistory(HistoryLine(kOwnPrefix, typed));
    Keep(keep::Kind::kOwn, typed);
    Memo2->clear();
    return true;
}

QString TForm1::PeerPrefix(bool encrypted) const {
    return open_ && !encrypted ? kUnencryptedPeerPrefix : kPeerPrefix;
}

void TForm1::ShowPeerLine(const std::string& line, bool encrypted) {
    QString text = FromGbk(line);
    if (line == protocol::Encode(protocol::LineKind::FileCompleted)) {
        // The peer's words stay as they are; the average speed of our send follows them.
        PollSendSpeed();
        if (!send_average_.isEmpty())
            text += QStringLiteral("\r\n") + std::exchange(send_average_, QString());
    }
    Keep(open_ && !encrypted ? keep::Kind::kPeerUnencrypted : keep::Kind::kPeer, text);
    chat_.Incoming(HistoryLine(PeerPrefix(encrypted), text));
    CountUnread();
    TellUser(FromGbk(line));
}

}  // namespace quorell
