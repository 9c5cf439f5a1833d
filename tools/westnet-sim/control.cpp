#include "control.h"

#include <cstdio>
#include <sstream>
#include <utility>
#include <vector>

#include "text.h"

namespace westnet::sim {
namespace {

constexpr const char* kCommands =
    "silence NN, answer NN, fault NN KIND=P [KIND=P ...], fault NN off, status, help";

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// One or two decimal digits: 5, 05 and 99 are stations, 100 and 5a are not.
bool ParseStation(const std::string& text, int& station) {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    station = std::stoi(text);
    return true;
}

std::string Two(int station) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", station);
    return text;
}

std::string Error(const std::string& what) {
    return "error: " + what;
}

}  // namespace

FaultPlan* StationControls::Faults(int station) {
    auto found = faults_.find(station);
    return found == faults_.end() ? nullptr : &found->second.plan;
}

std::string StationControls::Execute(const std::string& command, const Plant& plant) {
    std::vector<std::string> words = Words(command);
    if (words.empty()) {
        return Error(std::string("empty command (commands: ") + kCommands + ")");
    }
    const std::string& verb = words[0];
    if (verb == "status" || verb == "help") {
        if (words.size() != 1) {
            return Error(verb + " takes nothing after it");
        }
        return verb == "status" ? Status(plant) : std::string("ok commands: ") + kCommands;
    }
    if (verb != "silence" && verb != "answer" && verb != "fault") {
        return Error("unknown command " + Quoted(verb) + " (commands: " + kCommands + ")");
    }
    int station = 0;
    if (words.size() < 2 || !ParseStation(words[1], station)) {
        return Error(verb + " needs a station number NN, 00 to 99" +
                     (words.size() < 2 ? std::string() : ", not " + Quoted(words[1])));
    }
    if (!plant.Has(station)) {
        return Error("no station " + Two(station) + " on this line");
    }
    if (verb != "fault") {
        if (words.size() != 2) {
            return Error(verb + " takes one station number, nothing after it");
        }
        if (verb == "silence") {
            silenced_.insert(station);
        } else {
            silenced_.erase(station);
        }
        return "ok";
    }
    if (words.size() < 3) {
        return Error("fault " + Two(station) + " needs KIND=P (as --fault) or off");
    }
    if (words.size() == 3 && words[2] == "off") {
        faults_.erase(station);
        return "ok";
    }
    OwnFaults own;
    own.plan.Seed(seed_ ^ (0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(station + 1)));
    own.plan.SetLateMs(late_ms_);
    for (std::size_t i = 2; i < words.size(); ++i) {
        std::string what;
        if (!own.plan.AddRate(words[i], what)) {
            return Error(what);
        }
        own.shown += (own.shown.empty() ? "" : " ") + words[i];
    }
    faults_[station] = std::move(own);
    return "ok";
}

std::string StationControls::Status(const Plant& plant) const {
    std::string text = "ok";
    const char* separator = " ";
    for (int station : plant.Stations()) {
        text += separator + Two(station) + (Silenced(station) ? " silenced" : " answers");
        auto found = faults_.find(station);
        if (found != faults_.end()) {
            text += ", faults " + found->second.shown;
        }
        separator = "; ";
    }
    return text;
}

Outcome Serve(Plant& plant, FaultPlan& faults, StationControls& controls, const std::uint8_t* frame,
              std::size_t length) {
    Request request = plant.Decode(frame, length);
    if (request.Answered() && controls.Silenced(request.station)) {
        request.verdict = Verdict::kSilenced;
    }
    FaultPlan* own = request.Answered() ? controls.Faults(request.station) : nullptr;
    return Serve(plant, own != nullptr ? *own : faults, std::move(request));
}

}  // namespace westnet::sim
