#include "portkernel.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#define STEPPER_HAS_RAW_IO 1
#else
#define STEPPER_HAS_RAW_IO 0
#endif

std::optional<std::vector<std::string>> LinuxPortKernel::ListDirectory(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return std::nullopt;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
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
