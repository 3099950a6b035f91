// SPDX-License-Identifier: MIT
#include "gpioport.h"

#include "devicenames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

std::vector<std::string> GpioDeviceNames()
{
    std::vector<std::string> names;
    for (std::string& name : ListDirectory("/dev").value_or(std::vector<std::string>{}))
        if (NumberAfter(name, "gpiochip"))
            names.push_back(std::move(name));
    std::sort(names.begin(), names.end(), NumberedNameLess);
    return names;
}

std::vector<GpioChipInfo> DescribeDeviceChips(GpioChips& chips)
{
    std::vector<GpioChipInfo> described;
    for (const std::string& name : GpioDeviceNames()) {
        if (Opened<GpioChip> chip = chips.Open("/dev/" + name); chip.port)
            described.push_back(chip.port->Info());
        else
            described.push_back({name, "", "/dev/" + name, 0, chip.why});
    }
    return described;
}

GpioPort::GpioPort(std::unique_ptr<GpioChip> chip, std::string name)
    : chip_(std::move(chip)), name_(std::move(name))
{
}

GpioPort::~GpioPort()
{
    chip_->Release();
}

void GpioPort::WriteDataByte(std::uint8_t value)
{
    const std::array<int, 4> lines{value & 1, (value >> 1) & 1, (value >> 2) & 1, (value >> 3) & 1};
    if (int error = chip_->SetValues(lines); error < 0)
        NoteFailure(-error);
}

std::string ChipFailure(const std::string& chip, int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
        return "no GPIO chip '" + chip + "' (see stepper-dial --list-ports; is its driver loaded?)";
    case EACCES:
    case EPERM:
        return "GPIO chip '" + chip +
               "': permission denied (add your user to group gpio and log in again, with a udev "
               "rule where /dev/gpiochip* belongs to root alone, or run as root)";
    case ENOSYS: return "this build has no GPIO support (libgpiod was not found when it was built)";
    default: return "GPIO chip '" + chip + "': " + std::strerror(error);
    }
}

PortAttempt OpenGpio(GpioChips& chips, const OutputRequest& request)
{
    Opened<GpioChip> opened = chips.Open(request.chip);
    if (!opened.port)
        return {nullptr, opened.why};
    std::unique_ptr<GpioChip> chip = std::move(opened.port);
    const GpioChipInfo info = chip->Info();
    std::array<unsigned, 4> offsets{};
    for (std::size_t i = 0; i < 4; ++i) {
        const GpioLineRequest& line = request.lines[i];
        if (line.offset && *line.offset >= info.lines)
            return {nullptr, "line " + line.asWritten + " does not exist on " + info.name +
                                 " (it has " + std::to_string(info.lines) + " lines" +
                                 (info.lines ? ", 0 to " + std::to_string(info.lines - 1) : "") +
                                 ")"};
        const int found = line.offset ? int(*line.offset) : chip->FindLine(line.asWritten);
        if (found < 0)
            return {nullptr, "no line named '" + line.asWritten + "' on " + info.name +
                                 " (gpioinfo " + info.name + " lists them)"};
        offsets[i] = unsigned(found);
        if (std::find(offsets.begin(), offsets.begin() + i, offsets[i]) != offsets.begin() + i)
            return {nullptr, "line " + line.asWritten + " is given twice; four lines are needed"};
    }
    if (int requested = chip->RequestOutputs(offsets); requested < 0) {
        std::string why = std::strerror(-requested);
        if (requested == -EBUSY)
            for (unsigned offset : offsets)
                if (const auto holder = chip->Holder(offset)) {
                    why = "line " + std::to_string(offset) + " is in use by '" + *holder +
                          "' (stop it, or pick other lines)";
                    break;
                }
        return {nullptr, why};
    }
    std::string name = "GPIO " + info.name + " lines ";
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0)
            name += ',';
        name += std::to_string(offsets[i]);
    }
    return {std::make_unique<GpioPort>(std::move(chip), name), ""};
}
