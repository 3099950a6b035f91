// SPDX-License-Identifier: MIT
#include "servicenotifier.h"

#include "core/dialcore.h"
#include "core/statefeed.h"

#include <condition_variable>
#include <mutex>
#include <systemd/sd-daemon.h>
#include <thread>

// The latest of each kind of message, sent by a thread that alone may wait on the socket.
// Shared with that thread, which may outlive the notifier while stuck in a send.
struct ServiceNotifier::Sender {
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false, stopping = false, watchdog = false, quit = false, finished = false;
    std::string status; // empty: none pending

    void Post(const std::function<void(Sender&)>& change)
    {
        std::lock_guard lock(mutex);
        change(*this);
        changed.notify_all();
    }

    bool Pending() const { return ready || stopping || watchdog || !status.empty(); }

    void Send()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return quit || Pending(); });
            if (!Pending()) {
                finished = true;
                changed.notify_all();
                return;
            }
            std::string message;
            if (ready)
                message += "READY=1\n";
            if (stopping)
                message += "STOPPING=1\n";
            if (!status.empty())
                message += "STATUS=" + status + "\n";
            if (watchdog)
                message += "WATCHDOG=1\n";
            ready = stopping = watchdog = false;
            status.clear();
            lock.unlock();
            message.pop_back();
            sd_notify(0, message.c_str());
            lock.lock();
        }
    }
};

ServiceNotifier::ServiceNotifier(DialCore& core, QObject* parent)
    : QObject(parent), core_(core), sender_(std::make_shared<Sender>())
{
    if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return;
    std::thread([sender = sender_] { sender->Send(); }).detach();
    connect(new StateFeed(core_, StatusIntervalMs, this), &StateFeed::Changed, this,
            &ServiceNotifier::PostStatus);
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    // Twice a period, so one late check does not cost a restart; never a busy loop.
    watchdog_.setInterval(std::max(int(usec / 2000), MinimumCheckMs));
    connect(&watchdog_, &QTimer::timeout, this, &ServiceNotifier::CheckDrive);
}

ServiceNotifier::~ServiceNotifier()
{
    // What is pending (STOPPING=1) gets a moment to go; a stuck socket does not hold the exit.
    std::unique_lock lock(sender_->mutex);
    sender_->quit = true;
    sender_->changed.notify_all();
    if (!qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        sender_->changed.wait_for(lock, std::chrono::milliseconds(200),
                                  [this] { return sender_->finished; });
}

std::string ServiceNotifier::StatusLine(const DialState& state) const
{
    std::string line = "driving " + core_.OutputName() + "; ";
    if (state.OnLine())
        line += "client " + state.client.toStdString() + " connected";
    else
        line += "waiting for a client on TCP port " + std::to_string(core_.CommandPort());
    if (state.homing)
        line += "; homing";
    if (const std::string position = core_.PositionSummary(); !position.empty())
        line += "; " + position;
    if (state.homeCorrections > 0)
        line += "; set right at the home switch " + std::to_string(state.homeCorrections) +
                " times, last by " + std::to_string(state.homeErrorSteps) + " steps";
    if (!note_.empty())
        line += "; " + note_;
    return line;
}

void ServiceNotifier::PostStatus(const DialState& state)
{
    std::string line = StatusLine(state);
    if (line == posted_)
        return;
    posted_ = line;
    sender_->Post([line = std::move(line)](Sender& s) { s.status = line; });
}

void ServiceNotifier::Note(const std::string& note)
{
    note_ = note;
    PostStatus(core_.State());
}

void ServiceNotifier::Ready()
{
    sender_->Post([line = posted_ = StatusLine(core_.State())](Sender& s) {
        s.ready = true;
        s.status = line;
    });
    if (watchdog_.interval() > 0 && !watchdog_.isActive()) {
        sinceCheck_.start();
        core_.PingDrive();
        watchdog_.start();
    }
}

void ServiceNotifier::Stopping()
{
    watchdog_.stop();
    sender_->Post([](Sender& s) {
        s.stopping = true;
        s.status = "stopping: coils off";
    });
}

void ServiceNotifier::CheckDrive()
{
    if (rule_.Healthy(core_.Health(), sinceCheck_.restart()))
        sender_->Post([](Sender& s) { s.watchdog = true; });
    core_.PingDrive();
}
