#!/usr/bin/env python3
"""bench/report.py: turns the measurements of bench/run.sh into
BENCHMARKS.md and the overhead plot.

usage: report.py RESULTS_DIR BENCHMARKS_MD PLOT_PNG NOTES_MD

Each scenario file holds one block per run: the generator's RESULT line,
then the server's CPU, the listen-queue counters, the load average and the
/proc peaks. Figures against the targets are medians over the runs; a
percentile of a run in which some connection was never answered is
"never", which sorts above every time. NOTES_MD, the analysis of where the
targets are missed, is copied in after the figures."""
import os
import re
import statistics
import subprocess
import sys

NEVER = float("inf")
WAIT_MS = 2000.0

# The targets, the one place their numbers are written: each is (the
# comparison the figure must pass, the limit, its unit).
TARGETS = {
    "hold_paced_first_p99": ("≤", 2050, "ms"),
    "hold_paced_close_p99": ("≤", 4010, "ms"),
    "hold_once_first_p99": ("≤", 2600, "ms"),
    "rss_per_held": ("<", 10, "KiB"),
    "rate": ("≥", 7000, "queries/s"),
    "epoll_share_table": ("≥", 90, "%"),
    "epoll_share_checked": ("≥", 75, "%"),
    "oidentd_ratio": ("≥", 20, "×"),
    "records_rate": ("≥", 10000, "records/s"),
    "startup": ("<", 50, "ms"),
}


def required(key):
    """The target as the report's "required" column shows it."""
    op, limit, unit = TARGETS[key]
    return f"{op} {limit:,}{unit}" if unit in ("×", "%") else f"{op} {limit:,} {unit}"


def meets(key, value):
    if value is None:
        return False
    op, limit, _ = TARGETS[key]
    return {"≤": value <= limit, "<": value < limit, "≥": value >= limit}[op]


def parse_fields(line):
    fields = {}
    for token in line.split()[1:]:
        key, _, value = token.partition("=")
        try:
            fields[key] = float(value)
        except ValueError:
            fields[key] = value
    return fields


def read_runs(path):
    """The runs of one scenario file, each a dict of every key it carried."""
    runs = []
    if not os.path.exists(path):
        return runs
    with open(path) as f:
        for line in f:
            tag = line.split(" ", 1)[0]
            if tag == "RESULT":
                fields = parse_fields(line)
                if fields.get("mode") == "procsample":
                    if runs:
                        runs[-1].update({k: v for k, v in fields.items() if k != "mode"})
                    continue
                runs.append(fields)
            elif tag in ("SERVER", "NSTAT", "LOADAVG", "LOGGED", "SAMPLE") and runs:
                if tag == "LOADAVG":
                    runs[-1]["loadavg"] = float(line.split()[1])
                elif tag == "SAMPLE":
                    sample = parse_fields(line)
                    runs[-1]["sample_correct"] = sample.get("correct", 0)
                    runs[-1]["sample_count"] = sample.get("count", 0)
                else:
                    runs[-1].update(parse_fields(line))
    for run in runs:
        for key, value in list(run.items()):
            if isinstance(value, float) and value == -1.0 and ("_p" in key or "_max" in key):
                run[key] = NEVER
    return runs


def median(runs, key):
    values = [r[key] for r in runs if key in r]
    return statistics.median(values) if values else None


def fmt_ms(value):
    if value is None:
        return "n/a"
    if value == NEVER:
        return "never (timed out)"
    return f"{value:,.0f} ms" if value >= 100 else f"{value:.1f} ms"


def fmt_kib(value):
    return f"{value:.2f} KiB" if value < 1 else f"{value:.1f} KiB"


def fmt_num(value, unit=""):
    if value is None:
        return "n/a"
    return f"{value:,.0f}{unit}"


def all_correct(runs):
    return bool(runs) and all(r.get("correct") == r.get("count") for r in runs)


def verdict(ok):
    """None: the column has no such figure."""
    return "-" if ok is None else "met" if ok else "**missed**"


def held(r):
    """Connections held at the peak. A hold run keeps every connection open
    until the server closes it, 4 s after its start, and opens all of them
    within 1 s: each one answered was held at the peak."""
    return r.get("correct", 0) if r.get("mode") == "hold" else 0


def rss_per_held(r):
    """What each held connection adds to the resident memory: the peak less
    the server's at rest before the load."""
    if "rss_peak_kib" not in r or "rss_start_kib" not in r or held(r) == 0:
        return None
    return (r["rss_peak_kib"] - r["rss_start_kib"]) / held(r)


def hold_rows(runs):
    rows = []
    for i, r in enumerate(runs, 1):
        per_conn = rss_per_held(r)
        rows.append(
            f"| {i} | {r['count']:,.0f} | {r['correct']:,.0f} | {fmt_ms(r['first_p50'])} | "
            f"{fmt_ms(r['first_p99'])} | {fmt_ms(r['close_p99'])} | "
            f"{fmt_num(r.get('rss_peak_kib'), ' KiB')} | "
            f"{'n/a' if per_conn is None else fmt_kib(per_conn)} | "
            f"{fmt_num(r.get('threads_peak'))} | {fmt_num(r.get('TcpExtListenOverflows', 0))} | "
            f"{fmt_num(r.get('TcpExtTCPSynRetrans', 0))} | {r.get('gen_cpu_pct', 0):.0f}% | "
            f"{r.get('loadavg', 0):.1f} |")
    return rows


HOLD_HEAD = ("| run | connections | answered correctly | first reply p50 | first reply p99 | "
             "close p99 | peak RSS | RSS per held connection | peak threads | listen overflows | "
             "SYN retransmits | generator CPU (one core) | load average |\n"
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|")


def rate_rows(runs):
    rows = []
    for i, r in enumerate(runs, 1):
        cpu_per = r.get("cpu_ms", 0) * 1000 / r["completed"] if r.get("completed") else 0
        rows.append(
            f"| {i} | {r['count']:,.0f} | {r['concurrency']:,.0f} | {r['correct']:,.0f} | "
            f"{fmt_num(r['rate'], '/s')} | {fmt_num(r.get('rate99'), '/s')} | "
            f"{fmt_ms(r['close_p50'])} | {fmt_ms(r['close_p99'])} | "
            f"{'n/a' if 'cpu_ms' not in r else f'{cpu_per:.0f} µs'} | "
            f"{fmt_num(r.get('TcpExtListenOverflows', 0))} | {fmt_num(r.get('TcpExtTCPSynRetrans', 0))} | "
            f"{r.get('gen_cpu_pct', 0):.0f}% | {r.get('loadavg', 0):.1f} |")
    return rows


RATE_HEAD = ("| run | total | concurrency | correct | rate, whole run | rate, first 99% | close p50 | "
             "close p99 | server CPU per connection | listen overflows | SYN retransmits | "
             "generator CPU (one core) | load average |\n"
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|")


def curve_points(results, prefix):
    points = []
    for name in os.listdir(results):
        if name.startswith(prefix) and name.endswith(".txt"):
            n = int(name[len(prefix):-4])
            runs = read_runs(os.path.join(results, name))
            if runs:
                points.append((n, runs))
    return sorted(points, key=lambda p: p[0])


# Where the plot puts a percentile that was never answered: the generator's
# 30 s limit per connection.
PLOT_NEVER_MS = 30000.0


def overhead(value):
    if value is None:
        return None
    if value == NEVER:
        return PLOT_NEVER_MS
    return max(value - WAIT_MS, 0.1)


def write_plot(results, png):
    """Overhead past the 2 s wait against connections held, both backlogs."""
    series = []
    for prefix, label in (("curve_", "shipped, longest backlog"), ("short_curve_", "backlog 5 preloaded")):
        points = curve_points(results, prefix)
        if not points:
            continue
        data = os.path.join(results, prefix + "plot.dat")
        with open(data, "w") as f:
            for n, runs in points:
                p50 = overhead(median(runs, "first_p50"))
                p99 = overhead(median(runs, "first_p99"))
                done = min(r["correct"] / r["count"] for r in runs) * 100
                f.write(f"{n} {p50 if p50 else 'NaN'} {p99 if p99 else 'NaN'} {done:.1f}\n")
        series.append((data, label))
    if not series:
        return False
    plots = []
    for data, label in series:
        plots.append(f"'{data}' using 1:2 with linespoints title 'p50, {label}'")
        plots.append(f"'{data}' using 1:3 with linespoints title 'p99, {label}'")
    script = f"""
set terminal pngcairo size 900,560 noenhanced
set output '{png}'
set title 'Quillet: first-reply time past the 2,000 ms wait, arrivals paced over 1 s'
set xlabel "connections opened over 1 s and held (about 4 s each)\\npoints at 30,000 ms: that percentile was never answered (30 s limit per connection)"
set ylabel 'overhead, ms (log scale)'
set logscale xy
set grid
set key bottom right
set xrange [700:30000]
set yrange [0.1:60000]
plot {', '.join(plots)}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return True


def plain(value):
    """A setting's value as the system writes it."""
    return "n/a" if value is None else f"{value:.0f}" if isinstance(value, float) else value


def read_machine(results):
    """The machine facts bench/run.sh recorded: MACHINE key=value pairs and
    the load average at the start and the end."""
    facts, loads = {}, []
    with open(os.path.join(results, "machine.txt")) as f:
        for line in f:
            tag, _, rest = line.strip().partition(" ")
            if tag == "MACHINE":
                facts.update(parse_fields(line))
            elif tag == "LOAD":
                loads.append(rest.replace("start ", "at start ").replace("end ", "at end "))
    return facts, loads


def machine_text(facts, loads):
    """The machine as measured in this run, as one sentence."""
    parts = [f"{fmt_num(facts.get('cores'))} cores",
             f"{fmt_num(facts.get('mem_gib'))} GiB of memory",
             f"kernel {facts.get('kernel', 'n/a')}",
             f"at most {fmt_num(facts.get('nofile_hard'))} open files per process",
             f"net.core.somaxconn {plain(facts.get('somaxconn'))}"]
    return ", ".join(parts) + "; load average " + "; ".join(loads)


def rss_per(runs):
    values = [rss_per_held(r) for r in runs if rss_per_held(r) is not None]
    return statistics.median(values) if values else None


def held_text(runs):
    values = [held(r) for r in runs if held(r)]
    threads = [r["threads_peak"] for r in runs if "threads_peak" in r]
    return (f", {fmt_num(statistics.median(values))} held at the peak on {fmt_num(max(threads))} threads"
            if values and threads else "")


def records_ok(runs):
    return bool(runs) and all(r.get("correct") == r.get("count") and r.get("connects") == r.get("count")
                              and r.get("sample_correct") == r.get("sample_count") for r in runs)


def with99(runs, key="rate"):
    return f"{fmt_num(median(runs, key), '/s')} (first 99%: {fmt_num(median(runs, 'rate99'), '/s')})"


def target_row(name, need, shipped, wide, ok_shipped, ok_wide):
    return f"| {name} | {need} | {shipped} | {verdict(ok_shipped)} | {wide} | {verdict(ok_wide)} |"


def hold_target_rows(m):
    rows = []
    for label, runs, wruns in (("paced over 1 s", m["paced"], m["wpaced"]), ("at once", m["once"], m["wonce"])):
        rows.append(target_row(
            f"hold {label}: every connection answered correctly",
            f"{fmt_num(median(runs, 'count'))} of {fmt_num(median(runs, 'count'))}",
            f"{fmt_num(median(runs, 'correct'))} (worst {fmt_num(min((r['correct'] for r in runs), default=None))})",
            f"{fmt_num(median(wruns, 'correct'))} (worst {fmt_num(min((r['correct'] for r in wruns), default=None))})",
            all_correct(runs), all_correct(wruns)))
    for name, key, runs, wruns, field in (
            ("hold paced: p99 first reply", "hold_paced_first_p99", m["paced"], m["wpaced"], "first_p99"),
            ("hold paced: p99 close", "hold_paced_close_p99", m["paced"], m["wpaced"], "close_p99"),
            ("hold at once: p99 first reply", "hold_once_first_p99", m["once"], m["wonce"], "first_p99")):
        shipped, wide = median(runs, field), median(wruns, field)
        rows.append(target_row(name, required(key), fmt_ms(shipped), fmt_ms(wide),
                               meets(key, shipped), meets(key, wide)))
    shipped_runs, wide_runs = m["paced"] + m["once"], m["wpaced"] + m["wonce"]
    rp, wrp = rss_per(shipped_runs), rss_per(wide_runs)
    rows.append(target_row(
        "RSS per held connection (peak less at rest, / connections held)", required("rss_per_held"),
        "n/a" if rp is None else f"{fmt_kib(rp)}{held_text(shipped_runs)}",
        "n/a" if wrp is None else f"{fmt_kib(wrp)}{held_text(wide_runs)}",
        meets("rss_per_held", rp), meets("rss_per_held", wrp)))
    return rows


def rate_target_rows(m):
    q_rate, w_rate, o_rate = median(m["rate"], "rate"), median(m["wrate"], "rate"), median(m["oid"], "rate")
    rows = [target_row("rate, build without waits, concurrency 256", required("rate"), with99(m["rate"]),
                       with99(m["wrate"]), meets("rate", q_rate), meets("rate", w_rate))]
    ratio = q_rate / o_rate if q_rate and o_rate else None
    wratio = w_rate / o_rate if w_rate and o_rate else None
    rows.append(target_row(
        "rate against oidentd in the same run", required("oidentd_ratio"),
        "n/a" if ratio is None else f"{ratio:.1f}× ({fmt_num(o_rate, '/s')} for oidentd)",
        "n/a" if wratio is None else f"{wratio:.1f}×",
        meets("oidentd_ratio", ratio), meets("oidentd_ratio", wratio)))
    rows.append(target_row(
        "Connect records, concurrency 64, each in the table", required("records_rate"),
        with99(m["records"]), with99(m["wrecords"]),
        meets("records_rate", median(m["records"], "rate")) and records_ok(m["records"]),
        meets("records_rate", median(m["wrecords"], "rate")) and records_ok(m["wrecords"])))
    for name, key, runs in (("rate from the table alone (`--table-only`)", "epoll_share_table", m["rate_table"]),
                            ("rate with the answers checked, about real connections", "epoll_share_checked",
                             m["rate_checked"])):
        share = epoll_share(runs, m["rate_epoll"])
        rows.append(target_row(
            f"{name}, against the minimal epoll server in the same run", required(key),
            "n/a" if share is None else
            f"{share:.0f}% ({fmt_num(median(runs, 'rate'), '/s')} against {fmt_num(median(m['rate_epoll'], 'rate'), '/s')})",
            "(not measured)", meets(key, share), None))
    st = median(m["startup"], "startup_median_ms")
    rows.append(target_row(
        "start-up to \"- Started to Listen for IDENT Connections\"", required("startup"),
        "n/a" if st is None else f"{st:.1f} ms", "(not affected)", meets("startup", st), meets("startup", st)))
    return rows


def records_rows(m):
    rows = []
    for name, runs in (("shipped, longest", m["records"]), ("5, preloaded", m["wrecords"])):
        for i, r in enumerate(runs, 1):
            rows.append(
                f"| {name} | {i} | {r['count']:,.0f} | {r['correct']:,.0f} | {fmt_num(r.get('connects'))} | "
                f"{fmt_num(r.get('sample_correct'))} of {fmt_num(r.get('sample_count'))} | "
                f"{fmt_num(r['rate'], '/s')} | {fmt_num(r.get('rate99'), '/s')} | {fmt_ms(r['close_p99'])} | "
                f"{fmt_num(r.get('TcpExtListenOverflows', 0))} | {r.get('gen_cpu_pct', 0):.0f}% |")
    return rows


def real_records_rows(m):
    """Records naming real connections: looked up, table only, and a board's
    while the hold runs."""
    rows = []
    for name, runs in (("looked up", m["records_checked"]), ("`--table-only`", m["records_table"]),
                       (f"looked up, {fmt_num(m['held_count'])} IDENT connections arriving", m["records_held"])):
        for i, r in enumerate(runs, 1):
            cpu = r.get("cpu_ms")
            per = f"{cpu * 1000 / r['count']:,.0f} µs" if cpu is not None and r.get("count") else "n/a"
            rows.append(f"| {name} | {i} | {r['count']:,.0f} | {r['correct']:,.0f} | {fmt_num(r.get('refused'))} | "
                        f"{fmt_num(r['rate'], '/s')} | {fmt_ms(r['close_p99'])} | {per} |")
    return rows


def held_count(results):
    """How many IDENT connections the hold beside the board's records made."""
    text = read_text(os.path.join(results, "records_held.txt"))
    m = re.search(r"^HELD RESULT .*? attempted=(\d+)", text, re.M)
    return int(m.group(1)) if m else None


def curve_rows(results):
    rows = []
    for prefix, label in (("curve_", "longest (shipped)"), ("short_curve_", "5 (preloaded)")):
        for n, runs in curve_points(results, prefix):
            r = runs[0]
            rows.append(f"| {label} | {n:,} | {r['correct']:,.0f} | {fmt_ms(r['first_p50'])} | "
                        f"{fmt_ms(r['first_p99'])} | {fmt_ms(r['close_p99'])} | "
                        f"{fmt_num(r.get('TcpExtListenOverflows', 0))} |")
    return rows


def generator_cpu_text(m):
    """The generator's largest share of a core in the busiest runs (the
    shipped rate and records runs) and elsewhere."""
    def most(runs):
        values = [r["gen_cpu_pct"] for r in runs if "gen_cpu_pct" in r]
        return f"{max(values):.0f}%" if values else "n/a"
    busy = m["rate"] + m["records"]
    rest = m["paced"] + m["once"] + m["wpaced"] + m["wonce"] + m["wrate"] + m["wrecords"] + m["oid"]
    return f"at most {most(busy)} in the shipped rate and records runs, {most(rest)} elsewhere"


def load_measurements(results):
    """Every scenario file's runs, by the names the report uses."""
    load = lambda name: read_runs(os.path.join(results, name + ".txt"))
    return {
        "paced": load("hold_paced"), "once": load("hold_once"),
        "wpaced": load("short_hold_paced"), "wonce": load("short_hold_once"),
        "rate": load("rate"), "wrate": load("short_rate"), "oid": load("oidentd"),
        "rate_checked": load("rate_checked"), "rate_table": load("rate_table"),
        "rate_epoll": load("rate_epoll"),
        "records_checked": load("records_checked"), "records_table": load("records_table"),
        "records_held": load("records_held"), "held_count": held_count(results),
        "hold_checked": load("hold_checked"),
        "records": load("records"), "wrecords": load("short_records"),
        "startup": load("startup"),
        "rpaced": load("ref_hold_paced"), "ronce": load("ref_hold_once"),
        "wine": load("wine_hold"), "wine32": load("wine32_hold"),
        "mode32": read_text(os.path.join(results, "win32_mode.txt")),
        "floods": read_text(os.path.join(results, "floods.txt")),
        "soak": read_soak(os.path.join(results, "soak.txt")),
    }


def epoll_share(runs, epoll_runs):
    """A rate as a share of the minimal epoll server's, medians of each."""
    r, e = median(runs, "rate"), median(epoll_runs, "rate")
    return 100 * r / e if r and e else None


def check_cost_text(m):
    """What checking each answer costs, from the median rates of the two runs."""
    checked = [r["rate"] for r in m["rate_checked"] if r.get("rate")]
    table = [r["rate"] for r in m["rate_table"] if r.get("rate")]
    if not checked or not table:
        return "(the checked and table-only runs were not both made)"
    c, t = statistics.median(checked), statistics.median(table)
    cost = 100 * (1 - c / t)
    verdict = (f"the check costs {cost:.1f}%" if cost > 0 else
               f"the checked runs were {-cost:.1f}% faster, so the check costs less than the runs vary")
    return (f"Median rates: {c:,.0f}/s checked, {t:,.0f}/s from the table alone: {verdict} "
            f"(target: at most 5%).")


def read_text(path):
    """A file's text, stripped; empty when it is missing."""
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        return f.read().strip()


def flood_rows(text):
    """One row per flood run: the build, the flood, the record's and the
    honest query's waits, and what the flood's connections met."""
    rows = []
    addrs = "20"
    for line in text.splitlines():
        a = re.match(r"(LINUX|WINE32) rate=(\d+) kind=(\w+) .* from (\d+) addresses", line)
        if a:
            addrs = a.group(4)
        m = re.match(r"(LINUX|WINE32) rate=(\d+) kind=(\w+) .*record taken after (\d+) ms; "
                     r"honest query: .*first=(-?[\d.]+)", line)
        if m:
            build, rate, kind, record_ms, first = m.groups()
            rows.append(f"| {'Linux' if build == 'LINUX' else 'i686 under Wine'}, cap 500 | "
                        f"{kind if rate != '0' else 'none (' + kind + ' run)'} | {rate}/s | "
                        f"{addrs if rate != '0' else '-'} | {record_ms} ms | "
                        f"{'never' if first.startswith('-') else first + ' s'} |")
    return rows


def scale_text(runs):
    """What 100,000 and 1,000,000 held connections would need, from the
    largest hold's memory per connection and its threads."""
    best = max((r for r in runs if rss_per_held(r) is not None), key=held, default=None)
    if best is None:
        return "(no hold with memory figures was made)"
    per, base = rss_per_held(best), best["rss_start_kib"]
    return (f"With {held(best):,.0f} held, the program's resident memory grew from "
            f"{base:,.0f} KiB at rest to {best['rss_peak_kib']:,.0f} KiB: {per * 1024:,.0f} bytes per "
            f"held connection, on {fmt_num(best.get('threads_peak'))} threads. Neither threads nor "
            f"the memory at rest grow with connections, so 100,000 held would need about "
            f"{(base + per * 100000) / 1024:,.0f} MiB and 1,000,000 about "
            f"{(base + per * 1000000) / 1024:,.0f} MiB of the program's own, with a descriptor "
            f"limit of 100,032 or 1,000,032; the kernel's socket buffers, not counted in the RSS, "
            f"then weigh more than the program.")


def read_soak(path):
    """The soak's parts, by name: queries, records, soak (the samples),
    idle, log."""
    parts = {}
    if not os.path.exists(path):
        return parts
    with open(path) as f:
        for line in f:
            tag = line.split(" ", 1)[0]
            fields = parse_fields(line)
            if tag == "RESULT":
                parts[fields.get("part", fields.get("mode"))] = fields
            elif tag in ("IDLE", "LOG"):
                parts[tag.lower()] = fields
    return parts


def soak_text(s):
    if "soak" not in s:
        return "(not run)"
    q, r, k, idle = s.get("queries", {}), s.get("records", {}), s["soak"], s.get("idle", {})
    ok = lambda p: p.get("correct") == p.get("count")
    return f"""| part | count | correct | rate | generator CPU |
|---|---|---|---|---|
| IDENT queries (concurrency 64, 8 source addresses) | {fmt_num(q.get('count'))} | {fmt_num(q.get('correct'))} {verdict(ok(q))} | {fmt_num(q.get('rate'), '/s')} | {q.get('gen_cpu_pct', 0):.0f}% |
| Connect records (concurrency 8) | {fmt_num(r.get('count'))} | {fmt_num(r.get('correct'))} {verdict(ok(r))} | {fmt_num(r.get('rate'), '/s')} | {r.get('gen_cpu_pct', 0):.0f}% |

RSS slope after warm-up (the first fifth of the load): **{k['rss_slope_kib_per_min']:+,.1f} KiB per
minute** ({fmt_num(k['rss_after_warmup_kib'], ' KiB')} after warm-up, {fmt_num(k['rss_load_end_kib'], ' KiB')} at the
end of the load, {fmt_num(k['rss_final_kib'], ' KiB')} once settled; peak {fmt_num(k['rss_peak_kib'], ' KiB')}).
Threads peaked at {fmt_num(k['threads_peak'])} and descriptors at {fmt_num(k['fds_peak'])}; at the end
{fmt_num(k['threads_final'])} threads and {fmt_num(k['fds_final'])} descriptors against {fmt_num(idle.get('threads'))} and
{fmt_num(idle.get('fds'))} idle: {verdict(k['threads_final'] <= idle.get('threads', -1) and k['fds_final'] <= idle.get('fds', -1))}."""


def ratio_text(q, r):
    """Quillet's p99 overhead past the 2 s wait beside the plain server's:
    as a ratio, and as the milliseconds Quillet adds."""
    if q is None or r is None:
        return "n/a | n/a"
    if NEVER in (q, r):
        return "n/a (a run timed out) | n/a"
    qo, ro = max(q - WAIT_MS, 0.0), max(r - WAIT_MS, 0.1)
    return f"{qo / ro:.2f}× | {q - r:+,.0f} ms"


def reference_rows(m):
    rows = []
    for label, q, r in (("paced over 1 s", m["paced"], m["rpaced"]), ("at once", m["once"], m["ronce"])):
        qp99, rp99 = median(q, "first_p99"), median(r, "first_p99")
        rows.append(f"| {label} | {fmt_num(median(r, 'correct'))} of {fmt_num(median(r, 'count'))} | "
                    f"{fmt_ms(median(q, 'first_p50'))} | {fmt_ms(median(r, 'first_p50'))} | "
                    f"{fmt_ms(qp99)} | {fmt_ms(rp99)} | {ratio_text(qp99, rp99)} |")
    return rows


def write_report(f, m, facts, loads, results):
    held_n = fmt_num(median(m["paced"] + m["once"], "count"))
    startup_line = ", ".join(f"{r['startup_median_ms']:.1f} ms" for r in m["startup"])
    f.write(f"""# Quillet benchmarks

Written by `make bench` (bench/bench.sh). Everything runs in a private network
namespace on loopback: the host server stand-in `wcsrvd`, Quillet, oidentd (the
reference peer, Debian's package) and the load generator `quillet-load`
(bench/, C++, one epoll loop per process, non-blocking). Rate figures use the
`bench` build, in which the two 2,000 ms waits are zero; every other figure is
the shipped program (`release` build).

Machine and load, as measured in this run: {machine_text(facts, loads)}. The
cores may be shared with other work, so the load average is printed beside
each run; runs with a high load average are noisy.

How measured: each target's figure is the median of {len(m["paced"]) or 3} runs, each against a
freshly started Quillet that first receives a Connect record for all 256 nodes.
Queries ask for node n's port pair and must get exactly that node's user back;
a connection counts as correct only when the whole reply matches and the server
then closes. Times are taken by the generator from its `connect` call to the first
reply byte and to the server's close; the generator then resets its side, so
that no TIME_WAIT entry is left on port 113 for the next run. Percentiles count a connection that was
never answered (30 s limit per connection) as slower than all others, shown as
"never". {held_n} connections are spread over two generator processes (each may
hold at most {fmt_num(facts.get('nofile_hard'))} descriptors) and 24 source addresses 127.0.0.1-24, so that
no address passes the 1,024 connections Quillet handles at once for one
address (more are added should one run out of ephemeral ports); the
generator reports its own CPU (user + system, all processes) as a share of one
core: {generator_cpu_text(m)}, printed beside each run, so it can be seen
whether the generator limits the figures. Peak RSS is the kernel's
high-water mark (VmHWM) read by bench/procsample.py, which also samples threads
and descriptors. The listen-queue counters (`ListenOverflows`, `TCPSynRetrans`)
are the namespace's own, from `nstat`, around each run.

Quillet asks for the longest accept queue the system allows (here
net.core.somaxconn, {plain(facts.get('somaxconn'))}). To show what a short queue costs, every target is
also measured with `listen` replaced by a preloaded shim (bench/backlogshim.c)
that asks for a backlog of 5. The program itself is never built or shipped
that way.

## Figures against the targets

| target | required | shipped | | backlog 5 preloaded | |
|---|---|---|---|---|---|
{chr(10).join(hold_target_rows(m) + rate_target_rows(m))}

oidentd answers every query correctly with USERID, because each query names a
real loopback connection that the generator holds open (`--real-pairs 64`).
Start-up medians of 21 starts each: {startup_line}.

## Hold, shipped program

Paced: {held_n} connections opened evenly over 1 s and held until the server closes them.
These runs, and all but the next, answer from the node table alone
(`--table-only`): the pairs they ask about are no connections.

{HOLD_HEAD}
{chr(10).join(hold_rows(m["paced"]))}

At once: {held_n} connections opened as fast as the generator can.

{HOLD_HEAD}
{chr(10).join(hold_rows(m["once"]))}

{scale_text(m["paced"] + m["once"])}

At once, with the answers checked (as shipped), each query about one of
64 real connections the generator holds and registered first:

{HOLD_HEAD}
{chr(10).join(hold_rows(m["hold_checked"])) or "| (not run) |"}

With a backlog of 5 preloaded, paced:

{HOLD_HEAD}
{chr(10).join(hold_rows(m["wpaced"]))}

With a backlog of 5 preloaded, at once:

{HOLD_HEAD}
{chr(10).join(hold_rows(m["wonce"]))}

## Beside a plain thread-per-connection server

The hold figures move with whatever else the machine runs. Each hold run
above is followed at once by the same load against `quillet-ref`
(bench/refserver.cpp): one thread per connection, the same two 2 s waits,
no caps, no log and no table. Medians of the runs; the overhead is the p99
first reply past the 2 s wait, Quillet's as a ratio to the plain server's,
and the milliseconds Quillet adds to the p99.

| hold | plain server answered correctly | Quillet first reply p50 | plain p50 | Quillet first reply p99 | plain p99 | p99 overhead ratio | Quillet adds |
|---|---|---|---|---|---|---|---|
{chr(10).join(reference_rows(m))}

Plain server, paced:

{HOLD_HEAD}
{chr(10).join(hold_rows(m["rpaced"]))}

Plain server, at once:

{HOLD_HEAD}
{chr(10).join(hold_rows(m["ronce"]))}

## Soak

bench/soak.sh: the build without waits takes a million IDENT queries and
200,000 Connect records as fast as the generator sends them, while peers that
reset at once, send garbage to either port, or connect and stay silent until
dropped after 60 s are mixed in. RSS, threads and descriptors are sampled
every half second.

{soak_text(m["soak"])}

## The x86_64 Windows build under wine64

`quillet.exe` (win64 preset) under wine64 in a sandbox of its own
(tests/wine/wine-load.sh): every node registered, then connections opened at
once from several loopback addresses (500 each) by the same generator. Wine
makes its sockets in the wineserver process, through which every socket call
passes, so these are Wine's figures, not Windows'.

{HOLD_HEAD}
{chr(10).join(hold_rows(m["wine"])) or "| (not run) |"}

## The shipped i686 Windows build under 32-bit Wine

`quillet.exe` (win32 preset, the shipped build) under Wine's 32-bit loader,
{m["mode32"] or "(not run)"}, with the same load as the x86_64 build above.
Figures under Wine (and emulation, where the kernel runs no 32-bit code),
not Windows'.

{HOLD_HEAD}
{chr(10).join(hold_rows(m["wine32"])) or "| (not run) |"}

## Floods past the cap

Twenty addresses, or one, open connections past a cap of 500 for 20 s:
silent ones, of which the busiest address's oldest are closed unanswered to
make room, or ones that send their query at once, which are never closed
so and each hold a place about 4 s (at the cap, those in their last wait
make room, or the newcomer is closed). Meanwhile a Connect record is sent,
on a port of its own, and an honest query from another address, which finds
a place kept for addresses holding few (tests/fault/fault.sh silent_flood,
query_flood and their _one runs; tests/wine/wine-flood.sh). Each flood
beside the same run without one. The honest query's wait is to its first
reply, of which 2 s is the server's own wait.

| build | flood | rate | addresses | record taken after | honest query's first reply |
|---|---|---|---|---|---|
{chr(10).join(flood_rows(m["floods"])) or "| (not run) |"}

## Overhead against concurrency

![first-reply overhead against connections held](bench/overhead.png)

One run per point, arrivals paced over 1 s, shipped program.

| backlog | connections | answered correctly | first reply p50 | first reply p99 | close p99 | listen overflows |
|---|---|---|---|---|---|---|
{chr(10).join(curve_rows(results))}

## Rate (build without waits) and oidentd

Quillet, shipped:

{RATE_HEAD}
{chr(10).join(rate_rows(m["rate"]))}

Quillet, backlog 5 preloaded:

{RATE_HEAD}
{chr(10).join(rate_rows(m["wrate"]))}

Quillet, queries about real connections the generator holds (`--real-pairs
64`, registered as nodes first), the answers checked against the system's
table of connections, as shipped; then the same with `--table-only`; then
the least a server on one epoll loop can do (`quillet-ref --epoll`: accept,
one receive, the reply, close), under the load of the shipped rate runs
above (it holds no connections to check). Runs alternate, so all three meet
the same machine. The target's table-only figure is the shipped rate runs',
whose load is the epoll server's; the checked runs' load, bound to the
pairs' own addresses, costs the generator more, so their share is, if
anything, low:

{RATE_HEAD}
{chr(10).join(rate_rows(m["rate_checked"]))}

{RATE_HEAD}
{chr(10).join(rate_rows(m["rate_table"]))}

{RATE_HEAD}
{chr(10).join(rate_rows(m["rate_epoll"])) or "| (not run) |"}

{check_cost_text(m)}

oidentd (one process per connection), same generator, same concurrency:

{RATE_HEAD}
{chr(10).join(rate_rows(m["oid"]))}

## Records

Connect records at concurrency 64 against the shipped program after a Quit
for every node; then the log's Connect lines are counted and 32 nodes are
queried (four at a time) for the ports their records stored.

| backlog | run | records | closed cleanly | Connect lines logged | sample answered | rate, whole run | rate, first 99% | close p99 | listen overflows | generator CPU |
|---|---|---|---|---|---|---|---|---|---|---|
{chr(10).join(records_rows(m))}

Records naming real connections the generator holds (`--real-pairs`), so
that the sender holds each connection it names: with each record's
connection and sender looked up, as shipped, then from the table alone,
alternating, at concurrency 64; then a board of 255 records, looked up, at
concurrency 4, sent 1.5 s after {fmt_num(m["held_count"])} IDENT connections began to
arrive at once (their queries name no node). Server CPU per record is the
program's own over the run.

| records | run | records | closed cleanly | refused | rate, whole run | close p99 | server CPU per record |
|---|---|---|---|---|---|---|---|
{chr(10).join(real_records_rows(m)) or "| (not run) |"}

""")


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    results, out_md, png, notes = sys.argv[1:]
    m = load_measurements(results)
    facts, loads = read_machine(results)
    plotted = write_plot(results, png)
    with open(out_md, "w") as f:
        write_report(f, m, facts, loads, results)
        with open(notes) as n:
            f.write(n.read())
    if not plotted:
        print("report: no curve data, no plot", file=sys.stderr)


if __name__ == "__main__":
    main()
