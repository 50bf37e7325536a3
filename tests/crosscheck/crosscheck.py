"""Independent cross-check of quilvar's estimates against SciPy.

The expected values are computed here from the published formulas that
docs/methods.md cites, with SciPy's normal, chi-square and Poisson
distributions, on data this script generates, and compared with the CSV
files quilvar writes:

- directly standardized rates with gamma limits (Fay and Feuer 1997, and
  the mean-weight upper limit of Tiwari et al. 2006) and SMRs with exact
  Poisson limits (Garwood 1936; Breslow and Day) and p-values;
- crude stratum rates and risks with normal, lognormal and exact limits;
- directly standardized rates and risks with normal and lognormal limits;
- stratum SMRs, SMRs with normal and lognormal limits and their tests, and
  indirectly standardized rates and risks with their limits;
- ratios and differences of two populations' standardized and stratum
  estimates, with limits and tests;
- Mantel-Haenszel estimates and the Mantel-Haenszel ratio's variance
  (Greenland and Robins 1985);
- attributable fractions among the exposed and in the population
  (Greenland 1987), under INDIRECT(AF) and MH(AF).

Each group of checks prints how many values it compared; a difference
names the step, the table's group of checks, the BY group, the stratum and
the column.

Usage: crosscheck.py QUILVAR_EXECUTABLE WORK_FOLDER
"""
import csv
import math
import os
import random
import shutil
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



# ---------------------------------------------------------------------------
# Every other estimate: crude stratum estimates, direct and indirect
# standardization with normal and lognormal limits, effects between two
# populations, Mantel-Haenszel estimates and attributable fractions, on data
# with two populations per area, small counts and strata without events.
# ---------------------------------------------------------------------------

class Level:
    """The ALPHA= and rate multiplier of a set of steps, with the normal quantiles."""

    def __init__(self, alpha, mult):
        self.alpha, self.mult = alpha, mult
        self.z_lo, self.z_hi = stats.norm.ppf(alpha / 2), stats.norm.ppf(1 - alpha / 2)
        # The options that set them, and a prefix naming the steps' files.
        self.options = f"alpha={alpha:g}"
        self.rate = f"rate(mult={mult:g})"
        self.prefix = "" if (alpha, mult) == (ALPHA, MULT) else f"alpha{alpha:g}-mult{mult:g}-"

# Closed forms: the program and SciPy differ only by rounding and by the
# last bits of the normal distribution functions.
CLOSED = 1e-9
# Quantities built on a chi-square quantile, which the program's search
# stops at a relative probability error of 1e-7.
QUANTILE = 1e-6
AREAS2 = range(1, 10)  # 1 to 8 generated, 9 fixed risks near 1
GROUPS2 = ("A", "B")


def write_two_populations(folder, rng):
    """Two populations per area; some strata are small or have no events, and
    the last area's risks come near 1 (limits capped at 1, a risk of 1 with
    no spread, a stratum of one individual)."""
    rows = []
    for area in AREAS2[:-1]:
        for grp in GROUPS2:
            factor = rng.uniform(0.5, 1.7) * (1.25 if grp == "A" else 1.0)
            for i, (age, rate) in enumerate(zip(AGES, REF_RATE)):
                persons = rng.randint(40, 400) if i == 0 else rng.randint(150, 30000)
                mean = persons * rate / MULT * factor
                deaths = max(0, int(round(rng.gauss(mean, math.sqrt(mean) + 0.3))))
                if i == 0 and (area % 3 == 0 and grp == "B" or area == 5 and grp == "A"):
                    deaths = 0  # no events: a zero denominator or numerator of a ratio
                if i == 1 and area == 2:
                    deaths = 1
                rows.append((area, grp, age, deaths, persons))
    high = {"A": [(49, 50), (30, 40), (5, 10), (20, 25), (60, 61)], "B": [(1, 1), (2, 3), (0, 2), (4, 9), (5, 5)]}
    for grp in GROUPS2:
        rows += [(AREAS2[-1], grp, age, d, n) for age, (d, n) in zip(AGES, high[grp])]
    with open(os.path.join(folder, "pop2.csv"), "w") as f:
        f.write("area,grp,age,deaths,persons\n")
        for row in rows:
            f.write(",".join(str(v) for v in row) + "\n")
    data = {}
    for area, grp, age, deaths, persons in rows:
        data.setdefault((area, grp), []).append((float(deaths), float(persons)))
    return data


def write_single_populations(folder, data):
    """The two-population data and an area whose groups have no events or a
    few: each group is one BY group of its own here."""
    extra = {(10, "A"): [(0, 50), (0, 70), (0, 90), (0, 110), (0, 130)],
             (10, "B"): [(0, 50), (0, 70), (1, 90), (2, 110), (0, 130)]}
    single = dict(data)
    single.update({key: [(float(d), float(n)) for d, n in strata] for key, strata in extra.items()})
    with open(os.path.join(folder, "single.csv"), "w") as f:
        f.write("area,grp,age,deaths,persons\n")
        for key in sorted(single):
            for age, (deaths, persons) in zip(AGES, single[key]):
                f.write(f"{key[0]},{key[1]},{age},{deaths:g},{persons:g}\n")
    return single


class Checker:
    """Collects differences by group of checks, naming the value that differed."""

    def __init__(self):
        self.failures = []
        self.counts = {}
        self.group = ""

    def start(self, group):
        self.group = group
        self.counts.setdefault(group, 0)

    def value(self, row, column, expected, what, rel=CLOSED, absolute=1e-11):
        """Compares one CSV field; an expected None means the field is empty."""
        self.counts[self.group] += 1
        where = f"{self.group}: {what}: {column}"
        if column not in row:
            self.failures.append(f"{where}: no such column")
            return
        text = row[column]
        if expected is None:
            if text != "":
                self.failures.append(f"{where}: quilvar {text}, expected missing")
            return
        if text == "":
            self.failures.append(f"{where}: quilvar missing, expected {expected!r}")
            return
        got = float(text)
        if not abs(got - expected) <= rel * abs(expected) + absolute:
            self.failures.append(f"{where}: quilvar {got!r}, expected {expected!r}")

    def text(self, row, column, expected, what):
        self.counts[self.group] += 1
        if row.get(column) != expected:
            self.failures.append(f"{self.group}: {what}: {column}: quilvar {row.get(column)!r}, expected {expected!r}")

    def rows(self, rows, count, what):
        if len(rows) != count:
            self.failures.append(f"{self.group}: {what}: {len(rows)} rows, expected {count}")
            return False
        return True


def run_step(check, quilvar, folder, name, program):
    """Runs one program; returns a reader of its CSV tables (a missing table reads as no rows)."""
    out = os.path.join(folder, "out-" + name)
    shutil.rmtree(out, ignore_errors=True)  # no table of an earlier run is read
    path = os.path.join(folder, name + ".qv")
    with open(path, "w") as f:
        f.write(program)
    log = os.path.join(folder, name + ".log")
    status = subprocess.run([quilvar, path, "--csv", out, "--no-listing", "--log", log], check=False).returncode
    if status != 0:
        check.failures.append(f"{name}: quilvar exited with status {status}; see {log}")

    def table(name):
        path = os.path.join(out, name + ".csv")
        return read_rows(path) if os.path.exists(path) else []
    return table


def two_sided(z):
    return 2 * stats.norm.cdf(-abs(z))


def scale(risk, lv):
    """Estimates are written per the multiplier for rates; risks and ratios as they are."""
    return 1.0 if risk else lv.mult


def crude_variance(r, n, risk):
    """W = r/n (rate) or r(1 - r)/n (risk): the variance of a crude estimate."""
    return r * (1 - r) / n if risk else r / n


def crude_limits(lv, d, n, cl, risk):
    r = d / n
    if cl == "normal":
        s = math.sqrt(crude_variance(r, n, risk))
        lower, upper = max(0.0, r + lv.z_lo * s), r + lv.z_hi * s
    elif cl == "lognormal":
        if r <= 0:
            return None, None
        s = math.sqrt(1 / (r * n) - 1 / n) if risk else math.sqrt(1 / (r * n))
        lower, upper = r * math.exp(lv.z_lo * s), r * math.exp(lv.z_hi * s)
    else:  # exact Poisson (Garwood): no limits without events
        if d <= 0:
            return None, None
        lower = stats.chi2.ppf(lv.alpha / 2, 2 * d) / 2 / n
        upper = stats.chi2.ppf(1 - lv.alpha / 2, 2 * (d + 1)) / 2 / n
    return lower, (min(1.0, upper) if risk else upper)


def check_crude(lv, check, table, data, cl, risk, method):
    """StrataStats: crude estimates, their standard errors and limits, the
    population shares and the expected events of the method."""
    k = scale(risk, lv)
    rows = table("StrataStats")
    keys = sorted(data)
    if not check.rows(rows, len(keys) * len(AGES), "StrataStats"):
        return
    estimate = "CrudeRisk" if risk else "CrudeRate"
    tolerance = QUANTILE if cl == "poisson" else CLOSED
    for row in rows:
        key = (int(row["area"]), row["grp"])
        d, n = data[key][int(row["StratumIndex"]) - 1]
        what = f"area {key[0]} {key[1]} stratum {row['StratumIndex']}"
        check.value(row, estimate, d / n * k, what)
        check.value(row, "NObsProp" if risk else "PopTimeProp", n / sum(m for _, m in data[key]), what)
        i = int(row["StratumIndex"]) - 1
        if method == "mh":
            other = data[(key[0], "B" if key[1] == "A" else "A")][i][1]
            weight = n * other / (n + other)
            check.value(row, "MHWeight", weight, what)
            check.value(row, "ExpectedEvents", d / n * weight, what)
        else:
            check.value(row, "RefNObsProp" if risk else "RefPopTimeProp", REF_POP[i] / sum(REF_POP), what)
            if method == "direct":
                check.value(row, "ExpectedEvents", d / n * REF_POP[i], what)
            else:
                reference = round(REF_POP[i] * REF_RATE[i] / MULT) / REF_POP[i]
                check.value(row, "RefCrudeRisk" if risk else "RefCrudeRate", reference * k, what)
                check.value(row, "ExpectedEvents", reference * n, what)
        if cl == "normal":  # the other limit types' tables have no standard error column
            check.value(row, "StdErr", math.sqrt(crude_variance(d / n, n, risk)) * k, what)
        lower, upper = crude_limits(lv, d, n, cl, risk)
        check.value(row, "LowerCL", None if lower is None else lower * k, what, tolerance)
        check.value(row, "UpperCL", None if upper is None else upper * k, what, tolerance)
    check.text(rows[0], "Type", {"normal": "Normal", "lognormal": "Lognormal", "poisson": "Poisson"}[cl], "StrataStats")


def direct_estimate(strata, weights, risk):
    """Standardized estimate y = sum w r and its variance, with w the shares of the weights."""
    total = sum(weights)
    y = v = 0.0
    for (d, n), w in zip(strata, weights):
        share, r = w / total, d / n
        y += share * r
        v += share * share * crude_variance(r, n, risk)
    return y, v


def standardized_limits(lv, y, v, cl, risk):
    """Normal or lognormal limits of a standardized estimate; none without events."""
    s = math.sqrt(v)
    if y <= 0:
        return None, None
    if cl == "normal":
        lower, upper = max(0.0, y + lv.z_lo * s), y + lv.z_hi * s
    else:
        lower, upper = y * math.exp(lv.z_lo * s / y), y * math.exp(lv.z_hi * s / y)
    return lower, (min(1.0, upper) if risk else upper)


def gamma_limits_of(lv, y, v, strata, weights, conservative):
    """Gamma limits (Fay and Feuer 1997; mean weights, Tiwari et al. 2006) of y = sum w r
    with the weights' shares w; none without events."""
    if y <= 0:
        return None, None
    total = sum(weights)
    unit = [w / total / n for (_, n), w in zip(strata, weights)]  # the weight of one event
    if conservative:
        a = max(unit)
        b = a * a
    else:
        a, b = sum(unit) / len(unit), sum(u * u for u in unit) / len(unit)
    lower = v / (2 * y) * stats.chi2.ppf(lv.alpha / 2, 2 * y * y / v)
    upper = (v + b) / (2 * (y + a)) * stats.chi2.ppf(1 - lv.alpha / 2, 2 * (y + a) ** 2 / (v + b))
    return lower, upper


def check_standardized(lv, check, rows, estimates, cl, risk, weight_column):
    """Quilvar/StdRisk table of two populations: y, its SE and limits."""
    k = scale(risk, lv)
    name = "StdRisk" if risk else "Quilvar"
    for row in rows:
        key = (int(row["area"]), row["grp"])
        y, v, expected_events, weights, strata = estimates[key]
        what = f"area {key[0]} {key[1]}"
        check.value(row, name, y * k, what)
        check.value(row, "ObservedEvents", sum(d for d, _ in strata), what)
        check.value(row, "CrudeRisk" if risk else "CrudeRate",
                    sum(d for d, _ in strata) / sum(n for _, n in strata) * k, what)
        check.value(row, "ExpectedEvents", expected_events, what)
        check.value(row, weight_column, sum(weights), what)
        if cl == "normal":  # the other limit types' tables have no standard error column
            check.value(row, "StdErr", math.sqrt(v) * k if y > 0 else None, what)
        if cl.startswith("gamma"):
            lower, upper = gamma_limits_of(lv, y, v, strata, weights, cl.endswith("(type=conservative)"))
            tolerance = QUANTILE
        else:
            lower, upper = standardized_limits(lv, y, v, cl, risk)
            tolerance = CLOSED
        check.value(row, "LowerCL", None if lower is None else lower * k, what, tolerance)
        check.value(row, "UpperCL", None if upper is None else upper * k, what, tolerance)


def check_effect(lv, check, rows, pairs, effect, risk, log_variance=None):
    """Effect: the two standardized estimates compared, limits and test."""
    k = scale(risk, lv)
    label = ("Risk" if risk else "Rate") + ("Ratio" if effect == "ratio" else "Diff")
    for row, area in zip(rows, AREAS2):
        (y1, v1), (y2, v2) = pairs[area]
        what = f"area {area}"
        check.value(row, "Risk" if risk else "Rate", y1 * k, what)
        check.value(row, "CompRisk" if risk else "CompRate", y2 * k, what)
        if effect == "ratio":
            ratio = y1 / y2
            se = math.sqrt(log_variance[area] if log_variance else v1 / y1 ** 2 + v2 / y2 ** 2)
            z = math.log(ratio) / se
            check.value(row, label, ratio, what)
            check.value(row, "LogRatio", math.log(ratio), what)
            check.value(row, "LowerCL", ratio * math.exp(lv.z_lo * se), what)
            check.value(row, "UpperCL", ratio * math.exp(lv.z_hi * se), what)
        else:
            diff, se = y1 - y2, math.sqrt(v1 + v2)
            z = diff / se
            check.value(row, label, diff * k, what)
            check.value(row, "LowerCL", (diff + lv.z_lo * se) * k, what)
            check.value(row, "UpperCL", (diff + lv.z_hi * se) * k, what)
            se *= k
        check.value(row, "StdErr", se, what)
        check.value(row, "Z", z, what)
        check.value(row, "ProbZ", two_sided(z), what, absolute=1e-300)


def check_strata_effect(lv, check, table, data, effect, risk):
    """StrataEffect: per stratum, the first population's crude estimate against the second's."""
    k = scale(risk, lv)
    rows = table("StrataEffect")
    if not check.rows(rows, len(AREAS2) * len(AGES), "StrataEffect"):
        return
    label = ("Risk" if risk else "Rate") + ("Ratio" if effect == "ratio" else "Diff")
    for row in rows:
        area, i = int(row["area"]), int(row["StratumIndex"]) - 1
        (d1, n1), (d2, n2) = data[(area, "A")][i], data[(area, "B")][i]
        r1, r2 = d1 / n1, d2 / n2
        w1, w2 = crude_variance(r1, n1, risk), crude_variance(r2, n2, risk)
        what = f"area {area} stratum {i + 1}"
        check.value(row, "Risk" if risk else "Rate", r1 * k, what)
        check.value(row, "CompRisk" if risk else "CompRate", r2 * k, what)
        if effect == "ratio":
            if r2 == 0:
                estimate = lower = upper = None
            elif r1 == 0:
                estimate, lower, upper = 0.0, None, None
            else:
                estimate = r1 / r2
                se = math.sqrt(w1 / r1 ** 2 + w2 / r2 ** 2)
                lower, upper = estimate * math.exp(lv.z_lo * se), estimate * math.exp(lv.z_hi * se)
        else:
            se = math.sqrt(w1 + w2)
            estimate, lower, upper = (r1 - r2) * k, (r1 - r2 + lv.z_lo * se) * k, (r1 - r2 + lv.z_hi * se) * k
        check.value(row, label, estimate, what)
        check.value(row, "LowerCL", lower, what)
        check.value(row, "UpperCL", upper, what)


def direct_runs(lv, check, quilvar, folder, data):
    ref_pop = [float(p) for p in REF_POP]
    for risk in (False, True):
        stat = "risk" if risk else "rate"
        steps = [("normal", "ratio"), ("lognormal", "diff"), ("lognormal", "ratio"), ("normal", "diff")]
        if not risk:
            steps += [("gamma", "ratio"), ("gamma(type=conservative)", "diff")]
        for cl, effect in steps:
            name = f"{lv.prefix}direct-{stat}-{cl.replace('(type=', '-').rstrip(')')}-{effect}"
            stats_cl = "normal" if cl.startswith("gamma") else cl
            table = run_step(check, quilvar, folder, name, f"""
proc quilvar data=pop2 refdata=ref method=direct stat={"risk" if risk else lv.rate} {lv.options}
             cl={cl} effect={effect} plots=none;
  population group=grp event=deaths total=persons;
  reference total=std_pop;
  strata age / stats(cl={stats_cl}) effect;
  by area;
run;
""")
            check.start(f"{name}: crude estimates")
            check_crude(lv, check, table, data, stats_cl, risk, "direct")
            check.start(f"{name}: standardized estimates")
            estimates, pairs = {}, {}
            for key, strata in data.items():
                y, v = direct_estimate(strata, ref_pop, risk)
                expected = sum(d / n * w for (d, n), w in zip(strata, ref_pop))
                estimates[key] = (y, v, expected, ref_pop, strata)
            rows = table("Quilvar" if not risk else "StdRisk")
            if check.rows(rows, len(data), "standardized table"):
                check_standardized(lv, check, rows, estimates, cl, risk, "RefNObs" if risk else "RefPopTime")
            check.start(f"{name}: effect of standardized estimates")
            for area in AREAS2:
                pairs[area] = (estimates[(area, "A")][:2], estimates[(area, "B")][:2])
            rows = table("Effect")
            if check.rows(rows, len(AREAS2), "Effect"):
                check_effect(lv, check, rows, pairs, effect, risk)
            check.start(f"{name}: stratum effects")
            check_strata_effect(lv, check, table, data, effect, risk)
    # Crude rates with exact Poisson limits, one population per BY group.
    single = write_single_populations(folder, data)
    name = f"{lv.prefix}direct-rate-poisson"
    table = run_step(check, quilvar, folder, name, f"""
proc quilvar data=single refdata=ref method=direct stat={lv.rate} {lv.options} plots=none;
  population event=deaths total=persons;
  reference total=std_pop;
  strata age / stats(cl=poisson);
  by area grp;
run;
""")
    check.start(f"{name}: crude estimates")
    check_crude(lv, check, table, single, "poisson", False, "direct")
    check.start(f"{name}: standardized estimates")
    estimates = {}
    for key, strata in single.items():
        y, v = direct_estimate(strata, ref_pop, False)
        estimates[key] = (y, v, sum(d / n * w for (d, n), w in zip(strata, ref_pop)), ref_pop, strata)
    rows = table("Quilvar")
    if check.rows(rows, len(single), "standardized table"):
        check_standardized(lv, check, rows, estimates, "normal", False, "RefPopTime")
    return single


def smr_statistics(lv, strata, ref_risks, cl, risk):
    """O, E, SMR, its SE, limits and test (normal or log) of one population."""
    observed = sum(d for d, _ in strata)
    expected = sum(n * R for (_, n), R in zip(strata, ref_risks))
    smr = observed / expected
    if risk:
        variance = sum(d * (1 - d / n) for d, n in strata) / expected ** 2
    else:
        variance = observed / expected ** 2
    se = math.sqrt(variance)
    if cl == "normal":
        lower, upper = max(0.0, smr + lv.z_lo * se), smr + lv.z_hi * se
        z = (smr - 1) / se if se > 0 else None
    elif cl == "lognormal":
        if observed <= 0:
            return observed, expected, smr, se, None, None, None
        lower, upper = smr * math.exp(lv.z_lo * se / smr), smr * math.exp(lv.z_hi * se / smr)
        z = math.log(smr) / (se / smr)
    else:
        # Without events the exact lower limit (0) is left missing, with
        # warnings 908-162 and 908-163; the upper limit is given.
        lower = stats.chi2.ppf(lv.alpha / 2, 2 * observed) / 2 / expected if observed > 0 else None
        upper = stats.chi2.ppf(1 - lv.alpha / 2, 2 * (observed + 1)) / 2 / expected
        z = None
    return observed, expected, smr, se, lower, upper, z


def population_af(lv, af_e, rr, log_variance, o_e, o_u):
    """Population attributable fraction and its limits on ln(1 - AF_p) (Greenland 1987)."""
    af_p = af_e * o_e / (o_e + o_u)
    if rr <= 1:
        return af_p, None, None
    m = rr - 1
    se = math.sqrt(af_p ** 2 / (1 - af_p) ** 2
                   * (log_variance / m ** 2 + 2 / (m * o_e) + o_u / (o_e * (o_e + o_u))))
    return af_p, 1 - (1 - af_p) * math.exp(lv.z_hi * se), 1 - (1 - af_p) * math.exp(lv.z_lo * se)


def check_af(lv, check, rows, rr, rr_lower, rr_upper, log_variance, o_e, o_u, what, exposed, tolerance):
    if not check.rows(rows, 2, what + " AttrFraction"):
        return
    check.text(rows[0], "Exposed", exposed, what + " exposed AF")

    def fraction(ratio):
        """(RR - 1)/RR; a ratio or limit of 0 (no events) or missing has none."""
        return None if ratio is None or ratio <= 0 else (ratio - 1) / ratio
    af_e = fraction(rr)
    # Without an estimate (no events) the fraction has no limits either.
    check.value(rows[0], "Estimate", af_e, what + " exposed AF")
    check.value(rows[0], "LowerCL", None if af_e is None else fraction(rr_lower), what + " exposed AF", tolerance)
    check.value(rows[0], "UpperCL", None if af_e is None else fraction(rr_upper), what + " exposed AF", tolerance)
    if af_e is None:
        check.value(rows[1], "Estimate", None, what + " population AF")
        return
    af_p, lower, upper = population_af(lv, af_e, rr, log_variance, o_e, o_u)
    check.value(rows[1], "Estimate", af_p, what + " population AF")
    check.value(rows[1], "LowerCL", lower, what + " population AF")
    check.value(rows[1], "UpperCL", upper, what + " population AF")


def indirect_runs(lv, check, quilvar, folder, data):
    ref_deaths = [float(round(p * r / MULT)) for p, r in zip(REF_POP, REF_RATE)]
    ref_risks = [d / p for d, p in zip(ref_deaths, REF_POP)]
    ref_crude = sum(ref_deaths) / sum(REF_POP)
    keys = sorted(data)
    for risk in (False, True):
        stat = "risk" if risk else "rate"
        k = scale(risk, lv)
        for cl in ("normal", "lognormal", "poisson"):
            name = f"{lv.prefix}indirect-{stat}-{cl}"
            # Stratum risks have no exact limits: their tables use normal limits (note 908-121).
            stratum_cl = "normal" if risk and cl == "poisson" else cl
            table = run_step(check, quilvar, folder, name, f"""
proc quilvar data=single refdata=ref method=indirect(af) stat={"risk" if risk else lv.rate} {lv.options}
             cl={cl} plots=none;
  population event=deaths total=persons;
  reference event=ref_deaths total=std_pop;
  strata age / stats(cl={cl}) smr(cl={cl});
  by area grp;
run;
""")
            tolerance = QUANTILE if cl == "poisson" else CLOSED
            stratum_tolerance = QUANTILE if stratum_cl == "poisson" else CLOSED
            check.start(f"{name}: crude estimates")
            check_crude(lv, check, table, data, stratum_cl, risk, "indirect")
            check.start(f"{name}: stratum SMRs")
            rows = table("StrataSMR")
            if check.rows(rows, len(keys) * len(AGES), "StrataSMR"):
                for row in rows:
                    key = (int(row["area"]), row["grp"])
                    i = int(row["StratumIndex"]) - 1
                    d, n = data[key][i]
                    what = f"area {key[0]} {key[1]} stratum {i + 1}"
                    check.value(row, "ExpectedEvents", n * ref_risks[i], what)
                    check.value(row, "Smr", d / (n * ref_risks[i]), what)
                    # A stratum without events has an SMR of 0 and no limits of any type.
                    lower, upper = crude_limits(lv, d, n, stratum_cl, risk) if d > 0 else (None, None)
                    check.value(row, "SmrLcl", None if lower is None else lower / ref_risks[i], what,
                                stratum_tolerance)
                    check.value(row, "SmrUcl", None if upper is None else upper / ref_risks[i], what,
                                stratum_tolerance)
            check.start(f"{name}: SMR and indirectly standardized estimate")
            smr_rows, std_rows = table("Smr"), table("StdRisk" if risk else "Quilvar")
            af_rows = table("AttrFraction")
            if not (check.rows(smr_rows, len(keys), "Smr") and check.rows(std_rows, len(keys), "standardized table")
                    and check.rows(af_rows, 2 * len(keys), "AttrFraction")):
                continue
            for index, (key, smr_row, std_row) in enumerate(zip(keys, smr_rows, std_rows)):
                what = f"area {key[0]} {key[1]}"
                o, e, smr, se, lower, upper, z = smr_statistics(lv, data[key], ref_risks, cl, risk)
                check.value(smr_row, "ObservedEvents", o, what)
                check.value(smr_row, "ExpectedEvents", e, what)
                check.value(smr_row, "Smr", smr, what)
                check.value(smr_row, "SmrLcl", lower, what, tolerance)
                check.value(smr_row, "SmrUcl", upper, what, tolerance)
                if cl == "poisson":
                    tail = stats.poisson.sf(o - 1, e) if o > 0 else 1.0
                    p = min(1.0, 2 * min(stats.poisson.cdf(o, e), tail))
                    # The program's Poisson tails are computed to a tolerance of 1e-5.
                    check.value(smr_row, "pValue", p, what, 1e-4, 1e-300)
                else:
                    check.value(smr_row, "Z", z, what)
                    check.value(smr_row, "ProbZ", None if z is None else two_sided(z), what, absolute=1e-300)
                check.value(std_row, "RefCrudeRisk" if risk else "RefCrudeRate", ref_crude * k, what)
                check.value(std_row, "Smr", smr, what)
                check.value(std_row, "StdRisk" if risk else "Quilvar", smr * ref_crude * k, what)
                cap = (lambda x: min(1.0, x)) if risk else (lambda x: x)
                check.value(std_row, "LowerCL", None if lower is None else lower * ref_crude * k, what, tolerance)
                check.value(std_row, "UpperCL", None if upper is None else cap(upper * ref_crude) * k, what,
                            tolerance)
                check.start(f"{name}: attributable fractions")
                check_af(lv, check, af_rows[2 * index:2 * index + 2], smr, lower, upper, (se / smr) ** 2 if o else None, o,
                         sum(ref_deaths), what, "", tolerance)
                check.start(f"{name}: SMR and indirectly standardized estimate")


def mh_runs(lv, check, quilvar, folder, data):
    for risk in (False, True):
        stat = "risk" if risk else "rate"
        k = scale(risk, lv)
        steps = [("normal", "ratio", "A"), ("lognormal", "ratio", "B"), ("normal", "diff", "A")]
        if not risk:
            steps += [("gamma", "ratio", "B"), ("gamma(type=conservative)", "diff", "A")]
        for cl, effect, exposed in steps:
            name = f"{lv.prefix}mh-{stat}-{cl.replace('(type=', '-').rstrip(')')}-{effect}"
            af = "(af)" if effect == "ratio" else ""
            table = run_step(check, quilvar, folder, name, f"""
proc quilvar data=pop2 method=mh{af} stat={"risk" if risk else lv.rate} {lv.options}
             cl={cl} effect={effect} plots=none;
  population group(exposed='{exposed}')=grp event=deaths total=persons;
  strata age / stats effect;
  by area;
run;
""")
            check.start(f"{name}: crude estimates")
            check_crude(lv, check, table, data, "normal", risk, "mh")
            check.start(f"{name}: stratum effects")
            check_strata_effect(lv, check, table, data, effect, risk)
            check.start(f"{name}: Mantel-Haenszel standardized estimates")
            estimates, pairs, log_variance = {}, {}, {}
            for area in AREAS2:
                first, second = data[(area, "A")], data[(area, "B")]
                weights = [n1 * n2 / (n1 + n2) for (_, n1), (_, n2) in zip(first, second)]
                for grp, strata in (("A", first), ("B", second)):
                    y, v = direct_estimate(strata, weights, risk)
                    expected = sum(d / n * w for (d, n), w in zip(strata, weights))
                    estimates[(area, grp)] = (y, v, expected, weights, strata)
                pairs[area] = (estimates[(area, "A")][:2], estimates[(area, "B")][:2])
                # Greenland and Robins (1985): variance of the log MH ratio.
                p = sum(w * a / n1 for w, (a, n1) in zip(weights, first))
                q = sum(w * b / n2 for w, (b, n2) in zip(weights, second))
                numerator = 0.0
                for w, (a, n1), (b, n2) in zip(weights, first, second):
                    numerator += w * (a + b) / (n1 + n2) - (a * b / (n1 + n2) if risk else 0.0)
                log_variance[area] = numerator / (p * q)
            rows = table("StdRisk" if risk else "Quilvar")
            if check.rows(rows, 2 * len(AREAS2), "standardized table"):
                check_standardized(lv, check, rows, estimates, cl, risk, "MHWeight")
            check.start(f"{name}: Mantel-Haenszel effect")
            rows = table("Effect")
            if check.rows(rows, len(AREAS2), "Effect"):
                check_effect(lv, check, rows, pairs, effect, risk, log_variance if effect == "ratio" else None)
            if not af:
                continue
            check.start(f"{name}: attributable fractions")
            rows = table("AttrFraction")
            if not check.rows(rows, 2 * len(AREAS2), "AttrFraction"):
                continue
            for index, area in enumerate(AREAS2):
                (y1, _), (y2, _) = pairs[area]
                rr = y1 / y2 if exposed == "A" else y2 / y1
                se = math.sqrt(log_variance[area])
                o_e = sum(d for d, _ in data[(area, exposed)])
                o_u = sum(d for d, _ in data[(area, "B" if exposed == "A" else "A")])
                check_af(lv, check, rows[2 * index:2 * index + 2], rr, rr * math.exp(lv.z_lo * se), rr * math.exp(lv.z_hi * se),
                         log_variance[area], o_e, o_u, f"area {area}", exposed, CLOSED)


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
    print(f"gamma limits and exact SMRs: {len(areas) * 2 + len(smr_rows)} estimates checked, "
          f"{len(failures)} differences")
    check = Checker()
    data = write_two_populations(folder, random.Random(20261209))
    # The default level, and another ALPHA= and multiplier.
    for lv in (Level(ALPHA, MULT), Level(0.1, 1000.0)):
        single = direct_runs(lv, check, quilvar, folder, data)
        indirect_runs(lv, check, quilvar, folder, single)
        mh_runs(lv, check, quilvar, folder, data)
    for group, count in check.counts.items():
        print(f"{group}: {count} values checked")
    failures += check.failures
    for failure in failures:
        print(failure)
    print(f"{len(failures)} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
