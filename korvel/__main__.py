"""Command line: `python -m korvel inspect PATH [--json]` and `python -m korvel --version`."""

import argparse
import os
import sys

import korvel
from korvel._inspect_cmd import InspectError, format_report, inspect_index, report_json


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m korvel")
    parser.add_argument("--version", action="version", version=f"korvel {korvel.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    inspect = commands.add_parser(
        "inspect", help="describe a saved index (data file and sidecar) and check that they agree")
    inspect.add_argument("path", metavar="PATH", help="the data file; its sidecar is PATH.meta")
    inspect.add_argument("--json", action="store_true", help="print the report as JSON")
    inspect.add_argument("--top", type=int, default=5, metavar="N",
                         help="most frequent values shown per trait (default 5)")
    args = parser.parse_args(argv)

    if args.command is None:
        parser.print_help()
        return 2
    try:
        report = inspect_index(args.path, top=max(args.top, 0))
        print(report_json(report) if args.json else format_report(report), flush=True)
    except InspectError as e:
        print(f"korvel inspect: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # the reader went away (`... | head`): no traceback
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:  # Ctrl-C: the shell's status for SIGINT, no traceback
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
