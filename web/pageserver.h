// SPDX-License-Identifier: MIT
// The page's HTTP side: "/" answered with the page and "/metrics" with the metrics to those
// they are for, anything else refused, and upgrades to "/live" handed on as WebSockets. Qt 6.5
// changed how a request is answered and Qt 6.8 asks a verifier before it upgrades; those
// differences stay in this file.
#pragma once

#include "webguard.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <functional>

class QHttpServerRequest;
class QHttpServerResponder;

struct WebOptions {
    QList<WebAddress> addresses; // none: no page
    bool readOnly = false;
    // Networks a page may come from; empty: any (the command port's --allow).
    Networks allowed;
    QList<WebAddress> metricsAddresses; // where /metrics is served alone (--metrics)
    bool pageless = false;              // this server answers /metrics only
};

class PageServer : public QAbstractHttpServer {
public:
    PageServer(const WebOptions& options, QByteArray page, std::function<QByteArray()> metrics);

    // Whether a request for `path`, naming `host` and, from a browser, `origin`, is one this
    // server answers. Who may connect at all (--allow) the WebGate in front has decided.
    bool IsOurs(const QString& path, QByteArrayView host, QByteArrayView origin) const;

protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;
#else
    bool handleRequest(const QHttpServerRequest& request, QHttpServerResponder& responder) override;
    void missingHandler(const QHttpServerRequest& request,
                        QHttpServerResponder& responder) override;
#endif

private:
    void Answer(const QHttpServerRequest& request, QHttpServerResponder& responder) const;

    const WebOptions& options_;
    const QByteArray page_;
    const std::function<QByteArray()> metrics_;
};
