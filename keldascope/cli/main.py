"""Argument parsing and dispatch of the `malven` command, and the one place where expected
failures become a single error line and an exit status. Each command is a module of this
package with HELP, DESCRIPTION and EPILOG (its texts), add_arguments(parser, chain_type) and
run(args, context); the registry below lists them in the order --help shows them."""
# Signals are handled before the toolkit (NumPy, gemmi, the native modules) is imported: a
# Ctrl-C in that first tenth of a second ends the run with one line, as later ones do.
from keldascope.cli import interrupts  # isort: skip

interrupts.install(lambda: command_name(sys.argv[1:]))

import argparse
import importlib
import os
import sys
from dataclasses import dataclass

from keldascope.cli.common import CliError, UsageError, error_line
from keldascope.cli.inputs import chain_name
from keldascope.structures import MissingLibrary, UnreadableStructure

# Exit statuses (also in the README): 0 success; 1 a file cannot be read or written, an
# alignment fails, or the machine runs out of memory; 2 a bad command line; 3 an internal
# error (a bug of malven: one line, please report it); 130 interrupted by Ctrl-C, 143 by
# SIGTERM.
INTERNAL_ERROR = 3
INTERRUPTED = interrupts.INTERRUPTED

COMMANDS = ("align", "msa", "scan", "createdb", "search", "verify", "allvsall", "cluster",
            "chains", "demo")

DESCRIPTION = """\
Protein structural alignment with the KELDA method, on PDB and mmCIF files (plain or
gzipped). FILE:CHAIN names one chain of a file, in every command.

  malven align A.pdb B.cif    align two structures (B moved onto A)
  malven msa FILE... -o DIR   align several structures, write them superposed
  malven scan QUERY TARGET... rank targets (files or directories) against a query
  malven createdb DB SOURCE...
                              build a structure database once, for malven search
  malven search DB QUERY...   search a structure database with many queries at once
  malven verify DB            check a structure database's files whole
  malven allvsall FILE...     align every pair of a set of structures
  malven cluster SOURCE|DB    cluster chains by TM-score (files or a database)
  malven chains FILE          list the chains of a file with their lengths
  malven demo                 align and msa on bundled example structures

'malven COMMAND --help' describes each command."""


@dataclass(frozen=True)
class Context:
    """What a command knows of its invocation: its name for messages, and the dispatcher
    (which the demo uses to run the other commands as a user would type them)."""
    prog: str
    execute: object


class Parser(argparse.ArgumentParser):
    """argparse with its usage errors on one line (the usage text is in --help)."""

    def error(self, message):
        raise UsageError(f"{message} (see '{self.prog} --help')")


def version_text():
    try:
        import keldascope
    except ImportError as exc:
        return f"malven (module unavailable: {exc})"
    return f"malven {keldascope.__version__}"


class VersionAction(argparse.Action):
    """--version reads the module's version only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="print the version of malven and exit"):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(version_text())
        parser.exit(0)


def command_modules():
    try:
        return [importlib.import_module(f"keldascope.cli.{name}")
                for name in COMMANDS]
    except ImportError as exc:
        raise CliError(f"cannot load malven ({exc}); reinstall malven")


def build_parser(prog="malven"):
    parser = Parser(prog=prog, description=DESCRIPTION,
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    for name, command in zip(COMMANDS, command_modules()):
        p = sub.add_parser(name, help=command.HELP, description=command.DESCRIPTION,
                           epilog=command.EPILOG,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        command.add_arguments(p, chain_name)
        p.set_defaults(run=command.run)
    return parser


def execute(argv, prog="malven"):
    """Parse and run one command line; expected failures leave as CliError."""
    args = build_parser(prog).parse_args(argv)
    if args.command is None:
        raise UsageError(f"a command is needed: {', '.join(COMMANDS[:-1])} or {COMMANDS[-1]} "
                         f"(see '{prog} --help')")
    return args.run(args, Context(f"{prog} {args.command}", execute))


def command_name(argv):
    for arg in argv:
        if arg in COMMANDS:
            return f"malven {arg}"
        if not arg.startswith("-"):
            break
    return "malven"


def os_error_text(exc):
    """An OSError as one line: the system's reason and the file it concerns."""
    reason = exc.strerror or str(exc)
    names = [n for n in (exc.filename, exc.filename2) if n is not None]
    return f"{reason}: {' -> '.join(map(str, names))}" if names else reason


def fail(argv, message, status):
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    print(error_line(command_name(argv), message), file=sys.stderr)
    return status


def interrupted(argv, exc):
    # The interrupt may have landed inside a constructor (a Dask future's, say) whose object
    # is freed with the traceback, after this: its finaliser's complaint about the missing
    # attributes would follow our one line. The process is ending on the user's word.
    sys.unraisablehook = lambda unraisable: None
    status, word = interrupts.status_and_word(exc)
    print(f"\n{command_name(argv)}: {word}", file=sys.stderr)
    return status


def main(argv=None):
    """Run one command line and return its exit status; every failure leaves as one line on
    standard error."""
    argv = sys.argv[1:] if argv is None else list(argv)
    # File names that are not UTF-8 reach us as surrogate escapes; printed back they become
    # the original bytes, as ls prints them, instead of an encoding error.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    try:
        interrupts.started()
        status = execute(argv)
        interrupts.check()
        return status
    except (CliError, UnreadableStructure, MissingLibrary) as exc:
        return fail(argv, exc, getattr(exc, "status", 1))
    except KeyboardInterrupt as exc:
        return interrupted(argv, exc)
    except BrokenPipeError:
        # The reader of our output went away (`malven scan ... | head`): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except OSError as exc:
        return fail(argv, os_error_text(exc), 1)
    except MemoryError as exc:
        return fail(argv, f"out of memory: {exc}" if str(exc) else
                    "out of memory (the inputs are too large for this machine)", 1)
    except Exception as exc:  # a bug: still one line, with what is needed to report it
        return fail(argv, f"internal error: {type(exc).__name__}: {exc} "
                          f"(please report this)", INTERNAL_ERROR)


if __name__ == "__main__":
    sys.exit(main())
