"""Record the table of pickle names that genuine result folders use.

Builds genuine result folders with the sample builder (real FLAML training:
every folder of the conformance space, brinvale.sample.CONFORMANCE, with its
tables, tasks, learners, date columns, text features and operator families;
every learner the package supports on the penguins sample, classification and
regression; records of every operator family made by brinvale's engine and by
plain pandas),
pickles the models and record dictionaries under protocols 2 to 5, and
collects:

- every global the pickles name, with how each is used (called, instantiated
  without __init__, kept as a value),
- every (class, attribute) pair they look up with getattr,
- every type of object reachable from what they load, and the classes and
  functions found inside,
- every place (the class of an object and its instance attribute) where what
  they load keeps a callable: a class, a function, a partial.  Instances
  that carry an attribute shadowing a method of their class are reported for
  review (genuine pickles have none).

Run once with each interpreter (one without pyarrow, one with it: pandas 3
pickles text differently where pyarrow is installed) and merge:

    PYTHONPATH=src python3 scripts/record_pickle_globals.py --json /tmp/plain.json
    PYTHONPATH=src /path/to/arrow/python scripts/record_pickle_globals.py --json /tmp/arrow.json
    python3 scripts/record_pickle_globals.py --merge /tmp/plain.json /tmp/arrow.json \
        --write src/bindings/brinvale/pickle_table.txt

or run without arguments to do all three with `python3` and `--arrow-python`.
The written table is reviewed by hand before it is committed.

Result folders written with older libraries (the oldest set the package
supports, see scripts/oldest-env.sh) name other globals.  Record them in the
old environment, keeping the pickles it wrote, then read those pickles with
the current libraries, which reach some old names under new ones:

    PYTHONPATH=src build/venv-oldest/bin/python scripts/record_pickle_globals.py \
        --json /tmp/oldest.json --keep /tmp/oldest-pickles
    PYTHONPATH=src python3 scripts/record_pickle_globals.py --json /tmp/oldest-read.json \
        --from /tmp/oldest-pickles
    python3 scripts/record_pickle_globals.py --merge /tmp/plain.json /tmp/arrow.json \
        --old /tmp/oldest.json /tmp/oldest-read.json --old-label "..." --write ...

The old names go to a block of their own at the end of the table.  A run
without --old keeps the block of the table it writes over as it stands.
"""

import argparse
import copy
import glob
import importlib
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
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import pandas as pd
    import pandas_twin as twins

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


def known_learners(task):
    """The learner names the installed FLAML offers for a task (older releases offer fewer)."""
    from flaml.automl.task.factory import task_factory

    return set(task_factory(task).estimators)


def carried_name(module, qualname):
    """The (module, qualified name) the object a pickle name reaches says it has."""
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return getattr(obj, "__module__", None), getattr(obj, "__qualname__", None)


def new_found():
    return {"globals": {}, "getattrs": set(), "types": set(), "objects": set(), "graph_getattrs": set(),
            "stored": set(), "shadowed": set(), "renamed": {}}


def scanner(found):
    """scan(raw, what): the globals and getattr pairs of one pickle, and the
    names the installed libraries give the objects those globals reach."""
    import brinvale.brinvale as bv

    def scan(raw, what):
        protocol, globals_, getattrs, problem, _ = bv._pickle_scan(raw)
        if problem:
            raise SystemExit(f"{what}: the scanner refuses a genuine pickle: {problem}")
        # what getattr returns is listed as a global "Class.attr" of its own
        looked_up = {(module, f"{name}.{attr}") for module, name, attr in getattrs}
        for module, name, uses in globals_:
            found["globals"].setdefault(f"{module} {name}", set()).update(uses.split(","))
            if (module, name) in looked_up:
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # NumPy's shims of old module paths warn
                carried = carried_name(module, name)
            if carried != (module, name):
                found["renamed"][f"{module} {name}"] = " ".join(map(str, carried))
        for module, name, attr in getattrs:
            found["getattrs"].add(f"{module} {name} {attr}")

    def graph(obj):
        seen = bv._pickle_graph(obj)
        found["types"].update(seen["types"])
        found["objects"].update(seen["objects"])
        found["graph_getattrs"].update(seen["getattrs"])
        found["stored"].update(seen["stored"])
        found["shadowed"].update(seen["shadowed"])

    return scan, graph


def collect(work, keep=None):
    from brinvale.sample import (CONFORMANCE, TARGETS, _config, _pipeline, _task_config, build_folder,
                                 build_sample, sample_table, shape_config, shape_table)

    found = new_found()
    scan, graph = scanner(found)

    kept = 0

    def every_protocol(obj, what):
        nonlocal kept
        for protocol in PROTOCOLS:
            raw = pickle.dumps(obj, protocol=protocol)
            scan(raw, f"{what} (protocol {protocol})")
            graph(pickle.loads(raw))
            if keep:
                kept += 1
                with open(os.path.join(keep, "pickles", f"{kept:03d}-p{protocol}.pkl"), "wb") as f:
                    f.write(raw)

    if keep:
        os.makedirs(os.path.join(keep, "pickles"), exist_ok=True)
        work = keep
    raw_table = sample_table()
    every_protocol(pandas_records(raw_table), "pandas records")

    def record_folder(folder):
        for rel in ("automl/result", "autofe/labelencoder.pkl"):
            with open(os.path.join(folder, rel), "rb") as f:
                raw = f.read()
            scan(raw, f"{folder}/{rel}")
            obj = pickle.loads(raw)
            graph(obj)
            every_protocol(obj, f"{folder}/{rel}")

    def after_prediction(folder, cfg, data):
        """Records after a prediction hold the "_mean_count" tables too."""
        with open(os.path.join(folder, "autofe", "labelencoder.pkl"), "rb") as f:
            records = pickle.load(f)
        with open(os.path.join(folder, "autofe", "result"), encoding="utf-8") as f:
            features = json.load(f)["combination_features"]
        with warnings.catch_warnings(), _task_config(os.path.join(folder, "config.yaml")):
            warnings.simplefilter("ignore")
            _pipeline(cfg, records, features).preprocess(data.copy(), return_y=True)
        every_protocol(copy.deepcopy(records), f"{folder} records after a prediction")

    for shape in CONFORMANCE:
        if shape.learner != "auto" and shape.learner not in known_learners(shape.flaml_task):
            print(f"{shape.name}: the installed FLAML has no learner {shape.learner!r}; skipped", file=sys.stderr)
            continue
        folder = os.path.join(work, shape.name)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                build_folder(folder, shape)
            except Exception as e:  # an older library may not train this shape at all
                print(f"{shape.name}: not built here ({type(e).__name__}: {e})", file=sys.stderr)
                continue
        record_folder(folder)
        after_prediction(folder, shape_config(shape), shape_table(shape))
    for task, learners in LEARNERS.items():
        for learner in learners:
            if learner != "auto" and learner not in known_learners(task):
                print(f"{task}: the installed FLAML has no learner {learner!r}; skipped", file=sys.stderr)
                continue
            folder = os.path.join(work, f"{task}-{learner}")
            estimators = "auto" if learner == "auto" else [learner]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                build_sample(folder, task, max_iter=10 if learner == "auto" else 4,
                             estimator_list=estimators)
            record_folder(folder)
            if learner == "lgbm":
                data = raw_table[raw_table[TARGETS[task]].notna()].reset_index(drop=True)
                after_prediction(folder, _config(task), data)
    return found


def collect_kept(folder):
    """What the pickles another environment kept (--keep) need here: the
    globals they name, and what loading them with the installed libraries
    gives."""
    found = new_found()
    scan, graph = scanner(found)
    paths = sorted(glob.glob(os.path.join(folder, "pickles", "*.pkl")))
    paths += sorted(glob.glob(os.path.join(folder, "*", "automl", "result")))
    paths += sorted(glob.glob(os.path.join(folder, "*", "autofe", "labelencoder.pkl")))
    if not paths:
        raise SystemExit(f"{folder}: no kept pickles")
    for path in paths:
        with open(path, "rb") as f:
            raw = f.read()
        scan(raw, path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            graph(pickle.loads(raw))
    return found


LIBRARIES = (("pandas", "pandas"), ("NumPy", "numpy"), ("scikit-learn", "sklearn"), ("FLAML", "flaml"),
             ("LightGBM", "lightgbm"), ("XGBoost", "xgboost"), ("pyarrow", "pyarrow"))


def versions():
    out = {}
    for label, module in LIBRARIES:
        try:
            out[label] = importlib.import_module(module).__version__
        except ImportError:
            pass
    return out


def old_label(parts):
    """The comment of the old block: the libraries that wrote the pickles and
    those that read them."""
    lines = []
    for verb, read in (("written by", False), ("read by", True)):
        for v in dict.fromkeys(tuple(p["versions"].items()) for p in parts if bool(p.get("read")) == read):
            lines.append(f"{verb} " + ", ".join(f"{k} {n}" for k, n in v))
    return "\n".join(lines)


GRAPH_KEYS = ("getattrs", "types", "objects", "graph_getattrs", "stored", "shadowed")


def to_json(found, read=False):
    return {
        "versions": versions(),
        "read": read,
        "globals": {k: sorted(v) for k, v in found["globals"].items()},
        **{k: sorted(found[k]) for k in GRAPH_KEYS},
        "renamed": dict(sorted(found["renamed"].items())),
    }


def merge(parts):
    out = new_found()
    for p in parts:
        for k, v in p["globals"].items():
            out["globals"].setdefault(k, set()).update(v)
        for k in GRAPH_KEYS:
            out[k].update(p.get(k, ()))
        out["renamed"].update(p.get("renamed", {}))
    return out


def entries(found):
    """The table entries of what was found: {"global": {key: uses}, "getattr": set, "type": set,
    "stored": set}."""
    globals_ = {k: set(v) for k, v in found["globals"].items()}
    # classes and functions found inside loaded objects, which the pickles did not name
    for entry in found["objects"]:
        if entry not in globals_ and entry not in found["types"] and not entry.startswith(("module ", "bound ")):
            globals_.setdefault(entry, set()).add("value")
    return {"global": globals_, "getattr": found["getattrs"] | found["graph_getattrs"],
            "type": set(found["types"]), "stored": set(found["stored"])}


def entry_lines(table, renamed=None):
    order = {"call": 0, "new": 1, "value": 2}
    lines = []
    for key in sorted(table["global"]):
        module, name = key.split(" ", 1)
        uses = ",".join(sorted(table["global"][key], key=order.get))
        lines.append(f"global  {module} {name} {uses}")
    lines.append("")
    for entry in sorted(table["getattr"]):
        lines.append(f"getattr {entry}")
    lines.append("")
    for entry in sorted(table["type"]):
        lines.append(f"type    {entry}")
    if table.get("stored"):
        lines.append("")
        for entry in sorted(table["stored"]):
            lines.append(f"stored  {entry}")
    if renamed:
        lines.append("")
        for old, new in sorted(renamed.items()):
            lines.append(f"renamed {old} {new}")
    return lines


OLD_BLOCK = "# ---- written by older libraries "


def carried_old_block(path, main_lines):
    """The block of names older libraries write, taken from the table at
    `path` as it stands (for a run without the oldest environment), less the
    entries the new main block now holds."""
    if not path or not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith(OLD_BLOCK)), None)
    if start is None:
        return []
    admitted = {}
    for line in main_lines:
        parts = line.split()
        if parts and parts[0] == "global":
            admitted[(parts[1], parts[2])] = set(parts[3].split(","))
    kept = []
    for line in lines[start:]:
        parts = line.split()
        if parts and parts[0] == "global":
            uses = [u for u in parts[3].split(",") if u not in admitted.get((parts[1], parts[2]), set())]
            if not uses:
                continue
            line = f"global  {parts[1]} {parts[2]} {','.join(uses)}"
        elif parts and parts[0] in ("getattr", "type", "stored", "renamed") and line in main_lines:
            continue
        kept.append(line)
    return [""] + kept


def render(found, environments, old=None, old_label=None, old_from=None):
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
        "#   stored  MODULE QUALNAME ATTR   objects of that class may keep a callable (a class, a",
        "#                                  function, a partial) in their attribute ATTR, directly or",
        "#                                  in a container there (- - - : the loaded object itself)",
        "#   renamed MODULE QUALNAME NEWMODULE NEWQUALNAME",
        "#                                  an old name that newer libraries still serve, with the",
        "#                                  object that now carries the new name (which must be the",
        "#                                  very object the new name gives)",
        "",
    ]
    main = entries(found)
    lines += entry_lines(main)
    odd = sorted(e for e in found["objects"] if e.startswith(("module ", "bound ")))
    if old is None:
        lines += carried_old_block(old_from, set(lines))
    else:
        extra = entries(old)
        extra["global"] = {k: v - main["global"].get(k, set()) for k, v in extra["global"].items()}
        extra["global"] = {k: v for k, v in extra["global"].items() if v}
        extra["getattr"] -= main["getattr"]
        extra["type"] -= main["type"]
        extra["stored"] -= main["stored"]
        lines += ["", "# ---- written by older libraries " + "-" * 46, "#",
                  *(f"# {line}" for line in old_label.splitlines()), "#"]
        lines += entry_lines(extra, old["renamed"])
        odd += sorted(e for e in old["objects"] if e.startswith(("module ", "bound ")))
    if odd:
        print("found inside genuine objects, not admitted (review):", *odd, sep="\n  ", file=sys.stderr)
    shadowed = sorted(found["shadowed"] | (old["shadowed"] if old else set()))
    if shadowed:
        print("instance attributes that shadow a method, refused on load (review):", *shadowed, sep="\n  ",
              file=sys.stderr)
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", help="record with this interpreter and write what was found here")
    ap.add_argument("--merge", nargs="+", help="merge recorded JSON files")
    ap.add_argument("--write", help="write the merged table here (default: print it)")
    ap.add_argument("--keep", help="with --json: build the folders here and keep every pickle written")
    ap.add_argument("--from", dest="kept", help="with --json: record the pickles another environment kept "
                    "(--keep) instead of writing new ones")
    ap.add_argument("--old", nargs="+", help="with --merge: recorded JSON files of result folders written by "
                    "older libraries, rendered in a block of their own")
    ap.add_argument("--oldest-python", default=os.environ.get("BRINVALE_OLDEST_PYTHON"),
                    help="an interpreter with the oldest supported libraries (scripts/oldest-env.sh), for the "
                    "run without arguments")
    ap.add_argument("--arrow-python", default=os.environ.get("BRINVALE_ARROW_PYTHON", "build/venv-arrow/bin/python"),
                    help="an interpreter with pyarrow installed, for the run without arguments")
    args = ap.parse_args()

    if args.json:
        if args.kept:
            found = collect_kept(args.kept)
        elif args.keep:
            found = collect(None, keep=args.keep)
        else:
            with tempfile.TemporaryDirectory() as work:
                found = collect(work)
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(to_json(found, read=bool(args.kept)), f, indent=1)
        return
    files, old_files = args.merge, args.old
    names = "pickles written without and with pyarrow installed"
    if not files:
        tmp = tempfile.mkdtemp()
        files = []
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "src"))
        me = os.path.abspath(__file__)
        for label, python in (("plain", sys.executable), ("arrow", args.arrow_python)):
            out = os.path.join(tmp, f"{label}.json")
            subprocess.run([python, me, "--json", out], check=True, env=env)
            files.append(out)
        if args.oldest_python:
            kept = os.path.join(tmp, "oldest")
            old_files = [os.path.join(tmp, "oldest.json"), os.path.join(tmp, "oldest-read.json")]
            subprocess.run([args.oldest_python, me, "--json", old_files[0], "--keep", kept], check=True, env=env)
            subprocess.run([sys.executable, me, "--json", old_files[1], "--from", kept], check=True, env=env)

    def read(paths):
        parts = []
        for path in paths:
            with open(path, encoding="utf-8") as f:
                parts.append(json.load(f))
        return parts

    old = read(old_files) if old_files else None
    table = render(merge(read(files)), names + ", protocols 2 to 5",
                   merge(old) if old else None, old_label(old) if old else None, old_from=args.write)
    if args.write:
        with open(args.write, "w", encoding="utf-8") as f:
            f.write(table)
    else:
        sys.stdout.write(table)


if __name__ == "__main__":
    main()
