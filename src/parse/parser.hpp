// The recovering parser: one pass over the tokens, driving an event sink. Every malformed
// construct becomes a diagnostic and a repair; only "global_" stops the parse.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parse/error.hpp"
#include "parse/event_sink.hpp"
#include "text/lexer.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace tessrin {

/// Tag that receives values which have no tag of their own.
inline constexpr std::string_view kErrorValueTag = "_tessrin_error_value";

/// Table key under which collection keeps, as one list, the containers a table holds without
/// a key. Line ends reach the lexer as line feeds only, so no key read from a file holds a CR.
inline constexpr std::string_view kKeylessKey = "\r_tessrin_keyless";

namespace parser_detail {

/// The reason text in implicit-close messages, built only when a message needs it: most
/// reasons are never printed, and building "new tag ..." for every tag would allocate per token.
struct Reason {
  std::string_view head;
  std::string_view subject = {};
  bool quote_subject = false;

  std::string str() const {
    std::string s(head);
    s.append(quote_subject ? quoted(subject) : std::string(subject));
    return s;
  }
};

}  // namespace parser_detail

template <EventSink Sink>
class Parser {
  using Reason = parser_detail::Reason;

 public:
  Parser(Lexer& lexer, Sink& sink) : lexer_(lexer), sink_(sink) {
    cif2_ = lexer.version() == CifVersion::Cif20;
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  /// Runs over every token (or up to "global_") and then the end-of-input repairs.
  void run() {
    bool have = lexer_.next(token_);
    while (have && !halted_) {
      relay_lexer_errors();
      line_ = token_.line;
      column_ = token_.column;
      switch (token_.kind) {
        case TokenKind::Tag:
          on_tag(token_.text);
          break;
        case TokenKind::Value:
          on_value();
          break;
        case TokenKind::Reserved:
          if (iequals_ascii(token_.text, "loop_")) {
            have = on_loop_keyword();
            continue;  // the header look-ahead already read the next token
          }
          on_reserved(token_.text);
          break;
      }
      if (in_loop_ && containers_.empty() && !halted_) read_plain_loop_values();
      have = lexer_.next(token_);
    }
    if (!halted_) end_of_input();
  }

 private:
  enum class TableState : std::uint8_t { ExpectKey, KeySeen, ColonSeen };

  struct OpenContainer {
    bool is_table = false;
    TableState state = TableState::ExpectKey;
    std::uint8_t key_kind = kNoKind;
    bool key_width_known = false;
    std::uint32_t key_line = 0;
    std::uint32_t key_column = 0;
    std::uint32_t key_width = 0;
    std::string_view pending_key;

    void drop_key() {
      pending_key = {};
      key_kind = kNoKind;
      key_width_known = false;
    }
    std::uint8_t passed_key_kind() const { return key_kind == kNoKind ? kString : key_kind; }
  };

  void error(std::string_view message, std::string_view context, std::string_view recovery) {
    sink_.on_parse_error(kSyntactic, message, line_, column_, context, recovery);
  }

  void relay_lexer_errors() {
    for (const LexerError& e : token_.errors) {
      sink_.on_parse_error(kLexical, e.message, e.line, e.column, e.context, e.recovery);
    }
  }

  // --- blocks, frames, tags, loops -------------------------------------------------------

  void on_tag(std::string_view tag) {
    if (in_loop_) {
      close_loop(tag, Reason{"new tag ", tag, true});
    } else if (!containers_.empty()) {
      error("tag " + quoted(tag) + " encountered inside open container", tag,
            "implicitly closing containers");
      close_all_containers(tag, Reason{"tag ", tag, true});
    }
    close_active_tag(tag, Reason{"new tag ", tag, true});
    if (!in_data_block_) error("tag " + quoted(tag) + " outside data block", tag, "continuing");
    current_tag_ = tag;
    has_tag_ = true;
    current_tag_depth_ = containers_.size();
    sink_.add_tag(tag, here());
  }

  SourcePosition here() const noexcept { return {line_, column_}; }

  bool on_loop_keyword() {
    const std::string_view keyword = token_.text;
    prepare_for_keyword(keyword, "loop_");
    if (!in_data_block_) error("loop_ outside data block", keyword, "continuing");
    const SourcePosition at = here();
    loop_tags_.clear();
    loop_tag_positions_.clear();
    bool have = lexer_.next(token_);
    while (have && token_.kind == TokenKind::Tag) {
      relay_lexer_errors();
      loop_tags_.push_back(token_.text);
      loop_tag_positions_.push_back({token_.line, token_.column});
      have = lexer_.next(token_);
    }
    if (loop_tags_.empty()) {
      error("loop_ with no tags \u2014 loop skipped", keyword, "loop ignored");
    } else {
      in_loop_ = true;
      loop_has_values_ = false;
      sink_.on_loop_start(std::span<const std::string_view>(loop_tags_),
                          std::span<const SourcePosition>(loop_tag_positions_), at);
    }
    return have;
  }

  void on_reserved(std::string_view keyword) {
    if (iequals_ascii(keyword, "stop_")) {
      if (in_loop_) {
        close_loop(keyword, Reason{"stop_"});
      } else {
        error("stop_ outside loop", keyword, "ignored");
      }
      return;
    }
    if (iequals_ascii(keyword, "global_")) {
      if (in_loop_) {
        close_loop(keyword, Reason{"global_"});
      } else {
        if (!containers_.empty()) close_all_containers(keyword, Reason{"global_"});
        close_active_tag(keyword, Reason{"global_"});
      }
      if (in_save_frame_) {
        sink_.on_save_frame_end();
        in_save_frame_ = false;
      }
      error("global_ is reserved and not permitted in CIF", keyword, "parsing halted");
      halted_ = true;
      return;
    }
    prepare_for_keyword(keyword, keyword);
    const std::string_view name = keyword.substr(5);
    if (iequals_ascii(keyword.substr(0, 5), "data_")) {
      if (name.empty()) error("data block with empty name", keyword, "using empty string");
      if (in_save_frame_) {
        sink_.on_save_frame_end();
        in_save_frame_ = false;
      }
      in_data_block_ = true;
      sink_.on_data_block(name, here());
    } else if (!name.empty()) {
      if (!in_data_block_) error("save frame outside data block", keyword, "continuing");
      if (in_save_frame_) {
        error("nested save frame", keyword, "implicitly closed previous save frame");
        sink_.on_save_frame_end();
      }
      in_save_frame_ = true;
      sink_.on_save_frame_start(name, here());
    } else if (in_save_frame_) {
      sink_.on_save_frame_end();
      in_save_frame_ = false;
    } else {
      error("save_ (frame close) outside save frame", keyword, "ignored");
    }
  }

  void prepare_for_keyword(std::string_view context, std::string_view keyword) {
    const Reason reason{"terminated by ", keyword, false};
    if (in_loop_) {
      close_loop(context, reason);
      return;
    }
    if (!containers_.empty()) close_all_containers(context, reason);
    close_active_tag(context, reason);
  }

  void close_loop(std::string_view context, const Reason& reason) {
    if (!containers_.empty()) {
      close_all_containers(context, reason);
      error("unterminated container(s) in loop value (" + reason.str() + ")", context,
            "containers implicitly closed");
      loop_has_values_ = true;
    }
    if (!loop_has_values_) {
      std::string list = "[";
      for (std::size_t i = 0; i < loop_tags_.size(); ++i) {
        if (i > 0) list.append(", ");
        list.append(quoted(loop_tags_[i]));
      }
      list.push_back(']');
      error("loop has tags " + list + " but no values", context, "loop emitted empty");
    }
    sink_.on_loop_end();
    in_loop_ = false;
    loop_tags_.clear();
    loop_has_values_ = false;
  }

  void close_active_tag(std::string_view context, const Reason& reason) {
    if (!has_tag_) return;
    has_tag_ = false;
    error("tag " + quoted(current_tag_) + " has no value (" + reason.str() + ")", context,
          "inserted ? placeholder");
    sink_.add_value("?", kPlaceholder);
  }

  /// Passes the run of plain values that follows straight to the sink, a batch at a time.
  void read_plain_loop_values() {
    static constexpr std::size_t kBatch = 512;
    PlainValue batch[kBatch];
    std::size_t n;
    do {
      n = lexer_.next_plain_values(batch, kBatch, line_, column_);
      const std::span<const PlainValue> values(batch, n);
      if constexpr (requires { sink_.add_plain_values(values, lexer_.text_end()); }) {
        sink_.add_plain_values(values, lexer_.text_end());
      } else {
        for (std::size_t i = 0; i < n; ++i) sink_.add_value(batch[i].text(), batch[i].kind);
      }
      if (n > 0) loop_has_values_ = true;
    } while (n == kBatch);
  }

  // --- values, lists and tables -----------------------------------------------------------

  void on_value() {
    const std::string_view text = token_.text;
    const std::uint8_t kind = token_.value_type == kNoKind ? kString : token_.value_type;
    // Punctuation exists only in CIF 2.0 and only unquoted: a quoted "[" is a value.
    if (cif2_ && kind == kString && text.size() == 1) {
      switch (text[0]) {
        case '[':
          open_container(false, text);
          return;
        case '{':
          open_container(true, text);
          return;
        case ']':
          close_list();
          return;
        case '}':
          close_table();
          return;
        case ':':
          if (!containers_.empty() && containers_.back().is_table) {
            on_colon();
            return;
          }
          break;
        default:
          break;
      }
    }
    if (!containers_.empty()) {
      container_value(text, kind);
      return;
    }
    if (in_loop_) {
      sink_.add_value(text, kind);
      loop_has_values_ = true;
      return;
    }
    if (!has_tag_) {
      error("value " + quoted(text) + " has no preceding tag", text,
            "attached to _tessrin_error_value");
      sink_.add_tag(kErrorValueTag, here());
      sink_.add_value(text, kind);
      return;
    }
    sink_.add_value(text, kind);
    has_tag_ = false;
  }

  void container_value(std::string_view text, std::uint8_t kind) {
    OpenContainer& top = containers_.back();
    if (!top.is_table) {
      sink_.add_value(text, kind);
      return;
    }
    switch (top.state) {
      case TableState::ColonSeen:
        sink_.add_value(text, kind);
        top.state = TableState::ExpectKey;
        return;
      case TableState::KeySeen:
        error("table key " + quoted(top.pending_key) + " not followed by : separator", text,
              "emitted on_table_key; treating current token as value");
        sink_.on_table_key(top.pending_key, top.passed_key_kind());
        sink_.add_value(text, kind);
        top.drop_key();
        top.state = TableState::ExpectKey;
        return;
      case TableState::ExpectKey:
        break;
    }
    const bool is_quoted = kind >= kTripleDoubleQuoted && kind <= kSingleQuoted;
    if (!is_quoted) {
      error("table key must be a quoted string, got unquoted: " + quoted(text), text,
            "treating as key anyway");
    }
    top.pending_key = text;
    top.key_kind = kind;
    top.key_line = line_;
    top.key_column = column_;
    top.key_width_known = false;
    if (kind == kDoubleQuoted || kind == kSingleQuoted) {
      top.key_width = static_cast<std::uint32_t>(count_chars(text) + 2);
      top.key_width_known = true;
    } else if (is_quoted && text.find('\n') == std::string_view::npos) {
      top.key_width = static_cast<std::uint32_t>(count_chars(text) + 6);
      top.key_width_known = true;
    }
    top.state = TableState::KeySeen;
  }

  void on_colon() {
    OpenContainer& top = containers_.back();
    switch (top.state) {
      case TableState::ExpectKey:
        error("unexpected : in table \u2014 no pending key", ":", "ignored");
        return;
      case TableState::ColonSeen:
        error("unexpected : in table value position", ":", "ignored");
        return;
      case TableState::KeySeen:
        break;
    }
    if (top.key_width_known &&
        (line_ != top.key_line || column_ != top.key_column + top.key_width)) {
      error("whitespace between table key " + quoted(top.pending_key) + " and : separator", ":",
            "accepted");
    }
    sink_.on_table_key(top.pending_key, top.passed_key_kind());
    top.drop_key();
    top.state = TableState::ColonSeen;
  }

  void open_container(bool is_table, std::string_view text) {
    ensure_value_context(text);
    notify_parent_table_of_container_open(text);
    OpenContainer frame;
    frame.is_table = is_table;
    containers_.push_back(frame);
    if (is_table) {
      sink_.on_table_start();
    } else {
      sink_.on_list_start();
    }
  }

  void ensure_value_context(std::string_view text) {
    if (in_loop_ || has_tag_ || !containers_.empty()) return;
    error("container without preceding tag", text, "attached to _tessrin_error_value");
    sink_.add_tag(kErrorValueTag, here());
    current_tag_ = kErrorValueTag;
    has_tag_ = true;
    current_tag_depth_ = 0;
  }

  void notify_parent_table_of_container_open(std::string_view text) {
    if (containers_.empty() || !containers_.back().is_table) return;
    OpenContainer& top = containers_.back();
    switch (top.state) {
      case TableState::ExpectKey:
        error("container in table key position", text,
              "treating container as table value (no key); collected into the list under "
              "key \"\\r_tessrin_keyless\"");
        top.state = TableState::ColonSeen;
        return;
      case TableState::KeySeen:
        error("table key " + quoted(top.pending_key) + " missing : separator", text,
              "emitted on_table_key; treating container as value");
        sink_.on_table_key(top.pending_key, top.passed_key_kind());
        top.drop_key();
        top.state = TableState::ColonSeen;
        return;
      case TableState::ColonSeen:
        return;
    }
  }

  void close_list() {
    if (containers_.empty() || containers_.back().is_table) {
      error("unexpected ] \u2014 no open list", "]", "ignored");
      return;
    }
    containers_.pop_back();
    sink_.on_list_end();
    after_close();
  }

  void close_table() {
    if (containers_.empty() || !containers_.back().is_table) {
      error("unexpected } \u2014 no open table", "}", "ignored");
      return;
    }
    const OpenContainer frame = containers_.back();
    containers_.pop_back();
    cleanup_table_frame(frame, "}");
    sink_.on_table_end();
    after_close();
  }

  /// A closed container was the value of the table below it, if that table waited for one.
  void settle_parent_table() {
    if (!containers_.empty() && containers_.back().is_table &&
        containers_.back().state == TableState::ColonSeen) {
      containers_.back().state = TableState::ExpectKey;
    }
  }

  void after_close() {
    settle_parent_table();
    if (has_tag_ && containers_.size() == current_tag_depth_) has_tag_ = false;
    if (in_loop_ && containers_.empty()) loop_has_values_ = true;
  }

  void cleanup_table_frame(const OpenContainer& frame, std::string_view context) {
    if (frame.state == TableState::KeySeen) {
      error("table key " + quoted(frame.pending_key) + " missing : separator", context,
            "emitted on_table_key; inserted ? placeholder");
      sink_.on_table_key(frame.pending_key, frame.passed_key_kind());
      sink_.add_value("?", kPlaceholder);
    } else if (frame.state == TableState::ColonSeen) {
      error("table key has no value", context, "inserted ? placeholder");
      sink_.add_value("?", kPlaceholder);
    }
  }

  /// Pops every open container, innermost first. Implicitly closed containers still count as
  /// the value of the table that holds them, so no key is left without its value.
  void close_all_containers(std::string_view context, const Reason& reason) {
    while (!containers_.empty()) {
      const OpenContainer frame = containers_.back();
      containers_.pop_back();
      if (frame.is_table) {
        cleanup_table_frame(frame, context);
        sink_.on_table_end();
        error("implicitly closed unclosed table (" + reason.str() + ")", context,
              "emitted on_table_end");
      } else {
        sink_.on_list_end();
        error("implicitly closed unclosed list (" + reason.str() + ")", context,
              "emitted on_list_end");
      }
      settle_parent_table();
    }
    has_tag_ = false;
  }

  void end_of_input() {
    if (in_loop_) close_loop("EOF", Reason{"EOF"});
    if (!containers_.empty()) {
      while (!containers_.empty()) {
        const OpenContainer frame = containers_.back();
        containers_.pop_back();
        if (frame.is_table) {
          cleanup_table_frame(frame, "EOF");
          sink_.on_table_end();
          error("unterminated table at EOF", "", "emitted on_table_end");
        } else {
          sink_.on_list_end();
          error("unterminated list at EOF", "", "emitted on_list_end");
        }
        settle_parent_table();
      }
      has_tag_ = false;
    }
    if (has_tag_) {
      has_tag_ = false;
      error("tag " + quoted(current_tag_) + " has no value at EOF", current_tag_,
            "inserted ? placeholder");
      sink_.add_value("?", kPlaceholder);
    }
    if (in_save_frame_) {
      error("unterminated save frame at EOF", "", "emitted on_save_frame_end");
      sink_.on_save_frame_end();
      in_save_frame_ = false;
    }
  }

  Lexer& lexer_;
  Sink& sink_;
  Token token_;
  std::vector<std::string_view> loop_tags_;
  std::vector<SourcePosition> loop_tag_positions_;
  std::vector<OpenContainer> containers_;
  std::string_view current_tag_;
  std::size_t current_tag_depth_ = 0;
  std::uint32_t line_ = 1;
  std::uint32_t column_ = 1;
  bool cif2_ = false;
  bool has_tag_ = false;
  bool in_data_block_ = false;
  bool in_save_frame_ = false;
  bool in_loop_ = false;
  bool loop_has_values_ = false;
  bool halted_ = false;
};

/// Runs version detection's text through lexer and parser into `sink`.
template <EventSink Sink>
void run_parser(const VersionResult& detected, Sink& sink) {
  Lexer lexer(detected.text, detected.version, detected.line_offset, detected.ascii);
  Parser<Sink> parser(lexer, sink);
  parser.run();
}

}  // namespace tessrin
