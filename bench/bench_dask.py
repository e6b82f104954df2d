"""Scoring on a Dask LocalCluster of single-threaded workers against one process.

    PYTHONPATH=src python bench/bench_dask.py [--rows 1000000] [--parts 8,16,32,64]
        [--workers 1,2] [--memory 2GiB]

Builds the sample classification result folder, writes `--rows` rows drawn
from the sample table with noise as Parquet files (one per partition, for
each count in `--parts`) and scores them with `predict` on a LocalCluster of
single-threaded worker processes (each count in `--workers`), beside
`predict` in one process on the same rows.  Reported per run: wall time,
time per row, the share spent planning (the rounds that learn the whole-frame
quantities, until `predict` returns) and computing (the returned array,
gathered), the number of rounds, and the workers' peak resident
memory sampled every 0.2 s.
"""

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time

import numpy as np


def make_rows(n, seed):
    from brinvale.sample import sample_table

    r = np.random.default_rng(seed)
    base = sample_table()
    df = base.iloc[r.integers(0, len(base), n)].reset_index(drop=True)
    for col in ["bill_length_mm", "bill_depth_mm", "flipper length mm", "body_mass_g"]:
        x = df[col].to_numpy(dtype=np.float64, copy=True)
        df[col] = np.where(r.random(n) < 0.5, x, np.round(x + r.normal(size=n), 1))
    df["penguin_id"] = [f"R{i}" for i in range(seed * n, seed * n + n)]
    return df


def fresh(folder):
    from brinvale.brinvale import tabular_incrml
    from brinvale.module.common.quillet import TaskConfig

    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True
    return tabular_incrml(folder)


def cpu_seconds(pids):
    """User and system time of these processes so far: unlike wall time, it
    hardly depends on what else the shared machine runs."""
    import psutil

    total = 0.0
    for p in pids:
        t = psutil.Process(p).cpu_times()
        total += t.user + t.system
    return total


class PeakSampler:
    """Peak resident memory of each worker process, sampled in a thread."""

    def __init__(self, pids):
        import psutil

        self.procs = [psutil.Process(p) for p in pids]
        self.peak = [0] * len(pids)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            for i, p in enumerate(self.procs):
                try:
                    self.peak[i] = max(self.peak[i], p.memory_info().rss)
                except Exception:
                    pass
            time.sleep(0.2)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def cluster_predict(client, folder, files):
    import dask.dataframe as dd

    from brinvale.tessel import _driver

    rounds = []
    plain_rounds = _driver.Run.rounds

    def counted(run):
        try:
            return plain_rounds(run)
        finally:
            rounds.append(run.rounds_run)

    _driver.Run.rounds = counted
    try:
        ddf = dd.read_parquet(files, split_row_groups=False)
        t0 = time.perf_counter()
        lazy = fresh(folder).predict_proba(ddf)
        planned = time.perf_counter() - t0
        # gathered, to be compared with one process's bits
        total = client.compute(lazy).result()
        return time.perf_counter() - t0, planned, total, ddf.npartitions, rounds[-1]
    finally:
        _driver.Run.rounds = plain_rounds


def write_parts(folder, df, parts):
    os.makedirs(folder, exist_ok=True)
    bounds = np.linspace(0, len(df), parts + 1).astype(int)
    for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        df.iloc[a:b].to_parquet(os.path.join(folder, f"p{i:04d}.parquet"), index=False)
    return sorted(os.path.join(folder, f) for f in os.listdir(folder))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--parts", default="8,16,32,64")
    ap.add_argument("--workers", default="1,2")
    ap.add_argument("--memory", default="2GiB")
    ap.add_argument("--keep", help="folder for the data (kept), default a temporary one")
    args = ap.parse_args()

    from distributed import Client, LocalCluster

    from brinvale.sample import build_sample

    print(f"load before: {os.getloadavg()}")
    work = args.keep or tempfile.mkdtemp(prefix="brinvale-bench-dask-")
    try:
        folder = os.path.join(work, "result")
        if not os.path.isdir(folder):
            build_sample(folder, "classification")
        df = make_rows(args.rows, 99)
        t, c = time.perf_counter(), time.process_time()
        want = fresh(folder).predict_proba(df.copy())
        single, single_cpu = time.perf_counter() - t, time.process_time() - c
        print(f"one process, {args.rows} rows: {single:.2f} s ({single / args.rows * 1e6:.2f} us/row), "
              f"CPU {single_cpu:.2f} s")
        files = {p: write_parts(os.path.join(work, f"parts{p}"), df, p)
                 for p in [int(x) for x in args.parts.split(",")]}
        del df
        for workers in [int(x) for x in args.workers.split(",")]:
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              memory_limit=args.memory, dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                pids = list(client.run(os.getpid).values())
                for parts, names in files.items():
                    cpu = cpu_seconds(pids), time.process_time()
                    with PeakSampler(pids) as peaks:
                        seconds, planned, total, nparts, rounds = cluster_predict(client, folder, names)
                    workers_cpu = cpu_seconds(pids) - cpu[0]
                    client_cpu = time.process_time() - cpu[1]
                    same = np.array_equal(total, want)
                    print(f"{workers} worker(s), {args.rows} rows in {nparts} partitions: "
                          f"{seconds:.2f} s ({seconds / args.rows * 1e6:.2f} us/row, "
                          f"{seconds / single:.2f}x one process); planning {planned:.2f} s "
                          f"({planned / seconds:.0%}) in {rounds} rounds, computing "
                          f"{seconds - planned:.2f} s; CPU: workers {workers_cpu:.2f} s, client "
                          f"{client_cpu:.2f} s ({(workers_cpu + client_cpu) / single_cpu:.2f}x one "
                          f"process); same predictions: {same}; peak worker memory "
                          f"{[f'{p / 2**20:.0f} MiB' for p in peaks.peak]}; load {os.getloadavg()[0]:.1f}")
                    sys.stdout.flush()
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
