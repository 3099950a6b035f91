// SPDX-License-Identifier: MIT
// A build without libgpiod: no chips, and --gpio says why.
#include "gpioport.h"

#include <cerrno>

namespace {
class NoGpioChips final : public GpioChips {
public:
    std::vector<GpioChipInfo> List() override { return {}; }
    std::unique_ptr<GpioChip> Open(const std::string&, int& error) override
    {
        error = ENOSYS;
        return nullptr;
    }
};
} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<NoGpioChips>();
}
