#!/usr/bin/python3
"""Turns build/bench/results.json into docs/bench/results.md (printed too) and
docs/bench/throughput.png. Run on its own to redo both from the last measurements:

    /usr/bin/python3 bench/report.py [results.json] [output folder]
"""

import json
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from harness import facts  # noqa: E402

MiB = 1 << 20


def project_path(path):
    """`path` from the project's root when it is inside it: the report holds no folder of this machine."""
    if not path:
        return path
    try:
        return str(Path(path).resolve().relative_to(ROOT))
    except ValueError:
        return path

# The goals, for the Linux build, as medians of the pair ratios: end to end (download, start the
# tool, wait, delete, quit) against curl at each size that has one, the rest at the largest size.
END_TO_END_MIN = {16 * MiB: 0.8, 256 * MiB: 1.0, 1024 * MiB: 1.0}
CPU_RATIO_MAX = 1.5
RSS_MAX_MIB = 40
RSS_SPREAD_MAX = 0.10
SHOWN_MAX_MS = 300
HANDOVER_MAX_MS = 50        # median, every size measured
CUTS_WALL_MARGIN_S = 0.3    # the cuts' wall-time cost, over curl's
WINE_QUIT_AFTER_MAX_MS = 500
IDLE_MAX_PERCENT = 1.0
EXE_MAX = facts.SIZE_GOAL   # bytes, the file as it ships


def median(values):
    return statistics.median(values)


def size_name(size):
    return f"{size // 1024 // MiB} GiB" if size >= 1024 * MiB else f"{size // MiB} MiB"


def summarise(entry):
    """Medians of one size's pairs, and the medians of the pair-by-pair ratios."""
    size = entry["size"]
    pairs = entry["pairs"]
    prog = [p["program"] for p in pairs]
    curl = [p["curl"] for p in pairs]

    def transfer(results):
        # nginx logs whole milliseconds: too coarse below some 50 ms.
        times = [r["server_transfer"] for r in results if r.get("server_transfer")]
        return size / MiB / median(times) if times and median(times) >= 0.05 else None

    return {
        "size": size,
        "runs": len(pairs),
        "wall_program": median([r["wall"] for r in prog]),
        "wall_curl": median([r["wall"] for r in curl]),
        "throughput_program": median([size / MiB / r["wall"] for r in prog]),
        "throughput_curl": median([size / MiB / r["wall"] for r in curl]),
        "throughput_program_all": [size / MiB / r["wall"] for r in prog],
        "throughput_curl_all": [size / MiB / r["wall"] for r in curl],
        "throughput_ratio": median([p["curl"]["wall"] / p["program"]["wall"] for p in pairs]),
        "transfer_program": transfer(prog),
        "transfer_curl": transfer(curl),
        "cpu_program": median([r["cpu"] for r in prog]),
        "cpu_curl": median([r["cpu"] for r in curl]),
        "cpu_ratio": median([p["program"]["cpu"] / p["curl"]["cpu"] for p in pairs]),
        "rss_program": median([r["rss_kib"] for r in prog]) / 1024,
        "rss_curl": median([r["rss_kib"] for r in curl]) / 1024,
        "rss_ratio": median([p["program"]["rss_kib"] / p["curl"]["rss_kib"] for p in pairs]),
    }


def throughput_table(side):
    rows = [summarise(e) for e in side["throughput"]]
    out = ["| size | pairs | wall program / curl (s) | throughput program / curl (MiB/s) | throughput ratio | "
           "transfer only, program / curl (MiB/s) | CPU program / curl (s) | CPU ratio | "
           "peak RSS program / curl (MiB) | RSS ratio |",
           "| --- | --: | --: | --: | --: | --: | --: | --: | --: | --: |"]
    for r in rows:
        transfer = (f"{r['transfer_program']:.0f} / {r['transfer_curl']:.0f}"
                    if r["transfer_program"] and r["transfer_curl"] else "–")
        out.append(f"| {size_name(r['size'])} | {r['runs']} | {r['wall_program']:.3f} / {r['wall_curl']:.3f} | "
                   f"{r['throughput_program']:.0f} / {r['throughput_curl']:.0f} | {r['throughput_ratio']:.2f} | "
                   f"{transfer} | {r['cpu_program']:.3f} / {r['cpu_curl']:.3f} | {r['cpu_ratio']:.2f} | "
                   f"{r['rss_program']:.1f} / {r['rss_curl']:.1f} | {r['rss_ratio']:.2f} |")
    return out, rows


def fixed_table(side):
    ms = lambda v: f"{v * 1000:.0f}"   # noqa: E731
    out = ["| fixed cost | file | median | min | max | runs |",
           "| --- | --- | --: | --: | --: | --: |"]
    for what, key in (("start to window shown (ms)", "shown"),
                      ("download complete on disk to tool started (ms)", "handover"),
                      ("tool exited to program exited (ms)", "quit_after")):
        for f in side["fixed"]:
            values = f[key]
            out.append(f"| {what} | {size_name(f['size'])} | {ms(median(values))} | {ms(min(values))} | "
                       f"{ms(max(values))} | {len(values)} |")
    idle = side["idle"]
    out.append(f"| CPU while the tool runs (% of a core over {idle['window']:.1f} s, from schedstat) | "
               f"small | {idle['percent_schedstat']:.3f} | | | 1 |")
    out += ["", f"While the tool runs the program has {idle['threads']} threads, which switch context "
                f"{idle['switches_per_second']:.0f} times a second in all; per thread (wake-ups a second):",
            "", "| thread | per second |", "| --- | --: |"]
    out += [f"| {name} | {rate:.1f} |" for name, rate in idle.get("wakeups_per_thread", {}).items()]
    return out


def cuts_wall_costs(cuts):
    """What the cuts cost in wall time, program and curl: medians with the cuts less without."""
    def med(label, who):
        return median([r[label][who]["wall"] for r in cuts["rounds"]])
    return tuple(med("cut", who) - med("uncut", who) for who in ("program", "curl"))


def cuts_table(cuts):
    """The dropped connections: bytes the server sent in all and wall time, program against curl,
    with the cuts and without (medians of the rounds), and what the cuts cost."""
    size, n, rounds = cuts["size"], cuts["cuts"], cuts["rounds"]

    def med(label, who, key):
        return median([key(r[label][who]) for r in rounds])

    def row(label, name):
        got = {who: med(label, who, lambda x: x["received"]) for who in ("program", "curl")}
        wall = {who: med(label, who, lambda x: x["wall"]) for who in ("program", "curl")}
        requests = {who: med(label, who, lambda x: len(x["requests"])) for who in ("program", "curl")}
        over = {who: (got[who] - size) / 1024 for who in got}
        return (f"| {name} | {len(rounds)} | {got['program']:.0f} / {got['curl']:.0f} | "
                f"{over['program']:.0f} / {over['curl']:.0f} | {wall['program']:.3f} / {wall['curl']:.3f} | "
                f"{requests['program']:g} / {requests['curl']:g} |"), got, wall

    cut_row, cut_got, cut_wall = row("cut", f"{size_name(size)}, {n} cuts")
    plain_row, plain_got, plain_wall = row("uncut", f"{size_name(size)}, no cuts (same relay)")
    cost = (f"| the {n} cuts' cost (medians: cuts − no cuts) | | {cut_got['program'] - plain_got['program']:+.0f} / "
            f"{cut_got['curl'] - plain_got['curl']:+.0f} | | {cut_wall['program'] - plain_wall['program']:+.3f} / "
            f"{cut_wall['curl'] - plain_wall['curl']:+.3f} | |")
    first = rounds[0]["cut"]
    fell = lambda offsets: ", ".join(f"{o / MiB:.1f}" for o in offsets)   # noqa: E731
    return ["| download | rounds | bytes received, program / curl | of which over the file (KiB) | "
            "wall program / curl (s) | requests program / curl |",
            "| --- | --: | --: | --: | --: | --: |",
            cut_row, plain_row, cost,
            "", f"Each of the first {n} connections the server answers is cut after {cuts['cut_after']} bytes from "
                f"it ({size_name(size)} / {n + 1}, TLS included) by `bench/cutrelay.py`, a relay in front of nginx "
                "that ends the connection mid-body without a TLS close_notify. Bytes received are what the relay "
                "forwarded from the server to the client in all: handshakes and TLS framing included, and what a "
                "cut answer had sent. In the first round the program kept "
                f"{fell(first['program']['cut_at'])} MiB at its cuts; curl's runs ended at "
                f"{fell(first['curl']['lengths'][:-1])} MiB."]


def verdict(ok):
    return "met" if ok else "**missed**"


def goals(results):
    linux = results["linux"]
    rows = [summarise(e) for e in linux["throughput"]]
    big, small = rows[-1], rows[0]
    label = size_name(big["size"])
    spread = abs(big["rss_program"] - small["rss_program"]) / small["rss_program"]
    shown = max(median(f["shown"]) for f in linux["fixed"]) * 1000
    handovers = [(size_name(f["size"]), median(f["handover"]) * 1000) for f in linux["fixed"]]
    end_to_end = [(size_name(r["size"]), END_TO_END_MIN[r["size"]], r["throughput_ratio"])
                  for r in rows if r["size"] in END_TO_END_MIN]
    handover = max(h for _, h in handovers)
    handover_text = ", ".join(f"{h:.0f} ms ({name})" for name, h in handovers)
    idle = linux["idle"]["percent_schedstat"]
    exe = results["size"]["stripped"]
    table = [(f"end to end at {name}", f">= {goal} x curl", f"{ratio:.2f} x", ratio >= goal)
             for name, goal, ratio in end_to_end]
    table += [
        ("CPU time at " + label, f"<= {CPU_RATIO_MAX} x curl", f"{big['cpu_ratio']:.2f} x",
         big["cpu_ratio"] <= CPU_RATIO_MAX),
        ("peak RSS at " + label, f"< {RSS_MAX_MIB} MiB", f"{big['rss_program']:.1f} MiB",
         big["rss_program"] < RSS_MAX_MIB),
        (f"peak RSS, {size_name(small['size'])} vs {label}", f"within {RSS_SPREAD_MAX:.0%}",
         f"{small['rss_program']:.1f} vs {big['rss_program']:.1f} MiB ({spread:.1%})", spread <= RSS_SPREAD_MAX),
        ("start to window shown", f"< {SHOWN_MAX_MS} ms", f"{shown:.0f} ms", shown < SHOWN_MAX_MS),
        ("download complete on disk to tool started (median, every size measured)", f"< {HANDOVER_MAX_MS} ms",
         handover_text, handover < HANDOVER_MAX_MS),
        ("CPU while the tool runs", f"< {IDLE_MAX_PERCENT:g} % of a core", f"{idle:.3f} %", idle < IDLE_MAX_PERCENT),
        size_goal(results["size"]),
    ]
    if "cuts" in linux:
        program, curl = cuts_wall_costs(linux["cuts"])
        table.append((f"the {linux['cuts']['cuts']} cuts' wall-time cost", f"within {CUTS_WALL_MARGIN_S:g} s of curl's",
                      f"{program:+.3f} s against {curl:+.3f} s", program <= curl + CUTS_WALL_MARGIN_S))
    if "wine" in results:
        quit_after = max(median(f["quit_after"]) for f in results["wine"]["fixed"]) * 1000
        table.append(("under Wine: tool exited to program exited (median, every size measured)",
                      f"< {WINE_QUIT_AFTER_MAX_MS} ms", f"{quit_after:.0f} ms", quit_after < WINE_QUIT_AFTER_MAX_MS))
    out = ["| goal (Linux build; ratios are medians of pair-by-pair ratios) | target | measured | |",
           "| --- | --- | --- | --- |"]
    out += [f"| {name} | {target} | {value} | {verdict(ok)} |" for name, target, value, ok in table]
    return out


def size_goal(size):
    exe = size["stripped"]
    return ("Windows executable as built (stripped" + (", signed" if size.get("signature") else "") + ")",
            "<= 1.2 MiB", f"{exe / MiB:.2f} MiB ({exe} bytes)", exe <= EXE_MAX)


SIZE_HEADING = "## Size of the Windows executable"


def update_size(path, size, date):
    """Puts a size measured on its own (`bench.py --size-only`) into an existing report: its goal
    row and its section, dated, so that the report never shows an older size than the last one
    measured."""
    lines = Path(path).read_text().split("\n")
    name, target, value, ok = size_goal(size)
    lines = [f"| {name} | {target} | {value} (measured {date}) | {verdict(ok)} |"
             if line.startswith("| Windows executable as built") else line for line in lines]
    start = lines.index(SIZE_HEADING)
    end = next(i for i in range(start + 1, len(lines)) if lines[i].startswith(("## ", "![")))
    lines[start:end] = [SIZE_HEADING, "", f"Measured on {date} by `bench/bench.py --size-only`.", ""] \
        + size_section(size) + [""]
    Path(path).write_text("\n".join(lines))


def size_section(size):
    signed = f", signed ({size['signature']} bytes of signature)" if size["signature"] else ", unsigned"
    out = [f"The product as the windows-x86 preset builds it ({size['compiler']}; `build/bench-product`): "
           f"**{size['file']} bytes ({size['file'] / MiB:.2f} MiB)**, stripped"
           f"{' (but ' + str(size['symbols_left']) + ' symbols left!)' if size['symbols_left'] else ''}{signed}; "
           f"its symbols file beside it: {size['debug_file']} bytes. "
           f"The bench-windows build (same settings, unsigned, linked with a map) is {size['bench_windows_file']} "
           f"bytes; its map accounts for {size['map_total']} bytes of sections that stay in the file "
           "(the rest is headers, relocations, imports and alignment). \"LTO:\" rows are the program and the "
           "framework, optimised together at link time and told apart by symbol name.",
           "",
           "| largest contributions (from the link map) | bytes | | by library | bytes |",
           "| --- | --: | --- | --- | --: |"]
    members, archives = size["by_member"], size["by_archive"]
    for i in range(max(len(members), len(archives))):
        m = members[i] if i < len(members) else ("", "")
        a = archives[i] if i < len(archives) else ("", "")
        out.append(f"| {m[0]} | {m[1]} | | {a[0]} | {a[1]} |")
    sections = ", ".join(f"{name} {value}" for name, value in size["by_section"])
    out += ["", f"By output section (map): {sections}."]
    if size.get("sections"):
        raw = ", ".join(f"{name} {value}" for name, value in size["sections"].items())
        out += ["", f"Sections of the shipped file (raw sizes): {raw}."]
    return out


def write_chart(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.4), dpi=110)
    styles = {"linux": "o-", "wine": "s--"}
    colours = {"program": "#1f77b4", "curl": "#d62728"}
    for kind in ("linux", "wine"):
        if kind not in results:
            continue
        rows = [summarise(e) for e in results[kind]["throughput"]]
        x = [r["size"] / MiB for r in rows]
        for who in ("program", "curl"):
            label = f"{'Vantrel Install' if who == 'program' else 'curl + tool'} ({'Linux' if kind == 'linux' else 'Wine'})"
            med = [r[f"throughput_{who}"] for r in rows]
            low = [m - min(r[f"throughput_{who}_all"]) for m, r in zip(med, rows)]
            high = [max(r[f"throughput_{who}_all"]) - m for m, r in zip(med, rows)]
            axes[0].errorbar(x, med, yerr=[low, high], fmt=styles[kind], color=colours[who], capsize=3, label=label)
            points = [(r["size"] / MiB, r[f"transfer_{who}"]) for r in rows if r[f"transfer_{who}"]]
            if points:
                axes[1].plot(*zip(*points), styles[kind], color=colours[who], label=label)
    for ax, title in ((axes[0], "End to end: download, start the tool, delete\n(file size / wall time; "
                                "median, min–max)"),
                      (axes[1], "Transfer only: size / nginx's request time\n(median; sizes where it is 50 ms or more)")):
        ax.set_xscale("log", base=2)
        ax.set_xticks([16, 64, 256, 1024])
        ax.set_xticklabels(["16 MiB", "64 MiB", "256 MiB", "1 GiB"])
        ax.set_xlabel("file size")
        ax.set_ylabel("MiB/s")
        ax.set_ylim(bottom=0)
        ax.grid(True, alpha=0.3)
        ax.set_title(title, fontsize=10)
        ax.legend(fontsize=8)
    fig.suptitle(f"Vantrel Install against curl over HTTPS on loopback ({results['date']})", fontsize=11)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write(results, out_dir):
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    lines = ["# Vantrel Install benchmark", "",
             f"Measured by `bench/run` on {results['date']}, {results['cpus']} cores, load average "
             f"{results['loadavg_before'][0]:.2f} before and {results['loadavg_after'][0]:.2f} after; "
             f"{results['seconds'] / 60:.1f} minutes of measuring. {results['versions']['nginx']} over TLS on "
             f"loopback; {results['versions']['curl'].split(' (')[0]}; {results['versions']['wine']}.",
             "",
             "Each pair is one run of the program (download, start the tool, wait for it, delete, quit) and "
             "one of `curl -sS -o` + `chmod +x` + starting the same tool + deleting the file. CPU time is "
             "user + system of the whole process tree; peak RSS is `ru_maxrss` of the program and of curl. "
             "Ratios are taken pair by pair, then their median is shown. \"Transfer only\" is nginx's "
             "request time (first request byte to last response byte handed to the socket).",
             "", "## Goals", ""]
    lines += goals(results)
    lines += ["", "## Linux build against curl", ""]
    lines += throughput_table(results["linux"])[0]
    lines += ["", "## Fixed costs (Linux build)", ""]
    lines += fixed_table(results["linux"])
    if "cuts" in results["linux"]:
        lines += ["", "## Dropped connections (Linux build against curl; reported, no goal)", "",
                  "The program resumes on its own (its next attempt, on its 500 ms timer, asks for the rest with "
                  "`Range` and `If-Range`); curl is run again with `-C -` and `If-Range: <the first answer's ETag>` "
                  "until the file is whole (`--retry` would start from zero). Both then start the tool and delete "
                  "the file, as above.", ""]
        lines += cuts_table(results["linux"]["cuts"])
    if "wine_error" in results:
        lines += ["", "## Windows build under Wine", "", "The Wine part failed:", "", "```",
                  results["wine_error"].strip(), "```"]
    if "wine" in results:
        lines += ["", "## Windows build under Wine against curl (reported; no goal)", "",
                  f"`{project_path(results.get('windows_build', ''))}` under {results['versions']['wine']}.", ""]
        lines += throughput_table(results["wine"])[0]
        lines += ["", "Fixed costs under Wine:", ""]
        lines += fixed_table(results["wine"])
        if "cuts" in results["wine"]:
            lines += ["", "Dropped connections under Wine:", ""]
            lines += cuts_table(results["wine"]["cuts"])
    lines += ["", SIZE_HEADING, ""]
    lines += size_section(results["size"])
    lines += ["", "![throughput against file size](throughput.png)", ""]
    text = "\n".join(lines)
    (out_dir / "results.md").write_text(text)
    write_chart(results, out_dir / "throughput.png")
    return text


if __name__ == "__main__":
    root = Path(__file__).resolve().parent.parent
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "bench" / "results.json"
    target = Path(sys.argv[2]) if len(sys.argv) > 2 else root / "docs" / "bench"
    print(write(json.loads(source.read_text()), target))
