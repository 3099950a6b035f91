// SPDX-License-Identifier: MIT
#include "webgate.h"

#include "network/networkpolicy.h"

#include <QElapsedTimer>
#include <QRegularExpression>
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

WebGate::Budget::Budget(std::function<qint64()> clock)
    : capacity(CapacityFor(MostConnections)), now(std::move(clock))
{
    if (!now) {
        QElapsedTimer started;
        started.start();
        now = [started] { return started.elapsed(); };
    }
}

WebGate::WebGate(Networks allowed, std::shared_ptr<Budget> budget, QObject* parent)
    : QTcpServer(parent), allowed_(std::move(allowed)), budget_(std::move(budget))
{
    budget_->gates.push_back(this);
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
    int live = 0;
    for (WebGate* gate : budget_->gates)
        live += gate ? gate->Live() : 0;
    const auto fromSource = std::count_if(held_.begin(), held_.end(), [&peer](const Held& held) {
        return SameSource(held.peer, peer);
    });
    if (peer.isNull() || !IsAllowed(peer, allowed_) || fromSource >= MostPerSource ||
        (live >= budget_->capacity && !MakeRoom())) {
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
    held_.push_back({raw, peer, 0, 0, budget_->now(), false});
    Watch(raw); // before Qt's server is told of the socket: this sees each read first
    addPendingConnection(raw);
}

int WebGate::Live()
{
    std::erase_if(held_, [](const Held& held) { return !held.socket; });
    return int(held_.size());
}

bool WebGate::MakeRoom()
{
    // The request held longest, the nearest to its cut anyway (a flood's silent connection,
    // where one holds them all); never a page.
    Held* idle = nullptr;
    for (WebGate* gate : budget_->gates) {
        if (!gate)
            continue;
        for (Held& held : gate->held_)
            if (held.socket && !held.page && (!idle || held.since < idle->since))
                idle = &held;
    }
    if (!idle)
        return false;
    Drop(*idle->socket);
    idle->socket = nullptr;
    return true;
}

void WebGate::KeepAsPage(const QHostAddress& peer, quint16 port)
{
    for (Held& held : held_) {
        if (!held.socket || held.page || held.socket->peerPort() != port ||
            Unmapped(held.socket->peerAddress()) != Unmapped(peer))
            continue;
        held.page = true;
        held.received = Received(*held.socket);
        held.secondStarted = budget_->now();
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
    // Qt's server keeps a connection open whatever the request says: one that asked for
    // "Connection: close" is closed once its answer is out.
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        for (Held& held : held_)
            if (held.socket == socket && held.closeAsked && socket->bytesToWrite() == 0)
                socket->disconnectFromHost();
    });
}

void WebGate::Check(Held& held)
{
    QTcpSocket& socket = *held.socket;
    const qint64 now = budget_->now();
    const qint64 received = Received(socket);
    if (held.page && now - held.secondStarted >= 1000) {
        held.secondStarted = now;
        held.received = received;
    }
    static const QRegularExpression close(R"(\r\nconnection:[ \t]*close[ \t]*\r\n)",
                                          QRegularExpression::CaseInsensitiveOption);
    if (!held.page && !held.closeAsked)
        held.closeAsked =
            close.match(QString::fromLatin1(socket.peek(MostRequestBytes / 2))).hasMatch();
    const qint64 most = held.page ? MostPageBytesPerSecond : MostRequestBytes;
    if (received - held.received > most || socket.bytesToWrite() > MostUnsent)
        Drop(socket);
}

void WebGate::Sweep()
{
    const qint64 now = budget_->now();
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
