#pragma once
// Collects the logging channel's records for one test and restores the
// channel (level off, no-op receiver) when the test ends.
#include <string>
#include <string_view>
#include <vector>

#include "support/log.hpp"

namespace harness {

struct LogRecord {
    kestu::log::Level level;
    std::string target;
    std::string text;
};

struct LogCapture {
    std::vector<LogRecord> records;

    explicit LogCapture(kestu::log::Level max = kestu::log::Level::Trace) {
        kestu::log::set_receiver(&receive, this);
        kestu::log::set_max_level(max);
    }
    ~LogCapture() {
        kestu::log::set_max_level(kestu::log::Level::Off);
        kestu::log::set_receiver(nullptr, nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const LogRecord& r : records) out.push_back(r.text);
        return out;
    }
    // True when every record has this level and target.
    bool all(kestu::log::Level level, std::string_view target) const {
        for (const LogRecord& r : records)
            if (r.level != level || r.target != target) return false;
        return true;
    }

private:
    static void receive(void* ctx, kestu::log::Level level, std::string_view target, std::string_view text) {
        static_cast<LogCapture*>(ctx)->records.push_back({level, std::string(target), std::string(text)});
    }
};

}  // namespace harness
