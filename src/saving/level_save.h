#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "level_file/level_play.h"
#include "model/environment.h"
#include "sequencer/narrative_sequencer.h"

namespace qor {

// Saves of a zone tree or of a level in play, in the binary format described
// in docs/save_format.md. A save holds data only: loading builds zones,
// charges and agents of the engine's own kinds and runs nothing else.
//
// Every save is exact (each double by its bits, each string by its bytes, a
// zone or agent standing in two places stays one object) and deterministic:
// equal states give equal bytes, and loading a save and saving the result
// gives the same bytes. Saving and loading walk without recursion; loading
// checks every count against the bytes left before it allocates.

// The format version this engine writes; it reads this one and older ones.
inline constexpr std::uint16_t kSaveFormatVersion = 1;

// A save that cannot be loaded: cut short, damaged, from a newer format
// version, of the other kind, or inconsistent. The message says which.
class SaveFormatError : public std::invalid_argument {
public:
    explicit SaveFormatError(const std::string& what);
};

// The zone with everything under it. Throws std::invalid_argument for an
// agent of a kind the engine does not know, for a cycle of zones, or for a
// list or string too long for the format (2^32 - 1 entries or bytes), and
// TreeTooLargeError for a tree beyond kMaxTreeWork. Empty (null) agent and
// sub-zone slots mean nothing and are left out.
std::string save_zone(const Environment& root);

// The level: its tree, frame counter, frame limit, finished flag and last
// event. Throws as save_zone, and for a sequencer without a root zone. A
// LevelPlay is saved as save_level_play saves it.
std::string save_level(const NarrativeSequencer& level);

// A LevelPlay: the level as save_level saves it, then its refills (each with
// its zone's number in the saved tree, so that a zone standing in two places
// stays one). A refill whose zone is no longer in the tree can never act
// again and is left out.
std::string save_level_play(const LevelPlay& level);

// Rebuild what save_zone / save_level wrote. Throw SaveFormatError for any
// save they cannot have written, and for a level no host could build (an
// agent not dormant, an open gate standing in a zone, a frame limit below 1),
// checking the whole save before anything is made; nothing outside the new
// objects is touched.
std::shared_ptr<Environment> load_zone(const std::uint8_t* data, std::size_t size);
// load_level also loads a LevelPlay's save, as a LevelPlay.
std::unique_ptr<NarrativeSequencer> load_level(const std::uint8_t* data, std::size_t size);
// Only a LevelPlay's save; a refill naming a zone beyond the tree, or of an
// unknown kind, is refused like the rest.
std::unique_ptr<LevelPlay> load_level_play(const std::uint8_t* data, std::size_t size);

// CRC-32 (the IEEE 802.3 polynomial, as zlib computes it).
std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

}  // namespace qor
