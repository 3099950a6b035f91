// SPDX-License-Identifier: MIT
#include "pageserver.h"

#include "command/commandlistener.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QHttpServerWebSocketUpgradeResponse>
#endif

namespace {

bool IsUpgrade(const QHttpServerRequest& request)
{
    return request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

} // namespace

PageServer::PageServer(const WebOptions& options, QByteArray page)
    : options_(options), page_(std::move(page))
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Refused here, a request from elsewhere never becomes a WebSocket at all.
    addWebSocketUpgradeVerifier(this, [this](const QHttpServerRequest& request) {
        if (IsOurs(request.remoteAddress(), request.url().path(), request.value("Host"),
                   request.value("Origin")))
            return QHttpServerWebSocketUpgradeResponse::accept();
        return QHttpServerWebSocketUpgradeResponse::deny(403, "not for this page\n");
    });
#endif
}

bool PageServer::IsOurs(const QHostAddress& peer, const QString& path, QByteArrayView host,
                        QByteArrayView origin) const
{
    return CommandListener::IsAllowed(peer, options_.allowed) && path == "/live" &&
           HostIsOurs(host, options_.addresses) && OriginIsOurs(origin, host);
}

#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Qt 6.4 makes a WebSocket of an upgrade only when it is taken here and nothing is
    // written; the page's socket is checked once it is one.
    if (IsUpgrade(request))
        return true;
    QHttpServerResponder responder = makeResponder(request, socket);
    Answer(request, responder);
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::BadRequest);
}
#else
bool PageServer::handleRequest(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    Answer(request, responder);
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest&, QHttpServerResponder& responder)
{
    responder.write(QHttpServerResponder::StatusCode::BadRequest);
}
#endif

void PageServer::Answer(const QHttpServerRequest& request, QHttpServerResponder& responder) const
{
    if (!CommandListener::IsAllowed(request.remoteAddress(), options_.allowed) ||
        !HostIsOurs(request.value("Host"), options_.addresses))
        responder.write("not for you\n", "text/plain", QHttpServerResponder::StatusCode::Forbidden);
    else if (request.url().path() != "/" || IsUpgrade(request))
        responder.write("no such page\n", "text/plain", QHttpServerResponder::StatusCode::NotFound);
    else
        responder.write(page_, "text/html; charset=utf-8");
}
