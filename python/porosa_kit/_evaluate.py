"""evaluate_imputers(): amputate, impute and score, repeated over tables,
mechanisms, rates and seeds, here or on joblib's workers."""

from __future__ import annotations

import collections.abc
import os
import secrets
import signal
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any

import pandas as pd

from ._checkpoint import Checkpoint, recorded_seed
from ._constraints import COUNT, check_seed, check_timeout
from ._evaluation import Evaluation
from ._fingerprint import fingerprint
from ._frame import Generator
from ._mechanism import Mechanism, is_instance, suggestion
from ._metrics import resolve_all
from ._parallel import run_parallel, wanted
from ._progress import progress_bar
from ._scoring import COLUMNS
from ._tables import to_pandas
from ._tasks import Study, Task, plan, run_serially
from ._timeout import check_backend, run_timed

def evaluate_imputers(
    data: Any,
    imputers: Mapping[str, Any] | Sequence[Any],
    generators: Mapping[str, Generator | Mechanism | str] | Sequence[Generator | Mechanism | str],
    missing_rates: float | Sequence[float],
    *,
    repeats: int = 5,
    metric: str | Callable[..., float] | Sequence[str | Callable[..., float]] = "rmse",
    progress: bool | None = None,
    exclude: Sequence[Any] | None = None,
    raise_errors: bool = False,
    dataset: str | None = None,
    random_state: int | None = None,
    n_jobs: int | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    timeout: float | None = None,
) -> Evaluation:
    """Scores imputers on the cells that generators remove from ``data``.

    For each table, generator, rate and repeat (in that order), the data is
    amputated once (:func:`porosa_kit.amputate`), and every imputer is fitted
    and applied to it and scored on exactly the cells that call removed. Each
    imputation gets a fresh copy of the imputer as it was given (a clone of
    a scikit-learn estimator, a deep copy of another object; a function is
    called as it is), so that nothing an imputer keeps carries over from one
    imputation to the next, here or on any worker. The scores:

    - numeric columns (numbers, nullable numbers, booleans) by ``metric``,
      "rmse" or "mae" (or both, as a list), of standardised values: each
      column centred on the mean and scaled by the standard deviation of its
      values in ``data``, all the columns' removed cells pooled;
    - text and categorical columns by "accuracy", the share of removed cells
      imputed with their own value.

    Other columns (datetimes) are not scored.

    Each amputation is a task that every imputer scores, independent of
    the others. A generator given by its description (a :class:`Mechanism`
    or its text, "MCAR", "MAR:MAX", "MNAR:BLOCK") is built afresh for each
    task, inside the process that runs it, seeded by the task's coordinates:
    its seed is the first 8 bytes, read as a little-endian unsigned integer,
    of the BLAKE2b hash (8-byte digest) of the UTF-8 text made of
    ``str(random_state)``, the table's name, the mechanism's description,
    ``repr(missing_rate)`` and ``str(repeat)``, each written as its length in
    characters, a colon and itself: for random_state 7, table "data",
    mechanism "MCAR", rate 0.1 and repeat 0, the text is
    "1:74:data4:MCAR3:0.11:0". The description is what the mechanism is, not
    the name the study gives it: its text ("MNAR:BLOCK"), followed by the
    parameters it gives other than porosa's defaults, in parentheses
    ("MNAR:BLOCK(block_size=(0.3, 0.2))"), so ``["MNAR:BLOCK"]`` and
    ``{"MNAR BLOCK": "MNAR:BLOCK"}`` give the same scores. So the scores are
    the same whatever runs the tasks, in whatever order (``n_jobs``, a
    joblib backend, a resumed checkpoint), and adding a table, a mechanism,
    a rate or repeats leaves the others' scores as they were. A generator instance (porosa's MAR and
    MNAR, :class:`MCAR`) continues its own stream through the loop instead,
    so build it afresh (with its seed) to repeat a study; it only runs in
    this process, in the order above.

    A study does not stop at a failure. An amputation or an imputation that
    raises is recorded in the scores (``error``, with a NaN score) and the
    study goes on; the summary and the table count the failed repeats. An
    imputer that returns fewer columns than it was given (scikit-learn's drop
    a column left with no value) is matched to the data by column label and
    scored on the columns it returned; ``dropped`` names the others, and
    those it returned without any value.

    Parameters
    ----------
    data : DataFrame, 2-D array, Polars DataFrame or pyarrow Table, or dict of str to those
        The complete (or partly missing) table, or several by name, each
        studied on its own.
    imputers : dict of str to imputer, or list
        An imputer is an object with ``fit_transform`` or a function of the
        amputated data; it returns data of the same shape (an array, or a
        frame with the same columns). A list is named by ``repr``.
        :class:`porosa_kit.MixedImputer` makes a numeric imputer fit for
        frames with text columns.
    generators : dict of str to generator, or list
        Descriptions (:class:`Mechanism`, or its text as ``Mechanism.from_text``
        takes it), porosa's ``MAR`` and ``MNAR``, :class:`porosa_kit.MCAR`, or
        any callable ``generator(data, missing_rate)``. A list is named by
        the descriptions' text, else by ``repr``.
    missing_rates : float or list of float
        The rates, in the order the results show them.
    repeats : int, default=5
        Amputations per generator and rate.
    metric : str, callable or list of them, default="rmse"
        "rmse", "mae", a name given to ``register_metric``, or a function
        ``(truth, imputed, mask) -> float`` named by its ``__name__``, for
        the numeric columns (on values divided by each column's standard
        deviation). Text columns are always scored by accuracy.
    progress : bool or None, default=None
        A bar on standard error during a long study; by default only when
        that is a terminal.
    exclude : list of labels, default=None
        Columns that are never amputated and never scored, such as a target or
        an ID (column positions for an array). The imputers see them, intact,
        as they would in use; drop them from ``data`` to keep them away from
        the imputers too. The missing rate is of the other columns' cells.
    raise_errors : bool, default=False
        Stop at the first failure, with its exception, instead of recording
        it; an imputer that drops columns is then a failure too.
    dataset : str, default=None
        The name of a single table, kept in the result for titles (and in
        the scores, where it is "data" by default).
    random_state : int, default=None
        The seed of the descriptions' tasks (see above), from 0 to 2**64 - 1.
        None draws one from the operating system (or takes the one of the
        study in ``checkpoint``), kept as the result's ``random_state``.
    n_jobs : int, default=None
        Tasks run at once, by joblib (``pip install porosa[study]``): 1 runs
        them here, one by one; -1 on every core; None means 1 unless a
        ``joblib.parallel_config`` says otherwise. The active joblib backend
        runs them (``with joblib.parallel_config(backend="dask"):`` on a
        Dask cluster, with no other change), each worker with porosa's and the BLAS libraries'
        threads limited to its share of the cores, the imputers' own joblib
        calls kept in the worker (in threads), and its warnings issued here.
        Needs descriptions, not generator instances.
    checkpoint : str or path, default=None
        A ``.csv`` or ``.parquet`` file (the latter needs pyarrow) that keeps
        the rows of each task as it finishes, each task whole or not at all.
        Running the same study again reads it and runs only the tasks it
        lacks; the scores are those of an uninterrupted run. A study with
        more rates or repeats reuses it too. A task cut short (a kill, a
        full disk) is dropped with a warning and runs again. One study at a
        time holds the file. Needs descriptions, not generator instances.
    timeout : float, default=None
        Seconds that one step of a task may take: its amputation, or one
        imputer's fit and transform on it. A step that takes longer is
        stopped and recorded as failed ("TimeoutError: ran longer than
        timeout=60 s and was stopped"), and the study goes on. No thread can
        be stopped, so with a timeout every task runs in a worker process
        (``n_jobs`` of them; one for ``n_jobs=1``), which is ended when a step
        overruns, and a new one takes the task's next step. Needs joblib and
        a backend of this machine's processes (the default; not Dask, Ray or
        threads, whose tasks cannot be stopped), and descriptions, not
        generator instances.

    Returns
    -------
    evaluation : Evaluation
        The scores with their summary, table and plot.

    Raises
    ------
    ValueError
        For an unknown metric, fewer than one repeat, no imputer, generator
        or rate, two imputers or generators of a list with one name, a
        generator instance with ``n_jobs``, ``checkpoint`` or ``timeout``, a
        ``timeout`` under a backend that cannot stop tasks, a checkpoint
        written by another study (other tables, generators, imputers,
        metrics or seed), or one that a study running now holds.
    OSError
        When the checkpoint cannot be read or written (no permission, a full
        disk), naming it.
    pickle.PicklingError
        When an imputer, generator or table cannot be sent to the workers,
        naming it.
    KeyboardInterrupt
        On Ctrl-C, once the tasks running have stopped and the checkpoint
        holds every finished one. This and any other exception that stops
        the study (a worker that died, a failure with ``raise_errors``) has a
        note saying how many tasks finished, and an attribute ``evaluation``
        with their scores.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from porosa import MNAR
    >>> from porosa_kit import MCAR, evaluate_imputers
    >>> rng = np.random.default_rng(0)
    >>> x = rng.normal(size=200)
    >>> data = pd.DataFrame({"x": x, "y": 2 * x + rng.normal(scale=0.5, size=200),
    ...                      "z": rng.normal(size=200)})
    >>> study = evaluate_imputers(
    ...     data,
    ...     {"zero": lambda holes: holes.fillna(0), "mean": lambda holes: holes.fillna(holes.mean())},
    ...     {"MCAR": MCAR(random_seed=1), "MNAR MAX": MNAR(mode="MAX", random_seed=2)},
    ...     [0.1, 0.3], repeats=3)
    >>> print(study.table(digits=2).to_string())
    metric                                 rmse
    imputer                                zero         mean
    mechanism missing_rate repeats
    MCAR      0.1          3        0.91 ± 0.03  0.92 ± 0.03
              0.3          3        1.04 ± 0.07  1.06 ± 0.07
    MNAR MAX  0.1          3        1.66 ± 0.04  1.84 ± 0.05
              0.3          3        1.09 ± 0.04  1.42 ± 0.04

    Described generators and several tables (the same scores with any
    ``n_jobs``):

    >>> tables = {"toy": data, "half": data.iloc[:100]}
    >>> study = evaluate_imputers(tables, {"mean": lambda holes: holes.fillna(holes.mean())},
    ...                           ["MCAR", "MNAR:MAX"], [0.2], repeats=2, random_state=7)
    >>> print(study.table(digits=2).to_string())
    metric                                         rmse
    imputer                                        mean
    dataset mechanism missing_rate repeats
    toy     MCAR      0.2          2        0.99 ± 0.07
            MNAR:MAX  0.2          2        1.55 ± 0.02
    half    MCAR      0.2          2        1.15 ± 0.04
            MNAR:MAX  0.2          2        1.61 ± 0.05
    """
    study, tables = _study(data, imputers, generators, metric, exclude, raise_errors, dataset,
                           random_state, n_jobs, checkpoint, timeout)
    rates = [float(missing_rates)] if isinstance(missing_rates, (int, float)) else [float(r) for r in missing_rates]
    if repeats < COUNT.low:
        raise ValueError(f"repeats must be {COUNT.bounds}, not {repeats}")
    if not rates:
        raise ValueError("give at least one imputer, one generator and one missing rate")
    tasks = plan(list(tables), list(study.mechanisms), rates, repeats)
    with _on_disk(checkpoint, "read"):
        book = None if checkpoint is None else Checkpoint(checkpoint, fingerprint(
            tables, study.mechanisms, study.imputers, study.metrics, exclude, study.random_state))
    try:
        return _run(study, tables, tasks, book, checkpoint, n_jobs, timeout, progress, dataset)
    finally:
        if book:
            book.close()


def _run(study: Study, tables: dict[str, Any], tasks: list[Task], book: Checkpoint | None, checkpoint: Any,
         n_jobs: int | None, timeout: float | None, progress: bool | None, dataset: str | None) -> Evaluation:
    """The study's tasks run, those the checkpoint lacks, and its result."""
    results = {t: book.finished[t] for t in tasks if t in book.finished} if book else {}
    todo = [t for t in tasks if t not in results]
    if timeout is not None:
        runs = run_timed(study, tables, todo, n_jobs, timeout)
    else:
        runs = run_parallel(study, tables, todo, n_jobs) if wanted(n_jobs) else run_serially(study, tables, todo)
    bar = progress_bar(len(tasks), progress)
    bar.update(len(results))

    def evaluation() -> Evaluation:
        rows = [row for t in tasks for row in results.get(t, [])]
        return Evaluation(pd.DataFrame(rows, columns=COLUMNS), dataset=dataset if len(tables) == 1 else None,
                          random_state=study.random_state)

    try:
        _record(runs, book, checkpoint, results, bar)
    except BaseException as e:
        # Whatever stops the study (Ctrl-C, a worker that died, an error it
        # was told to raise) keeps the scores it finished.
        e.add_note(f"porosa_kit: {len(results)} of {len(tasks)} tasks finished"
                   + (f"; running the same study again resumes from {book.path}" if book else ""))
        e.evaluation = evaluation()  # type: ignore[attr-defined]
        raise
    finally:
        bar.close()
    return evaluation()


def _record(runs: collections.abc.Generator[tuple[Task, list[Any]], None, None], book: Checkpoint | None, checkpoint: Any,
            results: dict[Task, list[Any]], bar: Any) -> None:
    """Takes each task's rows, as it finishes, into `results` and the checkpoint."""
    try:
        for task, rows in runs:
            with _interrupt_after(), _on_disk(checkpoint, "write"):
                if book:
                    book.add(rows)
                results[task] = rows
            bar.update(1)
    finally:
        runs.close()
        with _on_disk(checkpoint, "write"):
            if book:
                book.flush()


@contextmanager
def _on_disk(checkpoint: Any, doing: str) -> Iterator[None]:
    """The checkpoint's OSError (no permission, a full disk) as the
    environment's failure it is, naming the file."""
    try:
        yield
    except OSError as e:
        text = f"cannot {doing} the checkpoint {checkpoint}: {e.strerror or e}"
        args = (text,) if e.errno is None else (e.errno, text)
        try:  # its own type (PermissionError, ...), where that is built as OSError is
            error = type(e)(*args)
        except Exception:  # noqa: BLE001
            error = OSError(*args)
        raise error from e


@contextmanager
def _interrupt_after() -> Iterator[None]:
    """Holds Ctrl-C back until the block ends, so that a finished task is
    in both the checkpoint and the result, or in neither."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


def _study(data: Any, imputers: Any, generators: Any, metric: Any, exclude: Any,
           raise_errors: bool, dataset: str | None, random_state: int | None, n_jobs: int | None,
           checkpoint: Any, timeout: Any) -> tuple[Study, dict[str, Any]]:
    """The study's checked parts: what every task shares, the tables as
    pandas frames by name."""
    imputer_items = _named(imputers, "imputers")
    # Text becomes its Mechanism before a list is named, so that it is named by its normal form.
    described = ({name: _described(g) for name, g in generators.items()} if isinstance(generators, Mapping)
                 else [_described(g) for g in generators])
    generator_items = _named(described, "generators")
    mechanisms = dict(generator_items)
    metrics = resolve_all(metric)
    if not imputer_items or not generator_items:
        raise ValueError("give at least one imputer, one generator and one missing rate")
    if check_timeout(timeout) is not None:
        check_backend(n_jobs)
    instances = [(name, g) for name, g in mechanisms.items() if is_instance(g)]
    if instances and (wanted(n_jobs) or checkpoint is not None or timeout is not None):
        name, g = instances[0]
        why = "n_jobs runs tasks in other processes" if wanted(n_jobs) else \
            "a checkpoint resumes tasks out of order" if checkpoint is not None else \
            "a timeout runs tasks in other processes"
        raise ValueError(f"{why}, where a generator instance cannot continue its stream: describe "
                         f"generator {name!r} ({g!r}) as {suggestion(g)} instead, with random_state for the seed")
    seed = check_seed(random_state)
    if seed is None and any(isinstance(g, Mechanism) for g in mechanisms.values()):
        with _on_disk(checkpoint, "read"):
            seed = recorded_seed(checkpoint) if checkpoint is not None else None
        seed = secrets.randbits(63) if seed is None else seed
    # Polars and Arrow tables are studied as pandas frames: the imputers get those.
    given = data.items() if isinstance(data, Mapping) else [(dataset or "data", data)]
    tables = {str(name): to_pandas(table)[0] for name, table in given}
    if not tables:
        raise ValueError("give at least one table")
    study = Study(imputer_items, mechanisms, metrics, exclude, raise_errors, seed)
    return study, tables


def _described(generator: Any) -> Any:
    return Mechanism.from_text(generator) if isinstance(generator, str) else generator


def _named(items: Mapping[str, Any] | Sequence[Any], what: str) -> list[tuple[str, Any]]:
    if isinstance(items, Mapping):
        pairs = [(str(k), v) for k, v in items.items()]
    else:
        pairs = [(str(v) if isinstance(v, Mechanism) else getattr(v, "__name__", None) or repr(v), v) for v in items]
        names = [n for n, _ in pairs]
        if len(set(names)) != len(names):
            raise ValueError(f"two of the {what} have the same name {names}: pass a dict of name to object")
    return pairs
