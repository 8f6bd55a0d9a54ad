"""Generates demo/clinic.csv, the demo's bundled data set.

A synthetic table of 200 clinic patients: six numeric measurements with
realistic ranges and correlations (blood pressure and glucose rise with age
and BMI, weight follows height and BMI) and two text columns. The seed is
fixed, so running this again reproduces the committed file byte for byte.

    python demo/make_data.py
"""

from pathlib import Path

import numpy as np
import pandas as pd

SEED = 20240611
ROWS = 200


def make_table(rows: int = ROWS, seed: int = SEED) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    sex = rng.choice(["female", "male"], size=rows)
    male = sex == "male"
    age = rng.integers(18, 90, size=rows)
    height = np.where(male, rng.normal(176, 7, rows), rng.normal(163, 6.5, rows))
    bmi = np.clip(rng.normal(26 + 0.04 * (age - 50), 4.2, rows), 16, 45)
    weight = bmi * (height / 100) ** 2
    smoker = rng.choice(["never", "former", "current"], size=rows, p=[0.55, 0.27, 0.18])
    systolic = 96 + 0.45 * age + 0.9 * bmi + 4 * (smoker == "current") + rng.normal(0, 9, rows)
    cholesterol = 150 + 0.6 * age + 1.5 * bmi + rng.normal(0, 22, rows)
    glucose = 72 + 0.15 * age + 0.8 * bmi + rng.gamma(2.0, 4.0, rows)
    return pd.DataFrame(
        {
            "age": age,
            "height_cm": height.round(1),
            "weight_kg": weight.round(1),
            "systolic_bp": systolic.round(0).astype(int),
            "cholesterol": cholesterol.round(1),
            "glucose": glucose.round(1),
            "sex": sex,
            "smoker": smoker,
        }
    )


if __name__ == "__main__":
    out = Path(__file__).with_name("clinic.csv")
    make_table().to_csv(out, index=False)
    print(f"wrote {out} ({out.stat().st_size} bytes)")
