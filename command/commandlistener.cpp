// SPDX-License-Identifier: MIT
#include "commandlistener.h"

#include "base/report.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

CommandListener::CommandListener(ListenerOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options))
{
    retry_.setInterval(options_.retryMs);
    connect(&retry_, &QTimer::timeout, this, &CommandListener::ListenAgain);
    acceptRetry_.setInterval(options_.acceptRetryMs);
    connect(&acceptRetry_, &QTimer::timeout, this, &CommandListener::RetryAccepting);
}

CommandListener::~CommandListener()
{
    // Shutting down: the client's end must not be reported, nor the port opened again.
    retry_.stop();
    acceptRetry_.stop();
    if (client_) {
        client_->disconnect(this);
        delete client_;
        client_ = nullptr;
    }
    waiting_.clear(); // children, deleted with this
    CloseServers();
}

bool CommandListener::IsListening() const
{
    return !servers_.empty() && servers_.front() && servers_.front()->isListening();
}

Outcome CommandListener::Listen()
{
    CloseServers();
    QList<QHostAddress> addresses = options_.addresses;
    if (addresses.isEmpty())
        addresses = {QHostAddress::Any};
    for (const QHostAddress& address : addresses) {
        auto* server = new QTcpServer(this);
        server->setMaxPendingConnections(1);
        bool listening = server->listen(address, options_.port);
        // All interfaces on a host without IPv6: IPv4 alone.
        if (!listening && address == QHostAddress::Any &&
            server->serverError() == QAbstractSocket::UnsupportedSocketOperationError)
            listening = server->listen(QHostAddress::AnyIPv4, options_.port);
        if (!listening) {
            error_ = server->serverError();
            errorString_ = server->errorString();
            if (addresses.size() > 1)
                errorString_ = address.toString() + ": " + errorString_;
            server->deleteLater();
            CloseServers();
            return Failure{"cannot listen on TCP port " + std::to_string(options_.port) + ": " +
                               ListenFailure(),
                           ExitStatus::StartUp};
        }
        // Port 0 picks a port once; every other address and every re-listen use that one.
        options_.port = server->serverPort();
        connect(server, &QTcpServer::newConnection, this,
                [this, server] { OnNewConnection(server); });
        // Qt stops accepting after such an error and never starts again by itself.
        connect(server, &QTcpServer::acceptError, this,
                [this, server] { AcceptFailed(server->errorString()); });
        servers_.push_back(server);
    }
    return {};
}

void CommandListener::CloseServers()
{
    // Later, not now: this may run inside one of the servers' own signals.
    for (QTcpServer* server : servers_) {
        if (!server)
            continue;
        server->disconnect(this);
        server->close();
        server->deleteLater();
    }
    servers_.clear();
}

void CommandListener::OnNewConnection(QTcpServer* server)
{
    TakeArrivals(server);
    ServeNext();
}

bool CommandListener::TakeArrivals(QTcpServer* server)
{
    // What Qt accepted already came first; then whatever the kernel completed since.
    while (QTcpSocket* socket = server->nextPendingConnection())
        Arrive(socket);
    for (;;) {
        const int fd = ::accept4(int(server->socketDescriptor()), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            AcceptFailed(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (fd < 0)
            return true;
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        Arrive(socket);
    }
}

void CommandListener::AcceptFailed(const QString& why)
{
    if (acceptRetry_.isActive())
        return;
    Report("cannot take a connection on TCP port " + std::to_string(options_.port) + ": " +
           why.toStdString() + "; trying again every " + std::to_string(options_.acceptRetryMs) +
           " ms (the program holds too many connections or files: see what "
           "'ls -l /proc/" +
           std::to_string(::getpid()) + "/fd' shows)");
    acceptRetry_.start();
}

void CommandListener::RetryAccepting()
{
    for (QTcpServer* server : servers_)
        if (server && !TakeArrivals(server))
            return;
    acceptRetry_.stop();
    for (QTcpServer* server : servers_)
        if (server)
            server->resumeAccepting();
    Report("taking connections on TCP port " + std::to_string(options_.port) + " again");
    ServeNext();
}

void CommandListener::Arrive(QTcpSocket* socket)
{
    // Ours now: a server that closes deletes the connections it still holds.
    socket->setParent(this);
    if (!IsAllowed(socket->peerAddress(), options_.allowed)) {
        Refuse(socket, "not in any --allow network");
        return;
    }
    if (waiting_.size() >= MaxWaiting) {
        Refuse(socket, std::to_string(MaxWaiting) + " connections already wait for their turn");
        return;
    }
    waiting_.push_back(socket);
}

void CommandListener::ServeNext()
{
    while (!client_ && !waiting_.empty()) {
        QTcpSocket* next = waiting_.front();
        waiting_.pop_front();
        Adopt(next);
    }
    if (!client_)
        ListenAgain();
}

void CommandListener::Refuse(QTcpSocket* socket, const std::string& why)
{
    // Rate-limited: a peer that hammers must not flood the log.
    if (!lastRefusalReport_.isValid() || lastRefusalReport_.elapsed() >= 1000) {
        const std::string more =
            refusalsUnreported_ > 0
                ? " (and " + std::to_string(refusalsUnreported_) + " more since the last report)"
                : "";
        Report("refused a connection from " +
               Unmapped(socket->peerAddress()).toString().toStdString() + ": " + why + more);
        lastRefusalReport_.start();
        refusalsUnreported_ = 0;
    } else {
        ++refusalsUnreported_;
    }
    socket->abort();
    socket->deleteLater();
}

bool CommandListener::HasHungUp(const QTcpSocket& socket)
{
    pollfd peer{int(socket.socketDescriptor()), POLLRDHUP, 0};
    return ::poll(&peer, 1, 0) > 0 && (peer.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void CommandListener::Adopt(QTcpSocket* socket)
{
    client_ = socket;
    client_->setParent(nullptr);
    // While this client is there, later arrivals are refused by the kernel: no listener. But
    // what the kernel completed before now is served after it, in order, never reset; and
    // while a client that already hung up is served, the next one may still connect.
    if (!HasHungUp(*client_)) {
        for (QTcpServer* server : servers_)
            if (server)
                TakeArrivals(server);
        CloseServers();
    }
    client_->setReadBufferSize(ReadBufferSize);
    client_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(client_->socketDescriptor());
    const KeepAlive& k = options_.keepAlive;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &k.idleSeconds, sizeof k.idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &k.intervalSeconds, sizeof k.intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &k.count, sizeof k.count);
    connect(client_, &QTcpSocket::readyRead, this, &CommandListener::OnReadyRead);
    connect(client_, &QTcpSocket::disconnected, this, &CommandListener::OnClientGone);
    connect(client_, &QTcpSocket::errorOccurred, this, &CommandListener::OnClientGone);
    emit ClientConnected();
    // Bytes that came with the connection would otherwise wait for the next packet.
    if (client_ && client_->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &CommandListener::OnReadyRead, Qt::QueuedConnection);
    if (client_ && client_->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &CommandListener::OnClientGone, Qt::QueuedConnection);
}

void CommandListener::OnReadyRead()
{
    if (client_ && client_->bytesAvailable() > 0)
        emit MessageArrived(client_->readAll());
}

void CommandListener::OnClientGone()
{
    if (!client_ || client_->state() == QAbstractSocket::ConnectedState)
        return; // an error that left the connection up (none expected for reads)
    // What the client sent before it went counts, as if it had stayed.
    while (client_ && client_->bytesAvailable() > 0)
        emit MessageArrived(client_->readAll());
    if (!client_)
        return; // that was "disconnect", already handled
    DropClient();
    emit ClientEnded();
    ServeNext();
}

void CommandListener::EndConnection()
{
    if (!client_)
        return;
    DropClient();
    emit ClientEnded();
    ServeNext();
}

void CommandListener::DropClient()
{
    QTcpSocket* gone = client_;
    client_ = nullptr;
    gone->disconnect(this);
    gone->abort();
    gone->deleteLater();
}

void CommandListener::ListenAgain()
{
    if (client_ || IsListening())
        return;
    if (!Listen()) {
        if (retry_.isActive()) {
            retry_.stop();
            Report("listening on TCP port " + std::to_string(options_.port) + " again");
        }
        return;
    }
    if (!retry_.isActive()) {
        const std::string port = std::to_string(options_.port);
        Report("cannot listen on TCP port " + port + " again: " + errorString_.toStdString() +
               "; retrying every second until it is free (" + PortHolderHint(options_.port) + ")");
        retry_.start();
    }
}

QHostAddress CommandListener::PeerAddress() const
{
    return client_ ? Unmapped(client_->peerAddress()) : QHostAddress();
}

std::string CommandListener::ListenFailure() const
{
    std::string reason = errorString_.toStdString();
    if (error_ == QAbstractSocket::AddressInUseError)
        reason +=
            " (another program holds it; stop that program; " + PortHolderHint(options_.port) + ")";
    else if (error_ == QAbstractSocket::SocketAccessError)
        reason += " (not permitted here; run without restrictions on ports)";
    return reason;
}
