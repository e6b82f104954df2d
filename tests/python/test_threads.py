"""Threads: operators called from several threads on frames of their own give
exactly the results of serial calls, and a long kernel lets other Python
threads run while it works on its buffers."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from brinvale import tavrin
from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV

THREADS = 4

FEATURES = [
    "add###x|||y$$$",
    "divide###x|||y$$$",
    "percentile###x$$$",
    "sigmoid###y$$$",
    "maximize###x|||y$$$",
    "bigger###x|||y$$$",
    "combine###k|||i$$$",
    "ts_rank###x|||9$$$",
    "ts_rank###x|||200$$$",
    "ts_mean###y|||5$$$",
    "ts_argmax###x|||4$$$",
    "decay_linear###x|||30$$$",
    "delta###x|||2$$$",
    "tcorrelation###x|||y|||6$$$",
    "crossrank###k|||x$$$",
    "count###k$$$",
    "crosscount###k|||i$$$",
    "aggregate###mean|||x|||k$$$",
    "aggregate###median|||y|||k$$$",
    "nunique###i|||k$$$",
]


def frame(seed, n=3000):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    x[rng.random(n) < 0.05] = np.nan
    return pd.DataFrame({
        "x": x,
        "y": rng.integers(-4, 4, size=n).astype(float),
        "k": rng.choice(["a", "b", "列", "d"], size=n),
        "i": rng.integers(0, 30, size=n),
    })


def compute(seed):
    # every name alone, so that each operator sees the plain frame
    out = {}
    for name in FEATURES:
        records = {}
        res = tavrin.name2feature(frame(seed), [name], records)
        out[name] = res[name].to_numpy()
        # the same records applied to another frame: the combining paths
        out[name + " again"] = tavrin.name2feature(frame(seed + 100), [name], records)[name].to_numpy()
    return out


def assert_same(a, b):
    assert a.keys() == b.keys()
    for name in a:
        np.testing.assert_array_equal(a[name], b[name], err_msg=name)


@pytest.mark.parametrize("grouped_run", [False, True], ids=["whole", "grouped"])
def test_threads_give_the_serial_results(grouped_run, ungrouped, grouped):
    if grouped_run:
        grouped("k")
    seeds = list(range(8))
    serial = [compute(s) for s in seeds]
    with ThreadPoolExecutor(THREADS) as pool:
        threaded = list(pool.map(compute, seeds))
    for s, t in zip(serial, threaded):
        assert_same(s, t)


def encode(seed):
    rng = np.random.default_rng(seed)
    train = rng.choice(["a", "b", "c", "列"], size=500).astype(object)
    test_values = {
        "text": rng.choice(["a", "b", "zz", "列", "c"], size=20000).astype(object),
        "numbers": rng.integers(0, 50, size=20000),
    }
    out = {}
    for kind, values in test_values.items():
        enc = LabelEncoderWithOOV()
        enc.fit(train if kind == "text" else np.arange(0, 40))
        out[kind] = enc.transform(values)
        out[kind + " classes"] = np.asarray(enc.classes_).astype(str)
    return out


def test_encoders_in_threads_give_the_serial_results():
    seeds = list(range(8))
    serial = [encode(s) for s in seeds]
    with ThreadPoolExecutor(THREADS) as pool:
        threaded = list(pool.map(encode, seeds))
    for s, t in zip(serial, threaded):
        assert_same(s, t)


# ---- the GIL is released while a kernel runs ---------------------------------------

# An observer thread counts the moments at which it holds the interpreter
# while the main thread is inside the call and its innermost Python frame
# is the calling lambda's: the main thread is then in native code that let go of
# the interpreter.  While the binding runs pandas code, the innermost frame
# is a pandas frame, and native code that keeps the interpreter (sorted of
# a list, below) gives no such moment except at the bytecodes around the call.

MIN_MOMENTS = 5


def moments_inside(call, *args):
    main = threading.get_ident()
    here = call.__code__  # the frame that calls the native function
    state = {"inside": False, "stop": False, "moments": 0}
    started = threading.Event()

    def observe():
        started.set()
        while not state["stop"]:
            f = sys._current_frames().get(main)
            if state["inside"] and f is not None and f.f_code is here:
                state["moments"] += 1
            time.sleep(0.0002)  # pacing only: gives the main thread its turns

    t = threading.Thread(target=observe)
    t.start()
    started.wait()
    try:
        state["inside"] = True
        call(*args)
        state["inside"] = False
    finally:
        state["stop"] = True
        t.join()
    return state["moments"]


def big_frame(n=2_000_000):
    rng = np.random.default_rng(1)
    return pd.DataFrame({
        "x": rng.normal(size=n),
        "y": rng.normal(size=n),
        "k": rng.integers(0, 1000, size=n),
    })


LONG_KERNELS = {
    "ts_rank": lambda df: tavrin.ts_rank(df, "x", "128"),
    "tcorrelation": lambda df: tavrin.tcorrelation(df, "x", "y", "12"),
    "decay_linear": lambda df: tavrin.decay_linear(df, "x", "16"),
    "crossrank": lambda df: tavrin.crossrank(df, "k", "x"),
    "percentile": lambda df: tavrin.percentile(df, "x"),
    "aggregate median": lambda df: tavrin.aggregate(df, "x", "k", ["median"], {}),
}


def encode_numbers(df):
    enc = LabelEncoderWithOOV()
    enc.fit(np.arange(500))
    return enc.transform(df["k"].to_numpy())


def encode_text(df):
    enc = LabelEncoderWithOOV()
    enc.fit(np.array(["a", "b", "c"], dtype=object))
    return enc.transform(np.where(df["k"].to_numpy() % 4 == 0, "zz", "a").astype(object))


LONG_KERNELS["encoder numbers"] = encode_numbers
LONG_KERNELS["encoder text"] = encode_text


@pytest.mark.parametrize("op", sorted(LONG_KERNELS))
def test_long_kernel_lets_other_threads_run(op, ungrouped):
    assert moments_inside(LONG_KERNELS[op], big_frame()) >= MIN_MOMENTS


# On a busy machine the observer also catches a few dozen moments around the
# call itself; kernels that let go of the interpreter give hundreds.
HELD_MAX_MOMENTS = 50


def test_the_observer_sees_no_moment_inside_code_that_keeps_the_interpreter():
    values = np.random.default_rng(2).normal(size=2_000_000).tolist()
    assert moments_inside(lambda v: sorted(v), values) < HELD_MAX_MOMENTS
