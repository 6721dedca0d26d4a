// The main window's side of video: sending our camera's frames and showing the peer's.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstring>

#include "app/big_picture.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_calls_view.h"
#include "app/qt_text.h"

namespace quorell {

namespace {

const QString kReceiveVideo = QStringLiteral("接收视频");
const QString kStopReceiving = QStringLiteral("停止接收");

void Put32(std::uint8_t* at, std::uint32_t value) {
    std::memcpy(at, &value, sizeof value);  // little-endian, as the records are laid out
}

void Put16(std::uint8_t* at, std::uint16_t value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

void TForm1::SetUpVideoComponents() {
    IdUDPClient1.ReceiveTimeout = 20000;
    IdUDPClient1.BindAddress = config_.bind_address;
    IdUDPServer1.DefaultPort = 9002;
    IdUDPServer1.BindAddress = config_.bind_address;
    IdUDPServer1.Bridge = bridge_;
    IdUDPServer1.OnUDPRead = [this](net::UdpServer& sender, std::string_view data,
                                    net::UdpBinding& binding) {
        IdUDPServer1UDPRead(sender, data, binding);
    };
}

void TForm1::Button3Click() {
    if (calls_view_->VideoStartPressed()) return;  // over a session with calls
    CaptureSetup.fill(0);
    Put32(&CaptureSetup[0], 1);            // microseconds per frame requested
    Put32(&CaptureSetup[12], 0xFFFFFFFF);  // yield
    Put32(&CaptureSetup[40], 27);          // Escape ends a capture
    FrameFormat.fill(0);
    video_.Start([this](const QImage& frame) { FrameCallback(frame); });
}

void TForm1::FrameCallback(const QImage& frame) {
    // The frame format record describes what the device delivers: a 24-bit bottom-up bitmap
    // of the frame's size.
    Put32(&FrameFormat[0], 40);
    Put32(&FrameFormat[4], static_cast<std::uint32_t>(frame.width()));
    Put32(&FrameFormat[8], static_cast<std::uint32_t>(frame.height()));
    Put16(&FrameFormat[12], 1);
    Put16(&FrameFormat[14], 24);
    Put32(&FrameFormat[20],
          static_cast<std::uint32_t>(((frame.width() * 3 + 3) & ~3) * frame.height()));
    if (calls_view_->CameraFrame(frame)) return;
    video_.Frame(frame);
}

void TForm1::StopCapture() {
    video_.EndCapture();
}

void TForm1::Button4Click() {
    if (calls_view_->VideoStopPressed()) return;
    video_.Stop();
}

void TForm1::Edit3Change() {
    BitBtn1->setEnabled(video_.PeerPort().has_value());
}

void TForm1::BitBtn1Click() {
    if (calls_view_->VideoReceivePressed()) return;
    video_.ToggleReceiving();
}

void TForm1::IdUDPServer1UDPRead(net::UdpServer&, std::string_view AData, net::UdpBinding&) {
    video_link_.Deliver(AData);
    Image1->repaint();
}

void TForm1::PeerClosedVideo() {
    video_.PeerClosedVideo();
}

void TForm1::OpenBigPicture() {
    // Only the peer's video is worth a bigger window, and it closes when the video stops.
    if (!video_.Receiving() && !calls_view_->ShowingPeerVideo()) return;
    if (big_picture_ == nullptr) big_picture_ = new BigPicture(this);
    big_picture_->ShowFrame(Image1->pixmap().toImage());
    big_picture_->show();
    big_picture_->raise();
    big_picture_->activateWindow();
}

void TForm1::CloseBigPicture() {
    Image1->setToolTip(QString());
    if (big_picture_ != nullptr) {
        big_picture_->close();
        big_picture_->ShowBlank();
    }
}

// What video shows.

void TForm1::SetStartEnabled(bool enabled) {
    Button3->setEnabled(enabled);
}

void TForm1::SetStopEnabled(bool enabled) {
    Button4->setEnabled(enabled);
}

void TForm1::NewCaptureSurface() {
    // A new capture surface fills the panel, on top of those of earlier starts. It is opaque,
    // so the panel's own caption and older surfaces never show through its text.
    auto* surface = new QLabel(Panel1);
    surface->setObjectName(QStringLiteral("我的窗口"));
    DescribeCaptureSurface(surface);
    surface->setGeometry(0, 0, Panel1->width(), Panel1->height());
    surface->setAutoFillBackground(true);
    surface->setScaledContents(true);
    surface->setAlignment(Qt::AlignCenter);
    surface->setWordWrap(true);
    surface->show();
    CaptureWindow = surface;
}

void TForm1::ShowPreview(const QImage& frame) {
    if (CaptureWindow != nullptr) CaptureWindow->setPixmap(QPixmap::fromImage(frame));
}

void TForm1::ShowCaptureNote(CaptureNote note, const std::string& detail) {
    if (CaptureWindow == nullptr) return;
    switch (note) {
        case CaptureNote::NoCamera:
            CaptureWindow->setText(QStringLiteral("未找到摄像头"));
            break;
        case CaptureNote::Unplugged:
            CaptureWindow->setText(QStringLiteral("摄像头已断开，重新接上后会继续发送视频。"));
            break;
        case CaptureNote::Failed:
            CaptureWindow->setText(QStringLiteral("摄像头无法使用，可能正被其他程序占用。"));
            break;
    }
    CaptureWindow->setToolTip(QString::fromStdString(detail));
}

void TForm1::ClearCaptureNote() {
    if (CaptureWindow != nullptr) CaptureWindow->setToolTip(QString());
}

void TForm1::ShowReceiving(bool receiving) {
    BitBtn1->setText(receiving ? kStopReceiving : kReceiveVideo);
    if (receiving) Image1->setToolTip(QStringLiteral("双击可放大对方的视频"));
}

void TForm1::ShowPeerVideoPort(std::optional<long> port) {
    // The box only shows the port; Edit3Change offers receiving by the controller's state.
    Edit3->setText(port ? QString::number(*port) : QString());
    Edit3Change();
}

void TForm1::ShowPlaceholder() {
    CloseBigPicture();
    Image1->clear();
    Image1->setPixmap(Image2->pixmap());
}

// What sending and showing frames read and change.

std::string TForm1::LocalVideoPort() {
    return ToGbk(Edit2->text());
}

void TForm1::VideoSendFailed(const std::string& message) {
    // Said once for a run of failures, after the frame at hand: a box opened from inside the
    // frame handler would take the next frames into its own event loop.
    const QString text = QStringLiteral("视频无法发送给对方：") + QString::fromStdString(message);
    QTimer::singleShot(0, this, [this, text] { dialogs_.PlainBox(text); });
}

void TForm1::ShowFrame(const QImage& frame) {
    Image1->setPixmap(QPixmap::fromImage(frame));
    if (big_picture_ != nullptr && big_picture_->isVisible()) big_picture_->ShowFrame(frame);
}

void TForm1::ShowBlank() {
    Image1->clear();
    if (big_picture_ != nullptr && big_picture_->isVisible()) big_picture_->ShowBlank();
}

}  // namespace quorell
