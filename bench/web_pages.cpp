// SPDX-License-Identifier: MIT
// Load for the benchmark: N pages open on the program's web page, four from each loopback
// address (127.0.0.10 on, as the program takes at most four from one), the first sending angle
// changes at a given rate (as Enter in its field), for a given time. Prints how many states
// the pages were sent and how many are still open at the end.
// Usage: web-pages URL PAGES CHANGES_PER_SECOND SECONDS
//
// QWebSocket cannot choose its source address, so each page is a QTcpSocket speaking the
// little of the protocol a page needs: the handshake, text frames, pongs, the close.
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Page {
    QTcpSocket socket;
    QByteArray got;
    bool upgraded = false;
    bool closed = false;

    // A masked frame from the client; a zero mask leaves the payload as it is.
    void Send(quint8 opcode, const QByteArray& payload)
    {
        QByteArray frame(1, char(0x80 | opcode));
        if (payload.size() < 126)
            frame += char(0x80 | payload.size());
        else
            frame += QByteArray("\xfe", 1) + char(payload.size() >> 8) + char(payload.size());
        socket.write(frame + QByteArray(4, '\0') + payload);
    }

    // Whole frames from the server (never masked): counts text, answers pings.
    void Take(long& states)
    {
        got += socket.readAll();
        if (!upgraded) {
            const qsizetype end = got.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            upgraded = got.startsWith("HTTP/1.1 101");
            closed = !upgraded;
            got.remove(0, end + 4);
        }
        while (got.size() >= 2) {
            const quint8 opcode = quint8(got[0]) & 0x0f;
            qsizetype length = quint8(got[1]) & 0x7f, start = 2;
            if (length == 126) {
                if (got.size() < 4)
                    return;
                length = quint8(got[2]) << 8 | quint8(got[3]);
                start = 4;
            } else if (length == 127) {
                if (got.size() < 10)
                    return;
                length = 0;
                for (int k = 2; k < 10; ++k)
                    length = length << 8 | quint8(got[k]);
                start = 10;
            }
            if (got.size() < start + length)
                return;
            if (opcode == 0x1)
                ++states;
            else if (opcode == 0x9)
                Send(0xa, got.mid(start, length));
            else if (opcode == 0x8)
                closed = true;
            got.remove(0, start + length);
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: web-pages URL PAGES CHANGES_PER_SECOND SECONDS\n");
        return 2;
    }
    const QUrl url(argv[1]);
    const int pages = std::atoi(argv[2]), rate = std::atoi(argv[3]);
    const QByteArray handshake = "GET " + url.path().toLatin1() +
                                 " HTTP/1.1\r\nHost: " + url.authority().toLatin1() +
                                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Version: 13\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    long states = 0;
    std::vector<std::unique_ptr<Page>> sockets;
    for (int k = 0; k < pages; ++k) {
        sockets.push_back(std::make_unique<Page>());
        Page* page = sockets.back().get();
        QObject::connect(&page->socket, &QTcpSocket::readyRead,
                         [page, &states] { page->Take(states); });
        page->socket.bind(QHostAddress(QString("127.0.0.%1").arg(10 + k / 4)));
        page->socket.connectToHost(url.host(), url.port());
        page->socket.write(handshake);
    }
    // Targets far off, so the motor keeps stepping while they change.
    int sent = 0;
    QTimer changes;
    QObject::connect(&changes, &QTimer::timeout, [&] {
        sockets.front()->Send(
            0x1, QString(R"({"text":"%1","go":true})").arg(36000 + (sent++ % 2) * 7.5).toUtf8());
    });
    changes.start(1000 / rate);
    QTimer::singleShot(std::atoi(argv[4]) * 1000, [&] {
        long open = 0;
        for (const auto& page : sockets)
            open += page->upgraded && !page->closed &&
                    page->socket.state() == QAbstractSocket::ConnectedState;
        std::printf("%ld %ld %d\n", states, open, sent);
        app.quit();
    });
    return app.exec();
}
