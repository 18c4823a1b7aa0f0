"""The README's Python examples run as written (in a scratch directory)."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """One directory for all examples: a later one may read the file an earlier one wrote."""
    return tmp_path_factory.mktemp("readme")


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code, scratch, monkeypatch):
    monkeypatch.chdir(scratch)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        # The README's own examples: running them is the test.
        exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})  # noqa: S102
    # Where the example shows its output in a comment, the output must match it.
    for line in code.splitlines():
        m = re.match(r"\s*print\(.*\)\s+# (.+)$", line)
        if m:
            assert m.group(1).strip() in out.getvalue()
