"""Record the table of pickle names that genuine result folders use.

Builds genuine result folders with the sample builder (real FLAML training,
every learner the package supports, classification and regression, records
of every operator family made by brinvale's engine and by plain pandas),
pickles the models and record dictionaries under protocols 2 to 5, and
collects:

- every global the pickles name, with how each is used (called, instantiated
  without __init__, kept as a value),
- every (class, attribute) pair they look up with getattr,
- every type of object reachable from what they load, and the classes and
  functions found inside.

Run once with each interpreter (one without pyarrow, one with it: pandas 3
pickles text differently where pyarrow is installed) and merge:

    PYTHONPATH=src python3 scripts/record_pickle_globals.py --json /tmp/plain.json
    PYTHONPATH=src /path/to/arrow/python scripts/record_pickle_globals.py --json /tmp/arrow.json
    python3 scripts/record_pickle_globals.py --merge /tmp/plain.json /tmp/arrow.json \
        --write src/bindings/brinvale/pickle_table.txt

or run without arguments to do all three with `python3` and `--arrow-python`.
The written table is reviewed by hand before it is committed.
"""

import argparse
import copy
import json
import os
import pickle
import subprocess
import sys
import tempfile
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

LEARNERS = {
    "classification": ["lgbm", "xgboost", "xgb_limitdepth", "rf", "extra_tree", "lrl1", "lrl2",
                       "kneighbor", "sgd", "histgb", "svc", "auto"],
    "regression": ["lgbm", "xgboost", "xgb_limitdepth", "rf", "extra_tree", "kneighbor", "sgd",
                   "histgb", "enet", "lassolars", "auto"],
}

PROTOCOLS = (2, 3, 4, 5)


def pandas_records(raw):
    """Records made by plain pandas, as the training platform writes them."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
    import pandas as pd
    import twins

    df = raw.rename(columns=lambda c: c.replace(" ", "_")).dropna(subset=["sex"]).reset_index(drop=True)
    rec = {}
    twins.count(df, "island", rec)
    twins.crosscount(df, ["island", "sex"], rec)
    twins.crosscount(df, ["island", "year"], rec)
    for stat in ("min", "max", "mean", "median", "var"):
        twins.aggregate(df, "bill_length_mm", "island", [stat], rec)
        twins.aggregate(df, "flipper_length_mm", "year", [stat], rec)
    twins.nunique(df, "bill_depth_mm", "island", rec)
    twins.nunique(df, "body_mass_g", "year", rec)
    # keys of the other dtypes a frame handed to the engine may hold
    df["day"] = pd.to_datetime(df["year"].astype(str) + "-01-01") + pd.to_timedelta(df.index % 9, unit="D")
    df["kind"] = df["species"].astype("category")
    df["ring"] = pd.array(df.index % 4, dtype="Int64")
    df["flag"] = df.index % 2 == 0
    for key in ("day", "kind", "ring", "flag"):
        twins.count(df, key, rec)
        twins.aggregate(df, "bill_length_mm", key, ["mean", "max"], rec)
        twins.nunique(df, "bill_depth_mm", key, rec)
    twins.crosscount(df, ["kind", "day"], rec)
    # encoders fitted on arrays and lists (text, integer and float classes),
    # before and after a transform has appended the out-of-vocabulary token
    import numpy as np
    from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV

    for i, values in enumerate((np.array(["a", "b"]), ["x", "y"], [3, 1, 2], np.array([0.5, 1.5]),
                                df["species"], df["species"].to_numpy())):
        for transformed in (False, True):
            enc = LabelEncoderWithOOV()
            enc.fit(values)
            if transformed:
                enc.transform(values)
            rec[f"encoder_{i}_{transformed}"] = enc
    # combining with a second frame writes the "_mean_count" tables
    twins.aggregate(df.head(50), "bill_length_mm", "island", ["mean"], rec)
    twins.aggregate(df.head(50), "flipper_length_mm", "year", ["mean"], rec)
    return rec


def collect(work):
    import brinvale.brinvale as bv
    from brinvale.sample import TARGETS, _config, _pipeline, _task_config, build_sample, sample_table

    found = {"globals": {}, "getattrs": set(), "types": set(), "objects": set(), "graph_getattrs": set()}

    def scan(raw, what):
        protocol, globals_, getattrs, problem = bv._pickle_scan(raw)
        if problem:
            raise SystemExit(f"{what}: the scanner refuses a genuine pickle: {problem}")
        for module, name, uses in globals_:
            found["globals"].setdefault(f"{module} {name}", set()).update(uses.split(","))
        for module, name, attr in getattrs:
            found["getattrs"].add(f"{module} {name} {attr}")

    def graph(obj):
        seen = bv._pickle_graph(obj)
        found["types"].update(seen["types"])
        found["objects"].update(seen["objects"])
        found["graph_getattrs"].update(seen["getattrs"])

    def every_protocol(obj, what):
        for protocol in PROTOCOLS:
            raw = pickle.dumps(obj, protocol=protocol)
            scan(raw, f"{what} (protocol {protocol})")
            graph(pickle.loads(raw))

    raw_table = sample_table()
    every_protocol(pandas_records(raw_table), "pandas records")
    for task, learners in LEARNERS.items():
        for learner in learners:
            folder = os.path.join(work, f"{task}-{learner}")
            estimators = "auto" if learner == "auto" else [learner]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                build_sample(folder, task, max_iter=10 if learner == "auto" else 4,
                             estimator_list=estimators)
            for rel in ("automl/result", "autofe/labelencoder.pkl"):
                with open(os.path.join(folder, rel), "rb") as f:
                    raw = f.read()
                scan(raw, f"{folder}/{rel}")
                obj = pickle.loads(raw)
                graph(obj)
                every_protocol(obj, f"{folder}/{rel}")
            if learner != "lgbm":
                continue
            # Records after a prediction hold the "_mean_count" tables too.
            with open(os.path.join(folder, "autofe", "labelencoder.pkl"), "rb") as f:
                records = pickle.load(f)
            with open(os.path.join(folder, "autofe", "result"), encoding="utf-8") as f:
                features = json.load(f)["combination_features"]
            cfg = _config(task)
            data = raw_table[raw_table[TARGETS[task]].notna()].reset_index(drop=True)
            with warnings.catch_warnings(), _task_config(os.path.join(folder, "config.yaml")):
                warnings.simplefilter("ignore")
                _pipeline(cfg, records, features).preprocess(data.copy(), return_y=True)
            every_protocol(copy.deepcopy(records), f"{folder} records after a prediction")
    return found


def to_json(found):
    return {
        "globals": {k: sorted(v) for k, v in found["globals"].items()},
        **{k: sorted(found[k]) for k in ("getattrs", "types", "objects", "graph_getattrs")},
    }


def merge(parts):
    out = {"globals": {}, "getattrs": set(), "types": set(), "objects": set(), "graph_getattrs": set()}
    for p in parts:
        for k, v in p["globals"].items():
            out["globals"].setdefault(k, set()).update(v)
        for k in ("getattrs", "types", "objects", "graph_getattrs"):
            out[k].update(p[k])
    return out


def render(found, environments):
    lines = [
        "# Pickle names admitted when a result folder is loaded.",
        "#",
        "# Recorded by scripts/record_pickle_globals.py from genuine result folders",
        f"# ({environments}); reviewed by hand.  Exact names only.",
        "#",
        "#   global  MODULE QUALNAME USES   a name the pickle may refer to, and how it may use it:",
        "#                                  call (called; a class runs __init__), new (instantiated",
        "#                                  without __init__), value (kept as data or passed on)",
        "#   getattr MODULE QUALNAME ATTR   getattr(<that class>, ATTR) while unpickling",
        "#   type    MODULE QUALNAME        a type whose objects may be found in what was loaded",
        "",
    ]
    globals_ = found["globals"]
    # classes and functions found inside loaded objects, which the pickles did not name
    for entry in found["objects"]:
        if entry not in globals_ and entry not in found["types"] and not entry.startswith(("module ", "bound ")):
            globals_.setdefault(entry, set()).add("value")
    order = {"call": 0, "new": 1, "value": 2}
    for key in sorted(globals_):
        module, name = key.split(" ", 1)
        uses = ",".join(sorted(globals_[key], key=order.get))
        lines.append(f"global  {module} {name} {uses}")
    lines.append("")
    for entry in sorted(found["getattrs"] | found["graph_getattrs"]):
        lines.append(f"getattr {entry}")
    lines.append("")
    for entry in sorted(found["types"]):
        lines.append(f"type    {entry}")
    odd = sorted(e for e in found["objects"] if e.startswith(("module ", "bound ")))
    if odd:
        print("found inside genuine objects, not admitted (review):", *odd, sep="\n  ", file=sys.stderr)
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", help="record with this interpreter and write what was found here")
    ap.add_argument("--merge", nargs="+", help="merge recorded JSON files")
    ap.add_argument("--write", help="write the merged table here (default: print it)")
    ap.add_argument("--arrow-python", default=os.environ.get("BRINVALE_ARROW_PYTHON", "build/venv-arrow/bin/python"),
                    help="an interpreter with pyarrow installed, for the run without arguments")
    args = ap.parse_args()

    if args.json:
        with tempfile.TemporaryDirectory() as work:
            found = collect(work)
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(to_json(found), f, indent=1)
        return
    files = args.merge
    names = "pickles written without and with pyarrow installed"
    if not files:
        tmp = tempfile.mkdtemp()
        files = []
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "src"))
        for label, python in (("plain", sys.executable), ("arrow", args.arrow_python)):
            out = os.path.join(tmp, f"{label}.json")
            subprocess.run([python, os.path.abspath(__file__), "--json", out], check=True, env=env)
            files.append(out)
    parts = []
    for path in files:
        with open(path, encoding="utf-8") as f:
            parts.append(json.load(f))
    table = render(merge(parts), names + ", protocols 2 to 5")
    if args.write:
        with open(args.write, "w", encoding="utf-8") as f:
            f.write(table)
    else:
        sys.stdout.write(table)


if __name__ == "__main__":
    main()
