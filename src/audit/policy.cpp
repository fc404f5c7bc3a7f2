// AuditPolicy: building the rules from a recipe object, and checking them.
//
// Building fails loudly (a bad rule rejects the whole policy); checking
// never fails: whatever the checked data does, evaluation ends in one of
// the three outcomes with no Python error left set.
#include "policy.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "../support/args.hpp"
#include "../support/error.hpp"
#include "../support/log.hpp"
#include "../support/names.hpp"
#include "../support/slot_reader.hpp"
#include "../support/text.hpp"

namespace kestu {
namespace {

constexpr std::string_view kAuditTarget = "kestu_core::audit";
// Whether anyone wants the audit's warnings, kept until logging's levels change.
log::CachedAnswer g_warning_wanted;

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

// Follows the rule's path from `root`; a null Ref means the value is
// missing (and `miss` says where). Every error met on the way is cleared.
Ref lookup_value(PyObject* root, const CompiledRule& rule, Miss& miss) {
    Ref current = Ref::borrow(root);
    for (size_t i = 0; i < rule.names.size(); ++i) {
        PyObject* name = rule.names[i].get();
        if (!name) return Ref();  // a segment no str could be made of
        Ref next = Ref::steal(PyObject_GetAttr(current.get(), name));
        if (rule.calls[i]) {
            if (next) next = Ref::steal(PyObject_CallNoArgs(next.get()));
        } else if (!next) {
            PyErr_Clear();
            next = Ref::steal(PyObject_GetItem(current.get(), name));
        }
        if (!next) {
            PyErr_Clear();
            miss.segment = i;
            miss.parent = std::move(current);
            return Ref();
        }
        current = std::move(next);
    }
    return current;
}

std::optional<double> operand_number(const RuleValue& v) {
    switch (v.kind) {
        case RuleValue::Kind::UInt: return static_cast<double>(v.u);
        case RuleValue::Kind::Int: return static_cast<double>(v.i);
        case RuleValue::Kind::Double: return v.d;
        default: return std::nullopt;
    }
}

// Whether the text of `actual` is `text`, as object_text() would spell it,
// without building a copy when `actual` is a str that has its UTF-8.
bool text_equals(PyObject* actual, std::string_view text) {
    if (PyUnicode_CheckExact(actual)) {
        Py_ssize_t len = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(actual, &len)) return std::string_view(s, static_cast<size_t>(len)) == text;
        PyErr_Clear();  // lone surrogates: spelt the slow way below
    }
    return object_text(actual) == text;
}

// True when `actual` violates the rule. A value that cannot be read the way
// the condition needs counts as a success (error cleared).
bool violates(const CompiledRule& rule, PyObject* actual) {
    using Check = CompiledRule::Check;
    switch (rule.check) {
        case Check::Eq:
        case Check::Neq: {
            bool same = text_equals(actual, rule.value.s);
            return rule.check == Check::Eq ? !same : same;
        }
        case Check::Min:
        case Check::Max: {
            double v = PyFloat_AsDouble(actual);
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            // Written as negations so that a NaN actual violates.
            return rule.check == Check::Min ? !(v >= rule.bound) : !(v <= rule.bound);
        }
        case Check::MinLen:
        case Check::MaxLen: {
            Py_ssize_t len = PyObject_Size(actual);
            if (len < 0) {
                PyErr_Clear();
                return false;
            }
            uint64_t n = static_cast<uint64_t>(len);
            return rule.check == Check::MinLen ? n < rule.value.u : n > rule.value.u;
        }
        case Check::Never: break;
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

// The rules read from a recipe, by process, for one phase.
using SpecMap = std::unordered_map<std::string, std::vector<RuleSpec>>;

CompiledRule compile_rule(const RuleSpec& spec) {
    CompiledRule rule;
    static_cast<RuleSpec&>(rule) = spec;
    std::string_view path = spec.target_field;
    for (size_t start = 0;;) {
        size_t dot = path.find('.', start);
        std::string_view segment = path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        bool call = segment.size() >= 2 && segment.ends_with("()");
        std::string_view attr = call ? segment.substr(0, segment.size() - 2) : segment;
        PyObject* name = PyUnicode_FromStringAndSize(attr.data(), static_cast<Py_ssize_t>(attr.size()));
        if (name) PyUnicode_InternInPlace(&name);
        else PyErr_Clear();  // looking the value up finds it missing there
        rule.names.push_back(Ref::steal(name));
        rule.calls.push_back(call ? 1 : 0);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    using Check = CompiledRule::Check;
    const std::string& c = spec.condition;
    const RuleValue& operand = spec.value;
    if (c == "eq" || c == "neq") {
        if (operand.kind == RuleValue::Kind::String) rule.check = c == "eq" ? Check::Eq : Check::Neq;
    } else if (c == "min" || c == "max") {
        if (std::optional<double> bound = operand_number(operand)) {
            rule.check = c == "min" ? Check::Min : Check::Max;
            rule.bound = *bound;
        }
    } else if (c == "min_len" || c == "max_len") {
        if (operand.kind == RuleValue::Kind::UInt) rule.check = c == "min_len" ? Check::MinLen : Check::MaxLen;
    }
    using Severity = CompiledRule::Severity;
    rule.severity = spec.level == "S" || spec.level == "A" ? Severity::Interlock
                    : spec.level == "B"                    ? Severity::Block
                                                           : Severity::Warn;
    return rule;
}

Shared<RuleBook> compile(const SpecMap& input, const SpecMap& output) {
    RuleBook book;
    std::unordered_map<std::string, uint32_t> counters;
    auto add = [&](const SpecMap& specs, RuleMap& rules) {
        for (const auto& [process, list] : specs) {
            RuleList& compiled = rules[process];
            compiled.reserve(list.size());
            for (const RuleSpec& spec : list) {
                CompiledRule rule = compile_rule(spec);
                // Rules with one key share its counter, whatever their phase.
                auto [at, added] = counters.try_emplace(counter_key(process, spec), static_cast<uint32_t>(counters.size()));
                if (added) book.counter_keys.push_back(at->first);
                rule.counter = at->second;
                rule.index = book.rules++;
                compiled.push_back(std::move(rule));
            }
        }
    };
    add(input, book.input);
    add(output, book.output);
    return Shared<RuleBook>::make(std::move(book));
}

// The rules of a recipe, read by attributes only.
std::pair<SpecMap, SpecMap> read_recipe(PyObject* recipe) {
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

    std::pair<SpecMap, SpecMap> rules;
    for (auto& [name, definition] : entries) {
        if (auto list = parse_rule_list(definition.get(), KNAME("input_rules"))) rules.first[name] = std::move(*list);
        if (auto list = parse_rule_list(definition.get(), KNAME("output_rules"))) rules.second[name] = std::move(*list);
    }
    return rules;
}

// Recipes read before, by identity, with every object their reading met:
// a recipe of the companion's frozen classes (whose fields are plain slots)
// whose reading met only values that cannot change (exact str, int, float,
// bool, None) is the same recipe as long as it holds the very same objects,
// so its compiled rules are shared instead of read and compiled again.
// Confirming that reads the slots directly (slot_reader.hpp); only learning
// a class the first time may run Python code. Process-wide, a few entries,
// never freed.
class RecipeMemo {
public:
    Shared<RuleBook> find(PyObject* recipe) {
        const Entry& e = entries_[index(recipe)];
        if (e.recipe.get() != recipe) return {};
        // Held for the walk: code run while a class is learnt may replace the
        // entry, and this record keeps alive what the walk compares with it.
        Shared<std::vector<Ref>> seen = e.seen;
        Shared<RuleBook> book = e.book;
        // A walk that learnt a class (a stamp went stale) may have run Python
        // code and proves nothing; the next one, with the classes known, does.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const uint64_t learnt = SlotReader::classes_learnt();
            Compare compare{seen->data(), seen->data() + seen->size()};
            bool same = walk(recipe, compare) && compare.next == compare.end;
            if (SlotReader::classes_learnt() == learnt) return same ? book : Shared<RuleBook>();
        }
        return {};
    }
    void remember(PyObject* recipe, const Shared<RuleBook>& book) {
        Record record;
        const uint64_t learnt = SlotReader::classes_learnt();
        if (!walk(recipe, record) || SlotReader::classes_learnt() != learnt) return;
        // The entry is whole before what it held is released.
        Entry& e = entries_[index(recipe)];
        Entry old = std::move(e);
        e = Entry{Ref::borrow(recipe), Shared<std::vector<Ref>>::make(std::move(record.seen)), book};
    }

private:
    // Every object met, in order (strong references: identities stay unique).
    struct Entry {
        Ref recipe;
        Shared<std::vector<Ref>> seen;
        Shared<RuleBook> book;
    };

    static bool fixed_value(PyObject* o) {
        return o == Py_None || PyBool_Check(o) || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o);
    }

    struct Record {
        std::vector<Ref> seen;
        bool see(PyObject* o) {
            seen.push_back(Ref::borrow(o));
            return true;
        }
        // A rule's fields: each set, and of a kind that cannot change.
        bool see_fields(PyObject* const* fields, size_t n) {
            for (size_t i = 0; i < n; ++i)
                if (!fields[i] || !fixed_value(fields[i]) || !see(fields[i])) return false;
            return true;
        }
    };
    struct Compare {
        const Ref* next;
        const Ref* end;
        bool see(PyObject* o) {
            if (next == end || next->get() != o) return false;
            ++next;
            return true;
        }
        bool see_fields(PyObject* const* fields, size_t n) {
            // A Ref is one pointer: the recorded fields compare as a block.
            static_assert(sizeof(Ref) == sizeof(PyObject*));
            if (static_cast<size_t>(end - next) < n || std::memcmp(next, fields, n * sizeof(PyObject*)) != 0) return false;
            next += n;
            return true;
        }
    };

    // Goes over what from_python reads, recording it or comparing it with
    // what was recorded; false at the first difference, or at anything that
    // is not of the kind described above. A dict that grew or shrank shows
    // as a difference too: the comparison runs past, or stops short of, what
    // was recorded; a tuple, the same object, holds the same rules.
    template <typename See>
    static bool walk(PyObject* recipe, See& see) {
        static SlotReader* const recipe_reader = new SlotReader({"definitions"});
        static SlotReader* const audit_reader = new SlotReader({"input_rules", "output_rules"});
        static SlotReader* const rule_reader = new SlotReader(
            {"target_field", "condition", "level", "min_threshold", "max_threshold", "reset_on_success", "message", "value"});
        // The slots are read directly and every key met is an exact str, so
        // only learning a class may run Python code. Nothing is used before
        // it is seen, and what is seen is held (by the record being made, or
        // by the one compared with), so such code frees nothing in use; after
        // it, a class is checked again.
        PyObject* definitions;
        if (!recipe_reader->read(recipe, &definitions) || !see.see(definitions) || !PyDict_CheckExact(definitions))
            return false;
        PyTypeObject* rule_type = nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(definitions, &pos, &key, &value)) {
            PyObject* lists[2];
            const uint64_t learnt = SlotReader::classes_learnt();
            if (!PyUnicode_CheckExact(key) || !see.see(key) || !see.see(value) || !audit_reader->read(value, lists))
                return false;
            if (SlotReader::classes_learnt() != learnt) rule_type = nullptr;
            for (PyObject* list : lists) {
                if (!see.see(list) || !PyTuple_CheckExact(list)) return false;
                for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(list); i < n; ++i) {
                    PyObject* rule = PyTuple_GET_ITEM(list, i);
                    // One check per class met: nothing runs between two rules of it.
                    if (Py_TYPE(rule) != rule_type) {
                        if (!rule_reader->block(rule)) return false;
                        rule_type = Py_TYPE(rule);
                    }
                    if (!see.see_fields(rule_reader->block_unchecked(rule), rule_reader->size())) return false;
                }
            }
        }
        return true;
    }

    static size_t index(PyObject* recipe) noexcept {
        uintptr_t id = reinterpret_cast<uintptr_t>(recipe);
        return ((id >> 4) ^ (id >> 12)) % kEntries;
    }
    static constexpr size_t kEntries = 8;
    Entry entries_[kEntries];
};

RecipeMemo& recipe_memo() {
    static RecipeMemo* const memo = new RecipeMemo();
    return *memo;
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

AuditPolicy::AuditPolicy(Shared<RuleBook> book) : book_(std::move(book)) {
    const size_t counters = book_->counter_keys.size();
    state_.assign(2 * counters + book_->rules, 0);
    counts_ = state_.data();
    counted_ = counts_ + counters;
    reported_ = counted_ + counters;
}

AuditPolicy AuditPolicy::from_python(PyObject* recipe) {
    RecipeMemo& memo = recipe_memo();
    if (Shared<RuleBook> known = memo.find(recipe)) return AuditPolicy(std::move(known));
    auto [input, output] = read_recipe(recipe);
    Shared<RuleBook> book = compile(input, output);
    memo.remember(recipe, book);
    return AuditPolicy(book);
}

const RuleList* AuditPolicy::rules_for(std::string_view process, std::string_view phase) const {
    const RuleMap& map = phase == "input" ? book_->input : book_->output;
    auto found = map.find(process);
    return found == map.end() ? nullptr : &found->second;
}

AuditOutcome AuditPolicy::evaluate(const RuleList& rules, std::string_view process, std::string_view phase,
                                   PyObject* root) {
    // The book never changes, so the loop walks it while user code runs.
    AuditOutcome outcome;
    for (const CompiledRule& rule : rules) {
        Miss miss;
        Ref actual = lookup_value(root, rule, miss);
        if (!actual && !reported_[rule.index]) {
            reported_[rule.index] = 1;
            outcome.unread.push_back(UnreadRule{rule, miss.segment, std::move(miss.parent)});
        }
        if (!actual || !violates(rule, actual.get())) {
            if (rule.reset_on_success && counted_[rule.counter]) counts_[rule.counter] = 0;
            continue;
        }

        counted_[rule.counter] = 1;
        uint32_t& count = counts_[rule.counter];
        // Saturate rather than wrap: a wrapped count would silently re-arm
        // the early warnings and postpone the trip.
        if (count != std::numeric_limits<uint32_t>::max()) ++count;
        const uint32_t n = count;
        const std::string text = object_text(actual.get());  // may run __str__

        if (n >= rule.max_threshold) {
            counts_[rule.counter] = 0;
            auto message = [&] {
                if (rule.message) return *rule.message;
                return "[" + std::string(phase) + "] Rule '" + rule.condition + "' violated on '" + rule.target_field +
                       "'. Value=" + text + ". Level " + rule.level;
            };
            if (rule.severity != CompiledRule::Severity::Warn) {
                outcome.kind = rule.severity == CompiledRule::Severity::Interlock ? AuditOutcome::Kind::Interlock
                                                                                  : AuditOutcome::Kind::Block;
                outcome.message = message();
                outcome.trip.reset(new AuditTrip{std::string(process), std::string(phase), rule, std::move(actual), n});
                return outcome;
            }
            log::emit(log::Level::Warn, kAuditTarget, g_warning_wanted, message);
        } else if (n >= rule.min_threshold) {
            log::emit(log::Level::Warn, kAuditTarget, g_warning_wanted, [&] {
                return "[EARLY WARNING] Rule '" + rule.condition + "' violated on '" + rule.target_field +
                       "'. Count: " + std::to_string(n);
            });
        }
    }
    return outcome;
}

std::unordered_map<std::string, uint32_t> AuditPolicy::violation_counts() const {
    std::unordered_map<std::string, uint32_t> out;
    for (size_t i = 0; i < book_->counter_keys.size(); ++i)
        if (counted_[i]) out.emplace(book_->counter_keys[i], counts_[i]);
    return out;
}

void AuditPolicy::set_violation_count_for_testing(const std::string& key, uint32_t count) {
    for (size_t i = 0; i < book_->counter_keys.size(); ++i) {
        if (book_->counter_keys[i] != key) continue;
        counted_[i] = 1;
        counts_[i] = count;
    }
}

}  // namespace kestu
