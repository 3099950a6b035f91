// The few kernel calls the real port backends need, behind an interface so the choice of
// backend can be exercised without a parallel port. Errors come back as -errno.
#pragma once

#include <optional>
#include <string>
#include <vector>

class PortKernel {
public:
    virtual ~PortKernel() = default;
    // Entry names of a directory, or nothing if it cannot be listed.
    virtual std::optional<std::vector<std::string>> ListDirectory(const std::string& path) = 0;
    virtual std::optional<std::string> ReadFile(const std::string& path) = 0;
    virtual int Open(const std::string& path) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void Close(int fd) = 0;
    // False where the processor has no separate I/O space (anything but x86).
    virtual bool HasRawIo() const = 0;
    virtual int Ioperm(unsigned long from, unsigned long count, int on) = 0;
    virtual void Outb(unsigned char value, unsigned short port) = 0;
};

// The real thing: system calls of this machine.
class LinuxPortKernel final : public PortKernel {
public:
    std::optional<std::vector<std::string>> ListDirectory(const std::string& path) override;
    std::optional<std::string> ReadFile(const std::string& path) override;
    int Open(const std::string& path) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    void Close(int fd) override;
    bool HasRawIo() const override;
    int Ioperm(unsigned long from, unsigned long count, int on) override;
    void Outb(unsigned char value, unsigned short port) override;
};
