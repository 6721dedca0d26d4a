// The main window's side of video: sending our camera's frames and showing the peer's.
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cstring>

#include "app/big_picture.h"
#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/qt_text.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

using protocol::Encode;
using protocol::LineKind;

namespace {

const QString kReceiveVideo = QStringLiteral("接收视频");
const QString kStopReceiving = QStringLiteral("停止接收");
constexpr auto kPreviewInterval = std::chrono::milliseconds(30);

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
    Button3->setEnabled(false);

    // A new capture surface fills the panel, on top of those of earlier starts. It is opaque,
    // so the panel's own caption and older surfaces never show through its text.
    auto* surface = new QLabel(Panel1);
    surface->setObjectName(QStringLiteral("我的窗口"));
    surface->setGeometry(0, 0, Panel1->width(), Panel1->height());
    surface->setAutoFillBackground(true);
    surface->setScaledContents(true);
    surface->setAlignment(Qt::AlignCenter);
    surface->setWordWrap(true);
    surface->show();
    CaptureWindow = surface;

    CaptureSetup.fill(0);
    Put32(&CaptureSetup[0], 1);            // microseconds per frame requested
    Put32(&CaptureSetup[12], 0xFFFFFFFF);  // yield
    Put32(&CaptureSetup[40], 27);          // Escape ends a capture
    FrameFormat.fill(0);

    camera_fault_.reset();
    ICaptureDevice* camera = devices_.camera.get();
    if (camera != nullptr) camera->Disconnect();
    const QPointer<QLabel> shown(surface);
    const bool connected =
        camera != nullptr && camera->Connect(
                                 [this, shown](const QImage& frame) {
                                     if (shown) ShowPreview(*shown, frame);
                                     FrameCallback(frame);
                                 },
                                 [this, shown](CaptureFault fault, const std::string& detail) {
                                     if (shown) ShowCameraFault(*shown, fault, detail);
                                 },
                                 kPreviewInterval);
    if (!connected) surface->setText(QStringLiteral("未找到摄像头"));

    if (!SendControlLine(Encode(LineKind::VideoOpened))) return;
    if (!SendControlLine(Encode(LineKind::VideoPort, ToGbk(Edit2->text())))) return;
    Button4->setEnabled(true);
}

void TForm1::ShowPreview(QLabel& surface, const QImage& frame) {
    if (camera_fault_) {
        // The camera is back: its pictures take the place of the fault's words.
        camera_fault_.reset();
        surface.setToolTip(QString());
    }
    surface.setPixmap(QPixmap::fromImage(frame));
}

void TForm1::ShowCameraFault(QLabel& surface, CaptureFault fault, const std::string& detail) {
    // Said once for each fault, on the preview itself, where the frozen picture would be: it
    // stays while the camera is away and gives way to the first frame once it is back.
    if (camera_fault_ == fault) return;
    camera_fault_ = fault;
    surface.setText(fault == CaptureFault::Unplugged
                        ? QStringLiteral("摄像头已断开，重新接上后会继续发送视频。")
                        : QStringLiteral("摄像头无法使用，可能正被其他程序占用。"));
    surface.setToolTip(QString::fromStdString(detail));
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
    frame_sender_.OnFrame(frame);
}

void TForm1::StopCapture() {
    if (devices_.camera) devices_.camera->Disconnect();
}

void TForm1::Button4Click() {
    StopCapture();
    Button3->setEnabled(true);
    Button4->setEnabled(false);
    SendControlLine(Encode(LineKind::VideoClosed));
}

void TForm1::Edit3Change() {
    BitBtn1->setEnabled(!Trimmed(ToGbk(Edit3->text())).empty());
}

void TForm1::SetReceivingVideo(bool receiving) {
    receiving_video_ = receiving;
    BitBtn1->setText(receiving ? kStopReceiving : kReceiveVideo);
}

void TForm1::BitBtn1Click() {
    if (!receiving_video_) {
        if (Edit3->text().isEmpty()) return;
        IdUDPServer1.DefaultPort = Edit3->text().toInt();
        IdUDPServer1.SetActive(true);
        SetReceivingVideo(true);
        Image1->setToolTip(QStringLiteral("双击可放大对方的视频"));
        SendControlLine(Encode(LineKind::VideoReceiving));
        return;
    }
    SetReceivingVideo(false);
    IdUDPServer1.SetActive(false);
    CloseBigPicture();
    Image1->clear();
    Image1->setPixmap(Image2->pixmap());
    frame_receiver_.PlaceholderRestored();
    SendControlLine(Encode(LineKind::VideoNotReceiving));
}

void TForm1::IdUDPServer1UDPRead(net::UdpServer&, std::string_view AData, net::UdpBinding&) {
    frame_receiver_.OnDatagram(AData);
    Image1->repaint();
}

void TForm1::PeerClosedVideo() {
    Image1->clear();
    Image1->setPixmap(Image2->pixmap());
    frame_receiver_.PlaceholderRestored();
    SetReceivingVideo(false);
    Edit3->clear();
    IdUDPServer1.SetActive(false);
    CloseBigPicture();
}

void TForm1::OpenBigPicture() {
    // Only the peer's video is worth a bigger window, and it closes when the video stops.
    if (!receiving_video_) return;
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
