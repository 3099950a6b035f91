// SPDX-License-Identifier: MIT
#include "pageserver.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <algorithm>
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QHttpServerWebSocketUpgradeResponse>
#endif

namespace {

bool IsUpgrade(const QHttpServerRequest& request)
{
    return request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

QList<QPair<QByteArray, QByteArray>> Headers(const QHttpServerRequest& request)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 8, 0)
    return request.headers();
#else
    return request.headers().toListOfPairs();
#endif
}

bool Named(const QByteArray& header, const char* name)
{
    return header.compare(name, Qt::CaseInsensitive) == 0;
}

// A request whose length is told twice, told as no number, or told both ways, could be read
// one way here and another by a proxy in front: answered 400, never guessed at.
bool IsFramedAmbiguously(const QHttpServerRequest& request)
{
    int lengths = 0;
    bool chunked = false, number = true;
    for (const auto& [name, value] : Headers(request)) {
        if (Named(name, "Content-Length")) {
            ++lengths;
            const QByteArray digits = value.trimmed();
            number = number && !digits.isEmpty() &&
                     std::all_of(digits.begin(), digits.end(),
                                 [](char c) { return c >= '0' && c <= '9'; });
        }
        chunked = chunked || Named(name, "Transfer-Encoding");
    }
    return lengths > 1 || !number || (lengths == 1 && chunked);
}

// The page takes nothing: any body is refused.
bool HasBody(const QHttpServerRequest& request)
{
    for (const auto& [name, value] : Headers(request))
        if (Named(name, "Transfer-Encoding") ||
            (Named(name, "Content-Length") && value.trimmed() != "0"))
            return true;
    return !request.body().isEmpty();
}

// An upgrade Qt will make a WebSocket of: "Connection: Upgrade" with it.
bool AsksToUpgrade(const QHttpServerRequest& request)
{
    for (const QByteArray& token : request.value("Connection").split(','))
        if (Named(token.trimmed(), "upgrade"))
            return IsUpgrade(request);
    return false;
}

} // namespace

PageServer::PageServer(const WebOptions& options, QByteArray page,
                       std::function<QByteArray()> metrics)
    : options_(options), page_(std::move(page)), metrics_(std::move(metrics))
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Refused here, a request from elsewhere never becomes a WebSocket at all.
    addWebSocketUpgradeVerifier(this, [this](const QHttpServerRequest& request) {
        if (IsOurs(request.url().path(), request.value("Host"), request.value("Origin")))
            return QHttpServerWebSocketUpgradeResponse::accept();
        return QHttpServerWebSocketUpgradeResponse::deny(403, "not for this page\n");
    });
#endif
}

bool PageServer::IsOurs(const QString& path, QByteArrayView host, QByteArrayView origin) const
{
    return !options_.pageless && path == "/live" && HostIsOurs(host, options_.addresses) &&
           OriginIsOurs(origin, host);
}

#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Qt 6.4 makes a WebSocket of an upgrade only when it is taken here and nothing is
    // written; the page's socket is checked once it is one. Any other is answered.
    if (AsksToUpgrade(request) && !options_.pageless)
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
    using Code = QHttpServerResponder::StatusCode;
    if (IsFramedAmbiguously(request) || (IsUpgrade(request) && !AsksToUpgrade(request)))
        responder.write("bad request\n", "text/plain", Code::BadRequest);
    else if (HasBody(request))
        responder.write("this page takes nothing\n", "text/plain", Code::PayloadTooLarge);
    else if (!HostIsOurs(request.value("Host"), options_.addresses))
        responder.write("not for you\n", "text/plain", QHttpServerResponder::StatusCode::Forbidden);
    else if (request.url().path() == "/metrics" && !IsUpgrade(request))
        responder.write(metrics_(), "text/plain; version=0.0.4; charset=utf-8");
    else if (options_.pageless || request.url().path() != "/" || IsUpgrade(request))
        responder.write("no such page\n", "text/plain", QHttpServerResponder::StatusCode::NotFound);
    else
        responder.write(page_, "text/html; charset=utf-8");
}
