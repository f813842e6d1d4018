"""The install figures of bench/install/run.sh's output as rows of docs/performance.md, for
bench/run.sh (the whole page, or with ONLY=install just the install rows and their note)."""
import re

GOAL = 1.10

HOW = ("- **Install**: the real install sequence (`install_bench_driver install`: `hdiutil` "
       "stand-in extracting the ISO image, `ditto`, `codesign --verify --deep --strict -R=…` of "
       "the image before the attach and of the copy after it, `mv`, detach, tidy) into a fresh simulated root, against "
       "the same steps typed into a plain shell script with the same stand-ins "
       "(`bench/install/by_hand.sh`), each in a fresh root and followed by `sync`, alternating. "
       "The stand-ins cost the same on both sides (the simulated attach copies the whole payload "
       "out of the image, the simulated signature check hashes every byte of the copy), so the "
       "ratio is our own overhead: the shell commands we start through zsh, the attempt to move "
       "an installed app aside, the waits for each child. A second row keeps the older reference, "
       "`cp -R` of the app already extracted from the same image, which shows what the "
       "simulation costs rather than what we add.")


def parse(text):
    """The figures of one bench/install/run.sh install run; None when it has none."""
    m = re.search(r"install (\d+) MiB: ours ([\d.]+) s, by hand ([\d.]+) s, ratio [\d.]+, "
                  r"cp -R ([\d.]+) s", text)
    if not m:
        return None
    medians = re.search(r"^medians ours: [\d.]+ s, by hand: [\d.]+ s, ratio ([\d.]+)$", text, re.M)
    steps_ours = re.search(r"^steps ours: (.*)$", text, re.M)
    steps_hand = re.search(r"^steps by hand: (.*)$", text, re.M)
    return {"size": int(m[1]), "ours": float(m[2]), "hand": float(m[3]), "cp": float(m[4]),
            "median_ratio": medians[1] if medians else "?",
            "steps_ours": steps_ours[1] if steps_ours else "",
            "steps_hand": steps_hand[1] if steps_hand else ""}


def rows(f, rounds, when=""):
    """(figure, ours, reference, ratio, goal, how) rows for the figures `f` of `parse`."""
    r = f["ours"] / f["hand"] if f["hand"] else float("nan")
    stamp = f"; {when}" if when else ""
    return [
        (f"Install of a {f['size']} MiB image", f"{f['ours']:.2f} s",
         f"the same steps by hand {f['hand']:.2f} s", f"{r:.2f}",
         f"≤ {GOAL:.2f}: {'met' if r <= GOAL else 'NOT met'}",
         f"best of {rounds}, alternating, each in a fresh root and followed by `sync`; ratio of "
         f"the medians {f['median_ratio']}; steps (s) of the best rounds, ours: "
         f"{f['steps_ours']}; by hand: {f['steps_hand']}{stamp}"),
        (f"Install of a {f['size']} MiB image, against copying alone", f"{f['ours']:.2f} s",
         f"`cp -R` of its contents {f['cp']:.2f} s", f"{f['ours'] / f['cp']:.2f}", "—",
         "what the simulation costs (attach extracts the image, the signature check hashes "
         f"the copy), not what we add; same rounds{stamp}"),
    ]


def table_line(row):
    return "| " + " | ".join(c.replace("|", "\\|") for c in row) + " |"


def replace_in_doc(doc, new_rows):
    """`doc` (docs/performance.md) with its install rows and install note replaced."""
    lines = doc.splitlines()
    out, placed = [], False
    for line in lines:
        if line.startswith("| Install of a"):
            if not placed:
                out.extend(table_line(r) for r in new_rows)
                placed = True
            continue
        if line.startswith("- **Install**"):
            out.append(HOW)
            continue
        out.append(line)
    if not placed:  # after the last row of the figures table
        last = max((i for i, l in enumerate(out) if l.startswith("| ")), default=len(out) - 1)
        out[last + 1:last + 1] = [table_line(r) for r in new_rows]
    if HOW not in out:
        out.append(HOW)
    return "\n".join(out) + ("\n" if doc.endswith("\n") else "")
