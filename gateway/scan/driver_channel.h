// The Channel of the daemon: one host::Session on the driver, opened with
// CmdOpen (so that the line runs at its own reply time-out; a CmdReopen or
// CmdReconfigure would leave it at the driver's default of one second), with
// the device resolved again at every open.
#pragma once

#include <string>

#include "scan/channel.h"
#include "session.h"

namespace westnet::gateway {

class DriverChannel : public Channel {
public:
    DriverChannel(host::ZanMainFn zanMain, const LineConfig& line);
    ~DriverChannel() override;

    bool Open(std::string& why) override;
    void Close() override;
    std::string Device() const override { return device_; }
    int SelectedStation() const override;

    std::int32_t ReadWord(int station, int reg, std::uint16_t& value) override;
    std::int32_t ReadBlock(int station, int reg, int count,
                           std::vector<std::uint16_t>& words) override;
    std::int32_t WriteWord(int station, int reg, std::uint16_t value) override;
    std::int32_t WriteBit(int station, int reg, int bit, bool value) override;
    std::int32_t WriteBlock(int station, int reg, const std::vector<std::uint16_t>& words) override;

private:
    host::Session session_;
    const LineConfig line_;
    std::string device_;
};

// The reply time-out of a line in the driver's tens of milliseconds,
// rounded up.
int TimeoutTens(int timeoutMs);

}  // namespace westnet::gateway
