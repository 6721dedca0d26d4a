#include "discovery/peer_completer.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

#include "discovery/peer_list_model.h"

namespace quorell {
namespace {

// Opens the whole list for an empty box, which the completer alone only does while typing.
class OpenOnRequest : public QObject {
public:
    OpenOnRequest(QLineEdit* box, QCompleter* completer, QAbstractItemModel* model)
        : QObject(box), box_(box), completer_(completer), model_(model) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The list may go before the box does.
        if (watched != box_ || completer_ == nullptr || model_ == nullptr ||
            model_->rowCount() == 0) {
            return false;
        }
        const bool down = event->type() == QEvent::KeyPress &&
                          static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down &&
                          !completer_->popup()->isVisible();
        const bool click = event->type() == QEvent::MouseButtonRelease && box_->isEnabled();
        if (down || click) {
            completer_->setCompletionPrefix(QString());
            completer_->complete();
            return down;
        }
        return false;
    }

private:
    QLineEdit* box_;
    QPointer<QCompleter> completer_;
    QPointer<QAbstractItemModel> model_;
};

// The list opens as wide as the box it belongs to, which is far too narrow for a name and its
// address: it is made at least as wide as its longest row, up to the screen's width.
void FitPopupToRows(QCompleter* completer, QAbstractItemModel* model, QLineEdit* box) {
    QAbstractItemView* popup = completer->popup();
    const QFontMetrics metrics(popup->font());
    int widest = 0;
    for (int row = 0; row < model->rowCount(); ++row) {
        widest =
            std::max(widest, metrics.horizontalAdvance(model->index(row, 0).data().toString()));
    }
    // The frame, the item's own margins, and room for the scroll bar when there are many.
    const int margins = 2 * popup->frameWidth() +
                        2 * (popup->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) +
                        metrics.averageCharWidth() * 2;
    const int scroll_bar = model->rowCount() > completer->maxVisibleItems()
                               ? popup->verticalScrollBar()->sizeHint().width()
                               : 0;
    int width = widest + margins + scroll_bar;
    if (const QScreen* screen = box->screen())
        width = std::min(width, screen->availableGeometry().width());
    popup->setMinimumWidth(width);
}

}  // namespace

QCompleter* AttachPeerCompleter(QLineEdit* box, QAbstractItemModel* model) {
    auto* completer = new QCompleter(model, box);
    // Typed text is matched against the addresses, and the address is what goes in the box.
    completer->setCompletionRole(PeerListModel::AddressRole);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    completer->setModelSorting(QCompleter::UnsortedModel);  // keeps newest first
    completer->setMaxVisibleItems(10);
    box->setCompleter(completer);
    box->installEventFilter(new OpenOnRequest(box, completer, model));
    const auto fit = [completer, model, box] { FitPopupToRows(completer, model, box); };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, completer, fit);
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, completer, fit);
    QObject::connect(model, &QAbstractItemModel::modelReset, completer, fit);
    QObject::connect(model, &QAbstractItemModel::dataChanged, completer, fit);
    fit();
    return completer;
}

}  // namespace quorell
