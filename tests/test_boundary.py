"""The module object, its registered functions, and how calls are bound and
their arguments converted before any estimation happens."""

import os
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import kestrum


def run_python(code):
    """Runs code in a fresh interpreter that sees the same kestrum build."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


@pytest.fixture
def data():
    rng = np.random.default_rng(3)
    X = np.column_stack([np.ones(40), rng.normal(size=40)])
    y = (X @ [0.2, 0.9] + rng.normal(size=40) > 0).astype(float)
    return y, X


# ---------------------------------------------------------------- module


def test_module_identity():
    assert kestrum.__name__ == "kestrum"
    assert kestrum.__doc__ == "A Python module implemented in Native."


def test_all_lists_both_functions_in_registration_order():
    assert kestrum.__all__ == ["ame", "fit_probit"]


def test_fit_probit_is_builtin_bound_to_module():
    f = kestrum.fit_probit
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__self__ is kestrum
    assert f.__module__ == "kestrum"
    assert f.__name__ == "fit_probit"


def test_fit_probit_text_signature_and_empty_docstring():
    f = kestrum.fit_probit
    assert f.__text_signature__ == "(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)"
    assert f.__doc__ is None


@pytest.mark.skipif(not hasattr(kestrum, "ame"), reason="ame is not registered in this build")
def test_ame_text_signature_and_docstring():
    f = kestrum.ame
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__self__ is kestrum and f.__module__ == "kestrum"
    assert f.__text_signature__ == "(probit_model, chunk_size=...)"
    assert f.__doc__ == "Calculates Average Marginal Effects (AME) for a Probit model"


@pytest.mark.parametrize("name", ["NativeProbitModel", "NativeProbitResults", "PySliceContainer", "PanicException"])
def test_classes_are_not_module_attributes(name, data):
    kestrum.fit_probit(*data)  # the types exist by now
    assert not hasattr(kestrum, name)


def test_import_does_not_import_numpy():
    out = run_python(
        """
        import sys
        import kestrum
        print("numpy" in sys.modules, "pandas" in sys.modules)
        """
    )
    assert out.split() == ["False", "False"]


def test_second_initialisation_raises_import_error():
    out = run_python(
        """
        import sys
        import kestrum
        first = kestrum
        del sys.modules["kestrum"]
        try:
            import kestrum
        except ImportError as e:
            print(type(e).__name__ + ":" + str(e))
        else:
            print("imported again")
        # the first module object keeps working
        print(first.fit_probit.__name__)
        """
    )
    assert out.splitlines() == [
        "ImportError:Ostrel modules may only be initialized once per interpreter process",
        "fit_probit",
    ]


# ---------------------------------------------------------------- panics


PANIC_REPORT = """
    import sys
    try:
        kestrum.fit_probit(None, [[1.0]])
    except Exception as e:
        print("caught as Exception:", type(e).__name__)
    except BaseException as e:
        t = type(e)
        print(t.__name__)
        print(t.__module__)
        print(issubclass(t, BaseException), issubclass(t, Exception))
        print(repr(e.args))
        print(repr(t.__doc__))
"""

PANIC_DOC = (
    "\nThe exception raised when Native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


@pytest.mark.parametrize(
    "setup, message",
    [
        (
            # numpy cannot be imported at all
            """
            import sys
            sys.modules["numpy"] = None
            import kestrum
            """,
            "Failed to import NumPy module",
        ),
        (
            # numpy.core.multiarray imports but has no _ARRAY_API
            """
            import sys, types
            for name in ("numpy", "numpy.core", "numpy.core.multiarray"):
                sys.modules[name] = types.ModuleType(name)
            import kestrum
            """,
            "Failed to get NumPy API capsule",
        ),
    ],
    ids=["no-numpy", "no-capsule"],
)
def test_numpy_unavailable_raises_panic_exception(setup, message):
    out = run_python(textwrap.dedent(setup) + textwrap.dedent(PANIC_REPORT))
    lines = out.splitlines()
    assert lines[0] == "PanicException"
    assert lines[1] == "ostrel_runtime"
    assert lines[2] == "True False"
    assert lines[3] == repr((message,))
    assert lines[4] == repr(PANIC_DOC)


# ---------------------------------------------------------------- binding


def _ey():
    return np.zeros(3), np.zeros((3, 1))


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "fit_probit() missing 2 required positional arguments: 'endog_py' and 'exog_py'"),
        ((), {"max_iter": 3}, "fit_probit() missing 2 required positional arguments: 'endog_py' and 'exog_py'"),
        ((), {"exog_py": "X"}, "fit_probit() missing 1 required positional argument: 'endog_py'"),
        (("y",), {}, "fit_probit() missing 1 required positional argument: 'exog_py'"),
        ((), {"endog_py": "y"}, "fit_probit() missing 1 required positional argument: 'exog_py'"),
        (
            ("y", "X", 1, 2, 3, 4, 5),
            {},
            "fit_probit() takes from 2 to 6 positional arguments but 7 were given",
        ),
        # too many positionals is reported before any keyword is looked at
        (
            ("y", "X", 1, 2, 3, 4, 5),
            {"foo": 1},
            "fit_probit() takes from 2 to 6 positional arguments but 7 were given",
        ),
        (
            ("y", "X", 1, 2, 3, 4, 5, 6),
            {"endog_py": 1},
            "fit_probit() takes from 2 to 6 positional arguments but 8 were given",
        ),
        (("y", "X"), {"foo": 1}, "fit_probit() got an unexpected keyword argument 'foo'"),
        (("y", "X"), {"exog_py": "X"}, "fit_probit() got multiple values for argument 'exog_py'"),
        (("y", "X", 35), {"endog_py": "y"}, "fit_probit() got multiple values for argument 'endog_py'"),
        (("y", "X", 35), {"max_iter": 35}, "fit_probit() got multiple values for argument 'max_iter'"),
        # the first bad keyword in call order is the one reported
        (("y", "X"), {"bar": 1, "foo": 2}, "fit_probit() got an unexpected keyword argument 'bar'"),
        (("y", "X"), {"tol": 1.0, "exog_py": 1, "foo": 2}, "fit_probit() got multiple values for argument 'exog_py'"),
        (("y", "X"), {"foo": 2, "exog_py": 1}, "fit_probit() got an unexpected keyword argument 'foo'"),
        # keyword names are matched exactly
        (("y", "X"), {"Max_iter": 1}, "fit_probit() got an unexpected keyword argument 'Max_iter'"),
        (("y", "X"), {"cluster": 1}, "fit_probit() got an unexpected keyword argument 'cluster'"),
        # the message carries the keyword as given, also when it is not
        # ASCII or cannot be encoded as UTF-8
        (("y", "X"), {"t\u00f6l": 1}, "fit_probit() got an unexpected keyword argument 't\u00f6l'"),
        (("y", "X"), {"\udc80": 1}, "fit_probit() got an unexpected keyword argument '\udc80'"),
        # binding errors come before any conversion error
        ((None, None), {"robust": 1, "foo": 1}, "fit_probit() got an unexpected keyword argument 'foo'"),
        ((), {"robust": 1}, "fit_probit() missing 2 required positional arguments: 'endog_py' and 'exog_py'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_required_arguments_by_keyword_in_any_order(data):
    y, X = data
    a = kestrum.fit_probit(exog_py=X, endog_py=y)
    b = kestrum.fit_probit(y, X)
    np.testing.assert_array_equal(a.params, b.params)


# ---------------------------------------------------------------- conversion


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"robust": 1}, "argument 'robust': 'int' object cannot be converted to 'PyBool'"),
        ({"robust": 0}, "argument 'robust': 'int' object cannot be converted to 'PyBool'"),
        # NumPy 1 names the type bool_, NumPy 2 bool
        (
            {"robust": np.bool_(True)},
            f"argument 'robust': '{type(np.bool_(True)).__qualname__}' object cannot be converted to 'PyBool'",
        ),
        ({"robust": "yes"}, "argument 'robust': 'str' object cannot be converted to 'PyBool'"),
        ({"robust": 1.0}, "argument 'robust': 'float' object cannot be converted to 'PyBool'"),
        ({"max_iter": 2.0}, "argument 'max_iter': 'float' object cannot be interpreted as an integer"),
        ({"max_iter": 2.5}, "argument 'max_iter': 'float' object cannot be interpreted as an integer"),
        ({"max_iter": "10"}, "argument 'max_iter': 'str' object cannot be interpreted as an integer"),
        ({"tol": "x"}, "argument 'tol': must be real number, not str"),
        ({"tol": [1e-6]}, "argument 'tol': must be real number, not list"),
    ],
)
def test_option_conversion_type_errors_are_prefixed(kwargs, message):
    y, X = np.zeros(3), np.zeros((3, 1))
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit(y, X, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("value", [-1, -(2**40), 2**64, 2**70])
def test_max_iter_out_of_range_is_unprefixed_overflow(value):
    y, X = np.zeros(3), np.zeros((3, 1))
    with pytest.raises(OverflowError) as info:
        kestrum.fit_probit(y, X, max_iter=value)
    assert not str(info.value).startswith("argument")


class _BadIndex:
    def __index__(self):
        raise ValueError("no index here")


def test_max_iter_non_type_errors_pass_through_unchanged():
    y, X = np.zeros(3), np.zeros((3, 1))
    with pytest.raises(ValueError) as info:
        kestrum.fit_probit(y, X, max_iter=_BadIndex())
    assert str(info.value) == "no index here"


def test_conversion_error_wrapping_keeps_no_cause():
    y, X = np.zeros(3), np.zeros((3, 1))
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit(y, X, robust=1)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        # exog_py is converted before every option
        ({"exog_py": [[1.0]], "max_iter": -1, "robust": 1}, "argument 'exog_py': "),
        # then max_iter, tol, robust in parameter order
        ({"max_iter": 1.5, "tol": "x", "robust": 1}, "argument 'max_iter': "),
        ({"tol": "x", "robust": 1}, "argument 'tol': "),
    ],
)
def test_conversions_run_in_parameter_order(kwargs, message):
    kwargs.setdefault("exog_py", np.zeros((3, 1)))
    with pytest.raises(TypeError) as info:
        kestrum.fit_probit("not an endog", **kwargs)
    assert str(info.value).startswith(message)


def test_accepted_scalar_forms(data):
    y, X = data
    base = kestrum.fit_probit(y, X, 10, 1e-8, True)
    for kwargs in (
        dict(max_iter=np.int64(10), tol=1e-8, robust=True),
        dict(max_iter=10, tol=np.float64(1e-8), robust=True),
    ):
        r = kestrum.fit_probit(y, X, **kwargs)
        np.testing.assert_array_equal(r.params, base.params)
        np.testing.assert_array_equal(r.cov_params(), base.cov_params())


def test_integer_tol_is_taken_as_float(data):
    y, X = data
    a = kestrum.fit_probit(y, X, tol=1)
    b = kestrum.fit_probit(y, X, tol=1.0)
    np.testing.assert_array_equal(a.params, b.params)
    assert a.iterations == b.iterations
