"""porosa_kit on Polars DataFrames and pyarrow Tables, and on kinds it refuses."""

import importlib.metadata
import math

import numpy as np
import pytest

import porosa
import porosa_kit
from porosa_kit import MCAR, amputate, missing_mask

pa = pytest.importorskip("pyarrow", reason="pyarrow is porosa_kit's optional dependency (porosa[parquet])")

N = 30
NO_POLARS = "Polars has no build for this interpreter (no free-threaded wheel), so porosa[polars] is not installed"


def polars():
    return pytest.importorskip("polars", reason=NO_POLARS)


def hole(values, *at):
    return [None if k in at else v for k, v in enumerate(values)]


def arrow_table():
    """Every column type in an order of values unlike its texts' order, most
    with a null; 64-bit integers beyond a double's precision, times across a
    clock change, and a NaN and a "NaN", which porosa reads as missing."""
    r = np.random.default_rng(7).permutation(N).tolist()
    levels = [f"z{N - k:02d}" for k in range(N)]  # texts sort against the order
    return pa.table({
        # "NaN": a text porosa reads as missing.
        "string": pa.array(hole([f"s{k:02d}" if i != 12 else "NaN" for i, k in enumerate(r)], 3), pa.string()),
        "large_string": pa.array(hole([f"t{7 * k % N}" for k in r], 4), pa.large_string()),
        "dictionary": pa.array(hole([f"c{k % 7}" for k in r], 5)).dictionary_encode(),
        "ordered": pa.DictionaryArray.from_arrays(pa.array(hole(r, 6), pa.int32()), levels, ordered=True),
        "int64": pa.array(hole([2**62 + 7 * k for k in r], 7), pa.int64()),
        "bool": pa.array([k % 3 == 0 for k in r]),
        "double": pa.array(hole([math.nan if i == 9 else k * 1.5 - 10 for i, k in enumerate(r)], 8)),
        "timestamp": pa.array(hole([1004225400_000000 + k * 300_000000 for k in r], 10),
                              pa.timestamp("us", tz="Europe/Paris")),
        "date": pa.array(hole([10_000 + 3 * k for k in r], 11), pa.date32()),
    })


def polars_frame():
    pl = polars()
    enum = pl.Enum([f"z{N - k:02d}" for k in range(N)])  # the dictionary's order
    return pl.from_arrow(arrow_table()).with_columns(pl.col("ordered").cast(pl.String).cast(enum))


def pandas_form(table):
    """The table as a pandas user would hand it over: NumPy-backed, integers
    with nulls as floats, dictionaries as categoricals."""
    if isinstance(table, pa.Table):
        return table.to_pandas(date_as_object=False)
    return table.to_pandas()


KINDS = {"arrow": arrow_table, "polars": polars_frame}
CALLS = {
    "amputate MNAR MAX": lambda data: amputate(data, porosa.MNAR(mode="MAX", random_seed=3), 0.3),
    "amputate MAR GM": lambda data: amputate(data, porosa.MAR(mode="GM", random_seed=3), 0.3),
    "MCAR": lambda data: MCAR(random_seed=3)(data, 0.3),
}


def columns(table):
    if isinstance(table, pa.Table):
        return [c.to_pylist() for c in table.columns]
    return [s.to_list() for s in table.get_columns()]


def schema(table):
    return list(zip(table.column_names, table.schema.types)) if isinstance(table, pa.Table) \
        else list(table.schema.items())


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def equal(a, b):
    return len(a) == len(b) and all(len(x) == len(y) and all(map(same, x, y)) for x, y in zip(a, b))


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("kind", KINDS)
def test_tables_come_back_in_their_kind_with_the_cells_their_pandas_form_loses(kind, call):
    table = KINDS[kind]()
    out = CALLS[call](table)
    assert type(out) is type(table) and schema(out) == schema(table)
    assert equal(columns(table), columns(KINDS[kind]()))  # untouched

    reference = pandas_form(table)
    expected = missing_mask(reference, CALLS[call](reference)).to_numpy()
    mask = missing_mask(table, out)
    assert type(mask) is type(table)
    assert [(name, str(t).lower()) for name, t in schema(mask)] == [(name, "boolean" if kind == "polars" else "bool")
                                                                 for name, _ in schema(table)]
    got = np.array(columns(mask), dtype=bool).T
    assert got.sum() == math.ceil(got.size * 0.3)
    assert np.array_equal(got, expected)
    # Removed cells are null, every other cell as it was, exactly.
    assert equal(columns(out), [[None if gone else v for v, gone in zip(c, removed)]
                                for c, removed in zip(columns(table), got.T)])


class DataFrame:
    """Named like pandas' frame: porosa tells kinds by their type's name."""

    shape = (3, 2)
    columns = ["a", "b"]


UNSUPPORTED = {
    "list": lambda: [[1.0, 2.0], [3.0, 4.0]],
    "dict": lambda: {"a": [1.0, 2.0]},
    "named DataFrame": DataFrame,
    "polars Series": lambda: polars().Series("a", [1.0, 2.0]),
}
REFUSERS = {
    "amputate": lambda data: amputate(data, porosa.MNAR(mode="MAX"), 0.2),
    "MCAR": lambda data: MCAR()(data, 0.2),
    "missing_mask before": lambda data: missing_mask(data, np.zeros((2, 2))),
    "missing_mask after": lambda data: missing_mask(np.zeros((2, 2)), data),
}


@pytest.mark.parametrize("refuser", REFUSERS)
@pytest.mark.parametrize("data", UNSUPPORTED)
def test_other_kinds_raise_type_error_naming_the_supported_ones(data, refuser):
    value = UNSUPPORTED[data]()
    try:
        REFUSERS[refuser](value)
    except TypeError as e:
        assert str(e) == (f"Unsupported type: '{type(value).__name__}'. Supported types are: "
                          "numpy.ndarray, pandas.DataFrame, polars.DataFrame, pyarrow.Table")
    except BaseException as e:  # noqa: BLE001 - porosa's PanicException is no Exception
        pytest.fail(f"{type(e).__name__} leaked: {e}")
    else:
        pytest.fail("accepted")


def test_version_is_the_distributions():
    assert porosa_kit.__version__ == importlib.metadata.version("porosa")
