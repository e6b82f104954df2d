"""Hand-made pickles for the attack tests: an expression of globals, calls,
instantiations and BUILD steps written out as raw opcodes, so that a payload
can name anything (dotted names, re-exports, names that do not exist) under
any protocol, and helpers that put a payload into a copy of a genuine result
folder and check that loading it is refused with nothing run."""

import os
import pickle
import struct
import subprocess
import sys
import textwrap

import pytest


class G:
    """A global: STACK_GLOBAL under protocol 4 and later, GLOBAL before."""

    def __init__(self, module, name):
        self.module, self.name = module, name


class Call:
    """callable(*args) through REDUCE."""

    def __init__(self, func, *args):
        self.func, self.args = func, args


class New:
    """cls.__new__(cls, *args) through NEWOBJ."""

    def __init__(self, cls, *args):
        self.cls, self.args = cls, args


class Build:
    """obj, then BUILD with state."""

    def __init__(self, obj, state):
        self.obj, self.state = obj, state


class Memo:
    """Put `value` into the memo and leave it on the stack; Get(key) reads it back."""

    def __init__(self, key, value):
        self.key, self.value = key, value


class Get:
    def __init__(self, key):
        self.key = key


def _text(s):
    b = s.encode("utf-8")
    if len(b) < 256:
        return b"\x8c" + bytes([len(b)]) + b
    return b"X" + struct.pack("<I", len(b)) + b


def _emit(x, protocol):
    if isinstance(x, G):
        if protocol >= 4:
            return _text(x.module) + _text(x.name) + b"\x93"
        return b"c" + x.module.encode() + b"\n" + x.name.encode() + b"\n"
    if isinstance(x, Call):
        return _emit(x.func, protocol) + _emit(tuple(x.args), protocol) + b"R"
    if isinstance(x, New):
        return _emit(x.cls, protocol) + _emit(tuple(x.args), protocol) + b"\x81"
    if isinstance(x, Build):
        return _emit(x.obj, protocol) + _emit(x.state, protocol) + b"b"
    if isinstance(x, Memo):
        return _emit(x.value, protocol) + b"r" + struct.pack("<I", x.key)
    if isinstance(x, Get):
        return b"j" + struct.pack("<I", x.key)
    if x is None:
        return b"N"
    if isinstance(x, bool):
        return b"\x88" if x else b"\x89"
    if isinstance(x, int):
        if -(2**31) <= x < 2**31:
            return b"J" + struct.pack("<i", x)
        n = (x.bit_length() + 8) // 8  # LONG1: little-endian two's complement
        return b"\x8a" + bytes([n]) + x.to_bytes(n, "little", signed=True)
    if isinstance(x, float):
        return b"G" + struct.pack(">d", x)
    if isinstance(x, str):
        return _text(x)
    if isinstance(x, bytes):
        return b"B" + struct.pack("<I", len(x)) + x
    if isinstance(x, tuple):
        return b"(" + b"".join(_emit(i, protocol) for i in x) + b"t"
    if isinstance(x, list):
        return b"](" + b"".join(_emit(i, protocol) for i in x) + b"e"
    if isinstance(x, dict):
        return b"}(" + b"".join(_emit(k, protocol) + _emit(v, protocol) for k, v in x.items()) + b"u"
    raise TypeError(type(x))


def craft(expr, protocol=4):
    return bytes([0x80, protocol]) + _emit(expr, protocol) + b"."


PROTOCOLS = (2, 3, 4, 5)


def refused_load(raw, error=pickle.UnpicklingError, match=None):
    """Load `raw` through the result-folder unpickler and expect a refusal."""
    import io

    import brinvale.brinvale as bv

    with pytest.raises(error, match=match) as e:
        bv._ResultUnpickler(io.BytesIO(raw)).load()
    return e.value


def write_payload(folder, raw, where="model"):
    rel = ("automl", "result") if where == "model" else ("autofe", "labelencoder.pkl")
    with open(os.path.join(folder, *rel), "wb") as f:
        f.write(raw)


def load_in_child(folder, predict_csv=None, timeout=300):
    """Load a result folder (and predict) in a child interpreter, so that a
    crash shows as a signal instead of ending the test run.  Returns the
    completed process; its stdout ends with "LOADED" or "REFUSED <type>: msg"."""
    code = textwrap.dedent(
        f"""
        import sys
        from brinvale.brinvale import tabular_incrml
        try:
            m = tabular_incrml({str(folder)!r})
            if {predict_csv!r} is not None:
                m.predict({predict_csv!r})
        except Exception as e:
            print("REFUSED", type(e).__name__ + ":", e)
        else:
            print("LOADED")
        """
    )
    import brinvale

    # the package the tests import, whether built in place or installed
    parent = os.path.dirname(os.path.dirname(os.path.abspath(brinvale.__file__)))
    env = dict(os.environ, PYTHONPATH=parent, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=timeout)
