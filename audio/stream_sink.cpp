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
    : out_(out), convertor_(convertor), error_box_(std::move(error_box)) {}

StreamAudioSink::~StreamAudioSink() {
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
            // Bytes that came with the end of the stream are still played.
            if (socket->bytesAvailable() > 0) ClientRead(socket);
            clients_.erase(socket);
            socket->deleteLater();
        });
        // Bytes that arrived before the connection was taken on.
        if (socket->bytesAvailable() > 0) ClientRead(socket);
    }
}

void StreamAudioSink::ClientRead(QTcpSocket* socket) {
    const QByteArray bytes = socket->readAll();
    try {
        if (!out_.IsOpen()) out_.Open(convertor_.InputFormat);
        // Keep at most kMaxQueuedSeconds of audio waiting, so that a client sending faster than
        // the device plays cannot make the queue grow without limit.
        const WaveFormat& format = out_.Format();
        const std::uint64_t limit = std::uint64_t{format.nSamplesPerSec} * kMaxQueuedSeconds;
        const std::uint64_t queued = out_.QueuedFrames();
        const std::uint64_t room_frames = queued < limit ? limit - queued : 0;
        const std::uint64_t room_bytes = room_frames * format.nBlockAlign;
        const auto size = static_cast<int>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(bytes.size()), room_bytes));
        out_.Play(bytes.constData(), size);
    } catch (const std::exception& e) {
        ReportFailure(QString::fromUtf8(e.what()));
    }
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
