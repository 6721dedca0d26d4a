#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace quorell {

// The largest rectangle of the picture's proportions that fits in area, centred in it. An
// empty picture or area gives an empty rectangle.
QRect FitKeepingAspect(const QSize& picture, const QRect& area);

// A window of its own, resizable, that shows the peer's video larger than the window's picture
// does, keeping the frames' proportions on a black ground. Double-click switches full screen;
// Escape leaves full screen, or closes the window.
class BigPicture : public QWidget {
public:
    explicit BigPicture(QWidget* parent = nullptr);

    void ShowFrame(const QImage& frame);
    void ShowBlank();  // black until the next frame
    const QImage& Frame() const { return frame_; }
    // Where the frame is drawn at the window's present size.
    QRect PictureRect() const { return FitKeepingAspect(frame_.size(), rect()); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QImage frame_;
};

}  // namespace quorell
