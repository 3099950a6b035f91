// SPDX-License-Identifier: MIT
#include "webgate.h"

#include "network/networkpolicy.h"

#include <QElapsedTimer>
#include <algorithm>
#include <cstddef>
#include <linux/tcp.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A quarter of the descriptors the process may hold at most: the rest stay for the command
// port, its waiting clients, the broker and the program's own files.
int CapacityFor(int most)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return most;
    return int(std::clamp<rlim_t>(limit.rlim_cur / 4, 1, rlim_t(most)));
}

// Every byte the peer has sent on the connection, read by Qt yet or not: the kernel's count,
// so it holds whoever reads the socket and however a page's WebSocket takes it.
qint64 Received(const QTcpSocket& socket)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return 0;
    return qint64(info.tcpi_bytes_received);
}

} // namespace

WebGate::WebGate(Networks allowed, QObject* parent)
    : QTcpServer(parent), allowed_(std::move(allowed)), capacity_(CapacityFor(MostConnections))
{
    clock_.start();
    sweep_.setInterval(250);
    connect(&sweep_, &QTimer::timeout, this, &WebGate::Sweep);
    sweep_.start();
}

void WebGate::incomingConnection(qintptr descriptor)
{
    // Judged on the bare descriptor: a crowd that is turned away costs no socket object.
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const QHostAddress peer =
        ::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &size) == 0
            ? Unmapped(QHostAddress(reinterpret_cast<sockaddr*>(&address)))
            : QHostAddress();
    std::erase_if(held_, [](const Held& held) { return !held.socket; });
    const auto fromPeer = std::count_if(held_.begin(), held_.end(),
                                        [&peer](const Held& held) { return held.peer == peer; });
    if (peer.isNull() || !IsAllowed(peer, allowed_) || int(held_.size()) >= capacity_ ||
        fromPeer >= MostPerAddress) {
        ::close(int(descriptor));
        return;
    }
    auto socket = std::make_unique<QTcpSocket>();
    if (!socket->setSocketDescriptor(descriptor))
        return; // closed with the socket
    // Taken in small slices, so no read ever brings in more than a page may send.
    socket->setReadBufferSize(MostRequestBytes / 2);
    QTcpSocket* raw = socket.release();
    raw->setParent(this);
    held_.push_back({raw, peer, 0, 0, clock_.elapsed(), false});
    Watch(raw); // before Qt's server is told of the socket: this sees each read first
    addPendingConnection(raw);
}

void WebGate::KeepAsPage(const QHostAddress& peer, quint16 port)
{
    for (Held& held : held_) {
        if (!held.socket || held.page || held.socket->peerPort() != port ||
            Unmapped(held.socket->peerAddress()) != Unmapped(peer))
            continue;
        held.page = true;
        held.received = Received(*held.socket);
        held.secondStarted = clock_.elapsed();
        // Again, for Qt may have cut the socket's earlier connections as it became a page;
        // this one comes after the page's own reading, and sees what it left to send.
        Watch(held.socket.data());
        return;
    }
}

void WebGate::Watch(QTcpSocket* socket)
{
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        for (Held& held : held_)
            if (held.socket == socket)
                return Check(held);
    });
}

void WebGate::Check(Held& held)
{
    QTcpSocket& socket = *held.socket;
    const qint64 now = clock_.elapsed();
    const qint64 received = Received(socket);
    if (held.page && now - held.secondStarted >= 1000) {
        held.secondStarted = now;
        held.received = received;
    }
    const qint64 most = held.page ? MostPageBytesPerSecond : MostRequestBytes;
    if (received - held.received > most || socket.bytesToWrite() > MostUnsent)
        Drop(socket);
}

void WebGate::Sweep()
{
    const qint64 now = clock_.elapsed();
    std::erase_if(held_, [](const Held& held) { return !held.socket; });
    for (Held& held : held_) {
        if (!held.page && now - held.since > RequestMs)
            Drop(*held.socket);
        else
            Check(held);
    }
}

void WebGate::Drop(QTcpSocket& socket)
{
    // Only cut: the HTTP server or the page that holds the socket deletes it as it goes.
    socket.abort();
}
