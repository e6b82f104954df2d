"""Command line of brinvale.

    brinvale demo [FOLDER]
    brinvale predict RESULT DATA [--proba] [--output FILE] [--scheduler ADDRESS]
    brinvale info RESULT
    brinvale formula NAME...

(also as `python -m brinvale ...`).  Errors the user can act on print one
line on standard error and exit with status 2; --debug shows the traceback.
"""

import argparse
import json
import os
import re
import sys
import tempfile

EXIT_USAGE = 2

# Characters a terminal acts on instead of showing: C0 and C1 controls
# (escape sequences retitle the window, move the cursor, erase what was
# printed) and the marks that reorder text shown after them.
_UNSHOWN = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def _shown(value):
    """Text of a result folder (names, labels, messages) as the terminal may
    print it: every control character written out as its escape (\\x1b)."""
    return _UNSHOWN.sub(lambda m: ascii(m.group())[1:-1], str(value))


def _show_lines(text):
    """_shown, keeping the line breaks of a text laid out in lines."""
    return "\n".join(_shown(line) for line in str(text).split("\n"))


class UserError(Exception):
    """A failure explained by its message alone."""


def _load(folder):
    from brinvale.brinvale import tabular_incrml

    if not os.path.isdir(folder):
        raise UserError(f"{folder}: no such result folder (expected the folder holding config.yaml, "
                        "autofe/ and automl/)")
    if not os.path.isfile(os.path.join(folder, "config.yaml")):
        raise UserError(f"{folder} is not a result folder: it holds no config.yaml")
    return tabular_incrml(os.fspath(folder))


def _target_encoder(obj):
    if obj.task != "classification":
        return None
    return obj.lec_record_dt.get(obj.target_name)


def _class_codes(obj, n):
    codes = getattr(obj.model, "classes_", None)
    if codes is None or len(codes) != n:
        codes = range(n)
    return list(codes)


def _decode(encoder, codes):
    import numpy as np

    if encoder is None:
        return list(codes)
    return list(encoder.inverse_transform(np.asarray(codes).astype(int)))


def _class_labels(obj):
    """The classes a classification model predicts, decoded."""
    codes = getattr(obj.model, "classes_", None)
    if codes is None:
        return None
    return _decode(_target_encoder(obj), codes)


def _id_values(obj, frame):
    """The identifier column of the input, matched as the pipeline matches labels."""
    if not obj.id_index:
        return None
    for label in frame.columns:
        if isinstance(label, str) and label.strip().replace(" ", "_") == obj.id_index:
            return frame[label].to_numpy(copy=True)
    return None


def _demo(args):
    import pandas as pd

    from brinvale.sample import build_sample
    from brinvale.tavrin import name2formula

    with tempfile.TemporaryDirectory(prefix="brinvale-demo-") as tmp:
        folder = args.folder or os.path.join(tmp, "result")
        print(f"building a sample result folder in {folder} ...")
        build_sample(folder, "classification")
        obj = _load(folder)
        config = obj.obtain_model_configuration()
        print(f"loaded: task {obj.task!r}, target {obj.target_name!r}, model {config['model_type']!r}, "
              f"{len(obj.adv_features)} engineered features, {len(obj.lec_record_dt)} training records")
        for name in obj.adv_features[:5]:
            print(f"  {name}\n      = {name2formula(name)}")
        val = pd.read_csv(os.path.join(folder, "automl", "val_res"))
        truth = val.pop(obj.target_name)
        val = val.drop(columns=["ypred"])
        labels = _decode(_target_encoder(obj), obj.predict(val))
        out = pd.DataFrame({"predicted": labels, "actual": truth})
        print(out.head(10).to_string())
        print(f"accuracy on the {len(out)} validation rows: {(out.predicted == out.actual).mean():.3f}")
    return 0


_PARQUET = (".parquet", ".pq")


def _is_pattern(path):
    return any(c in os.fspath(path) for c in "*?[")


def _read_partitioned(pattern):
    """The files matching `pattern` as a Dask DataFrame, one partition per
    file in name order (Parquet files by their extension, CSV otherwise)."""
    import glob

    import dask.dataframe as dd

    files = sorted(glob.glob(os.fspath(pattern)))
    if os.path.isdir(pattern):
        files = sorted(os.path.join(pattern, f) for f in os.listdir(pattern)
                       if f.lower().endswith((".csv",) + _PARQUET))
    if not files:
        raise UserError(f"{pattern}: no file matches")
    parquet = [f.lower().endswith(_PARQUET) for f in files]
    if any(parquet) and not all(parquet):
        raise UserError(f"{pattern}: matches both CSV and Parquet files; give one kind")
    if all(parquet):
        return dd.read_parquet(files, split_row_groups=False), files
    return dd.read_csv(files, blocksize=None), files


def _output_names(files):
    """One output file per input file, named after it ("x.parquet" gives
    "x.csv"); inputs of the same name in other folders get their position in
    front."""
    names = [os.path.splitext(os.path.basename(f))[0] + ".csv" for f in files]
    if len(set(names)) < len(names):
        names = [f"{k:05d}-{name}" for k, name in enumerate(names)]
    return names


def _part_name(i):
    return f"{i:05d}"


def _decode_block(codes, classes):
    return classes[codes.astype(int)]


def _column_array(column):
    """A Dask Series as a Dask array of known chunks.  Its parts as Dask reads
    them: a projected Parquet read fuses small files into fewer partitions
    than the frame counts."""
    import dask
    import dask.array as da
    import numpy as np

    parts = column.to_delayed()
    lengths = dask.compute(*[dask.delayed(len)(p) for p in parts])
    return da.concatenate([da.from_delayed(dask.delayed(np.asarray)(p, dtype=object), shape=(n,), dtype=object)
                           for p, n in zip(parts, lengths)])


def _predict_partitioned(args, obj):
    """Scoring on Dask: a glob of files or a folder of them in, one CSV file
    per partition out, with a progress display on standard error."""
    import contextlib

    import dask
    import dask.dataframe as dd
    import numpy as np

    if not args.output or args.output == "-":
        raise UserError("a glob of files or --scheduler writes one CSV file per partition: "
                        "give --output FOLDER")
    client = contextlib.nullcontext()
    if args.scheduler:
        from distributed import Client

        client = Client(args.scheduler)
    with client:
        frame, files = _read_partitioned(args.data)
        # the k-th input file gives the k-th output file, an empty one included
        lengths = [int(n) for n in frame.map_partitions(len).compute()] if frame.npartitions == len(files) else None
        encoder = _target_encoder(obj)
        if args.proba:
            values = obj.predict_proba(frame)
            names = [str(n) for n in _decode(encoder, _class_codes(obj, values.shape[1]))]
            out = dd.from_dask_array(values, columns=names)
        else:
            values = obj.predict(frame)
            if encoder is not None:
                classes = np.asarray(encoder.classes_)
                values = values.map_blocks(_decode_block, classes, dtype=classes.dtype)
            out = dd.from_dask_array(values, columns=["prediction"])
        id_label = next((c for c in frame.columns if isinstance(c, str) and obj.id_index
                         and c.strip().replace(" ", "_") == obj.id_index), None)
        if id_label is not None:
            ids = _column_array(frame[id_label]).rechunk((values.chunks[0],))
            out = dd.concat([dd.from_dask_array(ids, columns=obj.id_index), out], axis=1)
        os.makedirs(args.output, exist_ok=True)
        if lengths is not None:
            names = _output_names(files)
            # partitions without rows take no part in the scores: they are
            # written as files holding the header only
            scored = [names[k] for k, n in enumerate(lengths) if n]
            for k, n in enumerate(lengths):
                if not n:
                    out._meta.to_csv(os.path.join(args.output, names[k]), index=False)
            write = out.to_csv(os.path.join(args.output, "*"), index=False, compute=False,
                               name_function=scored.__getitem__)
        else:
            # a reader that fused files into fewer partitions: numbered parts,
            # zero-padded so that they sort by name in the input's row order
            write = out.to_csv(os.path.join(args.output, "part-*.csv"), index=False, compute=False,
                               name_function=_part_name)
        if args.scheduler:
            from distributed import progress, wait

            futures = client.compute(write)
            progress(futures)
            wait(futures)
            client.gather(futures)
        else:
            from dask.diagnostics import ProgressBar

            with ProgressBar(out=sys.stderr):
                dask.compute(write)
    count = len(files) if lengths is not None else out.npartitions
    print(f"wrote {count} files to {args.output}", file=sys.stderr)
    return 0


def _predict(args):
    import pandas as pd

    obj = _load(args.result)
    if args.scheduler or _is_pattern(args.data) or os.path.isdir(args.data) and any(
            f.lower().endswith(_PARQUET) for f in os.listdir(args.data)):
        return _predict_partitioned(args, obj)
    if os.fspath(args.data).lower().endswith(_PARQUET) and os.path.isfile(args.data):
        # one Parquet file is a frame: read it here (pandas needs pyarrow for it)
        frame = pd.read_parquet(args.data)
        if frame.empty:
            raise UserError(f"{args.data} holds column names but no rows")
    else:
        frame = obj._load_data_from_file(os.fspath(args.data))
    ids = _id_values(obj, frame)
    # A frame as wide as the model's inputs would be taken as model input and
    # an empty one loses its file name: the path itself gives predict's own
    # handling of a file.
    width = len(getattr(obj.model, "feature_names_in_", ()))
    from_file = not os.fspath(args.data).lower().endswith(_PARQUET)
    source = args.data if from_file and (frame.empty or frame.shape[1] == width) else frame
    if args.proba:
        values = obj.predict_proba(source)
        names = _decode(_target_encoder(obj), _class_codes(obj, values.shape[1]))
        out = pd.DataFrame(values, columns=[str(n) for n in names])
    else:
        values = obj.predict(source)
        out = pd.DataFrame({"prediction": _decode(_target_encoder(obj), values)})
    if ids is not None and len(ids) == len(out):
        out.insert(0, obj.id_index, ids)
    if args.output and args.output != "-":
        out.to_csv(args.output, index=False)
    elif sys.stdout.isatty():
        # class labels come from the folder: a terminal gets them escaped,
        # a pipe or a file the values as they are
        print(_show_lines(out.to_csv(index=False)), end="")
        sys.stdout.flush()
    else:
        out.to_csv(sys.stdout, index=False)
        sys.stdout.flush()
    return 0


def _info(args):
    from brinvale.brinvale import _input_columns

    obj = _load(args.result)
    config = obj.obtain_model_configuration()
    # (JSON escapes the C0 controls in its strings, not the others)
    print(_show_lines(json.dumps(config, ensure_ascii=False, indent=2, default=str)))
    print(f"target: {_shown(obj.target_name)}")
    labels = _class_labels(obj) if obj.task == "classification" else None
    if labels is not None:
        print(f"classes ({len(labels)}): " + ", ".join(_shown(v) for v in labels))
    columns = _input_columns(obj)
    print(f"input columns the model needs ({len(columns)}):")
    for name in columns:
        print(f"  {_shown(name)}")
    pairs = sorted(obj.get_feature_importance(), key=lambda p: -float(p[1]))
    width = max((len(_shown(name)) for name, _ in pairs), default=0)
    print("feature importances:")
    for name, value in pairs:
        print(f"  {_shown(name):<{width}}  {_shown(value)}")
    return 0


def _whole(name):
    """Whether the grammar splits `name` whole: the operator and operands it
    finds give the name back, nested names included ("add###a|||b" lacks its
    closing "$$$", and renders as "a+")."""
    from brinvale.tavrin import is_combination_feature, split_features

    parts = split_features(name)
    if len(parts) < 2 or parts[0] + "###" + "|||".join(parts[1:]) + "$$$" != name:
        return False
    return all(_whole(p) for p in parts[1:] if is_combination_feature(p))


def _formula(args):
    from brinvale.tavrin import name2formula

    failed = 0
    for name in args.names:
        try:
            formula = name2formula(name)
            if formula is not None and not _whole(name):
                formula, why = None, "the name is not one whole feature name: operator###operands$$$"
            else:
                why = "not an engineered feature name with a known operator"
        except Exception as e:  # a malformed name
            formula, why = None, f"{type(e).__name__}: {e}"
        if formula is None:
            print(f"brinvale: error: cannot render {name!r} as a formula ({_shown(why)})",
                  file=sys.stderr)
            failed += 1
        else:
            print(f"{_shown(name)}\n  = {_shown(formula)}")
    return EXIT_USAGE if failed else 0


def _message(e):
    """One line saying what went wrong, naming the file or column concerned."""
    if isinstance(e, OSError) and e.filename is not None:
        text = f"{e.filename}: {e.strerror or e}"
    elif isinstance(e, KeyError) and len(e.args) == 1 and isinstance(e.args[0], str):
        text = e.args[0]
        if "lacks" not in text:
            text = f"missing key or column {text!r}"
    else:
        text = str(e) or type(e).__name__
    text = " ".join(text.split())
    hint = ""
    try:
        import pickle

        import yaml
    except ImportError:  # pragma: no cover - both are dependencies
        yaml = pickle = None
    if yaml is not None and isinstance(e, yaml.YAMLError):
        hint = " (config.yaml of the result folder is not a plain configuration)"
    elif pickle is not None and isinstance(e, pickle.UnpicklingError):
        hint = (" (the result folder's pickles name a global that is not admitted; if you trust the "
                "folder, add it to brinvale.brinvale.TRUSTED_PICKLE_GLOBALS from Python)")
    elif isinstance(e, ModuleNotFoundError) and (e.name or "").split(".")[0] in ("dask", "distributed"):
        hint = ' (scoring globs of files and on a cluster needs Dask: pip install "brinvale[dask]")'
    elif isinstance(e, ModuleNotFoundError) and (e.name or "").split(".")[0] in ("pyarrow", "fastparquet"):
        hint = ' (reading Parquet files needs pyarrow: pip install pyarrow, or "brinvale[dask]")'
    elif isinstance(e, ImportError) and "pyarrow" in str(e):
        hint = ' (pip install pyarrow, or "brinvale[dask]")'
    elif isinstance(e, ModuleNotFoundError):
        hint = " (install the package the result folder was trained with)"
    return text + hint


def _parser():
    parser = argparse.ArgumentParser(prog="brinvale", description=__doc__.split("\n")[0])
    parser.add_argument("--debug", action="store_true", help="show the traceback of an error")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("demo", help="build a sample result folder and predict with it")
    p.add_argument("folder", nargs="?", help="where to build it (default: a temporary folder, removed afterwards)")
    p.set_defaults(run=_demo)
    p = sub.add_parser("predict", help="predict a CSV/Excel/npz file, a folder of CSV files, or a glob "
                       "of CSV/Parquet files on Dask")
    p.add_argument("result", help="result folder of a training run")
    p.add_argument("data", help="data file or folder, or a glob such as 'data/*.parquet'")
    p.add_argument("--proba", action="store_true", help="class probabilities, one column per class")
    p.add_argument("--output", help="CSV file to write (default or '-': standard output); a folder "
                   "for a glob of files or --scheduler")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="score on this Dask cluster (e.g. tcp://host:8786); DATA may then be a glob of "
                        "CSV or Parquet files, written one CSV file per partition (needs brinvale[dask])")
    p.set_defaults(run=_predict)
    p = sub.add_parser("info", help="chosen model, classes, input columns and feature importances")
    p.add_argument("result", help="result folder of a training run")
    p.set_defaults(run=_info)
    p = sub.add_parser("formula", help="render engineered feature names as formulas")
    p.add_argument("names", nargs="+")
    p.set_defaults(run=_formula)
    for name in ("demo", "predict", "info", "formula"):
        sub.choices[name].add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                                       help="show the traceback of an error")
    return parser


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:
        # the reader went away (`... | head`): stop quietly, and keep Python
        # from reporting the failed flush of standard output at exit
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return 0
    except KeyboardInterrupt:
        return 130
    except Exception as e:
        if args.debug:
            raise
        print(f"brinvale: error: {_shown(_message(e))} (--debug shows the traceback)",
              file=sys.stderr)
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
