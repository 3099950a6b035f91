// SPDX-License-Identifier: MIT
// A build without libgpiod: no chips, and --gpio says why.
#include "gpioport.h"

#include <cerrno>

namespace {
class NoGpioChips final : public GpioChips {
public:
    std::vector<GpioChipInfo> List() override { return {}; }
    Opened<GpioChip> Open(const std::string& name) override
    {
        return {nullptr, ChipFailure(name, ENOSYS)};
    }
};
} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<NoGpioChips>();
}
