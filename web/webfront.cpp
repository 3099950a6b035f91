// SPDX-License-Identifier: MIT
#include "webfront.h"

#include "core/dialcore.h"
#include "core/statefeed.h"
#include "metricstext.h"
#include "network/networkpolicy.h"
#include "webgate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

namespace {

constexpr char PageHtml[] =
#include "webpage.inc"
    ;

QByteArray Header(const QWebSocket& socket, const char* name)
{
    return socket.request().rawHeader(name);
}

// The last move's step intervals, each bucket with its upper bound in milliseconds (none for
// the last, which takes the rest).
QJsonArray Intervals(const DialState& state)
{
    QJsonArray buckets;
    for (std::size_t bucket = 0; bucket < state.stepIntervals.size(); ++bucket)
        buckets.append(
            QJsonObject{{"upToMs", bucket < IntervalBoundsNs.size()
                                       ? QJsonValue(double(IntervalBoundsNs[bucket]) / 1e6)
                                       : QJsonValue()},
                        {"steps", qint64(state.stepIntervals[bucket])}});
    return buckets;
}

} // namespace

struct WebFront::Page {
    std::unique_ptr<QWebSocket> socket;
    bool answered = true; // a pong since the last ping
};

WebFront::WebFront(DialCore& core, WebOptions options, QObject* parent)
    : QObject(parent), core_(core), options_(std::move(options)), metricsOptions_(options_),
      server_(options_, PageHtml, [this] { return Metrics(); }),
      metricsServer_(metricsOptions_, {}, [this] { return Metrics(); })
{
    metricsOptions_.addresses = options_.metricsAddresses;
    metricsOptions_.pageless = true;
    connect(&server_, &QAbstractHttpServer::newWebSocketConnection, this, &WebFront::TakePages);
    ping_.setInterval(PingMs);
    connect(&ping_, &QTimer::timeout, this, &WebFront::CheckPages);
    connect(new StateFeed(core_, FrameMs, this), &StateFeed::Changed, this, &WebFront::SendState);
}

WebFront::~WebFront()
{
    for (auto& page : pages_)
        page->socket->disconnect(this);
}

Outcome WebFront::Listen()
{
    if (Outcome failed = Serve(options_.addresses, "the web page", "--web", server_))
        return failed;
    if (Outcome failed =
            Serve(metricsOptions_.addresses, "the metrics", "--metrics", metricsServer_))
        return failed;
    ping_.start();
    return {};
}

Outcome WebFront::Serve(QList<WebAddress>& addresses, const char* what, const char* option,
                        PageServer& server)
{
    for (WebAddress& at : addresses) {
        auto* listener = new WebGate(options_.allowed, budget_, this);
        if (!listener->listen(at.address, at.port)) {
            std::string why =
                std::string("cannot serve ") + what + " on " + at.address.toString().toStdString() +
                " port " + std::to_string(at.port) + ": " + listener->errorString().toStdString();
            if (listener->serverError() == QAbstractSocket::AddressInUseError)
                why += std::string(" (another program holds it; stop that program, or give ") +
                       option + " another port; " + PortHolderHint(at.port) + ")";
            return Failure{why, ExitStatus::StartUp};
        }
        at.port = listener->serverPort();
        server.bind(listener);
        if (&server == &server_)
            pageGates_.push_back(listener);
    }
    return {};
}

QByteArray WebFront::Metrics() const
{
    return MetricsText(core_.State(), core_.Timing(),
                       {int(pages_.size()), mqttConnected_ && mqttConnected_()});
}

void WebFront::TakePages()
{
    while (server_.hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = server_.nextPendingWebSocketConnection();
        if (!socket)
            continue;
        if (!server_.IsOurs(socket->requestUrl().path(), Header(*socket, "Host"),
                            Header(*socket, "Origin"))) {
            Refuse(std::move(socket), QWebSocketProtocol::CloseCodePolicyViolated,
                   "not for this page");
            continue;
        }
        const QHostAddress from = socket->peerAddress();
        if (std::count_if(pages_.begin(), pages_.end(), [&from](const auto& page) {
                return SameSource(page->socket->peerAddress(), from);
            }) >= MostPagesPerSource) {
            Refuse(std::move(socket), QWebSocketProtocol::CloseCodePolicyViolated,
                   QString("too many pages from one address (%1 at most)").arg(MostPagesPerSource));
            continue;
        }
        if (pages_.size() >= std::size_t(MaxPages)) {
            Refuse(std::move(socket), QWebSocketProtocol::CloseCodePolicyViolated,
                   QString("too many pages open (%1 at most)").arg(MaxPages));
            continue;
        }
        // Only on the gate it came through: a connection elsewhere from the same address and
        // port keeps every limit.
        for (WebGate* gate : pageGates_)
            if (gate->serverPort() == socket->localPort())
                gate->KeepAsPage(from, socket->peerPort());
        socket->setMaxAllowedIncomingFrameSize(LargestMessage);
        socket->setMaxAllowedIncomingMessageSize(LargestMessage);
        pages_.push_back(std::make_unique<Page>());
        Page& page = *pages_.back();
        page.socket = std::move(socket);
        QWebSocket* raw = page.socket.get();
        connect(raw, &QWebSocket::textMessageReceived, this,
                [this, &page](const QString& message) { TakeMessage(page, message); });
        connect(raw, &QWebSocket::binaryMessageReceived, this, [this, &page] {
            Close(page, QWebSocketProtocol::CloseCodeDatatypeNotSupported, "text only");
        });
        connect(raw, &QWebSocket::pong, this, [&page] { page.answered = true; });
        // Dropped later: a page can go while the list is being walked.
        connect(raw, &QWebSocket::disconnected, this, &WebFront::DropClosed, Qt::QueuedConnection);
        raw->sendTextMessage(StateMessage(core_.State()));
    }
}

void WebFront::DropClosed()
{
    std::erase_if(pages_, [this](const std::unique_ptr<Page>& page) {
        if (page->socket->state() != QAbstractSocket::UnconnectedState)
            return false;
        page->socket->disconnect(this);
        page->socket.release()->deleteLater(); // it may still be emitting
        return true;
    });
}

void WebFront::Refuse(std::unique_ptr<QWebSocket> socket, int code, const QString& reason)
{
    QWebSocket* raw = socket.release();
    connect(raw, &QWebSocket::disconnected, raw, &QObject::deleteLater);
    CloseSoon(*raw, code, reason);
}

void WebFront::Close(Page& page, int code, const QString& reason)
{
    CloseSoon(*page.socket, code, reason);
}

void WebFront::CloseSoon(QWebSocket& socket, int code, const QString& reason)
{
    socket.close(QWebSocketProtocol::CloseCode(code), reason);
    // A peer that never answers the close is cut off.
    QTimer::singleShot(PingMs, &socket, &QWebSocket::abort);
}

void WebFront::TakeMessage(Page& page, const QString& message)
{
    const QJsonObject command = QJsonDocument::fromJson(message.toUtf8()).object();
    const QJsonValue text = command.value("text");
    const bool home = command.size() == 1 && command.value("home") == QJsonValue(true);
    if (!home && (!text.isString() || command.size() > 2 ||
                  (command.size() == 2 && !command.value("go").isBool()))) {
        Close(page, QWebSocketProtocol::CloseCodeWrongDatatype, "not a command of this page");
        return;
    }
    if (options_.readOnly) {
        Close(page, QWebSocketProtocol::CloseCodePolicyViolated, "this page is read-only");
        return;
    }
    if (home)
        core_.Home();
    else
        core_.Command(text.toString(), command.value("go").toBool());
}

QString WebFront::StateMessage(const DialState& state) const
{
    const QJsonObject message{
        {"angle", state.angle},
        {"angleText", state.AngleText()},
        {"text", state.requestedText},
        {"target", state.target},
        {"status", state.Status()},
        {"client", state.client},
        {"moving", state.moving},
        {"doubt", QString::fromStdString(state.doubt)},
        {"readOnly", options_.readOnly},
        {"lateTicks", qint64(state.lateTicks)},
        {"intervals", Intervals(state)},
        {"homing", state.homing},
        {"canHome", core_.CanHome() && !options_.readOnly},
        {"homeCorrections", qint64(state.homeCorrections)},
        {"homeErrorSteps", qint64(state.homeErrorSteps)},
    };
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

void WebFront::SendState(const DialState& state)
{
    if (pages_.empty())
        return;
    const QString message = StateMessage(state);
    for (auto& page : pages_) {
        if (page->socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (page->socket->bytesToWrite() > WebGate::MostUnsent)
            Close(*page, QWebSocketProtocol::CloseCodeGoingAway, "this page fell behind");
        else
            page->socket->sendTextMessage(message);
    }
}

void WebFront::CheckPages()
{
    for (auto& page : pages_) {
        if (page->socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (!page->answered) {
            // A closing handshake would wait on the same silent peer.
            page->socket->abort();
            continue;
        }
        page->answered = false;
        page->socket->ping();
    }
}
