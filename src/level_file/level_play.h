#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "level_file/refill_agent.h"
#include "model/environment.h"
#include "model/magician_agent.h"
#include "sequencer/narrative_sequencer.h"

namespace qor {

// Plays a level built from a level file: a sequencer that also places every
// "refill" agent again after each frame in which it acted, as a new agent of
// the same kind, id and gate parameters at the end of its zone's agents. The
// frame's answer does not show the new agent; the tree after the call does,
// and so does the next frame. Every way of running a frame does this, all or
// nothing.
class LevelPlay : public NarrativeSequencer {
public:
    // Throws std::invalid_argument for a missing root, a frame limit below 1
    // or a refill without a zone.
    LevelPlay(std::shared_ptr<Environment> root, std::vector<RefillAgent> refills,
              std::int32_t max_frames = kDefaultMaxFrames);

    const std::vector<RefillAgent>& refills() const { return refills_; }

    // Replaces the refills (between frames); throws std::invalid_argument for
    // a refill without a zone, changing nothing.
    void set_refills(std::vector<RefillAgent> refills);

    // An agent is a refill one when a refill names its zone, its visual id
    // and its kind.
    bool is_refill(const Environment& zone, const MagicianAgent& agent) const override;

protected:
    bool prepare_after_cast(Environment& zone, const MagicianAgent& agent) override;
    void apply_after_cast() noexcept override;
    void drop_after_cast() noexcept override;

private:
    static void check_refills(const std::vector<RefillAgent>& refills);
    // The first refill that names the agent standing in the zone, or null.
    const RefillAgent* refill_of(const Environment& zone, const MagicianAgent& agent) const;

    std::vector<RefillAgent> refills_;
    // The agent made for the pending frame, and the zone it goes to (room
    // for it already reserved in the zone's agent list).
    std::shared_ptr<Environment> refill_zone_;
    std::shared_ptr<MagicianAgent> refill_agent_;
};

}  // namespace qor
