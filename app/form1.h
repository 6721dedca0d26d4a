#pragma once

#include <QFont>
#include <QList>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/session_calls_link.h"
#include "app/session_files_link.h"
#include "app/startup_config.h"
#include "app/transfer_speed.h"
#include "app/tray.h"
#include "audio/acm_out.h"
#include "audio/format_chooser.h"
#include "audio/stream_sink.h"
#include "audio/voice_controller.h"
#include "audio/wave_in.h"
#include "audio/wave_out.h"
#include "chat/chat_controller.h"
#include "chat/send_text.h"
#include "common/ui_bridge.h"
#include "common/window_ref.h"
#include "keep/history_store.h"
#include "links/control_events.h"
#include "links/plain_control_link.h"
#include "links/plain_file_link.h"
#include "links/plain_video_link.h"
#include "links/plain_voice_link.h"
#include "links/switching_control_link.h"
#include "net/tcp_server.h"
#include "net/udp_server.h"
#include "session/identity.h"
#include "session/known_peers.h"
#include "session/session.h"
#include "transfer/file_receiver.h"
#include "transfer/send_file.h"
#include "video/video_controller.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QUrl;

namespace quorell {

// The idle picture of the peer-video area.
QPixmap PlaceholderPicture();
// "宋体" at 12 pixels, or the nearest installed Chinese font.
QFont WindowFont();

class BigPicture;
class IDialogs;
class ThemeSwitcher;
struct RunningWork;
class TForm3;
struct DeviceContext;
struct NotificationAction;

// The main window: owns every control, endpoint and piece of state for the whole run. Its
// handlers are short entry points; the logic lives beside it in the subsystem files.
class TForm1 : public QWidget,
               private IControlEvents,
               private IControlLinkWindow,
               private IChatWindow,
               private IChatView,
               private IFileSenderWindow,
               private IFileReceiverWindow,
               private IVideoWindow,
               private IVoiceWindow,
               private ITrayWindow {
public:
    TForm1(const StartupConfig& config, DeviceContext& devices, IDialogs& dialogs,
           std::shared_ptr<UiBridge> bridge, QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, named as on the window.
    QGroupBox* GroupBox1;
    QGroupBox* GroupBox2;
    QGroupBox* GroupBox3;
    QGroupBox* GroupBox4;
    QGroupBox* GroupBox5;
    QLabel* Label1;
    QLineEdit* Edit1;
    QPushButton* Button6;
    QPushButton* BitBtn5;
    QPushButton* BitBtn6;
    QPushButton* BitBtn4;
    QPushButton* BitBtn7;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QLabel* Image1;
    QLabel* Panel1;
    QPushButton* Button3;
    QPushButton* Button4;
    QPushButton* BitBtn1;
    QPlainTextEdit* Memo1;
    QLabel* Image2;
    QPlainTextEdit* Memo2;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* BitBtn2;
    QLabel* Label4;
    QProgressBar* Gauge1;
    QLineEdit* Edit4;
    QLineEdit* Edit5;
    QLabel* Label5;  // the kind of connection: "未加密", "加密，未验证", "加密，已验证"
    QLabel* Label6;        // the verification code of the open session
    QPushButton* Button7;  // "验证…": the user compared the code
    QPushButton* Button8;  // "静音", checked while our voice in a call is muted
    // Files over the session: this side's offer and the peer's, each with its line and bar.
    QLabel* Label7;
    QProgressBar* Gauge2;
    QLabel* Label8;
    QProgressBar* Gauge3;

    // Components.
    net::TcpServer Server1;
    net::UdpServer IdUDPServer2;  // the file receiver's port
    net::UdpClient IdUDPClient1;  // sends our video frames
    net::UdpServer IdUDPServer1;  // receives the peer's video frames
    net::UdpClient IdUDPClient3;  // sends our voice
    net::UdpServer IdUDPServer3;  // receives the peer's voice
    TACMWaveIn ACMWaveIn1;
    TACMWaveOut ACMWaveOut1;
    TACMDialog ACMDialog1;
    TACMOut ACMOut1;  // the stream audio sink's playback
    TACMConvertor ACMConvertor1;
    StreamAudioSink ServerSocket1;  // TCP 9002
    // The file sender's socket, shared with the sender threads through the file link.
    net::UdpClient& IdUDPClient2() { return file_link_->Client(); }
    // The one way every feature tells the peer something; made first, before any feature. It
    // carries the lines over the open session, and over the plain protocol otherwise.
    IControlLink& ControlLink() { return *control_link_; }
    std::shared_ptr<IControlLink> SharedControlLink() const { return control_link_; }
    // The plain protocol's link behind it, with its shared client.
    PlainControlLink& PlainControl() { return *plain_link_; }
    // The encrypted session's service, none when it is off or did not start.
    session::SessionService* Sessions() { return sessions_.get(); }
    bool SessionOpen() const { return open_.has_value(); }
    FileSendControl& FileSending() { return file_send_; }
    FileReceiver& FileReceiving() { return file_receiver_; }
    VideoController& Video() { return video_; }
    const FrameSender& VideoSending() const { return video_.Sender(); }
    const FrameReceiver& VideoReceiving() const { return video_.Receiver(); }
    TForm3* About() { return form3_.get(); }
    // The bigger picture of the peer's video, opened by a double-click on it (none before).
    BigPicture* BigVideo() const { return big_picture_; }
    // The speed beside the file progress, as its tooltip shows it ("" when nothing is moving).
    QString SpeedToolTip() const;
    // Over a session with files: the send button's menu ("发送文件…", "发送文件夹…", "停止发送"),
    // and the history's context menu, with the latest received files' entries (the caller
    // owns it).
    QMenu* SendMenu() const;
    QMenu* MakeHistoryMenu();

    // Window state.
    // The history line of the peer's latest text until it has rung, then empty.
    const QString& LastIncomingLine() const { return chat_.LastIncomingLine(); }
    QString SendFilePath;  // the file chosen last for sending
    // The capture surface made by the latest start of video sending (earlier ones stay under
    // it), the capture parameters handed to the device and the format of its frames, as the
    // 96-byte and 44-byte records they are.
    QLabel* CaptureWindow = nullptr;
    std::array<std::uint8_t, 96> CaptureSetup{};
    std::array<std::uint8_t, 44> FrameFormat{};
    // The voice format chosen for this run (owned by the chooser), none until chosen.
    const WaveFormat* VoiceFormat() const { return voice_.VoiceFormat(); }

    // Handlers.
    void FormCreate();
    bool FormCloseQuery();
    void Button2Click();
    void BitBtn2Click();
    void Button7Click();
    void Edit1Change();
    void Button6Click();
    void Button1Click();
    void Memo1Change();
    void Edit3Change();
    void Music();
    void Button3Click();
    void Button4Click();
    void FrameCallback(const QImage& frame);
    void BitBtn1Click();
    void IdUDPServer1UDPRead(net::UdpServer& Sender, std::string_view AData,
                             net::UdpBinding& ABinding);
    void BitBtn5Click();
    void BitBtn6Click();
    void Button8Click();
    void ACMWaveIn1Data(const char* data, int size);
    void IdUDPServer3UDPRead(net::UdpServer& Sender, std::string_view AData,
                             net::UdpBinding& ABinding);
    void BitBtn4Click();
    void BitBtn7Click();
    void IdUDPServer2UDPRead(net::UdpServer& Sender, std::string_view AData,
                             net::UdpBinding& ABinding);
    // The control server's OnConnect, run on each connection's own thread. It is given the
    // bridge and the window handle rather than the window, which it may outlive.
    static void Server1Connect(net::ServerConnection& AThread, UiBridge& bridge,
                               const WindowRef<IControlEvents>& window);

    // The icon in the desktop's tray (app/form1_tray.cpp); shown only where the desktop has a
    // tray, and then closing the window hides it there.
    Tray& TrayIcon() { return *tray_; }
    // The palette follows the desktop's light or dark choice (DeviceContext::color_scheme).
    bool DarkTheme() const;

    // The control channel's one-shot send to the trimmed peer address.
    bool SendControlLine(const std::string& line);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    // Runs a button handler; a failure it does not catch goes to the standard error box.
    template <class Handler>
    void Guarded(Handler handler);

    // IControlEvents
    void SetPeerVideoPort(long port) override;
    void SetPeerVoicePort(const std::string& port) override;
    void PeerOfferedFile(const std::string& source_address) override;
    void PeerCancelledFile() override;
    void PeerClosedVideo() override;
    void PeerConnected(const std::string& source_address) override;
    void PeerAcceptedFile(const std::string& line) override;
    void ShowIncoming(const std::string& line) override;

    // IControlLinkWindow
    std::string PeerAddress() override;
    void UnreachablePeerBox() override;

    // IChatWindow
    std::string InputText() override;
    void MessageTooLargeBox() override;
    void AddOwnHistory(const std::string& text) override;
    void ClearInput() override;

    // IChatView
    void AddHistory(const QString& line) override;
    void Ring() override;

    // IFileSenderWindow and IFileReceiverWindow
    std::string PeerAddressAsTyped() override;
    QString FileToSend() override { return SendFilePath; }
    void SetFileToSend(const QString& path) override { SendFilePath = path; }
    void SetSendFileEnabled(bool enabled) override;
    void ShowProgress(bool shown) override;
    void SetProgress(int percent) override;
    void ResetReceiveCaption() override;
    void PlainBox(const QString& text) override;
    QString AskSaveFileName(const QString& proposed) override;
    void TransferEnded() override;
    void TransferCompleted(const TransferStats& stats) override;
    void ReceiveStateChanged() override;
    bool IsPeerAddress(const std::string& address) override;

    // IVideoWindow
    std::string LocalVideoPort() override;
    void VideoSendFailed(const std::string& message) override;
    void ShowFrame(const QImage& frame) override;
    void ShowBlank() override;
    void SetStartEnabled(bool enabled) override;
    void SetStopEnabled(bool enabled) override;
    void NewCaptureSurface() override;
    void ShowPreview(const QImage& frame) override;
    void ShowCaptureNote(CaptureNote note, const std::string& detail) override;
    void ClearCaptureNote() override;
    void ShowReceiving(bool receiving) override;
    void ShowPeerVideoPort(std::optional<long> port) override;
    void ShowPlaceholder() override;
    void StopCapture();
    void SetUpVideoComponents();
    void OpenBigPicture();
    void CloseBigPicture();
    BigPicture* big_picture_ = nullptr;  // a window of its own, owned as a child

    // IVoiceWindow
    bool ChooseFormat(WaveFormat& format) override;
    std::string LocalVoicePort() override;
    void SetSendVoiceCaption(const QString& caption) override;
    void SetReceiveVoiceCaption(const QString& caption) override;
    void ShowPeerVoicePort(const std::string& port) override;
    void VoiceTypeBox() override;
    void SetUpVoiceComponents();
    void StartAudioSink();
    bool voice_box_open_ = false;
    PlainVoiceLink voice_link_{IdUDPClient3, IdUDPServer3};

    // The encrypted session (app/form1_session.cpp).
    class SessionEvents;
    class SessionHandler;
    struct OpenSession {
        std::shared_ptr<session::Session> session;
        std::shared_ptr<SessionEvents> events;
        SharedWindowRef<IControlEvents> events_ref;
        bool verified = false;
        std::shared_ptr<SessionFilesLink> files;  // none: the peer did not name file/1
        std::shared_ptr<SessionCallsLink> calls;  // none: the peer did not name call/1
    };
    void BuildSessionControls();
    void StartSessions();
    bool DialSession();
    bool AdoptSession(std::shared_ptr<session::Session> session);
    void SessionChat(const session::Session* which, const std::string& text);
    void SessionEnded(const session::Session* which, session::Ended why);
    void RetireSession();
    void CloseSessions();
    void ShowConnectionKind();
    void AddSystemLine(const QString& text, keep::Kind kind = keep::Kind::kSystem,
                       const QString& saved_path = QString());
    bool SendChatOverSession();
    // A peer's line as shown: over the plain protocol while a session is open it is marked as
    // not encrypted, so nobody can pass for the peer of the session.
    void ShowPeerLine(const std::string& line, bool encrypted);
    QString PeerPrefix(bool encrypted) const;
    // Shared with a dial still on its way when the window goes; the identity outlives the
    // service.
    std::shared_ptr<const Identity> identity_;
    std::optional<KnownPeers> known_peers_;
    std::shared_ptr<session::SessionService> sessions_;
    std::optional<OpenSession> open_;
    SharedWindowRef<TForm1> session_ref_;
    std::shared_ptr<std::atomic<int>> retiring_ = std::make_shared<std::atomic<int>>(0);

    // Files over the session (app/form1_session_files.cpp, app/form1_files_view.h).
    class FilesView;
    std::shared_ptr<FilesView> files_view_;

    // Calls over the session (app/form1_calls.cpp, app/form1_calls_view.h).
    class CallsView;
    std::shared_ptr<CallsView> calls_view_;

    // What the peer did, told while the window is not active (app/form1_notify.cpp).
    void TellUser(const QString& text);
    // With buttons on the notification; `on_action` gets the key of the one pressed (it may
    // come after the window has gone: it must check that what it acts on is still there).
    void TellUser(const QString& text, const QList<NotificationAction>& actions,
                  std::function<void(const QString&)> on_action);
    void RaiseFromNotification();
    bool attention_asked_ = false;
    std::deque<std::pair<QString, std::chrono::steady_clock::time_point>> recently_told_;

    // The tray, the question before closing and the theme (app/form1_tray.cpp).
    void SetUpDesktop();
    bool WindowShown() const override;
    void ShowWindow() override;
    void HideWindow() override;
    void QuitProgram() override;
    // Closing hides the window in the tray instead (not when quitting from the tray).
    bool HidesOnClose() const;
    // What closing would cut short, and the user's word on it. Once they agree, the transfers
    // over the plain protocol stop and their peer is told; the session's transfers and calls
    // are stopped, the peer told, when the session closes with the window.
    RunningWork Running() const;
    bool AskBeforeClose();
    void CountUnread();
    std::unique_ptr<Tray> tray_;
    std::unique_ptr<ThemeSwitcher> theme_;
    bool quitting_ = false;

    // The kept history (app/form1_kept.cpp): every history line is also handed to the store
    // (as its text), and a peer's earlier lines are shown again when it connects.
    class KeptView;
    std::shared_ptr<KeptView> kept_;
    void StartKeeping();
    void Keep(keep::Kind kind, const QString& text, const QString& saved_path = QString());
    void ShowKeptHistory();
    void HistoryCleared();
    void AddKeptMenuEntries(QMenu* menu);
    void KeptPlainSavePath(const QString& path);
    QString KeptPlainSavePath() const;

    // Accessible names, tooltips, tab order and shortcuts (app/form1_access.cpp).
    void SetUpAccessibility();
    static void DescribeCaptureSurface(QLabel* surface);

    // Files dropped on the window (app/form1_drop.cpp).
    bool FileDragEvent(QEvent* event);
    void DropFiles(const QList<QUrl>& urls);
    void OfferFile(const QString& path);

    // The speed of file transfers (app/form1_speed.cpp).
    void SetUpSpeedDisplay();
    void PollSendSpeed();
    void BeforeFileDatagram();
    void AfterFileDatagram();
    void FinishReceiveSpeed();
    void UpdateTransferSpeed();
    TransferSpeed send_speed_;
    TransferSpeed receive_speed_;
    std::shared_ptr<FileSendRun> measured_run_;
    std::int64_t receive_last_taken_ = 0;
    QString send_average_;  // the further line of the next completion notice from the peer
    QTimer* speed_timer_ = nullptr;

    StartupConfig config_;
    DeviceContext& devices_;
    IDialogs& dialogs_;
    std::shared_ptr<UiBridge> bridge_;
    SharedWindowRef<IControlLinkWindow> control_link_ref_;
    std::shared_ptr<PlainControlLink> plain_link_;
    std::shared_ptr<SwitchingControlLink> control_link_;
    std::unique_ptr<TForm3> form3_;
    SharedWindowRef<IControlEvents> dispatch_ref_;
    SharedWindowRef<IChatWindow> chat_ref_;
    ChatController chat_;
    SharedWindowRef<IFileSenderWindow> file_sender_ref_;
    std::shared_ptr<PlainFileLink> file_link_;
    FileSendControl file_send_;
    FileReceiver file_receiver_;
    PlainVideoLink video_link_{IdUDPClient1, IdUDPServer1};
    VideoController video_;
    VoiceController voice_;
};

}  // namespace quorell
