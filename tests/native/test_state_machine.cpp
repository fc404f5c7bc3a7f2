// Native checks of the state machine's log records, which Python cannot see.
#include <string>
#include <vector>

#include "harness.hpp"
#include "log_capture.hpp"
#include "support/ref.hpp"

using harness::LogCapture;
using kestu::Ref;
namespace klog = kestu::log;

namespace {

const char* const kMachines = R"PY(
import kestu_core
class bool_:
    # Stand-in for NumPy's boolean scalar.
    __module__ = "numpy"
    def __bool__(self):
        return False
fsm_definition = {
    "IDLE": {"events": {"START": "RUNNING"}},
    "RUNNING": {"entry": ["load", "check"], "on": {"STOP": "IDLE"}},
    "ON_TRUE": {"on": True},
    "ON_NUMPY": {"on": bool_()},
    "ODD": {"transitions": {"go": "\u00e9t\u00e9"}},
}
)PY";

// Runs `calls` (Python statements on a fresh machine `m` started in `start`)
// and returns the final state.
std::string run_machine(const std::string& start, const std::string& calls) {
    std::string source = std::string(kMachines) + "m = kestu_core.StateMachine(fsm_definition, '" + start + "')\n" + calls;
    Ref state = Ref::steal(harness::run_python(source.c_str(), "m.current_state"));
    if (!state) return "<error>";
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(state.get(), &len);
    return s ? std::string(s, static_cast<size_t>(len)) : "<error>";
}

}  // namespace

TEST(fsm_transition_records_at_info) {
    LogCapture log;
    CHECK_EQ(run_machine("IDLE", "m.trigger('START')\nm.trigger('START')\nm.trigger('STOP')\n"), std::string("IDLE"));
    CHECK(log.texts() == (std::vector<std::string>{"\xF0\x9F\x94\x84 FSM Transition: IDLE --[START]--> RUNNING",
                                                   "\xF0\x9F\x94\x84 FSM Transition: RUNNING --[STOP]--> IDLE"}));
    CHECK(log.all(klog::Level::Info, "kestu_core::fsm"));

    LogCapture odd;
    CHECK_EQ(run_machine("ODD", "m.trigger('go')\n"), std::string("\xC3\xA9t\xC3\xA9"));
    CHECK(odd.texts() == std::vector<std::string>{"\xF0\x9F\x94\x84 FSM Transition: ODD --[go]--> \xC3\xA9t\xC3\xA9"});
}

TEST(fsm_boolean_on_key_warns_and_stays) {
    const std::string warning = "\xE2\x9A\xA0\xEF\xB8\x8F FSM Warning: 'on' key parsed as Boolean. Use 'events' instead.";
    for (const char* start : {"ON_TRUE", "ON_NUMPY"}) {
        LogCapture log;
        CHECK_EQ(run_machine(start, "assert m.trigger('anything') == []\n"), std::string(start));
        CHECK(log.texts() == std::vector<std::string>{warning});
        CHECK(log.all(klog::Level::Warn, "kestu_core::fsm"));
    }
}

TEST(fsm_records_only_within_the_maximum_level) {
    {
        LogCapture log(klog::Level::Warn);  // transitions are info: not admitted
        CHECK_EQ(run_machine("IDLE", "m.trigger('START')\n"), std::string("RUNNING"));
        CHECK_EQ(run_machine("ON_TRUE", "m.trigger('x')\n"), std::string("ON_TRUE"));
        CHECK_EQ(log.records.size(), 1u);
        CHECK(log.all(klog::Level::Warn, "kestu_core::fsm"));
    }
    LogCapture off(klog::Level::Off);
    run_machine("IDLE", "m.trigger('START')\n");
    run_machine("ON_TRUE", "m.trigger('x')\n");
    CHECK(off.records.empty());
}
