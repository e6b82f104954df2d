"""A Dask DataFrame gives, partition by partition, what the whole frame gives
on one machine.

The same rows are randomly cut into 1 to 50 partitions (1 to 8 where a whole
result folder is scored, whose every round runs over every partition) and
scored on a local cluster of two worker processes; labels, dtypes, row order, NaN positions and
the float bits of every column must equal the single-machine `preprocess`,
and the predictions the single-machine `predict` / `predict_proba`.  Every
operator family is checked with and without a group column, with training
records from a result folder and with nested names.
"""

import copy
import os
import faulthandler
import sys

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from workbench_fixtures import reset_task_config, sample_dirs  # noqa: E402,F401

from brinvale import brinvale as wb  # noqa: E402
from brinvale import tavrin  # noqa: E402
from brinvale.brinvale import tabular_incrml  # noqa: E402
from brinvale.sample import sample_table  # noqa: E402

# A hung cluster must not hang the suite: a test still running after this
# long ends the run with the stacks of its threads.
TEST_SECONDS = 600

FAMILIES = {
    "group_statistics": [
        "count###island$$$",
        "crosscount###island|||sex$$$",
        "aggregate###min|||bill_depth_mm|||island$$$",
        "aggregate###max|||bill_length_mm|||sex$$$",
        "aggregate###mean|||flipper_length_mm|||colony$$$",
        "aggregate###median|||body_mass_g|||colony$$$",
        "aggregate###var|||bill_depth_mm|||island$$$",
        "nunique###flipper_length_mm|||colony$$$",
        "histstat###island|||colony$$$",
        "aggregate###mean|||add###bill_length_mm|||bill_depth_mm$$$|||island$$$",
    ],
    "elementwise": [
        "add###bill_length_mm|||bill_depth_mm$$$",
        "subtract###flipper_length_mm|||bill_length_mm$$$",
        "multiply###bill_depth_mm|||bill_ratio$$$",
        "divide###body_mass_g|||flipper_length_mm$$$",
        "maximize###bill_length_mm|||bill_depth_mm$$$",
        "minimize###bill_length_mm|||flipper_length_mm$$$",
        "bigger###bill_length_mm|||bill_depth_mm$$$",
        "smaller###bill_depth_mm|||bill_ratio$$$",
        "equal###island|||sex$$$",
        "orop###bill_length_mm|||bill_depth_mm$$$",
        "sine###bill_ratio$$$",
        "cosine###bill_depth_mm$$$",
        "square_root###flipper_length_mm$$$",
        "log###bill_depth_mm$$$",
        "sigmoid###bill_ratio$$$",
        "round###bill_ratio$$$",
        "residual###flipper_length_mm$$$",
        "quadratic###bill_depth_mm$$$",
    ],
    "whole_column": [
        "percentile###body_mass_g$$$",
        "percentile###year$$$",
        "entropy###island$$$",
        "softmax###bill_depth_mm$$$",
        "combine###island|||sex$$$",
        "percentile###add###bill_length_mm|||bill_depth_mm$$$$$$",
    ],
    "windows": [
        "delay###body_mass_g|||2$$$",
        "delta###flipper_length_mm|||3$$$",
        "ts_o###bill_length_mm|||2$$$",
        "ts_rank###bill_length_mm|||4$$$",
        "ts_argmax###bill_depth_mm|||3$$$",
        "ts_argmin###bill_depth_mm|||3$$$",
        "ts_max###body_mass_g|||5$$$",
        "ts_min###body_mass_g|||5$$$",
        "decay_linear###bill_length_mm|||4$$$",
        "product###bill_depth_mm|||3$$$",
    ],
    "running_windows": [
        "tsum###bill_length_mm|||4$$$",
        "ts_mean###bill_depth_mm|||3$$$",
        "stddev###flipper_length_mm|||5$$$",
        "tcorvariance###bill_length_mm|||bill_depth_mm|||4$$$",
        "tcorrelation###bill_length_mm|||flipper_length_mm|||5$$$",
        "crossrank###bill_length_mm|||island$$$",
    ],
    "nested": [
        "divide###ts_max###bill_depth_mm|||4$$$|||subtract###flipper_length_mm|||bill_length_mm$$$$$$",
        "multiply###add###bill_length_mm|||bill_depth_mm$$$|||bill_ratio$$$",
        "ts_mean###percentile###body_mass_g$$$|||3$$$",
        "add###count###island$$$|||tsum###bill_depth_mm|||3$$$$$$",
    ],
}


@pytest.fixture(scope="module", autouse=True)
def scratch(tmp_path_factory):
    # Dask's scratch files among the suite's own temporary files; exchanges
    # with a destination per 50 rows, so that these small frames meet
    # several (the conformance cases see one), and every partition evaluated
    # on its own unless a test joins them
    with dask.config.set({"temporary-directory": str(tmp_path_factory.mktemp("scratch")),
                          "brinvale.exchange-rows": 50, "brinvale.partition-rows": 1}):
        yield


@pytest.fixture(autouse=True)
def bounded():
    faulthandler.dump_traceback_later(TEST_SECONDS, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    """Two worker processes of one thread each, as a small cluster runs."""
    scratch = tmp_path_factory.mktemp("dask")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, memory_limit="2GiB",
                                  local_directory=str(scratch)) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def new_rows(seed, n=420):
    """Rows of the sample table drawn again with noise: values the training
    records have not seen, ties, missing values in every numeric column and
    the groups in no particular order."""
    r = np.random.default_rng(seed)
    base = sample_table()
    df = base.iloc[r.integers(0, len(base), n)].reset_index(drop=True)
    for col in ["bill_length_mm", "bill_depth_mm", "flipper length mm", "body_mass_g"]:
        x = df[col].to_numpy(dtype=np.float64, copy=True)
        x = np.where(r.random(n) < 0.5, x, np.round(x + r.normal(size=n), 1))
        x[r.random(n) < 0.06] = np.nan
        df[col] = x
    return df


def random_cut(df, seed, most=50):
    """`df` as a Dask DataFrame cut at random rows into 1 to `most` partitions."""
    r = np.random.default_rng(seed)
    n = len(df)
    # log-uniform: few partitions as often as many, and the suite stays short
    k = int(np.exp(r.uniform(0, np.log(most + 1))))
    cuts = np.sort(r.choice(np.arange(1, n), size=k - 1, replace=False)) if k > 1 else []
    divisions = [0, *[int(c) for c in cuts], n - 1]
    return dd.from_pandas(df, npartitions=1, sort=True).repartition(divisions=divisions)


def load(folder, features=None, records=None, grouped=True):
    reset_task_config()
    obj = tabular_incrml(folder)
    if features is not None:
        obj.adv_features = list(features)
        obj.model = None  # the folder's model reads other features
    if records is not None:
        obj.lec_record_dt = copy.deepcopy(records)
    if not grouped:
        cfg = copy.deepcopy(obj._folder_cfg)
        cfg["Feature"]["GroupIndex"] = None
        obj._folder_cfg = cfg
        obj.group_id = None
    return obj


@pytest.fixture(scope="module")
def trained(sample_dirs):  # noqa: F811
    """The classification folder's records extended with records of every
    feature above, computed from training rows as training stores them."""
    folder = sample_dirs["classification"]
    obj = load(folder)
    records = copy.deepcopy(obj.lec_record_dt)
    train = sample_table()
    train.columns = [c.strip().replace(" ", "_") for c in train.columns]
    wb._encode_text_columns(train, records, obj.time_index)
    train = wb._convert_percentages(train, ["bill_ratio"])
    everything = [f for names in FAMILIES.values() for f in names]
    tavrin.name2feature(train, everything, records)
    reset_task_config()
    return folder, records


def assert_frames_identical(got, want):
    assert list(got.columns) == list(want.columns)
    assert got.dtypes.tolist() == want.dtypes.tolist()
    assert got.index.tolist() == want.index.tolist()
    for col in want.columns:
        a, b = got[col], want[col]
        if b.dtype.kind == "f":
            x, y = a.to_numpy(), b.to_numpy()
            nan_x, nan_y = np.isnan(x), np.isnan(y)
            assert (nan_x == nan_y).all(), f"{col}: NaN at rows {np.flatnonzero(nan_x != nan_y)[:5]}"
            diff = ~nan_y & (x.view(np.int64) != y.view(np.int64))
            assert not diff.any(), (
                f"{col}: {diff.sum()} values differ, e.g. rows {np.flatnonzero(diff)[:5]}: "
                f"{x[diff][:3].tolist()} vs {y[diff][:3].tolist()}")
        else:
            assert a.tolist() == b.tolist(), col


@pytest.mark.parametrize("grouped", [True, False], ids=["grouped", "ungrouped"])
@pytest.mark.parametrize("family", list(FAMILIES))
def test_preprocess_equals_one_machine(client, trained, family, grouped):
    folder, records = trained
    features = FAMILIES[family]
    seed = len(family) * 7 + grouped + sum(map(ord, family))
    rows = new_rows(seed, n=160)
    want = load(folder, features, records, grouped).preprocess(rows.copy())
    ddf = random_cut(rows, seed)
    lazy = load(folder, features, records, grouped).preprocess(ddf)
    assert isinstance(lazy, dd.DataFrame)
    assert lazy.npartitions == ddf.npartitions
    got = lazy.compute()
    assert_frames_identical(got, want)


def test_every_partition_cut_gives_the_same_rows(trained):
    """Uneven cuts, partitions of one row and empty partitions, on the
    threaded scheduler: the cut never shows in the values."""
    folder, records = trained
    features = FAMILIES["nested"] + ["percentile###body_mass_g$$$", "count###island$$$"]
    rows = new_rows(5, n=120)
    want = load(folder, features, records).preprocess(rows.copy())
    pieces = [rows.iloc[:1], rows.iloc[1:1], rows.iloc[1:2], rows.iloc[2:70], rows.iloc[70:]]
    ddf = dd.from_delayed([dask.delayed(p) for p in pieces], meta=rows.iloc[:0])
    with dask.config.set(scheduler="threads"):
        got = load(folder, features, records).preprocess(ddf).compute()
    assert_frames_identical(got, want)


@pytest.mark.parametrize("carried", [None, 0], ids=["carried", "shuffled"])
def test_grouped_windows_carried_or_shuffled(trained, carried):
    """Grouped windows continue each group's state from partition to
    partition, or (with more groups than `brinvale.carried-groups`) gather
    each group's rows by a shuffle: both give the single machine's bits,
    across empty and one-row partitions, leads included."""
    folder, records = trained
    features = FAMILIES["windows"] + FAMILIES["running_windows"] + [
        "delay###body_mass_g|||-2$$$", "ts_max###bill_ratio|||1$$$"]
    rows = new_rows(23, n=200)
    rows.loc[[3, 77, 150], "colony"] = None  # rows without a group
    want = load(folder, features, records).preprocess(rows.copy())
    pieces = [rows.iloc[:1], rows.iloc[1:1], rows.iloc[1:60], rows.iloc[60:61], rows.iloc[61:61],
              rows.iloc[61:130], rows.iloc[130:]]
    ddf = dd.from_delayed([dask.delayed(p) for p in pieces], meta=rows.iloc[:0])
    limit = {} if carried is None else {"brinvale.carried-groups": carried}
    with dask.config.set(scheduler="threads", **limit):
        got = load(folder, features, records).preprocess(ddf).compute()
    assert_frames_identical(got, want)


@pytest.mark.parametrize("task", ["classification", "regression"])
def test_predictions_equal_one_machine(client, sample_dirs, task):  # noqa: F811
    folder = sample_dirs[task]
    rows = new_rows(3, n=150)
    # the operator families meet many partitions above; the folder's twenty
    # features take a dozen rounds over every partition
    ddf = random_cut(rows, 9, most=8)
    method = "predict_proba" if task == "classification" else "predict"
    want = getattr(load(folder), method)(rows.copy())
    lazy = getattr(load(folder), method)(ddf)
    assert isinstance(lazy, dask.array.Array)
    assert lazy.shape == np.asarray(want).shape
    got = lazy.compute()
    assert got.dtype == np.asarray(want).dtype
    np.testing.assert_array_equal(got, want)


def test_partitions_are_scored_by_the_native_evaluator_where_it_serves(sample_dirs):  # noqa: F811
    from brinvale.tessel import _tasks

    obj = load(sample_dirs["classification"])
    frame = obj.preprocess(new_rows(5, n=40), return_y=True)
    for method in ("predict", "predict_proba"):
        native = wb._model_output(obj.model, frame, obj.target_name, method)
        assert native is not None
        own = np.asarray(getattr(obj.model, method)(frame.drop(columns=[obj.target_name])))
        assert native.dtype == own.dtype and np.array_equal(native, own)
        np.testing.assert_array_equal(_tasks.predict_part(frame, obj.model, obj.target_name,
                                                          method), own)
    # a model the evaluator does not know is scored by its own method
    class Constant:
        def predict(self, df):
            return np.zeros(len(df))

    assert wb._model_output(Constant(), frame, obj.target_name, "predict") is None
    assert _tasks.predict_part(frame, Constant(), obj.target_name, "predict").shape == (40,)
    with pytest.raises(ValueError, match="method must be"):
        wb._model_output(obj.model, frame, obj.target_name, "fit")


def test_model_input_frame_is_scored_as_it_is(client, sample_dirs):  # noqa: F811
    obj = load(sample_dirs["regression"])
    model_input = obj.preprocess(new_rows(4))
    names = list(obj.model.feature_names_in_)
    model_input = model_input[names]
    want = load(sample_dirs["regression"]).predict(model_input.copy())
    got = load(sample_dirs["regression"]).predict(random_cut(model_input, 4)).compute()
    np.testing.assert_array_equal(got, want)


def test_missing_columns_and_records_are_refused(trained):
    folder, records = trained
    rows = new_rows(6, n=60)
    with pytest.raises(KeyError, match="bill_depth_mm"):
        load(folder).preprocess(dd.from_pandas(rows.drop(columns=["bill_depth_mm"]), npartitions=3))
    # a group statistic without a training record would be the partition's own
    lacking = {k: v for k, v in records.items() if k != "count###island$$$"}
    with pytest.raises(NotImplementedError, match="training record"):
        with dask.config.set(scheduler="threads"):
            load(folder, ["count###island$$$"], lacking).preprocess(
                dd.from_pandas(rows, npartitions=3)).compute()


def test_without_rows(trained):
    folder, records = trained
    empty = new_rows(7, n=10).iloc[:0]
    with pytest.raises(ValueError, match="no rows"):
        with dask.config.set(scheduler="threads"):
            load(folder).preprocess(dd.from_pandas(empty, npartitions=1))


def test_command_line_reads_one_partition_per_file_in_name_order(tmp_path):
    from brinvale.__main__ import _read_partitioned

    rows = new_rows(10, n=30)
    rows["penguin_id"] = [f"Z{i:02d}" for i in range(30)]
    for i, (a, b) in enumerate([(20, 30), (0, 5), (5, 20)]):
        rows.iloc[a:b].to_csv(tmp_path / f"x{(i + 2) % 3}.csv", index=False)
    frame, files = _read_partitioned(str(tmp_path / "x*.csv"))
    assert frame.npartitions == 3 and [os.path.basename(f) for f in files] == ["x0.csv", "x1.csv", "x2.csv"]
    with dask.config.set(scheduler="sync"):
        got = frame.compute()
    # x0.csv, x1.csv, x2.csv: the rows in their order, whatever order they were written in
    assert got["penguin_id"].tolist() == rows["penguin_id"].tolist()


@pytest.mark.parametrize("kind", ["parquet"])
def test_command_line_scores_a_glob_of_files(client, sample_dirs, tmp_path, kind, capsys):  # noqa: F811
    """A glob of files in, one CSV file per input file out, named after it,
    an empty input giving an output with its header only; decoded labels
    equal to the single-machine command line."""
    from brinvale.__main__ import main

    rows = new_rows(8, n=150)
    rows["penguin_id"] = [f"Q{i:04d}" for i in range(len(rows))]
    data = tmp_path / "data"
    data.mkdir()
    bounds = [0, 40, 40, 100, 150]
    for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        piece = rows.iloc[a:b]
        if kind == "csv":
            piece.to_csv(data / f"day{i:02d}.csv", index=False)
        else:
            piece.to_parquet(data / f"day{i:02d}.parquet", index=False)
    rows.to_csv(tmp_path / "whole.csv", index=False)
    folder = sample_dirs["classification"]
    reset_task_config()
    assert main(["predict", folder, str(tmp_path / "whole.csv"), "--proba", "--output",
                 str(tmp_path / "one.csv")]) == 0
    args = ["predict", folder, str(data / f"day*.{kind}"), "--proba", "--output", str(tmp_path / "out")]
    if kind == "parquet":
        args += ["--scheduler", client.scheduler.address]
    reset_task_config()
    assert main(args) == 0
    parts = sorted((tmp_path / "out").iterdir())
    assert [p.name for p in parts] == [f"day{i:02d}.csv" for i in range(4)]
    want = pd.read_csv(tmp_path / "one.csv")
    empty = pd.read_csv(parts[1])
    assert empty.empty and list(empty.columns) == list(want.columns)
    got = pd.concat([pd.read_csv(p) for p in parts if p != parts[1]], ignore_index=True)
    pd.testing.assert_frame_equal(got, want)
    assert "wrote 4 files" in capsys.readouterr().err


def test_command_line_wants_an_output_folder(sample_dirs, tmp_path, capsys):  # noqa: F811
    from brinvale.__main__ import main

    new_rows(9, n=20).to_csv(tmp_path / "a.csv", index=False)
    reset_task_config()
    assert main(["predict", sample_dirs["classification"], str(tmp_path / "*.csv")]) == 2
    assert "--output FOLDER" in capsys.readouterr().err
    reset_task_config()
    assert main(["predict", sample_dirs["classification"], str(tmp_path / "none*.csv"),
                 "--output", str(tmp_path / "o")]) == 2
    assert "no file matches" in capsys.readouterr().err


@pytest.mark.parametrize("family", ["group_statistics", "windows", "whole_column"])
def test_missing_keys_in_some_partitions_only(trained, family):
    """Rows without a group or a category in one partition only: whether a
    column holds integers or floats is decided over the whole frame, never by
    the rows a partition happens to have."""
    folder, records = trained
    rows = new_rows(11, n=150)
    for col, at in [("colony", [97, 98]), ("island", [120]), ("sex", [131, 140])]:
        rows[col] = rows[col].astype(object)
        rows.loc[at, col] = None
    features = FAMILIES[family]
    want = load(folder, features, records).preprocess(rows.copy())
    pieces = [rows.iloc[:60], rows.iloc[60:95], rows.iloc[95:150]]
    ddf = dd.from_delayed([dask.delayed(p) for p in pieces], meta=rows.iloc[:0])
    with dask.config.set(scheduler="threads"):
        lazy = load(folder, features, records).preprocess(ddf)
        parts = dask.compute(*lazy.to_delayed())
    # each partition as it is, before a concatenation could widen its dtypes
    for part in parts:
        assert part.dtypes.tolist() == want.dtypes.tolist()
    assert lazy.dtypes.tolist() == want.dtypes.tolist()
    assert_frames_identical(pd.concat(parts), want)


def test_rounds_evaluate_each_feature_only_until_it_is_exact(trained, monkeypatch):
    """A feature exact after a round stays on the workers as it is: later
    rounds continue after it, or replay what it wrote when it follows one
    that is not exact yet, and never evaluate it again; the result is the
    last round's partitions, not one more pass."""
    from brinvale.tessel import _driver

    folder, records = trained
    # exact in the first round; ranked over the whole column; exact but after it
    features = ["sine###bill_ratio$$$", "percentile###body_mass_g$$$", "equal###island|||sex$$$"]
    rows = new_rows(13, n=90)
    want = load(folder, features, records).preprocess(rows.copy())
    calls = {}
    plain = tavrin.name2feature

    def counted(df, names, *args):
        key = tuple(names)
        calls[key] = calls.get(key, 0) + 1
        return plain(df, names, *args)

    monkeypatch.setattr(tavrin, "name2feature", counted)
    seen = []
    plain_rounds = _driver.Run.rounds

    def rounds(run):
        out = plain_rounds(run)
        seen.append(run.rounds_run)
        return out

    monkeypatch.setattr(_driver.Run, "rounds", rounds)
    ddf = dd.from_pandas(rows, npartitions=3)
    with dask.config.set(scheduler="sync"):
        got = load(folder, features, records).preprocess(ddf).compute()
    assert_frames_identical(got, want)
    (n,) = seen
    # the histogram and the ranks from the column kept on the workers, then the result
    assert n == 2
    # once per partition, also the one after the ranks
    assert calls[(features[0],)] == calls[(features[2],)] == 3
    assert calls[(features[1],)] == 3 * n


def test_a_name_reading_the_operand_before_it_stays_with_that_name():
    from brinvale.tessel._driver import chunks_of

    names = ["add###bill_length_mm|||bill_depth_mm$$$", "add###bill_ratio$$$", "log###year$$$",
             "count###island$$$", "subtract###year$$$"]
    assert chunks_of(names) == [(0, 2), (2, 3), (3, 5)]


def test_fills_of_untouched_columns_read_the_input_medians(trained, monkeypatch):
    """Group statistics fill every float column with the whole column's
    median: learnt of the input before the first round, read wherever the
    column still holds the input's bits.  A partition whose column changed
    unseen sends the rounds back to the start without those medians, and the
    values stay the single machine's."""
    from brinvale.tessel import _driver
    from brinvale.tessel import _engine as E

    folder, records = trained
    features = FAMILIES["group_statistics"][:3] + ["sine###bill_ratio$$$"]
    rows = new_rows(31, n=150)
    want = load(folder, features, records).preprocess(rows.copy())
    ddf = dd.from_pandas(rows, npartitions=4)

    def run():
        runs = []
        plain = _driver.Run.rounds

        def rounds(self):
            out = plain(self)
            runs.append((dict(self.input_fills), self.rounds_run))
            return out

        with monkeypatch.context() as m:
            m.setattr(_driver.Run, "rounds", rounds)
            with dask.config.set(scheduler="sync"):
                got = load(folder, features, records).preprocess(ddf).compute()
        assert_frames_identical(got, want)
        return runs[0]

    fills, quick = run()
    assert "bill_ratio" in fills and "body_mass_g" in fills
    checked = []
    plain_same = E.same_bits

    def one_changed(values, before):
        checked.append(len(checked))
        return plain_same(values, before) and len(checked) != 3

    monkeypatch.setattr(E, "same_bits", one_changed)
    fills, slow = run()
    assert fills == {} and checked
    # the rounds wasted before the change was seen, and one more that the
    # input medians had saved
    assert slow > quick + 1


def test_group_keys_in_sorted_runs(trained, monkeypatch):
    """Keys in sorted runs along the whole frame make pandas sum each group's
    run with NumPy's reduceat: the table is learnt in the round that finds
    the runs, from each group's rows at once, with the single machine's bits;
    runs sorted in each partition but not across them are carried."""
    from brinvale.tessel import _driver

    folder, records = trained
    features = ["aggregate###min|||bill_depth_mm|||island$$$",
                "aggregate###mean|||add###bill_length_mm|||bill_depth_mm$$$|||island$$$"]
    found = []
    plain = _driver.Run.reduce_runs

    def reduce_runs(parts):
        found.append(plain(parts))
        return found[-1]

    monkeypatch.setattr(_driver.Run, "reduce_runs", staticmethod(reduce_runs))
    rows = new_rows(41, n=180)
    ordered = rows.sort_values("island", kind="stable").reset_index(drop=True)
    # sorted within each of three partitions, not across them
    unordered = pd.concat([ordered.iloc[i::3] for i in range(3)], ignore_index=True)
    unordered = pd.concat([unordered.iloc[i * 60:(i + 1) * 60].sort_values("island", kind="stable")
                           for i in range(3)], ignore_index=True)
    for frame, sorted_ in [(ordered, True), (unordered, False)]:
        found.clear()
        want = load(folder, features, records).preprocess(frame.copy())
        with dask.config.set(scheduler="sync"):
            got = load(folder, features, records).preprocess(
                dd.from_pandas(frame, npartitions=3, sort=False)).compute()
        assert_frames_identical(got, want)
        assert found and any(found) == sorted_


def test_partitions_have_a_home_worker_on_a_cluster(client):
    """On a distributed cluster each persisted partition's worker is found,
    so that its later steps are run there; other schedulers have none."""
    from brinvale.tessel._driver import homes_of

    parts = [dask.delayed(pd.DataFrame)({"x": np.arange(k, k + 3)}) for k in range(4)]
    kept = dask.persist(*parts)
    distributed.wait(distributed.futures_of(kept))
    homes = homes_of(kept)
    workers = set(client.scheduler_info()["workers"])
    assert homes is not None and len(homes) == 4 and set(homes) <= workers
    who = client.who_has(distributed.futures_of(kept))
    assert [who[p.key][0] for p in kept] == homes
    with dask.config.set(scheduler="sync"):
        assert homes_of(dask.persist(*parts)) is None


@pytest.mark.parametrize("method", ["preprocess", "predict_proba"])
def test_small_partitions_are_evaluated_together(client, sample_dirs, method):  # noqa: F811
    """Consecutive partitions are joined while they hold at most
    `brinvale.partition-rows` rows for the rounds, and the result is cut
    back into the input's partitions, row labels and all: the same values as
    every partition evaluated alone, and one machine's."""
    from brinvale.tessel import _driver

    folder = sample_dirs["classification"]
    rows = new_rows(47, n=300)
    ddf = dd.from_pandas(rows, npartitions=12, sort=False)  # of 25 rows each
    joined = []
    plain = _driver.Run.join_small

    def join_small(self, kept):
        out = plain(self, kept)
        joined.append((len(kept), len(out)))
        return out

    results = {}
    for limit in (1, 70):
        reset_task_config()
        obj = tabular_incrml(folder)
        with dask.config.set({"brinvale.partition-rows": limit}):
            _driver.Run.join_small = join_small
            try:
                lazy = getattr(obj, method)(ddf)
            finally:
                _driver.Run.join_small = plain
            if method == "preprocess":
                assert lazy.npartitions == ddf.npartitions
            results[limit] = lazy.compute()
    # alone: 12 partitions evaluated; joined: 2 partitions of 25 rows each
    assert joined == [(12, 12), (12, 6)]
    reset_task_config()
    want = getattr(tabular_incrml(folder), method)(rows.copy())
    for got in results.values():
        if method == "preprocess":
            assert_frames_identical(got, want)
        else:
            assert np.array_equal(got, want)


def test_joined_partitions_keep_their_own_row_labels(trained):
    """Partitions each labelled from 0 (as files read one by one are) joined
    for the rounds: evaluated under fresh labels, grouped windows included,
    and given back under their own."""
    folder, records = trained
    features = FAMILIES["windows"] + ["add###bill_length_mm|||bill_depth_mm$$$"]
    rows = new_rows(53, n=200)
    want = load(folder, features, records).preprocess(rows.copy())
    cuts = [0, 30, 90, 91, 160, 200]
    pieces = [rows.iloc[a:b].reset_index(drop=True) for a, b in zip(cuts, cuts[1:])]
    ddf = dd.from_delayed([dask.delayed(p) for p in pieces], meta=rows.iloc[:0])
    with dask.config.set({"scheduler": "sync", "brinvale.partition-rows": 120}):
        lazy = load(folder, features, records).preprocess(ddf)
        assert lazy.npartitions == len(pieces)
        got = lazy.compute()
    assert got.index.tolist() == [i for p in pieces for i in range(len(p))]
    assert_frames_identical(got.reset_index(drop=True), want.reset_index(drop=True))
