// Figures of reading level files: Level::read and build() of a level file's
// text, against the root's JSON text of the built tree (what
// Environment.to_json() returns), on two levels each of 1,000 and 10,000
// agents: "flat", one zone holding every agent, and "tree", the zone tree of
// bench_levels.h (one zone per four agents). Both hold the same agents, those
// of bench_levels.h.
// Prints the median microseconds of each and their ratio. Times are the
// thread's CPU time: on a busy machine a round of several milliseconds is
// often cut by other processes' turns, which wall time would count.
//
//     qor_level_file_bench [rounds]      (default 200)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <time.h>

#include "bench_levels.h"
#include "level_file/level_file.h"
#include "model/zone_text.h"

namespace {

double thread_cpu_microseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

qor::AgentSpec declining_agent_spec(int index) {
    qor::AgentSpec agent;
    agent.id = "agent_" + std::to_string(index);
    const qor::AgentKind kinds[] = {qor::AgentKind::CHRONOMANCER, qor::AgentKind::LOG, qor::AgentKind::FACTORIAL,
                                    qor::AgentKind::MODULO,       qor::AgentKind::DIVIDE, qor::AgentKind::EQUALS_GATE,
                                    qor::AgentKind::INEQUALITY_GATE};
    agent.kind = kinds[index % 7];
    agent.target = agent.kind == qor::AgentKind::EQUALS_GATE ? 1000.0 : -1000.0;
    return agent;
}

qor::ZoneSpec zone_spec(int index) {
    qor::ZoneSpec zone("zone_" + std::to_string(index));
    const std::string id = "c" + std::to_string(index);
    zone.charges.push_back({3.0 + index % 5, qor::ChargePolarity::POSITIVE, id + "a"});
    zone.charges.push_back({0.0, qor::ChargePolarity::NEGATIVE, id + "b"});
    return zone;
}

// The level file of bench_levels.h's level (without the acting gate), or of
// all its agents in one zone.
std::string level_text(int agent_count, bool flat) {
    const int zone_count = flat ? 1 : std::max(1, agent_count / qor::bench::kAgentsPerZone);
    std::vector<qor::ZoneSpec> zones;
    for (int i = 0; i < zone_count; ++i) zones.push_back(zone_spec(i));
    for (int j = 0; j < agent_count; ++j) zones[static_cast<std::size_t>(j % zone_count)].agents.push_back(declining_agent_spec(j));
    // Each zone's sub-zones are the zones numbered 4i+1 to 4i+4: put the last ones in first.
    for (int i = zone_count - 1; i > 0; --i) {
        auto& parent = zones[static_cast<std::size_t>(i - 1) / qor::bench::kSubZonesPerZone];
        parent.zones.insert(parent.zones.begin(), std::move(zones[static_cast<std::size_t>(i)]));
    }
    qor::Level level;
    level.root = std::move(zones.front());
    return level.to_text();
}

template <typename Work>
double median_microseconds(int rounds, Work work) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const double start = thread_cpu_microseconds();
        work();
        times.push_back(thread_cpu_microseconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    std::printf("| level | agents | zones | file bytes | read (CPU us) | read + build (CPU us) | to_json() (CPU us) | (read + build) / to_json() |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const int agents : {1000, 10000})
    for (const bool flat : {true, false}) {
        const std::string text = level_text(agents, flat);
        const qor::BuiltLevel built = qor::Level::read(text).build();
        std::size_t sink = 0;
        const double read = median_microseconds(rounds, [&] { sink += qor::Level::read(text).root.agents.size(); });
        const double read_build = median_microseconds(rounds, [&] { sink += qor::Level::read(text).build().root->agents.size(); });
        const double json = median_microseconds(rounds, [&] { sink += qor::zone_json_text(*built.root).size(); });
        int zones = 0;
        std::vector<const qor::Environment*> pending{built.root.get()};
        while (!pending.empty()) {
            const qor::Environment* zone = pending.back();
            pending.pop_back();
            ++zones;
            for (const auto& sub : zone->sub_environments) pending.push_back(sub.get());
        }
        std::printf("| %s | %s | %d | %zu | %.0f | %.0f | %.0f | %.2f |\n", flat ? "flat" : "tree",
                    agents == 1000 ? "1,000" : "10,000", zones, text.size(),
                    read, read_build, json, read_build / json);
        if (sink == 0) std::printf("(nothing read)\n");
    }
    return 0;
}
