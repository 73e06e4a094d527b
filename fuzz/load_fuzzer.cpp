// libFuzzer harness over loading saves. Each input is given to load_level
// and load_zone twice: as it is, and "repaired" (its content length and
// checksum made right, so that mutations reach the content's parser). It
// checks what loading promises:
//   * a save that cannot be loaded is refused with SaveFormatError, and
//     nothing else escapes (no crash, no sanitizer report, no other error);
//   * a save that loads saves again to exactly the same bytes;
//   * a loaded level plays a few frames (each refused only for a tree too deep
//     to walk or a text that is not UTF-8), and saving it after each frame
//     and loading that gives the same bytes again.
// A broken promise aborts (libFuzzer then saves the input).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/environment.h"
#include "model/zone_walk.h"
#include "saving/level_save.h"
#include "sequencer/narrative_sequencer.h"

namespace {

using qor::Environment;
using qor::NarrativeSequencer;
using qor::SaveFormatError;

constexpr std::size_t kHeaderSize = 20;
constexpr std::size_t kTrailerSize = 4;
constexpr int kFramesPlayed = 8;
// Levels with more places than this (shared zones counted at every place)
// are saved and loaded but not played: a lattice of shared zones has
// exponentially many places for every walk of a frame.
constexpr std::uint64_t kMaxPlacesPlayed = 20000;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "load_fuzzer: broken promise: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

const std::uint8_t* bytes_of(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The input with its content length and checksum set to fit its size.
std::string repaired(const std::uint8_t* data, std::size_t size) {
    std::string save(reinterpret_cast<const char*>(data), size);
    if (size < kHeaderSize + kTrailerSize) return save;
    const std::uint64_t content = size - kHeaderSize - kTrailerSize;
    for (int i = 0; i < 8; ++i) save[12 + i] = static_cast<char>(content >> (8 * i));
    const std::uint32_t crc = qor::crc32(bytes_of(save), size - kTrailerSize);
    for (int i = 0; i < 4; ++i) save[size - kTrailerSize + i] = static_cast<char>(crc >> (8 * i));
    return save;
}

// How many places the zones under `root` take (a zone counted once per
// place), counted up to kMaxPlacesPlayed + 1 with an explicit stack.
std::uint64_t places(const Environment& root) {
    std::uint64_t count = 0;
    std::vector<const Environment*> pending{&root};
    while (!pending.empty() && count <= kMaxPlacesPlayed) {
        const Environment* zone = pending.back();
        pending.pop_back();
        ++count;
        for (const auto& sub_zone : zone->sub_environments) {
            if (sub_zone) pending.push_back(sub_zone.get());
        }
    }
    return count;
}

void play_a_few_frames(NarrativeSequencer& level) {
    if (places(*level.root_environment) > kMaxPlacesPlayed) return;
    for (int frame = 0; frame < kFramesPlayed; ++frame) {
        try {
            level.next_frame_text();
        } catch (const qor::TreeTooDeepError&) {
            return;
        } catch (const nlohmann::json::type_error&) {
            // A text that is not UTF-8: the frame ran, only its text failed.
        }
        const std::string saved = qor::save_level(level);
        auto again = qor::load_level(bytes_of(saved), saved.size());
        check(qor::save_level(*again) == saved, "a played level's save does not load back to itself");
    }
}

void try_level(const std::string& save) {
    std::unique_ptr<NarrativeSequencer> level;
    try {
        level = qor::load_level(bytes_of(save), save.size());
    } catch (const SaveFormatError&) {
        return;
    }
    check(qor::save_level(*level) == save, "a loaded level does not save to the same bytes");
    play_a_few_frames(*level);
}

void try_zone(const std::string& save) {
    std::shared_ptr<Environment> zone;
    try {
        zone = qor::load_zone(bytes_of(save), save.size());
    } catch (const SaveFormatError&) {
        return;
    }
    check(qor::save_zone(*zone) == save, "a loaded zone does not save to the same bytes");
    NarrativeSequencer level(zone);
    play_a_few_frames(level);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::string as_given(reinterpret_cast<const char*>(data), size);
        const std::string fixed = repaired(data, size);
        for (const std::string* save : {&as_given, &fixed}) {
            try_level(*save);
            try_zone(*save);
        }
    } catch (const std::bad_alloc&) {
        fail("ran out of memory");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "load_fuzzer: unexpected exception: %s\n", error.what());
        fail("an exception other than SaveFormatError escaped");
    }
    return 0;
}
