"""Searches and all-against-all comparisons on a real dask.distributed cluster of two worker
processes on loopback and in this process: equality with one scan_database call and with one
search or comparison here, a worker killed mid-run, unreadable files, and the command line
(--jobs, allvsall, Ctrl-C)."""
import json
import os
import pathlib
import signal
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import keldascope
import malven
from conftest import ROOT, SHARED
from test_cli import cli_env, fails, ok

from keldascope import Method, distributed  # noqa: E402

PDB = ROOT / "tests" / "data" / "pdb"
BUNDLED = ROOT / "keldascope" / "cli" / "data"
BM5 = SHARED / "bm5"
NO_DASK = distributed.dask_unavailable()
needs_dask = pytest.mark.skipif(NO_DASK is not None, reason=str(NO_DASK))

# scan_database's modes and the engine's methods they are.
MODES = {"scan": (dict(scan_mode=True), Method.KELDA_SCAN),
         "full": (dict(scan_mode=False), Method.KELDA_FULL),
         "quick": (dict(scan_mode=False, quick=True), Method.KELDA_QUICK)}


@pytest.fixture(scope="module")
def client():
    with distributed.local_client(2) as made:
        made.wait_for_workers(2)
        yield made


def fields(hit):
    """What scan_database reports of a hit; the RMSD only where pairs were superposed (the
    module's sentinels stand for none)."""
    return (hit.target_id, hit.rank, hit.score, hit.rmsd if hit.n_aligned >= 3 else None,
            hit.n_aligned, hit.seq_identity, hit.z_score)


def found_fields(found):
    """The same of a toolkit search's hits."""
    return [(found.name(h), h.rank, h.score, h.rmsd if h.aligned else None, h.n_aligned,
             h.identity, h.z_score) for h in found.hits]


def reference(query, targets, **kwargs):
    """One scan_database call over every target, in order."""
    return malven.scan_database(malven.Domain.from_pdb(str(query)),
                                [malven.Domain.from_pdb(str(t)) for t in targets], **kwargs)


def scan(query, targets, mode, score_cutoff=0.0, max_hits=100, **kwargs):
    """A distributed search by the engine's method for scan_database's mode, ranked as
    scan_database ranks (by the method's score, not the default E-value)."""
    return distributed.distributed_search(query, targets, method=MODES[mode][1],
                                          min_score=score_cutoff, max_hits=max_hits,
                                          sort_by=keldascope.SortBy.SCORE, **kwargs)


def small_set():
    """Every bundled and test structure, twice, the second time in reverse order: identical
    targets score alike, so ties fall across shards and must keep the input order."""
    files = sorted(PDB.glob("*.pdb")) + sorted(BUNDLED.glob("*.pdb"))
    return files + files[::-1]


def assert_same_scan(got, expected, targets):
    assert found_fields(got) == [fields(h) for h in expected]
    for h in got.hits:
        assert pathlib.Path(got.path(h)).stem == got.name(h) == pathlib.Path(targets[h.target]).stem
    # Equal scores stay in target order.
    for a, b in zip(got.hits, got.hits[1:]):
        assert a.score > b.score or (a.score == b.score and a.target < b.target)


# ---- exactness ------------------------------------------------------------------------------

@needs_dask
@pytest.mark.parametrize("mode,cutoff,max_hits,chunk", [
    ("scan", 0.0, 100, None),
    ("scan", 0.0, 7, 3),  # truncation before the Z-scores, after the merge
    ("full", 0.0, 100, 2),
    ("quick", 0.0, 100, 5),
    ("quick", 0.3, 5, 1),
])
def test_scan_equals_one_module_call(client, mode, cutoff, max_hits, chunk):
    query, targets = PDB / "1ni7.pdb", small_set()
    expected = reference(query, targets, score_cutoff=cutoff, max_hits=max_hits, **MODES[mode][0])
    got = scan(query, targets, mode, cutoff, max_hits, client=client, chunk_size=chunk)
    assert got.n_targets == len(targets) and got.skipped == []
    assert len(expected) == min(max_hits, len(got.hits)) and len(expected) >= 2
    assert_same_scan(got, expected, targets)


@needs_dask
@pytest.mark.skipif(not BM5.is_dir(), reason=f"{BM5} is absent")
@pytest.mark.parametrize("mode", ["scan", "quick"])
def test_scan_of_bm5_equals_one_module_call(client, mode):
    targets = sorted(BM5.glob("*.pdb"))
    query = BM5 / "1D6R_r_u.pdb"
    expected = reference(query, targets, max_hits=150, **MODES[mode][0])
    got = scan(query, targets, mode, max_hits=150, client=client)
    assert_same_scan(got, expected, targets)


@needs_dask
def test_a_cluster_of_its_own_when_no_client_is_given():
    query, targets = BUNDLED / "1ni7.pdb", small_set()
    got = scan(query, targets, "scan", n_workers=2)
    assert_same_scan(got, reference(query, targets), targets)


def test_in_process_runner_equals_one_module_call():
    # The path that needs no Dask (PyPy, small inputs) shares the merge with the cluster's.
    query, targets = BUNDLED / "5eep.pdb", small_set()
    expected = reference(query, targets, max_hits=9)
    got = scan(query, targets, "scan", max_hits=9, chunk_size=4, client=distributed.IN_PROCESS)
    assert_same_scan(got, expected, targets)


@needs_dask
@pytest.mark.parametrize("keep", [0, 3])
def test_robust_search_equals_one_search_here(client, keep):
    """With the prefilter chosen over the whole list: the same hits, prefilter scores and
    counts as one search over the structures read here."""
    query, targets = BUNDLED / "1ni7.pdb", small_set()
    here = keldascope.search(str(query), [str(t) for t in targets], keep=keep, max_hits=20)
    got = distributed.distributed_search(query, targets, keep=keep, max_hits=20, client=client,
                                         chunk_size=5)
    assert (got.n_targets, got.n_aligned, got.prefilter_keep) == \
        (here.n_targets, here.n_aligned, here.prefilter_keep)
    assert [(h.target, h.rank, h.score, h.sc, h.prefilter, h.z_score, h.pairs, h.bits, h.prob)
            for h in got.hits] == [(h.target, h.rank, h.score, h.sc, h.prefilter, h.z_score,
                                    h.pairs, h.bits, h.prob) for h in here.hits]
    # E-values count the whole list, not a chunk's share of it.
    assert [h.evalue for h in got.hits] == pytest.approx([h.evalue for h in here.hits],
                                                         rel=1e-12)
    assert got.query.path == str(query)


@needs_dask
def test_all_against_all_is_each_pair_scanned_once(client):
    paths = [PDB / "1sp1.pdb", BUNDLED / "5eep.pdb", PDB / "1sp2.pdb", BUNDLED / "1ni7.pdb",
             BUNDLED / "1ni7_model2.pdb", PDB / "3znf.pdb"]
    got = distributed.distributed_compare(paths, method=Method.KELDA_SCAN, client=client,
                                          chunk_size=2)
    domains = [malven.Domain.from_pdb(str(p)) for p in paths]
    here = keldascope.compare_all(domains, method=Method.KELDA_SCAN)
    assert got.names == [d.id for d in domains] and got.lengths == [len(d) for d in domains]
    assert got.paths == [str(p) for p in paths]
    for name in ("sc", "score", "tm_longer", "n_aligned"):
        matrix = getattr(got, name)
        assert np.array_equal(matrix, matrix.T) and np.array_equal(matrix, getattr(here, name))
    np.testing.assert_array_equal(got.tm, here.tm)
    np.testing.assert_array_equal(got.rmsd, here.rmsd)
    for i, a in enumerate(domains):
        for j, b in enumerate(domains[i:], i):
            # The shorter leads when the other is under half as long (1sp1 with 5eep).
            q, t = (b, a) if len(b) < len(a) // 2 else (a, b)
            hit, = malven.scan_database(q, [t], max_hits=1)
            assert (got.sc[i, j], got.n_aligned[i, j]) == (hit.score, hit.n_aligned), (a.id, b.id)
            if hit.n_aligned >= 3:
                assert got.rmsd[i, j] == hit.rmsd
    # A structure against itself pairs every residue.
    assert list(np.diag(got.n_aligned)) == got.lengths


@needs_dask
@pytest.mark.skipif(not (SHARED / "FAMILIES.tsv").is_file(), reason="shared data absent")
def test_all_against_all_of_the_globins(client):
    row = next(line.split("\t") for line in (SHARED / "FAMILIES.tsv").read_text().splitlines()
               if line.startswith("globins_scop_domains\t"))
    paths = [SHARED / p for p in row[-1].split()]
    got = distributed.distributed_compare(paths, method=Method.KELDA_SCAN, client=client)
    here = distributed.distributed_compare(paths, method=Method.KELDA_SCAN,
                                           client=distributed.IN_PROCESS)
    assert len(got.names) == 26 and got.names == here.names
    for name in ("sc", "tm", "n_aligned"):
        assert np.array_equal(getattr(got, name), getattr(here, name))
    assert list(np.diag(got.n_aligned)) == got.lengths


# ---- faults ---------------------------------------------------------------------------------

@needs_dask
def test_a_worker_killed_mid_run_loses_no_hit(client):
    query = BUNDLED / "1ni7.pdb"
    # Work enough to outlast the client noticing the first chunk, on a loaded machine too.
    targets = [BUNDLED / "5eep.pdb", BUNDLED / "1ni7_model2.pdb", PDB / "1hpv.pdb"] * 40
    expected = reference(query, targets, max_hits=len(targets))
    killed = []

    def kill_one(done, total):
        if done >= 1 and not killed:
            busy = [w for w, keys in client.processing().items() if keys]
            assert busy and done < total
            pid = client.run(os.getpid, workers=busy[:1])[busy[0]]
            os.kill(pid, signal.SIGKILL)
            killed.append(busy[0])

    got = scan(query, targets, "scan", max_hits=len(targets), client=client, chunk_size=1,
               progress=kill_one)
    assert killed
    assert_same_scan(got, expected, targets)
    # The nanny starts a new worker in its place (at a new address) for the next tests.
    deadline = time.monotonic() + 60
    while True:
        workers = client.scheduler_info()["workers"]
        if killed[0] not in workers and len(workers) == 2:
            break
        assert time.monotonic() < deadline, workers
        time.sleep(0.1)


@pytest.mark.parametrize("runner", [
    pytest.param("cluster", marks=needs_dask), "in-process"])
def test_unreadable_files_fail_the_run_or_are_listed(request, tmp_path, runner):
    on = request.getfixturevalue("client") if runner == "cluster" else distributed.IN_PROCESS
    broken = tmp_path / "broken.pdb"
    broken.write_text("REMARK no atoms\n")
    missing = tmp_path / "missing.pdb"
    good = [PDB / "1sp1.pdb", PDB / "3znf.pdb", PDB / "1sp2.pdb"]
    targets = [good[0], broken, good[1], missing, good[2]]

    with pytest.raises(distributed.UnreadableStructure) as err:
        scan(PDB / "1sp2.pdb", targets, "scan", client=on, chunk_size=1)
    assert err.value.path in (str(broken), str(missing)) and err.value.path in str(err.value)

    got = scan(PDB / "1sp2.pdb", targets, "scan", client=on, chunk_size=2, skip_unreadable=True)
    assert [p for p, _ in got.skipped] == [str(broken), str(missing)]
    assert "no protein chain" in got.skipped[0][1] and "No such file" in got.skipped[1][1]
    assert got.n_targets == 3
    # Positions are those in the list given, unreadable files included.
    expected = reference(PDB / "1sp2.pdb", good)
    assert found_fields(got) == [fields(h) for h in expected]
    assert [got.path(h) for h in got.hits] == \
        [str(targets[h.target]) for h in got.hits] and {h.target for h in got.hits} == {0, 2, 4}

    with pytest.raises(distributed.UnreadableStructure, match="broken.pdb"):  # the first
        distributed.distributed_compare(targets, client=on)
    matrix = distributed.distributed_compare(targets, client=on, skip_unreadable=True)
    assert matrix.paths == [str(p) for p in good] and len(matrix.skipped) == 2
    with pytest.raises(distributed.UnreadableStructure, match="missing.pdb"):
        scan(missing, good, "scan", client=on)


@pytest.mark.parametrize("kwargs,error", [
    (dict(max_hits=-1), OverflowError),  # the settings' own refusal of a negative count
    (dict(max_hits=None), TypeError),
    (dict(min_score=None), TypeError),
    (dict(method=None), TypeError),
    (dict(params={"e3": 1.0}), TypeError),
    (dict(skip_unreadable=[True]), ValueError),
    (dict(settings=keldascope.CompareSettings()), TypeError),
])
def test_bad_options_fail_before_any_work(kwargs, error):
    with pytest.raises(error):
        distributed.distributed_search(PDB / "1sp1.pdb", [PDB / "1sp2.pdb"] * 2,
                                       client=distributed.IN_PROCESS, **kwargs)


def test_a_failing_alignment_names_its_structures():
    bad = {"e1": 0.0}
    targets = [PDB / "1sp1.pdb", BUNDLED / "5eep.pdb"]
    with pytest.raises(ValueError, match=r"^scan of .*1sp1.pdb failed: Scan failed: Invalid "
                                         r"parameter: e1 must be a positive finite number"):
        scan(BUNDLED / "1ni7.pdb", targets, "full", params=bad, client=distributed.IN_PROCESS)
    with pytest.raises(ValueError, match=r"^alignment of .*1sp1.pdb with .*1sp1.pdb failed: "
                                         r"Alignment failed: Invalid parameter: e1"):
        distributed.distributed_compare(targets, method=Method.KELDA_FULL, params=bad,
                                        client=distributed.IN_PROCESS)


def test_parameters_reach_the_workers():
    params = malven.Parameters()
    params.e1, params.cutoff_dist = 3.0, 6.0
    targets = [BUNDLED / "5eep.pdb", BUNDLED / "1ni7_model2.pdb"]
    expected = reference(BUNDLED / "1ni7.pdb", targets, params=params)
    for given in (params, {"e1": 3.0, "cutoff_dist": 6.0}):
        got = scan(BUNDLED / "1ni7.pdb", targets, "scan", params=given,
                   client=distributed.IN_PROCESS)
        assert found_fields(got) == [fields(h) for h in expected]
    assert [fields(h) for h in expected] != \
        [fields(h) for h in reference(BUNDLED / "1ni7.pdb", targets)]


# ---- command line ---------------------------------------------------------------------------

@pytest.fixture
def folder(tmp_path):
    """Structures in a directory tree with one unreadable file inside."""
    db = tmp_path / "db"
    (db / "sub").mkdir(parents=True)
    for src in list(PDB.glob("*.pdb")) + list(BUNDLED.glob("*.pdb")):
        shutil.copy(src, db / src.name)
    (db / "sub" / "broken.pdb").write_text("REMARK nothing here\n")
    return db


SCAN_OPTIONS = {"robust": [], "scan": ["--mode", "scan"], "quick": ["--mode", "quick"]}


@needs_dask
@pytest.mark.parametrize("mode", sorted(SCAN_OPTIONS))
def test_cli_scan_with_jobs_prints_what_one_process_prints(client, tmp_path, folder, mode):
    options = SCAN_OPTIONS[mode]
    one = ok("scan", PDB / "1ni7.pdb", "db", *options, "--json", "--jobs", "1", cwd=tmp_path)
    two = ok("scan", PDB / "1ni7.pdb", "db", *options, "--json", "--jobs", "2",
             "--tsv", "hits.tsv", cwd=tmp_path)
    assert two.stdout == one.stdout and two.stderr == one.stderr
    # The same on the workers of a running cluster, reached by its scheduler's address.
    there = ok("scan", PDB / "1ni7.pdb", "db", *options, "--json", "--scheduler",
               client.scheduler.address, cwd=tmp_path)
    assert there.stdout == one.stdout and there.stderr == one.stderr
    assert "skipped: cannot read a structure from db/sub/broken.pdb" in two.stderr
    data = json.loads(two.stdout)
    hits = data["hits"]
    # Every target is a hit or, where the KELDA modes find nothing, listed as not aligned.
    n = len(list(folder.glob("*.pdb")))
    assert len(hits) + len(data["not_aligned"]) == n
    assert len((tmp_path / "hits.tsv").read_text().splitlines()) == len(hits) + 1


ALLVSALL_TSV = ["i", "j", "id_i", "id_j", "path_i", "path_j", "score", "rmsd", "aligned"]


@needs_dask
@pytest.mark.parametrize("method", ["robust", "kelda"])
def test_cli_allvsall(tmp_path, folder, method):
    options = ["--method", method]
    one = ok("allvsall", "db", "--json", "--jobs", "1", *options, cwd=tmp_path)
    two = ok("allvsall", "db", "--json", "--jobs", "2", "--tsv", "pairs.tsv", *options,
             cwd=tmp_path)
    assert two.stdout == one.stdout and two.stderr == one.stderr
    data = json.loads(two.stdout)
    n = len(data["structures"])
    assert (n, data["n_skipped"], data["method"]) == (len(list(folder.glob("*.pdb"))), 1, method)
    lines = (tmp_path / "pairs.tsv").read_text().splitlines()
    assert lines[0].split("\t") == ALLVSALL_TSV + ["tm_i", "tm_j", "tm_longer"]
    assert len(lines) == 1 + n * (n + 1) // 2
    lengths = [s["length"] for s in data["structures"]]
    for line in lines[1:]:
        cells = line.split("\t")
        i, j = int(cells[0]) - 1, int(cells[1]) - 1
        # The TSV rounds scores to 4 decimals; JSON keeps every digit.
        assert data["score"][i][j] == data["score"][j][i]
        assert cells[6] == f"{data['score'][i][j]:.4f}"
        assert int(cells[8]) == data["n_aligned"][i][j]
        tm_i, tm_j, longer = cells[9:]
        assert (tm_i, tm_j) == (f"{data['tm_score'][i][j]:.4f}", f"{data['tm_score'][j][i]:.4f}")
        assert longer == (tm_j if lengths[j] > lengths[i] else tm_i)
    table = ok("allvsall", "db", "--jobs", "2", "-q", *options, cwd=tmp_path).stdout
    how = "robust" if method == "robust" else "kelda scan"
    assert f"Structures  {n} (1 unreadable skipped), method {how}: {n * (n + 1) // 2} " \
        f"alignments" in table


def test_cli_allvsall_in_one_process(tmp_path, folder):
    # No Dask needed: this is the path PyPy takes.
    out = ok("allvsall", "db/1sp1.pdb", "db/1sp2.pdb", "db/1sp1.pdb", "--jobs", "1", "--json",
             cwd=tmp_path).stdout
    score = json.loads(out)["score"]
    assert score[0][2] == score[0][0] == 1.25 and score[0][1] == score[1][0]
    line = fails("allvsall", "db/1sp1.pdb", "db/sub/broken.pdb", "--jobs", "1", cwd=tmp_path)
    assert line.startswith("malven allvsall: error: cannot read a structure from "
                           "db/sub/broken.pdb")


@pytest.mark.skipif(NO_DASK is None, reason="Dask runs here")
def test_cli_jobs_without_dask_is_an_error_and_the_default_stays_here(tmp_path, folder):
    line = fails("scan", "db/1sp1.pdb", "db", "--jobs", "2", cwd=tmp_path)
    assert line.startswith("malven scan: error: --jobs 2 needs Dask: ")
    ok("scan", "db/1sp1.pdb", "db", "-q", cwd=tmp_path)


@pytest.mark.parametrize("args,line", [
    (["--jobs", "0"], "malven scan: error: argument --jobs: must be at least 1, got 0"),
    (["--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"],
     "malven scan: error: argument --scheduler: not allowed with argument --jobs"),
])
def test_cli_cluster_options_checked(tmp_path, folder, args, line):
    assert fails("scan", "db/1sp1.pdb", "db", *args, cwd=tmp_path, status=2).startswith(line)


def session_members(sid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.getsid(int(entry)) == sid:
                    found.append(int(entry))
            except OSError:
                pass
    return found


@needs_dask
@pytest.mark.skipif(not os.path.isdir("/proc"), reason="needs /proc to find the processes")
@pytest.mark.parametrize("attempt", range(2))  # a stray traceback showed one time in three
@pytest.mark.parametrize("method", [["--method", "kelda"], ["--no-prefilter"]])
def test_cli_ctrl_c_cancels_and_leaves_no_process(tmp_path, attempt, method):
    pty = pytest.importorskip("pty")
    for name in ("1ni7", "5eep"):
        shutil.copy(BUNDLED / f"{name}.pdb", tmp_path / f"{name}.pdb")
    # Many seconds of work on two workers, interrupted once its progress bar shows.
    cmd = [sys.executable, "-m", "keldascope.cli", "scan", "1ni7.pdb"] + \
        ["5eep.pdb", "1ni7.pdb"] * 4000 + ["--jobs", "2"] + method
    master, slave = pty.openpty()
    proc = subprocess.Popen(cmd, cwd=tmp_path, env=cli_env(), stdout=subprocess.PIPE,
                            stderr=slave, start_new_session=True)
    os.close(slave)
    seen = b""
    try:
        while b"Scanning chunks [" not in seen:
            chunk = os.read(master, 4096)
            assert chunk, seen
            seen += chunk
        # A terminal's Ctrl-C: SIGINT to the whole process group, workers included.
        os.killpg(proc.pid, signal.SIGINT)
        proc.communicate(timeout=60)
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
        if proc.poll() is None:
            proc.kill()
    text = seen.decode(errors="replace")
    assert proc.returncode == 130, text
    assert text.rstrip().endswith("malven scan: interrupted") and "Traceback" not in text
    # Workers and helpers go with it (Python's resource tracker takes a moment).
    deadline = time.monotonic() + 30
    while session_members(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert session_members(proc.pid) == []
