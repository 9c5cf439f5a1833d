// Sparkplug B payloads as the gateway builds and reads them: a Payload of
// typed metrics, encoded to and decoded from the protobuf bytes every
// Sparkplug host speaks (sparkplug_b.proto, through protobuf-c), and the
// topics they travel on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace westnet::gateway::sparkplug {

// The datatype numbers of the Sparkplug B payload, those the gateway uses.
enum class DataType : std::uint32_t {
    Unknown = 0,
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
};
const char* DataTypeName(DataType type);  // "Int16", ...; "Unknown" for others

// The quality property the gateway sends with every point metric
// ("Quality", Int32), in the codes Sparkplug hosts such as Ignition read.
constexpr std::int32_t kQualityGood = 192;
constexpr std::int32_t kQualityStale = 500;
constexpr std::int32_t kQualityBad = 0;

struct Metric {
    std::string name;  // "" in a message that names the metric by alias alone
    std::optional<std::uint64_t> alias;
    std::uint64_t timestamp = 0;  // ms since 1970; 0: not sent
    DataType type = DataType::Unknown;
    bool historical = false;
    bool transient = false;
    bool null = false;  // no value: `integer`, `real` and `text` mean nothing
    // The value, by type: the integer types and Boolean (0 or 1) in
    // `integer`, Float and Double in `real`, String in `text`.
    std::int64_t integer = 0;
    double real = 0;
    std::string text;
    std::optional<std::int32_t> quality;  // the "Quality" property

    // The value as a number, whatever its type (Boolean 0 or 1).
    double Number() const;
};

struct Payload {
    std::uint64_t timestamp = 0;  // ms since 1970
    std::optional<std::uint64_t> seq;
    std::vector<Metric> metrics;
};

// The protobuf bytes of `payload`.
std::string Encode(const Payload& payload);

// False, with the reason, when `bytes` is not a payload, or a metric carries
// a value that does not fit its datatype. Signed integers of up to 32 bits
// come as the two's complement in the unsigned field and are read back so.
bool Decode(const void* bytes, std::size_t size, Payload& payload, std::string& error);

// A metric of a number, with `type` saying which field carries it; a value
// outside the type's range is clamped to it (the caller checks ranges).
Metric NumberMetric(const std::string& name, DataType type, double value);

}  // namespace westnet::gateway::sparkplug
