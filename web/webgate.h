// SPDX-License-Identifier: MIT
// The door in front of Qt's HTTP server, which holds whatever a connection sends for as long
// as it is open. Here a connection from outside --allow is closed before a byte is read; the
// connections held at once are capped, in all and per source (an IPv4 address, an IPv6 /64),
// and when all are held the request held longest makes room; a request must be complete
// within a few seconds and a few kilobytes, and its answers read; and a page, once its
// connection is a WebSocket, is dropped when it sends more than a page ever does or leaves
// what it is sent unread. Only what passes reaches Qt.
#pragma once

#include "network/networkpolicy.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

class WebGate : public QTcpServer {
public:
    static constexpr int MostConnections = 128; // fewer where descriptors are few
    static constexpr int MostPerSource = 8; // a browser's pages and requests, with room to spare
    static constexpr int RequestMs = 5000;  // until the request is answered or a page
    static constexpr qint64 MostRequestBytes = 32 * 1024; // all a connection sends before
    static constexpr qint64 MostUnsent = 64 * 1024;       // a peer further behind is dropped
    static constexpr qint64 MostPageBytesPerSecond = 16 * 1024;

    // What all the program's gates hold between them: a quarter of the descriptors the process
    // may have, so the command port, its clients, the broker and the position file keep
    // theirs; their one clock, in milliseconds (by default a steady one from now).
    struct Budget {
        explicit Budget(std::function<qint64()> clock = {});
        int capacity;
        std::function<qint64()> now;
        std::vector<QPointer<WebGate>> gates;
    };

    // allowed: as --allow (empty: any).
    WebGate(Networks allowed, std::shared_ptr<Budget> budget, QObject* parent = nullptr);

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
        qint64 since = 0; // ms on the budget's clock
        bool page = false;
        bool closeAsked = false; // "Connection: close": closed once answered
    };
    // Checks the connection at each of its reads.
    void Watch(QTcpSocket* socket);
    void Check(Held& held);
    void Sweep();
    int Live();
    // The budget is spent: the request held longest by any gate goes; false when all are pages.
    bool MakeRoom();
    static void Drop(QTcpSocket& socket);

    Networks allowed_;
    std::shared_ptr<Budget> budget_;
    std::vector<Held> held_;
    QTimer sweep_;
};
