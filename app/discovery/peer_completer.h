#pragma once

class QAbstractItemModel;
class QCompleter;
class QLineEdit;

namespace quorell {

// Offers the peers of model (a PeerListModel) under the address box: the list opens on a
// click in the box, on the Down key or while typing, shows "name (address)" as plain text, as
// wide as its longest row, and choosing a peer puts its address in the box. The box itself is
// not moved or resized.
QCompleter* AttachPeerCompleter(QLineEdit* box, QAbstractItemModel* model);

}  // namespace quorell
