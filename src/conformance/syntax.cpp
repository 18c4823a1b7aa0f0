#include "conformance/syntax.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "text/grammar.hpp"
#include "text/utf8.hpp"

namespace tessrin::conformance {

namespace {

using grammar::is_white;
using grammar::kPlainStart;
using grammar::Raw;
using grammar::u8;

constexpr std::size_t kMaxName = 75;  // CIF 1.1 paragraphs 29 and 30

enum class Keyword : std::uint8_t { None, Data, SaveOpen, SaveClose, Loop, Stop, Global };

/// The grammar's reserved words, with save_ alone (a frame's end) told from a frame header.
Keyword keyword_of(std::string_view word) noexcept {
  switch (grammar::reserved_word(word)) {
    case grammar::Reserved::Data:
      return Keyword::Data;
    case grammar::Reserved::Save:
      return word.size() == 5 ? Keyword::SaveClose : Keyword::SaveOpen;
    case grammar::Reserved::Loop:
      return Keyword::Loop;
    case grammar::Reserved::Stop:
      return Keyword::Stop;
    case grammar::Reserved::Global:
      return Keyword::Global;
    case grammar::Reserved::None:
      break;
  }
  return Keyword::None;
}

bool is_bracket(char c) noexcept { return (grammar::flags(c) & grammar::kBracket) != 0; }

// Appended rather than concatenated: GCC 12 warns (-Wrestrict, wrongly) on "'" + string.
std::string q(std::string_view s) {
  std::string quoted(1, '\'');
  quoted.append(excerpt(s)).push_back('\'');
  return quoted;
}

enum class ValueKind : std::uint8_t { Bare, Quoted, Triple, TextField };
enum class LoopState : std::uint8_t { None, Header, Values };
enum class TableState : std::uint8_t { ExpectKey, KeyNoColon, ExpectValue };

struct Container {
  std::size_t offset;
  std::size_t pending_key;  // offset of a quoted string that still waits for its colon
  bool table;
  TableState state;
};

struct Frame {
  std::size_t offset;
  std::size_t tags;
};

/// `kMarks`: whether the tokens are recorded (for the property test); the check itself is
/// compiled without a trace of it.
template <bool kMarks>
class SyntaxPass {
 public:
  SyntaxPass(std::string_view text, std::size_t start, bool cif2, const NameFolder& fold,
             Findings& findings, std::vector<TokenMark>* marks = nullptr)
      : b_(text.data()),
        p_(text.data() + start),
        e_(text.data() + text.size()),
        start_(p_),
        cif2_(cif2),
        fold_(fold),
        findings_(findings),
        marks_(marks) {}

  bool saw_block() const noexcept { return have_block_; }

  void run() {
    // Past the cap nothing more is recorded, but whether the text has a data block is still
    // asked (the version comment is expected only then): until one is seen, read on.
    while (!findings_.full() || !have_block_) {
      skip_blanks();
      if (p_ >= e_) break;
      if (loop_ == LoopState::Values && !cif2_ && p_ < e_) {
        loop_values_fast();
        skip_blanks();
      }
      if (p_ >= e_) break;
      // The lexer's dispatch. Blanks, line ends and comments were skipped; a colon here
      // follows white space (one glued to a token was read with it), so it starts a word.
      const char c = *p_;
      switch (grammar::start_of(c)) {
        case grammar::Start::Semicolon:
          if (p_ == start_ || Raw::line_end(p_[-1])) {
            text_field();
          } else {
            word();
          }
          break;
        case grammar::Start::Quote:
          quoted(c);
          break;
        case grammar::Start::Bracket:
          if (cif2_) {
            punctuation(c);
          } else {
            word();
          }
          break;
        default:
          word();
          break;
      }
    }
    const std::size_t end = off(e_);
    close_containers();
    end_loop(false, end);
    end_pending();
    close_frames();
  }

 private:
  std::size_t off(const char* p) const noexcept { return static_cast<std::size_t>(p - b_); }
  /// White space, where the end of the text counts as white space.
  bool space_at(const char* p) const noexcept { return p >= e_ || is_white(*p); }
  const char* run_end(const char* p) const noexcept { return grammar::find_white(p, e_); }
  const char* line_end(const char* p) const noexcept { return grammar::comment_end<Raw>(p, e_); }
  std::string_view view(const char* from, const char* to) const noexcept {
    return {from, static_cast<std::size_t>(to - from)};
  }
  void mark(std::size_t at, char kind) {
    if constexpr (kMarks) marks_->push_back(TokenMark{at, kind});
  }
  void add(Rule rule, std::size_t at, std::string message, std::string_view context) {
    findings_.add(rule, at, std::move(message), context);
  }

  // --- tokens ----------------------------------------------------------------------------

  /// CIF 1.1 loop bodies are almost all plain words: count them without the general dispatch,
  /// and stop before anything else (a tag, string, comment, possible reserved word).
  void loop_values_fast() {
    const char* p = p_;
    std::size_t n = 0;
    while (p < e_ && kPlainStart[u8(*p)]) {
#if TESSRIN_X86_SIMD
      // 64 bytes at a time: the word starts among the first 56 are counted at once when none
      // of them is suspect (a lead character to look at, or an underscore where a reserved
      // word would have one); the 8 bytes after them cover that look-ahead.
      if (e_ - p >= 64) {
        const grammar::StrictWindow w = grammar::strict_window(p);
        const std::uint64_t starts = ~w.space & ((w.space << 1) | 1);
        const std::uint64_t suspect = starts & (w.lead | (w.underscore >> 4) | (w.underscore >> 6));
        constexpr std::uint64_t kCommitted = (std::uint64_t{1} << 56) - 1;
        if ((suspect & kCommitted) == 0) {
          n += static_cast<std::size_t>(std::popcount(starts & kCommitted));
          if constexpr (kMarks) {
            for (std::uint64_t m = starts & kCommitted; m != 0; m &= m - 1) {
              mark(off(p) + static_cast<std::size_t>(std::countr_zero(m)), 'b');
            }
          }
          // Past the word that may run over byte 56, then to the next token.
          const char* q = p + 56;
          if (!(w.space >> 55 & 1)) q = grammar::find_white(q, e_);
          p_ = q;
          p = grammar::skip_white(q, e_);
          continue;
        }
      }
#endif
      const char* w = grammar::find_white(p, e_);
      if (grammar::may_be_reserved(view(p, w))) break;
      mark(off(p), 'b');
      ++n;
      p_ = w;
      p = grammar::skip_white(w, e_);
    }
    loop_values_ += n;
  }

  void skip_blanks() {
    while (p_ < e_) {
      if (is_white(*p_)) {
        p_ = grammar::skip_white(p_ + 1, e_);
      } else if (*p_ == '#') {
        // Only reached at the start of a token: a # glued to a token was reported there.
        p_ = line_end(p_);
      } else {
        return;
      }
    }
  }

  void text_field() {
    const char* open = p_;
    const char* s = grammar::find_text_field_close<Raw>(p_ + 1, e_);
    if (s == nullptr) {
      // Everything after the opening ; is swallowed: nothing further can be checked.
      add(Rule::UnterminatedTextField, off(open),
          "text field is not closed by a ';' at the start of a line before the end of the file",
          ";");
      p_ = e_;
      value(ValueKind::TextField, off(open), {}, false);
      return;
    }
    p_ = s + 1;
    bool colon = false;
    if (!space_at(p_)) {
      const char n = *p_;
      if (cif2_ && (n == ']' || n == '}')) {
        // A closer right after the ; is accepted (cif_api does; codcif does not).
      } else if (cif2_ && n == ':' && expecting_key()) {
        colon = true;
        mark(off(p_), 'p');
        ++p_;
      } else {
        add(Rule::TextFieldNoTrailingSpace, off(p_),
            "the closing ';' of a text field must be followed by white space",
            view(s, run_end(p_)));
      }
    }
    value(ValueKind::TextField, off(open), {}, colon);
  }

  void quoted(char quote) {
    const char* open = p_;
    if (cif2_ && e_ - p_ >= 3 && p_[1] == quote && p_[2] == quote) {
      triple(quote);
      return;
    }
    const grammar::QuotedScan scan = grammar::scan_quoted<Raw>(p_ + 1, e_, quote, cif2_);
    const char* s = scan.stop;
    if (!cif2_) {
      // CIF 1.1: a quote closes the string only when white space or the end follows it.
      if (scan.closed) {
        p_ = s + 1;
        value(ValueKind::Quoted, off(open), view(open + 1, s), false);
        return;
      }
      add(Rule::UnterminatedQuote, off(open),
          scan.inner
              ? "quoted string is not closed: a closing quote must be followed by white space"
              : "quoted string is not closed on its line",
          view(open, s));
      p_ = s;
      value(ValueKind::Quoted, off(open), view(open + 1, s), false);
      return;
    }
    if (!scan.closed) {
      add(Rule::UnterminatedQuote, off(open), "quoted string is not closed on its line",
          view(open, s));
      p_ = s;
      value(ValueKind::Quoted, off(open), view(open + 1, s), false);
      return;
    }
    p_ = s + 1;
    const bool colon = after_string(quote, open);
    value(ValueKind::Quoted, off(open), view(open + 1, s), colon);
  }

  void triple(char quote) {
    const char* open = p_;
    const std::string_view rest = view(p_ + 3, e_);
    const char* close = grammar::find_triple_close(p_ + 3, e_, quote);
    if (close == nullptr) {
      add(Rule::UnterminatedTripleQuote, off(open),
          "triple-quoted string is not closed before the end of the file",
          view(open, line_end(open)));
      p_ = e_;
      value(ValueKind::Triple, off(open), rest, false);
      return;
    }
    p_ = close + 3;
    const bool colon = after_string(quote, open);
    value(ValueKind::Triple, off(open), view(rest.data(), close), colon);
  }

  /// CIF 2.0: what may follow a closed quoted string. True when it is a table key's colon.
  bool after_string(char quote, const char* open) {
    if (space_at(p_)) return false;
    const char n = *p_;
    if (n == ']' || n == '}') return false;
    if (n == ':' && expecting_key()) {
      mark(off(p_), 'p');
      ++p_;
      return true;
    }
    const char* end = run_end(p_);
    if (n != ':' && n != quote && std::memchr(p_, quote, static_cast<std::size_t>(end - p_))) {
      add(Rule::Cif2EmbeddedQuote, off(open),
          "a CIF 2.0 quoted string ends at its first matching quote: use the other quote or "
          "triple quotes",
          view(open, end));
      p_ = end;
      return false;
    }
    add(Rule::Cif2MissingWhitespace, off(p_), "white space is required after a quoted string",
        view(p_, end));
    // An ordinary character glued on is taken as part of this value; a quote, bracket or
    // comment sign starts the next token.
    if (n != '\'' && n != '"' && n != '#' && !is_bracket(n)) p_ = end;
    return false;
  }

  void punctuation(char c) {
    const std::size_t at = off(p_);
    mark(at, 'p');
    ++p_;
    if (c == '[' || c == '{') {
      open_container(c == '{', at);
      return;
    }
    close_container(c == '}', at);
    if (!space_at(p_) && *p_ != ']' && *p_ != '}') {
      const char* end = run_end(p_);
      add(Rule::Cif2MissingWhitespace, off(p_),
          std::string("white space is required after '") + c + "'", view(p_, end));
      const char n = *p_;
      if (n != '\'' && n != '"' && n != '#' && !is_bracket(n)) p_ = end;
    }
  }

  void word() {
    const char* s = p_;
    const char* w = run_end(s);
    const std::string_view whole = view(s, w);
    const std::size_t at = off(s);
    if (*s == '_') {
      mark(at, 't');
      p_ = w;
      tag(whole, at);
      return;
    }
    if (const Keyword k = keyword_of(whole); k != Keyword::None) {
      mark(at, 'r');
      p_ = w;
      keyword(k, whole, at);
      return;
    }
    const char* value_end = w;
    if (cif2_) {
      const char* br = s;
      while (br < w && !is_bracket(*br)) ++br;
      if (br < w) {
        if (!stack_.empty()) {
          // Inside a list or table a closer may follow a value directly; an opener may not.
          value_end = br;
          if (*br == '[' || *br == '{') {
            add(Rule::Cif2MissingWhitespace, off(br),
                std::string("white space is required before '") + *br + "'", view(s, w));
          }
        } else {
          add(Rule::Cif2BracketInUnquoted, off(br),
              "an unquoted CIF 2.0 value may not contain '[', ']', '{' or '}': quote it", whole);
        }
      }
    }
    p_ = value_end;
    const std::string_view text = view(s, value_end);
    if (*s == '$') {
      add(Rule::DollarValue, at,
          "an unquoted value may not start with '$' (reserved for save-frame references): "
          "quote it",
          text);
    } else if (!cif2_ && (*s == '[' || *s == ']')) {
      add(Rule::BracketValueCif1, at,
          std::string("an unquoted CIF 1.1 value may not start with '") + *s + "': quote it", text);
    }
    value(ValueKind::Bare, at, text, false);
  }

  // --- structure -------------------------------------------------------------------------

  NameSet& tag_scope() { return frames_.empty() ? block_tags_ : frame_tags_[frames_.size() - 1]; }

  void no_block(std::size_t at, std::string_view context) {
    if (no_block_reported_) return;
    no_block_reported_ = true;
    add(Rule::NoBlockHeader, at, "data before the first data block header (data_)", context);
  }

  void tag(std::string_view name, std::size_t at) {
    close_containers();
    if (loop_ == LoopState::Header) {
      ++loop_tags_;
    } else {
      end_loop(false, at);
      end_pending();
      pending_ = true;
      pending_at_ = at;
      pending_end_ = p_;
    }
    if (!have_block_) no_block(at, name);
    if (name.size() == 1) add(Rule::EmptyDataName, at, "'_' alone is not a data name", name);
    check_name(name, name, at, tag_scope(), Rule::DataNameTooLong, Rule::DuplicateTag, "data name",
               frames_.empty() ? "data block" : "save frame");
    if (!frames_.empty()) ++frames_.back().tags;
  }

  void keyword(Keyword k, std::string_view word, std::size_t at) {
    close_containers();
    bool as_value = false;
    if (pending_) {
      // On the tag's own line the word was meant as its value; later it is a tag left
      // without one.
      const char* from = pending_end_;
      const char* to = b_ + at;
      as_value = std::memchr(from, '\n', static_cast<std::size_t>(to - from)) == nullptr &&
                 std::memchr(from, '\r', static_cast<std::size_t>(to - from)) == nullptr;
      if (as_value) {
        add(Rule::ReservedWordAsValue, at,
            q(word) + " is a reserved word and cannot be a value: quote it", word);
        pending_ = false;
      }
    }
    end_loop(k == Keyword::Loop, at);
    end_pending();
    switch (k) {
      case Keyword::Loop:
        if (!have_block_) no_block(at, word);
        loop_ = LoopState::Header;
        loop_at_ = at;
        loop_tags_ = 0;
        loop_values_ = 0;
        break;
      case Keyword::Stop:
        if (!as_value) {
          add(Rule::StopKeyword, at, "the STAR keyword 'stop_' is not allowed in CIF", word);
        }
        break;
      case Keyword::Global:
        if (!as_value) {
          add(Rule::GlobalBlock, at, "the STAR keyword 'global_' is not allowed in CIF", word);
        }
        close_frames();
        start_block();
        break;
      case Keyword::Data:
        data_block(word.substr(5), word, at);
        break;
      case Keyword::SaveOpen:
        save_frame(word.substr(5), word, at);
        break;
      case Keyword::SaveClose:
        if (frames_.empty()) {
          add(Rule::SaveEndUnexpected, at, "'save_' with no save frame open", word);
        } else {
          if (!cif2_ && frames_.back().tags == 0) {
            add(Rule::SaveFrameEmpty, frames_.back().offset,
                "a CIF 1.1 save frame must hold at least one data item", "save_");
          }
          frames_.pop_back();
        }
        break;
      case Keyword::None:
        break;
    }
  }

  /// The CIF 1.1 length limit (paragraphs 29 and 30) and the uniqueness of a block code,
  /// frame code or data name within `seen`.
  void check_name(std::string_view name, std::string_view context, std::size_t at, NameSet& seen,
                  Rule too_long, Rule duplicate, std::string_view what, std::string_view scope) {
    if (!cif2_ && count_chars(name) > kMaxName) {
      add(too_long, at,
          std::string(what) + " is " + std::to_string(count_chars(name)) +
              " characters long; CIF 1.1 allows at most 75",
          context);
    }
    if (!seen.insert(name, cif2_, false, fold_)) {
      add(duplicate, at,
          std::string(what) + " " + q(name) + " appears more than once in this " +
              std::string(scope),
          context);
    }
  }

  void data_block(std::string_view name, std::string_view word, std::size_t at) {
    close_frames();
    if (name.empty()) {
      add(Rule::EmptyBlockCode, at, "'data_' must be followed by a block code", word);
    } else {
      check_name(name, word, at, block_names_, Rule::BlockCodeTooLong, Rule::DuplicateBlockCode,
                 "block code", "file");
    }
    start_block();
  }

  void save_frame(std::string_view name, std::string_view word, std::size_t at) {
    if (!have_block_) no_block(at, word);
    if (!frames_.empty()) {
      add(Rule::SaveFrameNested, at, "save frames may not be nested", word);
    }
    check_name(name, word, at, frame_names_, Rule::FrameCodeTooLong, Rule::DuplicateFrameCode,
               "frame code", "data block");
    frames_.push_back(Frame{at, 0});
    if (frame_tags_.size() < frames_.size()) frame_tags_.emplace_back();
    frame_tags_[frames_.size() - 1].clear();
  }

  void start_block() {
    have_block_ = true;
    block_tags_.clear();
    frame_names_.clear();
  }

  void close_frames() {
    for (const Frame& frame : frames_) {
      add(Rule::SaveFrameUnterminated, frame.offset,
          "save frame is not closed by 'save_' before the next data block or the end of the "
          "file",
          "save_");
    }
    frames_.clear();
  }

  void end_pending() {
    if (!pending_) return;
    pending_ = false;
    add(Rule::MissingValue, pending_at_, "data name has no value",
        view(b_ + pending_at_, pending_end_));
  }

  void end_loop(bool by_loop, std::size_t at) {
    const LoopState state = loop_;
    loop_ = LoopState::None;
    if (state == LoopState::Header) {
      if (loop_tags_ == 0) {
        add(Rule::LoopWithoutTags, loop_at_, "'loop_' must be followed by at least one data name",
            "loop_");
      } else if (by_loop) {
        add(Rule::NestedLoop, at,
            "loops may not be nested: 'loop_' where a loop value was expected", "loop_");
      } else {
        add(Rule::LoopWithoutValues, loop_at_, "loop has data names but no values", "loop_");
      }
    } else if (state == LoopState::Values && loop_tags_ > 0 && loop_values_ % loop_tags_ != 0) {
      add(Rule::LoopCountMismatch, loop_at_,
          "loop of " + std::to_string(loop_tags_) + " data names has " +
              std::to_string(loop_values_) + " values, not a multiple of " +
              std::to_string(loop_tags_),
          "loop_");
    }
  }

  /// A value at item level (outside any list or table).
  void top_value(std::size_t at, std::string_view context) {
    if (!have_block_) no_block(at, context);
    switch (loop_) {
      case LoopState::Header:
        loop_ = LoopState::Values;
        loop_values_ = 1;
        if (loop_tags_ == 0) {
          add(Rule::LoopWithoutTags, loop_at_, "'loop_' must be followed by at least one data name",
              "loop_");
        }
        return;
      case LoopState::Values:
        ++loop_values_;
        return;
      case LoopState::None:
        break;
    }
    if (pending_) {
      pending_ = false;
      return;
    }
    add(Rule::ValueWithoutTag, at, "value with no data name (quote values that hold spaces)",
        context);
  }

  void value(ValueKind kind, std::size_t at, std::string_view text, bool colon) {
    if constexpr (kMarks) {
      static constexpr char kKinds[] = {'b', 'q', '3', ';'};
      // A key's colon is marked when it is read, after the key's own mark.
      marks_->insert(colon ? marks_->end() - 1 : marks_->end(),
                     TokenMark{at, kKinds[static_cast<int>(kind)]});
    }
    if (stack_.empty()) {
      top_value(at, text);
      return;
    }
    Container& top = stack_.back();
    if (!top.table) return;
    if (top.state == TableState::ExpectValue) {
      top.state = TableState::ExpectKey;
      return;
    }
    if (top.state == TableState::KeyNoColon) {
      if (kind == ValueKind::Bare && !text.empty() && text[0] == ':') {
        add(Rule::TableKeyColonSpace, at, "the ':' must follow a table key directly", text);
        top.state = text.size() == 1 ? TableState::ExpectValue : TableState::ExpectKey;
        return;
      }
      add(Rule::TableEntryNoKey, top.pending_key, "table entry has no key (key: value)", text);
      top.state = TableState::ExpectKey;
    }
    switch (kind) {
      case ValueKind::Quoted:
      case ValueKind::Triple:
        if (!colon) {
          top.state = TableState::KeyNoColon;
          top.pending_key = at;
          return;
        }
        if (!key_sets_[table_depth_ - 1].insert(text, true, true, fold_)) {
          add(Rule::TableDuplicateKey, at,
              "key " + q(text) + " appears more than once in this table", text);
        }
        top.state = TableState::ExpectValue;
        return;
      case ValueKind::TextField:
        if (colon) {
          add(Rule::TableKeyTextField, at, "a text field cannot be a table key", ";");
          top.state = TableState::ExpectValue;
        } else {
          add(Rule::TableEntryNoKey, at, "table entry has no key (key: value)", ";");
        }
        return;
      case ValueKind::Bare:
        break;
    }
    const std::size_t colon_at = text.find(':');
    if (colon_at == std::string_view::npos) {
      add(Rule::TableEntryNoKey, at, "table entry has no key (key: value)", text);
      return;
    }
    if (colon_at == 0) {
      add(Rule::TableEntryNoKey, at, "table entry has no key (key: value)", text);
    } else {
      add(Rule::TableKeyNotQuoted, at, "a table key must be a quoted string", text);
    }
    top.state = colon_at + 1 == text.size() ? TableState::ExpectValue : TableState::ExpectKey;
  }

  bool expecting_key() const noexcept {
    return !stack_.empty() && stack_.back().table && stack_.back().state == TableState::ExpectKey;
  }

  void open_container(bool table, std::size_t at) {
    if (stack_.empty()) {
      top_value(at, table ? "{" : "[");
    } else if (stack_.back().table) {
      Container& parent = stack_.back();
      if (parent.state == TableState::ExpectValue) {
        parent.state = TableState::ExpectKey;
      } else {
        add(Rule::TableEntryNoKey, parent.state == TableState::KeyNoColon ? parent.pending_key : at,
            "table entry has no key (key: value)", table ? "{" : "[");
        parent.state = TableState::ExpectKey;
      }
    }
    stack_.push_back(Container{at, 0, table, TableState::ExpectKey});
    if (table) {
      if (key_sets_.size() <= table_depth_) key_sets_.emplace_back();
      key_sets_[table_depth_++].clear();
    }
  }

  void close_container(bool table, std::size_t at) {
    const std::string_view closer = table ? "}" : "]";
    if (stack_.empty()) {
      add(Rule::UnexpectedClosingDelimiter, at, q(closer) + " with no list or table open", closer);
      return;
    }
    const Container top = stack_.back();
    if (top.table != table) {
      add(Rule::UnexpectedClosingDelimiter, at,
          std::string("'") + std::string(closer) + "' closes a " + (top.table ? "table" : "list"),
          closer);
    } else if (table && top.state == TableState::ExpectValue) {
      add(Rule::TableEntryNoValue, at, "table key has no value", closer);
    } else if (table && top.state == TableState::KeyNoColon) {
      add(Rule::TableEntryNoKey, top.pending_key, "table entry has no key (key: value)", closer);
    }
    pop_container();
  }

  void pop_container() {
    if (stack_.back().table) --table_depth_;
    stack_.pop_back();
  }

  /// Lists and tables still open where a data name, keyword or the end of the text comes.
  void close_containers() {
    for (const Container& c : stack_) {
      add(c.table ? Rule::UnterminatedTable : Rule::UnterminatedList, c.offset,
          c.table ? "table is not closed by '}'" : "list is not closed by ']'",
          c.table ? "{" : "[");
    }
    stack_.clear();
    table_depth_ = 0;
  }

  const char* b_;
  const char* p_;
  const char* e_;
  const char* start_;
  bool cif2_;
  const NameFolder& fold_;
  Findings& findings_;
  std::vector<TokenMark>* marks_;

  bool have_block_ = false;
  bool no_block_reported_ = false;
  bool pending_ = false;  // a data name waits for its value
  std::size_t pending_at_ = 0;
  const char* pending_end_ = nullptr;
  LoopState loop_ = LoopState::None;
  std::size_t loop_at_ = 0;
  std::size_t loop_tags_ = 0;
  std::size_t loop_values_ = 0;
  std::vector<Frame> frames_;
  std::vector<Container> stack_;
  std::size_t table_depth_ = 0;
  NameSet block_names_;
  NameSet frame_names_;
  NameSet block_tags_;
  std::vector<NameSet> frame_tags_;
  std::vector<NameSet> key_sets_;
};

}  // namespace

bool check_syntax(std::string_view text, std::size_t start, bool cif2, const NameFolder& fold,
                  Findings& findings) {
  SyntaxPass<false> pass(text, start, cif2, fold, findings);
  pass.run();
  return pass.saw_block();
}

std::vector<TokenMark> syntax_tokens(std::string_view text, std::size_t start, bool cif2) {
  std::vector<TokenMark> marks;
  Findings findings(std::numeric_limits<std::size_t>::max());
  const NameFolder fold;  // the pass keeps a reference
  SyntaxPass<true> pass(text, start, cif2, fold, findings, &marks);
  pass.run();
  return marks;
}

}  // namespace tessrin::conformance
