"""Feeds every input of fuzz corpus folders through every Python entry function, with the checks
of tests/test_regressions.py. Run under the sanitized build (`make fuzz-python`), it carries
what the native fuzzers found into the dict export, the object model and the pyarrow hand-over.

    python fuzz/replay_python.py fuzz/work/corpus/collect fuzz/work/corpus/batches
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from test_regressions import check_everywhere, fuzz_source


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="+", type=Path)
    args = parser.parse_args()
    files = sorted(p for folder in args.folders if folder.is_dir() for p in folder.iterdir())
    failed = 0
    start = time.perf_counter()
    with tempfile.TemporaryDirectory() as tmp:
        for path in files:
            try:
                check_everywhere(fuzz_source(path.read_bytes()), Path(tmp))
            except BaseException as e:  # every failing input, also pytest's failures
                if isinstance(e, KeyboardInterrupt):
                    raise
                failed += 1
                print(f"{path}: {type(e).__name__}: {e}"[:2000], file=sys.stderr)
    print(f"{len(files)} inputs, {failed} failed, {time.perf_counter() - start:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
