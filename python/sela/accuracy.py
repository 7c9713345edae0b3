"""Relative error of every summation grade against the condition number.

    python3 -m sela.accuracy --out accuracy.png [--n 1000] [--points 81] [--seed 1]

Draws, on log-log axes, |computed - exact| / |exact| for each method of sela.sum over
sums from sela.gensum with condition numbers from 1 to 1e40. Errors of zero (the exact
result) are drawn on the bottom line. Needs matplotlib (Debian: python3-matplotlib);
--csv prints the numbers instead and needs nothing.
"""

import argparse
import math
import sys
from fractions import Fraction

import sela

# Method, K for the cascade, label.
METHODS = [(m, 3 if m == "k" else None, "k (K=3)" if m == "k" else m) for m in sela.SUM_METHODS]
FLOOR = 1e-18  # where exact results are drawn


def relative_error(got, exact):
    if got == exact:
        return 0.0
    if not math.isfinite(got):
        return math.inf
    return float(abs(Fraction(got) - Fraction(exact)) / abs(Fraction(exact)))


def measure(n, points, seed, top=40.0):
    """Rows of (condition number, {label: relative error})."""
    rows = []
    for i in range(points):
        target = 10.0 ** (top * i / (points - 1))
        data, exact = sela.gensum(n, target, seed + i)
        if exact == 0.0:
            continue
        cond = float(sum(Fraction(abs(x)) for x in data) / abs(Fraction(exact)))
        errors = {label: relative_error(sela.sum(data, m, k=k), exact) for m, k, label in METHODS}
        rows.append((cond, errors))
    return rows


def plot(rows, out, n):
    try:
        import matplotlib
    except ImportError:
        print("sela.accuracy: matplotlib is not installed, so no plot was drawn "
              "(Debian: apt-get install python3-matplotlib; or use --csv)", file=sys.stderr)
        return 1
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 6))
    conds = [c for c, _ in rows]
    markers = "o^sv<>dDpPhX*"
    for j, (_, _, label) in enumerate(METHODS):
        errs = [max(min(e[label], 1e30), FLOOR) for _, e in rows]
        ax.loglog(conds, errs, marker=markers[j % len(markers)], markersize=3, linewidth=1,
                  color=plt.get_cmap("tab20")(j % 20), label=label)
    u = 2.0 ** -53
    ax.loglog(conds, [max(c * u, FLOOR) for c in conds], "k--", linewidth=0.8, label="cond * u")
    ax.loglog(conds, [max(c * u * u, FLOOR) for c in conds], "k:", linewidth=0.8,
              label="cond * u^2")
    ax.loglog(conds, [max(c * u ** 3, FLOOR) for c in conds], "k-.", linewidth=0.8,
              label="cond * u^3")
    ax.axhline(u, color="grey", linewidth=0.6)
    ax.set_xlabel("condition number  sum|x| / |sum x|")
    ax.set_ylabel("relative error (exact results on the bottom line)")
    ax.set_title(f"sela {sela.__version__}: relative error of each summation, n = {n}")
    ax.set_ylim(FLOOR / 3, 1e31)
    ax.legend(fontsize=8, ncol=2, loc="upper left")
    ax.grid(True, which="major", linewidth=0.3)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m sela.accuracy", description=__doc__.split("\n")[0])
    p.add_argument("--out", help="PNG file to write")
    p.add_argument("--csv", action="store_true", help="print the errors as CSV instead")
    p.add_argument("--n", type=int, default=1000, help="elements per sum (default 1000)")
    p.add_argument("--points", type=int, default=81, help="condition numbers (default 81)")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args(argv)
    if not args.out and not args.csv:
        p.error("give --out FILE.png or --csv")
    if args.n < 2 or args.points < 2:
        p.error("--n and --points must be at least 2")
    rows = measure(args.n, args.points, args.seed)
    if args.csv:
        labels = [label for _, _, label in METHODS]
        print(",".join(["cond"] + labels))
        for cond, errs in rows:
            print(",".join([repr(cond)] + [repr(errs[label]) for label in labels]))
        return 0
    return plot(rows, args.out, args.n)


if __name__ == "__main__":
    sys.exit(main())
