// The levels that come closest to the work bound: for each, the largest one
// the bound takes, and what one call on it writes, how long it takes and the
// peak memory of the process that makes it. Figures, not pass/fail:
//
//     qor_bound_cases            # every case, each call in a child process
//     qor_bound_cases CASE SIZE  # one case of the given size, even beyond the bound
//
// Each case is a level built from a size n (an id of n bytes, n charges in a
// zone shared at 2^8 places, ...); without SIZE, n is the largest that
// tree_work() keeps within kMaxTreeWork. Calls: the root's text (what
// Environment.to_json() returns), a frame's text (next_frame()), the first
// and the second frame patch, the frame as a JSON value (NextFrame()) and a
// save. Linux only (fork, wait4).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "model/environment.h"
#include "model/zone_text.h"
#include "model/zone_walk.h"
#include "saving/level_save.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace {

using qor::Charge;
using qor::ChargePolarity;
using qor::Environment;
using Zone = std::shared_ptr<Environment>;

constexpr double kLowest = -1.7976931348623157e308;

Zone zone(std::string id) { return std::make_shared<Environment>(std::move(id)); }

// `leaf` at 2^8 places: a chain of 8 zones, each listing the next twice.
Zone shared_at_256_places(Zone leaf) {
    Zone below = std::move(leaf);
    for (int depth = 7; depth >= 0; --depth) {
        Zone above = zone("c" + std::to_string(depth));
        above->sub_environments = {below, below};
        below = above;
    }
    return below;
}

// A zone whose id is n times `byte`, with one Plus Magician and two charges:
// the first frame casts in it, writing the id in the tree, the event's
// description and the frame's message.
Zone plus_in_zone_named(char byte, std::size_t n) {
    Zone root = zone(std::string(n, byte));
    root->add_charge(Charge(1, ChargePolarity::POSITIVE, "a"));
    root->add_charge(Charge(2, ChargePolarity::POSITIVE, "b"));
    root->add_magician(std::make_shared<qor::PlusMagician>("plus"));
    return root;
}

struct Case {
    const char* name;
    std::function<Zone(std::size_t)> build;
};

const Case kCases[] = {
    {"zone id of bytes 0x01 (each written \\u0001), a Plus Magician casting there",
     [](std::size_t n) { return plus_in_zone_named('\x01', n); }},
    {"zone id of '\"' (each written \\\"), a Plus Magician casting there",
     [](std::size_t n) { return plus_in_zone_named('"', n); }},
    {"zone id of ASCII letters, a Plus Magician casting there",
     [](std::size_t n) { return plus_in_zone_named('x', n); }},
    {"a Plus Magician whose visual id is bytes 0x01 (event and result charge)",
     [](std::size_t n) {
         Zone root = zone("root");
         root->add_charge(Charge(1, ChargePolarity::POSITIVE, "a"));
         root->add_charge(Charge(2, ChargePolarity::POSITIVE, "b"));
         root->add_magician(std::make_shared<qor::PlusMagician>(std::string(n, '\x01')));
         return root;
     }},
    {"charges of -1.79e308 with empty visual ids, zone at 2^8 places",
     [](std::size_t n) {
         Zone leaf = zone("");
         for (std::size_t i = 0; i < n; ++i) leaf->add_charge(Charge(-kLowest, ChargePolarity::NEGATIVE, ""));
         return shared_at_256_places(leaf);
     }},
    {"Judges of target -1.79e308 with empty visual ids, zone at 2^8 places",
     [](std::size_t n) {
         Zone leaf = zone("");
         for (std::size_t i = 0; i < n; ++i) {
             leaf->add_magician(std::make_shared<qor::InequalityGate>(
                 "", kLowest, qor::InequalityGate::ComparisonType::LESS_THAN));
         }
         return shared_at_256_places(leaf);
     }},
    {"n Equals Gates and n charges in one zone, every gate declining",
     [](std::size_t n) {
         Zone root = zone("");
         for (std::size_t i = 0; i < n; ++i) {
             root->add_charge(Charge(1, ChargePolarity::POSITIVE, ""));
             root->add_magician(std::make_shared<qor::EqualsGate>("", -1));
         }
         return root;
     }},
};

// The largest n whose level the bound takes.
std::size_t largest_within_bound(const Case& c) {
    const auto fits = [&](std::size_t n) {
        try {
            return qor::tree_work(*c.build(n)) <= qor::kMaxTreeWork;
        } catch (const qor::TreeTooLargeError&) {
            return false;
        }
    };
    std::size_t low = 1;  // fits
    std::size_t high = 2;
    while (fits(high)) {
        low = high;
        high *= 2;
    }
    while (high - low > 1) {
        const std::size_t mid = low + (high - low) / 2;
        (fits(mid) ? low : high) = mid;
    }
    return low;
}

struct Outcome {
    double seconds = 0;
    std::uint64_t bytes = 0;
    bool refused = false;
};

// One call on a level; `after_a_patch` calls are timed after a first patch.
struct Call {
    const char* name;
    bool after_a_patch;
    std::function<std::uint64_t(qor::NarrativeSequencer&)> run;
};

const Call kCalls[] = {
    {"to_json text", false,
     [](qor::NarrativeSequencer& level) { return qor::zone_json_text(*level.root_environment).size(); }},
    {"next_frame text", false, [](qor::NarrativeSequencer& level) { return level.next_frame_text().size(); }},
    {"first patch", false, [](qor::NarrativeSequencer& level) { return level.next_frame_patch().size(); }},
    {"second patch", true, [](qor::NarrativeSequencer& level) { return level.next_frame_patch().size(); }},
    {"NextFrame value", false,
     [](qor::NarrativeSequencer& level) {
         (void)level.NextFrame();
         return std::uint64_t{0};  // a value, not a text
     }},
    {"save", false, [](qor::NarrativeSequencer& level) { return qor::save_level(level).size(); }},
};

// Runs call `index` on a level of case `c` built in a child process; the
// child's peak resident memory comes from wait4.
void measure(const Case& c, std::size_t n, std::size_t index) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) std::abort();
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        Outcome outcome;
        try {
            qor::NarrativeSequencer level(c.build(n));
            if (kCalls[index].after_a_patch) (void)level.next_frame_patch();
            const auto start = std::chrono::steady_clock::now();
            outcome.bytes = kCalls[index].run(level);
            outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } catch (const qor::TreeTooLargeError&) {
            outcome.refused = true;
        }
        if (write(pipe_ends[1], &outcome, sizeof outcome) != static_cast<ssize_t>(sizeof outcome)) _exit(1);
        _exit(0);
    }
    close(pipe_ends[1]);
    Outcome outcome;
    const bool answered = read(pipe_ends[0], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome);
    close(pipe_ends[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!answered) {
        std::printf("  %-16s failed (status %d)\n", kCalls[index].name, status);
    } else if (outcome.refused) {
        std::printf("  %-16s refused by the bound\n", kCalls[index].name);
    } else {
        std::printf("  %-16s %14llu bytes %8.3f s  peak %6.0f MB\n", kCalls[index].name,
                    static_cast<unsigned long long>(outcome.bytes), outcome.seconds, usage.ru_maxrss / 1024.0);
    }
    std::fflush(stdout);
}

void run(const Case& c, std::size_t n) {
    std::uint64_t work = 0;
    try {
        work = qor::tree_work(*c.build(n));
    } catch (const qor::TreeTooLargeError&) {
        work = std::numeric_limits<std::uint64_t>::max();
    }
    std::printf("%s\n  n = %zu, work %s\n", c.name, n,
                work == std::numeric_limits<std::uint64_t>::max() ? "beyond the bound"
                                                                    : std::to_string(work).c_str());
    std::fflush(stdout);
    for (std::size_t i = 0; i < std::size(kCalls); ++i) measure(c, n, i);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        const std::size_t which = std::strtoul(argv[1], nullptr, 10);
        if (which >= std::size(kCases)) {
            std::fprintf(stderr, "no case %zu (0 to %zu)\n", which, std::size(kCases) - 1);
            return 2;
        }
        run(kCases[which], std::strtoul(argv[2], nullptr, 10));
        return 0;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s [CASE SIZE]\n", argv[0]);
        return 2;
    }
    for (const Case& c : kCases) run(c, largest_within_bound(c));
    return 0;
}
