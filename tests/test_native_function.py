import subprocess
import sys

import pandas as pd
import pytest

import model
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T

# Runs tp_clear on a live method, as the collector does to a cycle, then uses it;
# tp_clear is the 25th pointer-sized field of a type object on every supported version.
CLEARED = """
import ctypes
from veltrano.transformer.timeseries import TimeseriesDifferenceTransformer as T
from veltrano.transformer.sequences import SequenceTransformer
def clear(o):
    slot = ctypes.c_void_p.from_address(id(type(o)) + 24 * ctypes.sizeof(ctypes.c_void_p)).value
    assert ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(o) == 0
fn, st = T.__dict__["_get_diff"], SequenceTransformer("p", "v")
clear(fn), clear(st)
print(repr(fn).split(" at ")[0], repr(fn.__name__), repr(fn.__qualname__), fn.__defaults__, fn.__annotations__)
try: fn(None, None)
except RuntimeError: print("refused")
print(st.id_column, st.__reduce__()[1])
"""


def test_a_cleared_function_keeps_its_names_usable():
    run = subprocess.run([sys.executable, "-c", CLEARED], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:3] == ["<function  '' '' None {}", "refused", "None (None, None)"]


@pytest.mark.skipif(sys.version_info < (3, 8), reason="the flag exists from 3.8")
def test_called_unbound_from_an_instance_like_python_functions():
    assert type(T.__dict__["_get_diff"]).__flags__ & (1 << 17)  # Py_TPFLAGS_METHOD_DESCRIPTOR


FRAME = pd.DataFrame({"id": [1, 1, 2, 2, 2], "t": [1, 2, 1, 3, 6], "x": [1.0, 2.5, 0.0, 4.0, 5.0]})


@pytest.mark.parametrize("call", [
    lambda K, tr: tr._get_safe_col_diff_names(columns_to_diff=["x", "t"]),
    lambda K, tr: K.get_safe_column_name(desired_column_name="x", df=FRAME),
    lambda K, tr: K.join_df(FRAME, FRAME, right="t", left="id", index="x").to_string(),
    lambda K, tr: tr._get_diff(df_multi_entry_per_group=FRAME.copy(), bogus=1),
])
def test_keyword_calls_bind_as_the_model_does(call):
    results = []
    for K in (model.TimeseriesDifferenceTransformer, T):
        try:
            results.append(call(K, K(FRAME.copy(), "id", "t", ["x"])))
        except TypeError as error:
            results.append(str(error).replace(K.__module__, ""))
    assert results[0] == results[1]
