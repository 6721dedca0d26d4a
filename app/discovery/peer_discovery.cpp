#include "discovery/peer_discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <pwd.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <QSysInfo>
#include <algorithm>

namespace quorell {
namespace {

// While the bus or the daemon cannot be reached, a fresh connection is tried this often.
constexpr int kRetryMs = 2000;

// The value of key in a TXT record, empty when it is not there.
QByteArray TxtValue(AvahiStringList* txt, const char* key) {
    AvahiStringList* entry = avahi_string_list_find(txt, key);
    char* value = nullptr;
    if (entry == nullptr || avahi_string_list_get_pair(entry, nullptr, &value, nullptr) != 0) {
        return {};
    }
    QByteArray result(value != nullptr ? value : "");
    avahi_free(value);
    return result;
}

}  // namespace

// Avahi's C callbacks, turned into calls of the object they were registered with.
struct AvahiCallbacks {
    static void Client(AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<PeerDiscovery*>(self)->ClientChanged(c, state);
    }
    static void Group(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        static_cast<PeerDiscovery*>(self)->GroupChanged(g, state);
    }
    static void Browse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol,
                       AvahiBrowserEvent event, const char* name, const char*, const char*,
                       AvahiLookupResultFlags, void* self) {
        static_cast<PeerDiscovery*>(self)->Browsed(interface, event, name);
    }
    static void Resolve(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char*, const char*, const char*,
                        const char*, const AvahiAddress* address, uint16_t, AvahiStringList* txt,
                        AvahiLookupResultFlags, void* self) {
        QString text;
        if (event == AVAHI_RESOLVER_FOUND && address != nullptr &&
            address->proto == AVAHI_PROTO_INET) {
            char buffer[AVAHI_ADDRESS_STR_MAX] = {};
            if (avahi_address_snprint(buffer, sizeof buffer, address) != nullptr) {
                text = QString::fromLatin1(buffer);
            }
        }
        const QByteArray run_id =
            event == AVAHI_RESOLVER_FOUND ? TxtValue(txt, PeerDiscovery::kRunIdKey) : QByteArray();
        static_cast<PeerDiscovery*>(self)->Resolved(r, text, run_id);
    }
};

PeerDiscovery::PeerDiscovery(const QByteArray& name, std::uint16_t port, QObject* parent,
                             std::uint16_t session_port)
    : QObject(parent),
      name_(ValidName(name)),
      run_id_(QByteArray::number(QRandomGenerator::system()->generate64(), 16)),
      port_(port),
      session_port_(session_port),
      lookups_(run_id_, &peers_, kMaxPendingLookups, kMaxWaitingLookups) {
    reconnect_.setSingleShot(true);
    connect(&reconnect_, &QTimer::timeout, this, [this] { Connect(); });
    Connect();
}

PeerDiscovery::~PeerDiscovery() {
    TearDown();
}

QByteArray PeerDiscovery::DefaultName() {
    QByteArray user = qgetenv("USER");
    if (user.isEmpty()) {
        passwd entry{};
        passwd* found = nullptr;
        char buffer[1024];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
            user = found->pw_name;
        }
    }
    QByteArray host = QSysInfo::machineHostName().toUtf8();
    if (user.isEmpty()) return ValidName(host.isEmpty() ? QByteArray("quorell") : host);
    return ValidName(user + '@' + host);
}

QByteArray PeerDiscovery::ValidName(const QByteArray& name) {
    QString text = QString::fromUtf8(name);
    QByteArray valid = text.toUtf8();
    while (valid.size() > AVAHI_LABEL_MAX - 1) {
        text.chop(text.size() >= 2 && text.back().isLowSurrogate() ? 2 : 1);
        valid = text.toUtf8();
    }
    return valid.isEmpty() ? QByteArray("quorell") : valid;
}

void PeerDiscovery::Connect() {
    TearDown();
    int error = 0;
    // The callback may run inside avahi_client_new(), and records the client itself.
    AvahiClient* client =
        avahi_client_new(poll_.Api(), AVAHI_CLIENT_NO_FAIL, AvahiCallbacks::Client, this, &error);
    if (client == nullptr) {
        // No system bus: try again later.
        ScheduleReconnect(kRetryMs);
        return;
    }
    client_ = client;
}

void PeerDiscovery::TearDown() {
    for (auto& [key, resolver] : resolvers_) avahi_service_resolver_free(resolver);
    resolvers_.clear();
    if (browser_ != nullptr) avahi_service_browser_free(browser_);
    browser_ = nullptr;
    if (group_ != nullptr) avahi_entry_group_free(group_);
    group_ = nullptr;
    if (client_ != nullptr) avahi_client_free(client_);
    client_ = nullptr;
    // Who is there cannot be known without the daemon: the list starts again with it.
    lookups_.Clear();
}

void PeerDiscovery::ScheduleReconnect(int delay_ms) {
    if (!reconnect_.isActive()) reconnect_.start(delay_ms);
}

void PeerDiscovery::ClientChanged(AvahiClient* client, int state) {
    client_ = client;
    switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            Announce();
            if (browser_ == nullptr) {
                browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                     kServiceType, nullptr, AvahiLookupFlags{},
                                                     AvahiCallbacks::Browse, this);
                if (browser_ == nullptr) ScheduleReconnect(kRetryMs);
            }
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host's own name is being (re)established: announce again once it is.
            if (group_ != nullptr) avahi_entry_group_reset(group_);
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away (or the bus did). The client is of no further use; a new
            // one waits for the daemon to come back. Not freed here, inside its own callback.
            ScheduleReconnect(avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED ? 0 : kRetryMs);
            break;
        default:  // AVAHI_CLIENT_CONNECTING: waiting for the daemon
            break;
    }
}

void PeerDiscovery::Announce() {
    if (client_ == nullptr) return;
    if (group_ == nullptr) {
        group_ = avahi_entry_group_new(client_, AvahiCallbacks::Group, this);
        if (group_ == nullptr) return;
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    const QByteArray txt = QByteArray(kRunIdKey) + '=' + run_id_;
    const QByteArray session_txt =
        QByteArray(kSessionPortKey) + '=' + QByteArray::number(session_port_);
    // A name taken by another instance is replaced by "name #2" and so on.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int result = avahi_entry_group_add_service(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags{}, name_.constData(),
            kServiceType, nullptr, nullptr, port_, txt.constData(),
            session_port_ > 0 ? session_txt.constData() : nullptr, nullptr);
        if (result == AVAHI_ERR_COLLISION) {
            Renamed();
            continue;
        }
        if (result == AVAHI_OK) avahi_entry_group_commit(group_);
        return;
    }
}

void PeerDiscovery::GroupChanged(AvahiEntryGroup* group, int state) {
    if (state != AVAHI_ENTRY_GROUP_COLLISION) return;
    Renamed();
    avahi_entry_group_reset(group);
    Announce();
}

void PeerDiscovery::Renamed() {
    char* other = avahi_alternative_service_name(name_.constData());
    name_ = ValidName(QByteArray(other));
    avahi_free(other);
}

void PeerDiscovery::Browsed(int interface, int event, const char* name) {
    switch (event) {
        case AVAHI_BROWSER_NEW:
            // Our own announcement is looked up too: only its run id tells it from another
            // machine's of the same name, which we may have held a moment ago.
            if (name == nullptr) return;
            lookups_.Appeared({interface, QByteArray(name)});
            LookUpWaiting();
            break;
        case AVAHI_BROWSER_REMOVE: {
            if (name == nullptr) return;
            const PeerLookups::Key key{interface, QByteArray(name)};
            if (lookups_.Went(key)) {
                if (auto it = resolvers_.find(key); it != resolvers_.end()) {
                    avahi_service_resolver_free(it->second);
                    resolvers_.erase(it);
                }
                LookUpWaiting();
            }
            break;
        }
        case AVAHI_BROWSER_FAILURE:
            ScheduleReconnect(kRetryMs);
            break;
        default:  // all for now, cache exhausted
            break;
    }
}

void PeerDiscovery::LookUpWaiting() {
    while (std::optional<PeerLookups::Key> key = lookups_.Next()) {
        // The browser's domain is the default one, as is the resolver's without one.
        AvahiServiceResolver* resolver = avahi_service_resolver_new(
            client_, key->first, AVAHI_PROTO_INET, key->second.constData(), kServiceType, nullptr,
            AVAHI_PROTO_INET, AvahiLookupFlags{}, AvahiCallbacks::Resolve, this);
        if (resolver == nullptr) {
            lookups_.Ended(*key, {}, {});
            continue;
        }
        resolvers_.emplace(std::move(*key), resolver);
    }
}

void PeerDiscovery::Resolved(AvahiServiceResolver* resolver, const QString& address,
                             const QByteArray& run_id) {
    const auto it = std::find_if(resolvers_.begin(), resolvers_.end(),
                                 [&](const auto& entry) { return entry.second == resolver; });
    avahi_service_resolver_free(resolver);
    if (it == resolvers_.end()) return;
    const PeerLookups::Key key = it->first;
    resolvers_.erase(it);
    lookups_.Ended(key, address, run_id);
    LookUpWaiting();
}

}  // namespace quorell
