// Screen columns from samples: the least and the greatest sample in each
// column, so a glitch one sample wide still shows however many samples
// share a pixel.  Works on board samples, not volts: the comparison is
// integer and the conversion is done once per column by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv318::analysis {

struct ColumnRange {
    std::int32_t min;
    std::int32_t max;  // min > max: no sample falls in this column
};

// Column c of `columns` takes samples [floor(c x n / columns),
// floor((c + 1) x n / columns)), so the columns split the samples as evenly
// as whole samples allow and every sample lands in exactly one column.
// `out` is the caller's, `columns` long.  When n < columns some columns are
// empty.
void decimate_columns(const std::int32_t* samples, std::size_t n, std::size_t columns, ColumnRange* out);

// The first sample of column c under that split.  In 64 bits: a screen's
// columns times any frame a program holds in memory stays far below 2^64.
inline std::size_t column_start(std::size_t c, std::size_t n, std::size_t columns) {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(c) * n / columns);
}

}  // namespace kv318::analysis
