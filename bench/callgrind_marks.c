/* Marks around one measured region for the instruction-count mode: the
 * bench zeroes callgrind's counters before a region and dumps them after it.
 * Outside valgrind the client requests do nothing. */
#include <valgrind/callgrind.h>

void kestu_bench_begin(void) {
    CALLGRIND_ZERO_STATS;
}

void kestu_bench_end(void) {
    CALLGRIND_DUMP_STATS;
}
