"""Finding NumPy's C API: the module that holds it under either name, and
the refusal of a table whose version the module cannot read."""

import ast
import textwrap

import numpy as np
import pytest

import kestrum
from test_boundary import run_python

NUMPY_1_26 = tuple(int(part) for part in np.__version__.split(".")[:2]) >= (1, 26)

Y = [0.0, 0.0, 1.0, 1.0, 0.0, 1.0]
X1 = [0.5, -1.0, 0.4, 2.0, -0.3, 0.1]


@pytest.mark.parametrize("hidden", ["numpy._core.multiarray", "numpy.core.multiarray"])
def test_capsule_is_found_under_either_module_name(hidden):
    if hidden == "numpy.core.multiarray" and not NUMPY_1_26:
        pytest.skip("NumPy before 1.26 has no numpy._core")
    out = run_python(
        f"""
        import sys
        import numpy as np
        sys.modules[{hidden!r}] = None  # importing it now fails
        import kestrum
        X = np.column_stack([np.ones({len(X1)}), {X1!r}])
        print(kestrum.fit_probit(np.array({Y!r}), X).params.tolist())
        """
    )
    X = np.column_stack([np.ones(len(X1)), X1])
    assert ast.literal_eval(out) == kestrum.fit_probit(np.array(Y), X).params.tolist()


# A stand-in for NumPy whose API table has only its two version entries.
FAKE_TABLE = """
import ctypes, sys, types
table = (ctypes.c_void_p * 300)()
version = ctypes.CFUNCTYPE(ctypes.c_uint)
abi, feature = version(lambda: {abi}), version(lambda: {feature})
table[0] = ctypes.cast(abi, ctypes.c_void_p)
table[211] = ctypes.cast(feature, ctypes.c_void_p)
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
for name in ("numpy", "numpy._core", "numpy._core.multiarray"):
    sys.modules[name] = types.ModuleType(name)
sys.modules["numpy._core.multiarray"]._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
import kestrum
for attempt in range(2):  # refused every time, never remembered
    try:
        kestrum.fit_probit(None, [[1.0]])
    except ImportError as e:
        print(type(e).__name__, e)
"""


@pytest.mark.parametrize(
    "abi, feature, message",
    [
        (
            0x02000000,
            6,
            "this NumPy's C API version 0x6 is older than 0x7 (NumPy 1.7), the oldest kestrum can use; upgrade NumPy",
        ),
        (
            0x03000000,
            0x14,
            "this NumPy's C ABI version 0x3000000 is newer than 0x2000000 (NumPy 2), the newest kestrum can read;"
            " install a kestrum built for it",
        ),
    ],
    ids=["api-too-old", "abi-too-new"],
)
def test_unreadable_api_table_raises_import_error(abi, feature, message):
    out = run_python(textwrap.dedent(FAKE_TABLE).format(abi=abi, feature=feature))
    assert out.splitlines() == ["ImportError " + message] * 2
