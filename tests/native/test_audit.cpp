// Native checks of the audit policy: building rules from recipe objects,
// evaluation outcomes, counters and the records on the logging channel.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit/policy.hpp"
#include "harness.hpp"
#include "log_capture.hpp"
#include "support/compat.hpp"
#include "support/error.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

using kestu::AuditOutcome;
using kestu::AuditPolicy;
using kestu::Ref;
using kestu::RuleSpec;
using kestu::RuleValue;
namespace klog = kestu::log;

namespace {

const char* const kPrelude = R"PY(
class Rule:
    def __init__(self, target_field, condition, value=None, level="B", min_threshold=0,
                 max_threshold=1, reset_on_success=True, message=None):
        self.target_field = target_field
        self.condition = condition
        self.level = level
        self.min_threshold = min_threshold
        self.max_threshold = max_threshold
        self.reset_on_success = reset_on_success
        self.message = message
        self.value = value

class Audit:
    def __init__(self, input_rules=(), output_rules=()):
        self.input_rules = input_rules
        self.output_rules = output_rules

class Recipe:
    def __init__(self, definitions):
        self.definitions = definitions

class Boom(Exception):
    pass

class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)

class BadStr:
    def __str__(self):
        raise Boom("no text")

class BadLen:
    def __len__(self):
        raise Boom("no len")

class BadFloat:
    def __float__(self):
        raise Boom("no float")

class Floaty:
    def __init__(self, v):
        self.v = v
    def __float__(self):
        return self.v

class LoudFloat(Floaty):
    def __str__(self):
        raise Boom("no text")

class Indexy:
    def __init__(self, v):
        self.v = v
    def __index__(self):
        return self.v

class BadIndex:
    def __index__(self):
        raise Boom("no index")

class BadGetter:
    @property
    def x(self):
        raise Boom("getter")

class Cart:
    not_callable = 3
    def __init__(self, total):
        self._total = total
    def total(self):
        return self._total
    def broken(self):
        raise Boom("method")

class Interrupting:
    def __getattr__(self, name):
        raise KeyboardInterrupt

class bool_:
    # Stand-in for NumPy's boolean scalar.
    __module__ = "numpy"
    def __init__(self, v):
        self.v = v
    def __bool__(self):
        return self.v

NoTruth = type("bool_", (), {"__module__": "numpy"})

class SkippedIter:
    def __getitem__(self, i):
        raise IndexError
    def __len__(self):
        return 1
    def __iter__(self):
        raise Boom("no iteration")

class BadLenSeq(list):
    def __len__(self):
        raise Boom("no len")

def failing_after_first(rule):
    yield rule
    raise Boom("midway")

class MidwaySeq:
    def __init__(self, rule):
        self.rule = rule
    def __getitem__(self, i):
        raise IndexError
    def __iter__(self):
        return failing_after_first(self.rule)

class DictSub(dict):
    pass
)PY";

// Runs `source` after the prelude and returns `expr` (null on error, printed).
Ref py(const std::string& source, const std::string& expr) {
    std::string all = std::string(kPrelude) + source;
    return Ref::steal(harness::run_python(all.c_str(), expr.c_str()));
}

// "Qualname: text" of the pending error, which is cleared; "" when none.
std::string take_error() {
    if (!PyErr_Occurred()) return "";
    Ref v = Ref::steal(kestu::compat::fetch_exception());
    return kestu::exception_text(v.get());
}

// Builds a policy; on failure returns nothing and leaves the error set.
std::optional<AuditPolicy> build(const std::string& recipe_expr, const std::string& source = "") {
    Ref recipe = py(source, recipe_expr);
    if (!recipe) return std::nullopt;
    try {
        return AuditPolicy::from_python(recipe.get());
    } catch (const kestu::py_error&) {
        return std::nullopt;
    }
}

// A policy with the given rules as input rules of process "p".
std::optional<AuditPolicy> policy_of(const std::string& rules, const std::string& source = "") {
    return build("Recipe({'p': Audit(input_rules=[" + rules + "])})", source);
}

using harness::LogCapture;

bool all_audit_warnings(const LogCapture& log) { return log.all(klog::Level::Warn, "kestu_core::audit"); }

AuditOutcome evaluate(AuditPolicy& policy, PyObject* root, std::string_view phase = "input") {
    AuditOutcome out = policy.evaluate("p", phase, root);
    if (PyErr_Occurred()) {
        harness::fail(__FILE__, __LINE__, "evaluate left an error set: " + take_error());
    }
    return out;
}

std::optional<uint32_t> count_of(const AuditPolicy& policy, const std::string& key) {
    const auto counts = policy.violation_counts();
    auto it = counts.find(key);
    if (it == counts.end()) return std::nullopt;
    return it->second;
}

const char* kind_name(AuditOutcome::Kind k) {
    switch (k) {
        case AuditOutcome::Kind::Pass: return "Pass";
        case AuditOutcome::Kind::Interlock: return "Interlock";
        case AuditOutcome::Kind::Block: return "Block";
    }
    return "?";
}

// Hooks the unraisable-exception reports into a list for one test.
struct UnraisableCapture {
    UnraisableCapture() {
        Ref ok = py("import sys\nunraisable = []\nsys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)\n", "None");
    }
    ~UnraisableCapture() { Ref ok = py("import sys\nsys.unraisablehook = sys.__unraisablehook__\n", "None"); }
    size_t count() {
        Ref n = py("", "len(unraisable)");
        return n ? static_cast<size_t>(PyLong_AsSsize_t(n.get())) : 0;
    }
};

const kestu::RuleList* input_list(const AuditPolicy& policy, const std::string& process = "p") {
    auto it = policy.input_rules().find(process);
    return it == policy.input_rules().end() ? nullptr : &it->second;
}

}  // namespace

TEST(audit_rule_fields_fall_back_exactly) {
    struct Row {
        const char* kwargs;
        uint32_t min, max;
        bool reset;
        std::optional<std::string> message;
    } rows[] = {
        {"", 0, 1, true, std::nullopt},
        {"max_threshold=None", 0, 1, true, std::nullopt},
        {"min_threshold=-1", 0, 1, true, std::nullopt},
        {"min_threshold=True, max_threshold=False", 1, 0, true, std::nullopt},
        {"min_threshold=2.0, max_threshold=3.0", 0, 1, true, std::nullopt},
        {"min_threshold=2**32, max_threshold=4294967295", 0, 4294967295u, true, std::nullopt},
        {"min_threshold=Indexy(7), max_threshold=BadIndex()", 7, 1, true, std::nullopt},
        {"min_threshold=Indexy(-3), max_threshold='5'", 0, 1, true, std::nullopt},
        {"reset_on_success=False", 0, 1, false, std::nullopt},
        {"reset_on_success=0", 0, 1, true, std::nullopt},
        {"reset_on_success=None", 0, 1, true, std::nullopt},
        {"reset_on_success=''", 0, 1, true, std::nullopt},
        {"reset_on_success=bool_(False)", 0, 1, false, std::nullopt},
        {"reset_on_success=bool_(True)", 0, 1, true, std::nullopt},
        {"reset_on_success=NoTruth()", 0, 1, true, std::nullopt},
        {"message=''", 0, 1, true, std::string()},
        {"message='custom'", 0, 1, true, std::string("custom")},
        {"message=42", 0, 1, true, std::nullopt},
        {"message=b'bytes'", 0, 1, true, std::nullopt},
    };
    for (const Row& r : rows) {
        Ref rule = py("", std::string("Rule('a.b', 'min', 1, 'B', ") + r.kwargs + ")");
        if (!rule) {
            harness::fail(__FILE__, __LINE__, r.kwargs);
            continue;
        }
        try {
            RuleSpec spec = AuditPolicy::parse_rule(rule.get());
            bool ok = spec.target_field == "a.b" && spec.condition == "min" && spec.level == "B" &&
                      spec.min_threshold == r.min && spec.max_threshold == r.max &&
                      spec.reset_on_success == r.reset && spec.message == r.message && !PyErr_Occurred();
            if (!ok) harness::fail(__FILE__, __LINE__, std::string("fields of Rule(") + r.kwargs + ")");
        } catch (const kestu::py_error&) {
            harness::fail(__FILE__, __LINE__, std::string("Rule(") + r.kwargs + ") failed: " + take_error());
        }
    }
}

TEST(audit_rule_value_conversions) {
    using K = RuleValue::Kind;
    struct Row {
        const char* expr;
        K kind;
        bool b = false;
        uint64_t u = 0;
        int64_t i = 0;
        double d = 0;
        std::string s = {};
    } rows[] = {
        {"None", K::Null},
        {"True", K::Bool, true},
        {"False", K::Bool, false},
        {"bool_(True)", K::Bool, true},
        {"0", K::UInt, false, 0},
        {"7", K::UInt, false, 7},
        {"2**63 - 1", K::UInt, false, 9223372036854775807ull},
        {"-7", K::Int, false, 0, -7},
        {"-2**63", K::Int, false, 0, INT64_MIN},
        {"Indexy(5)", K::UInt, false, 5},
        {"2**64", K::Double, false, 0, 0, 18446744073709551616.0},
        {"2**70", K::Double, false, 0, 0, 1180591620717411303424.0},
        {"2.5", K::Double, false, 0, 0, 2.5},
        {"Floaty(-1.5)", K::Double, false, 0, 0, -1.5},
        {"float('nan')", K::Null},
        {"float('inf')", K::Null},
        {"-float('inf')", K::Null},
        {"'10'", K::String, false, 0, 0, 0, "10"},
        {"''", K::String, false, 0, 0, 0, ""},
        {"[1, 2]", K::String, false, 0, 0, 0, "[1, 2]"},
        {"{'a': 1}", K::String, false, 0, 0, 0, "{'a': 1}"},
        {"10**400", K::String, false, 0, 0, 0, "1" + std::string(400, '0')},
    };
    for (const Row& r : rows) {
        Ref value = py("", r.expr);
        if (!value) {
            harness::fail(__FILE__, __LINE__, r.expr);
            continue;
        }
        RuleValue v = AuditPolicy::py_to_json(value.get());
        bool ok = v.kind == r.kind && !PyErr_Occurred();
        if (ok && r.kind == K::Bool) ok = v.b == r.b;
        if (ok && r.kind == K::UInt) ok = v.u == r.u;
        if (ok && r.kind == K::Int) ok = v.i == r.i;
        if (ok && r.kind == K::Double) ok = v.d == r.d;
        if (ok && r.kind == K::String) ok = v.s == r.s;
        if (!ok) harness::fail(__FILE__, __LINE__, std::string("py_to_json(") + r.expr + ")");
        take_error();
    }
}

TEST(audit_value_falls_back_to_its_text) {
    // A NumPy-named type without a truth slot is not a boolean after all.
    Ref odd = py("", "NoTruth()");
    RuleValue v = AuditPolicy::py_to_json(odd.get());
    CHECK(v.kind == RuleValue::Kind::String && v.s.starts_with("<numpy.bool_ object at "));
    CHECK(!PyErr_Occurred());
}

TEST(audit_value_whose_str_raises_becomes_unprintable_text) {
    UnraisableCapture hook;
    Ref value = py("", "BadStr()");
    RuleValue v = AuditPolicy::py_to_json(value.get());
    CHECK(v.kind == RuleValue::Kind::String);
    CHECK_EQ(v.s, std::string("<unprintable BadStr object>"));
    CHECK(!PyErr_Occurred());
    CHECK_EQ(hook.count(), 1u);
}

TEST(audit_recipe_of_the_wrong_shape_fails_the_whole_policy) {
    struct Row {
        const char* recipe;
        const char* error;
    } rows[] = {
        {"{'definitions': {}}", "AttributeError: 'dict' object has no attribute 'definitions'"},
        {"Recipe([])", "TypeError: 'list' object cannot be converted to 'PyDict'"},
        {"Recipe(None)", "TypeError: 'NoneType' object cannot be converted to 'PyDict'"},
        {"Recipe({'p': Audit(), 1: Audit()})", "TypeError: 'int' object cannot be converted to 'PyString'"},
        {"Recipe({'p': Audit(input_rules=[5])})", "AttributeError: 'int' object has no attribute 'target_field'"},
        {"Recipe({'p': Audit(output_rules=(Rule('a', 'min', 1), 5))})",
         "AttributeError: 'int' object has no attribute 'target_field'"},
        {"Recipe({'p': Audit(input_rules=[Rule(3, 'min')])})",
         "TypeError: 'int' object cannot be converted to 'PyString'"},
        {"Recipe({'p': Audit(input_rules=[Rule('a', None)])})",
         "TypeError: 'NoneType' object cannot be converted to 'PyString'"},
        {"Recipe({'p': Audit(input_rules=[Rule('a', 'min', level=b'B')])})",
         "TypeError: 'bytes' object cannot be converted to 'PyString'"},
        // Every attribute must exist, even those with a fallback value.
        {"Recipe({'p': Audit(input_rules=[without(Rule('a', 'min'), 'message')])})",
         "AttributeError: 'Rule' object has no attribute 'message'"},
        {"Recipe({'p': Audit(input_rules=[without(Rule('a', 'min'), 'value')])})",
         "AttributeError: 'Rule' object has no attribute 'value'"},
        {"Recipe({'p': Audit(input_rules=[without(Rule('a', 'min'), 'reset_on_success')])})",
         "AttributeError: 'Rule' object has no attribute 'reset_on_success'"},
    };
    const char* source = "def without(rule, name):\n    delattr(rule, name)\n    return rule\n";
    for (const Row& r : rows) {
        std::optional<AuditPolicy> policy = build(r.recipe, source);
        std::string error = take_error();
        if (policy || error != r.error)
            harness::fail(__FILE__, __LINE__, std::string(r.recipe) + " gave '" + error + "'");
    }
}

TEST(audit_unusable_rule_sequences_are_skipped_silently) {
    struct Row {
        const char* input_rules;
        int expected;  // -1: no entry for the process
    } rows[] = {
        {"'abc'", -1},
        {"{Rule('a', 'min', 1)}", -1},
        {"{'a': Rule('a', 'min', 1)}", -1},
        {"None", -1},
        {"5", -1},
        {"SkippedIter()", -1},
        {"MidwaySeq(Rule('a', 'min', 1))", -1},
        {"[]", 0},
        {"()", 0},
        {"(Rule('a', 'min', 1), Rule('b', 'max', 2))", 2},
        {"BadLenSeq([Rule('a', 'min', 1)])", 1},
    };
    for (const Row& r : rows) {
        std::optional<AuditPolicy> policy =
            build(std::string("Recipe({'p': Audit(input_rules=") + r.input_rules + ", output_rules=[Rule('o', 'eq', 'x')])})");
        if (!policy) {
            harness::fail(__FILE__, __LINE__, std::string(r.input_rules) + " failed: " + take_error());
            continue;
        }
        const kestu::RuleList* list = input_list(*policy);
        int got = list ? static_cast<int>(list->size()) : -1;
        bool ok = got == r.expected && policy->output_rules().count("p") == 1 && !PyErr_Occurred();
        if (!ok) harness::fail(__FILE__, __LINE__, std::string("input_rules=") + r.input_rules);
    }

    // A definition without the attributes at all has no entries either.
    std::optional<AuditPolicy> bare = build("Recipe(DictSub(p=object()))");
    CHECK(bare && bare->input_rules().empty() && bare->output_rules().empty());
    take_error();
}

TEST(audit_rules_keep_their_order_and_fields) {
    std::optional<AuditPolicy> policy = build(
        "Recipe({'p': Audit(input_rules=[Rule('x.y', 'eq', 'ok', 'S', 2, 5, False, 'm'), Rule('z', 'max_len', 3)]),"
        " 'q': Audit(output_rules=[Rule('w', 'neq', None, 'W')])})");
    CHECK(policy);
    if (!policy) {
        take_error();
        return;
    }
    const kestu::RuleList* list = input_list(*policy);
    CHECK(list && list->size() == 2);
    if (list && list->size() == 2) {
        const RuleSpec& a = (*list)[0];
        CHECK(a.target_field == "x.y" && a.condition == "eq" && a.level == "S");
        CHECK(a.min_threshold == 2 && a.max_threshold == 5 && !a.reset_on_success);
        CHECK(a.message == std::optional<std::string>("m"));
        CHECK(a.value.kind == RuleValue::Kind::String && a.value.s == "ok");
        CHECK((*list)[1].condition == "max_len" && (*list)[1].value.kind == RuleValue::Kind::UInt);
    }
    CHECK(input_list(*policy, "q") != nullptr);  // Audit() defaults to empty tuples
    CHECK(policy->output_rules().at("q").size() == 1);
    CHECK(policy->output_rules().at("p").empty());
    CHECK(policy->violation_counts().empty());
}

TEST(audit_empty_definitions_pass_everything) {
    std::optional<AuditPolicy> policy = build("Recipe({})");
    CHECK(policy);
    if (!policy) return;
    Ref root = py("", "{'user': {'age': 1}}");
    CHECK(policy->evaluate("p", "input", root.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(policy->evaluate("p", "output", root.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(policy->violation_counts().empty());
}

TEST(audit_conditions_and_operand_forms) {
    struct Row {
        const char* condition;
        const char* operand;
        const char* actual;
        bool violated;
    } rows[] = {
        {"eq", "'x'", "'x'", false},
        {"eq", "'x'", "'y'", true},
        {"eq", "'True'", "True", false},  // compares the text
        {"eq", "'15'", "15", false},
        {"eq", "'None'", "None", false},  // None at the end of a path is a value
        {"eq", "True", "False", false},   // a boolean operand never violates
        {"eq", "5", "6", false},
        {"eq", "None", "6", false},
        {"neq", "'a'", "'a'", true},
        {"neq", "'a'", "'b'", false},
        {"neq", "'[1, 2]'", "[1, 2]", true},
        {"min", "18", "15", true},
        {"min", "18", "18", false},
        {"min", "18", "18.5", false},
        {"min", "-5", "-6", true},
        {"min", "-5", "-5", false},
        {"min", "2.5", "2", true},
        {"min", "2**70", "2**69", true},
        {"min", "18", "'20'", false},  // a str does not convert to float
        {"min", "'18'", "1", false},   // a string operand never violates
        {"min", "True", "0", false},   // nor a boolean one
        {"min", "18", "float('nan')", true},
        {"min", "5", "Floaty(4.0)", true},
        {"min", "5", "Indexy(6)", false},
        {"min", "5", "Indexy(4)", true},
        {"min", "0", "True", false},
        {"max", "10", "11", true},
        {"max", "10", "10", false},
        {"max", "10", "True", false},
        {"max", "-1", "0", true},
        {"max", "10", "float('nan')", true},
        {"max", "10", "None", false},
        {"min_len", "2", "[1]", true},
        {"min_len", "2", "[1, 2]", false},
        {"min_len", "1", "''", true},
        {"min_len", "2.0", "[]", false},  // only the unsigned form applies
        {"min_len", "-1", "[]", false},
        {"min_len", "'2'", "[]", false},
        {"max_len", "3", "[1, 2, 3, 4]", true},
        {"max_len", "3", "'abcd'", true},
        {"max_len", "3", "{1: 2}", false},
        {"max_len", "0", "[]", false},
        {"max_len", "0", "(1,)", true},
        {"max_len", "3", "object()", false},
        {"max_len", "3", "5", false},
        {"MIN", "18", "1", false},  // names are case-sensitive
        {"", "18", "1", false},
        {"between", "'x'", "'y'", false},
    };
    for (const Row& r : rows) {
        std::string rule = std::string("Rule('v', '") + r.condition + "', " + r.operand + ")";
        std::optional<AuditPolicy> policy = policy_of(rule);
        Ref root = py("", std::string("{'v': ") + r.actual + "}");
        if (!policy || !root) {
            harness::fail(__FILE__, __LINE__, rule + " " + take_error());
            continue;
        }
        AuditOutcome out = evaluate(*policy, root.get());
        AuditOutcome::Kind want = r.violated ? AuditOutcome::Kind::Block : AuditOutcome::Kind::Pass;
        if (out.kind != want)
            harness::fail(__FILE__, __LINE__, rule + " on " + r.actual + " gave " + kind_name(out.kind));
    }
}

TEST(audit_value_lookup_along_paths) {
    struct Row {
        const char* target;
        const char* root;
        bool found;
    } rows[] = {
        {"a", "Obj(a=7)", true},
        {"a", "{'a': 7}", true},
        {"a.b", "Obj(a={'b': 7})", true},
        {"a.b", "{'a': Obj(b=7)}", true},
        {"a.b.c", "{'a': {'b': {'c': 7}}}", true},
        {"cart.total()", "{'cart': Cart(7)}", true},
        {"cart.total().real", "{'cart': Cart(7)}", true},
        {"", "{'': 7}", true},
        {"a.", "{'a': {'': 7}}", true},
        {"x", "BadGetter()", false},          // getter raises, item access fails
        {"x", "DictSub(x=7)", true},          // attribute fails, item access works
        {"cart.broken()", "{'cart': Cart(7)}", false},
        {"cart.not_callable()", "{'cart': Cart(7)}", false},
        {"cart.missing()", "{'cart': Cart(7)}", false},
        {"()", "{'': lambda: 7}", false},     // "()" names the attribute "", not the item
        {"0", "[7]", false},                  // item keys are always str
        {"a.b", "{'a': 7}", false},
        {"a", "Interrupting()", false},       // even a BaseException is swallowed
    };
    for (const Row& r : rows) {
        // "neq" '7' violates exactly when the value is found (and is 7).
        std::optional<AuditPolicy> policy = policy_of(std::string("Rule('") + r.target + "', 'neq', '7')");
        Ref root = py("", r.root);
        if (!policy || !root) {
            harness::fail(__FILE__, __LINE__, std::string(r.target) + " " + take_error());
            continue;
        }
        AuditOutcome out = evaluate(*policy, root.get());
        bool found = out.kind == AuditOutcome::Kind::Block;
        if (found != r.found) harness::fail(__FILE__, __LINE__, std::string("path '") + r.target + "' over " + r.root);
    }
}

TEST(audit_block_message_and_early_warning_from_the_example) {
    LogCapture log;
    Ref root = py("", "{'user': {'age': 15}}");
    std::optional<AuditPolicy> policy = policy_of("Rule('user.age', 'min', 18, 'B')");
    CHECK(policy);
    if (!policy) return;
    AuditOutcome out = evaluate(*policy, root.get());
    CHECK(out.kind == AuditOutcome::Kind::Block);
    CHECK_EQ(out.message, std::string("[input] Rule 'min' violated on 'user.age'. Value=15. Level B"));
    CHECK(count_of(*policy, "p:user.age:min") == std::optional<uint32_t>(0));
    CHECK(log.records.empty());

    std::optional<AuditPolicy> twice = policy_of("Rule('user.age', 'min', 18, 'B', max_threshold=2)");
    if (!twice) return;
    out = evaluate(*twice, root.get());
    CHECK(out.kind == AuditOutcome::Kind::Pass);
    CHECK(count_of(*twice, "p:user.age:min") == std::optional<uint32_t>(1));
    CHECK(log.texts() == std::vector<std::string>{"[EARLY WARNING] Rule 'min' violated on 'user.age'. Count: 1"});
    CHECK(all_audit_warnings(log));
    out = evaluate(*twice, root.get());
    CHECK(out.kind == AuditOutcome::Kind::Block);
    CHECK(count_of(*twice, "p:user.age:min") == std::optional<uint32_t>(0));
    CHECK_EQ(log.records.size(), 1u);
}

TEST(audit_thresholds_warn_trip_and_reset) {
    LogCapture log;
    Ref bad = py("", "{'v': 1}");
    Ref good = py("", "{'v': 100}");
    Ref missing = py("", "{}");
    std::optional<AuditPolicy> policy = policy_of("Rule('v', 'min', 10, 'A', min_threshold=2, max_threshold=4)");
    CHECK(policy);
    if (!policy) return;
    const std::string key = "p:v:min";
    CHECK(evaluate(*policy, bad.get()).kind == AuditOutcome::Kind::Pass);  // 1: below min_threshold, silent
    CHECK(log.records.empty());
    CHECK(evaluate(*policy, bad.get()).kind == AuditOutcome::Kind::Pass);  // 2: early warning
    CHECK(evaluate(*policy, bad.get()).kind == AuditOutcome::Kind::Pass);  // 3: early warning
    CHECK(log.texts() == (std::vector<std::string>{"[EARLY WARNING] Rule 'min' violated on 'v'. Count: 2",
                                                   "[EARLY WARNING] Rule 'min' violated on 'v'. Count: 3"}));
    AuditOutcome out = evaluate(*policy, bad.get());
    CHECK(out.kind == AuditOutcome::Kind::Interlock);
    CHECK_EQ(out.message, std::string("[input] Rule 'min' violated on 'v'. Value=1. Level A"));
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(0));

    // A success in between clears the count; so does a missing value.
    evaluate(*policy, bad.get());
    evaluate(*policy, bad.get());
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(2));
    CHECK(evaluate(*policy, good.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(0));
    evaluate(*policy, bad.get());
    CHECK(evaluate(*policy, missing.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(0));

    // Without reset the count survives successes.
    std::optional<AuditPolicy> sticky = policy_of("Rule('v', 'min', 10, 'B', max_threshold=3, reset_on_success=False)");
    if (!sticky) return;
    evaluate(*sticky, bad.get());
    evaluate(*sticky, good.get());
    evaluate(*sticky, missing.get());
    evaluate(*sticky, bad.get());
    CHECK(count_of(*sticky, key) == std::optional<uint32_t>(2));
    CHECK(evaluate(*sticky, bad.get()).kind == AuditOutcome::Kind::Block);

    // A success never creates a counter.
    std::optional<AuditPolicy> fresh = policy_of("Rule('v', 'min', 10)");
    if (!fresh) return;
    evaluate(*fresh, good.get());
    evaluate(*fresh, missing.get());
    CHECK(fresh->violation_counts().empty());
}

TEST(audit_zero_max_threshold_trips_every_time) {
    Ref bad = py("", "{'v': 1}");
    std::optional<AuditPolicy> policy = policy_of("Rule('v', 'min', 10, 'S', max_threshold=0, min_threshold=5)");
    if (!policy) return;
    for (int i = 0; i < 3; ++i) CHECK(evaluate(*policy, bad.get()).kind == AuditOutcome::Kind::Interlock);
}

TEST(audit_levels) {
    struct Row {
        const char* level;
        AuditOutcome::Kind kind;
    } rows[] = {
        {"S", AuditOutcome::Kind::Interlock}, {"A", AuditOutcome::Kind::Interlock},
        {"B", AuditOutcome::Kind::Block},     {"", AuditOutcome::Kind::Pass},
        {"b", AuditOutcome::Kind::Pass},      {"BLOCK", AuditOutcome::Kind::Pass},
        {"W", AuditOutcome::Kind::Pass},      {"S ", AuditOutcome::Kind::Pass},
    };
    Ref root = py("", "{'v': 'x'}");
    for (const Row& r : rows) {
        LogCapture log;
        std::optional<AuditPolicy> policy = policy_of(std::string("Rule('v', 'eq', 'y', '") + r.level + "')");
        if (!policy) {
            harness::fail(__FILE__, __LINE__, take_error());
            continue;
        }
        AuditOutcome out = evaluate(*policy, root.get());
        std::string message = std::string("[input] Rule 'eq' violated on 'v'. Value=x. Level ") + r.level;
        bool ok = out.kind == r.kind;
        if (r.kind == AuditOutcome::Kind::Pass)
            ok = ok && log.texts() == std::vector<std::string>{message} && all_audit_warnings(log);
        else
            ok = ok && out.message == message && log.records.empty();
        if (!ok) harness::fail(__FILE__, __LINE__, std::string("level '") + r.level + "'");
    }
}

TEST(audit_warning_level_goes_on_and_a_stop_ends_the_list) {
    LogCapture log;
    Ref root = py("", "{'a': 1, 'b': 2, 'c': 3}");
    std::optional<AuditPolicy> policy = policy_of(
        "Rule('a', 'min', 10, 'W', message='soft'), Rule('b', 'min', 10, 'S'),"
        " Rule('c', 'min', 10, 'B', max_threshold=5)");
    if (!policy) return;
    AuditOutcome out = evaluate(*policy, root.get());
    CHECK(out.kind == AuditOutcome::Kind::Interlock);
    CHECK_EQ(out.message, std::string("[input] Rule 'min' violated on 'b'. Value=2. Level S"));
    CHECK(log.texts() == std::vector<std::string>{"soft"});
    // The rule after the interlock was not checked: its counter never appeared.
    CHECK(!count_of(*policy, "p:c:min"));
    CHECK(count_of(*policy, "p:a:min") == std::optional<uint32_t>(0));
}

TEST(audit_custom_messages_replace_the_generated_text) {
    Ref root = py("", "{'v': 1}");
    std::optional<AuditPolicy> policy = policy_of("Rule('v', 'min', 10, 'B', message='Too small: {v}')");
    if (!policy) return;
    AuditOutcome out = evaluate(*policy, root.get());
    CHECK(out.kind == AuditOutcome::Kind::Block);
    CHECK_EQ(out.message, std::string("Too small: {v}"));

    std::optional<AuditPolicy> empty = policy_of("Rule('v', 'min', 10, 'A', message='')");
    if (!empty) return;
    out = evaluate(*empty, root.get());
    CHECK(out.kind == AuditOutcome::Kind::Interlock);
    CHECK_EQ(out.message, std::string());

    // The early warning keeps its own text even when the rule has a message.
    LogCapture log;
    std::optional<AuditPolicy> early = policy_of("Rule('v', 'min', 10, 'B', max_threshold=2, message='m')");
    if (!early) return;
    evaluate(*early, root.get());
    CHECK(log.texts() == std::vector<std::string>{"[EARLY WARNING] Rule 'min' violated on 'v'. Count: 1"});
}

TEST(audit_counters_are_shared_by_key_across_rules_and_phases) {
    LogCapture log;
    Ref root = py("", "{'v': 1}");
    std::optional<AuditPolicy> policy = build(
        "Recipe({'p': Audit(input_rules=[Rule('v', 'min', 10, max_threshold=5), Rule('v', 'min', 3, 'S', max_threshold=5)],"
        " output_rules=[Rule('v', 'min', 20, 'A', max_threshold=5)]),"
        " 'other': Audit(input_rules=[Rule('v', 'min', 10, max_threshold=5)])})");
    if (!policy) {
        harness::fail(__FILE__, __LINE__, take_error());
        return;
    }
    evaluate(*policy, root.get(), "input");  // two rules, one key
    CHECK(count_of(*policy, "p:v:min") == std::optional<uint32_t>(2));
    evaluate(*policy, root.get(), "output");
    CHECK(count_of(*policy, "p:v:min") == std::optional<uint32_t>(3));
    CHECK(policy->evaluate("other", "input", root.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(count_of(*policy, "other:v:min") == std::optional<uint32_t>(1));
    CHECK(log.texts() == (std::vector<std::string>{"[EARLY WARNING] Rule 'min' violated on 'v'. Count: 1",
                                                   "[EARLY WARNING] Rule 'min' violated on 'v'. Count: 2",
                                                   "[EARLY WARNING] Rule 'min' violated on 'v'. Count: 3",
                                                   "[EARLY WARNING] Rule 'min' violated on 'v'. Count: 1"}));
    // The fourth and fifth violations share the count: the second input rule trips.
    AuditOutcome out = evaluate(*policy, root.get(), "input");
    CHECK(out.kind == AuditOutcome::Kind::Interlock);
    CHECK(count_of(*policy, "p:v:min") == std::optional<uint32_t>(0));
}

TEST(audit_phase_selects_the_rule_map) {
    Ref root = py("", "{'v': 1}");
    std::optional<AuditPolicy> policy =
        build("Recipe({'p': Audit(input_rules=[Rule('v', 'min', 10, 'S')], output_rules=[Rule('v', 'min', 10, 'B')])})");
    if (!policy) return;
    struct Row {
        const char* phase;
        AuditOutcome::Kind kind;
    } rows[] = {{"input", AuditOutcome::Kind::Interlock}, {"Input", AuditOutcome::Kind::Block},
                {"output", AuditOutcome::Kind::Block},    {"", AuditOutcome::Kind::Block},
                {"input ", AuditOutcome::Kind::Block}};
    for (const Row& r : rows) {
        AuditOutcome out = evaluate(*policy, root.get(), r.phase);
        std::string want = std::string("[") + r.phase + "] Rule 'min' violated on 'v'. Value=1. Level " +
                           (r.kind == AuditOutcome::Kind::Interlock ? "S" : "B");
        if (out.kind != r.kind || out.message != want) harness::fail(__FILE__, __LINE__, std::string("phase '") + r.phase + "'");
    }
    // A process without rules touches nothing.
    CHECK(policy->evaluate("nobody", "input", root.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(!count_of(*policy, "nobody:v:min"));
}

TEST(audit_records_are_formatted_only_when_admitted) {
    Ref root = py("", "{'v': 1}");
    std::optional<AuditPolicy> policy = policy_of("Rule('v', 'min', 10, 'W', max_threshold=2)");
    if (!policy) return;
    {
        LogCapture log(klog::Level::Error);  // warnings not admitted
        evaluate(*policy, root.get());
        evaluate(*policy, root.get());
        CHECK(log.records.empty());
    }
    LogCapture log(klog::Level::Warn);
    evaluate(*policy, root.get());
    evaluate(*policy, root.get());
    CHECK(log.texts() == (std::vector<std::string>{"[EARLY WARNING] Rule 'min' violated on 'v'. Count: 1",
                                                   "[input] Rule 'min' violated on 'v'. Value=1. Level W"}));
    CHECK(all_audit_warnings(log));
}

TEST(audit_hostile_values_never_fail_evaluation) {
    UnraisableCapture hook;
    struct Row {
        const char* rule;
        const char* root;
        AuditOutcome::Kind kind;
        const char* message;
    } rows[] = {
        {"Rule('v', 'eq', 'x')", "{'v': BadStr()}", AuditOutcome::Kind::Block,
         "[input] Rule 'eq' violated on 'v'. Value=<unprintable BadStr object>. Level B"},
        {"Rule('v', 'eq', '<unprintable BadStr object>')", "{'v': BadStr()}", AuditOutcome::Kind::Pass, ""},
        {"Rule('v', 'min', 10)", "{'v': BadStr()}", AuditOutcome::Kind::Pass, ""},
        {"Rule('v', 'max', 10)", "{'v': LoudFloat(11.0)}", AuditOutcome::Kind::Block,
         "[input] Rule 'max' violated on 'v'. Value=<unprintable LoudFloat object>. Level B"},
        {"Rule('v', 'min_len', 1)", "{'v': BadLen()}", AuditOutcome::Kind::Pass, ""},
        {"Rule('v', 'min', 1)", "{'v': BadFloat()}", AuditOutcome::Kind::Pass, ""},
        {"Rule('v', 'max', 1)", "{'v': BadIndex()}", AuditOutcome::Kind::Pass, ""},
        {"Rule('x', 'neq', 'y')", "BadGetter()", AuditOutcome::Kind::Pass, ""},
        {"Rule('c.broken()', 'neq', 'y')", "{'c': Cart(1)}", AuditOutcome::Kind::Pass, ""},
        {"Rule('v.deep', 'neq', 'y')", "Interrupting()", AuditOutcome::Kind::Pass, ""},
    };
    for (const Row& r : rows) {
        std::optional<AuditPolicy> policy = policy_of(r.rule);
        Ref root = py("", r.root);
        if (!policy || !root) {
            harness::fail(__FILE__, __LINE__, std::string(r.rule) + " " + take_error());
            continue;
        }
        AuditOutcome out = evaluate(*policy, root.get());
        if (out.kind != r.kind || (r.kind != AuditOutcome::Kind::Pass && out.message != r.message))
            harness::fail(__FILE__, __LINE__, std::string(r.rule) + " over " + r.root + " gave " + kind_name(out.kind) +
                                                  " '" + out.message + "'");
    }
    // Each failing str() is reported once per use: the "eq" text, then the value text.
    CHECK_EQ(hook.count(), 4u);
}

TEST(audit_counter_saturates_at_the_32_bit_maximum) {
    LogCapture log;
    Ref root = py("", "{'v': 1}");
    std::optional<AuditPolicy> policy = policy_of("Rule('v', 'min', 10, 'B', max_threshold=4294967295)");
    if (!policy) return;
    const std::string key = "p:v:min";

    policy->set_violation_count_for_testing(key, 4294967293u);
    CHECK(evaluate(*policy, root.get()).kind == AuditOutcome::Kind::Pass);
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(4294967294u));
    CHECK(log.texts() == std::vector<std::string>{"[EARLY WARNING] Rule 'min' violated on 'v'. Count: 4294967294"});
    CHECK(evaluate(*policy, root.get()).kind == AuditOutcome::Kind::Block);  // reaches the maximum and trips
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(0));

    // Already at the top: the count stays there and trips instead of wrapping
    // to 0 and starting over with early warnings.
    policy->set_violation_count_for_testing(key, 4294967295u);
    CHECK(evaluate(*policy, root.get()).kind == AuditOutcome::Kind::Block);
    CHECK(count_of(*policy, key) == std::optional<uint32_t>(0));
    CHECK_EQ(log.records.size(), 1u);
}
