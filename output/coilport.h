// SPDX-License-Identifier: MIT
// The seam between the coil output and the hardware: a byte to the data register.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

inline constexpr unsigned DataPort = 0x378;

class CoilPort {
public:
    virtual ~CoilPort() = default;
    // Exactly one write to the data register per call, in call order; nothing is read back.
    virtual void WriteDataByte(std::uint8_t value) = 0;
    virtual std::string Name() const = 0;

    // The errno of the first write that failed, handed out once: the event loop's thread
    // reports it, since the stepping thread never prints. 0 when there is nothing new.
    int TakeFailure()
    {
        int error = failure_.load();
        return error > 0 && failure_.compare_exchange_strong(error, Reported) ? error : 0;
    }

protected:
    void NoteFailure(int error)
    {
        int none = 0;
        failure_.compare_exchange_strong(none, error);
    }

private:
    static constexpr int Reported = -1;
    std::atomic<int> failure_{0};
};

// The one shape of every try at opening an output or a chip: what was opened, or why not.
template <class T> struct Opened {
    std::unique_ptr<T> port;
    // On success what was opened and how (may be empty); else the cause and the remedy.
    std::string why;
    // A driver or program holds the port: nothing else may write to it, raw I/O included.
    bool held = false;
};
using PortAttempt = Opened<CoilPort>;

// The data register's address as the trace and the messages print it: "0x378".
std::string DataPortText();
