// info: the driver's information record, field by field.
#include "commands.h"
#include "output.h"

namespace westnet::poll {
namespace {

const char* StopBitsText(std::uint16_t code) {
    switch (code & 0xFF) {
        case 0:
            return "1";
        case 1:
            return "1.5";
        case 2:
            return "2";
        default:
            return "?";
    }
}

const char* ParityText(std::uint16_t code) {
    static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
    return (code & 0xFF) < 5 ? kNames[code & 0xFF] : "?";
}

}  // namespace

int InfoCommand(Context& ctx) {
    const DriverInfo& r = ctx.info.record;
    const std::string banner = Cp437ToUtf8(ctx.info.banner);
    std::vector<std::pair<std::string, Cell>> fields = {
        {"name", Cell::Of(ctx.info.name)},
        {"banner_bytes", Cell::Of(static_cast<std::int64_t>(ctx.info.banner.size()))},
        {"value_at_0", Cell::Of(static_cast<std::int64_t>(r.value0))},
        {"value_at_12", Cell::Of(static_cast<std::int64_t>(r.value12))},
        {"reply_timeout", Cell::Of(static_cast<std::int64_t>(r.value16))},
        {"reply_timeout_ms", Cell::Of(static_cast<std::int64_t>(r.value16) * 10)},
        {"baud", Cell::Of(static_cast<std::int64_t>(r.line.baudRate))},
        {"data_bits", Cell::Of(static_cast<std::int64_t>(r.line.dataBits))},
        {"stop_bits_code", Cell::Of(static_cast<std::int64_t>(r.line.stopBits))},
        {"stop_bits", Cell::Of(std::string(StopBitsText(r.line.stopBits)))},
        {"parity_code", Cell::Of(static_cast<std::int64_t>(r.line.parity))},
        {"parity", Cell::Of(std::string(ParityText(r.line.parity)))},
        {"value_at_28", Cell::Of(static_cast<std::int64_t>(r.value28))},
    };
    if (ctx.o.format == Format::Table) {
        Print(RenderRecord(ctx.o.format, fields) + "banner:" + banner);
    } else {
        fields.insert(fields.begin() + 1, {"banner", Cell::Of(banner)});
        Print(RenderRecord(ctx.o.format, fields));
    }
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
