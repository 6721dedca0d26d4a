// Files dropped on the window: one file is offered to the peer as the send-file button would
// offer it, and only while that button is enabled.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_files_view.h"

namespace quorell {

namespace {

void TakeAsCopy(QDropEvent* event) {
    if (event->possibleActions() & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!FileDragEvent(event)) QWidget::dragEnterEvent(event);
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
    if (!FileDragEvent(event)) QWidget::dragMoveEvent(event);
}

void TForm1::dropEvent(QDropEvent* event) {
    if (!FileDragEvent(event)) QWidget::dropEvent(event);
}

// A drag that carries files, over the window or one of its text boxes; anything else (text
// dragged into the input box) is left to the control under it.
bool TForm1::FileDragEvent(QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) return false;
    auto* drop = static_cast<QDropEvent*>(event);  // enter and move are drops to come
    if (drop->mimeData() == nullptr || !drop->mimeData()->hasUrls()) return false;
    if (!BitBtn4->isEnabled()) {
        drop->ignore();
        return true;
    }
    TakeAsCopy(drop);
    if (type == QEvent::Drop) {
        // The program the files come from waits until the drop returns; the offer, which may
        // open a box, follows it.
        const QList<QUrl> urls = drop->mimeData()->urls();
        QTimer::singleShot(0, this, [this, urls] { DropFiles(urls); });
    }
    return true;
}

void TForm1::DropFiles(const QList<QUrl>& urls) {
    if (!BitBtn4->isEnabled()) return;    // a transfer began since the drop
    if (files_view_->Drop(urls)) return;  // over a session with files: all of them, one offer
    if (urls.size() != 1) {
        dialogs_.PlainBox(QStringLiteral("一次只能传送一个文件，请只拖入一个文件。"));
        return;
    }
    const QUrl& url = urls.front();
    const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        dialogs_.PlainBox(QStringLiteral("只能传送本机上的文件：") + url.toDisplayString());
        return;
    }
    if (info.isDir()) {
        dialogs_.PlainBox(QStringLiteral("不能传送文件夹，请拖入一个文件：") + path);
        return;
    }
    if (!info.isFile()) {
        dialogs_.PlainBox(QStringLiteral("只能传送普通文件：") + path);
        return;
    }
    try {
        OfferFile(path);
    } catch (const std::exception& e) {
        dialogs_.StandardErrorBox(QString::fromUtf8(e.what()));
    }
}

}  // namespace quorell
