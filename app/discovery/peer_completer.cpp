#include "discovery/peer_completer.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>

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
    return completer;
}

}  // namespace quorell
