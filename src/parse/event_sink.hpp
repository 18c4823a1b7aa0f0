// The event interface between the parser and its consumers.
//
// The parser reports everything it recognises as a flat sequence of calls on a sink. Texts are
// borrowed views valid only during the call; a sink copies what it keeps. Value kinds are 0..6
// in the order of the companion package's ValueType (never 7). No call returns anything to the
// parser, and a failing sink keeps its failure to itself and ignores what follows.
//
// Positions: the events a collector checks (block and frame headers, tags, loop headers) say
// where their token begins, so that a problem found later can point at its cause. A tag the
// parser supplies for a stray value (guarantee 6 below) stands where that value does.
//
// Ordering guarantees every sink may rely on:
//  1. Every on_save_frame_start is matched by one on_save_frame_end before the next frame
//     start, the next data block and the end of the stream. Save frames never nest.
//  2. Every on_loop_start is matched by one on_loop_end before the next add_tag, loop, block,
//     or frame event and before the end. Between them come only values, lists, tables, table
//     keys and diagnostics. Loops never nest.
//  3. Lists and tables nest to any depth and are properly bracketed, all closed before
//     on_loop_end, add_tag, any block, frame or loop event, and the end of the stream.
//  4. Inside a table each on_table_key is followed by exactly one value (scalar, list or
//     table) before the next key or the table's end; a container in key position arrives
//     without a key.
//  5. Outside loops and containers each add_tag is followed by exactly one value; when the
//     input lacks it the parser supplies "?" (kind 6) after a diagnostic.
//  6. A value without a tag is preceded by add_tag("_tessrin_error_value").
//  7. on_parse_error may come at any point.
//  8. Version-detection diagnostics come before every parser event.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>

namespace tessrin {

/// Where a token begins: line and column (in characters) from 1, as diagnostics count them.
struct SourcePosition {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

template <class S>
concept EventSink = requires(S& sink, std::string_view text, std::uint8_t kind,
                             std::span<const std::string_view> tags,
                             std::span<const SourcePosition> tag_positions, SourcePosition at,
                             std::uint32_t n) {
  // Called when a data block begins (name after "data_", case as written, maybe empty), at
  // the header.
  {sink.on_data_block(text, at)};
  // Called when a save frame begins (name after "save_", never empty), at the header.
  {sink.on_save_frame_start(text, at)};
  // Called when the open save frame ends.
  {sink.on_save_frame_end()};
  // Called with a data name as written and where it stands; the next value, list or table
  // belongs to it.
  {sink.add_tag(text, at)};
  // Called with one scalar value and its kind.
  {sink.add_value(text, kind)};
  // Called with a loop header (at least one tag), where each tag stands and where the loop_
  // keyword does; values then fill it row by row.
  {sink.on_loop_start(tags, tag_positions, at)};
  // Called when the open loop ends.
  {sink.on_loop_end()};
  // Called when a list begins; it stands where one value could.
  {sink.on_list_start()};
  // Called when the innermost list ends.
  {sink.on_list_end()};
  // Called when a table begins; it stands where one value could.
  {sink.on_table_start()};
  // Called with the key (and its kind) of the innermost table's next value.
  {sink.on_table_key(text, kind)};
  // Called when the innermost table ends.
  {sink.on_table_end()};
  // Called with one diagnostic: error type, message, line, column, context, recovery action.
  {sink.on_parse_error(text, text, n, n, text, text)};
};

}  // namespace tessrin
