// SPDX-License-Identifier: MIT
#include "networkpolicy.h"

bool IsAllowed(const QHostAddress& peer, const Networks& allowed)
{
    if (allowed.isEmpty())
        return true;
    const QHostAddress address = Unmapped(peer);
    for (const auto& [base, prefix] : allowed) {
        // An IPv4-mapped network (::ffff:10.0.0.0/104) is the IPv4 one it maps.
        const bool mapped = Unmapped(base) != base && prefix >= 96;
        if (address.isInSubnet(mapped ? Unmapped(base) : base, mapped ? prefix - 96 : prefix))
            return true;
    }
    return false;
}

QHostAddress Unmapped(const QHostAddress& peer)
{
    bool mapped = false;
    const quint32 ipv4 = peer.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : peer;
}

bool SameSource(const QHostAddress& a, const QHostAddress& b)
{
    const QHostAddress x = Unmapped(a), y = Unmapped(b);
    if (x.protocol() != y.protocol())
        return false;
    return x.protocol() == QAbstractSocket::IPv6Protocol ? x.isInSubnet(y, 64) : x == y;
}

std::string PortHolderHint(quint16 port)
{
    return "find the holder with: ss -ltnp 'sport = :" + std::to_string(port) + "'";
}

bool ReadAddress(const QString& text, QHostAddress& address)
{
    return address.setAddress(text) && !text.contains('/');
}

Outcome ReadNetwork(const QString& text, QPair<QHostAddress, int>& network)
{
    network = QHostAddress::parseSubnet(text);
    if (network.second < 0)
        return UsageFailure("--allow: '" + text + "' is not a network (such as 192.168.1.0/24).");
    if (Unmapped(network.first) != network.first && network.second < 96)
        return UsageFailure(
            "--allow: '" + text +
            "' reaches beyond the IPv4-mapped addresses; give the IPv4 network instead (such "
            "as 127.0.0.0/8).");
    return {};
}
