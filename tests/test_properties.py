"""Properties of every parse of made-up CIF-like text: each entry function returns without an
exception, events keep their ordering guarantees, every diagnostic has a known kind and a place
inside the text, parse, parse_raw, parse_cif, parse_arrow and parse_arrow_file agree, and the
native collection keeps exactly what the events call for, in strict mode too.

The text is built from the pieces CIF is made of (reserved words in any letter case, tags,
quoted, triple-quoted and bare values, text fields with semicolons at line starts, brackets,
braces and colons, comments) joined by ordinary and odd whitespace (tab, CR, CRLF, vertical
tab, no-break space), with non-ASCII characters, NUL and byte-order marks mixed in, behind every
kind of magic line."""

import os
import tempfile

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from conftest import (
    Recorder,
    batch_view,
    check_order,
    check_positions,
    entries_agree,
    tessrin_core,
)

SETTINGS = settings(
    max_examples=1500,
    deadline=None,  # a parse is fast; time spent in the interpreter's GC is not a failure
    database=None,  # no example store in the working tree; failures print their reproduction
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

MAGIC = st.sampled_from([
    "#\\#CIF_2.0\n", "", "#\\#CIF_2.0\n", "#\\#CIF_2.0\n", "", "#\\#CIF_2.0\n", "#\\#CIF_2.0\n",
    "#\\#CIF_1.1\n", "#\\#CIF_3.0\r\n", "\ufeff#\\#CIF_2.0\r\n", " \n\t\r\n#\\#CIF_2.0  \n",
    "#\\#CIF_2.0", "#\\#CIF_2.0 x\n", "#\\#cif_2.0\n", "\ufeff",
])  # fmt: skip

# Characters that mean something to CIF, or to a lexer that counts lines, columns and bytes.
SPECIAL = "_.;:'\"#[]{}$?\\\t \x00\x0b\x0c\ufeff\u00a0\u2028"
OTHER = "aZz09-+()/*é€ΣσςßİK\u0300😀"
WORD_CHAR = st.sampled_from("aBcZ09.-+()/*!?$_;:[]{}'\"#\\é€ΣßİK\u0300😀\x00\x0b\x0c\ufeff\u00a0")
SEPARATOR = st.sampled_from([" ", " ", " ", "\n", "\n", "\t", "\r", "\r\n", "  \n ", "", "\x0b"])
GAP = st.sampled_from([" ", " ", " ", "\n", "\t", "\r\n", ""])  # inside containers


def any_case(word):
    return st.lists(st.booleans(), min_size=len(word), max_size=len(word)).map(
        lambda flips: "".join(c.upper() if f else c for c, f in zip(word, flips))
    )


def joined(parts, gaps=SEPARATOR):
    """The drawn parts with a drawn gap after each."""
    return st.lists(st.tuples(parts, gaps), max_size=6).map(
        lambda pairs: "".join(part + gap for part, gap in pairs)
    )


NAME = st.text(WORD_CHAR, min_size=0, max_size=6)
RESERVED = st.one_of(
    *(st.tuples(any_case(word), NAME).map("".join) for word in ("data_", "save_")),
    *(any_case(word) for word in ("loop_", "stop_", "save_")),
)
TAG = st.one_of(st.sampled_from(["_a", "_A", "_b.c", "_Σ", "_t[1]"]), NAME.map(lambda n: "_" + n))
BARE = st.one_of(st.sampled_from([".", "?", "1.5(3)", "-2", "a'b", "x#y", "[x", "$y"]), NAME)
QUOTED = st.builds(
    lambda quote, body, close: quote + body + (quote if close else ""),
    st.sampled_from(["'", '"']),
    st.text(st.sampled_from("ab '\"#;é\x00\t"), max_size=8),
    st.booleans(),
)
TRIPLE = st.builds(
    lambda quote, body, close: quote * 3 + body + (quote * 3 if close else ""),
    st.sampled_from(["'", '"']),
    st.text(st.sampled_from("ab '\"\n\r;#é"), max_size=10),
    st.booleans(),
)
# Text fields, with the prefix and line-folding conventions in their first line.
FIRST_LINE = st.sampled_from(["", "x", "\\", "\\\\", "> \\", ">\\\\", "\\ ", "\\x", ";"])
FIELD_LINE = st.sampled_from(["", "line", "> line", ">", ";", " ;", "a \\", "b\\  ", "é\x00"])
TEXT_FIELD = st.builds(
    lambda first, lines, close: (
        "\n;" + first + "".join("\n" + line for line in lines) + ("\n;" if close else "")
    ),
    FIRST_LINE,
    st.lists(FIELD_LINE, max_size=4),
    st.booleans(),
)
SCALAR = st.one_of(BARE, BARE, QUOTED, QUOTED, TRIPLE, TEXT_FIELD)
KEY = st.one_of(QUOTED, TRIPLE, BARE)
# Lists and tables nested a few levels, now and then without a closer, colon or key.
CONTAINER = st.recursive(
    SCALAR,
    lambda inner: st.one_of(
        st.builds(
            lambda items, close: "[" + items + close,
            joined(inner, GAP),
            st.sampled_from(["]", "]", "]", "", "}"]),
        ),
        st.builds(
            lambda entries, close: "{" + entries + close,
            joined(
                st.builds(
                    lambda k, colon, v: k + colon + v,
                    KEY,
                    st.sampled_from([":", ":", ":", " : ", " ", "::"]),
                    inner,
                ),
                GAP,
            ),
            st.sampled_from(["}", "}", "}", "", "]"]),
        ),
    ),
    max_leaves=8,
)
VALUE = st.one_of(SCALAR, CONTAINER)
TAGGED = st.builds(lambda tag, gap, value: tag + gap + value, TAG, SEPARATOR, VALUE)
LOOP = st.builds(
    lambda keyword, tags, values: keyword + " " + tags + values,
    any_case("loop_"),
    joined(TAG),
    joined(VALUE),
)
PUNCTUATION = st.sampled_from(["[", "]", "{", "}", ":", "'k':", "]]", "}}", "[{", "{:}"])
COMMENT = st.text(st.sampled_from("ab #\\;'é"), max_size=6).map(lambda text: "#" + text + "\n")
PIECE = st.one_of(TAGGED, TAGGED, TAGGED, LOOP, LOOP, RESERVED, RESERVED, TAG, VALUE,
                  PUNCTUATION, COMMENT)  # fmt: skip


RARELY = st.sampled_from([False] * 24 + [True])


@st.composite
def cif_like(draw):
    pieces = draw(st.lists(st.tuples(PIECE, SEPARATOR), min_size=3, max_size=25))
    if draw(RARELY):  # "global_" halts the parse
        pieces.insert(draw(st.integers(0, len(pieces))), ("global_", " "))
    body = "".join(piece + separator for piece, separator in pieces)
    if not draw(RARELY):
        body = draw(st.sampled_from(["data_x\n", "DATA_x ", "data_\n", "data_x"])) + body
    return draw(MAGIC) + body


# Raw character soup from the characters that matter, for what the pieces do not reach.
SOUP = st.builds(
    lambda magic, text: magic + text,
    MAGIC,
    st.text(st.sampled_from(SPECIAL + OTHER + "\n\r" + "data_loop_save_"), max_size=80),
)
SOURCES = st.one_of(cif_like(), cif_like(), cif_like(), SOUP)


@SETTINGS
@given(SOURCES)
# Found here before: a tag with NUL reached pyarrow cut short, under another tag's name; the
# error raised instead then lost its text after the NUL of a block name.
@example("#\\#CIF_2.0\ndata_x\n_a . data_\x00 _\x00 . ")
def test_every_entry_on_made_up_text(source):
    recorder = Recorder()
    version = tessrin_core.parse(source, recorder)
    check_order(recorder.calls)
    raw, batches = entries_agree(source, calls=recorder.calls)
    assert version.name == raw["version"]
    check_positions(source, raw["errors"])
    strict, _ = entries_agree(source, "strict", calls=recorder.calls)
    for result, is_strict in ((raw, False), (strict, True)):
        blocks, errors = collect(recorder.calls, is_strict)
        assert result["blocks"] == blocks
        assert [shape(e) for e in result["errors"]] == [shape(e) for e in errors]
    check_file_entry(source, raw, batches)


def check_file_entry(source, raw, batches):
    """parse_arrow_file on the UTF-8 bytes of `source` gives what parse_arrow gave."""
    handle, path = tempfile.mkstemp(suffix=".cif")
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(source.encode("utf-8"))
        file_batches, errors = tessrin_core.parse_arrow_file(path)
    finally:
        os.unlink(path)
    assert errors == raw["errors"]
    assert [batch_view(b) for b in file_batches] == [batch_view(b) for b in batches]


# --- the collection, once more from the events ----------------------------------------------
# The three collecting entries share one native builder, so their agreement says nothing about
# what it keeps. What follows collects the handler's events the way the builder is meant to,
# and the builder must arrive at the same blocks and diagnostics.


def transform(text):
    """A text field's content after the prefix and line-folding conventions."""
    lines = text.split("\n")
    backslash = lines[0].find("\\")
    if backslash < 0:
        return text
    prefix = lines[0][:backslash]
    two = lines[0][backslash + 1 : backslash + 2] == "\\"
    if lines[0][backslash + 1 + two :].strip(" \t"):
        return text
    folding = two or not prefix  # `;\` alone folds too (CIF 1.1 paragraph 26)
    if prefix:
        if not all(line.startswith(prefix) for line in lines[1:]):
            return text
        lines = [line[len(prefix) :] for line in lines]
    if not folding:
        return "\n".join(lines[1:])
    if two:
        lines[0] = lines[0][1:]  # a lone backslash: a fold line that adds nothing
    out, pending, folded = [], "", False
    for line in lines:
        trimmed = line.rstrip(" \t")
        folded = trimmed.endswith("\\")
        if folded:
            pending += trimmed[:-1]
        else:
            out.append(pending + line)
            pending = ""
    if folded and pending:
        out.append(pending)
    return "\n".join(out)


def new_frame(name):
    return {"name": name, "tag_order": [], "loops": [], "tags": {}}


KEYLESS = "\r_tessrin_keyless"


def collect(calls, strict):
    """The blocks and diagnostics (as dicts) that the recorded events of a parse call for."""
    blocks, errors = [], []
    s = {"block": None, "frame": None, "tag": None, "loop": None, "stopped": False}
    containers = []  # [is_table, items or (key, value) pairs, pending key]
    block_names, frame_names = set(), set()

    def semantic(message, context, action):
        # The events carry no positions: shape() leaves them out of the comparison.
        errors.append({"error_type": "semantic", "message": message, "line": None,
                       "column": None, "context": context, "recovery_action": action})  # fmt: skip
        s["stopped"] |= strict

    def frame():
        return s["frame"] or s["block"]

    def store(frame, tag, values=None):
        if tag not in frame["tags"]:
            frame["tag_order"].append(tag)
            frame["tags"][tag] = []
        if values is not None:
            frame["tags"][tag] = values

    def redefined(tag, action):
        where = "save frame" if s["frame"] else "data block"
        semantic(f'tag "{tag}" defined again in the same {where}', tag, action)

    def route(value):
        if containers:
            top = containers[-1]
            if not top[0]:
                top[1].append(value)
            elif top[2] is not None:
                top[1].append((top[2], value))
                top[2] = None
            else:  # a container without a key joins the table's one keyless list
                keyless = [v for k, v in top[1] if k == KEYLESS]
                if keyless:
                    keyless[0].append(value)
                else:
                    top[1].append((KEYLESS, [value]))
        elif s["loop"] is not None:
            tags, columns, count = s["loop"]
            if tags:
                columns[tags[count % len(tags)]].append(value)
                s["loop"][2] += 1
        elif s["tag"] is not None:
            tag, s["tag"] = s["tag"], None
            f = frame()
            if f is None:
                return
            if tag in f["tags"] and tag != "_tessrin_error_value":
                values = f["tags"][tag]
                if any(tag in loop for loop in f["loops"]):
                    redefined(tag, f"kept its loop's {len(values)} value(s); 1 value not kept")
                    return
                redefined(tag, "kept every value of the tag as one list; 0 values not kept")
            store(f, tag)
            f["tags"][tag].append(value)

    def end_loop():
        tags, columns, count = s["loop"]
        s["loop"] = None
        if not tags:
            return
        missing = -count % len(tags)
        if missing:
            semantic(f"loop value count {count} is not divisible by tag count {len(tags)} "
                     f"({missing} value(s) missing from final row); tags: {', '.join(tags)}",
                     tags[0], "stopped" if strict else f"padded {missing} placeholder(s)")  # fmt: skip
            if s["stopped"]:
                return
            for i in range(count, count + missing):
                columns[tags[i % len(tags)]].append("?")
        f = frame()
        if f is not None:
            kept, state = [], {}  # a tag named twice keeps the column of its first place
            for tag in tags:
                if tag not in state:
                    if tag in f["tags"]:  # defined before: the first definition stays
                        redefined(tag, f"kept the first definition ({len(f['tags'][tag])} "
                                  f"value(s)); {len(columns[tag])} value(s) of this loop not kept")
                        if s["stopped"]:
                            break
                        state[tag] = False
                        continue
                    store(f, tag, columns[tag])
                    state[tag] = True
                if state[tag]:
                    kept.append(tag)
            if kept:
                f["loops"].append(kept)

    for name, *args in calls:
        if name == "on_error":
            errors.append(dict(zip(("error_type", "message", "line", "column", "context",
                                    "recovery_action"), args[0])))  # fmt: skip
            continue
        if s["stopped"]:
            continue
        if name == "on_data_block":
            if s["block"] is not None:
                blocks.append(s["block"])
            lowered = args[0].lower()
            if lowered in block_names:
                semantic("duplicate data block name: ", args[0], "duplicate block stored with "
                         "distinct internal id")  # fmt: skip
            block_names.add(lowered)
            s.update(block={**new_frame(lowered), "save_frames": []}, frame=None, tag=None)
            s["loop"] = None
            containers.clear()
            frame_names.clear()
        elif name == "on_save_frame_start" and s["block"] is not None:
            lowered = args[0].lower()
            if lowered in frame_names:
                semantic("duplicate save frame name: ", args[0], "duplicate save frame stored "
                         "with distinct internal id")  # fmt: skip
            frame_names.add(lowered)
            s["frame"] = new_frame(lowered)
        elif name == "on_save_frame_end" and s["block"] is not None and s["frame"] is not None:
            s["block"]["save_frames"].append(s["frame"])
            s["frame"] = None
        elif name == "add_tag":
            s["tag"] = args[0].lower()
        elif name == "add_value":
            text, kind = args
            if kind == "MULTILINE_STRING":
                text = transform(text)
            elif kind != "PLACEHOLDER" and text in (".", "?"):
                text = f'"{text}"'
            route(text)
        elif name == "on_loop_start":
            tags = [tag.lower() for tag in args[0]]
            s["loop"] = [tags, {tag: [] for tag in tags}, 0]
            if frame() is not None:
                for i, tag in enumerate(tags):
                    if tags[:i].count(tag) == 1:
                        semantic("loop names tag ", args[0][i], "the values of every repeat "
                                 "kept in one column, in file order")  # fmt: skip
                        if s["stopped"]:
                            s["loop"] = None
                            break
        elif name == "on_loop_end":
            end_loop()
        elif name in ("on_list_start", "on_table_start"):
            containers.append([name == "on_table_start", [], None])
        elif name == "on_table_key" and containers and containers[-1][0]:
            containers[-1][2] = args[0]
        elif name in ("on_list_end", "on_table_end") and containers:
            is_table, items, _ = containers.pop()
            if is_table == (name == "on_table_end"):
                route(dict(items) if is_table else items)
    if s["block"] is not None:
        blocks.append(s["block"])
    return blocks, errors


def shape(error):
    """A diagnostic with a duplicate's quoted name cut off (how names are quoted is the native
    code's own choice) and a semantic one without its position; everything else must match."""
    message = error["message"]
    if message.startswith("duplicate "):
        message = message[: message.index(": ") + 2]
    elif " defined again in the same " in message:
        message = message[message.index(" defined again") :]
    elif message.startswith("loop names tag "):
        message = "loop names tag "
    if error["error_type"] == "semantic":
        error = {**error, "line": None, "column": None}
    return {**error, "message": message}
