// SPDX-License-Identifier: MIT
// The few kernel calls the parallel-port backends need, behind an interface so the choice of
// backend can be exercised without a parallel port. Errors come back as -errno.
#pragma once

#include <optional>
#include <string>
#include <vector>

// A device node's kind and numbers, as stat gives them.
struct DeviceNode {
    bool character = false;
    unsigned major = 0, minor = 0;
};

class PortKernel {
public:
    virtual ~PortKernel() = default;
    // Entry names of a directory, or nothing if it cannot be listed.
    virtual std::optional<std::vector<std::string>> ListDirectory(const std::string& path) = 0;
    virtual std::optional<std::string> ReadFile(const std::string& path) = 0;
    // What the path is, or -errno; opens nothing.
    virtual int StatDevice(const std::string& path, DeviceNode& node) = 0;
    virtual int Open(const std::string& path) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    // PPCLAIM, given up after about timeoutMs: the kernel sleeps in it for as long as another
    // holds the port, and every ppdev user on the machine waits behind a sleeping claimer.
    // -EINTR when the time ran out.
    virtual int ClaimWithin(int fd, int timeoutMs) = 0;
    virtual void Close(int fd) = 0;
    // False where the processor has no separate I/O space (anything but x86).
    virtual bool HasRawIo() const = 0;
    virtual int Ioperm(unsigned long from, unsigned long count, int on) = 0;
    virtual void Outb(unsigned char value, unsigned short port) = 0;
    virtual unsigned char Inb(unsigned short port) = 0;
};

// The real thing: system calls of this machine.
class LinuxPortKernel final : public PortKernel {
public:
    std::optional<std::vector<std::string>> ListDirectory(const std::string& path) override;
    std::optional<std::string> ReadFile(const std::string& path) override;
    int StatDevice(const std::string& path, DeviceNode& node) override;
    int Open(const std::string& path) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    int ClaimWithin(int fd, int timeoutMs) override;
    void Close(int fd) override;
    bool HasRawIo() const override;
    int Ioperm(unsigned long from, unsigned long count, int on) override;
    void Outb(unsigned char value, unsigned short port) override;
    unsigned char Inb(unsigned short port) override;
};
