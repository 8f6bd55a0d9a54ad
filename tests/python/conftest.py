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
