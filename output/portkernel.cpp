// SPDX-License-Identifier: MIT
#include "portkernel.h"

#include "devicenames.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <linux/ppdev.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#define STEPPER_HAS_RAW_IO 1
#else
#define STEPPER_HAS_RAW_IO 0
#endif

std::optional<std::vector<std::string>> LinuxPortKernel::ListDirectory(const std::string& path)
{
    return ::ListDirectory(path);
}

std::optional<std::string> LinuxPortKernel::ReadFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int LinuxPortKernel::StatDevice(const std::string& path, DeviceNode& node)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return -errno;
    node.character = S_ISCHR(status.st_mode);
    node.major = major(status.st_rdev);
    node.minor = minor(status.st_rdev);
    return 0;
}

int LinuxPortKernel::Open(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

int LinuxPortKernel::Ioctl(int fd, unsigned long request, void* arg)
{
    int result;
    do {
        result = ::ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -errno : 0;
}

namespace {
void IgnoreAlarm(int) {}
} // namespace

int LinuxPortKernel::ClaimWithin(int fd, int timeoutMs)
{
    // A signal without SA_RESTART ends the kernel's interruptible sleep in the claim. The
    // timer repeats, so an expiry just before the ioctl starts still gets it out.
    struct sigaction quiet {
    }, previous{};
    quiet.sa_handler = IgnoreAlarm;
    sigemptyset(&quiet.sa_mask);
    quiet.sa_flags = 0;
    sigaction(SIGALRM, &quiet, &previous);
    sigset_t alarm, mask;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm, &mask);

    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = gettid();
    timer_t timer{};
    const bool timed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (timed) {
        const timespec period{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000};
        const itimerspec arm{period, period};
        timer_settime(timer, 0, &arm, nullptr);
    }
    // No EINTR retry here: that is the time running out.
    const int result = timed ? ::ioctl(fd, PPCLAIM) : -1;
    const int error = timed ? errno : EAGAIN;
    if (timed)
        timer_delete(timer);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    return result == 0 ? 0 : -error;
}

void LinuxPortKernel::Close(int fd)
{
    ::close(fd);
}

bool LinuxPortKernel::HasRawIo() const
{
    return STEPPER_HAS_RAW_IO != 0;
}

int LinuxPortKernel::Ioperm(unsigned long from, unsigned long count, int on)
{
#if STEPPER_HAS_RAW_IO
    return ::ioperm(from, count, on) == 0 ? 0 : -errno;
#else
    (void)from;
    (void)count;
    (void)on;
    return -ENOSYS;
#endif
}

void LinuxPortKernel::Outb(unsigned char value, unsigned short port)
{
#if STEPPER_HAS_RAW_IO
    ::outb(value, port);
#else
    (void)value;
    (void)port;
#endif
}

unsigned char LinuxPortKernel::Inb(unsigned short port)
{
#if STEPPER_HAS_RAW_IO
    return ::inb(port);
#else
    (void)port;
    return 0;
#endif
}
