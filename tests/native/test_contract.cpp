// Native checks of compiled contracts: linear in a path's length, a clear
// error where the index's offsets would overflow, and a contract cache that
// stays within its memory bound.
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "guards/contract.hpp"
#include "harness.hpp"
#include "support/error.hpp"

using kestu::PathSet;

namespace {

std::vector<std::string> with_fillers(std::string path) {
    std::vector<std::string> paths{std::move(path)};
    for (int i = 0; i < 8; ++i) paths.push_back("filler" + std::to_string(i));  // past the scanned size
    return paths;
}

}  // namespace

TEST(a_long_dotted_path_compiles_in_linear_space_and_checks_exactly) {
    std::string path = "s0";
    for (int i = 1; i < 16000; ++i) path += ".s" + std::to_string(i);
    PathSet set(with_fillers(path));
    CHECK(set.memory_bytes() < 64 * path.size());
    CHECK(set.covers(path) && set.covers(path + ".x") && set.covers(path + "[0]"));
    CHECK(set.covers(path.substr(0, path.rfind('.'))));  // an ancestor at "."
    CHECK(!set.covers(path.substr(0, path.size() - 1)) && !set.covers(path + "x"));
    CHECK(set.contains(path) && !set.contains("s0"));
}

TEST(a_list_past_the_index_limit_is_refused_not_wrapped) {
    try {
        PathSet set(with_fillers(std::string(40, 'a')), 64);
        CHECK(false);
    } catch (const kestu::py_error&) {
        CHECK(PyErr_ExceptionMatches(PyExc_ValueError));
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* str = value ? PyObject_Str(value) : nullptr;
        const char* utf8 = str ? PyUnicode_AsUTF8(str) : nullptr;
        CHECK(utf8 && std::string(utf8) == "declared paths too long: one list may hold at most 64 bytes of path text");
        Py_XDECREF(str);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_Clear();
    }
    PathSet fits(with_fillers(std::string(40, 'a')), 100);
    CHECK(fits.contains(std::string(40, 'a')));
}

TEST(the_contract_cache_drops_dropped_contracts_and_stays_bounded) {
    constexpr size_t kBound = 32u << 20;
    PyObject* done = harness::run_python(
        "import kestu_core\n"
        "class _Contract:\n"
        "    def __init__(self, n, tag):\n"
        "        self.inputs = tuple(f'{tag}.field{i}.leaf' for i in range(n))\n"
        "        self.outputs = ()\n"
        "        self.errors = ()\n"
        "def _register(name, n):\n"
        "    def run(ctx):\n"
        "        return name\n"
        "    run._pop_contract = _Contract(n, name)\n"
        "    kestu_core.Engine(object()).register_process(name, run)\n"
        "    return kestu_core.Engine(object()).execute_process(name)\n",
        "None");
    Py_XDECREF(done);
    size_t peak = 0;
    for (int i = 0; i < 6; ++i) {
        std::string code = "_register('cache_big" + std::to_string(i) + "', 60000)\n";
        Py_XDECREF(harness::run_python(code.c_str(), "None"));
        peak = std::max(peak, kestu::paths_cache_bytes_for_testing());
    }
    CHECK(peak > (4u << 20) && peak <= kBound);
    // Replaced and so dropped: the next list cached lets them go.
    for (int i = 0; i < 6; ++i) {
        std::string code = "_register('cache_big" + std::to_string(i) + "', 1)\n";
        Py_XDECREF(harness::run_python(code.c_str(), "None"));
    }
    CHECK(kestu::paths_cache_bytes_for_testing() < (1u << 20));
}
