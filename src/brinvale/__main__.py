"""Command line of brinvale.

    python -m brinvale demo [FOLDER]
    python -m brinvale predict RESULT DATA [--proba] [--output FILE]
    python -m brinvale info RESULT
    python -m brinvale formula NAME...
"""

import argparse
import json
import os
import sys
import tempfile


def _load(folder):
    from brinvale.brinvale import tabular_incrml

    return tabular_incrml(os.fspath(folder))


def _demo(args):
    import pandas as pd

    from brinvale.sample import build_sample

    folder = args.folder or os.path.join(tempfile.mkdtemp(prefix="brinvale-demo-"), "result")
    print(f"building a sample result folder in {folder} ...")
    build_sample(folder, "classification")
    obj = _load(folder)
    from brinvale.tavrin import name2formula

    config = obj.obtain_model_configuration()
    print(f"loaded: task {obj.task!r}, target {obj.target_name!r}, model {config['model_type']!r}, "
          f"{len(obj.adv_features)} engineered features, {len(obj.lec_record_dt)} training records")
    for name in obj.adv_features[:5]:
        print(f"  {name}\n      = {name2formula(name)}")
    val = pd.read_csv(os.path.join(folder, "automl", "val_res"))
    truth = val.pop(obj.target_name)
    val = val.drop(columns=["ypred"])
    codes = obj.predict(val)
    labels = obj.lec_record_dt[obj.target_name].inverse_transform(codes.astype(int))
    out = pd.DataFrame({"predicted": labels, "actual": truth})
    print(out.head(10).to_string())
    print(f"accuracy on the {len(out)} validation rows: {(out.predicted == out.actual).mean():.3f}")
    return 0


def _predict(args):
    import pandas as pd

    obj = _load(args.result)
    values = obj.predict_proba(args.data) if args.proba else obj.predict(args.data)
    if values.ndim == 2:
        frame = pd.DataFrame(values, columns=[f"proba_{i}" for i in range(values.shape[1])])
    else:
        frame = pd.DataFrame({"prediction": values})
    if args.output:
        frame.to_csv(args.output, index=False)
    else:
        frame.to_csv(sys.stdout, index=False)
    return 0


def _info(args):
    obj = _load(args.result)
    config = obj.obtain_model_configuration()
    print(json.dumps(config, ensure_ascii=False, indent=2, default=str))
    pairs = sorted(obj.get_feature_importance(), key=lambda p: -float(p[1]))
    width = max((len(str(name)) for name, _ in pairs), default=0)
    print("feature importances:")
    for name, value in pairs:
        print(f"  {str(name):<{width}}  {value}")
    return 0


def _formula(args):
    from brinvale.tavrin import name2formula

    for name in args.names:
        print(f"{name}\n  = {name2formula(name)}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="brinvale", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("demo", help="build a sample result folder and predict with it")
    p.add_argument("folder", nargs="?", help="where to build it (default: a temporary folder)")
    p.set_defaults(run=_demo)
    p = sub.add_parser("predict", help="predict a CSV/Excel/npz file or a folder of CSV files")
    p.add_argument("result", help="result folder of a training run")
    p.add_argument("data", help="data file or folder")
    p.add_argument("--proba", action="store_true", help="class probabilities instead of labels")
    p.add_argument("--output", help="CSV file to write (default: standard output)")
    p.set_defaults(run=_predict)
    p = sub.add_parser("info", help="chosen model, its configuration and feature importances")
    p.add_argument("result")
    p.set_defaults(run=_info)
    p = sub.add_parser("formula", help="render engineered feature names as formulas")
    p.add_argument("names", nargs="+")
    p.set_defaults(run=_formula)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
