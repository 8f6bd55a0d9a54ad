"""porosa_kit on Polars DataFrames and pyarrow Tables, and on kinds it refuses."""

import importlib.metadata
import math

import numpy as np
import pytest

import porosa
import porosa_kit
from porosa_kit import MCAR, amputate, missing_mask

pa = pytest.importorskip("pyarrow", reason="pyarrow is porosa_kit's optional dependency (porosa[parquet])")


def polars():
    return pytest.importorskip("polars", reason="Polars has no wheel for this interpreter (free-threaded)")


N = 30
LEVELS = [f"z{N - k:02d}" for k in range(N)]  # an order against the texts' order


def arrow_table():
    """Each column type, valued against its texts' order, most with a null;
    integers beyond a double's precision, times across a clock change, and a
    NaN and a "NaN", which porosa reads as missing."""
    r = np.random.default_rng(7).permutation(N).tolist()

    def hole(values, at, type=None):
        return pa.array([None if i == at else v for i, v in enumerate(values)], type)

    return pa.table({
        "string": hole([f"s{k:02d}" if k != 12 else "NaN" for k in r], 3),
        "large_string": hole([f"t{7 * k % N}" for k in r], 4, pa.large_string()),
        "dictionary": hole([f"c{k % 7}" for k in r], 5).dictionary_encode(),
        "ordered": pa.DictionaryArray.from_arrays(hole(r, 6, pa.int32()), LEVELS, ordered=True),
        "int64": hole([2**62 + 7 * k for k in r], 7),
        "bool": pa.array([k % 3 == 0 for k in r]),
        "double": hole([math.nan if k == 9 else k * 1.5 - 10 for k in r], 8),
        "timestamp": hole([1004225400_000000 + k * 300_000000 for k in r], 10, pa.timestamp("us", "Europe/Paris")),
        "date": hole([10_000 + 3 * k for k in r], 11, pa.date32()),
    })


def polars_frame():
    pl = polars()
    return pl.from_arrow(arrow_table()).with_columns(pl.col("ordered").cast(pl.String).cast(pl.Enum(LEVELS)))


KINDS = {"arrow": arrow_table, "polars": polars_frame}
CALLS = {
    "amputate MNAR MAX": lambda data: amputate(data, porosa.MNAR(mode="MAX", random_seed=3), 0.3),
    "amputate MAR GM": lambda data: amputate(data, porosa.MAR(mode="GM", random_seed=3), 0.3),
    "MCAR": lambda data: MCAR(random_seed=3)(data, 0.3),
    "amputate MCAR exclude": lambda data: amputate(data, MCAR(random_seed=3), 0.3, exclude=["int64", "date"]),
}


def arrow(table):
    return table if isinstance(table, pa.Table) else table.to_arrow()


def cells(table):
    # NaN as a text, so that lists of cells compare equal.
    return [["NaN!" if v != v else v for v in c.to_pylist()] for c in arrow(table).columns]


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("kind", KINDS)
def test_tables_come_back_in_their_kind_with_the_cells_their_pandas_form_loses(kind, call):
    table = KINDS[kind]()
    out = CALLS[call](table)
    assert type(out) is type(table) and out.schema == table.schema
    assert cells(table) == cells(KINDS[kind]())  # untouched

    # The table as pandas users have it: NumPy-backed, integers with nulls as floats.
    reference = table.to_pandas(date_as_object=False) if kind == "arrow" else table.to_pandas()
    expected = missing_mask(reference, CALLS[call](reference)).to_numpy()
    mask = missing_mask(table, out)
    assert type(mask) is type(table) and arrow(mask).column_names == arrow(table).column_names
    assert arrow(mask).schema.types == [pa.bool_()] * table.shape[1]
    removed = np.array(cells(mask), dtype=bool).T
    assert removed.any() and np.array_equal(removed, expected)
    # Removed cells are null, every other cell as it was, exactly.
    assert cells(out) == [[None if gone else v for v, gone in zip(c, r)] for c, r in zip(cells(table), removed.T)]


class DataFrame:
    """Named like pandas' frame: porosa tells kinds by their type's name."""

    shape = (3, 2)
    columns = ["a", "b"]


@pytest.mark.parametrize("call", [
    lambda data: amputate(data, porosa.MNAR(mode="MAX"), 0.2),
    lambda data: MCAR()(data, 0.2),
    lambda data: missing_mask(data, np.zeros((2, 2))),
    lambda data: missing_mask(np.zeros((2, 2)), data),
], ids=["amputate", "MCAR", "missing_mask before", "missing_mask after"])
@pytest.mark.parametrize("make", [
    lambda: [[1.0, 2.0], [3.0, 4.0]], lambda: {"a": [1.0, 2.0]}, DataFrame,
    lambda: polars().Series("a", [1.0, 2.0]),
], ids=["list", "dict", "named DataFrame", "polars Series"])
def test_other_kinds_raise_type_error_naming_the_supported_ones(make, call):
    data = make()
    try:
        call(data)
    except TypeError as e:
        assert str(e) == (f"Unsupported type: '{type(data).__name__}'. Supported types are: "
                          "numpy.ndarray, pandas.DataFrame, polars.DataFrame, pyarrow.Table")
    except BaseException as e:  # noqa: BLE001 - porosa's PanicException is no Exception
        pytest.fail(f"{type(e).__name__} leaked: {e}")
    else:
        pytest.fail("accepted")


def test_version_is_the_distributions():
    assert porosa_kit.__version__ == importlib.metadata.version("porosa")
