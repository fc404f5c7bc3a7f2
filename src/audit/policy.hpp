#pragma once
// AuditPolicy: rules checked around every process run, per process and
// phase, with violation counters that persist for the owning engine's life.
//
// The rules read from a recipe are compiled once into a RuleBook (each
// rule's path split into name objects, its condition and level decoded, its
// counter numbered) that never changes and that every engine built from the
// same recipe object shares, as long as the recipe is confirmed unchanged.
// What a policy changes (its counters, which unreadable rules it reported)
// is its own.
#include <Python.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../support/ref.hpp"
#include "../support/shared.hpp"
#include "../support/text_hash.hpp"

namespace kestu {

// A JSON-style operand; only these variants arise.
struct RuleValue {
    enum class Kind { Null, Bool, UInt, Int, Double, String };
    Kind kind = Kind::Null;
    bool b = false;
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0.0;
    std::string s;
};

// One rule as read from the recipe.
struct RuleSpec {
    std::string target_field;
    std::string condition;
    std::string level;
    uint32_t min_threshold = 0;
    uint32_t max_threshold = 1;
    bool reset_on_success = true;
    std::optional<std::string> message;
    RuleValue value;
};

// A rule as checked: what checking it needs, worked out once.
struct CompiledRule : RuleSpec {
    enum class Check : uint8_t { Eq, Neq, Min, Max, MinLen, MaxLen, Never };
    enum class Severity : uint8_t { Interlock, Block, Warn };
    std::vector<Ref> names;     // the attribute names along target_field
    std::vector<uint8_t> calls;  // 1 where the segment ends in "()"
    Check check = Check::Never;
    Severity severity = Severity::Warn;
    double bound = 0.0;    // the min/max operand as a number
    uint32_t counter = 0;  // the index of the counter its key names
    uint32_t index = 0;    // the index of the rule among all of the book's
};

using RuleList = std::vector<CompiledRule>;
using RuleMap = std::unordered_map<std::string, RuleList, TextHash, std::equal_to<>>;

// Everything read from one recipe, compiled. Immutable once built.
struct RuleBook {
    RuleMap input;
    RuleMap output;
    std::vector<std::string> counter_keys;  // by counter index
    uint32_t rules = 0;
};

// The rule behind an Interlock or a Block, for the error the engine raises.
struct AuditTrip {
    std::string process;
    std::string phase;
    RuleSpec rule;
    Ref value;  // the actual value read
    uint32_t count = 0;
};

// A rule whose path led nowhere, the first time it did (per rule and policy).
struct UnreadRule {
    RuleSpec rule;
    size_t segment = 0;  // the first path segment that could not be read
    Ref parent;          // the object it was looked up on
};

struct AuditOutcome {
    enum class Kind { Pass, Interlock, Block };
    Kind kind = Kind::Pass;
    std::string message;
    std::unique_ptr<AuditTrip> trip;  // with Interlock and Block
    std::vector<UnreadRule> unread;
};

class AuditPolicy {
public:
    AuditPolicy(AuditPolicy&&) noexcept = default;
    AuditPolicy& operator=(AuditPolicy&&) noexcept = default;
    AuditPolicy(const AuditPolicy&) = delete;  // its counters point into its own state
    AuditPolicy& operator=(const AuditPolicy&) = delete;

    // Reads the recipe by attributes only; throws py_error (the Python
    // exception set) when it cannot be used. Never returns a partial policy.
    // A recipe object read before, and confirmed to hold the very same
    // objects, is not read again.
    static AuditPolicy from_python(PyObject* recipe);
    static RuleSpec parse_rule(PyObject* rule);
    static RuleValue py_to_json(PyObject* value) noexcept;

    // The rules of `process` for a phase ("input" selects the input rules,
    // anything else the output rules), or null when it has none. Valid for
    // the policy's life.
    const RuleList* rules_for(std::string_view process, std::string_view phase) const;

    // Checks `rules` (the process's rules for `phase`) against `root`. Never
    // fails; exceptions of user code met on the way are swallowed.
    AuditOutcome evaluate(const RuleList& rules, std::string_view process, std::string_view phase, PyObject* root);
    AuditOutcome evaluate(std::string_view process, std::string_view phase, PyObject* root) {
        const RuleList* rules = rules_for(process, phase);
        return rules ? evaluate(*rules, process, phase, root) : AuditOutcome{};
    }

    const RuleMap& input_rules() const noexcept { return book_->input; }
    const RuleMap& output_rules() const noexcept { return book_->output; }
    // The counters that exist, by key (a counter exists once a violation
    // made it; a success never creates one).
    std::unordered_map<std::string, uint32_t> violation_counts() const;

    // For tests only: puts a counter where reaching it by evaluation alone
    // would take billions of calls.
    void set_violation_count_for_testing(const std::string& key, uint32_t count);

private:
    explicit AuditPolicy(Shared<RuleBook> book);

    Shared<RuleBook> book_;
    // One block: the counts by counter index, whether each counter exists,
    // and by rule index whether its unreadable path was reported.
    std::vector<uint32_t> state_;
    uint32_t* counts_ = nullptr;
    uint32_t* counted_ = nullptr;
    uint32_t* reported_ = nullptr;
};

}  // namespace kestu
