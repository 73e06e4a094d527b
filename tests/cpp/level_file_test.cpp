#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "level_file/level_file.h"
#include "model/magician_agent.h"
#include "sequencer/narrative_sequencer.h"

namespace qor {
namespace {

namespace fs = std::filesystem;

const fs::path kRepo = QOR_SOURCE_DIR;

std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The problems of a text (as "TEXT @ POINTER"), none when it reads.
std::vector<std::string> problems_of(std::string_view text) {
    try {
        Level::read(text);
    } catch (const LevelError& error) {
        std::vector<std::string> found;
        for (const LevelProblem& problem : error.problems()) found.push_back(problem.text() + " @ " + problem.pointer);
        return found;
    }
    return {};
}

struct BadFile {
    const char* name;
    std::string text;
    std::vector<std::string> problems;
};

// Named in test output by its name: printed byte by byte, its padding would
// be read uninitialised.
void PrintTo(const BadFile& file, std::ostream* out) { *out << file.name; }

std::vector<BadFile> bad_files() {
    return {
        {"empty", " \n\u3000", {"the file is empty @ "}},
        {"not_json", "{\"zone\": \"r\",\n  , }", {"invalid JSON at line 2, column 3: expected a member's name in double quotes @ "}},
        {"columns_count_characters", "[\"\u00e9\u00e9\", x]", {"invalid JSON at line 1, column 8: expected a value @ "}},
        {"nan", "{\"zone\": NaN}", {"invalid JSON at line 1, column 10: NaN is not allowed in a level file @ "}},
        {"trailing_text", "{\"zone\": \"r\"} {}", {"invalid JSON at line 1, column 15: unexpected text after the end of the JSON value @ "}},
        {"control_character", "{\"zone\": \"a\tb\"}", {"invalid JSON at line 1, column 12: a control character in a string must be written as an escape @ "}},
        {"unclosed_string", "{\"zone\": \"r}", {"invalid JSON at line 1, column 10: a string is not closed @ "}},
        {"invalid_utf8", "{\"zone\": \"\xC3\x28\"}", {"not UTF-8 text (invalid continuation byte at byte 10) @ "}},
        {"encoded_surrogate", "{\"zone\": \"\xED\xA0\x80\"}", {"not UTF-8 text (invalid continuation byte at byte 10) @ "}},
        {"cut_short_utf8", "{\"zone\": \"\xE2\x82", {"not UTF-8 text (unexpected end of data at byte 10) @ "}},
        {"byte_order_mark_then_bad_utf8", "\xEF\xBB\xBF{\"zone\": \"\xC3\x28\"}",
         {"not UTF-8 text (invalid continuation byte at byte 13) @ "}},
        {"two_byte_order_marks", "\xEF\xBB\xBF\xEF\xBB\xBF{\"zone\": \"r\"}", {"invalid JSON at line 1, column 1: a byte order mark (U+FEFF) is not allowed @ "}},
        {"not_an_object", "[]", {"level: expected an object like {\"zone\": \"root\", \"charges\": [...], \"agents\": [...]}, got a list @ "}},
        {"charge_with_three_problems", R"({"zone": "root", "charges": [[-1.5, "postive", " "]]})",
         {"zone \"root\": charge 1: magnitude must not be negative (the polarity is the sign), not -1.5 @ /charges/0/0",
          "zone \"root\": charge 1: polarity must be \"positive\", \"negative\" or \"neutral\", not \"postive\" @ /charges/0/1",
          "zone \"root\": charge 1: id must not be empty @ /charges/0/2"}},
        {"charge_shapes", R"({"zone": "r", "charges": [[1, "positive"], {"m": 1}, [true, 1, 5]]})",
         {"zone \"r\": charge 1: expected [magnitude, polarity, id] like [3, \"positive\", \"c1\"], got a list of 2 @ /charges/0",
          "zone \"r\": charge 2: expected [magnitude, polarity, id] like [3, \"positive\", \"c1\"], got an object @ /charges/1",
          "zone \"r\": charge 3: magnitude must be a number, not true/false @ /charges/2/0",
          "zone \"r\": charge 3: polarity must be \"positive\", \"negative\" or \"neutral\", not a number @ /charges/2/1",
          "zone \"r\": charge 3: id must be a non-empty string, not a number @ /charges/2/2"}},
        {"fields_kinds_and_ids",
         R"({"zone": "root", "titel": "x", "agents": [{"kind": "plux", "id": "p", "rule": "=="}, {"kind": "equals_gate", "id": "p"}]})",
         {"level: unknown field \"titel\" (did you mean \"title\"?) @ /titel",
          "zone \"root\": agent 1: unknown kind \"plux\" (did you mean \"plus\"?) @ /agents/0/kind",
          "zone \"root\": agent 1: rule must be \"<\", \">\", \"<=\" or \">=\", not \"==\" @ /agents/0/rule",
          "zone \"root\": agent 2: agent id \"p\" is used twice @ /agents/1/id",
          "zone \"root\": agent 2: missing field \"target\" @ /agents/1"}},
        {"gate_fields_on_other_kinds",
         R"({"zone": "r", "agents": [{"kind": "plus", "id": "a", "target": 3, "rule": "<", "refill": "yes"}, {"kind": "equals_gate", "id": "b", "target": 1e999}]})",
         {"zone \"r\": agent 1: field \"target\" is only for gates, not for a plus agent @ /agents/0/target",
          "zone \"r\": agent 1: field \"rule\" is only for inequality_gate, not for plus @ /agents/0/rule",
          "zone \"r\": agent 1: field \"refill\" must be true or false, not a string @ /agents/0/refill",
          "zone \"r\": agent 2: field \"target\" must be a finite number, at most 1.7976931348623157e+308 in size @ /agents/1/target"}},
        {"problems_in_every_zone",
         R"({"zone": "root", "charges": [[1, "positive", 5]], "zones": [{"zone": "a", "agents": ["plus"]}, {"zone": "a", "zones": [{"charges": null}]}, 7]})",
         {"zone \"root\": charge 1: id must be a non-empty string, not a number @ /charges/0/2",
          "zone \"a\": agent 1: expected an object like {\"kind\": \"plus\", \"id\": \"p1\"}, got a string @ /zones/0/agents/0",
          "zone \"root\": zone 2: zone id \"a\" is used twice @ /zones/1/zone",
          "zone \"root\": zone 2: zone 1: missing field \"zone\" @ /zones/1/zones/0",
          "zone \"root\": zone 2: zone 1: field \"charges\" must be a list, not null @ /zones/1/zones/0/charges",
          "zone \"root\": zone 3: expected an object like {\"zone\": \"inner\", ...}, got a number @ /zones/2"}},
        {"keys_twice_and_unknown",
         R"({"zone": "r", "zone": "s", "agents": [{"kind": "plus", "id": "p", "kind": "minus", "a/b~": 1}]})",
         {"level: field \"zone\" is given twice @ /zone",
          "zone \"s\": agent 1: field \"kind\" is given twice @ /agents/0/kind",
          "zone \"s\": agent 1: unknown field \"a/b~\" @ /agents/0/a~1b~0"}},
        {"lone_surrogates", R"({"zone": "\ud800", "title": "x\udfff", "agents": [{"kind": "\udc00", "id": "\ude00\ud83d"}]})",
         {"level: field \"title\" holds \"\\udfff\", a lone surrogate, which has no UTF-8 form @ /title",
          "level: field \"zone\" holds \"\\ud800\", a lone surrogate, which has no UTF-8 form @ /zone",
          "level: agent 1: unknown kind \"\\udc00\" @ /agents/0/kind",
          "level: agent 1: field \"id\" holds \"\\ude00\", a lone surrogate, which has no UTF-8 form @ /agents/0/id"}},
        {"long_texts_are_quoted_by_their_start",
         R"({"zone": "r", "zones": [{"zone": ")" + std::string(41, 'z') + R"(", "agents": [{"kind": ")" + std::string(40, 'k') +
             R"(", "id": "a"}, {"kind": "plus", "id": "a"}]}]})",
         {"zone \"" + std::string(40, 'z') + "\u2026\" (level: zone 1): agent 1: unknown kind \"" + std::string(40, 'k') +
              "\" @ /zones/0/agents/0/kind",
          "zone \"" + std::string(40, 'z') + "\u2026\" (level: zone 1): agent 2: agent id \"a\" is used twice @ /zones/0/agents/1/id"}},
        {"names_with_a_lone_surrogate_are_pointed_at_by_their_object",
         R"({"zone": "a", "\ud800": 1, "agents": [{"kind": "plus", "id": "p", "x\udfff": 2, "x\udfff": 3}]})",
         {"level: unknown field \"\\ud800\" (no JSON Pointer names a member whose name holds a lone surrogate: the "
          "pointer is the object's that holds it) @ ",
          "zone \"a\": agent 1: field \"x\\udfff\" is given twice (no JSON Pointer names a member whose name holds a "
          "lone surrogate: the pointer is the object's that holds it) @ /agents/0",
          "zone \"a\": agent 1: unknown field \"x\\udfff\" (no JSON Pointer names a member whose name holds a lone "
          "surrogate: the pointer is the object's that holds it) @ /agents/0"}},
        {"numbers_beyond_a_double",
         "{\"zone\": \"r\", \"charges\": [["
         "1797693134862315708145274237317043567980705675258449965989174768031572607800285387605895586327668781"
         "7154045895351438246423432132688946418276846754670353751698604991057655128207624549009038932894407586"
         "8508455133942304583236903222948165808559332123348274797826204144723168738177180919299881250404026184"
         "124858369"
         ", \"positive\", \"c\"], [1.7976931348623159e308, \"positive\", \"c\"]]}",
         {"zone \"r\": charge 1: magnitude must be a finite number, at most 1.7976931348623157e+308 in size @ /charges/0/0",
          "zone \"r\": charge 2: magnitude must be a finite number, at most 1.7976931348623157e+308 in size @ /charges/1/0"}},
    };
}

class BadLevelFiles : public testing::TestWithParam<BadFile> {};

TEST_P(BadLevelFiles, ListEveryProblemWithItsPlaceAndPointer) {
    EXPECT_EQ(problems_of(GetParam().text), GetParam().problems);
}

INSTANTIATE_TEST_SUITE_P(LevelFile, BadLevelFiles, testing::ValuesIn(bad_files()),
                         [](const testing::TestParamInfo<BadFile>& info) { return info.param.name; });

TEST(LevelFile, UnknownKindsSuggestTheKindMeant) {
    const std::pair<const char*, const char*> cases[] = {
        {"Plus Magician", "plus"}, {"add_plus_magician", "plus"}, {"+", "plus"}, {"sqrt", "root"},
        {"The Judge", "inequality_gate"}, {"\u00d7", "multiply"}, {"%", "modulo"}, {"Multiplier", "multiply"},
        {"factorail", "factorial"}, {"ADD-POWER-SORCERER", "power"}, {"qwertyuiop", nullptr},
    };
    for (const auto& [written, meant] : cases) {
        const std::string text = R"({"zone": "r", "agents": [{"kind": ")" + std::string(written) + R"(", "id": "a"}]})";
        const std::string hint = meant ? std::string(" (did you mean \"") + meant + "\"?)" : "";
        EXPECT_EQ(problems_of(text),
                  std::vector<std::string>{"zone \"r\": agent 1: unknown kind \"" + std::string(written) + "\"" + hint +
                                           " @ /agents/0/kind"})
            << written;
    }
}

TEST(LevelFile, NumbersAreReadAsADoubleHoldsThem) {
    const std::pair<const char*, double> cases[] = {
        {"1797693134862315708145274237317043567980705675258449965989174768031572607800285387605895586327668781"
         "7154045895351438246423432132688946418276846754670353751698604991057655128207624549009038932894407586"
         "8508455133942304583236903222948165808559332123348274797826204144723168738177180919299881250404026184"
         "124858368",
         std::numeric_limits<double>::max()},
        {"1.7976931348623158e308", std::numeric_limits<double>::max()},
        {"0.1", 0.1},
        {"4.9e-324", 4.9e-324},
        {"1e-400", 0.0},
        {"0.30000000000000004441", 0.30000000000000004},
        // Just above halfway between 1 and the next double, by a digit far beyond the 800th.
        {"1.00000000000000011102230246251565404236316680908203125*1", 1.0000000000000002},
    };
    for (const auto& [written, value] : cases) {
        std::string number = written;
        if (const std::size_t star = number.find('*'); star != std::string::npos) number.replace(star, 1, 1000, '0');
        const Level level = Level::read(R"({"zone": "r", "charges": [[)" + number + R"(, "neutral", "c"]]})");
        EXPECT_EQ(level.root.charges.at(0).magnitude, value) << written;
    }
    // Minus zero is an integer zero, but a double's minus zero with a fraction.
    EXPECT_FALSE(std::signbit(Level::read(R"({"zone": "r", "charges": [[-0, "neutral", "c"]]})").root.charges[0].magnitude));
    EXPECT_TRUE(std::signbit(Level::read(R"({"zone": "r", "charges": [[-0.0, "neutral", "c"]]})").root.charges[0].magnitude));
}

TEST(LevelFile, ZonesNestAtMostAHundredDeep) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += R"({"zone": "z)" + std::to_string(i) + R"(", "zones": [)";
        for (int i = 0; i < depth; ++i) text += "]}";
        return text;
    };
    EXPECT_EQ(problems_of(nested(100)), std::vector<std::string>{});
    std::string place = "zone \"z99\": zone 1", pointer;
    for (int i = 0; i < 100; ++i) pointer += "/zones/0";
    EXPECT_EQ(problems_of(nested(101)),
              std::vector<std::string>{place + ": zones are nested more than 100 deep @ " + pointer});
}

TEST(LevelFile, HostileInputGivesProblemsQuickly) {
    const std::string big(kMaxLevelFileBytes, '[');
    std::string wide = R"({"zone": "r", "charges": [)";
    for (std::size_t i = 0; i < 3000; ++i) wide += i ? ",0" : "0";
    wide += "]}";
    // Problems past the listed ones cost no "did you mean" hint.
    std::string many_unknown_fields = R"({"zone": "r")", many_unknown_kinds = R"({"zone": "r", "agents": [)";
    for (std::size_t i = 0; many_unknown_fields.size() < kMaxLevelFileBytes - 40; ++i) {
        many_unknown_fields += ",\"field" + std::to_string(i) + "\": 1";
        many_unknown_kinds += (i ? ",{\"kind\": \"plux\", \"id\": \"a" : "{\"kind\": \"plux\", \"id\": \"a") + std::to_string(i) + "\"}";
    }
    many_unknown_fields += "}";
    many_unknown_kinds.resize(kMaxLevelFileBytes - 40);
    many_unknown_kinds += "\"}]}";
    const std::string cases[] = {
        big,
        big + "x",
        std::string(kMaxLevelFileBytes / 2, '{'),
        R"({"zone": ")" + std::string(kMaxLevelFileBytes - 20, 'z') + R"("})",
        R"({"zone": "r", "charges": [[0.)" + std::string(kMaxLevelFileBytes - 50, '0') + R"(1, "positive", "c"]]})",
        R"({"zone": "r", "charges": [[1e)" + std::string(kMaxLevelFileBytes - 50, '9') + R"(, "positive", "c"]]})",
        std::string(kMaxLevelFileBytes, '\xFF'),
        R"({"zone": "r", "x": )" + std::string(900, '[') + std::string(900, ']') + "}",
        wide,
        many_unknown_fields,
        many_unknown_kinds,
    };
    for (const std::string& text : cases) {
        try {
            Level::read(text);
        } catch (const LevelError& error) {
            EXPECT_FALSE(error.problems().empty());
        }
    }
    // A file with very many problems lists the first ones and counts the rest.
    try {
        Level::read(wide);
        FAIL() << "read";
    } catch (const LevelError& error) {
        ASSERT_EQ(error.problems().size(), kMaxListedLevelProblems + 1);
        EXPECT_EQ(error.problems().back().text(), "2,000 more problems are not listed");
    }
}

// Every problem's text stays within a fixed size, and its pointer within that
// plus twice the longest name of the file: a 1 MB id with a thousand empty
// agents used to give a thousand problems of a megabyte each.
TEST(LevelFile, ProblemsStayShortWhateverTheFileHolds) {
    const std::string long_id(1 << 20, 'z');
    std::string empty_agents = R"({"zone": ")" + long_id + R"(", "agents": [{})";
    for (int i = 1; i < 1000; ++i) empty_agents += ",{}";
    empty_agents += "]}";
    std::string deep_long_ids = "{\"zone\": \"" + long_id.substr(0, 60000) + "\"";
    for (int depth = 1; depth < 100; ++depth) deep_long_ids += ", \"zones\": [{\"zone\": \"" + long_id.substr(0, 60000 + depth) + "\"";
    deep_long_ids += ", \"agents\": [{}, {}, {}], \"" + std::string(1 << 16, 'x') + "\": 1";
    for (int depth = 1; depth < 100; ++depth) deep_long_ids += "}]";
    deep_long_ids += "}";
    std::string long_kinds = R"({"zone": "r", "agents": [)";
    for (int i = 0; i < 1000; ++i) long_kinds += (i ? ",{\"kind\": \"" : "{\"kind\": \"") + std::string(3000, 'k') + "\", \"id\": \"x\"}";
    long_kinds += "]}";
    for (const std::string& text : {empty_agents, deep_long_ids, long_kinds}) {
        try {
            Level::read(text);
            FAIL() << "read";
        } catch (const LevelError& error) {
            EXPECT_GE(error.problems().size(), 3u);
            for (const LevelProblem& problem : error.problems()) {
                EXPECT_LE(problem.text().size(), kMaxLevelProblemBytes);
                EXPECT_LE(problem.pointer.size(), kMaxLevelProblemBytes + 2 * (1 << 16));
            }
        }
    }
}

TEST(LevelFile, TextIsCanonicalAndStable) {
    const std::string canonical =
        "{\n"
        "  \"title\": \"T\\n\\\"q\\\" \u00e9\",\n"
        "  \"zone\": \"r\",\n"
        "  \"charges\": [\n"
        "    [0.1, \"positive\", \"a\"],\n"
        "    [1e+21, \"negative\", \"b\"],\n"
        "    [-0.0, \"neutral\", \"c\"],\n"
        "    [1.5e-7, \"neutral\", \"d\"],\n"
        "    [123456789012345680000, \"neutral\", \"e\"]\n"
        "  ],\n"
        "  \"agents\": [\n"
        "    {\"kind\": \"inequality_gate\", \"id\": \"j\", \"target\": -2.5, \"rule\": \">=\", \"refill\": true}\n"
        "  ],\n"
        "  \"zones\": [\n"
        "    {\n"
        "      \"zone\": \"s\",\n"
        "      \"zones\": [\n"
        "        {\n"
        "          \"zone\": \"t\"\n"
        "        },\n"
        "        {\n"
        "          \"zone\": \"u\",\n"
        "          \"agents\": [\n"
        "            {\"kind\": \"plus\", \"id\": \"p\"}\n"
        "          ]\n"
        "        }\n"
        "      ]\n"
        "    }\n"
        "  ]\n"
        "}\n";
    EXPECT_EQ(Level::read(canonical).to_text(), canonical);
    const Level level = Level::read(R"({"zones": [{"zone": "s"}], "agents": [{"refill": false, "id": "x", "kind": "log"}], "zone": "r"})");
    EXPECT_EQ(level.to_text(), "{\n  \"zone\": \"r\",\n  \"agents\": [\n    {\"kind\": \"log\", \"id\": \"x\"}\n  ],\n"
                               "  \"zones\": [\n    {\n      \"zone\": \"s\"\n    }\n  ]\n}\n");
}

TEST(LevelFile, AByteOrderMarkIsReadPastAndNotWrittenBack) {
    EXPECT_EQ(Level::read("\xEF\xBB\xBF{\"zone\": \"r\"}").to_text(), "{\n  \"zone\": \"r\"\n}\n");
}

TEST(LevelFile, SampleLevelsReadBackFromTheirText) {
    for (const auto& entry : fs::directory_iterator(kRepo / "examples" / "levels")) {
        const std::string text = Level::read(read_file(entry.path())).to_text();
        EXPECT_EQ(Level::read(text).to_text(), text) << entry.path();
    }
    const std::string tutorial = read_file(kRepo / "examples" / "levels" / "tutorial.json");
    EXPECT_EQ(Level::read(tutorial).to_text(), tutorial);
}

// A reading reuses the storage of the one before it on the thread: each
// gives its own level, whatever was read (or refused) before.
TEST(LevelFile, ReadingsInTurnKeepNothingOfEachOther) {
    std::string large = R"({"zone": "big", "agents": [)";
    for (int n = 0; n < 300; ++n) large += (n ? "," : "") + std::string(R"({"kind": "plus", "id": "agent_with_a_long_id_)") + std::to_string(n) + "\"}";
    large += "]}";
    const std::string small = R"({"zone": "s", "agents": [{"kind": "log", "id": "x"}]})";
    const std::string small_text = Level::read(small).to_text();
    const std::string large_text = Level::read(large).to_text();
    EXPECT_THROW(Level::read(R"({"zone": "s", "agents": [{"kind": "log", "id": "x"}, {"kind": "log", "id": "x"}]})"), LevelError);
    EXPECT_EQ(Level::read(small).to_text(), small_text);
    EXPECT_EQ(Level::read(large).to_text(), large_text);
    EXPECT_EQ(Level::read(large).root.agents.size(), 300u);
    EXPECT_EQ(Level::read(small).to_text(), small_text);
}

TEST(LevelFile, BuildListsTheRefillAgentsWithTheirZones) {
    const BuiltLevel built = Level::read(R"({"zone": "r", "agents": [{"kind": "plus", "id": "a", "refill": true}],
        "zones": [{"zone": "s", "agents": [{"kind": "inequality_gate", "id": "b", "target": 2, "rule": ">", "refill": true},
                                            {"kind": "minus", "id": "c"}]}]})").build();
    ASSERT_EQ(built.refills.size(), 2u);
    EXPECT_EQ(built.refills[0].zone, built.root);
    EXPECT_EQ(built.refills[1].zone, built.root->sub_environments.at(0));
    EXPECT_EQ(built.refills[1].make()->to_json(), built.root->sub_environments[0]->agents.at(0)->to_json());
}

TEST(LevelFile, DeepLevelsMadeByHandAreWrittenAndReleasedWithoutRecursion) {
    auto chain = [](int depth) {
        Level level;
        level.root.id = "z";
        ZoneSpec* zone = &level.root;
        for (int i = 0; i < depth; ++i) zone = &zone->zones.emplace_back("z" + std::to_string(i));
        return level;
    };
    chain(300000);  // released
    const std::string text = chain(2000).to_text();
    EXPECT_EQ(text.substr(text.size() - 12), "    }\n  ]\n}\n");
}

// Plays a built level to its end; with `one_more`, also the answer after it.
std::vector<std::string> frames_of(const Level& level, bool one_more) {
    NarrativeSequencer sequencer(level.build().root);
    std::vector<std::string> frames;
    while (!sequencer.is_finished) frames.push_back(sequencer.next_frame_text());
    if (one_more) frames.push_back(sequencer.next_frame_text());
    return frames;
}

std::vector<std::string> golden_frames(const std::string& name) {
    std::ifstream file(kRepo / "tests" / "golden" / "frames" / (name + ".jsonl"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// The golden levels' descriptions hold NaN and Infinity, which are not JSON:
// they become null (and such a level no level file can hold).
nlohmann::json golden_levels() {
    std::string text = read_file(kRepo / "tests" / "golden" / "levels.json");
    std::string json;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (in_string) {
            json += text[i];
            if (text[i] == '\\') json += text[++i];
            else if (text[i] == '"') in_string = false;
            continue;
        }
        if (text[i] == '"') in_string = true;
        for (const char* constant : {"-Infinity", "Infinity", "NaN"}) {
            const std::string_view word(constant);
            if (text.compare(i, word.size(), word) == 0) {
                json += "null";
                i += word.size() - 1;
                goto next;
            }
        }
        json += text[i];
    next:;
    }
    return nlohmann::json::parse(json);
}

nlohmann::json as_level_file(const nlohmann::json& zone) {
    nlohmann::json file = {{"zone", zone["id"]}, {"charges", zone["charges"]}, {"agents", nlohmann::json::array()},
                           {"zones", nlohmann::json::array()}};
    for (const auto& agent : zone["agents"]) {
        nlohmann::json spec = {{"kind", agent[0]}, {"id", agent[1]}};
        if (agent.size() > 2) spec["target"] = agent[2];
        if (agent.size() > 3) spec["rule"] = agent[3];
        file["agents"].push_back(spec);
    }
    for (const auto& sub : zone["zones"]) file["zones"].push_back(as_level_file(sub));
    return file;
}

TEST(LevelFile, BuiltLevelsPlayTheGoldenFrames) {
    std::size_t played = 0;
    for (const auto& golden : golden_levels()) {
        if (golden.contains("start_frame")) continue;
        std::optional<Level> level;
        try {
            level = Level::read(as_level_file(golden["root"]).dump());
        } catch (const LevelError&) {
            continue;  // beyond what a level file holds: NaN, odd polarities...
        }
        const std::string name = golden["name"];
        EXPECT_EQ(frames_of(Level::read(level->to_text()), true), golden_frames(name)) << name;
        ++played;
    }
    EXPECT_GE(played, 19u);
    for (const auto& entry : fs::directory_iterator(kRepo / "examples" / "levels")) {
        const Level level = Level::read(read_file(entry.path()));
        if (!level.build().refills.empty()) continue;
        EXPECT_EQ(frames_of(level, false), golden_frames("sample_" + entry.path().stem().string())) << entry.path();
        ++played;
    }
    EXPECT_GE(played, 23u);
}

}  // namespace
}  // namespace qor

namespace qor {
namespace {

TEST(LevelFile, TextsThatLookLikeFileNames) {
    for (const char* name : {"levels/tutorial.json", "tutorial.JSON ", "C:\\levels\\x", "a/b"}) {
        EXPECT_TRUE(looks_like_file_name(name)) << name;
    }
    for (const char* text : {"", "tutorial", "{\"zone\": \"a/b.json\"}", "[1]", "\"a/b\"", "a/b\nc", " "}) {
        EXPECT_FALSE(looks_like_file_name(text)) << text;
    }
    EXPECT_FALSE(looks_like_file_name(std::string(5000, 'a') + ".json"));
    EXPECT_FALSE(looks_like_file_name("\xff/x.json"));  // not UTF-8: no name to quote
}

// An agent of no kind a level file holds.
class StrangeAgent : public MagicianAgent {
public:
    StrangeAgent() : MagicianAgent("Strange", 1, "odd") {}
    bool CastSpell(std::vector<Charge>&) override { return false; }
};

TEST(LevelFile, ALevelOfATreeHoldsEveryZoneChargeAndAgent) {
    auto root = std::make_shared<Environment>("hall");
    auto forge = std::make_shared<Environment>("forge");
    forge->add_charge(Charge(4, ChargePolarity::NEGATIVE, "ember"));
    forge->add_magician(make_agent(read_agent("inequality_gate", "judge", 2.5, ">=")));
    root->add_environment(forge);
    root->add_magician(make_agent(read_agent("plus", "adder", std::nullopt, std::nullopt)));
    const Level level = Level::of_zone(*root, "Forge", std::nullopt);
    EXPECT_EQ(Level::read(level.to_text()).to_text(), level.to_text());
    EXPECT_EQ(level.build().root->to_json(), root->to_json());
    forge->add_magician(std::make_shared<StrangeAgent>());
    EXPECT_THROW(Level::of_zone(*root), std::invalid_argument);
}

TEST(LevelFile, AnAgentReadAloneGivesTheFilesProblemsWithoutAPlace) {
    try {
        read_agent("plux", "", 1, "<");
        FAIL() << "no LevelError";
    } catch (const LevelError& error) {
        std::vector<std::string> texts;
        for (const LevelProblem& problem : error.problems()) texts.push_back(problem.text() + " @" + problem.pointer);
        EXPECT_EQ(texts, (std::vector<std::string>{"unknown kind \"plux\" (did you mean \"plus\"?) @/kind",
                                                   "field \"id\" must not be empty @/id"}));
    }
}

}  // namespace
}  // namespace qor
