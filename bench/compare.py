#!/usr/bin/env python3
"""Runs the benchmark pairs that bench/compare.sh lists and writes the report.

bench/compare.sh holds the tables (what is compared, with which program) and
hands them over in the environment (KELCACHE_COMPARE_PATHS,
KELCACHE_COMPARE_FAMILIES); run it, not this file. This file:
  1. runs every family's sides in the order A, B, B, A (A: kelcache's
     benchmarks, B: the baselines), each run with Google Benchmark
     repetitions, keeping each run's JSON output under --runs;
  2. takes, for each benchmark, the median of its metric over every
     repetition of every run of its side;
  3. writes compare.json, docs/PERFORMANCE.md and, with --plots, the PNG
     plots (gnuplot).
"""

import argparse
import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
from dataclasses import dataclass, field

QUICK = {"repetitions": 3, "min_time": "0.1", "callers": "1|2|4|8"}
FULL = {"repetitions": 5, "min_time": "0.5", "callers": "1|2|4|8|16"}
RUN_TIMEOUT_S = 1800

WHERE_BEGIN = "<!-- where-the-time-goes: begin (kept by compare.sh across runs) -->"
WHERE_END = "<!-- where-the-time-goes: end -->"
WHERE_PLACEHOLDER = """_To be written by a person who has read the figures and profiles: for each
unmet target, where kelcache's time goes that the baseline does not spend
(hand-overs, allocations, locks, copies, system calls), with the evidence
(perf, the Client/* and Overhead/* benchmarks, the latency histogram)._"""

# What each family's paths measure, for docs/PERFORMANCE.md.
FAMILY_NOTES = {
    "redis": (
        "Redis store and load",
        """`bench_RedisExternalCacheBench`, against a private redis-server on a loopback port
(persistence off) that the program starts. kelcache: `RedisExternalCache::TryStore(key, value,
...).Get()` and `TryLoad(key).Get()` from 1 to 16 callers, each on its own 64 keys (a task
hand-over, the frame's thresholds and concurrency slot, a pooled connection, SET or GET, the
event). Baseline: raw hiredis, one connection per caller, SET or GET of the same physical keys,
one request and its response at a time (no pipelining), the read buffer set as kelcache sets it.
`-cN` is N callers; figures are operations per second of all callers together. The plots add
`redis-benchmark -P 1` with as many clients, the server's own limit on this machine.""",
    ),
    "disk": (
        "Disk store and load",
        """`bench_ExternalCacheBench`. kelcache: `DiskExternalCache::TryStore(...).Get()` and
`TryLoad(...).Get()` of one value under 64 keys in turn (a task hand-over, the entry lock, the
key file and the value file, the event). Baseline: the value bytes alone on the calling thread:
a store writes a temporary file and renames it over the entry's `.bin` (the same atomic
replacement), a load opens, fstats, reads and closes the whole `.bin`. Sizes 4 KiB, 64 KiB,
1 MiB; figures are operations per second. The files live under the system's temporary folder.""",
    ),
    "tls": (
        "Redis over TLS",
        """`bench_RedisTlsBench`, against one private redis-server that listens on a plain port and
a TLS port (certificates made by the program). kelcache over TLS (`tls=on`, the test CA) against
the same client over the plain port: `FindAndLockPooledConnection` and one `SET` or `GET` of 4
KiB per operation, from 1 and 8 callers, each on its own 64 keys, `connections=16`. The ratio is
the cost of the encryption: TLS speed over plain speed. Figures are operations per second of all
callers together.""",
    ),
    "coherence": (
        "Coherence",
        """`bench_CoherenceBench`. One delivery on each side, between two processes (the program
starts itself again as the publisher). kelcache: from `RedisPubsub::OnAdded` of a newer value in
process A to `ICoherentCache::OnDirty` of the stale entry in process B. B runs the process-wide
service; A runs a service that publishes as the process-wide one does (the subscription manager's
`TryPublish`) but does not subscribe, so the message is delivered once, as on the raw side.
Baseline: `PUBLISH` on one hiredis connection in A to the message read by a thread of B on its
own connection holding a `PSUBSCRIBE`, as the service's subscription does. Start and arrival are
read from the machine's monotonic clock; one message is in flight at a time. The figure is the
median per-message latency (p50); the ratio is baseline latency over kelcache's. The program
also measures `Propagation/ServiceWithOwnDelivery`, with the process-wide service in A as well,
whose subscription then receives A's own message too (see "Where the time goes").""",
    ),
    "handoff": (
        "Hand-off",
        """`bench_HandoffBench`. kelcache: `AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous,
[] { return 1; }).Get()` from one caller, the hand-over every external-cache operation pays.
Baseline: two threads playing ping-pong over a bare mutex, condition variable and turn flag, one
round trip per operation. Figures are round trips per second. The histogram plot times 20,000
round trips of each one by one.""",
    ),
    "steady": (
        "Thread creations under a steady load",
        """`bench_RedisExternalCacheBench`, `SteadyThreadCreations`: 8 callers store and load 4 KiB
values through `RedisExternalCache` for 3 s of warm-up, then 10 s during which the count of OS
threads made by the task machinery (`AsyncTask::GetThreadsCreated()`) must not grow. One run.""",
    ),
    "synchronized": (
        "Thread-safe in-memory cache",
        """`bench_SynchronizedCacheBench`: a `SynchronizedIndexedCache` (MRU policy that never
evicts, one index "Key", one entry per key) against LevelDB's `NewLRUCache` (room for four
times the population) holding the same objects under the same keys; `-tN` is N threads, each
walking its own stretch of one shuffled order of all keys. Indexed lookup:
`TryGetEntry(predicate)` through the index against LevelDB `Lookup` + `Release` by the key's
text. Replacement: `AddEntryAndDeleteExistingEntriesItMatches` (find the old entry by content,
judge it, delete it, index the new one) against LevelDB `Insert` of a key that is present (a
different, smaller piece of work: no search by content, no index). By id: `TryGetEntry(id)`
against LevelDB `Lookup` by the key's 4 bytes.""",
    ),
    "memory": (
        "Indexed lookup as the cache grows",
        """`bench_MemoryCacheBench`, `IndexedCache::UseEntry(predicate)` through a "Group" index (ten
entries per group), asking for every group once in a random order: kelcache's own cost at 10^6
entries against its cost at 10^3. The ratio is the speed at 10^6 over the speed at 10^3 (1.0:
no growth).""",
    ),
}


@dataclass
class Path:
    name: str
    family: str
    kelcache: str
    baseline: str  # "" when none
    metric: str
    target: float
    is_count: bool

    @property
    def lower_is_better(self):
        return self.metric.endswith("_us") or self.metric.endswith("_ns")


@dataclass
class Family:
    name: str
    program: str
    runs: str  # ABBA, once or plots
    extra: dict  # side ("A"/"B") -> regular expression, or ""
    paths: list = field(default_factory=list)


def parse_table(text):
    rows = []
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        rows.append([cell.strip() for cell in line.split("|")])
    return rows


def read_tables():
    paths = []
    for row in parse_table(os.environ["KELCACHE_COMPARE_PATHS"]):
        name, family, kelcache, baseline, metric, target = row
        is_count = target.startswith("max")
        paths.append(Path(name, family, kelcache, "" if baseline == "-" else baseline, metric,
                          float(target.split()[-1]), is_count))
    families = {}
    # The extra expressions contain "|", so a family line is split into its
    # first three cells and the rest, which holds side A's and side B's
    # expressions separated by the first " | " with spaces around it.
    for line in os.environ["KELCACHE_COMPARE_FAMILIES"].splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, program, runs, rest = [cell.strip() for cell in line.split("|", 3)]
        extra_a, extra_b = [cell.strip() for cell in re.split(r"\s+\|\s+", rest, maxsplit=1)]
        families[name] = Family(name, program, runs,
                                {"A": "" if extra_a == "-" else extra_a, "B": "" if extra_b == "-" else extra_b})
    for path in paths:
        if path.family not in families:
            sys.exit(f"compare: path {path.name} names an unknown family {path.family}")
        families[path.family].paths.append(path)
    return paths, families


def side_filter(family, side, settings):
    names = [p.kelcache if side == "A" else p.baseline for p in family.paths]
    parts = [re.escape(n) for n in names if n]
    if family.extra[side]:
        parts.append(family.extra[side].replace("CALLERS", settings["callers"]))
    return "^(" + "|".join(parts) + ")$" if parts else ""


def run_side(args, family, side, index, settings, log):
    """Runs one side of a family once; returns the benchmark entries or None."""
    pattern = side_filter(family, side, settings)
    if not pattern:
        return []
    output = os.path.join(args.runs, f"{family.name}-{index}{side}.json")
    repetitions = settings["repetitions"] if family.runs == "ABBA" else 1
    command = [os.path.join(args.programs, family.program), f"--benchmark_filter={pattern}",
               f"--benchmark_repetitions={repetitions}", f"--benchmark_min_time={settings['min_time']}",
               f"--benchmark_out={output}", "--benchmark_out_format=json"]
    if family.program == "bench_HandoffBench" and family.runs == "plots":
        command.append(f"--handoff_histogram_dir={args.runs}")
    print(f"compare: {family.name} run {index}{side} ({family.program})", flush=True)
    with open(os.path.join(args.runs, f"{family.name}-{index}{side}.log"), "w") as console:
        try:
            result = subprocess.run(command, stdout=console, stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT_S,
                                    cwd=args.root)
        except subprocess.TimeoutExpired:
            log.append(f"{family.name} run {index}{side}: timed out after {RUN_TIMEOUT_S} s")
            return None
    if result.returncode != 0 or not os.path.exists(output):
        log.append(f"{family.name} run {index}{side}: exit status {result.returncode} "
                   f"(see {os.path.relpath(console.name, args.root)})")
        return None
    with open(output) as f:
        benchmarks = json.load(f)["benchmarks"]
    for entry in benchmarks:
        if entry.get("error_occurred"):
            log.append(f"{family.name} run {index}{side}: {entry['name']}: {entry.get('error_message')}")
    return benchmarks


def run_all(args, families, settings, log):
    """(family, benchmark name) -> every repetition's entry, over all runs."""
    results = {}
    for family in families.values():
        if family.runs == "plots" and not args.plots:
            continue
        order = {"ABBA": "ABBA", "once": "A", "plots": "A"}[family.runs]
        for index, side in enumerate(order, start=1):
            for entry in run_side(args, family, side, index, settings, log) or []:
                if entry.get("run_type", "iteration") != "iteration" or entry.get("error_occurred"):
                    continue
                results.setdefault((family.name, entry["run_name"] if "run_name" in entry else entry["name"]),
                                   []).append(entry)
    return results


def figure(results, family, name, metric, combine=statistics.median):
    values = [entry[metric] for entry in results.get((family, name), []) if metric in entry]
    return combine(values) if values else None


def evaluate(paths, results):
    rows = []
    for path in paths:
        if path.is_count:
            value = figure(results, path.family, path.kelcache, path.metric, combine=max)
            rows.append({"path": path, "value": None if value is None else int(value)})
            continue
        kelcache = figure(results, path.family, path.kelcache, path.metric)
        baseline = figure(results, path.family, path.baseline, path.metric)
        ratio = None
        if kelcache and baseline:
            ratio = baseline / kelcache if path.lower_is_better else kelcache / baseline
        row = {"path": path, "kelcache": kelcache, "baseline": baseline, "ratio": ratio}
        if path.metric == "p50_us":
            # The tail beside the median: the same runs' p99, for the document only.
            row["p99"] = (figure(results, path.family, path.kelcache, "p99_us"),
                          figure(results, path.family, path.baseline, "p99_us"))
        rows.append(row)
    return rows


def write_json(rows, destination):
    out = []
    for row in rows:
        path = row["path"]
        if path.is_count:
            out.append({"path": path.name, "value": row["value"], "max": int(path.target)})
        else:
            out.append({"path": path.name, "kelcache": row["kelcache"], "baseline": row["baseline"],
                        "ratio": None if row["ratio"] is None else round(row["ratio"], 4), "target": path.target})
    os.makedirs(os.path.dirname(destination), exist_ok=True)
    with open(destination, "w") as f:
        json.dump(out, f, indent=2)
        f.write("\n")


# ---- The machine ----

def command_output(command):
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def machine():
    lscpu = command_output(["lscpu"])
    model = re.search(r"^Model name:\s*(.+)$", lscpu, re.M)
    cpus = re.search(r"^CPU\(s\):\s*(.+)$", lscpu, re.M)
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            kib = int(re.search(r"MemTotal:\s*(\d+)", f.read()).group(1))
            memory = f"{kib / 1024 / 1024:.1f} GiB"
    except (OSError, AttributeError):
        pass
    compiler = command_output(["c++", "--version"])
    return {
        "model": model.group(1) if model else "unknown",
        "cpus": cpus.group(1) if cpus else str(os.cpu_count()),
        "memory": memory or "unknown",
        "compiler": compiler.splitlines()[0] if compiler else "unknown compiler",
        "kernel": command_output(["uname", "-sr"]),
    }


# ---- Formatting ----

def format_value(value, metric):
    if value is None:
        return "n/a"
    if metric == "items_per_second":
        for limit, suffix in ((1e6, " M"), (1e3, " k")):
            if value >= limit:
                return f"{value / limit:.3g}{suffix} ops/s"
        return f"{value:.3g} ops/s"
    if metric.endswith("_us"):
        return f"{value:.1f} µs"
    if metric.endswith("_ns"):
        return f"{value:.0f} ns"
    return f"{value:g}"


def met(row):
    path = row["path"]
    if path.is_count:
        return "no data" if row["value"] is None else ("yes" if row["value"] <= path.target else "no")
    return "no data" if row["ratio"] is None else ("yes" if row["ratio"] >= path.target else "no")


def kept_where_section(doc):
    if os.path.exists(doc):
        with open(doc) as f:
            text = f.read()
        begin, end = text.find(WHERE_BEGIN), text.find(WHERE_END)
        if begin >= 0 and end > begin:
            return text[begin + len(WHERE_BEGIN):end].strip("\n")
    return WHERE_PLACEHOLDER


def earlier_plots(plot_dir):
    """The PNG files left in plot_dir by an earlier run, with their times."""
    if not os.path.isdir(plot_dir):
        return []
    files = sorted(f for f in os.listdir(plot_dir) if f.endswith(".png"))
    return [(f, datetime.datetime.fromtimestamp(os.path.getmtime(os.path.join(plot_dir, f))).astimezone())
            for f in files]


def write_doc(args, rows, families, settings, info, load_before, load_after, started, log, plots):
    where = kept_where_section(args.doc)
    pairs = [r for r in rows if not r["path"].is_count]
    counts = [r for r in rows if r["path"].is_count]
    lines = [
        "# Performance",
        "",
        "Written by `bench/compare.sh`; do not edit by hand except the section \"Where the time goes\", "
        "which the script keeps from one run to the next. How the benchmarks are built and run alone: "
        "[benchmarks.md](benchmarks.md).",
        "",
        "## This run",
        "",
        f"- Date: {started:%Y-%m-%d %H:%M %Z}".rstrip(),
        f"- Command: `{args.command.strip()}`" + (" (quick: fewer, shorter repetitions)" if args.quick else ""),
        f"- Method: each family's kelcache benchmarks (A) and baselines (B) run in the order A, B, B, A, "
        f"{settings['repetitions']} repetitions per run, at least {settings['min_time']} s each (benchmarks "
        "with a fixed iteration count excepted); a figure is the median over every repetition of its side. "
        "Release build (`-O3 -DNDEBUG`), Google Benchmark 1.7.1 (Debian's package, which calls itself a debug "
        "build; that affects the harness, not the code measured).",
        f"- Machine: {info['model']}, {info['cpus']} CPUs, {info['memory']} RAM; {info['kernel']}; {info['compiler']}",
        f"- Load (uptime) before: `{load_before}`",
        f"- Load (uptime) after: `{load_after}`",
        "",
        "The machine is shared: when the load average is near or above the number of CPUs, read the ratios "
        "as indications, not measurements.",
        "",
        "## Results",
        "",
        "Ratio: kelcache's speed over the baseline's (higher is better; for latencies, the baseline's latency "
        "over kelcache's). Met: the ratio reaches the target.",
        "",
        "| path | kelcache | baseline | ratio | target | met? |",
        "|---|---|---|---|---|---|",
    ]
    for row in pairs:
        path = row["path"]
        ratio = "n/a" if row["ratio"] is None else f"{row['ratio']:.2f}"
        lines.append(f"| {path.name} | {format_value(row['kelcache'], path.metric)} | "
                     f"{format_value(row['baseline'], path.metric)} | {ratio} | ≥ {path.target:g} | {met(row)} |")
    if counts:
        lines += ["", "| count | value | max | met? |", "|---|---|---|---|"]
        for row in counts:
            path = row["path"]
            value = "n/a" if row["value"] is None else f"{row['value']:g}"
            lines.append(f"| {path.name} | {value} | {path.target:g} | {met(row)} |")
    tails = [r for r in pairs if "p99" in r]
    if tails:
        lines += ["", "Latencies beside their medians (p99: the median over the repetitions of each run's 99th "
                  "percentile; no target):", "",
                  "| path | kelcache p50 | kelcache p99 | baseline p50 | baseline p99 |", "|---|---|---|---|---|"]
        for row in tails:
            metric = row["path"].metric
            lines.append(f"| {row['path'].name} | {format_value(row['kelcache'], metric)} | "
                         f"{format_value(row['p99'][0], metric)} | {format_value(row['baseline'], metric)} | "
                         f"{format_value(row['p99'][1], metric)} |")
    if log:
        lines += ["", "Problems during the run:", ""] + [f"- {entry}" for entry in log]
    if plots:
        lines += ["", "## Plots", ""]
        for title, file in plots:
            lines.append(f"![{title}](performance/{file})")
            lines.append("")
    else:
        earlier = earlier_plots(args.plot_dir)
        if earlier:
            lines += ["", "## Plots", "", "This run drew no plots (`--quick` without `--plots`, or `--no-plots`); "
                      "these are from an earlier run, with its own figures and load:", ""]
            for file, when in earlier:
                lines.append(f"![{file} ({when:%Y-%m-%d %H:%M})](performance/{file})")
                lines.append("")
    lines += ["", "## What each path measures", ""]
    for name, (title, text) in FAMILY_NOTES.items():
        if name not in families:
            continue
        names = ", ".join(f"`{p.name}`" for p in families[name].paths)
        lines += [f"### {title}", "", text, "", f"Paths: {names}.", ""]
    lines += ["## Where the time goes", "", WHERE_BEGIN, where, WHERE_END, ""]
    with open(args.doc, "w") as f:
        f.write("\n".join(lines))


# ---- Plots ----

def gnuplot_terminal():
    probe = subprocess.run(["gnuplot", "-e", "set terminal pngcairo"], capture_output=True, text=True)
    if probe.returncode == 0 and not probe.stderr.strip():
        return "pngcairo size 960,600 font 'sans,10'"
    return "png size 960,600"


def draw(script, terminal, destination):
    full = f"set terminal {terminal}\nset output '{destination}'\n{script}"
    result = subprocess.run(["gnuplot"], input=full, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"gnuplot failed for {destination}: {result.stderr.strip()}")


def write_data(path, header, rows):
    with open(path, "w") as f:
        f.write("# " + " ".join(header) + "\n")
        for row in rows:
            f.write(" ".join("NaN" if value is None else f"{value:g}" for value in row) + "\n")


def draw_plots(args, results, settings, log):
    if not shutil.which("gnuplot"):
        log.append("plots: gnuplot is not installed")
        return []
    os.makedirs(args.plot_dir, exist_ok=True)
    terminal = gnuplot_terminal()
    drawn = []
    callers = [int(c) for c in settings["callers"].split("|")]
    sizes = (4096, 65536)

    def ops(family, name):
        return figure(results, family, name, "items_per_second")

    for operation, raw, tool in (("Store", "Set", "set_ops"), ("Load", "Get", "get_ops")):
        data = os.path.join(args.runs, f"redis-{operation.lower()}.dat")
        rows = []
        for count in callers:
            row = [count]
            row += [ops("redis", f"Frame/{operation}/bytes:{b}/real_time/threads:{count}") for b in sizes]
            row += [ops("redis", f"Raw/{raw}/bytes:{b}/real_time/threads:{count}") for b in sizes]
            row += [figure(results, "redis-tool", f"RedisBenchmarkTool/bytes:{b}/clients:{count}/iterations:1", tool)
                    for b in sizes]
            rows.append(row)
        write_data(data, ["callers", "kelcache-4k", "kelcache-64k", "hiredis-4k", "hiredis-64k", "tool-4k",
                          "tool-64k"], rows)
        file = f"redis-{operation.lower()}.png"
        draw(f"""set title 'Redis {operation.lower()}: operations per second against callers'
set xlabel 'callers'; set ylabel 'operations per second (all callers)'
set logscale x 2; set xrange [0.8:{callers[-1] * 1.25}]; set yrange [0:*]
set xtics ({', '.join(str(c) for c in callers)}); set grid; set key outside right
plot '{data}' using 1:2 with linespoints title 'kelcache 4 KiB', \\
     '' using 1:3 with linespoints title 'kelcache 64 KiB', \\
     '' using 1:4 with linespoints dashtype 2 title 'raw hiredis 4 KiB', \\
     '' using 1:5 with linespoints dashtype 2 title 'raw hiredis 64 KiB', \\
     '' using 1:6 with linespoints dashtype 3 title 'redis-benchmark -P 1, 4 KiB', \\
     '' using 1:7 with linespoints dashtype 3 title 'redis-benchmark -P 1, 64 KiB'
""", terminal, os.path.join(args.plot_dir, file))
        drawn.append((f"Redis {operation.lower()} against callers", file))

    for operation in ("Store", "Load"):
        data = os.path.join(args.runs, f"disk-{operation.lower()}.dat")
        rows = [[size // 1024, ops("disk", f"Frame/{operation}/bytes:{size}/real_time"),
                 ops("disk", f"Raw/{operation}/bytes:{size}/real_time")] for size in (4096, 65536, 1048576)]
        write_data(data, ["KiB", "kelcache", "raw"], rows)
        file = f"disk-{operation.lower()}.png"
        raw_title = "raw temporary file + rename" if operation == "Store" else "raw whole-file read"
        draw(f"""set title 'Disk {operation.lower()}: operations per second against value size'
set xlabel 'value size (KiB)'; set ylabel 'operations per second'
set logscale x 2; set logscale y; set xrange [3:1400]; set xtics (4, 64, 1024); set grid; set key outside right
plot '{data}' using 1:2 with linespoints title 'kelcache DiskExternalCache', \\
     '' using 1:3 with linespoints dashtype 2 title '{raw_title}'
""", terminal, os.path.join(args.plot_dir, file))
        drawn.append((f"Disk {operation.lower()} against value size", file))

    kelcache = os.path.join(args.runs, "handoff-kelcache.dat")
    bare = os.path.join(args.runs, "handoff-mutex-condvar.dat")
    if os.path.exists(kelcache) and os.path.exists(bare):
        file = "handoff-latency.png"
        draw(f"""set title 'Hand-off round trip latency (20,000 round trips each)'
set xlabel 'round trip (µs, 20 buckets per decade)'; set ylabel 'share of round trips'
set logscale x; set grid; set key top right; set xrange [0.1:10000]
plot '{kelcache}' using 1:2 with steps linewidth 2 title 'kelcache AsyncTask::Launch(...).Get()', \\
     '{bare}' using 1:2 with steps dashtype 2 title 'mutex + condition variable ping-pong'
""", terminal, os.path.join(args.plot_dir, file))
        drawn.append(("Hand-off latency histogram", file))
    else:
        log.append("plots: no hand-off histogram was written")
    return drawn


def uptime():
    return command_output(["uptime"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--programs", required=True, help="folder of the bench_* programs")
    parser.add_argument("--runs", required=True, help="folder for each run's output")
    parser.add_argument("--json", required=True)
    parser.add_argument("--doc", required=True)
    parser.add_argument("--plot-dir", required=True)
    parser.add_argument("--command", default="bench/compare.sh")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--plots", action="store_true")
    args = parser.parse_args()

    paths, families = read_tables()
    settings = QUICK if args.quick else FULL
    if os.path.isdir(args.runs):
        shutil.rmtree(args.runs)
    os.makedirs(args.runs)
    log = []
    started = datetime.datetime.now().astimezone()
    load_before = uptime()
    results = run_all(args, families, settings, log)
    load_after = uptime()

    rows = evaluate(paths, results)
    write_json(rows, args.json)
    plots = []
    if args.plots:
        try:
            plots = draw_plots(args, results, settings, log)
        except RuntimeError as error:
            log.append(str(error))
    write_doc(args, rows, families, settings, machine(), load_before, load_after, started, log, plots)

    width = max(len(row["path"].name) for row in rows)
    for row in rows:
        path = row["path"]
        if path.is_count:
            print(f"{path.name:<{width}}  {row['value']}  (max {path.target:g})  {met(row)}")
        else:
            ratio = "n/a" if row["ratio"] is None else f"{row['ratio']:.2f}"
            print(f"{path.name:<{width}}  {ratio:>6}  (target {path.target:g})  {met(row)}")
    print(f"compare: wrote {os.path.relpath(args.json, args.root)} and {os.path.relpath(args.doc, args.root)}"
          + (f" and {len(plots)} plots in {os.path.relpath(args.plot_dir, args.root)}" if plots else ""))
    for entry in log:
        print(f"compare: {entry}", file=sys.stderr)
    return 1 if any("exit status" in entry or "timed out" in entry for entry in log) else 0


if __name__ == "__main__":
    sys.exit(main())
