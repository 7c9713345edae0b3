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

With --peer it runs the BM_p_ benchmarks of bench/peer_bench.cpp instead and prints the
table of sela against its peer (the plain exact accumulator of bench/peer_accumulator.h)
for every figure that has a target, each as a ratio to sela_sum_naive on the same arrays
in the same run (absolute ns for the accumulator's short call and merge); --update then
rewrites the table between the peer-table markers.
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
PEER_BEGIN = "<!-- peer-table:begin -->"
PEER_END = "<!-- peer-table:end -->"

# sela against the peer (bench/peer_bench.cpp): (figure, sela benchmark, peer benchmarks
# (the faster one counts), families, {n: target}). Ratios to BM_p_sum_naive_<family>.
FAMILIES = ["uniform", "wide", "cond1e16", "cond1e32"]
PLAIN, HARD = ["uniform", "wide"], ["cond1e16", "cond1e32"]
PEER_SUMS = ["peer_sum_small", "peer_sum_large"]
PEER_DOTS = ["peer_dot_small", "peer_dot_large"]
PEER_ROWS = [
    ("`sela_sum_exact`", "sela_sum_exact", PEER_SUMS, PLAIN,
     {16: "<= 2.5x", 1000: "<= 0.8x", 100000: "<= 0.6x", 10000000: "<= 0.6x"}),
    ("`sela_sum_exact`", "sela_sum_exact", PEER_SUMS, HARD,
     {16: "<= 6x", 1000: "<= 2.0x", 100000: "<= 1.2x", 10000000: "<= 1.2x"}),
    ("`sela_sum_near`", "sela_sum_near", PEER_SUMS, PLAIN,
     {16: "<= 2.5x", 1000: "<= 0.8x", 100000: "<= 0.6x", 10000000: "<= 0.6x"}),
    ("`sela_sum_near`", "sela_sum_near", PEER_SUMS, HARD,
     {16: "<= 6x", 1000: "<= 2.0x", 100000: "<= 1.2x", 10000000: "<= 1.2x"}),
    ("`sela_dot_exact` (x . (1 + 2^-30))", "sela_dot_exact", PEER_DOTS, PLAIN,
     {16: "", 1000: "<= 1.0x", 100000: "", 10000000: "<= 1.0x"}),
    ("`sela_dot_exact` (x . (1 + 2^-30))", "sela_dot_exact", PEER_DOTS, HARD,
     {16: "", 1000: "<= 3.0x", 100000: "", 10000000: "<= 1.5x"}),
    ("`sela_dot2` (x . (1 + 2^-30))", "sela_dot2", [], HARD, {16: "", 1000: "", 100000: "<= 2.0x", 10000000: ""}),
    ("of which the declining vector kernel", "dot2_kernel", [], HARD, {}),
    ("floor of the scalar Dot2 after it (two dependent additions per element)", "dot2_chain_floor", [], HARD, {}),
    ("`sela_condition_number`", "sela_condition_number", [], FAMILIES,
     {16: "", 1000: "<= 1.3x", 100000: "<= 1.3x", 10000000: "<= 1.3x"}),
]
# Absolute times per call (n = 16 for the short call; records of 10^4 values merged).
PEER_CALLS = [
    ("accumulator init + add of 16 + round", "sela_acc_short", "peer_acc_short", "/16", "<= 130 ns"),
    ("accumulator merge", "sela_acc_merge", "peer_acc_merge", "", "<= 100 ns"),
]
# Ratios to the exact dot product of the same pairs of uniform arrays.
PEER_CENTERED = [("`sela_centered_cosine_similarity`", "pairs_centered_cosine"),
                 ("`sela_centered_projection_coefficient`", "pairs_centered_projection")]


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


def run_filter(bench, pattern, repetitions, min_time, family=None):
    cmd = [bench, f"--benchmark_filter={pattern}", f"--benchmark_repetitions={repetitions}",
           "--benchmark_report_aggregates_only=true", f"--benchmark_min_time={min_time}",
           "--benchmark_format=json"]
    env = dict(os.environ)
    if family is not None:
        env["SELA_BENCH_FAMILY"] = family
    print("running:", f"SELA_BENCH_FAMILY={family}" if family else "", " ".join(cmd), file=sys.stderr)
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, env=env).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        # The median of the repetitions; a single run when there is only one.
        if b.get("aggregate_name", "median") != "median":
            continue
        if b.get("error_occurred"):
            continue
        medians[b["run_name"]] = b
    return medians


def ratio_to_naive(m, name, family, n):
    v, r = m.get(f"BM_p_{name}_{family}/{n}"), m.get(f"BM_p_sum_naive_{family}/{n}")
    return None if v is None or r is None else v["ns/elem"] / r["ns/elem"]


def fmt_ratio(x):
    return "—" if x is None else f"{x:.2f}x"


def target_rows(runs, only=None):
    """The header and rows of PEER_ROWS (those named in `only`, if given) over the runs'
    medians: each cell sela's ratio in every run, then the peer's (in the last run), then
    the target."""
    lines = ["| figure | family | " + " | ".join(f"n = {SIZE_NAMES[n]}" for n in SIZES) + " |",
             "|---|---|" + "---|" * len(SIZES)]
    for figure, sela, peers, families, targets in PEER_ROWS:
        if only is not None and sela not in only:
            continue
        for family in families:
            cells = []
            for n in SIZES:
                text = " / ".join(fmt_ratio(ratio_to_naive(m, sela, family, n)) for m in runs)
                theirs = [x for x in (ratio_to_naive(runs[-1], p, family, n) for p in peers) if x is not None]
                if peers:
                    text += " / peer " + fmt_ratio(min(theirs) if theirs else None)
                if targets.get(n):
                    text += f" (target {targets[n]})"
                cells.append(text)
            lines.append(f"| {figure} | {family} | " + " | ".join(cells) + " |")
    return lines


def peer_table(m):
    def per_elem(name):
        b = m.get(name)
        return None if b is None else b["ns/elem"] * 1e9

    lines = [f"Measured on {machine()}; medians of repeated runs. Each cell: sela's ratio to "
             "`sela_sum_naive` on the same arrays in the same run, then the peer's (the faster of "
             "its small and large accumulators), then the target. Families: uniform in [-1, 1), "
             "wide (exponents over +-500), GenSum-style sums of condition 1e16 and 1e32; dot "
             "products are those arrays dotted with 1 + 2^-30.", ""]
    lines += target_rows([m])
    for figure, bench in PEER_CENTERED:
        cells = []
        for n in SIZES:
            v, r = per_elem(f"BM_p_{bench}_uniform/{n}"), per_elem(f"BM_p_pairs_dot_exact_uniform/{n}")
            cells.append(("—" if v is None or r is None else f"{v / r:.2f}x") + " of `sela_dot_exact` (target <= 3x)")
        lines.append(f"| {figure} | uniform pairs | " + " | ".join(cells) + " |")
    lines += ["", "Per call, ns (the accumulator; merges of records holding 10^4 values each):", ""]
    lines.append("| figure | " + " | ".join(FAMILIES) + " | target |")
    lines.append("|---|" + "---|" * (len(FAMILIES) + 1))
    for figure, sela, peer, suffix, target in PEER_CALLS:
        cells = []
        for family in FAMILIES:
            own, theirs = m.get(f"BM_p_{sela}_{family}{suffix}"), m.get(f"BM_p_{peer}_{family}{suffix}")
            if own is None or theirs is None:
                cells.append("—")
            else:
                cells.append(f"{own['cpu_time']:.0f} / peer {theirs['cpu_time']:.0f}")
        lines.append(f"| {figure} | " + " | ".join(cells) + f" | {target} |")
    return "\n".join(lines)


# The rows with targets, for --families: every family's run times these only.
FAMILY_ROWS = ["sum_naive", "sela_sum_exact", "sela_sum_near", "peer_sum_small", "peer_sum_large",
               "sela_dot_exact", "peer_dot_small", "peer_dot_large", "sela_condition_number"]


def families_table(runs):
    """runs: [(family, medians)], each from its own process of sela_family_bench."""
    names = " / ".join(f for f, _ in runs)
    lines = [f"Measured on {machine()}; medians of repeated runs; each kernel family in its own "
             "process of sela_family_bench (SELA_BENCH_FAMILY). Each cell: sela's ratio to "
             f"`sela_sum_naive` on the same arrays in the same run for {names}, then the peer's "
             "(the faster of its accumulators, in the last family's run), then the target.", ""]
    lines += target_rows([m for _, m in runs], FAMILY_ROWS)
    return "\n".join(lines)


def run(bench, repetitions, min_time):
    names = [b for _, b in EXPORTS]
    names += [f"BM_{b}_{f}" for f in HARD_FAMILIES for _, b in HARD_SUMS]
    names += [f"BM_oro_naive_{f}" for f in HARD_FAMILIES]
    names += [f"BM_x_{b}_{f}" for f in DOT_FAMILIES for b in ("dot_exact", "sum_naive")]
    names += [b for _, b in CENTERED]
    sizes = "|".join(str(s) for s in SIZES)
    pattern = "^(" + "|".join(re.escape(n) for n in names) + ")/(" + sizes + ")$"
    medians = {}
    for run_name, b in run_filter(bench, pattern, repetitions, min_time).items():
        name, size = run_name.rsplit("/", 1)
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
    ap.add_argument("--peer", action="store_true", help="the table of sela against its peer (bench/peer_bench.cpp)")
    ap.add_argument("--families", metavar="LIST",
                    help="with --peer and --bench sela_family_bench: the rows with targets, once per kernel "
                         "family of the comma-separated list (native, avx2, scalar), side by side")
    args = ap.parse_args()
    if args.peer and args.families:
        pattern = "^BM_p_(" + "|".join(FAMILY_ROWS) + ")_"
        runs = [(f, run_filter(args.bench, pattern, args.repetitions, args.min_time, f))
                for f in args.families.split(",")]
        print(families_table(runs))
        return 0
    if args.peer:
        text = peer_table(run_filter(args.bench, "^BM_p_", args.repetitions, args.min_time))
        begin, end = PEER_BEGIN, PEER_END
    else:
        text = tables(run(args.bench, args.repetitions, args.min_time))
        begin, end = BEGIN, END
    if not args.update:
        print(text)
        return 0
    with open(args.update) as f:
        readme = f.read()
    if begin not in readme or end not in readme:
        print(f"{args.update}: no {begin} ... {end} markers", file=sys.stderr)
        return 2
    head, rest = readme.split(begin, 1)
    _, tail = rest.split(end, 1)
    with open(args.update, "w") as f:
        f.write(head + begin + "\n" + text + "\n" + end + tail)
    return 0


if __name__ == "__main__":
    sys.exit(main())
