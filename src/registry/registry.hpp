#pragma once
// The process-wide registry of processes by name. Created on first use,
// never cleared; each name has at most one entry.
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../support/ref.hpp"

namespace kestu {

// Stores `func` under `name`, replacing (and releasing, after unlocking) an
// earlier entry.
void register_process(std::string name, Ref func);
// A new reference to the entry, or an empty Ref. Never fails.
Ref get_process(std::string_view name);
// Every registered name, in no particular order.
std::vector<std::string> registered_names();
// Changes with every registration. While it is unchanged, every entry is
// the object it was, held by the registry.
uint64_t registry_version() noexcept;

}  // namespace kestu
