// SPDX-License-Identifier: MIT
// Load for the benchmark: N pages open on the program's web page, the first sending angle
// changes at a given rate (as Enter in its field), for a given time. Prints how many states
// the pages were sent and how many are still open at the end.
// Usage: web-pages URL PAGES CHANGES_PER_SECOND SECONDS
#include <QCoreApplication>
#include <QTimer>
#include <QWebSocket>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: web-pages URL PAGES CHANGES_PER_SECOND SECONDS\n");
        return 2;
    }
    const QUrl url(argv[1]);
    const int pages = std::atoi(argv[2]), rate = std::atoi(argv[3]);
    long states = 0;
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    for (int k = 0; k < pages; ++k) {
        sockets.push_back(std::make_unique<QWebSocket>());
        QObject::connect(sockets.back().get(), &QWebSocket::textMessageReceived,
                         [&states] { ++states; });
        sockets.back()->open(url);
    }
    // Targets far off, so the motor keeps stepping while they change.
    int sent = 0;
    QTimer changes;
    QObject::connect(&changes, &QTimer::timeout, [&] {
        sockets.front()->sendTextMessage(
            QString(R"({"text":"%1","go":true})").arg(36000 + (sent++ % 2) * 7.5));
    });
    changes.start(1000 / rate);
    QTimer::singleShot(std::atoi(argv[4]) * 1000, [&] {
        long open = 0;
        for (const auto& socket : sockets)
            open += socket->state() == QAbstractSocket::ConnectedState;
        std::printf("%ld %ld %d\n", states, open, sent);
        app.quit();
    });
    return app.exec();
}
