// SPDX-License-Identifier: MIT
#include "statefeed.h"

#include "dialcore.h"

StateFeed::StateFeed(DialCore& core, int intervalMs, QObject* parent)
    : QObject(parent), core_(core), intervalMs_(intervalMs), sent_(core.State())
{
    due_.setSingleShot(true);
    // A coarse timer may fire 5 % early: a view would then get two states closer than it asked.
    due_.setTimerType(Qt::PreciseTimer);
    connect(&due_, &QTimer::timeout, this, [this] { Send(core_.State()); });
    connect(&core_, &DialCore::StateChanged, this, &StateFeed::Take);
}

void StateFeed::Take()
{
    const DialState state = core_.State();
    if (state == sent_) {
        due_.stop();
        return;
    }
    const bool arrived = sent_.moving && !state.moving;
    const qint64 wait = sinceSent_.isValid() ? intervalMs_ - sinceSent_.elapsed() : 0;
    if (arrived || wait <= 0)
        Send(state);
    else if (!due_.isActive())
        due_.start(int(wait));
}

void StateFeed::Send(const DialState& state)
{
    due_.stop();
    sinceSent_.start();
    sent_ = state;
    emit Changed(state);
}
