// The speed of a file transfer beside its progress: the rate and the time left in the tooltip
// of the progress bar, a few times a second, and the average with the completion notice.
#include <QCursor>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QToolTip>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_files_view.h"

namespace quorell {

namespace {

using Clock = TransferSpeed::Clock;
constexpr int kSpeedIntervalMs = 250;

// The further line of a completion notice; empty when nothing was measured.
QString AverageLine(std::optional<double> average) {
    if (!average) return {};
    return QStringLiteral("平均速度：") + QString::fromStdString(FormatRate(*average));
}

QString AverageLine(const TransferSpeed& speed) {
    return speed.Done() > 0 ? AverageLine(speed.AverageRate()) : QString();
}

}  // namespace

void TForm1::SetUpSpeedDisplay() {
    speed_timer_ = new QTimer(this);
    speed_timer_->setInterval(kSpeedIntervalMs);
    connect(speed_timer_, &QTimer::timeout, this, [this] { UpdateTransferSpeed(); });
}

// The sending side is measured from its first chunk (the receiver has taken the length by
// then, so the save dialog's time does not count) to the acknowledgement of its last.
void TForm1::PollSendSpeed() {
    const std::shared_ptr<FileSendRun> run = file_send_.CurrentRun();
    if (!run) return;
    const auto now = Clock::now();
    if (run != measured_run_) {
        const std::int64_t size = run->size;
        if (size <= 0 || run->cancelled || run->finished) return;
        measured_run_ = run;
        send_average_.clear();
        send_speed_.Start(now, size, run->acknowledged);
        speed_timer_->start();
        return;
    }
    if (!send_speed_.Running()) return;
    const std::int64_t acknowledged = run->acknowledged;
    send_speed_.Sample(now, acknowledged);
    if (run->cancelled || run->finished || acknowledged >= send_speed_.Total()) {
        send_speed_.Stop();
        if (!run->cancelled && acknowledged == send_speed_.Total())
            send_average_ = AverageLine(send_speed_);
    }
}

// Around each datagram of the file port: the receiving side is measured from the first chunk
// after the save dialog to the end datagram.
void TForm1::BeforeFileDatagram() {
    receive_last_taken_ = file_receiver_.BytesTaken();
}

void TForm1::AfterFileDatagram() {
    if (file_receiver_.Receiving() && !receive_speed_.Running()) {
        receive_speed_.Start(Clock::now(), file_receiver_.Announced().value_or(-1),
                             file_receiver_.BytesTaken());
        speed_timer_->start();
    }
}

// The end datagram, before the user is told how the transfer went.
void TForm1::FinishReceiveSpeed() {
    if (!receive_speed_.Running()) return;
    receive_speed_.Sample(Clock::now(), receive_last_taken_);
    receive_speed_.Stop();
}

// The completion box keeps its words and says the average speed on a line of its own.
void TForm1::TransferCompleted(const TransferStats& stats) {
    QString text = QStringLiteral("恭喜恭喜，文件传送完毕！");
    const QString average = AverageLine(stats.Average());
    if (!average.isEmpty()) text += QStringLiteral("\r\n") + average;
    Keep(keep::Kind::kTransfer, text, KeptPlainSavePath());
    dialogs_.PlainBox(text);
}

void TForm1::UpdateTransferSpeed() {
    const bool session_files = files_view_->Poll();
    PollSendSpeed();
    if (file_receiver_.Receiving() && receive_speed_.Running()) {
        receive_speed_.Sample(Clock::now(), file_receiver_.BytesTaken());
    } else if (receive_speed_.Running()) {
        receive_speed_.Stop();  // cancelled here, or replaced by a new file
    }

    const QString sending =
        send_speed_.Running() ? QString::fromStdString(send_speed_.Summary()) : QString();
    const QString receiving =
        receive_speed_.Running() ? QString::fromStdString(receive_speed_.Summary()) : QString();
    QString text;
    if (!sending.isEmpty() && !receiving.isEmpty()) {
        text = QStringLiteral("发送：") + sending + QLatin1Char('\n') + QStringLiteral("接收：") +
               receiving;
    } else {
        text = sending.isEmpty() ? receiving : sending;
    }
    Gauge1->setToolTip(text);
    Label4->setToolTip(text);
    // A tooltip that is open follows the figures.
    if (QToolTip::isVisible() && (Gauge1->underMouse() || Label4->underMouse()))
        QToolTip::showText(QCursor::pos(), text, Gauge1);
    if (!send_speed_.Running() && !receive_speed_.Running() && !session_files) speed_timer_->stop();
}

QString TForm1::SpeedToolTip() const {
    return Gauge1->toolTip();
}

}  // namespace quorell
