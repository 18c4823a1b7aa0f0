"""The `tessrin` command: check, show and convert CIF files from the shell."""

from __future__ import annotations

import os
import sys

# Everything else is imported inside main(), where a Ctrl-C during start-up is caught too.

EXIT_OK = 0  # 1, for diagnostics, comes from check's summary
EXIT_TROUBLE = 2  # usage errors, unreadable input, unwritable output, a file's job failed
EXIT_INTERNAL = 3  # a fault of the command itself (traceback with --debug)
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report a Ctrl-C
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a shell reports for a program cut off by `| head`

EXIT_STATUS_HELP = """\
exit status:
  0    success (for check: no diagnostics)
  1    check found diagnostics
  2    usage error, or a file could not be read, written or processed (the others still are)
  3    internal error of the command (--debug shows its traceback)
  130  interrupted (Ctrl-C)
"""


def _at_least(minimum: int):
    """An argparse type: an int of at least `minimum`."""

    def number(text: str) -> int:
        import argparse

        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    return number


_positive = _at_least(1)
_count = _at_least(0)


def _version_action():
    import argparse

    class Version(argparse.Action):
        """--version: the package's version, read only when asked for."""

        def __init__(self, option_strings, dest, **kwargs):
            super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

        def __call__(self, parser, namespace, values, option_string=None):
            import tessrin

            print(f"tessrin {tessrin.__version__}")
            parser.exit()

    return Version


def build_parser():
    import argparse

    from tessrin._report import CHECK_MAX_ERRORS
    from tessrin._run import default_jobs

    parser = argparse.ArgumentParser(
        prog="tessrin",
        description="Check, summarise and convert CIF 1.1 and CIF 2.0 files.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_version_action())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--strict", action="store_true", help="collect values strictly (mode='strict')"
    )
    common.add_argument(
        "--debug", action="store_true", help="show the traceback of an internal error"
    )
    limit = argparse.ArgumentParser(add_help=False)
    limit.add_argument(
        "--max-errors",
        type=_count,
        default=None,
        metavar="N",
        help="record at most N diagnostics per file, then one saying how many more were found "
        "(check: 1000 by default; convert: no limit by default)",
    )
    jobs = argparse.ArgumentParser(add_help=False)
    jobs.add_argument(
        "-j",
        "--jobs",
        type=_positive,
        default=default_jobs(),
        metavar="N",
        help="parse N files at a time in worker processes (default: all cores; "
        "1 runs in this process)",
    )

    def add(name, help_text, parents):
        return commands.add_parser(
            name,
            parents=parents,
            help=help_text,
            description=help_text,
            epilog=EXIT_STATUS_HELP,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    check = add(
        "check",
        "print every diagnostic as PATH:LINE:COLUMN: TYPE: MESSAGE [ACTION]",
        [common, jobs, limit],
    )
    check.set_defaults(max_errors=CHECK_MAX_ERRORS)
    check.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="CIF files, or directories searched for *.cif, *.dic, *.mmcif",
    )
    check.add_argument("--json", action="store_true", help="print one JSON object per file instead")
    _conformance_options(check)
    check.set_defaults(run=run_check)

    show = add(
        "show",
        "summarise one file: its categories with row counts and first rows (or, with --blocks, "
        "its blocks, save frames, tags and loops)",
        [common],
    )
    show.add_argument("file", metavar="FILE")
    show.add_argument(
        "--blocks", action="store_true", help="show blocks and save frames instead of categories"
    )
    show.add_argument(
        "--rows",
        type=_positive,
        default=5,
        metavar="N",
        help="rows shown of each category or loop (default: 5)",
    )
    show.set_defaults(run=run_show)

    convert = add(
        "convert",
        "write the record batches of each file as Parquet, Arrow IPC or "
        "JSON lines, with the diagnostics beside them",
        [common, jobs, limit],
    )
    convert.add_argument(
        "paths", nargs="+", metavar="FILE", help="CIF files, or directories searched for them"
    )
    convert.add_argument(
        "--to",
        required=True,
        choices=("parquet", "arrow", "jsonl", "cif"),
        help="parquet/arrow: one file per category (OUT/atom_site.parquet); jsonl: one line "
        "per block; cif: one CIF per input (a directory of Parquet category tables written "
        "by --to parquet becomes one CIF, an archive's datasets one CIF per input file)",
    )
    convert.add_argument(
        "--layout",
        choices=("tables", "batches"),
        default="tables",
        help="parquet/arrow: one file per category (tables, the default) or per block, save "
        "frame and loop (batches)",
    )
    convert.add_argument(
        "--types",
        default="infer",
        metavar="text|infer|DICTIONARY",
        help="category tables: int64/float64 columns where every value is a number (infer, "
        "the default), every column text (text), or the item types a DDL2 or DDLm "
        "dictionary declares (its path)",
    )
    convert.add_argument(
        "--cif-version",
        choices=("1.1", "2.0"),
        help="with --to cif: the CIF version written (default: the version of each input)",
    )
    convert.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT",
        help="output directory; with several inputs, each gets a subdirectory named after the file",
    )
    add_dataset_options(convert)
    convert.add_argument(
        "--encoding",
        type=_codec,
        metavar="NAME",
        help="read the files in this encoding (any Python codec, e.g. cp1252, latin-1); "
        "without it, files that are not UTF-8 are refused",
    )
    convert.set_defaults(run=run_convert)
    return parser


def add_dataset_options(convert) -> None:
    """Options of the dataset layout: many inputs, one Parquet dataset per category."""
    group = convert.add_argument_group(
        "datasets (--to parquet with a directory, --dataset, --resume or --scheduler)",
        "OUT/<category>/part-*.parquet, every row with its file; OUT/_files.parquet lists "
        "every input; OUT/_diagnostics/ every diagnostic",
    )
    group.add_argument(
        "--dataset", action="store_true", help="write datasets even when every PATH is a file"
    )
    group.add_argument(
        "--resume",
        action="store_true",
        help="skip inputs OUT/_files.parquet lists with the same size and modification time",
    )
    group.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask scheduler at ADDRESS (default: $DASK_SCHEDULER_ADDRESS, else "
        "-j local processes); 'local' starts a local Dask cluster of -j workers",
    )
    group.add_argument(
        "--task-size",
        type=_positive,
        metavar="MB",
        help="MB of CIF text per task; each task writes its own parts (default: 64, less "
        "for an archive too small to give every worker several tasks)",
    )


def _codec(name: str) -> str:
    import argparse
    import codecs

    try:
        return codecs.lookup(name).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {name!r}") from None


def _conformance_options(check) -> None:
    from tessrin._findings import rule_list

    check.add_argument(
        "--no-conformance",
        action="store_true",
        help="report the parser's diagnostics only, not the conformance findings "
        "(PATH:LINE:COLUMN: error[RULE]: MESSAGE)",
    )
    check.add_argument(
        "--select",
        type=rule_list,
        metavar="RULE,...",
        help="report only these conformance rules ('all': every rule, the recommendations too)",
    )
    check.add_argument(
        "--ignore", type=rule_list, metavar="RULE,...", help="do not report these rules"
    )


def _complain(message: str) -> None:
    print(f"tessrin: {message}", file=sys.stderr)


def _failed(failure, path: str, debug: bool) -> None:
    """A file whose job raised: one line, and its traceback with --debug."""
    if debug:
        print(failure.traceback, end="", file=sys.stderr)
    print(f"{path}: error: {failure.message}", file=sys.stderr)


def _inputs(paths: list[str]) -> tuple[list[str], bool]:
    """The files to process, after reporting arguments that gave none."""
    from tessrin._run import collect_files

    files, problems = collect_files(paths)
    for problem in problems:
        _complain(problem)
    return files, bool(problems)


def run_check(args) -> int:
    import functools

    from tessrin._findings import selected_rules
    from tessrin._report import CheckSummary, check_file, check_json, check_lines
    from tessrin._run import FileFailure, run_all

    files, troubled = _inputs(args.paths)
    summary = CheckSummary()
    rules = None if args.no_conformance else selected_rules(args.select, args.ignore)
    job = functools.partial(
        check_file, strict=args.strict, max_errors=args.max_errors, rules=rules
    )
    for result in run_all(job, files, args.jobs):
        if isinstance(result, FileFailure):
            _failed(result, result.item, args.debug)
            troubled = True
            continue
        summary.add(result)
        if args.json:
            print(check_json(result))
            continue
        if result["unreadable"] is not None:
            _complain(f"{result['path']}: cannot read: {result['unreadable']}")
        findings = result.get("conformance") or []
        for line in check_lines(result["path"], result["errors"], findings):
            print(line)
    if not args.json:
        print(summary.line())
    return EXIT_TROUBLE if troubled else summary.exit_status()


def run_show(args) -> int:
    import io

    from rich.console import Console

    from tessrin._report import show_file
    from tessrin._run import Unreadable

    if os.path.isdir(args.file):
        _complain(f"{args.file}: is a directory; show takes one file (check takes directories)")
        return EXIT_TROUBLE
    # Tables pad every line to their width: invisible on a terminal, but noise in a file or a
    # diff, so output that is not a terminal is rendered first and written without it.
    buffer = None if sys.stdout.isatty() else io.StringIO()
    console = Console(file=buffer, highlight=False)
    try:
        show_file(args.file, args.strict, args.rows, console, blocks_view=args.blocks)
    except Unreadable as error:
        _complain(f"{args.file}: cannot read: {error}")
        return EXIT_TROUBLE
    if buffer is not None:
        sys.stdout.writelines(line.rstrip() + "\n" for line in buffer.getvalue().splitlines())
    return EXIT_OK


def run_convert(args) -> int:
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        _complain(f"{args.output}: exists and is not a directory")
        return EXIT_TROUBLE
    dataset = args.to == "parquet" and args.layout == "tables"
    if not dataset and (args.dataset or args.resume or args.scheduler):
        _complain(
            "--dataset, --resume and --scheduler write Parquet datasets of category tables: "
            "use --to parquet (and no --layout batches)"
        )
        return EXIT_TROUBLE
    import functools
    import itertools

    import tessrin_core

    from tessrin._report import plural
    from tessrin._run import FileFailure, run_all
    from tessrin.convert.file import DIAGNOSTICS_FILE, convert_file, output_dirs
    from tessrin.convert.options import ConvertOptions

    try:
        # Read the dictionary once up front (it is cached), so a bad path is one clear error
        # rather than a failure blamed on every input.
        tessrin_core.parse_tables("", types=args.types)
    except OSError as error:
        reason = os.strerror(error.errno) if error.errno else str(error)
        _complain(
            f"--types {args.types}: {reason} (expected infer, text or the path of a DDL2 or "
            "DDLm dictionary)"
        )
        return EXIT_TROUBLE
    except ValueError as error:
        _complain(f"--types: {error}")
        return EXIT_TROUBLE
    options = ConvertOptions(
        strict=args.strict, types=args.types, max_errors=args.max_errors, encoding=args.encoding
    )
    if dataset and (
        args.dataset or args.resume or args.scheduler or any(map(os.path.isdir, args.paths))
    ):
        from tessrin.convert.archive import convert_archive

        return convert_archive(
            args.paths,
            args.output,
            options,
            jobs=args.jobs,
            scheduler=args.scheduler,
            resume=args.resume,
            task_mb=args.task_size,
            complain=_complain,
        )
    paths, tables_jobs = args.paths, []
    if args.to == "cif":
        from tessrin.convert.to_cif import convert_parquet_to_cif, table_sources

        # A directory of category tables (`convert --to parquet` output) is one CIF to write.
        tables_dirs = [p for p in paths if os.path.isdir(p) and table_sources(p)]
        paths = [p for p in paths if p not in tables_dirs]
        tables_jobs = [
            convert_parquet_to_cif((d, args.output), cif_version=args.cif_version, jobs=args.jobs)
            for d in tables_dirs
        ]
    files, troubled = _inputs(paths) if paths else ([], False)
    jobs = list(zip(files, output_dirs(files, args.output)))
    job = functools.partial(convert_file, fmt=args.to, options=options, layout=args.layout)
    if args.to == "cif":
        from tessrin.convert.to_cif import convert_file_to_cif

        job = functools.partial(
            convert_file_to_cif, options=options, cif_version=args.cif_version
        )
    for outcome in itertools.chain(tables_jobs, run_all(job, jobs, args.jobs)):
        if isinstance(outcome, FileFailure):
            _failed(outcome, outcome.item[0], args.debug)
            troubled = True
            continue
        if outcome["failure"] is not None:
            _complain(f"{outcome['path']}: {outcome['failure']}")
            troubled = True
            continue
        # An archive's datasets are written back one CIF per input: each that failed, named.
        for file, failure in outcome.get("failures", ()):
            _complain(f"{outcome['path']}: {file}: {failure}")
            troubled = True
        # The diagnostics file is not data (a CIF from tables has none).
        written = len([n for n in outcome["written"] if n != DIAGNOSTICS_FILE])
        note = f" ({outcome['note']})" if outcome.get("note") else ""
        print(
            f"{outcome['path']}: {plural(written, args.to + ' file')} and "
            f"{plural(outcome['diagnostics'], 'diagnostic')} in {outcome['out_dir']}{note}"
        )
    return EXIT_TROUBLE if troubled else EXIT_OK


def main(argv: list[str] | None = None) -> int:
    # Tags and messages may hold any character; a terminal or pipe with a narrower encoding
    # must not turn them into a crash.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        # First in the block: the last except clause needs the name.
        from concurrent.futures.process import BrokenProcessPool

        args = build_parser().parse_args(argv)
        return args.run(args)
    except KeyboardInterrupt:
        _complain("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): nothing more can be said, but the interpreter's
        # final flush must not fail with a second traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except BrokenProcessPool:
        _complain("a worker process died unexpectedly; run with -j 1 to find the file")
        return EXIT_TROUBLE
    except Exception as error:  # noqa: BLE001 - the command's own fault: no bare traceback
        if "--debug" in (sys.argv[1:] if argv is None else argv):
            import traceback

            traceback.print_exc()
        _complain(f"internal error: {error or type(error).__name__} (--debug shows where)")
        return EXIT_INTERNAL


if __name__ == "__main__":
    sys.exit(main())
