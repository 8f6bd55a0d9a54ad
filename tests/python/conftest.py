import itertools
import warnings

import pytest


def panic_type():
    """PanicException is not a module attribute; fetch it from a failure."""
    import porosa

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            porosa.MAR(mode="MAX", mean=0.3)
        except BaseException as e:  # noqa: BLE001
            return type(e)
    raise AssertionError("no PanicException raised")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


# The slowest tests (seconds each: whole studies, subprocesses, mypy), longest
# first. xdist's worksteal (scripts/test.sh) hands each worker a consecutive
# share of the collection and lets an idle worker take the tail of a busy
# one's: the slow tests, dealt in turn to the head of each share, start at
# once on every worker, and the short ones behind them are what gets taken.
SLOWEST_FIRST = (
    "test_docs.py::test_guide_examples_pass",
    "test_detached.py::test_exit_with_a_daemon_thread_inside_a_call",
    "test_typing.py::test_kit_and_typed_examples_pass_strict_mypy",
    "test_leaks.py::test_thousands_of_calls_leave_memory_and_refcounts_flat",
    "test_hostile.py::test_properties_hold_in_a_bounded_child",
    "test_kit_scale.py::test_scores_are_identical_whatever_runs_the_tasks",
    "test_kit_scale_checkpoint.py::test_ctrl_c_stops_a_parallel_study_before_its_work_is_done_and_a_rerun_resumes",
    "test_hostile.py::test_sparse_input_in_pattern_modes_ends_promptly",
    "test_detached.py::test_other_threads_collect_garbage_during_a_call",
    "test_typing.py::test_stub_matches_the_runtime_module",
    "test_stress.py::test_nested_parallel_steps_from_many_threads",
    "test_kit_study.py::test_a_study_on_real_tables_with_gaps_and_texts_runs_to_the_end",
    "test_interrupt.py::test_sigint_stops_a_long_call_promptly",
)


def pytest_collection_modifyitems(config, items):
    def rank(item):
        name = f"{item.path.name}::{item.originalname}"
        return SLOWEST_FIRST.index(name) if name in SLOWEST_FIRST else len(SLOWEST_FIRST)

    slow = sorted((item for item in items if rank(item) < len(SLOWEST_FIRST)), key=rank)
    rest = [item for item in items if rank(item) == len(SLOWEST_FIRST)]
    workers = int(getattr(config, "workerinput", {}).get("workercount", 1))
    items[:] = slow_at_the_head_of_each_share(slow, rest, workers)


def slow_at_the_head_of_each_share(slow, rest, workers):
    """The collection cut as worksteal cuts it (each share is what is left
    divided by the workers left), each share opening with its turn of the
    slow tests; the rest keep their order."""
    n, out, rest = len(slow) + len(rest), [], iter(rest)
    for k in range(workers):
        mine = slow[k::workers]
        size = (n - len(out)) // (workers - k)
        out += mine + list(itertools.islice(rest, max(0, size - len(mine))))
    return out + list(rest)
