"""Each declared range is applied by every entry with the same words: the
estimator, a description (and so a study) and the command line. MCAR, a
generator like porosa's own, takes any cap as they do (test_kit_rules)."""

import numpy as np
import pandas as pd
import pytest

from porosa_kit import Amputer, Mechanism
from porosa_kit._cli import main

X = np.arange(40.0).reshape(10, 4)

# A setting porosa takes without a word, and the range the kit refuses it by.
BAD = [
    ({"mode": "BLOB", "n_blobs": 0}, "a whole number of at least 1"),
    ({"mode": "BLOCK", "block_size": (2, -1)}, "above 0 and at most 1"),
    ({"mode": "MAX", "max_missing_per_column": 5}, "a number above 0 and at most 1"),
]


def by_amputer(settings):
    Amputer(mechanism="MNAR", **settings).fit(X)


def by_mechanism(settings):
    Mechanism("MNAR", **settings)


def by_command_line(settings, tmp_path):
    pd.DataFrame(X).to_csv(tmp_path / "in.csv", index=False)
    options = [f"--{k.replace('_', '-')}" if k != "mode" else "--mode" for k in settings]
    argv = ["amputate", str(tmp_path / "in.csv"), str(tmp_path / "out.csv"), "--mechanism", "MNAR"]
    for option, value in zip(options, settings.values()):
        argv += [option, *map(str, value if isinstance(value, tuple) else [value])]
    with pytest.raises(SystemExit) as exit:
        main(argv)
    return exit.value.code


@pytest.mark.parametrize("settings, expected", BAD, ids=["n_blobs", "block_size", "cap"])
@pytest.mark.parametrize("entry", [by_amputer, by_mechanism])
def test_every_api_entry_refuses_what_the_range_excludes(entry, settings, expected):
    with pytest.raises(ValueError, match=expected):
        entry(settings)


@pytest.mark.parametrize("settings, expected", BAD, ids=["n_blobs", "block_size", "cap"])
def test_the_command_line_refuses_it_in_the_same_words(settings, expected, tmp_path, capsys):
    assert by_command_line(settings, tmp_path) == 2
    assert expected in capsys.readouterr().err


# A parameter of another mode: every entry warns alike and goes on without it.
OTHER_MODE = [
    ("MNAR", {"mode": "MAX", "mean": 0.3}, "Mean/variance passed without passing a mode that supports it!"),
    ("MNAR", {"mode": "GM", "n_blobs": 2}, "Number of Blobs passed without passing a mode that supports it!"),
    ("MCAR", {"block_size": (0.2, 0.2)}, "MCAR uses neither mode nor the modes' parameters"),
]


@pytest.mark.parametrize("mechanism, settings, text", OTHER_MODE, ids=["mean", "n_blobs", "MCAR"])
def test_a_parameter_of_another_mode_is_warned_about_alike_and_left_out(mechanism, settings, text):
    with pytest.warns(UserWarning, match=text.replace("(", r"\(")):
        Amputer(mechanism=mechanism, **settings).fit(X)
    with pytest.warns(UserWarning, match=text.replace("(", r"\(")):
        described = Mechanism(mechanism, **settings)
    assert described == Mechanism(mechanism, mode=settings.get("mode"))
