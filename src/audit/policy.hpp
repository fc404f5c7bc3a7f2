#pragma once
// AuditPolicy: rules checked around every process run, per process and
// phase, with violation counters that persist for the owning engine's life.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../support/ref.hpp"

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

struct RuleSpec {
    std::string target_field;
    std::string condition;
    std::string level;
    uint32_t min_threshold = 0;
    uint32_t max_threshold = 1;
    bool reset_on_success = true;
    std::optional<std::string> message;
    RuleValue value;
    // Set on the policy's own rule once its path was reported unreadable.
    bool unread_reported = false;
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
    using RuleMap = std::unordered_map<std::string, std::vector<RuleSpec>>;

    // Reads the recipe by attributes only; throws py_error (the Python
    // exception set) when it cannot be used. Never returns a partial policy.
    static AuditPolicy from_python(PyObject* recipe);
    static RuleSpec parse_rule(PyObject* rule);
    static RuleValue py_to_json(PyObject* value) noexcept;

    // Checks the rules of `process` for `phase` ("input" selects the input
    // rules, anything else the output rules) against `root`. Never fails;
    // exceptions of user code met on the way are swallowed.
    AuditOutcome evaluate(std::string_view process, std::string_view phase, PyObject* root);

    const RuleMap& input_rules() const noexcept { return input_rules_; }
    const RuleMap& output_rules() const noexcept { return output_rules_; }
    const std::unordered_map<std::string, uint32_t>& violation_counts() const noexcept { return violation_counts_; }

    // For tests only: puts a counter where reaching it by evaluation alone
    // would take billions of calls.
    void set_violation_count_for_testing(const std::string& key, uint32_t count);

private:
    RuleMap input_rules_;
    RuleMap output_rules_;
    std::unordered_map<std::string, uint32_t> violation_counts_;
};

}  // namespace kestu
