// Native checks of the module surface: zones, the process registry and the
// logging channel.
#include <string>
#include <vector>

#include "harness.hpp"
#include "registry/registry.hpp"
#include "support/log.hpp"
#include "support/log_capsule.hpp"
#include "support/ref.hpp"
#include "zones/zone.hpp"

using kestu::ContextZone;
using kestu::resolve_zone;

TEST(resolve_zone_prefixes) {
    struct Row {
        const char* name;
        ContextZone zone;
    } rows[] = {
        {"sig_", ContextZone::Signal},   {"cmd_go", ContextZone::Signal}, {"sig", ContextZone::Data},
        {"meta", ContextZone::Data},     {"metadata", ContextZone::Data}, {"meta_x", ContextZone::Meta},
        {"heavy", ContextZone::Data},    {"heavy_", ContextZone::Heavy},  {"heavy_blob", ContextZone::Heavy},
        {"SIG_x", ContextZone::Data},    {"Heavy_x", ContextZone::Data},  {"", ContextZone::Data},
        {"sig_meta_", ContextZone::Signal}, {"x.heavy_y", ContextZone::Data},
    };
    for (const Row& r : rows) {
        if (resolve_zone(r.name) != r.zone) harness::fail(__FILE__, __LINE__, std::string("zone of '") + r.name + "'");
    }
}

namespace {
PyObject* make_object() { return harness::run_python("class Proc:\n    pass\n", "Proc()"); }
}  // namespace

TEST(registry_store_replace_release) {
    PyObject* first = make_object();
    PyObject* second = make_object();
    CHECK(first && second);
    if (!first || !second) return;
    Py_ssize_t before = Py_REFCNT(first);
    kestu::register_process("native.a", kestu::Ref::borrow(first));
    CHECK_EQ(Py_REFCNT(first), before + 1);
    kestu::Ref found = kestu::get_process("native.a");
    CHECK(found.get() == first);
    found.reset();
    kestu::register_process("native.a", kestu::Ref::borrow(second));
    CHECK_EQ(Py_REFCNT(first), before);  // the replaced entry was released
    CHECK(kestu::get_process("native.a").get() == second);
    CHECK(!kestu::get_process("NATIVE.A"));
    CHECK(!kestu::get_process("native."));
    kestu::register_process("", kestu::Ref::borrow(first));
    CHECK(kestu::get_process("").get() == first);
    Py_DECREF(first);
    Py_DECREF(second);
}

TEST(registry_replaced_entry_finaliser_may_reenter) {
    // The finaliser of a replaced entry registers again; that must not
    // deadlock on the registry lock.
    PyObject* victim = harness::run_python(
        "import kestu_core\n"
        "class Reenter:\n"
        "    def __del__(self):\n"
        "        import builtins\n"
        "        builtins._kestu_reentered = True\n",
        "Reenter()");
    CHECK(victim);
    if (!victim) return;
    kestu::register_process("native.reenter", kestu::Ref::steal(victim));
    // The registry is the only owner now; replacing it runs __del__.
    PyObject* placeholder = make_object();
    kestu::register_process("native.reenter", kestu::Ref::steal(placeholder));
    PyObject* flag = harness::run_python("", "getattr(__import__('builtins'), '_kestu_reentered', False)");
    CHECK(flag == Py_True);
    Py_XDECREF(flag);
}

namespace {
struct Collected {
    std::vector<std::string> records;
};
void collect(void* context, kestu::log::Level level, std::string_view target, std::string_view text) {
    static_cast<Collected*>(context)->records.push_back(std::to_string(static_cast<int>(level)) + "|" +
                                                         std::string(target) + "|" + std::string(text));
}
}  // namespace

TEST(log_channel_filters_and_formats_lazily) {
    using kestu::log::Level;
    CHECK(kestu::log::max_level() == Level::Off);
    int formatted = 0;
    auto fmt = [&] {
        ++formatted;
        return std::string("text");
    };
    kestu::log::emit(Level::Warn, "t", fmt);  // no-op receiver, level off
    CHECK_EQ(formatted, 0);

    Collected got;
    kestu::log::set_receiver(&collect, &got);
    kestu::log::emit(Level::Warn, "t", fmt);
    CHECK_EQ(formatted, 0);  // still off: nothing formatted, nothing received
    CHECK(got.records.empty());

    kestu::log::set_max_level(Level::Warn);
    kestu::log::emit(Level::Info, "kestu_core::fsm", fmt);
    CHECK_EQ(formatted, 0);
    kestu::log::emit(Level::Warn, "kestu_core::audit", fmt);
    kestu::log::emit(Level::Error, "e", fmt);
    CHECK_EQ(formatted, 2);
    CHECK(got.records == (std::vector<std::string>{"2|kestu_core::audit|text", "1|e|text"}));

    kestu::log::set_max_level(Level::Trace);
    kestu::log::emit(Level::Info, "i", fmt);
    CHECK_EQ(got.records.size(), 3u);
    kestu::log::emit(Level::Off, "never", fmt);  // Off is never a record level
    CHECK_EQ(got.records.size(), 3u);

    kestu::log::set_receiver(nullptr, nullptr);
    kestu::log::emit(Level::Warn, "t", fmt);  // back to the no-op
    CHECK_EQ(got.records.size(), 3u);
    kestu::log::set_max_level(Level::Off);
}

namespace {
// A filter that records each question and wants one target only.
struct Asked {
    std::vector<std::string> asked;  // "level|target"
    std::string wanted_target;
};
bool want(void* context, kestu::log::Level level, std::string_view target) {
    auto* a = static_cast<Asked*>(context);
    a->asked.push_back(std::to_string(static_cast<int>(level)) + "|" + std::string(target));
    return target == a->wanted_target;
}
}  // namespace

TEST(log_filter_is_asked_after_the_level_and_before_formatting) {
    using kestu::log::Level;
    int formatted = 0;
    auto fmt = [&] { return std::to_string(++formatted); };
    Collected got;
    Asked asked{{}, "kestu_core::audit"};
    kestu::log::set_receiver(&collect, &got);
    kestu::log::set_filter(&want, &asked);
    kestu::log::set_max_level(Level::Warn);
    kestu::log::emit(Level::Info, "kestu_core::fsm", fmt);  // not admitted: not even asked
    kestu::log::emit(Level::Warn, "kestu_core::fsm", fmt);  // unwanted: never formatted
    kestu::log::emit(Level::Warn, "kestu_core::audit", fmt);
    kestu::log::set_filter(nullptr, nullptr);  // no filter: every admitted record
    kestu::log::emit(Level::Warn, "kestu_core::fsm", fmt);
    CHECK(asked.asked == (std::vector<std::string>{"2|kestu_core::fsm", "2|kestu_core::audit"}));
    CHECK(got.records == (std::vector<std::string>{"2|kestu_core::audit|1", "2|kestu_core::fsm|2"}));
    kestu::log::set_max_level(Level::Off);
    kestu::log::set_receiver(nullptr, nullptr);
}

TEST(cached_answer_is_asked_again_after_every_change) {
    using kestu::log::Level;
    Asked asked{{}, "kestu_core::engine"};
    kestu::log::CachedAnswer cached;
    auto ask = [&] { return kestu::log::wanted_cached(Level::Debug, "kestu_core::engine", cached); };
    CHECK(!ask());  // level off: the filter is not asked
    kestu::log::set_filter(&want, &asked);
    kestu::log::set_max_level(Level::Trace);
    CHECK(ask() && ask() && asked.asked.size() == 1);
    asked.wanted_target = "";  // the host's levels change and it says so
    CHECK(ask());
    kestu::log::levels_changed();
    CHECK(!ask() && !ask() && asked.asked.size() == 2);
    asked.wanted_target = "kestu_core::engine";
    kestu::log::set_filter(nullptr, nullptr);
    CHECK(ask() && asked.asked.size() == 2);
    kestu::log::set_max_level(Level::Off);
    CHECK(!ask());
}

TEST(channel_capsule_in_the_interpreter_dict_drives_the_core_channel) {
    using namespace kestu::log;
    kestu::Ref state = kestu::Ref::steal(harness::run_python(
        "import kestu_core\nm = kestu_core.StateMachine({'A': {'events': {'go': 'B'}}}, 'A')\n", "m"));
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* capsule = dict ? PyDict_GetItemString(dict, kChannelCapsule) : nullptr;
    auto* api = static_cast<const ChannelApi*>(capsule ? PyCapsule_GetPointer(capsule, kChannelCapsule) : nullptr);
    CHECK(state && api && api->version == kChannelApiVersion);
    if (!api) return;
    Collected got;
    Asked asked{{}, "kestu_core::fsm"};
    api->set_receiver(&collect, &got);
    api->set_filter(&want, &asked);
    api->set_max_level(Level::Info);
    kestu::Ref moved = kestu::Ref::steal(harness::run_python("m.trigger('go')\n", "m.current_state"));
    CHECK(moved);
    CHECK(got.records == std::vector<std::string>{"3|kestu_core::fsm|\xF0\x9F\x94\x84 FSM Transition: A --[go]--> B"});
    api->set_max_level(Level::Off);
    api->set_filter(nullptr, nullptr);
    api->set_receiver(nullptr, nullptr);
}
