#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "level_file/level_play.h"
#include "level_file/refill_agent.h"
#include "model/charge.h"
#include "model/environment.h"
#include "spells/agent_kinds.h"
#include "spells/gates.h"

namespace qor {

// The level file: a JSON object holding the root zone, each zone with its
// charges, agents and sub-zones, and an optional title and description
// (docs/levels.md). The reader checks every rule of the format and lists
// every problem of a file at once; the writer gives the file's canonical
// text. A level is built through the model's own placing operations, as any
// host builds one; the model knows nothing of level files.

inline constexpr std::size_t kMaxLevelFileBytes = 8 * 1024 * 1024;  // longer files are refused unread
inline constexpr std::size_t kMaxLevelZoneDepth = 100;              // the root is depth 1
// A file with more problems lists this many and says how many more it has.
inline constexpr std::size_t kMaxListedLevelProblems = 1000;
// A text of the file quoted in a problem (an id, a name, a kind) shows at
// most this many characters, then an ellipsis; a zone whose id is cut so is
// also named by its place by numbers ("zone \"aaa…\" (level: zone 2)").
inline constexpr std::size_t kMaxQuotedCharacters = 40;
// So no problem's text (place and message) is longer than this, and no
// pointer longer than this plus twice the longest member name of the file.
inline constexpr std::size_t kMaxLevelProblemBytes = 4096;

// One problem of a level file: where it is ("zone \"root\": agent 2", or
// "level" for the file's own object, or nothing for a file that is not
// JSON), what is wrong, and the JSON Pointer (RFC 6901) of the value it is
// about ("/zones/0/agents/1/kind"; the root zone's members are the file's
// own, "/agents/1/kind"; "" for the whole file).
struct LevelProblem {
    std::string place;
    std::string message;
    std::string pointer;

    // "zone \"root\": agent 2: unknown kind \"plux\" (did you mean \"plus\"?)"
    std::string text() const;
};

// A level file that cannot be used, with every problem found; what() holds
// every problem's text, one per line.
class LevelError : public std::invalid_argument {
public:
    explicit LevelError(std::vector<LevelProblem> problems);
    const std::vector<LevelProblem>& problems() const noexcept { return *problems_; }

private:
    std::shared_ptr<const std::vector<LevelProblem>> problems_;  // shared: copying an exception never throws
};

struct ChargeSpec {
    double magnitude = 0.0;  // finite, not negative
    ChargePolarity polarity = ChargePolarity::POSITIVE;
    std::string id;
};

struct AgentSpec {
    AgentKind kind = AgentKind::PLUS;
    std::string id;
    double target = 0.0;  // the gates' only
    InequalityGate::ComparisonType rule = InequalityGate::ComparisonType::LESS_THAN;  // the inequality gate's only
    bool refill = false;  // placed again after each frame in which it acted
};

struct ZoneSpec {
    std::string id;
    std::vector<ChargeSpec> charges;
    std::vector<AgentSpec> agents;
    std::vector<ZoneSpec> zones;

    ZoneSpec() = default;
    explicit ZoneSpec(std::string zone_id) : id(std::move(zone_id)) {}
    ZoneSpec(const ZoneSpec&) = default;
    ZoneSpec(ZoneSpec&&) noexcept = default;
    ZoneSpec& operator=(const ZoneSpec&) = default;
    ZoneSpec& operator=(ZoneSpec&&) noexcept = default;
    // Releases deep trees without recursion.
    ~ZoneSpec();
};

// Whether a text given as a level file looks like a file's name instead
// ("levels/tutorial.json"): one short line that does not start as JSON's
// object does and ends in ".json" or holds a path separator.
bool looks_like_file_name(std::string_view text);

// The LevelError for such a text: it names the text and tells to pass the
// file's contents, read as `how_to_read` says ("read_level(open(name, 'rb').read())").
LevelError file_name_error(std::string_view text, std::string_view how_to_read);

// An agent as a level file's agent object describes it, checked by the
// same rules: `kind` is its key in level files ("plus"), `id` its id, and
// `target` is given for the gates alone, `rule` ("<", ">", "<=", ">=") for
// the inequality gate alone. Throws LevelError listing every problem, each
// without a place; its pointer names the member ("/target").
AgentSpec read_agent(std::string_view kind, std::string_view id, std::optional<double> target,
                     std::optional<std::string_view> rule);

// A new, dormant agent of the kind, id and figures the AgentSpec holds.
std::shared_ptr<MagicianAgent> make_agent(const AgentSpec& agent);

// A level file's zone tree, built: the root zone and every "refill" agent
// with the zone it stands in, in the file's order.
struct BuiltLevel {
    std::shared_ptr<Environment> root;
    std::vector<RefillAgent> refills;
};

// A level as plain data. read() makes one that keeps every rule of the
// format; a level changed by hand afterwards is written and built as it is
// (its text is then refused by read() if it breaks a rule).
class Level {
public:
    std::optional<std::string> title;
    std::optional<std::string> description;
    ZoneSpec root;

    // The level of a zone tree built or changed in code, so that a host's
    // editor can write what it built: every zone with its charges and its
    // agents, none marked "refill"; a zone's time freeze and the agents'
    // state are no part of a level file. Throws std::invalid_argument for an
    // agent of a kind no level file holds, and as ensure_walkable() does.
    static Level of_zone(const Environment& root, std::optional<std::string> title = std::nullopt,
                         std::optional<std::string> description = std::nullopt);

    // The level of a level file's bytes (UTF-8). Throws LevelError listing
    // every problem of a file that breaks a rule of the format.
    static Level read(std::string_view text);

    // The level as a level file: canonical and stable (2-space indent, one
    // line per charge and per agent, empty lists left out), so that
    // read(level.to_text()).to_text() == level.to_text().
    std::string to_text() const;

    // A fresh zone tree holding the level, made by the model's placing
    // operations, with the level's "refill" agents.
    BuiltLevel build() const;

    // A fresh zone tree in play: a LevelPlay that places the "refill" agents
    // again after each frame in which they acted. Throws std::invalid_argument
    // for a frame limit below 1.
    std::unique_ptr<LevelPlay> play(std::int32_t max_frames = NarrativeSequencer::kDefaultMaxFrames) const;
};

}  // namespace qor
