// q.agent_kinds(): the engine's agent kinds as every face shows them, for
// pages that list them (the level studio's kind list).
#include "spells/agent_kinds.h"
#include "web/web.h"

namespace qor::web {

namespace {

// An array of {key, name, priority, method, summary}, highest priority first.
// Made of JavaScript values only: nothing is allocated in the module's memory,
// so there is nothing that can fail.
em::val agent_kinds() {
    em::val kinds = em::val::array();
    int index = 0;
    for (const AgentKindInfo* kind = agent_kinds_begin(); kind != agent_kinds_end(); ++kind) {
        em::val item = em::val::object();
        item.set("key", em::val(kind->key));
        item.set("name", em::val(kind->agent_name));
        item.set("priority", em::val(kind->priority));
        item.set("method", em::val(kind->placing_method));
        item.set("summary", em::val(kind->summary));
        // Not call("push"): embind's method calls keep thread-local storage,
        // which the linker refuses in a build without threads.
        kinds.set(index++, item);
    }
    return kinds;
}

}  // namespace

}  // namespace qor::web

EMSCRIPTEN_BINDINGS(qor_engine_kinds) {
    emscripten::function("agent_kinds", &qor::web::agent_kinds);
}
