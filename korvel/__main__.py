"""Command line: `python -m korvel inspect PATH [--json]`, `python -m korvel info` and
`python -m korvel --version`."""

import argparse
import os
import sys

import korvel
from korvel import _engine
from korvel._inspect_cmd import InspectError, format_report, inspect_index, report_json


def thread_count() -> str:
    """Threads a search uses when not told: the process's pool, and what sized it."""
    return f"{_engine.thread_count()} ({_engine.thread_count_source()}; KORVEL_THREADS overrides)"


def info_report() -> str:
    """The version, the kernel table in use, what the processor offers and the thread count."""
    info = _engine.kernel_info()
    request = os.environ.get("KORVEL_KERNELS", "")
    chosen = ("set by KORVEL_KERNELS" if request else
              "the best this processor runs; KORVEL_KERNELS=portable|avx2|avx512 forces one")
    if info["avx512_emulated"]:
        chosen += "; this build's avx512 kernels are portable emulations, for tests"
    cpu = info["cpu"]

    def yes(key: str) -> str:
        return "yes" if cpu[key] else "no"

    return "\n".join([
        f"korvel {korvel.__version__}",
        f"kernels: {info['kernels']} ({chosen})",
        f"usable kernel tables: {', '.join(info['usable'])}",
        "processor: " + ", ".join(f"{k} {yes(k)}" for k in
                                  ("avx2", "avx512f", "avx512bw", "avx512vpopcntdq")),
        f"OS saves registers: YMM {yes('os_ymm_state')}, ZMM (AVX-512) {yes('os_zmm_state')}",
        f"threads: {thread_count()}",
    ])


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
    commands.add_parser(
        "info", help="show the version, the kernels in use, the processor's features and threads")
    args = parser.parse_args(argv)

    if args.command is None:
        parser.print_help()
        return 2
    try:
        if args.command == "info":
            print(info_report(), flush=True)
            return 0
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
