// SPDX-License-Identifier: MIT
// A bare periodic 1 ms CLOCK_MONOTONIC timerfd on a thread with the stepping thread's
// priority, doing nothing but noting its wake-ups: what this machine allows at best. Prints
// one wake-up time (seconds) a line, as many as asked for (4800 by default).
#include "motor/realtime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[])
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 4800;
    std::vector<timespec> wakes(static_cast<std::size_t>(count));
    std::promise<pid_t> started;
    std::future<pid_t> tid = started.get_future();
    std::thread loop([&] {
        started.set_value(gettid());
        const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        itimerspec period{};
        period.it_interval.tv_nsec = 1'000'000;
        period.it_value.tv_nsec = 1'000'000;
        timerfd_settime(fd, 0, &period, nullptr);
        for (auto& wake : wakes) {
            std::uint64_t expirations = 0;
            if (::read(fd, &expirations, sizeof expirations) < 0)
                break;
            clock_gettime(CLOCK_MONOTONIC, &wake);
        }
        ::close(fd);
    });
    std::fprintf(stderr, "%s\n", MakeRealTime(loop, tid.get(), nullptr).c_str());
    loop.join();
    for (const timespec& wake : wakes)
        std::printf("%lld.%09ld\n", static_cast<long long>(wake.tv_sec), wake.tv_nsec);
    return 0;
}
