"""The NativeProbitResults and NativeProbitModel classes returned by
fit_probit."""

import gc
import inspect
import types
import weakref

import numpy as np
import pytest

import kestrum


@pytest.fixture
def result():
    rng = np.random.default_rng(5)
    n = 50
    X = np.column_stack([np.ones(n), rng.normal(size=n), rng.normal(size=n)])
    y = (X @ [0.1, 0.8, -0.5] + rng.normal(size=n) > 0).astype(float)
    return kestrum.fit_probit(y, X)


@pytest.fixture
def results_type(result):
    return type(result)


@pytest.fixture
def model_type(result):
    return type(result.model)


# ---------------------------------------------------------------- identity rules


def test_params_is_the_same_object_on_every_access(result):
    assert result.params is result.params


def test_cov_params_is_the_same_object_on_every_call(result):
    assert result.cov_params() is result.cov_params()


def test_model_is_new_on_every_access_but_shares_its_arrays(result):
    m1, m2 = result.model, result.model
    assert m1 is not m2
    assert type(m1) is type(m2)
    assert m1.exog is m2.exog
    assert m1.endog is m2.endog
    assert m1.exog is m1.exog and m1.endog is m1.endog


def test_in_place_change_of_model_data_is_seen_through_every_model(result):
    result.model.exog[0, 1] = 1234.5
    result.model.endog[0] = 0.25
    assert result.model.exog[0, 1] == 1234.5
    assert result.model.endog[0] == 0.25


def test_exog_names_is_a_fresh_list(result):
    names = result.model.exog_names
    assert names == ["x0", "x1", "x2"]
    assert type(names) is list and all(type(s) is str for s in names)
    names.append("extra")
    names[0] = "changed"
    assert result.model.exog_names == ["x0", "x1", "x2"]
    m = result.model
    assert m.exog_names is not m.exog_names


@pytest.mark.parametrize("k", [0, 1, 2, 11, 12])
def test_exog_names_follow_column_count(k):
    rng = np.random.default_rng(k)
    X = rng.normal(size=(30, k))
    y = (rng.random(30) < 0.5).astype(float)
    r = kestrum.fit_probit(y, X, max_iter=0)
    assert r.model.exog_names == [f"x{j}" for j in range(k)]


def test_cov_params_is_a_method(result, results_type):
    assert isinstance(result.cov_params, types.BuiltinMethodType)
    assert result.cov_params.__self__ is result
    assert results_type.cov_params.__text_signature__ == "($self)"
    assert results_type.cov_params.__doc__ is None
    with pytest.raises(TypeError):
        result.cov_params(1)
    with pytest.raises(TypeError):
        result.cov_params(robust=True)


def test_scalar_attribute_types(result):
    assert type(result.loglike) is float
    assert type(result.iterations) is int
    assert result.converged is True or result.converged is False
    assert result.converged is True  # this well-posed fit converges
    # loglike and iterations are fresh objects with equal values each time
    assert result.loglike == result.loglike
    assert result.iterations == result.iterations


# ---------------------------------------------------------------- read-only


@pytest.mark.parametrize("name", ["params", "cov_params", "model", "loglike", "iterations", "converged", "foo"])
def test_results_attributes_are_read_only(result, name):
    with pytest.raises(AttributeError):
        setattr(result, name, 1)


@pytest.mark.parametrize("name", ["params", "model", "loglike", "iterations", "converged"])
def test_results_attributes_cannot_be_deleted(result, name):
    with pytest.raises(AttributeError):
        delattr(result, name)


@pytest.mark.parametrize("name", ["exog", "endog", "exog_names", "foo"])
def test_model_attributes_are_read_only(result, name):
    m = result.model
    with pytest.raises(AttributeError):
        setattr(m, name, 1)
    if name != "foo":
        with pytest.raises(AttributeError):
            delattr(m, name)


# ---------------------------------------------------------------- the types


@pytest.mark.parametrize("which, name", [("results", "NativeProbitResults"), ("model", "NativeProbitModel")])
def test_type_properties(result, which, name):
    t = type(result) if which == "results" else type(result.model)
    assert t.__name__ == name
    assert t.__qualname__ == name
    assert t.__module__ == "builtins"
    assert t.__doc__ is None
    assert t.__bases__ == (object,)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        t()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        t(1, a=2)
    with pytest.raises(TypeError):
        type("Derived", (t,), {})


def test_instances_have_no_dict_no_weakrefs_no_gc_tracking(result):
    for obj in (result, result.model):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)


def test_attribute_order_and_descriptors(results_type, model_type):
    for name in ("params", "model", "loglike", "iterations", "converged"):
        d = results_type.__dict__[name]
        assert inspect.isgetsetdescriptor(d), name
        assert d.__doc__ is None
    for name in ("exog", "endog", "exog_names"):
        d = model_type.__dict__[name]
        assert inspect.isgetsetdescriptor(d), name
        assert d.__doc__ is None
    assert "cov_params" not in model_type.__dict__
    assert not inspect.isgetsetdescriptor(results_type.__dict__["cov_params"])


def test_identity_equality_and_hashing(result):
    other = kestrum.fit_probit(result.model.endog.copy(), result.model.exog.copy())
    assert result == result
    assert result != other
    assert hash(result) == hash(result)
    m = result.model
    assert m == m and m != result.model


def test_default_repr(result):
    assert repr(result).startswith("<builtins.NativeProbitResults object at 0x")
    assert repr(result.model).startswith("<builtins.NativeProbitModel object at 0x")


def test_same_types_across_calls(result):
    r2 = kestrum.fit_probit(result.model.endog.copy(), result.model.exog.copy())
    assert type(r2) is type(result)
    assert type(r2.model) is type(result.model)


# ---------------------------------------------------------------- lifetimes


def test_model_outlives_results(result):
    exog = result.model.exog.copy()
    endog = result.model.endog.copy()
    m = result.model
    params = result.params
    cov = result.cov_params()
    expected_params = params.copy()
    del result
    gc.collect()
    np.testing.assert_array_equal(m.exog, exog)
    np.testing.assert_array_equal(m.endog, endog)
    assert m.exog_names == ["x0", "x1", "x2"]
    np.testing.assert_array_equal(params, expected_params)
    assert cov.shape == (3, 3)


def test_arrays_outlive_model(result):
    m = result.model
    exog = m.exog
    expected = exog.copy()
    del m, result
    gc.collect()
    np.testing.assert_array_equal(exog, expected)
