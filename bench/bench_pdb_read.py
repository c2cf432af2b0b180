"""Reading speed of Domain.from_pdb against gemmi.read_pdb on the largest PDB files of the
shared data, in one run. Prints MB/s for both and their ratio.

    python bench/bench_pdb_read.py [--top N]
"""
import malven
from common import SHARED, median_time, reading_benchmark, table


def main():
    gemmi, files = reading_benchmark(__doc__.splitlines()[0])
    rows, total_ours, total_gemmi, total_mb = [], 0.0, 0.0, 0.0
    for f in files:
        mb = f.stat().st_size / 1e6
        ours = median_time(lambda: malven.Domain.from_pdb(str(f)))
        theirs = median_time(lambda: gemmi.read_pdb(str(f)))
        total_ours += ours
        total_gemmi += theirs
        total_mb += mb
        rows.append((f.relative_to(SHARED), f"{mb:.2f}", f"{mb / ours:.0f}", f"{mb / theirs:.0f}",
                     f"{theirs / ours:.1f}x"))
    print(table(rows, ["file", "MB", "malven MB/s", "gemmi MB/s", "speed-up"]))
    print(f"\nall files: malven {total_mb / total_ours:.0f} MB/s, gemmi {total_mb / total_gemmi:.0f} MB/s, "
          f"malven {total_gemmi / total_ours:.1f}x faster (gemmi {gemmi.__version__})")


if __name__ == "__main__":
    main()
