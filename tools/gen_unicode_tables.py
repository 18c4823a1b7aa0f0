#!/usr/bin/env python3
"""Generates unicode_tables.cpp from the running interpreter's Unicode database.

The build runs it (CMake, with the interpreter the extension is built for), so lower-casing
follows that interpreter's str.lower(): python3 tools/gen_unicode_tables.py OUT.cpp
The output depends only on the interpreter's Unicode version, so regenerating is reproducible.

Python exposes neither Cased nor Case_Ignorable, yet its str.lower() uses both for the final-sigma
rule. Both are read off str.lower() itself, so the native rule agrees with it exactly:
with f(s) = s.lower().endswith("ς"), "A"+x+"Σ" ends in final sigma when x is case-ignorable (the
scan skips it and finds the cased "A") or cased; "1"+x+"Σ" does only when x is cased and not
ignorable (skipping x finds "1", which is not cased).
"""

import random
import sys
import unicodedata
from pathlib import Path

CASED, IGNORABLE, ESCAPED, MULTI = 1, 2, 4, 8
FLAG_NAMES = {
    CASED: "kCased",
    IGNORABLE: "kCaseIgnorable",
    ESCAPED: "kEscaped",
    MULTI: "kLowerMulti",
}


def ends_final(s):
    return s.lower().endswith("ς")


def case_class(ch):
    """CASED, IGNORABLE or 0; cased-ness of ignorable characters never matters to the rule."""
    if ends_final("A" + ch + "Σ") and not ends_final("1" + ch + "Σ"):
        return IGNORABLE
    return CASED if ends_final("1" + ch + "Σ") else 0


def escaped(ch):
    # Non-printable characters and combining marks (Mn, Me) would vanish or merge into the
    # neighbouring character in a message, hiding what the text really holds.
    return not ch.isprintable() or unicodedata.category(ch) in ("Mn", "Me")


def lower_like_cpython(s, classes):
    """str.lower() as CPython computes it, given the derived case classes."""
    out = []
    for i, ch in enumerate(s):
        if ch != "Σ":
            out.append(ch.lower())
            continue
        j = i - 1
        while j >= 0 and classes[s[j]] == IGNORABLE:
            j -= 1
        final = j >= 0 and classes[s[j]] == CASED
        if final:
            j = i + 1
            while j < len(s) and classes[s[j]] == IGNORABLE:
                j += 1
            final = j == len(s) or classes[s[j]] != CASED
        out.append("ς" if final else "σ")
    return "".join(out)


def check_case_classes(classes):
    assert classes["A"] == classes["a"] == classes["Σ"] == CASED
    assert classes["1"] == classes[" "] == 0
    for ch in "'.:^`\u0301\u00ad\u200b\u0345":  # U+0345 is both Cased and Case_Ignorable
        assert classes[ch] == IGNORABLE, hex(ord(ch))
    pools = [[c for c, k in classes.items() if k == kind] for kind in (0, CASED, IGNORABLE)]
    pools.append(["Σ"])
    rng = random.Random(0)
    for _ in range(50000):
        s = "".join(rng.choice(rng.choice(pools)) for _ in range(rng.randint(1, 8)))
        assert lower_like_cpython(s, classes) == s.lower(), ascii(s)


def build_records():
    """One (lower, flags) record per code point, the distinct records and the multi-char results."""
    multi, classes, rows = {}, {}, []
    for cp in range(0x110000):
        ch = chr(cp)
        lower = ch.lower()
        flags = ESCAPED if escaped(ch) else 0
        if not 0xD800 <= cp <= 0xDFFF:
            classes[ch] = case_class(ch)
            flags |= classes[ch]
            # Only capital sigma looks at its neighbours; everything else lowers on its own.
            assert cp == 0x3A3 or ("A" + ch + "B").lower() == "a" + lower + "b", hex(cp)
        if len(lower) == 1:
            rows.append((ord(lower) - cp, flags))
        else:
            # is_lower() relies on a multi-char result never starting with its own source.
            assert lower[0] != ch, hex(cp)
            rows.append((multi.setdefault(lower, len(multi)), flags | MULTI))
    check_case_classes(classes)
    return rows, sorted(set(rows)), list(multi)


def split_blocks(indexes, shift):
    size = 1 << shift
    blocks, stage1 = {}, []
    for start in range(0, len(indexes), size):
        stage1.append(blocks.setdefault(tuple(indexes[start : start + size]), len(blocks)))
    return stage1, list(blocks)


def int_type(count):
    return ("std::uint8_t", 1) if count <= 256 else ("std::uint16_t", 2)


def c_array(values, indent="    ", width=100):
    lines, line = [], indent
    for v in values:
        item = f"{v},"
        if len(line) + 1 + len(item) > width:
            lines.append(line)
            line = indent
        line += item if line == indent else " " + item
    return "\n".join(lines + [line])


def c_bytes(text):
    return '"' + "".join(f"\\x{b:02x}" for b in text.encode()) + '"'


def flags_expr(flags):
    return " | ".join(name for bit, name in FLAG_NAMES.items() if flags & bit) or "0"


def render():
    rows, records, multi = build_records()
    record_index = {r: i for i, r in enumerate(records)}
    indexes = [record_index[r] for r in rows]

    def total_bytes(shift):
        stage1, blocks = split_blocks(indexes, shift)
        stage2_bytes = (len(blocks) << shift) * int_type(len(records))[1]
        return len(stage1) * int_type(len(blocks))[1] + stage2_bytes

    shift = min(range(5, 10), key=total_bytes)
    stage1, blocks = split_blocks(indexes, shift)
    stage1_type, _ = int_type(len(blocks))
    stage2_type, _ = int_type(len(records))
    python = f"{sys.version_info.major}.{sys.version_info.minor}"

    out = [
        "// Generated at build time by tools/gen_unicode_tables.py from the Unicode database of",
        f"// Python {python} (Unicode {unicodedata.unidata_version}). Do not edit.",
        "// Two-stage lookup: code point >> kShift picks a block of record indexes; records",
        "// carry the lower-case delta and the flags declared in unicode.hpp.",
        '#include "text/unicode.hpp"',
        "",
        "namespace tessrin::detail {",
        "namespace {",
        "",
        "// clang-format off",
        f"constexpr int kShift = {shift};",
        "",
        f"constexpr {stage1_type} kBlockOf[{len(stage1)}] = {{",
        c_array(stage1),
        "};",
        "",
        f"constexpr {stage2_type} kBlocks[{len(blocks)}][1 << kShift] = {{",
    ]
    for number, block in enumerate(blocks):
        out += [f"    {{  // {number}", c_array(block, "        "), "    },"]
    out += ["};", "", f"constexpr CharInfo kRecords[{len(records)}] = {{"]
    out += [f"    {{{lower}, {flags_expr(flags)}}}," for lower, flags in records]
    out += ["};", "", f"constexpr std::string_view kMulti[{len(multi)}] = {{"]
    for text in multi:
        out.append(f"    {c_bytes(text)},  // " + " ".join(f"U+{ord(c):04X}" for c in text))
    out += [
        "};",
        "// clang-format on",
        "",
        "}  // namespace",
        "",
        "const CharInfo& char_info(char32_t c) noexcept {",
        "  if (c > 0x10FFFF) c = 0x10FFFF;",
        "  return kRecords[kBlocks[kBlockOf[c >> kShift]][c & ((1 << kShift) - 1)]];",
        "}",
        "",
        "std::string_view lower_multi(std::int32_t index) noexcept { return kMulti[index]; }",
        "",
        "}  // namespace tessrin::detail",
        "",
    ]
    return "\n".join(out)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: gen_unicode_tables.py OUT.cpp")
    Path(sys.argv[1]).write_text(render(), encoding="utf-8", newline="\n")
