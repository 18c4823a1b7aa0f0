"""Extreme inputs, each parsed in a child process under a time limit, so that a crash, a stack
overflow or a hang is a failed test rather than a dead test run. The child checks every result
it gets and reports its timings and its peak resident memory, which must stay within a bound
proportional to the input (and to the diagnostics, which are part of the result)."""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import UNDER_ASAN

TESTS = Path(__file__).resolve().parent
TIMEOUT = 180  # seconds per child; the cases take a few each

CHILD = textwrap.dedent(
    r'''
    import gc, json, random, sys, time
    sys.path.insert(0, sys.argv[2])
    from conftest import (Recorder, check_order, check_positions, entries_agree, model_view,
                          tessrin_core)

    C2 = "#\\#CIF_2.0\n"
    timings = {}  # seconds per entry function, summed over its calls
    diagnostics = 0  # the most diagnostics of one parse


    def timed(name, call):
        gc.collect()
        start = time.perf_counter()
        result = call()
        timings[name] = round(timings.get(name, 0) + time.perf_counter() - start, 2)
        return result


    def raw(source):
        global diagnostics
        result = timed("parse_raw", lambda: tessrin_core.parse_raw(source))
        check_positions(source, result["errors"])
        diagnostics = max(diagnostics, len(result["errors"]))
        return result


    def model(source):
        cif_file, errors = timed("parse_cif", lambda: tessrin_core.parse_cif(source))
        return cif_file, errors


    def arrow(source):
        return timed("parse_arrow", lambda: tessrin_core.parse_arrow(source))


    class Tally:
        """Counts the events of `parse` and follows the nesting depth without keeping events."""

        def __init__(self):
            self.values = self.errors = self.keys = self.tags = self.blocks = self.nuls = 0
            self.depth = self.max_depth = 0
            self.last_error = None

        def on_data_block(self, name):
            self.blocks += 1
            self.nuls += name.count("\0")

        def on_save_frame_start(self, name):
            self.nuls += name.count("\0")

        def on_save_frame_end(self):
            pass

        def on_loop_start(self, tags):
            self.tags += len(tags)
            self.nuls += sum(tag.count("\0") for tag in tags)

        def on_loop_end(self):
            pass

        def add_tag(self, tag):
            self.tags += 1
            self.nuls += tag.count("\0")

        def add_value(self, value, kind):
            self.values += 1
            self.nuls += value.count("\0")

        def on_table_key(self, key, kind):
            self.keys += 1
            self.nuls += key.count("\0")

        def on_error(self, error):
            self.errors += 1
            self.last_error = error

        def on_list_start(self):
            self.depth += 1
            self.max_depth = max(self.max_depth, self.depth)

        on_table_start = on_list_start

        def on_list_end(self):
            assert self.depth > 0
            self.depth -= 1

        on_table_end = on_list_end


    def handler(source):
        tally = Tally()
        timed("parse", lambda: tessrin_core.parse(source, tally))
        assert tally.depth == 0
        return tally


    def depth_of(value):
        """Nesting depth along the first item of each list or table, walked without recursion."""
        depth = 0
        while isinstance(value, (list, dict)) and value:
            depth += 1
            value = value[0] if isinstance(value, list) else next(iter(value.values()))
        return depth + isinstance(value, (list, dict))


    def only_batch(batches):
        (batch,) = batches
        return batch


    # --- the cases ------------------------------------------------------------------------

    N = 1_000_000


    def nested_lists():
        source = C2 + "data_a _v " + "[" * N + "]" * N + "\n"
        assert handler(source).max_depth == N
        result = raw(source)
        assert result["errors"] == [] and depth_of(result["blocks"][0]["tags"]["_v"][0]) == N
        del result
        cif_file, errors = model(source)
        assert errors == [] and depth_of(cif_file["a"]["_v"][0]) == N
        del cif_file
        batches, errors = arrow(source)
        assert only_batch(batches)["_v"].to_pylist() == ["\0" + "[" * N + "]" * N]
        return source


    def nested_tables():
        source = C2 + "data_a _v " + "{'k':" * N + "1" + "}" * N + "\n"
        tally = handler(source)
        assert (tally.max_depth, tally.keys, tally.errors) == (N, N, 0)
        result = raw(source)
        assert result["errors"] == [] and depth_of(result["blocks"][0]["tags"]["_v"][0]) == N
        del result
        cif_file, errors = model(source)
        assert errors == [] and depth_of(cif_file["a"]["_v"][0]) == N
        del cif_file
        batches, errors = arrow(source)
        cell = only_batch(batches)["_v"][0].as_py()
        assert cell == "\0" + '{"k":' * N + '"1"' + "}" * N
        return source


    def unclosed_nesting():
        # Closed at the end of the input, one diagnostic per level. The collecting entries
        # share this path, so parse_raw stands for parse_cif and parse_arrow here.
        source = C2 + "data_a _v " + "[{'k':" * (N // 2)
        tally = handler(source)
        assert tally.max_depth == N and tally.errors == N + 1
        result = raw(source)
        assert len(result["errors"]) == N + 1
        assert result["errors"][-1]["message"] == "unterminated list at EOF"
        assert depth_of(result["blocks"][0]["tags"]["_v"][0]) == N
        return source


    def long_line():
        # 110 MB on one line: a million values whose columns count characters, not bytes;
        # the string left open at the end must be placed exactly.
        count = 1_000_000
        word = "é" * 10 + "x" * 89
        head = "data_a loop_ _a "
        source = head + (word + " ") * count + "'open"
        (error,) = [e for e in raw(source)["errors"]]
        assert error["message"] == "unterminated single quoted string"
        assert (error["line"], error["column"]) == (1, len(head) + 100 * count + 1)
        tally = handler(source)
        assert tally.values == count + 1 and tally.last_error.column == error["column"]
        cif_file, errors = model(source)
        values = cif_file["a"]["_a"]
        assert len(values) == count + 1 and values[-2] == word and values[-1] == "open"
        del cif_file
        batches, errors = arrow(source)
        column = only_batch(batches)["_a"]
        assert len(column) == count + 1 and column[count - 1].as_py() == word
        return source


    def ten_million_values():
        pattern = ["1", "a", ".", "?", "é"]
        count = 10_000_000
        source = "data_a loop_ _a\n" + " ".join(pattern * (count // len(pattern))) + "\n"
        assert handler(source).values == count
        result = raw(source)
        column = result["blocks"][0]["tags"]["_a"]
        assert len(column) == count and column[:5] == pattern and column[-5:] == pattern
        del result, column
        cif_file, errors = model(source)
        assert len(cif_file["a"]["_a"]) == count
        del cif_file
        batches, errors = arrow(source)
        counts = only_batch(batches)["_a"].value_counts().to_pylist()
        assert {c["values"]: c["counts"] for c in counts} == dict.fromkeys(pattern, count // 5)
        return source


    def hundred_thousand_tags():
        count = 100_000
        tags = [f"_t.Tag{i}" for i in range(count)]
        # Two rows but for the last value: the builder pads it and names every tag.
        values = [str(i) for i in range(2 * count - 1)]
        source = "data_a\nloop_\n" + "\n".join(tags) + "\n" + " ".join(values) + "\n"
        assert handler(source).tags == count
        result = raw(source)
        (error,) = result["errors"]
        assert error["message"].startswith("loop value count 199999 is not divisible")
        assert error["message"].endswith(", ".join(t.lower() for t in tags[-3:]))
        block = result["blocks"][0]
        assert block["loops"] == [[t.lower() for t in tags]]
        assert block["tags"]["_t.tag0"] == ["0", str(count)]
        assert block["tags"][tags[-1].lower()] == [str(count - 1), "?"]
        del result, block
        cif_file, errors = model(source)
        assert len(cif_file["a"]._tag_order) == count
        del cif_file
        batch = only_batch(arrow(source)[0])
        assert batch.num_columns == count + 5 and batch.num_rows == 2
        assert batch.column(count + 4).to_pylist() == [str(count - 1), "?"]
        return source


    TEMPLATE = (
        "data_block\n_tag.one value\n_tag.two 'quoted value'\n_tag.three \"double\"\n"
        "_tag.text\n;\nline one\nline two\n;\nloop_\n_l.a\n_l.b\n1 2\nx y\n"
        "save_frame\n_f.x 1\nsave_\n_tag.list [1 2 {'k':v}]\n_tag.triple "
        + "'" * 3 + "a\nb" + "'" * 3 + "\n"
    )


    def nul_everywhere():
        # NUL is a word character: every NUL of the text must reach the handler inside some
        # name, tag, value or key, and the collecting entries must agree on what they keep.
        rng = random.Random(8)
        body = "".join(c + "\0" * (rng.random() < 0.3) for c in TEMPLATE * 3000)
        values = "data_x\nloop_ _a _b\n" + "\0 x\0y '\0' [\0] \n;\0\n;\n" * 100_000
        sources = ["data_x\n" + body, C2 + "data_x\n" + body, C2 + values, "\0" * 1_000_000]
        for source in sources:
            assert handler(source).nuls == source.count("\0")
            raw(source)
        for source in sources[1:3]:
            recorder = Recorder()
            tessrin_core.parse(source, recorder)
            check_order(recorder.calls)
            # Tags with NUL get U+FFFD in field names; NUL-led values come back through JSON.
            batches = entries_agree(source, calls=recorder.calls)[1]
            names = {name for batch in batches for name in batch.schema.names}
            assert any("\ufffd" in name for name in names) == (source is sources[1])
        return max(sources, key=len)


    def cr_line_ends():
        # Carriage returns alone, or before line feeds, end lines exactly like line feeds:
        # values and diagnostics (lines and columns included) are the same.
        head = "data_cr\n_text\n;\nline one\n\nline three\n;\nsave_f\n_f.x 1\nsave_\n"
        rows = ("1 'a b'\n;\nfield\n\n;\n" + '"""x\ny"""' + " [1\n2]\n'open\n{'k':\nv}\n\n"
                ) * 100_000  # fmt: skip
        for version in ("", C2):
            lf = version + head + "loop_\n_l.a\n_l.b\n_l.c\n" + rows
            expected = raw(lf)
            assert len(expected["errors"]) > 100_000
            for ending in ("\r", "\r\n"):
                source = lf.replace("\n", ending)
                assert raw(source) == expected
        cif_file, errors = model(source)
        assert errors == expected["errors"]
        assert model_view(cif_file) == expected["blocks"]
        del cif_file
        batches, errors = arrow(source)
        assert errors == expected["errors"] and len(batches) == 3
        tally = handler(source)
        assert tally.errors == sum(e["error_type"] != "semantic" for e in expected["errors"])
        return source


    def long_names():
        size = 10_000_000
        block, frame, tag, key = "B" * size, "F" * size, "_T" + "é" * size, "K" * size
        source = (C2 + f"data_{block}\n{tag} 1\nsave_{frame}\nloop_ {tag} {tag}x\n1 2\nsave_\n"
                  f"_table {{'{key}':1}}\n_missing\ndata_{block}\n")
        tally = handler(source)
        assert tally.blocks == 2 and tally.keys == 1
        result = raw(source)
        messages = [e["message"] for e in result["errors"]]
        assert messages[0] == f'tag "_missing" has no value (terminated by data_{block})'
        assert messages[1] == f'duplicate data block name: "{block}"'
        first = result["blocks"][0]
        assert first["name"] == block.lower()
        assert first["tag_order"] == [tag.lower(), "_table", "_missing"]
        assert first["tags"]["_table"] == [{key: "1"}]
        assert first["save_frames"][0]["loops"] == [[tag.lower(), tag.lower() + "x"]]
        del result, first
        cif_file, errors = model(source)
        assert cif_file[block]._save_frame_list[0].name == frame.lower()
        del cif_file
        batches, errors = arrow(source)
        assert [b.num_rows for b in batches] == [1, 1]
        assert batches[0]["_block_name"][0].as_py() == block.lower()
        assert batches[1].schema.names[5:] == [tag.lower(), tag.lower() + "x"]
        return source


    def peak_mb():
        # The high-water mark of this process's own memory. ru_maxrss would not do: exec keeps
        # the parent's peak in it, and the parent is a test run that may have grown large.
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024


    source = globals()[sys.argv[1]]()
    print(json.dumps({
        "input_mb": len(source.encode("utf-8", "surrogatepass")) / 2**20,
        "diagnostics": diagnostics,
        "peak_mb": peak_mb(),
        "timings": timings,
    }))
    '''
)

# Memory each case may use beyond the common bound, in MB, for results that hold more per item
# than the text it came from.
EXTRA_MB = {
    # a native value and a Python list per level, both alive while the result is exported
    "nested_lists": 250,
    # the same, with a key per level
    "nested_tables": 500,
    "unclosed_nesting": 250,
    "long_line": 0,
    # a list slot per value, and the constant leading columns (about 30 bytes) per Arrow row
    "ten_million_values": 400,
    # an Arrow field and array per column, exported and imported once more
    "hundred_thousand_tags": 200,
    "nul_everywhere": 0,
    "cr_line_ends": 0,
    "long_names": 0,
}


def memory_bound_mb(case, report):
    """Twenty times the input and 300 MB for the interpreter and pyarrow, 1.5 KB for each
    diagnostic (a dict of six fields in the result, its native record alive until the dict
    exists), and the case's own allowance."""
    return 20 * report["input_mb"] + 300 + 1.5 * report["diagnostics"] / 1024 + EXTRA_MB[case]


@pytest.mark.parametrize("case", EXTRA_MB)
def test_extreme_input(case):
    try:
        child = subprocess.run(
            [sys.executable, "-c", CHILD, case, str(TESTS)],
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
            check=False,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case} did not finish within {TIMEOUT} s")
    assert child.returncode == 0, f"{case} exited with {child.returncode}:\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout.strip().splitlines()[-1])
    print(case, json.dumps(report))
    assert UNDER_ASAN or report["peak_mb"] < memory_bound_mb(case, report), report
