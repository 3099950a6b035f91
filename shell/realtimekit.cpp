// SPDX-License-Identifier: MIT
#include "realtimekit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <algorithm>
#include <optional>
#include <sys/resource.h>

namespace {

const QString Service = "org.freedesktop.RealtimeKit1";
const QString Path = "/org/freedesktop/RealtimeKit1";

// A call that gives up after CallTimeoutMs: start-up never hangs on the bus.
QDBusMessage Call(QDBusConnection& bus, const QString& interface, const QString& method,
                  const QList<QVariant>& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, RealtimeKit::CallTimeoutMs);
}

std::optional<qlonglong> Property(QDBusConnection& bus, const char* name, std::string& why)
{
    const QDBusMessage reply =
        Call(bus, "org.freedesktop.DBus.Properties", "Get", {Service, QString(name)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        why = reply.errorMessage().isEmpty() ? "no answer" : reply.errorMessage().toStdString();
        return std::nullopt;
    }
    return reply.arguments().first().value<QDBusVariant>().variant().toLongLong();
}

} // namespace

Outcome RealtimeKit::MakeThreadRealtime(pid_t tid, int& priority)
{
    std::string why;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return Failure{"no system bus"};
    const auto maxPriority = Property(bus, "MaxRealtimePriority", why);
    const auto maxRtTime = maxPriority ? Property(bus, "RTTimeUSecMax", why) : std::nullopt;
    if (!maxPriority || !maxRtTime)
        return Failure{why};
    priority = int(std::clamp<qlonglong>(*maxPriority, 1, priority));
    // The daemon serves only processes that cap their real-time CPU time within its limit;
    // the stepping thread sleeps every millisecond, far below any such cap.
    rlimit limit{};
    getrlimit(RLIMIT_RTTIME, &limit);
    const rlim_t cap = rlim_t(std::max<qlonglong>(*maxRtTime, 1));
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > cap)
        limit.rlim_max = cap;
    limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max);
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0)
        return Failure{"cannot set RLIMIT_RTTIME"};
    const QDBusMessage reply =
        Call(bus, Service, "MakeThreadRealtime",
             {QVariant::fromValue(quint64(tid)), QVariant::fromValue(quint32(priority))});
    if (reply.type() == QDBusMessage::ReplyMessage)
        return {};
    return Failure{reply.errorMessage().isEmpty() ? "no answer"
                                                  : reply.errorMessage().toStdString()};
}
