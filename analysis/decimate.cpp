#include "decimate.h"

#include <algorithm>
#include <limits>

namespace kv318::analysis {

void decimate_columns(const std::int32_t* samples, std::size_t n, std::size_t columns, ColumnRange* out) {
    if (columns == 0) return;
    std::size_t from = 0;
    for (std::size_t c = 0; c < columns; ++c) {
        const std::size_t to = column_start(c + 1, n, columns);
        std::int32_t lo = std::numeric_limits<std::int32_t>::max();
        std::int32_t hi = std::numeric_limits<std::int32_t>::min();
        // Two independent reductions: the compiler vectorises both.
        for (std::size_t i = from; i < to; ++i) {
            lo = std::min(lo, samples[i]);
            hi = std::max(hi, samples[i]);
        }
        out[c] = {lo, hi};
        from = to;
    }
}

}  // namespace kv318::analysis
