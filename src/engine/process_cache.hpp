#pragma once
// What an engine keeps between runs about the processes it runs: the
// process found under a name, while the registry is unchanged, and the
// compiled form of the lists its contract held last time.
//
// Every run still reads the contract's `inputs`, `outputs` and `errors`, and
// `process._pop_contract` unless the function's watched __dict__ (3.12+) has
// not changed, so a replaced or changed contract takes effect at once; what
// it saves is the cost of those reads and of compiling again. An unchanged list is recognised by identity: a tuple of exact str
// cannot change, and a list is compared item by item with a snapshot of the
// exact str it held.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "../audit/policy.hpp"
#include "../guards/contract.hpp"
#include "../support/ref.hpp"

namespace kestu {

struct ContractPaths {
    Paths inputs;
    Paths outputs;
    Paths errors;
};

class ProcessCache {
public:
    // The process registered under `name` (new reference); KeyError
    // "Process '{name}' not found" when there is none.
    Ref process(std::string_view name);
    // The contract of the process last returned for `name`, read as a run
    // reads it: the same attributes in the same order, with the same errors
    // ("Process '{name}' usually needs @process decorator", conversions).
    ContractPaths contract(std::string_view name, PyObject* process);
    // The audit rules of the process last returned, for the input or the
    // output phase, or null: looked up once per process (the engine's
    // policy never changes).
    const RuleList* audit_rules(const AuditPolicy& policy, std::string_view name, bool input) {
        if (!last_->audited) {
            last_->audit[0] = policy.rules_for(name, "input");
            last_->audit[1] = policy.rules_for(name, "output");
            last_->audited = true;
        }
        return last_->audit[input ? 0 : 1];
    }
    // Visits the objects it keeps that may sit in a cycle (the engine's tp_traverse).
    int traverse(visitproc visit, void* arg) const;

    // For tests only: the process-wide cache's bytes of compiled lists.
    static size_t shared_bytes_for_testing() noexcept;

private:
    // One list: the tuple of exact str it was compiled from (the tuple read,
    // or a snapshot of a list's items), and the compiled form.
    struct Field {
        Ref source;
        Paths paths;
    };
    struct Slot {
        std::string name;
        uint64_t version = 0;
        PyObject* process = nullptr;  // borrowed: valid while the registry's version is `version`
        Field fields[3];              // inputs, outputs, errors
        // The process's __dict__ and its _pop_contract, as of dict_changes
        // (compat.hpp), for a plain function; empty otherwise.
        Ref func_dict;
        Ref contract;
        unsigned long long dict_changes = 0;
        bool audited = false;
        const RuleList* audit[2] = {nullptr, nullptr};
    };
    Slot& slot_for(std::string_view name) noexcept;
    static Paths compiled(Field& field, PyObject* value);

    static constexpr size_t kSlots = 8;  // a workflow's few processes each keep theirs
    Slot slots_[kSlots];
    Slot* last_ = nullptr;  // the slot of the last process() call
};

}  // namespace kestu
