"""Import time of the workbench in fresh interpreters, against pandas alone
(which it needs at import), and which heavy libraries the import leaves for
first use.  Prints a markdown table.

    PYTHONPATH=src python bench/bench_import.py [RUNS]
"""

import json
import os
import subprocess
import sys

HEAVY = ("pandas", "numpy", "yaml", "sklearn", "scipy", "matplotlib", "shap", "flaml", "lightgbm")

PROBE = """
import json, sys, time
t = time.perf_counter()
import {module}
elapsed = time.perf_counter() - t
print(json.dumps([elapsed, [m for m in {heavy!r} if m in sys.modules]]))
"""


def fresh(module):
    code = PROBE.format(module=module, heavy=HEAVY)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ), check=True)
    return json.loads(out.stdout)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    print("| import | best of %d s | median s | libraries loaded |" % runs)
    print("|---|---|---|---|")
    for module in ("pandas", "brinvale.brinvale", "brinvale.tavrin"):
        times, loaded = [], []
        for _ in range(runs):
            elapsed, loaded = fresh(module)
            times.append(elapsed)
        times.sort()
        print(f"| `{module}` | {times[0]:.3f} | {times[len(times) // 2]:.3f} | {', '.join(loaded)} |")


if __name__ == "__main__":
    main()
