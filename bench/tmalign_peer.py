"""TMalign run beside our engine on the same pairs, its figures cached between runs (a cache
row per pair, keyed by the two files' names and sizes, so that edited files are run again)."""
import concurrent.futures
import os
import pathlib
import re
import subprocess

CACHE = pathlib.Path(os.environ.get("MALVEN_BENCH_CACHE",
                                    pathlib.Path.home() / ".cache" / "malven-bench"))
_TM = re.compile(r"TM-score= ([0-9.]+) \(if normalized by length of Chain_([12])")
_ALN = re.compile(r"Aligned length=\s*(\d+), RMSD=\s*([0-9.]+)")


def run_pair(query, target, binary="TMalign"):
    """TMalign's (TM-score by the query, by the target, aligned length, RMSD) of one pair,
    the query given first (Chain_1)."""
    out = subprocess.run([binary, str(query), str(target)], capture_output=True, text=True,
                         check=False).stdout
    tm = {int(k): float(v) for v, k in _TM.findall(out)}
    m = _ALN.search(out)
    if len(tm) != 2 or not m:
        return None
    return tm[1], tm[2], int(m.group(1)), float(m.group(2))


def _key(path):
    path = pathlib.Path(path)
    return f"{path.name}#{path.stat().st_size}"


def tmalign_pairs(pairs, name, workers=2, binary="TMalign"):
    """{(query, target): figures} for every (query path, target path) pair, from the cache
    file `name` where it has them and from TMalign for the rest (appended as they finish)."""
    path = CACHE / "tmalign" / f"{name}.tsv"
    path.parent.mkdir(parents=True, exist_ok=True)
    known = {}
    if path.exists():
        for line in path.read_text().splitlines():
            f = line.split("\t")
            if len(f) == 6:
                known[(f[0], f[1])] = (float(f[2]), float(f[3]), int(f[4]), float(f[5]))
    todo = [(q, t) for q, t in pairs if (_key(q), _key(t)) not in known]
    if todo:
        with open(path, "a") as out, \
                concurrent.futures.ThreadPoolExecutor(workers) as pool:
            for (q, t), r in zip(todo, pool.map(lambda p: run_pair(*p, binary=binary), todo)):
                if r is not None:
                    known[(_key(q), _key(t))] = r
                    out.write("\t".join([_key(q), _key(t)] + [str(x) for x in r]) + "\n")
    return {(q, t): known.get((_key(q), _key(t))) for q, t in pairs}
