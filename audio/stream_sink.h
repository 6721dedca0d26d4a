#pragma once

#include <QString>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "audio/acm_out.h"

class QTcpServer;
class QTcpSocket;

namespace quorell {

// The stream audio sink: a TCP server that plays every byte any client sends it, in the
// convertor's input format (8 kHz, 8-bit, mono PCM), on one playback component. Socket events
// arrive through the Qt event loop of the user-interface thread.
class StreamAudioSink {
public:
    // The window's standard error box, for every failure while handling a client.
    using ErrorBox = std::function<void(const QString& message)>;

    // The most audio kept queued and unplayed. While the queue is full no client is read: its
    // bytes wait in its connection and the client's sending slows down, and every byte it
    // sent is played in turn.
    static constexpr std::uint32_t kMaxQueuedSeconds = 10;
    // Clients connected at once; a further connection is closed as soon as it is accepted, so a
    // crowd cannot take every descriptor the program has.
    static constexpr int kMaxClients = 16;
    // Bytes taken from one client's connection and not yet handled; beyond that they wait in
    // the system's socket buffers and the client's sending slows down.
    static constexpr qint64 kClientReadBuffer = 64 * 1024;

    StreamAudioSink(TACMOut& out, const TACMConvertor& convertor, ErrorBox error_box);
    ~StreamAudioSink();
    StreamAudioSink(const StreamAudioSink&) = delete;
    StreamAudioSink& operator=(const StreamAudioSink&) = delete;

    // Listens on address:port (empty address: every local address) with a backlog of 5.
    // Throws Error "Windows socket error: <text> (<code>), on API '<call>'" on failure.
    void Start(const std::string& bind_address, int port);
    bool IsListening() const;
    int Port() const;
    // Connections open now.
    int ClientCount() const { return static_cast<int>(clients_.size()); }

    // Handles a client's waiting bytes: opens the playback component if it is closed and plays
    // them, as far as the queue has room; the rest waits for its turn. Failures go to the error
    // box; bytes that came while no device could be opened are dropped.
    void ClientRead(QTcpSocket* socket);

private:
    void Accept();
    // Plays waiting clients' bytes in turn while the queue has room.
    void Serve();
    std::uint64_t RoomBytes() const;
    void Forget(QTcpSocket* socket);
    void ReportFailure(const QString& message);

    TACMOut& out_;
    const TACMConvertor& convertor_;
    ErrorBox error_box_;
    std::unique_ptr<QTcpServer> server_;
    std::set<QTcpSocket*> clients_;
    // Clients with bytes not yet played, in turn; clients that closed with bytes still waiting.
    std::deque<QTcpSocket*> waiting_;
    std::set<QTcpSocket*> ended_;
    bool serving_ = false;
    // True while a box for a failure is queued or open.
    std::shared_ptr<bool> report_due_ = std::make_shared<bool>(false);
};

}  // namespace quorell
