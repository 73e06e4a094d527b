// A fixed amount of work for a profiler (perf, valgrind --tool=callgrind):
//
//     qor_frame_profile KIND AGENTS FRAMES
//
// KIND is "acting" or "resolved" (frames as in frame_bench.cpp, answered
// with text written straight from the tree, as the module's next_frame()
// does) or "json" (the root's text, as Environment.to_json() does). The level
// is built before the frames run.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_levels.h"
#include "model/zone_text.h"
#include "sequencer/narrative_sequencer.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s acting|resolved|json AGENTS FRAMES\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1];
    const int agents = std::atoi(argv[2]);
    const int frames = std::atoi(argv[3]);
    if ((kind != "acting" && kind != "resolved" && kind != "json") || agents < 1 || frames < 1) {
        std::fprintf(stderr, "usage: %s acting|resolved|json AGENTS FRAMES\n", argv[0]);
        return 2;
    }

    const qor::bench::Level level = qor::bench::make_level(agents, kind != "resolved");
    qor::NarrativeSequencer sequencer(level.root);
    std::size_t written = 0;
    for (int frame = 0; frame < frames; ++frame) {
        if (kind == "json") {
            written += qor::zone_json_text(*level.root).size();
            continue;
        }
        written += sequencer.next_frame_text().size();
        sequencer.current_frame = 0;
        sequencer.is_finished = false;
        if (kind == "acting") level.place_gate_again();
    }
    std::printf("%s: %d agents, %d frames, %zu bytes of text\n", kind.c_str(), agents, frames, written);
    return 0;
}
