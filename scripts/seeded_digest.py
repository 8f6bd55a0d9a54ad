"""Digests of a few hundred seeded calls, for refactors that must not change results.

    python scripts/seeded_digest.py --record before.json
    ... change the code, rebuild ...
    python scripts/seeded_digest.py --compare before.json

Every call's outcome (the cells, dtypes, warnings, or the exception with its
message) is hashed; the comparison lists every call whose outcome changed.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import pickle
import sys
import warnings

import numpy as np


def arrays():
    rng = np.random.default_rng(15)
    base = rng.normal(size=(40, 6))
    gaps = base.copy()
    gaps[rng.random(base.shape) < 0.15] = np.nan
    gaps[:, 3] = np.nan
    ties = np.round(rng.normal(size=(35, 5)), 1)
    ties[2, 1], ties[5, 1], ties[7, 2] = np.inf, -np.inf, -0.0
    ints = rng.integers(-5, 5, size=(30, 4))
    text = np.array([[f"t{v}" for v in row] for row in rng.integers(0, 6, size=(20, 3))], dtype=object)
    return {"base": base, "gaps": gaps, "ties": ties, "ints": ints, "text": text,
            "tiny": base[:1, :2].copy(), "empty": np.empty((0, 3))}


def frames():
    import pandas as pd

    rng = np.random.default_rng(16)
    n = 30
    mixed = pd.DataFrame({
        "x": rng.normal(size=n),
        "k": rng.integers(0, 9, size=n),
        "s": [None if i % 7 == 0 else f"w{i % 4}" for i in range(n)],
        "b": rng.random(n) < 0.5,
        "f": np.where(rng.random(n) < 0.2, np.nan, rng.normal(size=n)).astype(np.float32),
    }, index=[f"r{i}" for i in range(n)])
    cat = pd.DataFrame({"c": pd.Categorical(["a", "b", "c"] * 8), "y": rng.normal(size=24)})
    return {"mixed": mixed, "cat": cat}


CONFIGS = [
    ("MNAR", {}), ("MNAR", {"mean": 0.3, "variance": 0.1}), ("MNAR", {"mode": "MAX"}),
    ("MNAR", {"mode": "MIN"}), ("MNAR", {"mode": "BLOCK"}), ("MNAR", {"mode": "BLOB"}),
    ("MNAR", {"mode": "GM", "mean": 2.0, "variance": 0.0}), ("MNAR", {"mean": 0.9, "variance": 0.5}),
    ("MAR", {}), ("MAR", {"mean": 0.3, "variance": 0.1}), ("MAR", {"mode": "MAX"}), ("MAR", {"mode": "MIN"}),
]
BAD_CALLS = [
    ("MNAR", {"mode": "NOPE"}, 0.1), ("MNAR", {"mode": "GM\0"}, 0.1), ("MAR", {}, 1.5),
    ("MNAR", {"mean": float("nan")}, 0.1), ("MAR", {"mode": "BLOCK"}, 0.1), ("MNAR", {}, -0.1),
]


def fingerprint(out):
    import pandas as pd

    if isinstance(out, pd.DataFrame):
        body = (list(out.columns), list(out.index), [str(d) for d in out.dtypes],
                [out[c].tolist() for c in out.columns])
    else:
        a = np.asarray(out)
        body = (a.dtype.str, a.shape, a.tolist())
    return hashlib.sha256(pickle.dumps(body, protocol=4)).hexdigest()[:16]


def outcome(make, data, rate):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            inst = make()
            results = [fingerprint(inst(data, rate)), fingerprint(inst(data, rate))]
        except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
            results = [f"{type(e).__name__}: {e}"]
    return results + [f"{w.category.__name__}: {w.message}" for w in caught]


def corpus():
    import porosa

    inputs = {**arrays(), **frames()}
    for name, data in inputs.items():
        for cls, kwargs in CONFIGS:
            for rate in (0.05, 0.3, 0.7):
                for seed in (1, 7):
                    key = f"{name}|{cls}|{json.dumps(kwargs, sort_keys=True)}|{rate}|{seed}"
                    make = lambda cls=cls, kwargs=kwargs, seed=seed: getattr(porosa, cls)(random_seed=seed, **kwargs)
                    yield key, lambda make=make, data=data, rate=rate: outcome(make, data, rate)
    for cls, kwargs, rate in BAD_CALLS:
        key = f"bad|{cls}|{json.dumps(kwargs, sort_keys=True)}|{rate}"
        make = lambda cls=cls, kwargs=kwargs: getattr(porosa, cls)(random_seed=3, **kwargs)
        yield key, lambda make=make, rate=rate: outcome(make, arrays()["base"], rate)
    for key, bad in [("bad|3d", np.zeros((2, 2, 2))), ("bad|list", [[1, 2], [3, "x"]]), ("bad|str", "abc")]:
        yield key, lambda bad=bad: outcome(lambda: porosa.MNAR(random_seed=1), bad, 0.1)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    side = p.add_mutually_exclusive_group(required=True)
    side.add_argument("--record", metavar="FILE", help="where to write this run's outcomes")
    side.add_argument("--compare", metavar="FILE", help="a recorded run to compare against")
    args = p.parse_args()
    results = {key: run() for key, run in corpus()}
    total = hashlib.sha256(json.dumps(results, sort_keys=True).encode()).hexdigest()
    if args.record:
        # A file rather than stdout: an unsupported input prints its type name there.
        with open(args.record, "w") as f:
            json.dump({"total": total, "calls": results}, f, indent=0, sort_keys=True)
        print(f"{len(results)} calls; digest {total[:16]}")
        return 0
    with open(args.compare) as f:
        before = json.load(f)
    changed = [k for k in before["calls"] if results.get(k) != before["calls"][k]]
    for k in changed:
        print(f"CHANGED {k}\n  before {before['calls'][k]}\n  now    {results.get(k)}")
    print(f"{len(results)} calls, {len(changed)} changed; digest {total[:16]} (recorded {before['total'][:16]})")
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
