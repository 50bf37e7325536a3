"""Independent cross-check of quilvar's directly standardized rates with
gamma limits and of its SMRs with exact Poisson limits and p-values.

The expected values are computed here from the published formulas with
SciPy's chi-square and Poisson distributions (Fay and Feuer 1997 for the
gamma limits, with the mean-weight upper limit of Tiwari et al. 2006; exact
Poisson limits from chi-square quantiles, Breslow and Day) on data this
script generates, and compared with the CSV files quilvar writes.

Usage: crosscheck.py QUILVAR_EXECUTABLE WORK_FOLDER
"""
import csv
import math
import os
import random
import subprocess
import sys

from scipy import stats

ALPHA = 0.05
MULT = 100000.0
AGES = ["00-19", "20-39", "40-59", "60-79", "80+"]
REF_POP = [250000, 270000, 260000, 170000, 50000]
REF_RATE = [30.0, 90.0, 400.0, 2200.0, 9000.0]  # per 100,000


def write_data(folder, rng):
    with open(os.path.join(folder, "pop.csv"), "w") as f:
        f.write("area,age,deaths,persons\n")
        for area in range(1, 41):
            factor = rng.uniform(0.6, 1.6)
            for age, rate in zip(AGES, REF_RATE):
                persons = rng.randint(300, 40000)
                mean = persons * rate / MULT * factor
                deaths = max(0, int(round(rng.gauss(mean, math.sqrt(mean) + 0.5))))
                f.write(f"{area},{age},{deaths},{persons}\n")
    with open(os.path.join(folder, "ref.csv"), "w") as f:
        f.write("age,std_pop,ref_deaths\n")
        for age, pop, rate in zip(AGES, REF_POP, REF_RATE):
            f.write(f"{age},{pop},{round(pop * rate / MULT)}\n")


PROGRAM = """
proc quilvar data=pop refdata=ref method=direct cl=gamma(type={gamma}) plots=none;
  population event=deaths total=persons;
  reference total=std_pop;
  strata age;
  by area;
run;
proc quilvar data=pop refdata=ref method=indirect cl=poisson plots=none;
  population event=deaths total=persons;
  reference event=ref_deaths total=std_pop;
  strata age;
  by area;
run;
"""


def read_rows(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def groups(folder):
    by_area = {}
    for row in read_rows(os.path.join(folder, "pop.csv")):
        by_area.setdefault(int(row["area"]), []).append(row)
    return by_area


def gamma_limits(rows, weighted_upper):
    """Directly standardized rate and its gamma limits for one area."""
    total_ref = float(sum(REF_POP))
    y = v = 0.0
    d_values = []
    for row, ref in zip(rows, REF_POP):
        n, events = float(row["persons"]), float(row["deaths"])
        w = ref / total_ref
        y += w * events / n
        v += w * w * events / (n * n)
        d_values.append(w / n)
    if weighted_upper == "largest":
        a, b = max(d_values), max(d_values) ** 2
    else:
        a, b = sum(d_values) / len(d_values), sum(d * d for d in d_values) / len(d_values)
    lower = v / (2 * y) * stats.chi2.ppf(ALPHA / 2, 2 * y * y / v)
    upper = (v + b) / (2 * (y + a)) * stats.chi2.ppf(1 - ALPHA / 2, 2 * (y + a) ** 2 / (v + b))
    return y * MULT, lower * MULT, upper * MULT


def exact_smr(rows, ref_deaths):
    observed = sum(float(r["deaths"]) for r in rows)
    expected = sum(float(r["persons"]) * d / p for r, d, p in zip(rows, ref_deaths, REF_POP))
    lower = stats.chi2.ppf(ALPHA / 2, 2 * observed) / 2 / expected
    upper = stats.chi2.ppf(1 - ALPHA / 2, 2 * (observed + 1)) / 2 / expected
    tail = stats.poisson.sf(observed - 1, expected) if observed >= expected else stats.poisson.cdf(observed, expected)
    return observed / expected, lower, upper, min(1.0, 2 * tail)


def close(got, expected, tolerance, what, failures):
    if abs(got - expected) > tolerance * max(1.0, abs(expected)):
        failures.append(f"{what}: quilvar {got!r}, expected {expected!r}")


def main():
    quilvar, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    write_data(folder, random.Random(20261208))
    areas = groups(folder)
    ref_deaths = [round(p * r / MULT) for p, r in zip(REF_POP, REF_RATE)]
    failures = []
    for gamma, variant in (("conservative", "largest"), ("average", "mean")):
        out = os.path.join(folder, "out-" + gamma)
        with open(os.path.join(folder, "program.qv"), "w") as f:
            f.write(PROGRAM.format(gamma=gamma))
        subprocess.run([quilvar, os.path.join(folder, "program.qv"), "--csv", out, "--no-listing"], check=True)
        for row in read_rows(os.path.join(out, "Quilvar.csv")):
            rate, lower, upper = gamma_limits(areas[int(row["area"])], variant)
            close(float(row["Quilvar"]), rate, 1e-10, f"area {row['area']} rate", failures)
            # The chi-square quantile stops at a relative probability error of 1e-7.
            close(float(row["LowerCL"]), lower, 1e-6, f"area {row['area']} {gamma} lower", failures)
            close(float(row["UpperCL"]), upper, 1e-6, f"area {row['area']} {gamma} upper", failures)
    smr_rows = read_rows(os.path.join(folder, "out-average", "Smr.csv"))
    for area, row in zip(sorted(areas), smr_rows):
        smr, lower, upper, p = exact_smr(areas[area], ref_deaths)
        close(float(row["Smr"]), smr, 1e-12, f"area {area} SMR", failures)
        close(float(row["SmrLcl"]), lower, 1e-6, f"area {area} SMR lower", failures)
        close(float(row["SmrUcl"]), upper, 1e-6, f"area {area} SMR upper", failures)
        # The exact p-value comes from Poisson tails computed to a tolerance of 1e-5.
        close(float(row["pValue"]), p, 1e-4, f"area {area} p-value", failures)
    for failure in failures:
        print(failure)
    print(f"{len(areas) * 2 + len(smr_rows)} estimates checked, {len(failures)} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
