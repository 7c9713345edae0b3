#!/usr/bin/env python3
"""Runs the benchmark suite for the speed table of the README and prints it (or writes it
between the table markers of README.md with --update).

Every export is timed at n = 16, 10^3, 10^5 and 10^7 on the uniform family (64 rotated
arrays for the short sizes), as the median of repeated runs, and reported in ns per
element and as a ratio to sela_sum_naive at the same n in the same run. A second table
gives the accurate sums on the wide family and on sums of condition number 1e16 and 1e32,
each as a ratio to sela_sum_naive on the same arrays, with AccSum's number of sweeps. A
third gives the exact dot product on those families (the ill-conditioned ones dotted with
1 + 2^-30), and the centered reductions as ratios to sela_dot_exact on the same n.

    python3 bench/bench_table.py [--bench build/release/bench/sela_bench] [--update README.md]
"""
import argparse
import json
import os
import re
import subprocess
import sys

SIZES = [16, 1000, 100000, 10000000]
SIZE_NAMES = {16: "16", 1000: "10^3", 100000: "10^5", 10000000: "10^7"}

# (export as written in the table, benchmark on the uniform family)
EXPORTS = [
    ("sela_sum_naive", "BM_sela_sum_naive_uniform"),
    ("sela_sum_pairwise", "BM_sela_sum_pairwise_uniform"),
    ("sela_sum_pairwise_iterative", "BM_sela_sum_pairwise_iterative_uniform"),
    ("sela_sum_kahan", "BM_sela_sum_kahan_uniform"),
    ("sela_sum_neumaier", "BM_sela_sum_neumaier_uniform"),
    ("sela_sum_klein", "BM_sela_sum_klein_uniform"),
    ("sela_sum_shewchuk", "BM_sela_sum_shewchuk_uniform"),
    ("sela_sum_exact", "BM_sela_sum_exact_uniform"),
    ("sela_sum_oro", "BM_sela_sum_oro_uniform"),
    ("sela_sum_k (K = 3)", "BM_sela_sum_k3_uniform"),
    ("sela_sum_acc", "BM_sela_sum_acc_uniform"),
    ("sela_sum_near", "BM_sela_sum_near_uniform"),
    ("sela_condition_number", "BM_sela_condition_number_uniform"),
    ("sela_dot_naive", "BM_sela_dot_naive"),
    ("sela_dot2", "BM_sela_dot2"),
    ("sela_dot_k (K = 3)", "BM_sela_dot_k3"),
    ("sela_dot_exact", "BM_sela_dot_exact_uniform"),
    ("sela_norm_scaled", "BM_sela_norm_scaled_uniform"),
    ("sela_mean_scaled", "BM_sela_mean_scaled_uniform"),
    ("sela_centered_sum_squares", "BM_sela_centered_sum_squares_uniform"),
    ("sela_centered_cross_product", "BM_sela_centered_cross_product_uniform"),
    ("sela_centered_cosine_similarity", "BM_sela_centered_cosine_similarity_uniform"),
    ("sela_centered_projection_coefficient", "BM_sela_centered_projection_coefficient_uniform"),
    ("read bound, one array", "BM_stream_read_one_array"),
    ("read bound, two arrays", "BM_stream_read_two_arrays"),
]
BASELINE = "BM_sela_sum_naive_uniform"

# The accurate sums on the hard families; the baseline is BM_oro_naive_<family>.
HARD_FAMILIES = ["wide", "cond1e16", "cond1e32"]
HARD_SUMS = [("sela_sum_exact", "oro_exact"), ("sela_sum_oro", "sela_sum_oro"), ("sela_sum_k (K = 3)", "sela_sum_k3"),
             ("sela_sum_acc", "sela_sum_acc"), ("sela_sum_near", "sela_sum_near"),
             ("sela_condition_number", "sela_condition_number")]

# The exact dot product on the hard families (BM_x_dot_exact_<family>, baseline
# BM_x_sum_naive_<family>), and the centered reductions against BM_x_dot_exact_uniform.
DOT_FAMILIES = ["uniform", "wide", "cond1e16", "cond1e32"]
CENTERED = [("sela_centered_sum_squares", "BM_x_centered_sum_squares_uniform"),
            ("sela_centered_cross_product", "BM_x_centered_cross_product_uniform"),
            ("sela_centered_cosine_similarity", "BM_x_centered_cosine_uniform"),
            ("sela_centered_projection_coefficient", "BM_x_centered_projection_uniform")]

BEGIN = "<!-- bench-table:begin -->"
END = "<!-- bench-table:end -->"


def machine():
    model, flags = "unknown processor", ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model == "unknown processor":
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags") and not flags:
                    flags = line
    except OSError:
        pass
    isa = "AVX-512" if " avx512f" in flags else ("AVX2" if " avx2" in flags else "SSE2")
    return f"{os.cpu_count()} cores, {model}, {isa}"


def run(bench, repetitions, min_time):
    names = [b for _, b in EXPORTS]
    names += [f"BM_{b}_{f}" for f in HARD_FAMILIES for _, b in HARD_SUMS]
    names += [f"BM_oro_naive_{f}" for f in HARD_FAMILIES]
    names += [f"BM_x_{b}_{f}" for f in DOT_FAMILIES for b in ("dot_exact", "sum_naive")]
    names += [b for _, b in CENTERED]
    sizes = "|".join(str(s) for s in SIZES)
    pattern = "^(" + "|".join(re.escape(n) for n in names) + ")/(" + sizes + ")$"
    cmd = [bench, f"--benchmark_filter={pattern}", f"--benchmark_repetitions={repetitions}",
           "--benchmark_report_aggregates_only=true", f"--benchmark_min_time={min_time}",
           "--benchmark_format=json"]
    print("running:", " ".join(cmd), file=sys.stderr)
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        # The median of the repetitions; a single run when there is only one.
        if b.get("aggregate_name", "median") != "median":
            continue
        name, size = b["run_name"].rsplit("/", 1)
        if b.get("run_type") == "aggregate" or (name, int(size)) not in medians:
            medians[(name, int(size))] = b
    return medians


def ns(medians, name, n):
    b = medians.get((name, n))
    return None if b is None else b["ns/elem"] * 1e9


def cell(medians, name, base, n):
    v, r = ns(medians, name, n), ns(medians, base, n)
    if v is None or r is None:
        return "—"
    return f"{v:.3g} ({v / r:.2f}x)"


def tables(medians):
    lines = [f"Measured on {machine()}; median of repeated runs, ns per element (ratio to "
             "`sela_sum_naive` at the same n in the same run), uniform data in [-1, 1).", ""]
    lines.append("| export | " + " | ".join(f"n = {SIZE_NAMES[n]}" for n in SIZES) + " |")
    lines.append("|---|" + "---|" * len(SIZES))
    for export, bench in EXPORTS:
        label = export if export.startswith("read") else f"`{export}`"
        lines.append(f"| {label} | " + " | ".join(cell(medians, bench, BASELINE, n) for n in SIZES) + " |")
    lines.append("| `sela_two_sum`, `sela_version` | no arrays | | | |")
    lines += ["", "Accurate sums on wide data (exponents over +-500) and on sums of condition number "
              "1e16 and 1e32 (GenSum style): ratio to `sela_sum_naive` on the same arrays; "
              "AccSum's sweeps in brackets.", ""]
    lines.append("| export | family | " + " | ".join(f"n = {SIZE_NAMES[n]}" for n in SIZES) + " |")
    lines.append("|---|---|" + "---|" * len(SIZES))
    for export, bench in HARD_SUMS:
        for family in HARD_FAMILIES:
            cells = []
            for n in SIZES:
                v = ns(medians, f"BM_{bench}_{family}", n)
                r = ns(medians, f"BM_oro_naive_{family}", n)
                if v is None or r is None:
                    cells.append("—")
                    continue
                text = f"{v / r:.2f}x"
                if bench == "sela_sum_acc":
                    sweeps = medians[(f"BM_{bench}_{family}", n)].get("acc_sweeps")
                    if sweeps is not None:
                        text += f" [{int(sweeps)}]"
                cells.append(text)
            lines.append(f"| `{export}` | {family} | " + " | ".join(cells) + " |")
    lines += ["", "The exact dot product on each family (the ill-conditioned sums dotted with 1 + 2^-30): "
              "ratio to `sela_sum_naive` on the same arrays. The centered reductions on uniform data: "
              "ratio to `sela_dot_exact` at the same n.", ""]
    lines.append("| export | against | " + " | ".join(f"n = {SIZE_NAMES[n]}" for n in SIZES) + " |")
    lines.append("|---|---|" + "---|" * len(SIZES))

    def ratio(name, base, n):
        v, r = ns(medians, name, n), ns(medians, base, n)
        return "—" if v is None or r is None else f"{v / r:.2f}x"

    for family in DOT_FAMILIES:
        lines.append(f"| `sela_dot_exact` | naive sum, {family} | " + " | ".join(
            ratio(f"BM_x_dot_exact_{family}", f"BM_x_sum_naive_{family}", n) for n in SIZES) + " |")
    for export, bench in CENTERED:
        lines.append(f"| `{export}` | `sela_dot_exact` | " + " | ".join(
            ratio(bench, "BM_x_dot_exact_uniform", n) for n in SIZES) + " |")
    return "\n".join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bench", default=os.path.join(here, "..", "build", "release", "bench", "sela_bench"))
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--min-time", default="0.3")
    ap.add_argument("--update", metavar="README", help="replace the table between the markers in this file")
    args = ap.parse_args()
    text = tables(run(args.bench, args.repetitions, args.min_time))
    if not args.update:
        print(text)
        return 0
    with open(args.update) as f:
        readme = f.read()
    if BEGIN not in readme or END not in readme:
        print(f"{args.update}: no {BEGIN} ... {END} markers", file=sys.stderr)
        return 2
    head, rest = readme.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(args.update, "w") as f:
        f.write(head + BEGIN + "\n" + text + "\n" + END + tail)
    return 0


if __name__ == "__main__":
    sys.exit(main())
