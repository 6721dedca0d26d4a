#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>
#include <vector>

namespace quorell {

// The peers found on the local network, newest first: one row per announced instance and
// interface, shown as "name (address)". The address role holds the IPv4 address alone, for
// the peer address box. Names come from the network and are cleaned to plain, short text;
// the list is bounded so a flood of announcements cannot grow it without end.
class PeerListModel : public QAbstractListModel {
public:
    static constexpr int kMaxPeers = 64;
    static constexpr int kMaxNameLength = 63;  // characters shown of an instance name
    enum Role { AddressRole = Qt::UserRole, NameRole };

    explicit PeerListModel(QObject* parent = nullptr);

    // Adds an instance, or refreshes it, at the top; the oldest goes when the list is full.
    // Returns false when the entry is not listed (no usable name, not IPv4).
    bool Add(int interface, const QByteArray& name, const QString& ipv4);
    void Remove(int interface, const QByteArray& name);
    void Clear();

    // Network text as one line of plain text: bad UTF-8 and control, format and separator
    // characters become U+FFFD, and it is cut to kMaxNameLength characters.
    static QString CleanName(const QByteArray& name);
    // True for a dotted-quad IPv4 address.
    static bool IsIpv4(const QString& text);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    struct Peer {
        int interface;
        QByteArray raw_name;
        QString name;
        QString address;
    };
    int Find(int interface, const QByteArray& name) const;
    void RemoveRow(int row);

    std::vector<Peer> peers_;
};

}  // namespace quorell
