// SPDX-License-Identifier: MIT
#include "pinswitch.h"

#include <cstring>

PinSwitch::PinSwitch(StatusPins& pins, int pin, bool activeHigh, std::string name)
    : pins_(pins), pin_(pin), activeHigh_(activeHigh), name_(std::move(name))
{
}

int PinSwitch::Level(int status, int pin)
{
    switch (pin) {
    case 10: return (status >> 6) & 1;
    case 11: return ((status >> 7) & 1) ^ 1; // the port inverts BUSY
    case 12: return (status >> 5) & 1;
    case 13: return (status >> 4) & 1;
    default: return (status >> 3) & 1; // 15
    }
}

bool PinSwitch::Closed()
{
    if (const int status = pins_.ReadStatus(); status >= 0)
        closed_ = Level(status, pin_) == int(activeHigh_);
    return closed_;
}

Opened<SwitchInput> OpenPinSwitch(CoilPort& port, int pin, bool activeHigh, bool& closed)
{
    const std::string where = "status pin " + std::to_string(pin);
    auto* pins = dynamic_cast<StatusPins*>(&port);
    if (!pins)
        return {nullptr, "the home switch on " + where +
                             " needs a parallel port driving the coils, not the " + port.Name() +
                             " (give --port, or use a GPIO line)"};
    int status = pins->OpenStatus();
    if (status >= 0)
        status = pins->ReadStatus();
    if (status < 0)
        return {nullptr, "cannot read " + where + " of " + port.Name() +
                             " for the home switch: " + std::strerror(-status)};
    closed = PinSwitch::Level(status, pin) == int(activeHigh);
    return {std::make_unique<PinSwitch>(*pins, pin, activeHigh,
                                        "home switch on " + where + " of " + port.Name()),
            ""};
}
