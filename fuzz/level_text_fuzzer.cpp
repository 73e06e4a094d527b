// libFuzzer harness over reading level files. Each input is a level file's
// bytes, given to Level::read. It checks what reading promises:
//   * a file that cannot be used is refused with LevelError, which lists at
//     least one problem and at most 1,000 and a count of the rest, each with
//     a pointer that is "" or starts with "/", each text within a fixed size
//     and each pointer within that plus twice the file's size, and nothing
//     else escapes (no crash, no sanitizer report, no other error);
//   * a level that reads writes a text that reads back to the same text;
//   * the level builds, with one refill entry per "refill" agent, and plays a
//     few frames.
// A broken promise aborts (libFuzzer then saves the input).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "level_file/level_file.h"
#include "sequencer/narrative_sequencer.h"

namespace {

constexpr int kFramesPlayed = 4;

[[noreturn]] void broken(const char* promise) {
    std::fprintf(stderr, "level_text_fuzzer: broken promise: %s\n", promise);
    std::abort();
}

std::size_t refill_agents(const qor::ZoneSpec& root) {
    std::size_t count = 0;
    std::vector<const qor::ZoneSpec*> pending{&root};
    while (!pending.empty()) {
        const qor::ZoneSpec* zone = pending.back();
        pending.pop_back();
        for (const qor::AgentSpec& agent : zone->agents) count += agent.refill ? 1 : 0;
        for (const qor::ZoneSpec& sub : zone->zones) pending.push_back(&sub);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    qor::Level level;
    try {
        level = qor::Level::read(text);
    } catch (const qor::LevelError& error) {
        if (error.problems().empty()) broken("a LevelError lists a problem");
        for (const qor::LevelProblem& problem : error.problems()) {
            if (!problem.pointer.empty() && problem.pointer[0] != '/') broken("pointers are JSON Pointers");
            if (problem.text().size() > qor::kMaxLevelProblemBytes) broken("a problem's text is short");
            if (problem.pointer.size() > qor::kMaxLevelProblemBytes + 2 * size) broken("a pointer is short");
        }
        if (error.problems().size() > qor::kMaxListedLevelProblems + 1) broken("at most 1,000 problems are listed");
        return 0;
    }
    const std::string written = level.to_text();
    try {
        if (qor::Level::read(written).to_text() != written) broken("a level's text reads back as itself");
    } catch (const qor::LevelError&) {
        broken("a level's text reads");
    }
    const qor::BuiltLevel built = level.build();
    if (built.refills.size() != refill_agents(level.root)) broken("every refill agent is listed");
    qor::NarrativeSequencer sequencer(built.root);
    for (int frame = 0; frame < kFramesPlayed && !sequencer.is_finished; ++frame) sequencer.next_frame_text();
    return 0;
}
