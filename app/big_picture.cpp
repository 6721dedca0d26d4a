#include "app/big_picture.h"

#include <QKeyEvent>
#include <QPainter>

namespace quorell {

namespace {
// Twice the size of the frames the peer sends, to start with.
constexpr QSize kStartSize(400, 330);
constexpr QSize kSmallest(160, 120);
}  // namespace

QRect FitKeepingAspect(const QSize& picture, const QRect& area) {
    if (picture.isEmpty() || area.isEmpty()) return {};
    // A sliver of a picture keeps at least a pixel across.
    const QSize fitted = picture.scaled(area.size(), Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    QRect placed(QPoint(), fitted);
    placed.moveCenter(area.center());
    return placed;
}

BigPicture::BigPicture(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("对方的视频"));
    setAccessibleName(QStringLiteral("对方的视频（大窗口）"));
    setAccessibleDescription(
        QStringLiteral("对方发来的视频画面；双击切换全屏，Esc 退出全屏或关闭"));
    setToolTip(QStringLiteral("双击切换全屏，Esc 退出全屏或关闭"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(kSmallest);
    resize(kStartSize);
}

void BigPicture::ShowFrame(const QImage& frame) {
    frame_ = frame;
    update();
}

void BigPicture::ShowBlank() {
    frame_ = QImage();
    update();
}

void BigPicture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QRect target = PictureRect();
    if (target.isEmpty()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, frame_);
}

void BigPicture::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (isFullScreen()) {
        showNormal();
    } else {
        close();
    }
}

void BigPicture::mouseDoubleClickEvent(QMouseEvent*) {
    if (isFullScreen()) {
        showNormal();
    } else {
        showFullScreen();
    }
}

}  // namespace quorell
