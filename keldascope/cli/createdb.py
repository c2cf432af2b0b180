"""`malven createdb DB SOURCE...`: build a structure database once (every protein chain of
every file an entry) from structure files, folders searched recursively and @LIST files, for
`malven search` to search many times."""
import os

import keldascope
from keldascope import BuildSettings
from keldascope.cli import inputs
from keldascope.cli.common import (CliError, UsageError, add_quiet_argument, add_threads_argument,
                                   check_option_value, threads_for, warn)
from keldascope.cli.progress import Progress
from keldascope.database import build

HELP = "build a structure database for malven search"
DESCRIPTION = """\
Build a structure database: every protein chain of every file becomes one entry named
FILE:CHAIN (the first model with C-alpha atoms unless --model says otherwise), stored with
what the search needs (C-alpha coordinates in fixed point, sequence, residue labels, shape
letters, source file and chain) in a folder of flat files. Sources are structure
files (PDB or mmCIF, plain or gzipped), folders searched recursively for .pdb, .ent, .cif
and .mmcif files (each also .gz), and @LIST, a text file naming one path a line.

Files are read on all cores. A file that cannot be read is skipped with a warning and
counted in the closing summary. The database is written under a temporary name and renamed
at the end: a failure or Ctrl-C leaves nothing behind (with --append, the database as it
was). What a build that was killed outright left (a temporary folder beside DB, temporary
files inside it) is removed by the next build of DB, with a warning."""

EPILOG = """\
examples:
  malven createdb pdb.db /data/pdb/
  malven createdb afdb.db @models.txt --min-plddt 70 --threads 8
  malven createdb pdb.db new/ --append
  malven search pdb.db query.pdb"""


def add_arguments(p, chain_type):
    p.add_argument("db", metavar="DB", help="the database to write (a folder)")
    p.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="structure files, folders of them, or @LIST (one path a line)")
    p.add_argument("--first-chain", action="store_true",
                   help="one entry a file: the chain of its first C-alpha atom")
    p.add_argument("--append", action="store_true",
                   help="add the sources' entries to the existing database DB")
    add_threads_argument(p, "reading the files")
    add_quiet_argument(p)
    # createdb takes every chain of a file (or with --first-chain its first): FILE:CHAIN
    # names no source here.
    inputs.add_reading_arguments(p, inputs.FORMATS + "; every protein chain of a file "
                                 "becomes an entry (--first-chain: only its first)")


def settings_of(args, prog):
    """The build the command line asks for; its checks before any file is read."""
    check_option_value(args.db, "DB")
    exists = os.path.lexists(args.db)
    if exists and not args.append:
        raise UsageError(f"{args.db} exists: --append adds to a database; a new one needs a "
                         f"new name")
    if args.append and not exists:
        raise CliError(f"cannot append to {args.db}: no such database")
    return BuildSettings(model=args.model, min_plddt=args.min_plddt,
                         first_chain=args.first_chain, threads=threads_for(args.threads, prog))


def run(args, context):
    prog = context.prog
    settings = settings_of(args, prog)
    special = []
    found = keldascope.find_structure_files(inputs.expand_lists(args.sources), special)
    files = [path for path, _ in found]
    try:
        with Progress("Reading files", len(files), Progress.wanted(args.quiet)) as bar:
            report = build(args.db, files, settings, append=args.append,
                           progress=(lambda done, _: bar.update(done - bar.done))
                           if bar.enabled else None)
    except ValueError as exc:  # the database's refusals: no database, another build at work
        raise CliError(str(exc))
    if not args.quiet:
        for path in report.removed:
            warn(prog, f"removed {path}, left by a build of {args.db} that was killed")
    skipped = [reason for _, reason in special] + \
        [f"{path}: {reason}" for path, reason in report.skipped]
    if not args.quiet:
        for reason in skipped:
            warn(prog, f"skipped: {reason}")
    total = len(keldascope.Database(args.db)) if args.append else None
    print(f"{args.db}: {report.entries} entries ({report.residues} residues) from "
          f"{report.files} files" + (f", {len(skipped)} files skipped" if skipped else "")
          + (f"; {total} entries in all" if args.append else ""))
    return 0
