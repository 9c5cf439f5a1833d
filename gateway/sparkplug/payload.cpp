#include "sparkplug/payload.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "sparkplug_b.pb-c.h"

namespace westnet::gateway::sparkplug {

namespace {

using PbPayload = Westnet__Sparkplug__Payload;
using PbMetric = Westnet__Sparkplug__Payload__Metric;
using PbPropertySet = Westnet__Sparkplug__Payload__PropertySet;
using PbPropertyValue = Westnet__Sparkplug__Payload__PropertyValue;

constexpr const char* kQualityKey = "Quality";

bool Integral(DataType type) {
    switch (type) {
        case DataType::Int8:
        case DataType::Int16:
        case DataType::Int32:
        case DataType::Int64:
        case DataType::UInt8:
        case DataType::UInt16:
        case DataType::UInt32:
        case DataType::UInt64:
            return true;
        default:
            return false;
    }
}

// Which integers travel in int_value; UInt32 goes in long_value, as the
// Tahu codecs (Ignition's among them) send and read it. Either is read.
bool Narrow(DataType type) {
    return Integral(type) && type != DataType::Int64 && type != DataType::UInt64 &&
           type != DataType::UInt32;
}

// The range of an integer type, as doubles (exact for all but 64 bits).
void Range(DataType type, double& low, double& high) {
    switch (type) {
        case DataType::Int8:
            low = -128;
            high = 127;
            return;
        case DataType::Int16:
            low = -32768;
            high = 32767;
            return;
        case DataType::Int32:
            low = -2147483648.0;
            high = 2147483647.0;
            return;
        case DataType::UInt8:
            low = 0;
            high = 255;
            return;
        case DataType::UInt16:
            low = 0;
            high = 65535;
            return;
        case DataType::UInt32:
            low = 0;
            high = 4294967295.0;
            return;
        case DataType::UInt64:
            low = 0;
            high = 9.2233720368547758e18;  // as far as the int64 holder goes
            return;
        default:
            low = -9.2233720368547758e18;
            high = 9.2233720368547758e18;
            return;
    }
}

// A value read from int_value as its type means it: the low bits, sign
// extended for the signed types (senders differ in whether they extend an
// Int8 or Int16 to 32 bits first; both read the same here).
bool FromNarrow(DataType type, std::uint32_t raw, std::int64_t& value, std::string& error) {
    switch (type) {
        case DataType::Int8: {
            const auto low = static_cast<std::int64_t>(raw & 0xFFu);
            value = low >= 0x80 ? low - 0x100 : low;
            return true;
        }
        case DataType::Int16:
            value = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw));
            return true;
        case DataType::Int32:
            value = static_cast<std::int32_t>(raw);
            return true;
        case DataType::UInt8:
        case DataType::UInt16: {
            const std::uint32_t max = type == DataType::UInt8 ? 0xFFu : 0xFFFFu;
            if (raw > max) {
                error = std::string("value ") + std::to_string(raw) + " does not fit " +
                        DataTypeName(type);
                return false;
            }
            value = raw;
            return true;
        }
        default:
            value = raw;
            return true;
    }
}

// The type a metric without a datatype has, from the field its value is in.
DataType Implied(const PbMetric& m) {
    switch (m.value_case) {
        case WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE:
            return DataType::UInt32;
        case WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE:
            return DataType::Int64;
        case WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
            return DataType::Float;
        case WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
            return DataType::Double;
        case WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
            return DataType::Boolean;
        case WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE:
            return DataType::String;
        default:
            return DataType::Unknown;
    }
}

bool ReadValue(const PbMetric& m, Metric& out, std::string& error) {
    const auto which = m.value_case;
    if (Integral(out.type)) {
        if (which == WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE) {
            return FromNarrow(out.type, m.int_value, out.integer, error);
        }
        if (which == WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE) {
            // Some hosts send every integer in long_value.
            out.integer = static_cast<std::int64_t>(m.long_value);
            if (Narrow(out.type) || out.type == DataType::UInt32) {
                double low = 0;
                double high = 0;
                Range(out.type, low, high);
                const double v = static_cast<double>(out.integer);
                if (v < low || v > high) {
                    // An unsigned 64-bit word of a negative narrow value.
                    if (out.type == DataType::Int8 || out.type == DataType::Int16 ||
                        out.type == DataType::Int32) {
                        return FromNarrow(out.type, static_cast<std::uint32_t>(m.long_value),
                                          out.integer, error);
                    }
                    error = "value " + std::to_string(m.long_value) + " does not fit " +
                            DataTypeName(out.type);
                    return false;
                }
            }
            return true;
        }
    } else if (out.type == DataType::Float || out.type == DataType::Double) {
        if (which == WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE) {
            out.real = static_cast<double>(m.float_value);
            return true;
        }
        if (which == WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE) {
            out.real = m.double_value;
            return true;
        }
    } else if (out.type == DataType::Boolean) {
        if (which == WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE) {
            out.integer = m.boolean_value ? 1 : 0;
            return true;
        }
    } else if (out.type == DataType::String) {
        if (which == WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE) {
            out.text = m.string_value != nullptr ? m.string_value : "";
            return true;
        }
    } else {
        // A type the gateway has no use for: kept by name, without a value.
        out.null = true;
        return true;
    }
    error = std::string("no value of type ") + DataTypeName(out.type);
    return false;
}

}  // namespace

const char* DataTypeName(DataType type) {
    switch (type) {
        case DataType::Int8:
            return "Int8";
        case DataType::Int16:
            return "Int16";
        case DataType::Int32:
            return "Int32";
        case DataType::Int64:
            return "Int64";
        case DataType::UInt8:
            return "UInt8";
        case DataType::UInt16:
            return "UInt16";
        case DataType::UInt32:
            return "UInt32";
        case DataType::UInt64:
            return "UInt64";
        case DataType::Float:
            return "Float";
        case DataType::Double:
            return "Double";
        case DataType::Boolean:
            return "Boolean";
        case DataType::String:
            return "String";
        case DataType::Unknown:
            break;
    }
    return "Unknown";
}

double Metric::Number() const {
    if (type == DataType::Float || type == DataType::Double) {
        return real;
    }
    if (type == DataType::UInt64) {
        return static_cast<double>(static_cast<std::uint64_t>(integer));
    }
    return static_cast<double>(integer);
}

Metric NumberMetric(const std::string& name, DataType type, double value) {
    Metric m;
    m.name = name;
    m.type = type;
    if (type == DataType::Float || type == DataType::Double) {
        m.real = value;
    } else if (type == DataType::Boolean) {
        m.integer = value != 0 ? 1 : 0;
    } else if (std::isnan(value)) {
        m.null = true;
    } else {
        double low = 0;
        double high = 0;
        Range(type, low, high);
        const double v = std::round(std::min(std::max(value, low), high));
        m.integer = v >= 9.2233720368547758e18 ? std::numeric_limits<std::int64_t>::max()
                                               : static_cast<std::int64_t>(v);
    }
    return m;
}

std::string Encode(const Payload& payload) {
    const std::size_t n = payload.metrics.size();
    // The C structures point into these; sized once, so nothing moves.
    std::vector<PbMetric> metrics(n);
    std::vector<PbMetric*> pointers(n);
    std::vector<PbPropertySet> sets(n);
    std::vector<PbPropertyValue> qualities(n);
    std::vector<PbPropertyValue*> qualityPointers(n);
    char* qualityKey[1] = {const_cast<char*>(kQualityKey)};
    for (std::size_t i = 0; i < n; ++i) {
        const Metric& from = payload.metrics[i];
        PbMetric& m = metrics[i];
        westnet__sparkplug__payload__metric__init(&m);
        pointers[i] = &m;
        if (!from.name.empty()) {
            m.name = const_cast<char*>(from.name.c_str());
        }
        if (from.alias) {
            m.has_alias = 1;
            m.alias = *from.alias;
        }
        if (from.timestamp != 0) {
            m.has_timestamp = 1;
            m.timestamp = from.timestamp;
        }
        m.has_datatype = 1;
        m.datatype = static_cast<std::uint32_t>(from.type);
        if (from.historical) {
            m.has_is_historical = 1;
            m.is_historical = 1;
        }
        if (from.transient) {
            m.has_is_transient = 1;
            m.is_transient = 1;
        }
        if (from.quality) {
            PbPropertyValue& q = qualities[i];
            westnet__sparkplug__payload__property_value__init(&q);
            q.has_type = 1;
            q.type = static_cast<std::uint32_t>(DataType::Int32);
            q.value_case = WESTNET__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
            q.int_value = static_cast<std::uint32_t>(*from.quality);
            qualityPointers[i] = &q;
            westnet__sparkplug__payload__property_set__init(&sets[i]);
            sets[i].n_keys = 1;
            sets[i].keys = qualityKey;
            sets[i].n_values = 1;
            sets[i].values = &qualityPointers[i];
            m.properties = &sets[i];
        }
        if (from.null) {
            m.has_is_null = 1;
            m.is_null = 1;
            continue;
        }
        if (Narrow(from.type)) {
            m.value_case = WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
            m.int_value = static_cast<std::uint32_t>(from.integer);
        } else if (Integral(from.type)) {
            m.value_case = WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            m.long_value = static_cast<std::uint64_t>(from.integer);
        } else if (from.type == DataType::Float) {
            m.value_case = WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
            m.float_value = static_cast<float>(from.real);
        } else if (from.type == DataType::Double) {
            m.value_case = WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
            m.double_value = from.real;
        } else if (from.type == DataType::Boolean) {
            m.value_case = WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            m.boolean_value = from.integer != 0 ? 1 : 0;
        } else if (from.type == DataType::String) {
            m.value_case = WESTNET__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            m.string_value = const_cast<char*>(from.text.c_str());
        }
    }
    PbPayload p;
    westnet__sparkplug__payload__init(&p);
    p.has_timestamp = 1;
    p.timestamp = payload.timestamp;
    if (payload.seq) {
        p.has_seq = 1;
        p.seq = *payload.seq;
    }
    p.n_metrics = n;
    p.metrics = n == 0 ? nullptr : pointers.data();
    std::string bytes(westnet__sparkplug__payload__get_packed_size(&p), '\0');
    if (!bytes.empty()) {
        westnet__sparkplug__payload__pack(&p, reinterpret_cast<std::uint8_t*>(&bytes[0]));
    }
    return bytes;
}

bool Decode(const void* bytes, std::size_t size, Payload& payload, std::string& error) {
    struct Free {
        void operator()(PbPayload* p) const {
            westnet__sparkplug__payload__free_unpacked(p, nullptr);
        }
    };
    std::unique_ptr<PbPayload, Free> p(westnet__sparkplug__payload__unpack(
        nullptr, size, static_cast<const std::uint8_t*>(bytes)));
    if (!p) {
        error = "not a Sparkplug B payload (protobuf does not decode)";
        return false;
    }
    Payload out;
    out.timestamp = p->has_timestamp ? p->timestamp : 0;
    if (p->has_seq) {
        out.seq = p->seq;
    }
    for (std::size_t i = 0; i < p->n_metrics; ++i) {
        const PbMetric& m = *p->metrics[i];
        Metric metric;
        if (m.name != nullptr) {
            metric.name = m.name;
        }
        if (m.has_alias) {
            metric.alias = m.alias;
        }
        metric.timestamp = m.has_timestamp ? m.timestamp : 0;
        metric.type = m.has_datatype ? static_cast<DataType>(m.datatype) : Implied(m);
        metric.historical = m.has_is_historical && m.is_historical;
        metric.transient = m.has_is_transient && m.is_transient;
        metric.null = m.has_is_null && m.is_null;
        if (m.properties != nullptr) {
            const PbPropertySet& set = *m.properties;
            for (std::size_t k = 0; k < set.n_keys && k < set.n_values; ++k) {
                const PbPropertyValue& v = *set.values[k];
                if (set.keys[k] != nullptr && std::string(set.keys[k]) == kQualityKey &&
                    v.value_case == WESTNET__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE) {
                    metric.quality = static_cast<std::int32_t>(v.int_value);
                }
            }
        }
        const std::string label = metric.name.empty()
                                      ? "alias " + std::to_string(metric.alias.value_or(0))
                                      : "\"" + metric.name + "\"";
        if (!metric.null) {
            std::string why;
            if (!ReadValue(m, metric, why)) {
                error = "metric " + label + ": ";
                error += why;
                return false;
            }
        }
        out.metrics.push_back(std::move(metric));
    }
    payload = std::move(out);
    return true;
}

}  // namespace westnet::gateway::sparkplug
