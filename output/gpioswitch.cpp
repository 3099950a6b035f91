// SPDX-License-Identifier: MIT
#include "gpioswitch.h"

#include "base/wholenumber.h"

#include <cstring>

bool GpioSwitch::Closed()
{
    const int read = chip_->ReadSwitch(activeHigh_ ? 1 : 0);
    if (read >= 0)
        closed_ = read == 1;
    return closed_;
}

Opened<SwitchInput> OpenGpioSwitch(GpioChips& chips, const std::string& chipName,
                                   const std::string& line, bool activeHigh, bool& closed)
{
    Opened<GpioChip> opened = chips.Open(chipName);
    if (!opened.port)
        return {nullptr, opened.why};
    std::unique_ptr<GpioChip> chip = std::move(opened.port);
    const GpioChipInfo info = chip->Info();
    unsigned offset = 0;
    if (ReadWholeNumber(line, offset)) {
        if (offset >= info.lines)
            return {nullptr, "home switch line " + line + " does not exist on " + info.name +
                                 " (it has " + std::to_string(info.lines) + " lines)"};
    } else if (const int found = chip->FindLine(line); found >= 0) {
        offset = unsigned(found);
    } else {
        return {nullptr, "no line named '" + line + "' on " + info.name +
                             " for the home switch (gpioinfo " + info.name + " lists them)"};
    }
    if (const auto holder = chip->Holder(offset))
        return {nullptr,
                "home switch line " + std::to_string(offset) + " of " + info.name +
                    " is in use by '" + *holder + "' (stop it, or pick another line)",
                true};
    const int level = chip->RequestSwitch(offset);
    if (level < 0)
        return {nullptr, "cannot read line " + std::to_string(offset) + " of " + info.name +
                             " as the home switch: " + std::strerror(-level)};
    closed = level == (activeHigh ? 1 : 0);
    const std::string name = "home switch on GPIO " + info.name + " line " + std::to_string(offset);
    return {std::make_unique<GpioSwitch>(std::move(chip), name, activeHigh), ""};
}
