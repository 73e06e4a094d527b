// libFuzzer harness over loading saves. Each input is given to load_level
// and load_zone twice: as it is, and "repaired" (its content length and
// checksum made right, so that mutations reach the content's parser). It
// checks what loading promises:
//   * a save that cannot be loaded is refused with SaveFormatError, and
//     nothing else escapes (no crash, no sanitizer report, no other error);
//   * a save that loads saves again to exactly the same bytes;
//   * a loaded level is within the engine's work bound and plays a few
//     frames (each refused only for a tree too deep to walk or a text that
//     is not UTF-8), and saving it after each frame and loading that gives
//     the same bytes again.
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
// Levels whose walk does more work than this play one frame only, to keep
// each input quick.
constexpr std::uint64_t kMaxWorkPlayedLong = 20000;

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

void play_a_few_frames(NarrativeSequencer& level) {
    std::uint64_t work = 0;
    try {
        work = qor::tree_work(*level.root_environment);
    } catch (const qor::TreeTooDeepError&) {
        return;
    } catch (const qor::TreeTooLargeError&) {
        fail("a loaded level is beyond the work bound");
    }
    const int frames = work > kMaxWorkPlayedLong ? 1 : kFramesPlayed;
    for (int frame = 0; frame < frames; ++frame) {
        try {
            level.next_frame_text();
        } catch (const qor::TreeTooDeepError&) {
            return;
        } catch (const qor::TreeTooLargeError&) {
            return;  // a spell's longer visual ids took the level past the bound
        } catch (const nlohmann::json::type_error&) {
            // A text that is not UTF-8: the frame ran, only its text failed.
        }
        std::string saved;
        try {
            saved = qor::save_level(level);
        } catch (const qor::TreeTooLargeError&) {
            return;
        }
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
