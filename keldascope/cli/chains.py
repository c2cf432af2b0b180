"""`malven chains FILE...`: the chains of structure files with their lengths (C-alpha atoms
read under the rules every command uses), as a table or JSON."""
import keldascope
from keldascope.cli import inputs
from keldascope.cli.common import add_json_argument, dump_json
from keldascope.structures import chain_listing, list_models

HELP = "list the chains of structure files with their lengths"
DESCRIPTION = """\
List the chains of each file that hold C-alpha atoms, in file order, with the number of
residues every command reads from them: the names FILE:CHAIN takes (author chain ids; for a
PDB file whose chain column is blank, its segment ids). The first listed is the chain read
when none is named. The models the file holds are counted (an NMR entry has many; every
command reads one, chosen by --model, and 'malven align' takes --model1 and --model2)."""

EPILOG = """\
examples:
  malven chains 1tii.pdb
  malven chains 7ddo.cif.gz --model 2
  malven chains *.pdb --json"""


def add_arguments(p, chain_type):
    p.add_argument("files", nargs="+", metavar="FILE", help="structure files")
    p.add_argument("--model", type=inputs.whole_number, metavar="N",
                   help="list the chains of model N (default: the first model with C-alpha "
                        "atoms)")
    add_json_argument(p)


def shown(name):
    return repr(name) if not name.strip() else name


def run(args, context):
    listings = [chain_listing(path, args.model) for path in args.files]
    models = [list_models(path) for path in args.files]
    if args.json:
        dump_json({"command": "chains", "version": keldascope.__version__,
                   "files": [{"path": path, "format": fmt, "model": model,
                              "models": numbers,
                              "chains": [{"chain": name, "length": n} for name, n in chains]}
                             for path, (fmt, model, chains), numbers
                             in zip(args.files, listings, models)]})
        return 0
    lines = []
    for path, (fmt, model, chains), numbers in zip(args.files, listings, models):
        if lines:
            lines.append("")
        held = (f", {len(numbers)} models in the file ({numbers[0]} to {numbers[-1]})"
                if len(numbers) > 1 else ", 1 model in the file")
        lines.append(f"{path}  ({'mmCIF' if fmt == 'mmcif' else 'PDB'}, model {model}{held})")
        width = max([5] + [len(shown(name)) for name, _ in chains])
        lines.append(f"{'chain':<{width}}  residues")
        lines += [f"{shown(name):<{width}}  {n:>8}" for name, n in chains]
    print("\n".join(lines))
    return 0
