#pragma once

// The generated levels of the benchmarks (the same as in bench_frames.py):
// one zone per four agents, in a tree where every zone has up to four
// sub-zones (six levels deep at 10,000 agents). Every zone holds two charges,
// [3+ +, 0 -], and agents that decline them: Chronomancers, Architects (last
// charge 0), Replicators (last charge negative), Scavengers and Divide
// Magicians (divisor 0), and gates whose targets are out of reach. Since
// every zone is unresolved, every zone with sub-zones is frozen, and the
// agents of the leaves (about three quarters of them) are offered the charges
// each frame.
//
// With the acting gate, one more leaf, the root's last sub-zone, holds an
// Equals Gate that opens on its charges. It has the lowest priority and is
// collected last, so every other collected agent is tried and declines, then
// the gate acts and leaves its zone; placing it back (place_gate_again) makes
// the level exactly what it was.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "model/environment.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor::bench {

constexpr int kAgentsPerZone = 4;
constexpr std::size_t kSubZonesPerZone = 4;

inline std::shared_ptr<MagicianAgent> declining_agent(int index) {
    const std::string id = "agent_" + std::to_string(index);
    switch (index % 7) {
        case 0: return std::make_shared<Chronomancer>(id);
        case 1: return std::make_shared<LogMagician>(id);
        case 2: return std::make_shared<FactorialMagician>(id);
        case 3: return std::make_shared<ModuloMagician>(id);
        case 4: return std::make_shared<DivideMagician>(id);
        case 5: return std::make_shared<EqualsGate>(id, 1000.0);
        default:
            return std::make_shared<InequalityGate>(
                id, -1000.0, InequalityGate::ComparisonType::LESS_THAN);
    }
}

inline void add_declined_charges(Environment& zone, int index) {
    zone.add_charge(Charge(3.0 + index % 5, ChargePolarity::POSITIVE, "c" + std::to_string(index) + "a"));
    zone.add_charge(Charge(0.0, ChargePolarity::NEGATIVE, "c" + std::to_string(index) + "b"));
}

struct Level {
    std::shared_ptr<Environment> root;
    std::shared_ptr<Environment> gate_zone;      // null without the acting gate
    std::shared_ptr<MagicianAgent> gate;    // null without the acting gate
    int zones = 0;

    void place_gate_again() const { gate_zone->agents.push_back(gate); }
};

inline Level make_level(int agent_count, bool with_acting_gate) {
    const int zone_count = std::max(1, agent_count / kAgentsPerZone);
    std::vector<std::shared_ptr<Environment>> zones;
    zones.reserve(static_cast<std::size_t>(zone_count));
    for (int i = 0; i < zone_count; ++i) {
        auto zone = std::make_shared<Environment>("zone_" + std::to_string(i));
        add_declined_charges(*zone, i);
        if (i > 0) zones[static_cast<std::size_t>(i - 1) / kSubZonesPerZone]->add_environment(zone);
        zones.push_back(std::move(zone));
    }
    for (int j = 0; j < agent_count; ++j) {
        zones[static_cast<std::size_t>(j % zone_count)]->add_magician(declining_agent(j));
    }
    Level level{zones.front(), nullptr, nullptr, zone_count};
    if (with_acting_gate) {
        level.gate_zone = std::make_shared<Environment>("gate_zone");
        add_declined_charges(*level.gate_zone, 0);  // total 3: the gate's target
        level.gate = std::make_shared<EqualsGate>("acting_gate", 3.0);
        level.gate_zone->add_magician(level.gate);
        level.root->add_environment(level.gate_zone);
        ++level.zones;
    }
    return level;
}

}  // namespace qor::bench
