// SPDX-License-Identifier: MIT
// What the kernel holds on a loopback connection, for waiting without fixed sleeps.
#pragma once

#include <QFile>
#include <QTcpSocket>
#include <linux/sockios.h>
#include <sys/ioctl.h>

// Bytes the server has not read yet on the connection from this client: the client's send
// queue plus the program's receive queue, as the kernel counts them.
inline qint64 BytesInFlight(const QTcpSocket& client, quint16 serverPort)
{
    int unsent = 0;
    ::ioctl(int(client.socketDescriptor()), SIOCOUTQ, &unsent);
    qint64 unread = 0;
    const QByteArray server =
        ":" + QString("%1").arg(serverPort, 4, 16, QChar('0')).toUpper().toLatin1();
    const QString clientPort = QString("%1").arg(client.localPort(), 4, 16, QChar('0')).toUpper();
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 4 && fields[1].endsWith(server) &&
                fields[2].endsWith(":" + clientPort.toLatin1()))
                unread += fields[4].split(':').value(1).toLongLong(nullptr, 16);
        }
    }
    return unsent + unread;
}
