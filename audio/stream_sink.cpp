#include "audio/stream_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "net/socket_error.h"

namespace quorell {

namespace {

constexpr int kListenBacklog = 5;

[[noreturn]] void RaiseSocketApiError(int err, const char* api) {
    const int code = net::WinsockCodeFromErrno(err);
    char message[256];
    std::snprintf(message, sizeof message, "Windows socket error: %s (%d), on API '%s'",
                  net::SocketErrorText(code), code, api);
    throw Error(message);
}

// A listening socket bound to address:port; throws on failure.
int ListenSocket(const std::string& bind_address, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (port < 0 || port > 65535) RaiseSocketApiError(EINVAL, "bind");
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind_address.empty()) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1) {
        RaiseSocketApiError(EADDRNOTAVAIL, "bind");
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) RaiseSocketApiError(errno, "socket");
    auto fail = [fd](const char* api) {
        const int err = errno;
        close(fd);
        RaiseSocketApiError(err, api);
    };
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) fail("setsockopt");
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
    if (listen(fd, kListenBacklog) != 0) fail("listen");
    return fd;
}

}  // namespace

StreamAudioSink::StreamAudioSink(TACMOut& out, const TACMConvertor& convertor, ErrorBox error_box)
    : out_(out), convertor_(convertor), error_box_(std::move(error_box)) {
    out_.OnQueueShrunk = [this] { Serve(); };
}

StreamAudioSink::~StreamAudioSink() {
    out_.OnQueueShrunk = nullptr;
    // The sockets are children of the server and go with it; no signal reaches this object.
    if (server_) QObject::disconnect(server_.get(), nullptr, nullptr, nullptr);
    for (QTcpSocket* socket : clients_) QObject::disconnect(socket, nullptr, nullptr, nullptr);
}

void StreamAudioSink::Start(const std::string& bind_address, int port) {
    if (IsListening()) return;
    const int fd = ListenSocket(bind_address, port);
    auto server = std::make_unique<QTcpServer>();
    if (!server->setSocketDescriptor(fd)) {
        close(fd);
        RaiseSocketApiError(EBADF, "listen");
    }
    QObject::connect(server.get(), &QTcpServer::newConnection, server.get(), [this] { Accept(); });
    server_ = std::move(server);
}

bool StreamAudioSink::IsListening() const {
    return server_ && server_->isListening();
}

int StreamAudioSink::Port() const {
    return server_ ? server_->serverPort() : 0;
}

void StreamAudioSink::Accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (clients_.size() >= static_cast<std::size_t>(kMaxClients)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setReadBufferSize(kClientReadBuffer);
        clients_.insert(socket);
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [this, socket] { ClientRead(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
            // Bytes that came before the end of the stream are still played; the connection is
            // forgotten once they have been.
            if (socket->bytesAvailable() > 0) {
                ended_.insert(socket);
                ClientRead(socket);
            }
            if (clients_.count(socket) != 0 && socket->bytesAvailable() == 0) Forget(socket);
        });
        // Bytes that arrived before the connection was taken on.
        if (socket->bytesAvailable() > 0) ClientRead(socket);
    }
}

void StreamAudioSink::ClientRead(QTcpSocket* socket) {
    try {
        if (!out_.IsOpen()) out_.Open(convertor_.InputFormat);
    } catch (const std::exception& e) {
        socket->readAll();  // nothing can play them
        ReportFailure(QString::fromUtf8(e.what()));
        return;
    }
    if (std::find(waiting_.begin(), waiting_.end(), socket) == waiting_.end()) {
        waiting_.push_back(socket);
    }
    Serve();
}

std::uint64_t StreamAudioSink::RoomBytes() const {
    const WaveFormat& format = out_.Format();
    const std::uint64_t limit = std::uint64_t{format.nSamplesPerSec} * kMaxQueuedSeconds;
    const std::uint64_t queued = out_.QueuedFrames();
    return (queued < limit ? limit - queued : 0) * format.nBlockAlign;
}

void StreamAudioSink::Serve() {
    // A block reported played while a block is being written: the loop below goes on.
    if (serving_) return;
    serving_ = true;
    while (!waiting_.empty() && out_.IsOpen()) {
        const std::uint64_t room = RoomBytes();
        if (room == 0) break;
        QTcpSocket* socket = waiting_.front();
        waiting_.pop_front();
        const QByteArray bytes = socket->read(static_cast<qint64>(
            std::min<std::uint64_t>(room, static_cast<std::uint64_t>(socket->bytesAvailable()))));
        bool failed = false;
        try {
            out_.Play(bytes.constData(), static_cast<int>(bytes.size()));
        } catch (const std::exception& e) {
            ReportFailure(QString::fromUtf8(e.what()));
            failed = true;  // the rest waits for the next read rather than failing as well
        }
        if (socket->bytesAvailable() > 0) {
            waiting_.push_back(socket);  // the others' turn first
        } else if (ended_.count(socket) != 0) {
            Forget(socket);
        }
        if (failed) break;
    }
    serving_ = false;
}

void StreamAudioSink::Forget(QTcpSocket* socket) {
    clients_.erase(socket);
    ended_.erase(socket);
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), socket), waiting_.end());
    socket->deleteLater();
}

void StreamAudioSink::ReportFailure(const QString& message) {
    // The box waits for the user in an event loop of its own, where the clients' reads go on.
    // Opened right here, it would hold this client's read handler (and its connection's
    // buffering) for as long as it is open, and every further failing read would open another
    // box on top of it. So it opens once the handler has returned, and only one at a time.
    // The queued call holds what it uses, so it is safe even if the sink goes while it waits.
    if (!error_box_ || !server_ || *report_due_) return;
    *report_due_ = true;
    QTimer::singleShot(0, server_.get(), [box = error_box_, due = report_due_, message] {
        struct Done {
            bool& due;
            ~Done() { due = false; }
        } done{*due};
        box(message);
    });
}

}  // namespace quorell
