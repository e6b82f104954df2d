"""Scoring on a Dask LocalCluster of two capped workers against one process.

    PYTHONPATH=src python bench/bench_dask.py [--rows 20000000] [--files 200]
        [--memory 1GiB] [--small 50000,200000,1000000] [--parts 4,16,64]

Builds the sample classification result folder, writes `--rows` rows drawn
from the sample table with noise as `--files` Parquet files, and scores them
with `predict` on a LocalCluster of 2 single-threaded worker processes whose
memory is capped at `--memory`.  The workers' peak resident memory is
sampled every 0.2 s from their processes.  Time per row is compared with the
single-machine `predict` at the `--small` sizes, and the growth of the
cluster's time with the number of partitions at a fixed size.
"""

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time

import numpy as np
import pandas as pd


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


def write_files(folder, rows, files):
    per = -(-rows // files)
    for i in range(files):
        n = min(per, rows - i * per)
        make_rows(n, i + 1).to_parquet(os.path.join(folder, f"part{i:04d}.parquet"), index=False)


def fresh(folder):
    from brinvale.brinvale import tabular_incrml
    from brinvale.module.common.quillet import TaskConfig

    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True
    return tabular_incrml(folder)


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

    ddf = dd.read_parquet(files, split_row_groups=False)
    t0 = time.perf_counter()
    lazy = fresh(folder).predict(ddf)
    planned = time.perf_counter() - t0
    # summed on the workers: the predictions never gather on the client
    total = client.compute(lazy.sum()).result()
    return time.perf_counter() - t0, planned, total, ddf.npartitions


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=20_000_000)
    ap.add_argument("--files", type=int, default=200)
    ap.add_argument("--memory", default="1GiB")
    ap.add_argument("--small", default="50000,200000,1000000")
    ap.add_argument("--parts", default="4,16,64")
    ap.add_argument("--keep", help="folder for the data (kept), default a temporary one")
    args = ap.parse_args()

    import dask
    from dask.utils import parse_bytes
    from distributed import Client, LocalCluster

    from brinvale.sample import build_sample

    work = args.keep or tempfile.mkdtemp(prefix="brinvale-bench-dask-")
    try:
        folder = os.path.join(work, "result")
        if not os.path.isdir(folder):
            build_sample(folder, "classification")
        big = os.path.join(work, "big")
        if not os.path.isdir(big):
            os.makedirs(big)
            t = time.perf_counter()
            write_files(big, args.rows, args.files)
            print(f"wrote {args.rows} rows in {args.files} files in {time.perf_counter() - t:.0f} s")
        files = sorted(os.path.join(big, f) for f in os.listdir(big))
        in_memory = pd.read_parquet(files[0]).memory_usage(deep=True).sum() * len(files)
        cap = parse_bytes(args.memory)
        print(f"data: {args.rows} rows, about {in_memory / 2**20:.0f} MiB as pandas frames "
              f"({in_memory / cap:.1f} times a worker's cap of {cap / 2**20:.0f} MiB)")

        # Dask's shuffles buffer up to 1 GiB per worker before writing to
        # disk: capped workers get buffers that fit under their cap
        with dask.config.set({"distributed.worker.memory.spill": 0.6,
                              "distributed.worker.memory.target": 0.5,
                              "distributed.p2p.comm.buffer": cap // 8,
                              "distributed.p2p.storage.buffer": cap // 16}):
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              memory_limit=args.memory, dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                pids = list(client.run(os.getpid).values())
                with PeakSampler(pids) as peaks:
                    seconds, planned, total, nparts = cluster_predict(client, folder, files)
                print(f"cluster, {args.rows} rows in {nparts} partitions: {seconds:.1f} s "
                      f"({seconds / args.rows * 1e6:.2f} us/row; planning {planned:.1f} s); "
                      f"peak worker memory {[f'{p / 2**20:.0f} MiB' for p in peaks.peak]} "
                      f"under the cap of {cap / 2**20:.0f} MiB: {max(peaks.peak) < cap}")

                rows_table = []
                for n in [int(x) for x in args.small.split(",")]:
                    small = os.path.join(work, f"small{n}")
                    df = make_rows(n, 99)
                    t = time.perf_counter()
                    want = fresh(folder).predict(df.copy())
                    single = time.perf_counter() - t
                    for parts in [int(x) for x in args.parts.split(",")]:
                        shutil.rmtree(small, ignore_errors=True)
                        os.makedirs(small)
                        bounds = np.linspace(0, n, parts + 1).astype(int)
                        for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
                            df.iloc[a:b].to_parquet(os.path.join(small, f"p{i:04d}.parquet"), index=False)
                        sfiles = sorted(os.path.join(small, f) for f in os.listdir(small))
                        import dask.dataframe as dd

                        t = time.perf_counter()
                        got = fresh(folder).predict(dd.read_parquet(sfiles, split_row_groups=False))
                        got = got.compute()
                        seconds = time.perf_counter() - t
                        same = np.array_equal(got, want)
                        rows_table.append((n, parts, single, seconds, same))
                        print(f"{n} rows, {parts} partitions: one process {single:.2f} s "
                              f"({single / n * 1e6:.1f} us/row), cluster {seconds:.2f} s "
                              f"({seconds / n * 1e6:.1f} us/row), same predictions: {same}")
                        sys.stdout.flush()
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
