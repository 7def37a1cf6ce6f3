// The transpose of an adjacency held as rows of column numbers, by a counting sort.
//
// On a team the rows are cut into one contiguous part per thread, of about as many entries
// each. Every part counts its columns; a column's entries then start with those of the first
// part, then the second, and so on, so each part fills its own slots and every column lists
// its rows ascending, exactly as the sequential sort does. A part goes through its rows in
// slices: each job runs every part's next slice, and the caller polls for interruptions
// between jobs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "../boundary/interrupt.hpp"
#include "arrays.hpp"
#include "parallel.hpp"

namespace cpp_functions {

// Row r lists the columns targets[offsets[r] .. offsets[r+1]), each below `columns`. Fills
// t_offsets and t_targets so that row c of the transpose lists value(r) for the rows r that
// hold column c, ascending (the rows are scanned in order), once per time they hold it, and
// then leaves `spare` entries unwritten: row c is [t_offsets[c], t_offsets[c+1] - spare).
// counted(t_offsets) runs once the rows' lengths are known, before any value is asked for, and
// placed(p, c, at) once entry p of `targets` (column c) is written at t_targets[at]; a part's
// entries are placed in the order of `targets`. Runs on up
// to `team` threads where the per-part counts stay small beside the entries.
template <typename T, typename Counted, typename Value, typename Placed>
void transpose(const call_array<std::size_t>& offsets, const call_array<std::uint32_t>& targets,
               std::size_t columns, std::size_t spare, call_array<std::size_t>& t_offsets,
               call_array<T>& t_targets, int team, const Counted& counted, const Value& value,
               const Placed& placed) {
  constexpr std::size_t entries_per_part = 1 << 15;   // fewer entries a part are not worth a thread
  constexpr std::size_t entries_per_column = 4;       // per part: its counts take a pass over all columns
  constexpr std::size_t entries_per_slice = 1 << 18;  // of a part, in one job: a few milliseconds
  const std::size_t rows = offsets.size() - 1;
  const std::size_t parts = std::max<std::size_t>(
      1,
      std::min<std::size_t>(
          {static_cast<std::size_t>(std::max(team, 1)), targets.size() / entries_per_part,
           targets.size() / (entries_per_column * (columns + 1))}));  // counting costs little beside filling
  t_targets.resize(targets.size() + spare * columns);
  // Part k takes the rows from first_row[k]: the first row at or after k / parts of the entries.
  std::vector<std::size_t> first_row(parts + 1, rows);
  for (std::size_t k = 0; k < parts; ++k)
    first_row[k] = static_cast<std::size_t>(
        std::lower_bound(offsets.begin(), offsets.end() - 1, targets.size() * k / parts) - offsets.begin());
  // Slice j of part k: its rows that start in its j-th run of entries_per_slice entries.
  std::size_t longest = 0;
  for (std::size_t k = 0; k < parts; ++k)
    longest = std::max(longest, offsets[first_row[k + 1]] - offsets[first_row[k]]);
  const std::size_t slices = std::max<std::size_t>(1, (longest + entries_per_slice - 1) / entries_per_slice);
  const auto row_at = [&](std::size_t k, std::size_t j) {
    if (j >= slices) return first_row[k + 1];
    const auto from = offsets.begin() + static_cast<std::ptrdiff_t>(first_row[k]);
    const auto to = offsets.begin() + static_cast<std::ptrdiff_t>(first_row[k + 1]);
    return static_cast<std::size_t>(
        std::lower_bound(from, to, offsets[first_row[k]] + j * entries_per_slice) - offsets.begin());
  };
  const auto by_slices = [&](const auto& rows) {
    for (std::size_t j = 0; j < slices; ++j) {
      if (j != 0) poll_interrupt();
      parallel_chunks(parts, team, [&](std::size_t k, int) { rows(k, j, row_at(k, j), row_at(k, j + 1)); });
    }
  };
  std::vector<std::vector<std::size_t>> fill(parts);
  by_slices([&](std::size_t k, std::size_t j, std::size_t first, std::size_t last) {
    if (j == 0) fill[k].assign(columns, 0);  // by the part's thread, which faults its pages in
    for (std::size_t p = offsets[first]; p < offsets[last]; ++p) ++fill[k][targets[p]];
  });
  // Column c's entries: part 0's first, at t_offsets[c]; fill[k][c] becomes part k's first slot.
  t_offsets.resize(columns + 1);
  t_offsets[0] = 0;
  interrupt_ticker ticker{1 << 14};
  for (std::size_t c = 0; c < columns; ++c) {
    ticker.tick();
    std::size_t at = t_offsets[c];
    for (std::size_t k = 0; k < parts; ++k) {
      const std::size_t count = fill[k][c];
      fill[k][c] = at;
      at += count;
    }
    t_offsets[c + 1] = at + spare;
  }
  counted(static_cast<const call_array<std::size_t>&>(t_offsets));
  by_slices([&](std::size_t k, std::size_t, std::size_t first, std::size_t last) {
    std::vector<std::size_t>& slot = fill[k];
    for (std::size_t r = first; r < last; ++r) {
      const T entry = value(r);
      for (std::size_t p = offsets[r]; p < offsets[r + 1]; ++p) {
        const std::uint32_t column = targets[p];
        const std::size_t at = slot[column]++;
        t_targets[at] = entry;
        placed(p, column, at);
      }
    }
  });
}

// The transpose whose entries are the row numbers.
inline void transpose(const call_array<std::size_t>& offsets, const call_array<std::uint32_t>& targets,
                      std::size_t columns, call_array<std::size_t>& t_offsets,
                      call_array<std::uint32_t>& t_targets, int team = 1) {
  transpose(
      offsets, targets, columns, 0, t_offsets, t_targets, team, [](const call_array<std::size_t>&) {},
      [](std::size_t r) { return static_cast<std::uint32_t>(r); },
      [](std::size_t, std::uint32_t, std::size_t) {});
}

}  // namespace cpp_functions
