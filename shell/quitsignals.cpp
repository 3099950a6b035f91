// SPDX-License-Identifier: MIT
#include "quitsignals.h"

#include "base/report.h"

#include <QSocketNotifier>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

// [0] read, [1] write; kept open until the process ends, as the handlers are.
int loopPipe[2] = {-1, -1};
int guardPipe[2] = {-1, -1};
constexpr int QuitSignalNumbers[] = {SIGINT, SIGTERM, SIGHUP};

void OnQuitSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] ssize_t toLoop = ::write(loopPipe[1], &number, 1);
    [[maybe_unused]] ssize_t toGuard = ::write(guardPipe[1], &number, 1);
    errno = savedErrno;
}

struct Guard {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

Guard& TheGuard()
{
    static Guard* guard = new Guard; // outlives every thread that may still wait on it
    return *guard;
}

} // namespace

void CatchQuitSignals()
{
    if (loopPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, loopPipe) != 0 ||
        ::pipe2(guardPipe, O_CLOEXEC) != 0)
        return;
    // The handler must never block, whoever reads (or not) at the other end.
    ::fcntl(guardPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : QuitSignalNumbers)
        sigaction(signalNumber, &action, nullptr);
}

void GuardQuit(std::function<void()> halt, std::chrono::milliseconds deadline, int exitStatus)
{
    CatchQuitSignals();
    if (guardPipe[0] < 0)
        return;
    std::thread([halt = std::move(halt), deadline, exitStatus] {
        unsigned char number = 0;
        while (::read(guardPipe[0], &number, 1) < 0 && errno == EINTR) {
        }
        Guard& guard = TheGuard();
        std::unique_lock lock(guard.mutex);
        if (guard.done)
            return; // the run is over; what halt would touch may be gone
        halt();
        if (guard.finished.wait_for(lock, deadline, [&] { return guard.done; }))
            return;
        if (deadline.count() > 0)
            Report("the event loop did not end within " + std::to_string(deadline.count()) +
                   " ms of the quit signal; ending now (the coils are off)");
        FlushReports(std::chrono::milliseconds(300));
        // The kernel's exit, not libc's: nothing of the stuck process runs any more, not even
        // a sanitizer's exit check (which would count the event loop's unjoined threads).
        ::syscall(SYS_exit_group, exitStatus);
    }).detach();
}

void QuitFinished()
{
    Guard& guard = TheGuard();
    std::lock_guard lock(guard.mutex);
    guard.done = true;
    guard.finished.notify_all();
}

QuitSignals::QuitSignals(QObject* parent) : QObject(parent)
{
    CatchQuitSignals();
    if (loopPipe[0] < 0)
        return;
    notifier_ = new QSocketNotifier(loopPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::OnSignal);
}

QuitSignals::~QuitSignals()
{
    // The handlers stay: a signal during the rest of the shutdown must not kill the process
    // with the coils on. Its byte waits in the pipe, unread.
    delete notifier_;
}

void QuitSignals::OnSignal()
{
    unsigned char number = 0;
    while (::read(loopPipe[0], &number, 1) == 1)
        emit QuitRequested(number);
}
