// SPDX-License-Identifier: MIT
// The door in front of Qt's HTTP server, which holds whatever a connection sends for as long
// as it is open. Here a connection from outside --allow is closed before a byte is read; the
// connections held at once are capped, in all and per address; a request must be complete
// within a few seconds and a few kilobytes, and its answers read; and a page, once its
// connection is a WebSocket, is dropped when it sends more than a page ever does or leaves
// what it is sent unread. Only what passes reaches Qt.
#pragma once

#include "network/networkpolicy.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <vector>

class WebGate : public QTcpServer {
public:
    static constexpr int MostConnections = 128;           // fewer where descriptors are few
    static constexpr int MostPerAddress = 40;             // a browser's pages, and a few more
    static constexpr int RequestMs = 5000;                // until the request is answered or a page
    static constexpr qint64 MostRequestBytes = 32 * 1024; // all a connection sends before
    static constexpr qint64 MostUnsent = 64 * 1024;       // a peer further behind is dropped
    static constexpr qint64 MostPageBytesPerSecond = 16 * 1024;

    // allowed: as --allow (empty: any).
    explicit WebGate(Networks allowed, QObject* parent = nullptr);

    // The connection from peer:port is now a page: no deadline, and watched as a page.
    void KeepAsPage(const QHostAddress& peer, quint16 port);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Held {
        QPointer<QTcpSocket> socket;
        QHostAddress peer;
        qint64 received = 0; // the peer's byte count where the budget started
        qint64 secondStarted = 0;
        qint64 since = 0; // ms on clock_
        bool page = false;
    };
    // Checks the connection at each of its reads.
    void Watch(QTcpSocket* socket);
    void Check(Held& held);
    void Sweep();
    static void Drop(QTcpSocket& socket);

    Networks allowed_;
    int capacity_;
    std::vector<Held> held_;
    QTimer sweep_;
    QElapsedTimer clock_;
};
