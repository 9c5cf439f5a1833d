#include "options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <utility>

#include "cli_args.h"
#include "station.h"
#include "text.h"

namespace westnet::sim {
namespace {

bool ParseLong(const char* text, long low, long high, long& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseFormat(const std::string& text, CharFormat& format) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') {
        return false;
    }
    char parity = static_cast<char>(text[1] & ~0x20);  // upper case
    if (std::string("NOEMS").find(parity) == std::string::npos) {
        return false;
    }
    std::string stop = text.substr(2);
    int halves = stop == "1" ? 2 : stop == "1.5" ? 3 : stop == "2" ? 4 : 0;
    if (halves == 0) {
        return false;
    }
    format = CharFormat{text[0] - '0', parity, halves};
    return true;
}

// A refusal in our words, thrown from an option's callback.
struct Refusal {
    std::string text;
};

// --help or --version, which end the parse where they stand.
struct Ended {
    Parsed parsed;
};

// CLI11 keeps the options it does not know aside; the first of them ends the
// parse before any fault after it. A long one is named as given, a short one
// by its letter.
void RefuseUnknownSoFar(const CLI::App& app) {
    for (const std::string& arg : app.remaining()) {
        if (arg.size() < 2 || arg[0] != '-' || arg == "--") {
            continue;
        }
        if (arg[1] == '-') {
            throw Refusal{"bad option " + Quoted(arg)};
        }
        throw Refusal{"unknown option " + Quoted(arg.substr(0, 2))};
    }
}

using cli::AddReversed;

// getopt_long, which parsed these options before CLI11, took any unambiguous
// beginning of a long option (--dev for --device); command lines written for
// it keep working. An ambiguous one (--stat) stays as given, to be refused.
std::string Unabbreviated(const CLI::App& app, const std::string& arg) {
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
        return arg;
    }
    const std::size_t equals = arg.find('=');
    const std::string given = arg.substr(2, equals == std::string::npos ? equals : equals - 2);
    std::vector<std::string> matches;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            if (name == given) {
                return arg;
            }
            if (name.compare(0, given.size(), given) == 0) {
                matches.push_back(name);
            }
        }
    }
    if (matches.size() != 1) {
        return arg;
    }
    return "--" + matches.front() + (equals == std::string::npos ? "" : arg.substr(equals));
}

// What CLI11 itself refuses: an option without its value (given last), or a
// value given to a switch (--trace=1).
std::string CliErrorText(const CLI::ParseError& e) {
    const std::string message = e.what();
    std::string name = message.substr(0, message.find_first_of(": "));
    if (name.rfind('-', 0) != 0) {
        name = "--" + name;  // a flag override names the flag bare
    }
    return "bad option " + Quoted(name);
}

}  // namespace

Parsed ParseOptions(int argc, char** argv, Options& options, std::string& what) {
    // Each option's value is checked as the parser meets it: the first fault
    // on the command line is the one reported, in our words, and --help or
    // --version ends the parse where it stands.
    using Apply = std::function<std::string(const std::string&)>;
    Options& o = options;
    const std::pair<const char*, Apply> kWithValue[] = {
        {"--image",
         [&o](const std::string& v) {
             o.images.push_back(v);
             return std::string();
         }},
        {"--station",
         [&o](const std::string& v) {
             long number = 0;
             if (!ParseLong(v.c_str(), 0, kStationMax, number)) {
                 return "station " + Quoted(v) + " out of range: 0 to 99";
             }
             o.stations.push_back(static_cast<int>(number));
             return std::string();
         }},
        {"--animate",
         [&o](const std::string& v) {
             o.animations.push_back(v);
             return std::string();
         }},
        {"--device",
         [&o](const std::string& v) {
             o.device = v;
             return std::string();
         }},
        {"--link",
         [&o](const std::string& v) {
             o.link = v;
             return std::string();
         }},
        {"--control",
         [&o](const std::string& v) {
             if (v.empty()) {
                 return std::string("--control needs the path of the socket to make");
             }
             o.control = v;
             return std::string();
         }},
        {"--baud",
         [&o](const std::string& v) {
             return ParseLong(v.c_str(), 1, 4000000, o.baud)
                        ? std::string()
                        : "bad --baud " + Quoted(v) + ": 1 to 4000000";
         }},
        {"--format",
         [&o](const std::string& v) {
             return ParseFormat(v, o.format)
                        ? std::string()
                        : "bad --format " + Quoted(v) +
                              ": data bits 5-8, parity N/O/E/M/S, stop bits 1/1.5/2, e.g. 8O2";
         }},
        {"--gap",
         [&o](const std::string& v) {
             return ParseLong(v.c_str(), 1, 60000, o.gap_ms)
                        ? std::string()
                        : "bad --gap " + Quoted(v) + ": 1 to 60000 ms";
         }},
        {"--turnaround",
         [&o](const std::string& v) {
             return ParseLong(v.c_str(), 0, 600000, o.turnaround_ms)
                        ? std::string()
                        : "bad --turnaround " + Quoted(v) + ": 0 to 600000 ms";
         }},
        {"--late-ms",
         [&o](const std::string& v) {
             return ParseLong(v.c_str(), 0, 600000, o.late_ms)
                        ? std::string()
                        : "bad --late-ms " + Quoted(v) + ": 0 to 600000 ms";
         }},
        {"--fault",
         [&o](const std::string& v) {
             o.rates.push_back(v);
             return std::string();
         }},
        {"--seed",
         [&o](const std::string& v) {
             char* end = nullptr;
             errno = 0;
             o.seed = std::strtoull(v.c_str(), &end, 10);
             if (v.empty() || v[0] < '0' || v[0] > '9' || *end != '\0' || errno != 0) {
                 return "bad --seed " + Quoted(v) + ": a whole number";
             }
             return std::string();
         }},
        {"--script",
         [&o](const std::string& v) {
             o.script = v;
             o.has_script = true;
             return std::string();
         }},
        {"--dump",
         [&o](const std::string& v) {
             o.dump = v;
             return std::string();
         }},
    };
    CLI::App app{"", "westnet-sim"};
    app.set_help_flag();
    app.allow_extras();
    std::vector<std::string> positional;
    app.add_option("arguments", positional);
    for (const auto& [name, apply] : kWithValue) {
        app.add_option_function<std::string>(name,
                                             [&app, apply = apply](const std::string& value) {
                                                 RefuseUnknownSoFar(app);
                                                 std::string error = apply(value);
                                                 if (!error.empty()) {
                                                     throw Refusal{std::move(error)};
                                                 }
                                             })
            ->trigger_on_parse();
    }
    const std::pair<const char*, bool*> kSwitches[] = {{"--trace", &o.trace},
                                                       {"--stats", &o.stats}};
    for (const auto& [name, flag] : kSwitches) {
        app.add_flag_callback(name,
                              [&app, flag = flag] {
                                  RefuseUnknownSoFar(app);
                                  *flag = true;
                              })
            ->disable_flag_override()
            ->trigger_on_parse();
    }
    const std::pair<const char*, Parsed> kEnds[] = {{"--help", Parsed::kHelp},
                                                    {"--version", Parsed::kVersion}};
    for (const auto& [name, parsed] : kEnds) {
        app.add_flag_callback(name,
                              [&app, parsed = parsed] {
                                  RefuseUnknownSoFar(app);
                                  throw Ended{parsed};
                              })
            ->disable_flag_override()
            ->trigger_on_parse();
    }
    try {
        // Nothing after "--" is an option.
        int end = 1;
        while (end < argc && std::string(argv[end]) != "--") {
            ++end;
        }
        std::vector<std::string> reversed;
        for (int i = argc - 1; i > 0; --i) {
            AddReversed(reversed, i < end ? Unabbreviated(app, argv[i]) : std::string(argv[i]));
        }
        app.parse(reversed);
        RefuseUnknownSoFar(app);
    } catch (const Ended& ended) {
        return ended.parsed;
    } catch (const Refusal& refusal) {
        what = refusal.text;
        return Parsed::kBad;
    } catch (const CLI::ParseError& e) {
        what = CliErrorText(e);
        return Parsed::kBad;
    }
    if (!positional.empty()) {
        what = "unexpected argument " + Quoted(positional.front());
        return Parsed::kBad;
    }
    if (!options.link.empty() && !options.device.empty()) {
        what = "--link is for the pseudo-terminal; it does not go with --device";
        return Parsed::kBad;
    }
    return Parsed::kRun;
}

}  // namespace westnet::sim
