#include "commandlistener.h"

#include <QHostAddress>

CommandListener::CommandListener(QObject* parent) : QObject(parent)
{
    server_.setMaxPendingConnections(1);
    connect(&server_, &QTcpServer::newConnection, this, &CommandListener::OnNewConnection);
}

CommandListener::~CommandListener()
{
    delete requested_;
    delete socket_;
}

bool CommandListener::Listen()
{
    // All interfaces, IPv6 and IPv4 alike; hosts without IPv6 get IPv4 only.
    if (server_.listen(QHostAddress::Any, localPort_) ||
        (server_.serverError() == QAbstractSocket::UnsupportedSocketOperationError &&
         server_.listen(QHostAddress::AnyIPv4, localPort_)))
        return true;
    error_ = server_.serverError();
    errorString_ = server_.errorString();
    return false;
}

void CommandListener::Close()
{
    if (socket_) {
        Discard(socket_);
        return;
    }
    if (server_.isListening()) {
        // QTcpServer::close() deletes connections it still holds, so the one being
        // requested is taken out first; any others queued behind it are refused.
        if (!requested_)
            requested_ = server_.nextPendingConnection();
        while (QTcpSocket* extra = server_.nextPendingConnection()) {
            extra->abort();
            extra->deleteLater();
        }
        server_.close();
    }
}

void CommandListener::Accept(int requestId)
{
    (void)requestId; // the one held connection is the one requested
    if (!requested_ && server_.hasPendingConnections())
        requested_ = server_.nextPendingConnection();
    if (!requested_)
        return;
    socket_ = requested_;
    requested_ = nullptr;
    socket_->setReadBufferSize(ReadBufferSize);
    connect(socket_, &QTcpSocket::readyRead, this, &CommandListener::OnReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this, &CommandListener::OnSocketGone);
    connect(socket_, &QTcpSocket::errorOccurred, this, &CommandListener::OnSocketGone);
    // Bytes that came with the connection would otherwise wait for the next packet.
    if (socket_->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &CommandListener::OnReadyRead, Qt::QueuedConnection);
    if (socket_->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &CommandListener::OnSocketGone, Qt::QueuedConnection);
}

QByteArray CommandListener::GetData()
{
    return socket_ ? socket_->readAll() : QByteArray();
}

void CommandListener::OnNewConnection()
{
    // Only while listening with no client: a late arrival queued behind the accepted one
    // is turned away below when the listener closes.
    if (socket_ || !server_.hasPendingConnections())
        return;
    emit ConnectionRequest(nextRequestId_++);
}

void CommandListener::OnReadyRead()
{
    if (socket_ && socket_->bytesAvailable() > 0)
        emit DataArrival(static_cast<int>(socket_->bytesAvailable()));
}

void CommandListener::OnSocketGone()
{
    if (!socket_ || (sender() && sender() != socket_))
        return;
    if (socket_->state() == QAbstractSocket::ConnectedState)
        return; // an error that left the connection up (none expected for reads)
    // What the client sent before it went counts, as if it had stayed.
    if (socket_->bytesAvailable() > 0)
        emit DataArrival(static_cast<int>(socket_->bytesAvailable()));
    if (!socket_)
        return; // that data was "disconnect" and is already handled
    Discard(socket_);
    emit ConnectionLost();
}

void CommandListener::Discard(QTcpSocket*& socket)
{
    QTcpSocket* gone = socket;
    socket = nullptr;
    gone->disconnect(this);
    gone->abort();
    gone->deleteLater();
}
