"""Score a folder of Parquet files on a local Dask cluster.

    pip install ".[dask]"
    python examples/score_folder_on_dask.py [WORK_FOLDER]

Builds the sample result folder (a few seconds of training on the
palmerpenguins data), writes the sample table as eight Parquet files, starts
a LocalCluster of two worker processes, and scores the files there: the
predictions are those of one process, row for row.
"""

import logging
import os
import sys

import dask.dataframe as dd
import numpy as np
from distributed import Client, LocalCluster

from brinvale.brinvale import tabular_incrml
from brinvale.sample import build_sample, sample_table


def main(work):
    result = os.path.join(work, "result")
    if not os.path.isdir(result):
        build_sample(result, "classification")
    parts = os.path.join(work, "parts")
    os.makedirs(parts, exist_ok=True)
    table = sample_table()
    bounds = np.linspace(0, len(table), 9).astype(int)
    for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        table.iloc[a:b].to_parquet(os.path.join(parts, f"part{i}.parquet"), index=False)

    # the scheduler logs every shuffle it starts and ends at WARNING
    logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster):
        frame = dd.read_parquet(os.path.join(parts, "*.parquet"))
        labels = tabular_incrml(result).predict(frame)  # lazy: a dask array
        got = labels.compute()
    want = tabular_incrml(result).predict(table)
    print(f"{len(got)} rows in {frame.npartitions} partitions scored on the cluster; "
          f"first labels {got[:5].tolist()}; same as one process: {bool(np.array_equal(got, want))}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "dask-example")
