// AuditPolicy: building the rules from a recipe object, and checking them.
//
// Building fails loudly (a bad rule rejects the whole policy); checking
// never fails: whatever the checked data does, evaluation ends in one of
// the three outcomes with no Python error left set.
#include "policy.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/log.hpp"
#include "../support/names.hpp"
#include "../support/text.hpp"

namespace kestu {
namespace {

constexpr std::string_view kAuditTarget = "kestu_core::audit";

Ref get_attr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }

// An unsigned 32-bit count through __index__, or nothing (error cleared).
std::optional<uint32_t> to_u32(PyObject* o) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) {
        PyErr_Clear();
        return std::nullopt;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred()) {  // negative or too large
        PyErr_Clear();
        return std::nullopt;
    }
    if (v > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(v);
}

// Only False (or a NumPy false) turns the reset off.
bool reset_flag(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (!is_bool_like(o)) return true;
    try {
        return to_bool(o, nullptr);
    } catch (const py_error&) {
        PyErr_Clear();
        return true;
    }
}

std::optional<std::string> message_of(PyObject* o) {
    if (!PyUnicode_Check(o)) return std::nullopt;
    try {
        return to_string(o, nullptr);
    } catch (const py_error&) {  // lone surrogates: treated as not a usable str
        PyErr_Clear();
        return std::nullopt;
    }
}

// The rules of one `input_rules`/`output_rules` value, or nothing when the
// value is not a usable sequence (that is not an error). A bad rule inside
// a usable sequence throws.
std::optional<std::vector<RuleSpec>> parse_rule_list(PyObject* definition, PyObject* attr) {
    Ref seq = Ref::steal(PyObject_GetAttr(definition, attr));
    if (!seq || PyUnicode_Check(seq.get()) || !PySequence_Check(seq.get())) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::vector<RuleSpec> rules;
    Py_ssize_t hint = PySequence_Size(seq.get());
    if (hint < 0) PyErr_Clear();  // the length is only a hint
    else rules.reserve(static_cast<size_t>(hint));
    Ref it = Ref::steal(PyObject_GetIter(seq.get()));
    if (!it) {
        PyErr_Clear();
        return std::nullopt;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) rules.push_back(AuditPolicy::parse_rule(item.get()));
    if (PyErr_Occurred()) {  // the iteration itself failed: the whole list is unusable
        PyErr_Clear();
        return std::nullopt;
    }
    return rules;
}

// Where a lookup led nowhere: the segment's index and the object it was
// looked up on.
struct Miss {
    size_t segment = 0;
    Ref parent;
};

// Follows `path` from `root`; a null Ref means the value is missing (and
// `miss` says where). Every error met on the way is cleared.
Ref lookup_value(PyObject* root, std::string_view path, Miss& miss) {
    Ref current = Ref::borrow(root);
    size_t start = 0;
    for (size_t segment_index = 0;; ++segment_index) {
        size_t dot = path.find('.', start);
        std::string_view segment = path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        bool call = segment.size() >= 2 && segment.ends_with("()");
        std::string_view attr = call ? segment.substr(0, segment.size() - 2) : segment;
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(attr.data(), static_cast<Py_ssize_t>(attr.size())));
        if (!name) {
            PyErr_Clear();
            return Ref();
        }
        Ref next = Ref::steal(PyObject_GetAttr(current.get(), name.get()));
        if (call) {
            if (next) next = Ref::steal(PyObject_CallNoArgs(next.get()));
        } else if (!next) {
            PyErr_Clear();
            next = Ref::steal(PyObject_GetItem(current.get(), name.get()));
        }
        if (!next) {
            PyErr_Clear();
            miss.segment = segment_index;
            miss.parent = std::move(current);
            return Ref();
        }
        current = std::move(next);
        if (dot == std::string_view::npos) return current;
        start = dot + 1;
    }
}

std::optional<double> operand_number(const RuleValue& v) {
    switch (v.kind) {
        case RuleValue::Kind::UInt: return static_cast<double>(v.u);
        case RuleValue::Kind::Int: return static_cast<double>(v.i);
        case RuleValue::Kind::Double: return v.d;
        default: return std::nullopt;
    }
}

// True when `actual` violates the rule. A value that cannot be read the way
// the condition needs counts as a success (error cleared).
bool violates(const RuleSpec& rule, PyObject* actual) {
    const std::string& cond = rule.condition;
    const RuleValue& operand = rule.value;
    if (cond == "eq" || cond == "neq") {
        if (operand.kind != RuleValue::Kind::String) return false;
        bool same = object_text(actual) == operand.s;
        return cond == "eq" ? !same : same;
    }
    if (cond == "min" || cond == "max") {
        std::optional<double> bound = operand_number(operand);
        if (!bound) return false;
        double v = PyFloat_AsDouble(actual);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        // Written as negations so that a NaN actual violates.
        return cond == "min" ? !(v >= *bound) : !(v <= *bound);
    }
    if (cond == "min_len" || cond == "max_len") {
        if (operand.kind != RuleValue::Kind::UInt) return false;
        Py_ssize_t len = PyObject_Size(actual);
        if (len < 0) {
            PyErr_Clear();
            return false;
        }
        uint64_t n = static_cast<uint64_t>(len);
        return cond == "min_len" ? n < operand.u : n > operand.u;
    }
    return false;
}

std::string counter_key(std::string_view process, const RuleSpec& rule) {
    std::string key;
    key.reserve(process.size() + rule.target_field.size() + rule.condition.size() + 2);
    key.append(process);
    key += ':';
    key += rule.target_field;
    key += ':';
    key += rule.condition;
    return key;
}

}  // namespace

RuleValue AuditPolicy::py_to_json(PyObject* o) noexcept {
    RuleValue out;
    try {
        if (o == Py_None) return out;
        if (is_bool_like(o)) {
            try {
                out.kind = RuleValue::Kind::Bool;
                out.b = to_bool(o, nullptr);
                return out;
            } catch (const py_error&) {
                // A NumPy-named type without a truth slot: not a boolean after all.
                PyErr_Clear();
                out.kind = RuleValue::Kind::Null;
            }
        }
        long long i = PyLong_AsLongLong(o);
        if (i == -1 && PyErr_Occurred()) {
            PyErr_Clear();
        } else {
            if (i >= 0) {
                out.kind = RuleValue::Kind::UInt;
                out.u = static_cast<uint64_t>(i);
            } else {
                out.kind = RuleValue::Kind::Int;
                out.i = static_cast<int64_t>(i);
            }
            return out;
        }
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
        } else {
            if (std::isfinite(d)) {
                out.kind = RuleValue::Kind::Double;
                out.d = d;
            }
            return out;
        }
        out.kind = RuleValue::Kind::String;
        out.s = PyUnicode_Check(o) ? utf8_lossy(o) : object_text(o);
        return out;
    } catch (...) {
        // Out of memory while copying text: the operand degrades to null.
        PyErr_Clear();
        return RuleValue{};
    }
}

RuleSpec AuditPolicy::parse_rule(PyObject* rule) {
    RuleSpec spec;
    spec.target_field = to_string(get_attr(rule, KNAME("target_field")).get(), nullptr);
    spec.condition = to_string(get_attr(rule, KNAME("condition")).get(), nullptr);
    spec.level = to_string(get_attr(rule, KNAME("level")).get(), nullptr);
    spec.min_threshold = to_u32(get_attr(rule, KNAME("min_threshold")).get()).value_or(0);
    spec.max_threshold = to_u32(get_attr(rule, KNAME("max_threshold")).get()).value_or(1);
    spec.reset_on_success = reset_flag(get_attr(rule, KNAME("reset_on_success")).get());
    spec.message = message_of(get_attr(rule, KNAME("message")).get());
    spec.value = py_to_json(get_attr(rule, KNAME("value")).get());
    return spec;
}

AuditPolicy AuditPolicy::from_python(PyObject* recipe) {
    Ref definitions = get_attr(recipe, KNAME("definitions"));
    require_dict(definitions.get(), nullptr);
    // Convert the whole map first, so a non-str key fails before any rule
    // is read. Nothing here runs Python code, so PyDict_Next is safe.
    std::vector<std::pair<std::string, Ref>> entries;
    entries.reserve(static_cast<size_t>(PyDict_GET_SIZE(definitions.get())));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(definitions.get(), &pos, &key, &value))
        entries.emplace_back(to_string(key, nullptr), Ref::borrow(value));

    AuditPolicy policy;
    for (auto& [name, definition] : entries) {
        if (auto rules = parse_rule_list(definition.get(), KNAME("input_rules"))) policy.input_rules_[name] = std::move(*rules);
        if (auto rules = parse_rule_list(definition.get(), KNAME("output_rules"))) policy.output_rules_[name] = std::move(*rules);
    }
    return policy;
}

AuditOutcome AuditPolicy::evaluate(std::string_view process, std::string_view phase, PyObject* root) {
    RuleMap& map = phase == "input" ? input_rules_ : output_rules_;
    auto found = map.find(std::string(process));
    AuditOutcome outcome;
    if (found == map.end()) return outcome;
    // A copy: user code runs between rules, and nothing it does may pull the
    // list out from under the loop. The maps themselves never change once
    // built, so the policy's own rules stay where they are.
    std::vector<RuleSpec>& own = found->second;
    const std::vector<RuleSpec> rules = own;

    for (size_t i = 0; i < rules.size(); ++i) {
        const RuleSpec& rule = rules[i];
        Miss miss;
        Ref actual = lookup_value(root, rule.target_field, miss);
        if (!actual && !own[i].unread_reported) {
            own[i].unread_reported = true;
            outcome.unread.push_back(UnreadRule{rule, miss.segment, std::move(miss.parent)});
        }
        if (!actual || !violates(rule, actual.get())) {
            if (rule.reset_on_success && !violation_counts_.empty()) {
                auto count = violation_counts_.find(counter_key(process, rule));
                if (count != violation_counts_.end()) count->second = 0;
            }
            continue;
        }

        std::string key = counter_key(process, rule);
        uint32_t& slot = violation_counts_[key];
        // Saturate rather than wrap: a wrapped count would silently re-arm
        // the early warnings and postpone the trip.
        if (slot != std::numeric_limits<uint32_t>::max()) ++slot;
        const uint32_t n = slot;
        const std::string text = object_text(actual.get());  // may run __str__

        if (n >= rule.max_threshold) {
            violation_counts_[key] = 0;
            auto message = [&] {
                if (rule.message) return *rule.message;
                return "[" + std::string(phase) + "] Rule '" + rule.condition + "' violated on '" + rule.target_field +
                       "'. Value=" + text + ". Level " + rule.level;
            };
            bool interlock = rule.level == "S" || rule.level == "A";
            if (interlock || rule.level == "B") {
                outcome.kind = interlock ? AuditOutcome::Kind::Interlock : AuditOutcome::Kind::Block;
                outcome.message = message();
                outcome.trip.reset(new AuditTrip{std::string(process), std::string(phase), rule, std::move(actual), n});
                return outcome;
            }
            log::emit(log::Level::Warn, kAuditTarget, message);
        } else if (n >= rule.min_threshold) {
            log::emit(log::Level::Warn, kAuditTarget, [&] {
                return "[EARLY WARNING] Rule '" + rule.condition + "' violated on '" + rule.target_field +
                       "'. Count: " + std::to_string(n);
            });
        }
    }
    return outcome;
}

void AuditPolicy::set_violation_count_for_testing(const std::string& key, uint32_t count) {
    violation_counts_[key] = count;
}

}  // namespace kestu
