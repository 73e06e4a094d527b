// The compact JSON writer must give exactly the library's own dump().
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "model/json_text.h"

namespace qor {
namespace {

using Json = nlohmann::json;

Json random_value(std::mt19937_64& random, int depth) {
    std::uniform_int_distribution<int> kind(0, depth > 4 ? 7 : 9);
    switch (kind(random)) {
        case 0: return nullptr;
        case 1: return random() % 2 == 0;
        case 2: return static_cast<std::int64_t>(random());
        case 3: return static_cast<std::uint64_t>(random());
        case 4: {
            const double specials[] = {0.0, -0.0, 0.1, 1e-320, 1e300, 3.0, -2.5,
                                       std::numeric_limits<double>::infinity(), std::nan("")};
            return specials[random() % 9];
        }
        case 5: return std::ldexp(static_cast<double>(random()), static_cast<int>(random() % 200) - 100);
        case 6: case 7: {
            const std::string pieces[] = {"a", "é", "\"", "\\", "\n", "\x01", "日本", " ", "\x7f"};
            std::string text;
            for (int i = static_cast<int>(random() % 5); i > 0; --i) text += pieces[random() % 9];
            return text;
        }
        case 8: {
            Json array = Json::array();
            for (int i = static_cast<int>(random() % 4); i > 0; --i) array.push_back(random_value(random, depth + 1));
            return array;
        }
        default: {
            Json object = Json::object();
            const std::string keys[] = {"id", "b", "a", "é", "k\"", "\t", ""};
            for (int i = static_cast<int>(random() % 4); i > 0; --i) {
                object[keys[random() % 7]] = random_value(random, depth + 1);
            }
            return object;
        }
    }
}

TEST(JsonText, MatchesTheLibraryDumpOnRandomDocuments) {
    std::mt19937_64 random(20261207);
    for (int i = 0; i < 5000; ++i) {
        const Json value = random_value(random, 0);
        ASSERT_EQ(to_json_text(value), value.dump()) << i;
    }
}

TEST(JsonText, FailsOnInvalidUtf8LikeTheLibrary) {
    for (const std::string bad : {"\xff", "ok\xc3", "\xed\xa0\x80"}) {
        const Json as_value = Json::array({1, Json{{"k", bad}}});
        const Json as_key = Json{{bad, 1}};
        for (const Json& value : {as_value, as_key}) {
            std::string expected;
            try {
                value.dump();
            } catch (const Json::type_error& error) {
                expected = error.what();
            }
            try {
                to_json_text(value);
                ADD_FAILURE() << "invalid UTF-8 must fail";
            } catch (const Json::type_error& error) {
                EXPECT_EQ(error.what(), expected);
            }
        }
    }
}

TEST(JsonText, EscapesEveryControlByteAsTheJsonRulesSay) {
    // The short escapes where JSON has one, else \u00XX in lowercase hex;
    // the quotation mark and the backslash escaped, DEL and space kept.
    std::vector<std::pair<std::string, std::string>> cases;
    const char* const hex = "0123456789abcdef";
    for (int byte = 0x00; byte <= 0x1F; ++byte) {
        std::string escaped = std::string("\\u00") + hex[byte >> 4] + hex[byte & 0xF];
        if (byte == '\b') escaped = "\\b";
        if (byte == '\t') escaped = "\\t";
        if (byte == '\n') escaped = "\\n";
        if (byte == '\f') escaped = "\\f";
        if (byte == '\r') escaped = "\\r";
        cases.emplace_back(std::string(1, static_cast<char>(byte)), escaped);
    }
    cases.emplace_back("\"", "\\\"");
    cases.emplace_back("\\", "\\\\");
    cases.emplace_back("\x7f", "\x7f");
    cases.emplace_back(" ", " ");
    for (const auto& [raw, escaped] : cases) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(raw[0])));
        const std::string text = "a" + raw + "b";
        const std::string expected = "\"a" + escaped + "b\"";
        EXPECT_EQ(to_json_text(Json(text)), expected);
        EXPECT_EQ(Json(text).dump(), expected);
        EXPECT_EQ(to_json_text(Json{{text, 1}}), "{" + expected + ":1}");
    }
}

// The work bound counts texts by what the writer writes for them: every
// ASCII byte (and UTF-8 beyond), at every place in an eight-byte word and in
// the tail after the last whole word.
TEST(JsonText, EscapedSizeIsWhatTheWriterWritesBetweenTheQuotes) {
    std::vector<std::string> bytes;
    for (int byte = 0x00; byte <= 0x7F; ++byte) bytes.emplace_back(1, static_cast<char>(byte));
    bytes.emplace_back("\xc3\xa9");  // é
    for (const std::string& special : bytes) {
        for (std::size_t at = 0; at <= 19; ++at) {
            std::string text(19, 'x');
            text.replace(at, 1, special);
            const std::size_t written = to_json_text(Json(text)).size() - 2;
            ASSERT_EQ(escaped_size(text), written) << "byte " << int(static_cast<unsigned char>(special[0])) << " at " << at;
        }
    }
    EXPECT_EQ(escaped_size(std::string(1000, '\x01')), 6000u);
    EXPECT_EQ(escaped_size(""), 0u);
}

TEST(JsonText, MatchesTheLibraryDumpAcrossTheWritersBufferSize) {
    // Strings about as long as the writer's buffer, or longer, at every
    // filling of the buffer: plain ones, and ones that need escaping.
    std::mt19937_64 random(41);
    for (const std::size_t length : {2040u, 2045u, 2046u, 2047u, 2048u, 2049u, 4097u, 10000u}) {
        for (const char* special : {"", "\n", "é"}) {
            std::string text(length, 'x');
            if (*special != '\0') text.replace(length / 2, 1, special);
            Json values = Json::array();
            for (int i = 0; i < 40; ++i) {
                values.push_back(std::string(random() % 300, 'a'));
                values.push_back(text);
                values.push_back(std::ldexp(static_cast<double>(random()), -30));
                values.push_back(static_cast<std::int64_t>(random()));
            }
            ASSERT_EQ(to_json_text(values), values.dump()) << length << special;
            const Json object = {{text, text}};
            ASSERT_EQ(to_json_text(object), object.dump()) << length << special;
        }
    }
}

TEST(JsonText, WritesWholeNumbersAndIntegersAsTheLibraryDoes) {
    std::vector<double> floats = {0.0, -0.0, 999999999999999.0, 999999999999999.9, 1e15, -1e15, 1e16, 0.5};
    for (int i = -100000; i <= 100000; ++i) floats.push_back(i);
    for (int e = 0; e < 64; ++e) {
        for (const double near : {-1.0, 0.0, 1.0}) {
            floats.push_back(std::ldexp(1.0, e) + near);
            floats.push_back(-std::pow(10.0, e % 20) + near);
        }
    }
    std::mt19937_64 random(1015);
    for (int i = 0; i < 200000; ++i) {
        floats.push_back(std::trunc(std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 54))));
        floats.push_back(static_cast<double>(random() % 1000000000000000u));
    }
    for (const double number : floats) ASSERT_EQ(to_json_text(Json(number)), Json(number).dump()) << number;

    const std::int64_t integers[] = {0, -1, 9, 10, -10, 99, 100, std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max()};
    for (const std::int64_t number : integers) ASSERT_EQ(to_json_text(Json(number)), Json(number).dump());
    for (const std::uint64_t number : {std::uint64_t{0}, std::uint64_t{10}, std::numeric_limits<std::uint64_t>::max()}) {
        ASSERT_EQ(to_json_text(Json(number)), Json(number).dump());
    }
}

TEST(JsonText, CountsTheBytesNotYetInTheString) {
    std::string text = "before";
    JsonTextWriter out(text);
    std::size_t expected = text.size();
    for (int i = 0; i < 3000; ++i) {
        const std::string piece(static_cast<std::size_t>(i % 7), 'p');
        out.string(piece);
        out.raw(',');
        out.number(i * 0.5);
        out.integer(-i);
        out.raw("[]");
        expected += piece.size() + 3 + Json(i * 0.5).dump().size() + std::to_string(-i).size() + 2;
        ASSERT_EQ(out.size(), expected) << i;
    }
    out.flush();
    EXPECT_EQ(text.size(), expected);
    EXPECT_EQ(text.substr(0, 15), "before\"\",0.00[]");
}

TEST(JsonText, WritesVeryDeepNestingWithoutRecursion) {
    Json value = Json::array();
    for (int i = 0; i < 1000000; ++i) value = Json::array({std::move(value)});
    const std::string text = to_json_text(value);
    EXPECT_EQ(text.size(), 2u * 1000001u);
    EXPECT_EQ(text.substr(0, 3), "[[[");
}

}  // namespace
}  // namespace qor
