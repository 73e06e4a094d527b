#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/environment.h"
#include "model/magician_agent.h"
#include "model/zone_text.h"
#include "model/zone_text_layout.h"
#include "sequencer/frame_event.h"

namespace qor {

// An agent offered the charges this frame, with the zone it was found in, its
// priority and state when it was collected and its place in the collection
// order. The entry borrows the agent from its zone: nothing changes the zones
// while the agents are tried, and the one that acts is held by the frame from
// the moment it leaves its zone.
struct CollectedAgent {
    std::int32_t priority;
    std::size_t order;
    MagicianAgent* agent;
    Environment* zone;
    AgentState state_before = AgentState::DORMANT;
};

// What the next running frame does: its event, and the agent that acts (in
// its zone) or the zone that merges. Borrowed pointers, valid while the tree
// is unchanged.
struct ForeseenFrame {
    std::optional<FrameEvent> event;
    const MagicianAgent* actor = nullptr;
    const Environment* actor_zone = nullptr;
    const Environment* merging_zone = nullptr;
};

// Whether a patch may trust tree_edit_count(): with COUNTED, every change to
// the tree since the last kept frame made other than by the sequencer's own
// frames was counted there (the modules count theirs), so the patch writes
// only what the frame changed when nothing else did. With ANY, the frame's
// whole text is written and compared, whatever changed the tree.
enum class TreeEdits { ANY, COUNTED };

// Drives one level, one frame per NextFrame() call. In each running frame
// exactly one thing happens: the highest-priority agent whose spell takes
// effect acts and leaves, or one resolved zone collapses into its parent, or
// the level ends.
//
// Every call is all or nothing: a frame is worked out first, then applied
// with steps that cannot fail, and stays undoable until its answer exists.
// If anything throws on the way (memory running out, text that is not
// UTF-8), the level is left exactly as it was before the call.
class NarrativeSequencer {
public:
    // The frame limit of a sequencer made without one.
    static constexpr std::int32_t kDefaultMaxFrames = 1000;

    std::int32_t current_frame = 0;
    std::int32_t max_frames = kDefaultMaxFrames;
    bool is_finished = false;
    std::optional<FrameEvent> last_event;
    std::shared_ptr<Environment> root_environment;

    // A frame applied to the level but not yet committed: dropping it without
    // commit() undoes the frame exactly. One at a time per sequencer.
    class PendingFrame {
    public:
        PendingFrame(PendingFrame&& other) noexcept;
        PendingFrame(const PendingFrame&) = delete;
        PendingFrame& operator=(const PendingFrame&) = delete;
        PendingFrame& operator=(PendingFrame&&) = delete;
        ~PendingFrame();

        // The frame's status and message, as in its response.
        const char* status() const;
        std::string message() const;
        // The frame response's compact text.
        std::string text() const;
        // The same text, kept by the sequencer once the frame is committed:
        // the next patch_text() starts from it. Valid until the next call on
        // this frame or its commit.
        const std::string& keep_text();
        // An RFC 6902 JSON Patch (compact text) that turns the last frame
        // the sequencer kept into this one; when it keeps none (a new
        // sequencer, or the last frame was answered without keeping its
        // text), one operation that replaces the whole document. This
        // frame's text is kept once the frame is committed. With
        // TreeEdits::COUNTED and nothing changed since the last frame kept
        // but this frame, its text is the last one's with what the frame
        // changed written anew, and the patch costs about what changed.
        std::string patch_text(TreeEdits edits = TreeEdits::ANY);
        // Keeps the frame. Neither allocates nor throws.
        void commit() noexcept;

    private:
        friend class NarrativeSequencer;
        explicit PendingFrame(NarrativeSequencer& sequencer) noexcept;
        std::string_view message_view() const;
        NarrativeSequencer* sequencer_;
    };

    // Throws std::invalid_argument for a missing root.
    explicit NarrativeSequencer(std::shared_ptr<Environment> root);
    // With a frame limit of its own; throws std::invalid_argument also for a
    // limit below 1 (check_max_frames).
    NarrativeSequencer(std::shared_ptr<Environment> root, std::int32_t frame_limit);
    virtual ~NarrativeSequencer();

    // Throws std::invalid_argument naming the valid range unless the frame
    // limit is at least 1: a lower one would end every level at once.
    static void check_max_frames(std::int64_t frame_limit);

    // Runs one frame and returns the frame response: the root zone's JSON
    // plus "meta". A tree deeper or larger than the engine walks raises
    // TreeTooDeepError or TreeTooLargeError before anything changes.
    virtual nlohmann::json NextFrame();

    // The same frame as NextFrame(), answered with the response's compact
    // text (what to_json_text(NextFrame()) would give), written straight from
    // the tree instead of through the response's JSON value.
    std::string next_frame_text();

    // The same frame, answered with the RFC 6902 JSON Patch that turns the
    // last frame kept (by this or PendingFrame::keep_text()) into it; the
    // frame's text is then kept for the next patch. NextFrame() and
    // next_frame_text() keep no text: the patch after them replaces the
    // whole document.
    std::string next_frame_patch(TreeEdits edits = TreeEdits::ANY);

    // Runs one frame and keeps it undoable: a host commits it once it holds
    // the frame's answer, so that it either sees the frame or the frame did
    // not happen.
    PendingFrame begin_frame();

    // Appends the agents under `zone`, every zone after its sub-zones,
    // leaving out the own agents of frozen zones.
    void collect_agents(Environment* zone, std::vector<CollectedAgent>& collected);

    // A zone is frozen while a direct sub-zone is unresolved (holds an agent
    // or two or more charges).
    void update_freeze_states(Environment* zone);

    // Merges the first collapsible zone below `zone` (depth first, a zone's
    // sub-zones before the zone) into its parent and records the event.
    bool check_and_collapse(Environment* zone);

    // Whether the host places `agent` again in `zone` after each frame in
    // which it acts (a level file's "refill" agents). The plain sequencer
    // places nothing again.
    virtual bool is_refill(const Environment& zone, const MagicianAgent& agent) const;

    nlohmann::json generate_response(std::string status, std::string message) const;

    // The level as it stands, explained, as compact JSON text: the outcome
    // ("running", "won", "lost" or "frame_limit"), the event the next call
    // will report, why each standing agent acts, waits or declines, and which
    // zones merge, are frozen or never resolve. docs/frames.md describes the
    // document and schemas/explain.schema.json holds its schema. Changes
    // nothing: the next frame is exactly what it would have been. Throws
    // std::logic_error while a frame is pending, TreeTooDeepError or
    // TreeTooLargeError for a tree beyond what the engine walks; its length
    // grows with the tree, as a frame's does.
    std::string explain();

    // The response's "meta" member for the current call.
    nlohmann::json meta_json(std::string status, std::string message) const;

protected:
    // A subclass's own step after a frame in which `agent` acted in `zone`
    // (the agent has left the zone by then). It runs before the frame's
    // answer is written and may allocate and throw, which undoes the frame;
    // it returns whether it prepared a change. A prepared change is applied
    // by apply_after_cast() once the frame is kept (after its answer exists)
    // or dropped by drop_after_cast() when the frame is undone; neither may
    // fail. The plain sequencer prepares nothing.
    virtual bool prepare_after_cast(Environment& zone, const MagicianAgent& agent);
    virtual void apply_after_cast() noexcept;
    virtual void drop_after_cast() noexcept;

private:
    // Reads what a running frame needs from the tree in one walk, without
    // changing it: the agents offered the charges, the zones whose freeze
    // flag changes, and the first collapsible zone.
    void survey(Environment& root);
    static bool has_unresolved_sub_zone(const Environment& zone);
    static void refresh_freeze_flag(Environment& zone);
    static void collect_own_agents(Environment& zone, std::vector<CollectedAgent>& collected);

    // What the next call will do, found by running the frame and undoing it;
    // nothing when that call runs no frame (a finished level, the limit).
    ForeseenFrame foresee_frame();
    bool runs_next_frame() const { return current_frame < max_frames && !is_finished; }

    // Sorts the collected agents into the order they are offered the
    // charges: highest priority first, equal priorities in collection order.
    void put_in_offering_order(std::vector<CollectedAgent>& collected);

    // The steps of a running frame. The find_ and prepared_ steps may throw
    // and change nothing but agent states, which the frame's record undoes;
    // the apply_ steps cannot fail.
    std::optional<std::vector<Charge>> find_actor();
    void apply_frame_start(FrameEvent event) noexcept;
    void apply_cast(std::vector<Charge>& result) noexcept;
    void apply_collapse(Charge& merged) noexcept;

    void undo_frame() noexcept;
    void commit_frame() noexcept;
    void clear_survey() noexcept;

    // What the survey found; empty between calls, the storage kept.
    std::vector<CollectedAgent> collected_;
    struct FreezeChange {
        Environment* zone;
        bool frozen;
    };
    std::vector<FreezeChange> freeze_changes_;
    struct CollapseCandidate {
        Environment* parent = nullptr;
        std::size_t index = 0;
    };
    CollapseCandidate collapse_candidate_;
    // The counting sort's output and counts, kept from frame to frame; their
    // entries are read only while a frame sorts.
    std::vector<CollectedAgent> ordered_;
    std::vector<std::size_t> starts_;

    // Everything the pending frame changed, so that it can be undone.
    struct FrameRecord {
        bool open = false;
        std::uint64_t edits_before = 0;  // tree_edit_count() when the frame began
        const char* status = nullptr;
        const char* message = nullptr;  // null: the event's description
        std::int32_t frame_before = 0;
        bool finished_before = false;
        bool event_replaced = false;
        std::optional<FrameEvent> event_before;
        bool freeze_applied = false;
        std::size_t tried = 0;  // collected_[0, tried) were offered the charges
        std::size_t actor = 0;  // the index in collected_ of the agent that acted
        bool after_cast_prepared = false;
        // A cast: the zone's charges before, and the agent out of its place.
        Environment* cast_zone = nullptr;
        std::vector<Charge> charges_before;
        std::uint64_t revision_before = 0;
        std::size_t place = 0;
        std::shared_ptr<MagicianAgent> leaving_agent;
        // A collapse: the merged zone out of its place in the parent.
        Environment* merge_parent = nullptr;
        std::shared_ptr<Environment> merged_zone;
    };
    FrameRecord record_;

    // A frame's text as the base of the next patch, its layout found when
    // first needed.
    struct KeptText {
        std::string text;
        ZoneTextLayout layout;
        bool laid_out = false;
        bool written_with_layout = false;  // by the text writer, every zone's entry in place
    };
    // The text of the last frame returned, when it was kept; the pending
    // frame's own text, kept when it is committed (storage reused).
    KeptText base_;
    bool has_base_ = false;
    KeptText next_base_;
    bool next_base_written_ = false;
    // tree_edit_count() when the base was kept, and a zone changed after its
    // text was written (a refill agent placed again), to write anew.
    std::uint64_t edits_at_base_ = 0;
    const Environment* changed_after_base_ = nullptr;
    ZoneTextChanges changes_;  // storage kept

    // Writes the pending frame's text into `kept` from the base's text and
    // what the frame changed; false when it cannot (the tree changed
    // otherwise, or the frame changed what it does not follow).
    bool rewrite_base_text(KeptText& kept, const ExtraRootMembers& meta);
};

}  // namespace qor
