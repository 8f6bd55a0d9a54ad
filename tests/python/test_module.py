import inspect
import threading
import warnings

import numpy as np
import pytest

import porosa
from porosa import MAR, MNAR


def test_module_holds_exactly_the_two_classes_in_order():
    public = [k for k in vars(porosa) if not k.startswith("__")]
    assert public == ["MNAR", "MAR"]
    assert porosa.__doc__ == ""
    assert MNAR.__name__ == "MNAR" and MAR.__name__ == "MAR"
    assert MAR.__bases__ == (object,) and MNAR.__bases__ == (object,)


@pytest.mark.parametrize(
    "cls, params",
    [
        (MAR, ["mean", "variance", "max_missing_per_column", "mode", "random_seed"]),
        (MNAR, ["mean", "variance", "block_size", "n_blobs", "max_missing_per_column", "mode", "random_seed"]),
    ],
)
def test_signature(cls, params):
    sig = inspect.signature(cls)
    assert list(sig.parameters) == params
    assert sig.parameters["max_missing_per_column"].default is Ellipsis
    assert sig.parameters["mode"].default == "GM"
    assert sig.parameters["mean"].default is None
    assert inspect.getdoc(cls) in ("", None)


def test_classes_expose_nothing_else():
    inst = MNAR(random_seed=1)
    with pytest.raises(AttributeError):
        inst.mode  # noqa: B018
    with pytest.raises(AttributeError):
        inst.x = 1


@pytest.mark.parametrize(
    "kwargs, name, exc",
    [
        ({"mean": "a"}, "mean", TypeError),
        ({"variance": []}, "variance", TypeError),
        ({"max_missing_per_column": None}, "max_missing_per_column", TypeError),
        ({"mode": None}, "mode", TypeError),
        ({"mode": 3}, "mode", TypeError),
        ({"random_seed": -1}, "random_seed", OverflowError),
        ({"random_seed": 2**64}, "random_seed", OverflowError),
        ({"random_seed": 1.5}, "random_seed", TypeError),
        ({"random_seed": np.float64(7.0)}, "random_seed", TypeError),
        ({"random_seed": np.int64(-1)}, "random_seed", OverflowError),
    ],
)
@pytest.mark.parametrize("cls", [MAR, MNAR])
def test_conversion_errors_name_the_parameter(cls, kwargs, name, exc):
    with pytest.raises(exc) as info:
        cls(**kwargs)
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])


@pytest.mark.parametrize(
    "kwargs, name, exc",
    [
        ({"block_size": [0.1, 0.2]}, "block_size", TypeError),
        ({"block_size": (0.1,)}, "block_size", TypeError),
        ({"block_size": (0.1, "x")}, "block_size", TypeError),
        ({"n_blobs": -1}, "n_blobs", OverflowError),
        ({"n_blobs": 2.0}, "n_blobs", TypeError),
    ],
)
def test_mnar_only_conversion_errors(kwargs, name, exc):
    with pytest.raises(exc) as info:
        MNAR(**kwargs)
    assert f"while processing '{name}'" in info.value.__notes__


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"mode": 5}, "'int' object cannot be converted to 'str'"),
        ({"mode": type("N" * 300, (), {})()}, f"'{'N' * 200}' object cannot be converted to 'str'"),
        ({"block_size": [0.1, 0.2]}, "'list' object cannot be converted to 'tuple'"),
        ({"block_size": (0.1, 0.2, 0.3)}, "expected tuple of length 2, but got tuple of length 3"),
    ],
)
def test_conversion_messages_are_worded_as_the_interpreter_words_them(kwargs, message):
    with pytest.raises(TypeError) as info:
        MNAR(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("as_int", [np.int64, np.uint64, np.int32])
def test_integer_parameters_take_numpy_integers(as_int):
    data = np.random.default_rng(3).normal(size=(40, 6))
    plain = MNAR(mode="BLOB", n_blobs=2, random_seed=11)(data, 0.3)
    numpy_ints = MNAR(mode="BLOB", n_blobs=as_int(2), random_seed=as_int(11))(data, 0.3)
    np.testing.assert_array_equal(plain, numpy_ints)
    assert repr(MNAR(mode="BLOB", n_blobs=as_int(2))) == "MNAR[Blobs(2)]"


def test_parameters_convert_in_order():
    with pytest.raises(TypeError) as info:
        MNAR(mean="x", mode=None)
    assert info.value.__notes__ == ["while processing 'mean'"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: MAR(1, 2, 3, "GM", 5, 6),
        lambda: MAR(foo=1),
        lambda: MAR(0.5, mean=0.5),
        lambda: MNAR(1, 2, None, None, 0.8, "GM", 1, 2),
        lambda: MNAR(random_seed=1)(np.zeros((2, 2))),
        lambda: MNAR(random_seed=1)(np.zeros((2, 2)), 0.1, 3),
        lambda: MNAR(random_seed=1)(data=np.zeros((2, 2)), rate=0.1),
    ],
)
def test_binding_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_positional_and_keyword_binding_agree():
    a = MNAR(None, None, None, None, 0.8, "max", 3)
    b = MNAR(mode="MAX", random_seed=3)
    x = np.arange(20.0).reshape(5, 4)
    np.testing.assert_array_equal(a(x, 0.3), b(data=x, missing_rate=0.3))


@pytest.mark.parametrize("word, want", [("gm", "MNAR[0.5]"), ("gM", "MNAR[0.5]"), ("Max", "MNAR[MAX]"),
                                        ("min", "MNAR[MIN]"), ("bLoCk", "MNAR[Blocks(0.5, 0.5)]"),
                                        ("BLOB", "MNAR[Blobs(3)]"), ("BLOC\u212a", "MNAR[Blocks(0.5, 0.5)]")])
def test_mode_words_are_case_insensitive(word, want):
    assert repr(MNAR(mode=word)) == want


@pytest.mark.parametrize("word", [" GM", "gauss", "", "GMM", "g m", "\u0130", "GM\0", "\0", "GM\0MAX \u00e9"])
def test_unknown_mode(word):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError) as info:
            MNAR(mode=word, mean=0.3, n_blobs=2)
    assert str(info.value) == (
        f'Unknown mode parameter: {word} (Alloed: ["GM", "MAX", "MIN", "BLOCK", "BLOB"])'
    )


MEAN_W = "Mean/variance passed without passing a mode that supports it!"
BLOCK_W = "Block size passed without passing a mode that supports it!"
BLOBS_W = "Number of Blobs passed without passing a mode that supports it!"


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"mode": "MAX", "mean": 0.2, "variance": 0.1}, [MEAN_W]),
        ({"mode": "MIN", "mean": 0.2, "block_size": (1, 1), "n_blobs": 2}, [MEAN_W, BLOCK_W, BLOBS_W]),
        ({"mode": "BLOCK", "block_size": (1, 1), "n_blobs": 2}, [BLOBS_W]),
        ({"mode": "BLOB", "block_size": (1, 1)}, [BLOCK_W]),
        ({"mode": "GM", "block_size": (1, 1)}, [BLOCK_W]),
        ({"mode": "GM", "mean": 0.2, "variance": 0.3}, []),
        ({"mode": "MAX", "mean": None}, []),
    ],
)
def test_ignored_parameter_warnings(kwargs, expected):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        MNAR(**kwargs)
    assert [str(w.message) for w in caught] == expected
    assert all(w.category is UserWarning for w in caught)


@pytest.mark.parametrize(
    "kwargs, want",
    [
        ({}, "MNAR[0.5]"),
        ({"mean": 1.0}, "MNAR[1]"),
        ({"mean": 0.9}, "MNAR[0.9]"),
        ({"variance": 2.0}, "MNAR[0.5]"),
        ({"mean": 1e20}, "MNAR[100000000000000000000]"),
        ({"mean": float("nan")}, "MNAR[NaN]"),
        ({"mean": float("-inf")}, "MNAR[-inf]"),
        ({"mode": "BLOCK", "block_size": (0.25, 0.5)}, "MNAR[Blocks(0.25, 0.5)]"),
        ({"mode": "BLOCK", "block_size": (1, -0.0)}, "MNAR[Blocks(1, -0)]"),
        ({"mode": "BLOB", "n_blobs": 4}, "MNAR[Blobs(4)]"),
        ({"mode": "BLOB", "n_blobs": 2**64 - 1}, "MNAR[Blobs(18446744073709551615)]"),
    ],
)
def test_mnar_repr(kwargs, want):
    assert repr(MNAR(**kwargs)) == want


@pytest.mark.parametrize(
    "kwargs, want",
    [({}, "MAR[0.5]"), ({"mean": 0.1 + 0.2}, "MAR[0.30000000000000004]"), ({"mode": "max"}, "MAR[MAX]"),
     ({"mode": "MIN"}, "MAR[MIN]")],
)
def test_mar_repr(kwargs, want):
    assert repr(MAR(**kwargs)) == want


@pytest.mark.parametrize("word", ["block", "Blob"])
def test_mar_refuses_patterns(word):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as info:
            MAR(mode=word, mean=0.1)
    assert str(info.value) == f"Mode {word.upper()} not supported for MAR yet."
    assert [str(w.message) for w in caught] == [MEAN_W]


def test_warning_as_error_is_a_panic(PanicException):
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        caught_by_exception = False
        try:
            try:
                MAR(mode="MAX", mean=0.3)
            except Exception:  # noqa: BLE001
                caught_by_exception = True
        except PanicException as e:
            assert str(e).startswith("Something went wrong..")
            assert "Mean/variance passed" in str(e)
        assert not caught_by_exception


def test_ignored_warnings_construct_silently():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert repr(MAR(mode="MAX", mean=0.3)) == "MAR[MAX]"


def test_missing_rate_warning_as_error_is_a_panic(PanicException):
    inst = MNAR(mode="MAX", random_seed=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        with pytest.raises(PanicException, match="^Something went wrong.."):
            inst(np.zeros((4, 4)), 0.99)
    # The failed call released the instance.
    assert repr(inst) == "MNAR[MAX]"
    inst(np.zeros((4, 4)), 0.1)


@pytest.mark.parametrize("raised", [RuntimeError("shown badly"), KeyboardInterrupt(), MemoryError()])
@pytest.mark.parametrize(
    "action",
    [lambda: MAR(mode="MAX", mean=0.3), lambda: MNAR(mode="MAX", random_seed=1)(np.zeros((4, 4)), 0.99)],
    ids=["construct", "call"],
)
def test_failing_warning_panics_only_for_an_ordinary_error(PanicException, raised, action):
    def show(*args, **kwargs):
        raise raised

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        with pytest.raises(BaseException) as info:
            action()
    if isinstance(raised, RuntimeError):
        assert type(info.value) is PanicException
        assert str(info.value) == "Something went wrong..: RuntimeError: shown badly"
    else:
        assert info.value is raised


def test_missing_rate_conversion_error_names_parameter():
    with pytest.raises(TypeError) as info:
        MNAR(random_seed=1)(np.zeros((2, 2)), "x")
    assert info.value.__notes__ == ["while processing 'missing_rate'"]


def test_borrow_conflicts_fail_at_once():
    """A call holds the instance exclusively: repr and calls from elsewhere fail."""
    inst = MNAR(mode="MAX", random_seed=1)
    seen = {}
    started = threading.Event()
    release = threading.Event()

    class Slow:
        # A cell whose conversion blocks while the call holds the instance.
        def __float__(self):
            started.set()
            release.wait(60)
            return 1.0

    data = np.array([[Slow(), 1.0], [2.0, 3.0]], dtype=object)
    t = threading.Thread(target=lambda: seen.setdefault("r", inst(data, 0.1)))
    t.start()
    assert started.wait(60)
    try:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            repr(inst)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            inst(np.zeros((2, 2)), 0.1)
    finally:
        release.set()
        t.join()
    assert "r" in seen
    assert repr(inst) == "MNAR[MAX]"


def test_import_is_clean_under_warnings_as_errors():
    import subprocess
    import sys

    r = subprocess.run([sys.executable, "-W", "error", "-c", "import porosa; print(porosa.MNAR.__name__)"],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "MNAR"
