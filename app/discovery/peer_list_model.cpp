#include "discovery/peer_list_model.h"

#include <arpa/inet.h>

#include <algorithm>

namespace quorell {

PeerListModel::PeerListModel(QObject* parent) : QAbstractListModel(parent) {}

bool PeerListModel::Add(int interface, const QByteArray& name, const QString& ipv4) {
    if (name.isEmpty() || !IsIpv4(ipv4)) return false;
    QString shown = CleanName(name);
    // A name with nothing readable in it tells the user nothing.
    if (std::none_of(shown.cbegin(), shown.cend(), [](QChar c) {
            return !c.isSpace() && c != QChar(QChar::ReplacementCharacter);
        })) {
        return false;
    }
    if (const int row = Find(interface, name); row >= 0) RemoveRow(row);
    if (peers_.size() >= static_cast<size_t>(kMaxPeers)) RemoveRow(kMaxPeers - 1);
    beginInsertRows(QModelIndex(), 0, 0);
    peers_.insert(peers_.begin(), Peer{interface, name, std::move(shown), ipv4});
    endInsertRows();
    return true;
}

void PeerListModel::Remove(int interface, const QByteArray& name) {
    if (const int row = Find(interface, name); row >= 0) RemoveRow(row);
}

void PeerListModel::Clear() {
    if (peers_.empty()) return;
    beginResetModel();
    peers_.clear();
    endResetModel();
}

QString PeerListModel::CleanName(const QByteArray& name) {
    QString text = QString::fromUtf8(name);
    for (QChar& c : text) {
        // Control (Cc), format (Cf, e.g. direction overrides) and line and paragraph
        // separators would break the one-line list or reorder what it shows.
        const auto category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            c = QChar::ReplacementCharacter;
        }
    }
    if (text.size() > kMaxNameLength) {
        text.truncate(kMaxNameLength);
        if (text.back().isHighSurrogate()) text.chop(1);
    }
    return text;
}

bool PeerListModel::IsIpv4(const QString& text) {
    const QByteArray latin = text.toLatin1();
    in_addr address{};
    return text.size() <= 15 && inet_pton(AF_INET, latin.constData(), &address) == 1;
}

int PeerListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(peers_.size());
}

QVariant PeerListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Peer& peer = peers_[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return QStringLiteral("%1 (%2)").arg(peer.name, peer.address);
        case AddressRole:
        case Qt::EditRole:
            return peer.address;
        case NameRole:
            return peer.name;
        default:
            return {};
    }
}

int PeerListModel::Find(int interface, const QByteArray& name) const {
    for (size_t row = 0; row < peers_.size(); ++row) {
        if (peers_[row].interface == interface && peers_[row].raw_name == name) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

void PeerListModel::RemoveRow(int row) {
    beginRemoveRows(QModelIndex(), row, row);
    peers_.erase(peers_.begin() + row);
    endRemoveRows();
}

}  // namespace quorell
