"""Mechanism: a generator described by plain values, which pickles, so that
a study's tasks can build their generators wherever they run."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any

import porosa

from ._constraints import MODE_PARAMETERS, MODES, check_seed, listed
from ._frame import Generator
from ._generators import make_generator, without_unused
from ._mcar import MCAR

# porosa compares a mode word lower-cased by Unicode's full mapping, which
# str.lower is; str.upper would take words porosa refuses ("mın").
WORDS = {word.lower(): word for word in MODES["MNAR"]}


def mode_problem(mechanism: str, mode: str | None, *, example: str = "'{}'") -> str | None:
    """Why `mechanism` cannot take `mode`, in plain words; None if it can.
    `example` shows how to ask for the right one."""
    if mode is None:
        return None
    if mechanism == "MCAR":
        return "MCAR takes no mode"
    word = mode.upper()
    takers = [m for m, modes in MODES.items() if word in modes]
    if not takers:
        return f"unknown mode {mode!r}: expected one of {', '.join(MODES['MNAR'])}"
    if mechanism not in takers:
        return (f"{mechanism} cannot take mode {word}: only {' and '.join(takers)} can "
                f"(e.g. {example.format(f'{takers[0]}:{word}')}); {mechanism} takes {', '.join(MODES[mechanism])}")
    return None


def parse(text: str, *, example: str = "'{}'") -> tuple[str, str | None]:
    """MECHANISM or MECHANISM:MODE, checked, in capitals; ValueError saying
    what is wrong."""
    name, colon, given = text.partition(":")
    upper = name.upper()
    if upper not in MODES:
        raise ValueError(f"unknown mechanism {name!r}: expected {listed(tuple(MODES))}")
    if not colon:
        return upper, None
    if not given:
        raise ValueError(f"no mode after the colon in {text!r}")
    if upper == "MCAR":
        raise ValueError("MCAR takes no mode")
    word = WORDS.get(given.lower())
    if word is None:
        raise ValueError(f"unknown mode {given!r}: {upper} takes {listed(MODES[upper])}")
    problem = mode_problem(upper, word, example=example)
    if problem:
        raise ValueError(problem)
    return upper, word


@dataclass(frozen=True)
class Mechanism:
    """A missingness mechanism described by plain values: porosa's ``MAR``
    or ``MNAR`` with a mode, or :class:`porosa_kit.MCAR`.

    Unlike a generator, a description holds no random stream and pickles,
    so a study can send it to other processes or machines, which build the
    generator there with the seed of each task (:meth:`generator`).
    :func:`porosa_kit.evaluate_imputers` takes descriptions, and their text
    forms ("MCAR", "MAR:MAX", "MNAR:BLOCK"), wherever it takes generators.

    Parameters
    ----------
    mechanism : {"MAR", "MNAR", "MCAR"}
        The generator's class, in any case.
    mode : str, default=None
        The mode word of MAR and MNAR ("GM", "MAX", "MIN"; MNAR also "BLOCK"
        and "BLOB"); None means "GM". MCAR takes none.
    mean, variance : float, default=None
        GM's parameters; None leaves porosa's defaults.
    block_size : tuple of two floats, default=None
        BLOCK's parameter.
    n_blobs : int, default=None
        BLOB's parameter.
    max_missing_per_column : float, default=0.8
        The cap on each column's missing share, as the generators take it.

    Raises
    ------
    ValueError
        For an unknown mechanism or mode, or a mode the mechanism does not
        take; for a parameter out of its range.

    Warns
    -----
    UserWarning
        For a parameter of another mode, which the description leaves out:
        porosa's warning, or for MCAR Amputer's.

    See Also
    --------
    evaluate_imputers : Studies that take descriptions.

    Examples
    --------
    >>> import pickle
    >>> from porosa_kit import Mechanism
    >>> blocks = Mechanism.from_text("mnar:block", block_size=(0.2, 0.5))
    >>> str(blocks), blocks == pickle.loads(pickle.dumps(blocks))
    ('MNAR:BLOCK', True)
    >>> blocks.generator(7)
    MNAR[Blocks(0.2, 0.5)]
    >>> str(Mechanism("MCAR")), str(Mechanism("mar"))
    ('MCAR', 'MAR:GM')
    """

    mechanism: str
    mode: str | None = field(default=None, kw_only=True)
    mean: float | None = field(default=None, kw_only=True)
    variance: float | None = field(default=None, kw_only=True)
    block_size: tuple[float, float] | None = field(default=None, kw_only=True)
    n_blobs: int | None = field(default=None, kw_only=True)
    max_missing_per_column: float = field(default=0.8, kw_only=True)

    def __post_init__(self) -> None:
        name, word = parse(str(self.mechanism) if self.mode is None else f"{self.mechanism}:{self.mode}",
                           example="'{}'")
        object.__setattr__(self, "mechanism", name)
        object.__setattr__(self, "mode", None if name == "MCAR" else word or "GM")
        if self.block_size is not None:
            object.__setattr__(self, "block_size", tuple(self.block_size))
        given = {p: getattr(self, p) for p in MODE_PARAMETERS}
        for param in given.keys() - without_unused(self.mechanism, self.mode, given).keys():
            object.__setattr__(self, param, None)
        # porosa checks the parameters' ranges when it builds a generator:
        # here, so that a study fails at once rather than in its workers.
        self.generator(0)

    @classmethod
    def from_text(cls, text: str, **params: Any) -> Mechanism:
        """The description of "MECHANISM" or "MECHANISM:MODE", as the
        command line's ``--mechanism`` takes it, with the mode's parameters.

        Parameters
        ----------
        text : str
            "MCAR", "MAR", "MNAR", or one of the last two with ":" and a mode.
        **params
            The parameters of :class:`Mechanism` other than the mode.

        Returns
        -------
        mechanism : Mechanism
        """
        name, word = parse(text, example="'{}'")
        return cls(name, mode=word, **params)

    def __str__(self) -> str:
        return self.mechanism if self.mode is None else f"{self.mechanism}:{self.mode}"

    def generator(self, seed: int | None) -> Generator:
        """A new generator of this description.

        Parameters
        ----------
        seed : int or None
            Its ``random_seed``, from 0 to 2**64 - 1 (None: from the
            operating system).

        Returns
        -------
        generator : porosa.MAR, porosa.MNAR or porosa_kit.MCAR
        """
        params = {p: getattr(self, p) for p in MODE_PARAMETERS if getattr(self, p) is not None}
        return make_generator(self.mechanism, self.mode, check_seed(seed), self.max_missing_per_column, **params)


# porosa's values for the parameters a description leaves out: one given
# equal to its default describes the same generator, and so the same seeds.
DEFAULTS: dict[str, Any] = {"mean": 0.5, "variance": 0.0, "block_size": (0.5, 0.5), "n_blobs": 3,
                            "max_missing_per_column": 0.8}


def canonical(mechanism: Mechanism) -> str:
    """What a description is, as one text that its tasks are seeded by: its
    mechanism and mode, then the parameters it gives other than porosa's
    defaults, in a normal form ("MNAR:BLOCK(block_size=(0.3, 0.2))"). A
    description without such parameters is its plain text ("MNAR:BLOCK")."""
    given = []
    for param, default in DEFAULTS.items():
        value = getattr(mechanism, param)
        if value is None:
            continue
        # 1 and 1.0, or numpy's and Python's floats, are one value.
        value = int(value) if param == "n_blobs" else \
            tuple(map(float, value)) if param == "block_size" else float(value)
        if value != default:
            given.append(f"{param}={value!r}")
    return f"{mechanism}({', '.join(given)})" if given else str(mechanism)


def is_instance(generator: Any) -> bool:
    """Whether `generator` is one of the generators whose random stream runs
    on from call to call, which a task elsewhere cannot continue."""
    return isinstance(generator, (porosa.MAR, porosa.MNAR, MCAR))


_DEFAULTS = {text: str(Mechanism.from_text(text).generator(0)) for text in ("MNAR:GM", "MNAR:BLOCK", "MNAR:BLOB")}


def suggestion(generator: Any) -> str:
    """The description to give instead of a generator instance, as code.
    porosa's classes show their mode only in their representation:
    MAR[MAX], MNAR[0.5] (GM, by its mean), MNAR[Blocks(0.2, 0.5)], MNAR[Blobs(3)]."""
    text = repr(generator)
    found = re.fullmatch(r"(MAR|MNAR)\[(.*)\]", text)
    if found is None:
        return "'MCAR'" if isinstance(generator, MCAR) else f"a Mechanism describing {text}"
    name, inside = found.groups()
    if inside in MODES["MNAR"]:
        return f"'{name}:{inside}'"
    blocks = re.fullmatch(r"Blocks\((.*), (.*)\)", inside)
    blobs = re.fullmatch(r"Blobs\((.*)\)", inside)
    if blocks:
        mode, param = "BLOCK", f"block_size=({blocks[1]}, {blocks[2]})"
    elif blobs:
        mode, param = "BLOB", f"n_blobs={blobs[1]}"
    else:
        mode, param = "GM", f"mean={inside}"
    if f"MNAR[{inside}]" == _DEFAULTS[f"MNAR:{mode}"]:
        return f"'{name}:{mode}'"
    return f"Mechanism({name!r}, mode={mode!r}, {param})"
