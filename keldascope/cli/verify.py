"""`malven verify DB`: check a structure database whole, every file against its size, header
and checksum, for damage that opening it and the entries a search reads do not reach."""
from keldascope.cli.common import open_database

HELP = "check a structure database's files whole"
DESCRIPTION = """\
Check a structure database (made by malven createdb) whole: every file of every segment
against the size, header and checksum its manifest records. Opening a database checks its
index, letters and lookup so, and each entry's coordinates are checked when a search reads
them; this reads the coordinates of every entry too, so it takes as long as reading the
database once. Prints one line and exits 0 when it is sound; a damaged, truncated or
swapped file is one error line, exit status 1."""

EPILOG = """\
examples:
  malven verify pdb.db
  malven search pdb.db query.pdb --verify"""


def add_arguments(p, chain_type):
    p.add_argument("db", metavar="DB", help="the database (made by malven createdb)")


def run(args, context):
    db = open_database(args.db, verify=True)
    print(f"{args.db}: {len(db)} entries ({db.residues} residues): every file matches its "
          f"checksum")
    return 0
