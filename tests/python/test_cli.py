"""The command line as a batch-scoring tool: decoded labels, class-named
probability columns, the identifier column carried along, one-line errors
with exit status 2, quiet broken pipes."""

import io
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from brinvale.__main__ import main
from workbench_fixtures import raw, reset_task_config, sample_dirs  # noqa: F401

SPECIES = ["Adelie", "Chinstrap", "Gentoo"]


@pytest.fixture
def run(capsys):
    def call(*argv):
        reset_task_config()
        code = main(list(argv))
        out = capsys.readouterr()
        return code, out.out, out.err

    yield call
    reset_task_config()


@pytest.fixture
def data(raw, tmp_path):
    path = tmp_path / "new.csv"
    raw.to_csv(path, index=False)
    return str(path)


def test_predict_prints_labels_with_the_identifier(run, sample_dirs, raw, data):
    code, out, err = run("predict", sample_dirs["classification"], data)
    assert code == 0 and err == ""
    table = pd.read_csv(io.StringIO(out))
    assert table.columns.tolist() == ["penguin_id", "prediction"]
    assert table["penguin_id"].tolist() == raw["penguin_id"].tolist()
    assert set(table["prediction"]) <= set(SPECIES)
    # the labels are the decoded codes of the library's predict
    from brinvale.brinvale import tabular_incrml

    reset_task_config()
    obj = tabular_incrml(sample_dirs["classification"])
    codes = obj.predict(data)
    assert table["prediction"].tolist() == list(obj.lec_record_dt["species"].inverse_transform(codes))


def test_proba_columns_are_named_by_class(run, sample_dirs, raw, data, tmp_path):
    out_file = tmp_path / "p.csv"
    code, out, err = run("predict", sample_dirs["classification"], data, "--proba", "--output", str(out_file))
    assert code == 0 and out == ""
    table = pd.read_csv(out_file)
    assert table.columns.tolist() == ["penguin_id"] + SPECIES
    np.testing.assert_allclose(table[SPECIES].sum(axis=1), 1.0)


def test_regression_and_input_without_identifier(run, sample_dirs, raw, tmp_path):
    path = tmp_path / "noid.csv"
    raw.drop(columns=["penguin_id"]).to_csv(path, index=False)
    code, out, _ = run("predict", sample_dirs["regression"], str(path))
    table = pd.read_csv(io.StringIO(out))
    assert code == 0 and table.columns.tolist() == ["prediction"]
    assert table["prediction"].dtype.kind == "f" and len(table) == len(raw)


@pytest.mark.parametrize(
    "argv, words",
    [
        (["predict", "{folder}", "{tmp}/absent.csv"], ["absent.csv", "No such file"]),
        (["predict", "{tmp}/nowhere", "{tmp}/absent.csv"], ["nowhere", "holds no config.yaml"]),
        (["predict", "{folder}", "{partial}"], ["lacks", "'island'"]),
        (["info", "{tmp}"], ["no such result folder"]),
    ],
)
def test_errors_are_one_line_with_status_2(run, sample_dirs, raw, tmp_path, argv, words):
    raw.drop(columns=["island"]).to_csv(tmp_path / "partial.csv", index=False)
    os.makedirs(tmp_path / "nowhere" / "x", exist_ok=True)
    argv = [a.format(folder=sample_dirs["classification"], tmp=tmp_path,
                     partial=tmp_path / "partial.csv") for a in argv]
    if argv[0] == "info":
        argv[1] = str(tmp_path / "not-there")
    code, out, err = run(*argv)
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("brinvale: error: ")
    for w in words:
        assert w in err
    assert "Traceback" not in err


def test_debug_shows_the_traceback(sample_dirs, tmp_path):
    with pytest.raises(FileNotFoundError):
        main(["--debug", "predict", sample_dirs["classification"], str(tmp_path / "absent.csv")])
    with pytest.raises(FileNotFoundError):
        main(["predict", sample_dirs["classification"], str(tmp_path / "absent.csv"), "--debug"])


def test_formula_fails_for_names_it_cannot_render(run):
    code, out, err = run("formula", "add###a|||b$$$")
    assert code == 0 and "a+b" in out and err == ""
    code, out, err = run("formula", "add###a|||b$$$", "price", "add###a")
    assert code == 2 and "a+b" in out
    assert "cannot render 'price'" in err and "cannot render 'add###a'" in err


def test_formula_refuses_names_the_grammar_does_not_split_whole(run):
    for name in ("add###a|||b", "add###a|||b$$$tail"):
        code, out, err = run("formula", name)
        assert code == 2 and out == "" and f"cannot render {name!r}" in err and "not one whole" in err
    code, out, err = run("formula", "divide###add###a|||b$$$|||c$$$")
    assert code == 0 and r"(a+b)\div c" in out


def test_a_single_parquet_file_is_scored_like_a_csv_file(run, sample_dirs, raw, data, tmp_path):
    pytest.importorskip("pyarrow")
    raw.to_parquet(tmp_path / "new.parquet", index=False)
    folder = sample_dirs["classification"]
    assert run("predict", folder, str(tmp_path / "new.parquet")) == run("predict", folder, data)


def test_without_dask_a_glob_names_the_extra_to_install(run, sample_dirs, data, monkeypatch):
    import builtins

    real = builtins.__import__

    def no_dask(name, *a, **k):
        if name.split(".")[0] in ("dask", "distributed"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return real(name, *a, **k)

    monkeypatch.setattr(builtins, "__import__", no_dask)
    code, out, err = run("predict", sample_dirs["classification"], os.path.dirname(data) + "/*.csv",
                         "--output", os.path.dirname(data) + "/out")
    assert code == 2 and 'pip install "brinvale[dask]"' in err


def test_info_lists_input_columns_and_classes(run, sample_dirs):
    code, out, _ = run("info", sample_dirs["classification"])
    assert code == 0
    assert "classes (3): Adelie, Chinstrap, Gentoo" in out
    needed = out.split("input columns the model needs (")[1].split("feature importances")[0]
    for col in ["island", "flipper_length_mm", "bill_ratio", "colony", "year"]:
        assert f"  {col}\n" in needed
    code, out, _ = run("info", sample_dirs["regression"])
    assert code == 0 and "classes" not in out


def test_module_entry_and_broken_pipe(sample_dirs, raw, tmp_path):
    big = pd.concat([raw] * 40, ignore_index=True)  # output well beyond a pipe's buffer
    big.to_csv(tmp_path / "big.csv", index=False)
    proc = subprocess.Popen(
        [sys.executable, "-m", "brinvale", "predict", sample_dirs["classification"], str(tmp_path / "big.csv")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ))
    assert proc.stdout.readline() == b"penguin_id,prediction\n"
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=300) == 0
    assert err == b""
