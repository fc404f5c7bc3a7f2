#pragma once
// RunRecord: one DEBUG record per process run on "kestu_core::engine", with
// the process, what became of the run, how long it took and what it wrote.
//
// Whether anyone wants the record is asked when the run starts, and answered
// from the last answer until the logging setup changes: with logging at its
// default level a run pays for reading that answer.
#include <Python.h>

#include <chrono>
#include <string_view>

#include "../support/log.hpp"

namespace kestu {

inline constexpr std::string_view kEngineTarget = "kestu_core::engine";
// Whether the record is wanted, kept until the logging setup changes.
inline log::CachedAnswer g_run_record_wanted;

class RunRecord {
public:
    // `process` must stay valid for the whole run.
    RunRecord(std::string_view process, bool strict) noexcept
        : process_(process), strict_(strict),
          wanted_(log::wanted_cached(log::Level::Debug, kEngineTarget, g_run_record_wanted)) {
        if (wanted_) start_ = std::chrono::steady_clock::now();
    }
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;
    // A run that did not reach succeeded() is leaving by an exception.
    ~RunRecord() {
        if (wanted_) failed();
    }
    // The run returned; `tx` (null when not strict) holds what it wrote.
    void succeeded(PyObject* tx) noexcept {
        if (!wanted_) return;
        wanted_ = false;
        emit_success(tx);
    }

private:
    void failed() noexcept;
    void emit_success(PyObject* tx) noexcept;

    std::string_view process_;
    bool strict_;
    bool wanted_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kestu
