// The record batches of a collected parse: one for the plain tags of each block or save frame
// and one per loop, each led by five columns that say where its rows come from.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "collect/raw_model.hpp"
#include "export/arrow_stream.hpp"

namespace tessrin {

/// Where a frame sits in the parse: its block, and its save frame when it is one.
struct BatchOrigin {
  std::int32_t block_idx = 0;
  std::string_view block_name;
  std::optional<std::int32_t> frame_idx;
  std::optional<std::string_view> frame_name;
};

/// Loop id of the batch of plain tags.
inline constexpr std::string_view kScalarsLoopId = "__scalars__";

/// One batch of `rows` rows: the five leading columns, then one nullable utf8 column per tag.
/// `columns` runs parallel to `tags`; a null entry gives a column of nulls, and a column shorter
/// than `rows` is padded with nulls at its end. Throws ExportError (capacity) when text
/// outgrows 32-bit offsets, ExportError (invalid) when a column is longer than `rows`.
Batch make_batch(const BatchOrigin& origin, std::string_view loop_id,
                 std::span<const std::string_view> tags, std::span<const Column* const> columns,
                 std::int64_t rows);

/// The frame's batches in order: the plain tags' batch (if any), then one per loop with rows.
/// A loop whose tags hold lists of different lengths gets as many rows as its longest column.
/// Consumes the frame's values: packed columns move into Arrow without copying, so the frame
/// must not be read afterwards. Throws ExportError or std::bad_alloc.
std::vector<Batch> frame_to_batches(FrameData& frame, const BatchOrigin& origin);

}  // namespace tessrin
