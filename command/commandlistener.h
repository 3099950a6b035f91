// SPDX-License-Identifier: MIT
// Winsock1: the TCP endpoint that is either listening or connected to one client, never
// both. It keeps the one client itself and reports what happened: a client connected, a
// message with its bytes, the client gone. The core decides what a message means. Every
// connection the kernel completed is served in turn, never reset: those already queued when
// a client takes the slot wait for it, while later ones are refused by the kernel.
#pragma once

#include "base/failure.h"
#include "network/networkpolicy.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <deque>
#include <string>
#include <vector>

// A client whose host or network vanished sends nothing that says so; keepalive probes find
// out: silent for idle seconds, then count probes interval seconds apart.
struct KeepAlive {
    int idleSeconds = 30;
    int intervalSeconds = 10;
    int count = 3;
};

inline constexpr quint16 CommandPort = 3000;

struct ListenerOptions {
    quint16 port = CommandPort;
    QList<QHostAddress> addresses; // empty: every interface
    Networks allowed;              // where a client may come from; empty: any
    KeepAlive keepAlive;
    int retryMs = 1000;      // between attempts to listen again
    int acceptRetryMs = 100; // between attempts to accept once descriptors ran out
};

class CommandListener : public QObject {
    Q_OBJECT
public:
    // Reads are capped so a client that floods is taken in bounded slices.
    static constexpr qint64 ReadBufferSize = 64 * 1024;
    // Connections that may wait for the slot at once; more are refused.
    static constexpr std::size_t MaxWaiting = 64;

    explicit CommandListener(ListenerOptions options = {}, QObject* parent = nullptr);
    ~CommandListener() override;

    // Starts listening on every configured address; a failure, with what to do about it, if
    // any fails.
    Outcome Listen();
    // Ends the client's connection and listens again.
    void EndConnection();

    // The port listened on (after port 0, the one the system chose).
    quint16 LocalPort() const { return options_.port; }
    // The client's address (null while there is none), an IPv4-mapped IPv6 one as plain IPv4 (as in
    // every line we print).
    QHostAddress PeerAddress() const;

signals:
    void ClientConnected();
    void MessageArrived(const QByteArray& bytes);
    // The client's connection ended: by "disconnect", or the client went away (closed,
    // reset, or found dead).
    void ClientEnded();

private:
    void OnNewConnection(QTcpServer* server);
    // Takes every connection the server's kernel queue holds, in arrival order; false when
    // the process had no descriptor (or memory) left to take one with.
    bool TakeArrivals(QTcpServer* server);
    // Out of descriptors: said once, then tried again until connections can be taken.
    void AcceptFailed(const QString& why);
    void RetryAccepting();
    void Arrive(QTcpSocket* socket);
    // Gives the slot to the next waiting connection, or listens again when none waits.
    void ServeNext();
    void Adopt(QTcpSocket* socket);
    void Refuse(QTcpSocket* socket, const std::string& why);
    // The peer has closed its side (or the connection failed): it will send no more.
    static bool HasHungUp(const QTcpSocket& socket);
    void OnReadyRead();
    void OnClientGone();
    void DropClient();
    void CloseServers();
    void ListenAgain();
    // Why the last Listen failed, with what to do about it.
    std::string ListenFailure() const;
    bool IsListening() const;

    ListenerOptions options_;
    // Children, one per address; guarded, so a server gone by any path is never touched.
    std::vector<QPointer<QTcpServer>> servers_;
    QTcpSocket* client_ = nullptr;
    // Connections completed before the slot was taken, oldest first; children of this.
    std::deque<QTcpSocket*> waiting_;
    QTimer retry_;
    QTimer acceptRetry_; // runs while accepting fails for lack of descriptors
    QString errorString_;
    QAbstractSocket::SocketError error_ = QAbstractSocket::UnknownSocketError;
    QElapsedTimer lastRefusalReport_;
    int refusalsUnreported_ = 0;
};
