// SPDX-License-Identifier: MIT
// The web page: a view of the DialCore like the window, served with Qt's HTTP server on the
// addresses given, one page at "/", its WebSocket at "/live" and the metrics at "/metrics";
// on the --metrics addresses, the metrics alone. Each open page gets the
// state (needle, requested text, status, client, moving, any doubt) at most 30 times a
// second while the motor moves, the latest only, and once at rest; unless read-only, a page
// edits the requested text as Text1 does and turns the dial with Enter. Nothing here waits
// on a page: a page that falls behind, stops answering pings or sends what is not ours is
// closed, alone.
#pragma once

#include "base/failure.h"
#include "core/dialstate.h"
#include "pageserver.h"
#include "webgate.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class DialCore;
class QWebSocket;

class WebFront : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxPages = 32;
    static constexpr int MostPagesPerSource = 4; // a few tabs of one viewer
    static constexpr int FrameMs = 33;           // at most 30 states a second
    static constexpr qint64 LargestMessage = 4 * 1024;
    static constexpr int PingMs = 2000; // a page silent for two pings is gone

    WebFront(DialCore& core, WebOptions options, QObject* parent = nullptr);
    ~WebFront() override;

    // Listens on every address; a failure on the first that cannot be had.
    Outcome Listen();
    // Where the page and the metrics alone are served, the ports chosen by the system filled in.
    const QList<WebAddress>& Addresses() const { return options_.addresses; }
    const QList<WebAddress>& MetricsAddresses() const { return metricsOptions_.addresses; }
    // Where the metrics learn whether the MQTT broker is connected; without it, never.
    void SetMqttConnected(std::function<bool()> connected)
    {
        mqttConnected_ = std::move(connected);
    }

private:
    struct Page;
    void TakePages();
    void Refuse(std::unique_ptr<QWebSocket> socket, int code, const QString& reason);
    void TakeMessage(Page& page, const QString& message);
    void Close(Page& page, int code, const QString& reason);
    static void CloseSoon(QWebSocket& socket, int code, const QString& reason);
    void DropClosed();
    void SendState(const DialState& state);
    void CheckPages();
    QString StateMessage(const DialState& state) const;
    QByteArray Metrics() const;
    Outcome Serve(QList<WebAddress>& addresses, const char* what, const char* option,
                  PageServer& server);

    DialCore& core_;
    WebOptions options_;
    WebOptions metricsOptions_;
    PageServer server_;
    PageServer metricsServer_;
    std::function<bool()> mqttConnected_;
    std::vector<WebGate*> pageGates_; // children, one per --web address
    std::shared_ptr<WebGate::Budget> budget_ = std::make_shared<WebGate::Budget>();
    std::vector<std::unique_ptr<Page>> pages_;
    QTimer ping_;
};
