#include <string>

#include "web/web.h"

EMSCRIPTEN_BINDINGS(qor_engine) {
    emscripten::constant("__version__", std::string(QOR_VERSION));  // the package's, from pyproject.toml
    qor::web::bind_charges();
    const qor::web::EnvironmentClass environment = qor::web::bind_environment();
    qor::web::bind_agent_placing(environment);
    const qor::web::SequencerClass sequencer = qor::web::bind_sequencer();
    qor::web::bind_saving(environment, sequencer);
    qor::web::bind_level_file();
    qor::web::bind_replay();
}
