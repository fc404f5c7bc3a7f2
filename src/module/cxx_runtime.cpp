// libstdc++'s throw helpers, replaced for the module only.
//
// The module carries the C++ runtime inside it (linked statically), so that a
// wheel runs on systems with an older libstdc++. The library's own helpers
// would pull in its exception classes, whose reference-counted strings need a
// much newer C library than the rest of the module does. In this core each
// of these signals exhausted memory or a broken invariant; the entry wrapper
// turns them into MemoryError or SystemError.
#include <new>
#include <string>

namespace {
struct broken_invariant {};  // reaches the entry wrapper's catch (...)
}  // namespace

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_alloc(); }
// More than max_size() elements: no allocation could satisfy it.
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_logic_error(const char*) { throw broken_invariant{}; }
void __throw_out_of_range_fmt(const char*, ...) { throw broken_invariant{}; }
void __throw_system_error(int) { throw broken_invariant{}; }

}  // namespace std
