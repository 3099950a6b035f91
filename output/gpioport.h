// SPDX-License-Identifier: MIT
// GPIO lines as a coil port: four output lines of one chip, bit i of the coil byte on line
// Li, all four set in one call. The chips are reached through a small seam so the choice and
// the wiring can be exercised without a board; libgpiod is the real thing.
#pragma once

#include "coilport.h"
#include "outputrequest.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct GpioChipInfo {
    std::string name;  // gpiochip0
    std::string label; // the driver's label, such as pinctrl-bcm2711
    std::string path;  // /dev/gpiochip0
    unsigned lines = 0;
    std::string why; // why the chip could not be opened to be described; empty when it was
};

// One open chip. Errors come back as -errno.
class GpioChip {
public:
    virtual ~GpioChip() = default;
    virtual GpioChipInfo Info() const = 0;
    // The offset of the line with this name, or -ENOENT.
    virtual int FindLine(const std::string& name) = 0;
    // Who holds a line (its consumer, or "another program" when it gave none), or nothing
    // when the line is free.
    virtual std::optional<std::string> Holder(unsigned offset) = 0;
    // Outputs, initial value 0, consumer "stepper-dial".
    virtual int RequestOutputs(const std::array<unsigned, 4>& offsets) = 0;
    virtual int SetValues(const std::array<int, 4>& values) = 0;
    // One input, pulled up, both edges watched, consumer "stepper-dial": its level now (0 or
    // 1), or -errno.
    virtual int RequestSwitch(unsigned offset) = 0;
    // 1 if the line is at `level` now or came to it since the last read (a pulse between two
    // reads counts), else 0; one read(2), nothing allocated; -errno if the edges could not be
    // read.
    virtual int ReadSwitch(int level) = 0;
    virtual void Release() = 0;
};

class GpioChips {
public:
    virtual ~GpioChips() = default;
    virtual std::vector<GpioChipInfo> List() = 0;
    // By name, path, label or number, or why not (ChipFailure's words).
    virtual Opened<GpioChip> Open(const std::string& name) = 0;
};

// The chips of this machine through libgpiod (or none, where it is not built in).
std::unique_ptr<GpioChips> MakeGpioChips();
// The /dev/gpiochipN names, in number order.
std::vector<std::string> GpioDeviceNames();
// Each /dev/gpiochipN as chips.Open describes it, or with the errno it could not be opened by.
std::vector<GpioChipInfo> DescribeDeviceChips(GpioChips& chips);

class GpioPort final : public CoilPort {
public:
    // Takes a chip whose four lines are already requested.
    GpioPort(std::unique_ptr<GpioChip> chip, std::string name);
    ~GpioPort() override;
    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override { return name_; }

private:
    std::unique_ptr<GpioChip> chip_;
    std::string name_;
};

// The four lines of a --gpio request as a port, or why not.
PortAttempt OpenGpio(GpioChips& chips, const OutputRequest& request);
// Why a chip cannot be opened, from its errno.
std::string ChipFailure(const std::string& chip, int error);
