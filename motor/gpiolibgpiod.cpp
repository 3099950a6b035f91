// The GPIO seam over libgpiod 1.x (Debian 12 ships 1.6).
#include "gpio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>

#ifdef STEPPER_HAVE_LIBGPIOD
#include <gpiod.h>

namespace {

class LibgpiodChip final : public GpioChip {
public:
    explicit LibgpiodChip(gpiod_chip* chip) : chip_(chip) {}
    ~LibgpiodChip() override
    {
        Release();
        gpiod_chip_close(chip_);
    }
    GpioChipInfo Info() const override
    {
        const std::string name = gpiod_chip_name(chip_);
        return {name, gpiod_chip_label(chip_), "/dev/" + name, gpiod_chip_num_lines(chip_), 0};
    }
    int FindLine(const std::string& name) override
    {
        gpiod_line* line = gpiod_chip_find_line(chip_, name.c_str());
        return line ? int(gpiod_line_offset(line)) : -ENOENT;
    }
    std::string Consumer(unsigned offset) override
    {
        gpiod_line* line = gpiod_chip_get_line(chip_, offset);
        const char* consumer = line ? gpiod_line_consumer(line) : nullptr;
        return consumer ? consumer : "another program";
    }
    int RequestOutputs(const std::array<unsigned, 4>& offsets) override
    {
        gpiod_line_bulk_init(&bulk_);
        if (gpiod_chip_get_lines(chip_, const_cast<unsigned*>(offsets.data()), 4, &bulk_) < 0)
            return -errno;
        const int zeros[4] = {0, 0, 0, 0};
        if (gpiod_line_request_bulk_output(&bulk_, "stepper-dial", zeros) < 0)
            return -errno;
        requested_ = true;
        return 0;
    }
    int SetValues(const std::array<int, 4>& values) override
    {
        return gpiod_line_set_value_bulk(&bulk_, values.data()) < 0 ? -errno : 0;
    }
    void Release() override
    {
        if (requested_)
            gpiod_line_release_bulk(&bulk_);
        requested_ = false;
    }

private:
    gpiod_chip* chip_;
    gpiod_line_bulk bulk_{};
    bool requested_ = false;
};

class LibgpiodChips final : public GpioChips {
public:
    std::vector<GpioChipInfo> List() override
    {
        std::vector<GpioChipInfo> chips;
        DIR* dev = opendir("/dev");
        if (!dev)
            return chips;
        while (dirent* entry = readdir(dev)) {
            const std::string name = entry->d_name;
            if (name.rfind("gpiochip", 0) != 0)
                continue;
            int error = 0;
            if (auto chip = Open("/dev/" + name, error))
                chips.push_back(chip->Info());
            else
                chips.push_back({name, "", "/dev/" + name, 0, error});
        }
        closedir(dev);
        std::sort(chips.begin(), chips.end(), [](const auto& a, const auto& b) {
            return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
        });
        return chips;
    }
    std::unique_ptr<GpioChip> Open(const std::string& name, int& error) override
    {
        errno = 0;
        gpiod_chip* chip = gpiod_chip_open_lookup(name.c_str());
        if (!chip) {
            error = errno ? errno : ENOENT;
            return nullptr;
        }
        return std::make_unique<LibgpiodChip>(chip);
    }
};

} // namespace

std::unique_ptr<GpioChips> MakeGpioChips()
{
    return std::make_unique<LibgpiodChips>();
}

#else

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

#endif

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
