// Figures of the engine core, without Python: one frame step and the root's
// JSON on the generated levels of bench_levels.h, of 10 to 10,000 agents.
//
// Two kinds of frame are measured, each of which can be run again and again:
//   acting:    the acting gate is tried after every other collected agent
//              has declined, opens and leaves its zone; it is placed back
//              after the frame (one push_back, inside the timed loop).
//   resolved:  without the gate nothing acts and no zone can collapse, so
//              after every agent has declined the level ends; clearing
//              is_finished (a store, inside the timed loop) lets the next
//              frame run the same way.
// Both run the walk that sets the freeze flags, collects the agents and looks
// for a collapsible zone, the sort and the trying of the agents; "WithText" answers with the response's text written straight from
// the tree (next_frame_text(), what the module's next_frame() returns), the
// others with the response's JSON value (NextFrame()). Resetting
// current_frame keeps the frame limit out of the way. BM_RootJson is what
// Environment.to_json() does: the root's text written straight from the tree;
// BM_RootJsonBuild builds the root's JSON value instead.
// BM_Explain is NarrativeSequencer::explain() on the acting level: it runs
// the frame, undoes it and writes why every agent acts, waits or declines.
// BM_ExplainChain and BM_FrameChain: explain() and a frame with text on a
// chain of zones (the argument is its depth), each holding an agent, two
// charges and the next zone; every zone above the deepest is frozen. The
// frame's agent is placed back after it, so the chain stays as it is.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_levels.h"
#include "model/json_text.h"
#include "model/zone_text.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"

namespace {

using qor::bench::Level;
using qor::bench::make_level;

Level level_for(const benchmark::State& state, bool with_acting_gate) {
    return make_level(static_cast<int>(state.range(0)), with_acting_gate);
}

void describe(benchmark::State& state, const Level& level) {
    state.counters["agents"] = static_cast<double>(state.range(0));
    state.counters["zones"] = level.zones;
    state.counters["json_bytes"] = static_cast<double>(qor::to_json_text(level.root->to_json()).size());
}

void BM_RootJson(benchmark::State& state) {
    const Level level = level_for(state, true);
    for (auto _ : state) {
        std::string text = qor::zone_json_text(*level.root);
        benchmark::DoNotOptimize(text.data());
    }
    describe(state, level);
}

void BM_RootJsonBuild(benchmark::State& state) {
    const Level level = level_for(state, true);
    for (auto _ : state) {
        nlohmann::json value = level.root->to_json();
        benchmark::DoNotOptimize(&value);
    }
    describe(state, level);
}

// One frame, answered as text when kWithText, else as the JSON value.
template <bool kWithText>
void run_frame(qor::NarrativeSequencer& sequencer) {
    if constexpr (kWithText) {
        std::string text = sequencer.next_frame_text();
        benchmark::DoNotOptimize(text.data());
    } else {
        nlohmann::json response = sequencer.NextFrame();
        benchmark::DoNotOptimize(&response);
    }
    sequencer.current_frame = 0;
}

template <bool kWithText>
void BM_FrameActing(benchmark::State& state) {
    const Level level = level_for(state, true);
    qor::NarrativeSequencer sequencer(level.root);
    for (auto _ : state) {
        run_frame<kWithText>(sequencer);
        level.place_gate_again();
    }
    if (sequencer.last_event->type != qor::QOR_FRAME_EVENT_CAST_SPELL) state.SkipWithError("the gate did not act");
    describe(state, level);
}

template <bool kWithText>
void BM_FrameResolved(benchmark::State& state) {
    const Level level = level_for(state, false);
    qor::NarrativeSequencer sequencer(level.root);
    for (auto _ : state) {
        run_frame<kWithText>(sequencer);
        sequencer.is_finished = false;
    }
    if (sequencer.last_event->type != qor::QOR_FRAME_EVENT_FINISHED) state.SkipWithError("the level did not end");
    describe(state, level);
}

void BM_Explain(benchmark::State& state) {
    const Level level = level_for(state, true);
    qor::NarrativeSequencer sequencer(level.root);
    for (auto _ : state) {
        std::string text = sequencer.explain();
        benchmark::DoNotOptimize(text.data());
    }
    describe(state, level);
}

struct Chain {
    std::shared_ptr<qor::Environment> root;
    std::shared_ptr<qor::Environment> deepest;
};

Chain make_chain(std::int64_t depth) {
    Chain chain;
    std::shared_ptr<qor::Environment> above;
    for (std::int64_t level = 0; level < depth; ++level) {
        auto zone = std::make_shared<qor::Environment>("zone_" + std::to_string(level));
        zone->add_charge(qor::Charge(2.0, qor::ChargePolarity::POSITIVE, "a" + std::to_string(level)));
        zone->add_charge(qor::Charge(3.0, qor::ChargePolarity::POSITIVE, "b" + std::to_string(level)));
        zone->add_magician(std::make_shared<qor::PlusMagician>("plus_" + std::to_string(level)));
        if (above) above->add_environment(zone);
        if (!chain.root) chain.root = zone;
        above = zone;
    }
    chain.deepest = above;
    return chain;
}

void describe_chain(benchmark::State& state, const Chain& chain) {
    state.counters["zones"] = static_cast<double>(state.range(0));
    state.counters["json_bytes"] = static_cast<double>(qor::zone_json_text(*chain.root).size());
}

void BM_ExplainChain(benchmark::State& state) {
    const Chain chain = make_chain(state.range(0));
    qor::NarrativeSequencer sequencer(chain.root);
    for (auto _ : state) {
        std::string text = sequencer.explain();
        benchmark::DoNotOptimize(text.data());
    }
    describe_chain(state, chain);
}

// The deepest zone's agent adds its two charges; the charges and the agent
// are put back as they were.
void BM_FrameChain(benchmark::State& state) {
    const Chain chain = make_chain(state.range(0));
    qor::NarrativeSequencer sequencer(chain.root);
    const std::vector<qor::Charge> charges = chain.deepest->charges;
    const auto agent = chain.deepest->agents.front();
    for (auto _ : state) {
        std::string text = sequencer.next_frame_text();
        benchmark::DoNotOptimize(text.data());
        chain.deepest->charges = charges;
        chain.deepest->agents = {agent};
        sequencer.current_frame = 0;
    }
    if (sequencer.last_event->type != qor::QOR_FRAME_EVENT_CAST_SPELL) state.SkipWithError("the agent did not act");
    describe_chain(state, chain);
}

void chain_depths(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
}

void level_sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BM_RootJson)->Apply(level_sizes);
BENCHMARK(BM_RootJsonBuild)->Apply(level_sizes);
BENCHMARK_TEMPLATE(BM_FrameActing, true)->Name("BM_FrameActingWithText")->Apply(level_sizes);
BENCHMARK_TEMPLATE(BM_FrameActing, false)->Name("BM_FrameActing")->Apply(level_sizes);
BENCHMARK_TEMPLATE(BM_FrameResolved, true)->Name("BM_FrameResolvedWithText")->Apply(level_sizes);
BENCHMARK_TEMPLATE(BM_FrameResolved, false)->Name("BM_FrameResolved")->Apply(level_sizes);

BENCHMARK(BM_Explain)->Apply(level_sizes);
BENCHMARK(BM_ExplainChain)->Apply(chain_depths);
BENCHMARK(BM_FrameChain)->Apply(chain_depths);

BENCHMARK_MAIN();
