// libFuzzer harness over the engine core: the input bytes are read as a
// script that builds a level (zones, shared zones, charges with any double
// and any polarity, agents of every kind, gates with any parameters), plays
// it frame by frame and, between frames, acts as a meddling host (writes of
// the counter and the finished flag, changes to the tree and its charges).
//
// After every frame it checks what the engine promises its hosts:
//   * the frame text parses as one JSON object and is exactly the root
//     zone's text with "meta" added;
//   * the counter and the finished flag move as the frame's state says
//     (running, finished, or at the frame limit);
//   * every agent still standing in the tree is DORMANT;
//   * each running frame that does not end the level removes an agent or a
//     zone position, so a level with A agents and Z zone positions below the
//     root ends within A + Z + 1 running frames of the host's last change.
// The level is built twice from the same script: one twin is played with
// NextFrame() and checked as above, the other as the Python module answers,
// its frame's text kept (next_frame()) every third call and by patches
// (next_frame_patch()) otherwise: the text must be the same, the patch
// applied to the twin's document (nlohmann's json::patch) must give the
// frame, or both must fail alike and leave the level as it was (the frame
// then did not happen). Before each of its frames the second twin also runs
// the frame and drops it unkept, which must leave the level as it was, and
// explains itself, which must change nothing (the twins must still agree, and
// the next patch still apply); the explanation's "next" must be the event of
// the frame that follows, and it must say an agent acts exactly when that
// frame is the agent's cast.
// A broken promise aborts (libFuzzer then saves the input).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/charge.h"
#include "model/environment.h"
#include "model/json_text.h"
#include "model/magician_agent.h"
#include "model/zone_walk.h"
#include "sequencer/narrative_sequencer.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace {

using qor::AgentState;
using qor::Charge;
using qor::ChargePolarity;
using qor::Environment;
using qor::MagicianAgent;
using qor::NarrativeSequencer;
using Json = nlohmann::json;

// Bounds that keep one input quick: the tree and the script stay small.
constexpr std::size_t kMaxZones = 40;            // zone objects made by the host
constexpr std::size_t kMaxPositions = 200;       // places in the tree, shared zones counted per parent
constexpr std::size_t kMaxChargesAdded = 24;     // per zone, by the host
constexpr std::size_t kMaxAgentEntries = 64;     // agents standing in zones, by the host
constexpr std::size_t kMaxHostSteps = 400;       // host actions in all
constexpr std::size_t kMaxFrames = 3000;         // NextFrame calls per input

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "level_fuzzer: broken promise: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

// Reads the input front to back; once it runs out every read gives zeros.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return position_ >= size_; }
    std::size_t position() const { return position_; }

    std::uint8_t byte() { return exhausted() ? 0 : data_[position_++]; }

    std::uint32_t u32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = (value << 8) | byte();
        return value;
    }

    std::int32_t i32() {
        const std::uint32_t bits = u32();
        std::int32_t value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    std::size_t pick(std::size_t count) { return count == 0 ? 0 : byte() % count; }

    // Any double: a table of awkward values, a small whole number, or the
    // raw bits of the next eight bytes (every NaN payload included).
    double number() {
        static const double kAwkward[] = {
            0.0, -0.0, 1.0, -1.0, 2.0, 3.0, 0.5, 1e-9, 1e-7, 10.0, 170.0, 171.0, 1e21, -1e21,
            std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
            std::numeric_limits<double>::signaling_NaN(), std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::max(),
            std::numeric_limits<double>::lowest(), std::numeric_limits<double>::min(),
            std::numeric_limits<double>::denorm_min(), 2147483647.0, 2147483648.0, -2147483648.0,
            -2147483649.0, 4294967296.5, 9007199254740993.0, 1e308, -3.5, 0.1, 0.2, 0.3};
        constexpr std::size_t kAwkwardCount = sizeof kAwkward / sizeof kAwkward[0];
        const std::uint8_t how = byte();
        if (how < 128) return kAwkward[how % kAwkwardCount];
        if (how < 192) return static_cast<double>(static_cast<std::int8_t>(byte()));
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | byte();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // Any 32-bit polarity, mostly the named ones.
    ChargePolarity polarity() {
        const std::uint8_t how = byte();
        if (how < 200) return static_cast<ChargePolarity>(how % 3);
        return static_cast<ChargePolarity>(i32());
    }

    // A short text, mostly valid UTF-8 with quotes, escapes and control
    // characters; now and then a byte that is not UTF-8.
    std::string text() {
        static const char* const kPieces[] = {"a", "b", "z", "0", "_", " ", "\"", "\\", "\n",
                                              "\x1f", "\x7f", "\xc3\xa9", "\xe2\x86\x92",
                                              "\xf0\x9f\x98\x80", "\xff", "\xc3"};
        constexpr std::size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];
        const std::size_t length = byte() % 6;
        std::string made;
        for (std::size_t i = 0; i < length; ++i) made += kPieces[byte() % kPieceCount];
        return made;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

std::shared_ptr<MagicianAgent> make_agent(Script& script) {
    std::string visual_id = script.text();
    switch (script.byte() % 13) {
        case 0: return std::make_shared<qor::PlusMagician>(std::move(visual_id));
        case 1: return std::make_shared<qor::MinusMagician>(std::move(visual_id));
        case 2: return std::make_shared<qor::MultiplyMagician>(std::move(visual_id));
        case 3: return std::make_shared<qor::DivideMagician>(std::move(visual_id));
        case 4: return std::make_shared<qor::PowerSorcerer>(std::move(visual_id));
        case 5: return std::make_shared<qor::RootMagician>(std::move(visual_id));
        case 6: return std::make_shared<qor::AbsMagician>(std::move(visual_id));
        case 7: return std::make_shared<qor::FactorialMagician>(std::move(visual_id));
        case 8: return std::make_shared<qor::ModuloMagician>(std::move(visual_id));
        case 9: return std::make_shared<qor::LogMagician>(std::move(visual_id));
        case 10: return std::make_shared<qor::Chronomancer>(std::move(visual_id));
        case 11: return std::make_shared<qor::EqualsGate>(std::move(visual_id), script.number());
        default: {
            const double target = script.number();
            // Any comparison value, named or not.
            const std::uint8_t how = script.byte();
            const std::int32_t comparison = how < 128 ? how % 4 : script.i32();
            return std::make_shared<qor::InequalityGate>(
                std::move(visual_id), target,
                static_cast<qor::InequalityGate::ComparisonType>(comparison));
        }
    }
}

// The size of the level as the bound counts it.
struct Size {
    std::size_t agents = 0;     // agent entries of the zones in the tree, each zone once
    std::size_t positions = 0;  // places of zones below the root, a shared zone once per parent
};

Size size_of(const Environment& root) {
    Size size;
    std::unordered_set<const Environment*> seen;
    qor::walk_zones(
        root,
        [&](const Environment& zone) {
            ++size.positions;
            if (!seen.insert(&zone).second) return;
            for (const auto& agent : zone.agents) size.agents += agent != nullptr;
        },
        [](const Environment&, const Environment*, std::size_t) { return false; });
    --size.positions;  // the root itself
    return size;
}

// Places in the tree under `root`, counting stops once past `cap`.
std::size_t positions_up_to(const Environment& root, std::size_t cap) {
    std::size_t count = 0;
    qor::walk_zones(
        root, [&](const Environment&) { ++count; },
        [&](const Environment&, const Environment*, std::size_t) { return count > cap; });
    return count;
}

void check_agents_dormant(const Environment& root) {
    qor::walk_zones(
        root,
        [](const Environment& zone) {
            for (const auto& agent : zone.agents) {
                check(agent == nullptr || agent->state == AgentState::DORMANT,
                      "an agent in the tree is not DORMANT between frames");
            }
        },
        [](const Environment&, const Environment*, std::size_t) { return false; });
}

// A dump that never fails: text that is not UTF-8 is replaced.
std::string lenient_text(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The text of a value, or nothing when it holds text that is not UTF-8 (type
// error 316, the writer's only failure); the library's own dump must agree.
bool strict_text(const Json& value, std::string& text) {
    bool writer_failed = false;
    bool library_failed = false;
    std::string library;
    try {
        text = qor::to_json_text(value);
    } catch (const Json::type_error& error) {
        check(error.id == 316, "the text writer failed with something else than invalid UTF-8");
        writer_failed = true;
    }
    try {
        library = value.dump();
    } catch (const Json::type_error& error) {
        check(error.id == 316, "dump() failed with something else than invalid UTF-8");
        library_failed = true;
    }
    check(writer_failed == library_failed, "the text writer and dump() disagree on failing");
    check(writer_failed || text == library, "the text writer and dump() disagree");
    return !writer_failed;
}

struct Level {
    std::vector<std::shared_ptr<Environment>> zones;  // zones[0] is the root
    std::vector<std::shared_ptr<MagicianAgent>> agents;
    std::vector<std::size_t> charges_added;
    std::size_t agent_entries = 0;
};

// One host action on the level; false when the script asked for nothing
// that changes the tree.
bool host_changes_tree(Script& script, Level& level) {
    Environment& root = *level.zones.front();
    const std::size_t at = script.pick(level.zones.size());
    Environment& zone = *level.zones[at];
    switch (script.byte() % 9) {
        case 0: {  // a new zone under `zone`
            if (level.zones.size() >= kMaxZones) return false;
            auto made = std::make_shared<Environment>(script.text());
            zone.add_environment(made);
            if (positions_up_to(root, kMaxPositions) > kMaxPositions) {
                zone.sub_environments.pop_back();
                return false;
            }
            level.zones.push_back(std::move(made));
            level.charges_added.push_back(0);
            return true;
        }
        case 1: {  // an existing zone under `zone` too: shared, or refused as a cycle
            const auto& child = level.zones[script.pick(level.zones.size())];
            const bool cycle = child->contains(zone);
            const std::size_t before = zone.sub_environments.size();
            try {
                zone.add_environment(child);
            } catch (const std::invalid_argument&) {
                check(cycle, "a zone that makes no cycle was refused");
                check(zone.sub_environments.size() == before, "a refused zone was added all the same");
                return false;
            }
            check(!cycle, "a zone was added under its own descendant");
            if (positions_up_to(root, kMaxPositions) > kMaxPositions) {
                zone.sub_environments.pop_back();
                return false;
            }
            return true;
        }
        case 2: {  // a charge
            if (level.charges_added[at] >= kMaxChargesAdded) return false;
            ++level.charges_added[at];
            const std::uint64_t revision = zone.charges_revision;
            const double magnitude = script.number();
            const ChargePolarity polarity = script.polarity();
            zone.add_charge(Charge(magnitude, polarity, script.text()));
            check(zone.charges_revision != revision, "adding a charge kept the revision");
            return true;
        }
        case 3: {  // an agent: a new one, or one that already stands somewhere
            if (level.agent_entries >= kMaxAgentEntries) return false;
            std::shared_ptr<MagicianAgent> agent;
            if (!level.agents.empty() && script.byte() % 4 == 0) {
                agent = level.agents[script.pick(level.agents.size())];
            } else {
                agent = make_agent(script);
                level.agents.push_back(agent);
            }
            zone.add_magician(std::move(agent));
            ++level.agent_entries;
            return true;
        }
        case 4: {  // a missing agent is refused; written into the list directly it is skipped
            const std::size_t before = zone.agents.size();
            try {
                zone.add_magician(nullptr);
                fail("a missing agent was accepted");
            } catch (const std::invalid_argument&) {
                check(zone.agents.size() == before, "a refused agent was added all the same");
            }
            if (script.byte() % 2 == 0) return false;
            zone.agents.push_back(nullptr);
            return true;
        }
        case 5:  // the frozen flag
            zone.is_time_frozen = script.byte() % 2 == 1;
            return true;
        case 6: {  // the charges replaced: the first few kept
            const std::size_t keep = script.pick(zone.charges.size() + 1);
            zone.charges.resize(keep, Charge(0, ChargePolarity::POSITIVE, ""));
            zone.note_charges_changed();
            return true;
        }
        case 7:  // a new id
            zone.id = script.text();
            return true;
        default: {  // one charge changed in place
            if (zone.charges.empty()) return false;
            Charge& charge = zone.charges[script.pick(zone.charges.size())];
            switch (script.byte() % 3) {
                case 0: charge.magnitude = script.number(); break;
                case 1: charge.polarity = script.polarity(); break;
                default: charge.visual_id = script.text(); break;
            }
            return true;
        }
    }
}

std::int32_t counter_value(Script& script) {
    static const std::int32_t kAwkward[] = {0,    1,    998,  999,  1000, 1001, -1,
                                            -999, 4096, std::numeric_limits<std::int32_t>::min(),
                                            std::numeric_limits<std::int32_t>::max()};
    const std::uint8_t how = script.byte();
    if (how < 192) return kAwkward[how % (sizeof kAwkward / sizeof kAwkward[0])];
    return script.i32();
}

constexpr const char* kComplete = "Simulation complete. No further actions.";
constexpr const char* kLimit = "Max frame limit reached. Infinite loop detected.";
constexpr const char* kResolved = "Equation Resolved.";

// Plays one frame and checks its response and the state it leaves. Returns
// whether it was a running frame; `text` gets the frame's text, or nothing
// when that holds text that is not UTF-8.
bool play_and_check(NarrativeSequencer& sequencer, Environment& root, std::optional<std::string>& text_out) {
    const std::int32_t frame_before = sequencer.current_frame;
    const bool finished_before = sequencer.is_finished;
    const Size size_before = size_of(root);

    const Json frame = sequencer.NextFrame();
    if (std::getenv("LEVEL_FUZZER_PRINT") != nullptr) {
        std::printf("%s\n", lenient_text(frame).c_str());
    }

    // The frame is one object: the root zone's members and "meta".
    check(frame.is_object(), "the frame is not an object");
    check(frame.contains("meta") && frame.size() == 6, "the frame has other members than the root's and meta");
    const Json& meta = frame["meta"];
    check(meta.is_object() && meta.size() == 4, "meta has other members");
    Json expected = root.to_json();
    expected["meta"] = meta;
    check(lenient_text(expected) == lenient_text(frame), "the frame is not the root's JSON plus meta");

    std::string text;
    text_out.reset();
    if (strict_text(frame, text)) {
        text_out = text;
        std::string root_text;
        check(strict_text(expected, root_text) && root_text == text,
              "the frame text is not the text of the root's JSON plus meta");
        Json parsed;
        try {
            parsed = Json::parse(text);
        } catch (const Json::exception&) {
            fail("the frame text does not parse");
        }
        check(parsed.is_object() && parsed.dump() == text, "the frame text does not read back as itself");
    } else {
        std::string unused;
        check(!strict_text(expected, unused), "only the frame text holds text that is not UTF-8");
    }

    // The states.
    const std::string status = meta["status"].get<std::string>();
    const std::string message = meta["message"].get<std::string>();
    check(meta["frame_index"] == sequencer.current_frame, "frame_index is not the counter");
    bool running = false;
    if (frame_before >= sequencer.max_frames) {
        check(status == "ERROR" && message == kLimit, "a frame at the limit did not answer the limit");
        check(sequencer.current_frame == frame_before, "a frame at the limit moved the counter");
        check(sequencer.is_finished, "a frame at the limit left the level unfinished");
        check(meta["last_event"].is_null(), "a frame at the limit has an event");
    } else if (finished_before) {
        check(status == "FINISHED" && message == kComplete, "a finished level did not say complete");
        check(sequencer.current_frame == frame_before, "a finished level moved the counter");
        check(sequencer.is_finished, "a finished level became unfinished");
        check(meta["last_event"].is_null(), "a finished level's frame has an event");
    } else {
        running = true;
        check(sequencer.current_frame == frame_before + 1, "a running frame did not advance the counter by one");
        check(meta["last_event"].is_object(), "a running frame has no event");
        check(meta["last_event"]["description"] == meta["message"], "the message is not the event's description");
        if (status == "FINISHED") {
            check(sequencer.is_finished && message == kResolved, "a level ended without saying resolved");
        } else {
            check(status == "RUNNING" && !sequencer.is_finished, "a running frame has a wrong status");
            const Size size_after = size_of(root);
            check(size_after.agents + size_after.positions < size_before.agents + size_before.positions,
                  "a running frame removed neither an agent nor a zone");
        }
    }
    check_agents_dormant(root);
    return running;
}

// What a host can see of a level between frames.
std::string observed(const NarrativeSequencer& sequencer, const Environment& root) {
    return std::to_string(sequencer.current_frame) + (sequencer.is_finished ? " finished " : " running ") +
           (sequencer.last_event ? lenient_text(sequencer.last_event->to_json()) : "no event") + " " +
           lenient_text(root.to_json());
}

// Runs a frame and drops it unkept, which must leave the level as it was
// (and the patches' base: the next patch still applies to the last frame).
void undo_a_frame(NarrativeSequencer& twin, const Environment& twin_root, const std::string& before, bool as_patch) {
    {
        NarrativeSequencer::PendingFrame pending = twin.begin_frame();
        try {
            (void)(as_patch ? pending.patch_text() : pending.text());
        } catch (const Json::type_error& error) {
            check(error.id == 316, "a pending frame's text failed with something else than invalid UTF-8");
        }
    }
    check(observed(twin, twin_root) == before, "a frame dropped unkept changed the level");
}

// The twin's explanation, or nothing when it holds text that is not UTF-8.
std::optional<Json> explanation(NarrativeSequencer& twin) {
    try {
        return Json::parse(twin.explain());
    } catch (const Json::type_error& error) {
        check(error.id == 316, "an explanation failed with something else than invalid UTF-8");
    }
    return std::nullopt;
}

// The explanation made before a frame, against what the frame did.
void check_explanation(const Json& explained, const NarrativeSequencer& twin, bool ran) {
    const Json event = twin.last_event && ran ? twin.last_event->to_json() : Json(nullptr);
    check(explained.at("next") == event, "the explanation's next is not the frame's event");
    check((explained.at("outcome") == "running") == ran, "the explanation's outcome is not running exactly when a frame runs");
    std::size_t acting = 0;
    for (const Json& agent : explained.at("agents")) {
        if (agent.at("state") != "acts") continue;
        ++acting;
        check(event.is_object() && event.at("type") == "CAST_SPELL" && agent.at("visual_id") == event.at("visual_id"),
              "the explanation says an agent acts that did not");
    }
    const bool cast = event.is_object() && event.at("type") == "CAST_SPELL";
    check(acting == (cast ? 1u : 0u), "the explanation does not name the one agent that acts");
}

// The twin's frame: its text, kept as the next patch's base, or a patch
// applied to the document the twin holds. Either way the twin's document is
// then the frame; nothing when the frame's text cannot be written.
std::optional<std::string> twin_frame(NarrativeSequencer& twin, bool as_patch, std::optional<Json>& document) {
    if (!as_patch) {
        NarrativeSequencer::PendingFrame pending = twin.begin_frame();
        std::string text = pending.keep_text();
        pending.commit();
        document = Json::parse(text);
        return text;
    }
    const Json patch = Json::parse(twin.next_frame_patch());
    check(patch.is_array(), "a patch is not an array");
    const bool whole = patch.size() == 1 && patch[0].value("path", "-") == "";
    check(document.has_value() || whole, "the first patch does not replace the whole document");
    for (const Json& operation : patch) {
        const std::string op = operation.at("op").get<std::string>();
        check(op == "add" || op == "remove" || op == "replace", "a patch holds another operation");
    }
    try {
        document = document ? document->patch(patch) : Json(nullptr).patch(patch);
    } catch (const Json::exception&) {
        fail("a patch does not apply to the last frame");
    }
    return document->dump();
}

// The twin answers as the checked one did. A frame whose text cannot be
// written does not happen on the text path; the twin then catches up with
// NextFrame(), whose JSON value holds the text that is not UTF-8 (and which
// keeps no base: the next patch replaces the whole document).
void play_twin_and_compare(NarrativeSequencer& twin, const Environment& twin_root,
                           const NarrativeSequencer& checked, const Environment& checked_root,
                           const std::optional<std::string>& checked_text, bool as_patch,
                           std::optional<Json>& document) {
    const std::int32_t frame_before = twin.current_frame;
    const bool runs = frame_before < twin.max_frames && !twin.is_finished;
    const std::optional<Json> explained = explanation(twin);
    const std::string before = observed(twin, twin_root);
    undo_a_frame(twin, twin_root, before, !as_patch);
    std::optional<std::string> text;
    try {
        text = twin_frame(twin, as_patch, document);
    } catch (const Json::type_error& error) {
        check(error.id == 316, "a twin's frame failed with something else than invalid UTF-8");
        check(observed(twin, twin_root) == before, "a frame whose text failed changed the level");
        (void)twin.NextFrame();
    }
    check(text.has_value() == checked_text.has_value(), "the twin's frame and NextFrame() disagree on failing");
    if (text && !as_patch) check(*text == *checked_text, "the twin's frame text differs from the text of NextFrame()");
    if (text && as_patch) {
        check(*text == *checked_text, "the document kept by patches is not the frame");
    }
    check(observed(twin, twin_root) == observed(checked, checked_root), "the twins differ");
    if (explained) check_explanation(*explained, twin, runs);
}

// One host action, taken from the same bytes by both twins.
bool host_changes_both(Script& script, Level& checked, Level& twin) {
    Script again = script;
    const bool changed = host_changes_tree(script, checked);
    const bool twin_changed = host_changes_tree(again, twin);
    check(changed == twin_changed && again.position() == script.position(), "the twins took different host actions");
    return changed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script(data, size);
    Level level;
    Level twin_level;
    const std::string root_id = script.text();
    for (Level* made : {&level, &twin_level}) {
        made->zones.push_back(std::make_shared<Environment>(root_id));
        made->charges_added.push_back(0);
    }

    // The level as first built.
    const std::size_t build_steps = script.byte() % 48;
    std::size_t host_steps = 0;
    for (std::size_t i = 0; i < build_steps && !script.exhausted(); ++i, ++host_steps) {
        host_changes_both(script, level, twin_level);
    }

    Environment& root = *level.zones.front();
    Environment& twin_root = *twin_level.zones.front();
    NarrativeSequencer sequencer(level.zones.front());
    NarrativeSequencer twin(twin_level.zones.front());
    Size at_change = size_of(root);
    std::size_t running_since_change = 0;
    std::optional<std::string> text;
    std::optional<Json> twin_document;  // what the twin's frames and patches made of its level

    for (std::size_t calls = 0; calls < kMaxFrames; ++calls) {
        bool last = false;
        // Between frames the host may meddle while the script lasts.
        if (!script.exhausted() && host_steps < kMaxHostSteps) {
            const std::uint8_t what = script.byte();
            if (what % 4 == 1) {
                ++host_steps;
                if (host_changes_both(script, level, twin_level)) {
                    at_change = size_of(root);
                    running_since_change = 0;
                }
            } else if (what % 4 == 2) {
                ++host_steps;
                if (script.byte() % 2 == 0) {
                    sequencer.current_frame = twin.current_frame = counter_value(script);
                } else {
                    sequencer.is_finished = twin.is_finished = script.byte() % 2 == 1;
                }
                at_change = size_of(root);
                running_since_change = 0;
            }
        } else if (sequencer.is_finished) {
            last = true;  // nothing more from the host: one more frame shows the final state
        }
        const bool running = play_and_check(sequencer, root, text);
        play_twin_and_compare(twin, twin_root, sequencer, root, text, calls % 3 != 0, twin_document);
        if (last) break;
        if (running) {
            ++running_since_change;
            check(running_since_change <= at_change.agents + at_change.positions + 1,
                  "a level ran longer than its agents and zones allow");
        }
    }
    return 0;
}
