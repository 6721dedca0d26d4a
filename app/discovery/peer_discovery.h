#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "discovery/avahi_qt_poll.h"
#include "discovery/peer_list_model.h"
#include "discovery/peer_lookups.h"

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

namespace quorell {

// Announces this instance on the local network through the system's Avahi daemon and keeps
// the list of the other instances it finds. Everything runs on the thread that makes it.
// Without a daemon (or a system bus) it stays quiet and keeps trying; when the daemon goes
// and comes back, it announces and browses again by itself. It never touches the chat ports.
class PeerDiscovery : public QObject {
public:
    static constexpr const char* kServiceType = "_quorell._tcp";
    static constexpr int kMaxPendingLookups = 64;
    // Announcements that wait for a lookup while all are pending (a flood, or many at start).
    static constexpr int kMaxWaitingLookups = 256;

    // The TXT key of the random id each run announces, which tells its own announcement from
    // another's of the same name (two machines with the same user and host name).
    static constexpr const char* kRunIdKey = "run";
    // The TXT key of the TCP port this copy takes encrypted sessions on (absent when it takes
    // none).
    static constexpr const char* kSessionPortKey = "session";

    // name: the instance name to announce (cut to a valid one); port: the chat port;
    // session_port: the encrypted session's port, 0 for none.
    PeerDiscovery(const QByteArray& name, std::uint16_t port, QObject* parent = nullptr,
                  std::uint16_t session_port = 0);
    ~PeerDiscovery() override;

    PeerListModel* Peers() { return &peers_; }
    // The name announced now: the one asked for, or a variant when it was taken.
    QByteArray AnnouncedName() const { return name_; }
    // True while connected to the daemon and browsing.
    bool Browsing() const { return browser_ != nullptr; }

    // The id this run announces beside its name.
    QByteArray RunId() const { return run_id_; }

    // "user@host", as announced by the program.
    static QByteArray DefaultName();
    // name cut on a character boundary to what a service instance name may hold.
    static QByteArray ValidName(const QByteArray& name);

private:
    void Connect();
    void TearDown();
    void ScheduleReconnect(int delay_ms);
    void ClientChanged(AvahiClient* client, int state);
    void Announce();
    void GroupChanged(AvahiEntryGroup* group, int state);
    void Browsed(int interface, int event, const char* name);
    // Starts the lookups of waiting announcements while lookups are free.
    void LookUpWaiting();
    // address: the IPv4 address found, empty when the lookup failed or found another kind;
    // run_id: the id in its TXT record, empty when it has none.
    void Resolved(AvahiServiceResolver* resolver, const QString& address, const QByteArray& run_id);
    void Renamed();

    friend struct AvahiCallbacks;

    AvahiQtPoll poll_;
    PeerListModel peers_;
    QByteArray name_;
    QByteArray run_id_;
    std::uint16_t port_;
    std::uint16_t session_port_;
    QTimer reconnect_;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    PeerLookups lookups_;
    std::map<PeerLookups::Key, AvahiServiceResolver*> resolvers_;
};

}  // namespace quorell
