"""`malven demo`: pairwise and multiple alignment of small real structures bundled with the
package, run as the commands a user would type, into a new folder under the current
directory."""
import os

from keldascope.cli import plot
from keldascope.cli.common import CliError, UsageError, check_option_value
from keldascope.outputs import atomic_output

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
INPUTS = ("1ni7.pdb", "1ni7_model2.pdb", "5eep.pdb")

HELP = "run the main jobs on bundled example structures"
DESCRIPTION = """\
Run align and msa on structures bundled with malven (wwPDB entries of the E. coli protein
CsdE: the crystal structure 5eep and two models of the NMR entry 1ni7, in unrelated
frames) and keep everything in a new folder: the inputs, the superposed PDB files, a FASTA
alignment and, when matplotlib is installed, a distance plot. Each step prints the command
it runs, to be repeated from inside that folder."""
EPILOG = None  # no examples: the demo is one


def add_arguments(p, chain_type):
    p.add_argument("-o", "--output-dir", metavar="DIR",
                   help="new folder for the outputs (default: ./malven-demo, or "
                        "./malven-demo-2 and so on when that exists)")


def fresh_directory(stem="malven-demo"):
    candidate, n = stem, 1
    while os.path.lexists(candidate):
        n += 1
        candidate = f"{stem}-{n}"
    return candidate


def steps(with_plot):
    align = ["align", "inputs/1ni7.pdb", "inputs/5eep.pdb", "-o", "align/5eep_on_1ni7.pdb"]
    if with_plot:
        align += ["--plot", "align/distances.png"]
    return [
        ("Pairwise: 5eep (X-ray) moved onto 1ni7 (NMR), two structures in unrelated frames",
         align),
        ("Multiple: the crystal structure and two NMR models, superposed onto the first",
         ["msa", "inputs/5eep.pdb", "inputs/1ni7.pdb", "inputs/1ni7_model2.pdb", "-o", "msa",
          "--fasta", "msa/csde.fasta"]),
    ]


def run(args, context):
    check_option_value(args.output_dir, "-o/--output-dir")
    base = args.output_dir or fresh_directory()
    if os.path.lexists(base):
        raise UsageError(f"argument -o/--output-dir: '{base}' already exists; the demo "
                         f"writes into a new folder")
    base = os.path.abspath(base)
    try:
        for sub in ("inputs", "align"):
            os.makedirs(os.path.join(base, sub))
        for name in INPUTS:
            with open(os.path.join(DATA, name), "rb") as source, \
                    atomic_output(os.path.join(base, "inputs", name), "wb") as copy:
                copy.write(source.read())
    except OSError as exc:
        raise CliError(f"cannot create the demo folder {base}: {exc.strerror or exc}")

    with_plot = plot.have_matplotlib()
    here = os.getcwd()
    os.chdir(base)
    try:
        for title, argv in steps(with_plot):
            print(f"== {title}")
            print(f"$ malven {' '.join(argv)}")
            print(flush=True)
            context.execute(argv)  # the same dispatcher as the shell's commands
            print()
    finally:
        os.chdir(here)
    if not with_plot:
        print("(No distance plot: matplotlib is not installed; "
              "pip install matplotlib adds it.)")
    print(f"Demo outputs are in {base}")
    print("Repeat any command above from inside that folder, or try your own files.")
    return 0
