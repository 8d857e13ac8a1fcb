#!/usr/bin/env python3
"""Writes a user's history for the window: LINES log lines in the settings file and
RESULTS rows in the results file, under DATA_HOME/Korvane, as years of use leave them.

    make-history.py DATA_HOME LINES RESULTS [TARGETS]

TARGETS: how many targets the results name, in turn (default: 7 servers and 11 pages);
"distinct" gives every result a target of its own, as a web test of many pages leaves.
"""
import os
import sys


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    home, lines, results = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    targets = sys.argv[4] if len(sys.argv) == 5 else ""

    def target(i):
        if targets == "distinct":
            return f"http://www.example.org/page{i}"
        if targets:
            return f"speed{i % int(targets)}.example.net"
        return f"speed{i % 7}.example.net" if i % 3 else f"http://www.example.org/page{i % 11}"
    folder = os.path.join(home, "Korvane")
    os.makedirs(folder, exist_ok=True)

    # Day counts from 30 December 1899: results spread over the last years, an hour apart.
    first_day = 45000.0
    with open(os.path.join(folder, "KorvaneResults.xml"), "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        out.write(f'<KorvaneResults version="1" nextOrder="{results + 1}">\n')
        out.write("    <columns>\n")
        for name, kind in (("Order", "autoinc"), ("Server", "string255"), ("StartTime", "datetime"),
                           ("Duration", "int32"), ("BytesRx", "double"), ("Result", "double"),
                           ("Speed", "double")):
            out.write(f'        <column name="{name}" type="{kind}"/>\n')
        out.write("    </columns>\n    <rows>\n")
        for i in range(results):
            server = target(i)
            rate = 800.0 + (i * 7919) % 5000000 / 3.0
            duration = 1000 + i % 900
            size = rate * 1024 * duration / 1000
            out.write(f'        <row Order="{i + 1}" Server="{server}" StartTime="{first_day + i / 24:.10f}" '
                      f'Duration="{duration}" BytesRx="{size:.0f}" Result="{rate!r}" Speed="{rate!r}"/>\n')
        out.write("    </rows>\n</KorvaneResults>\n")

    with open(os.path.join(folder, "KrvnClnt.ini"), "w", encoding="utf-8") as out:
        out.write("[fMain]\n")
        out.write(f"AccumulatedTestCount={results}\n\n")
        out.write("[fMain\\mmDIsplay_Lines]\n")
        texts = ("Initiating Test to speed3.example.net", "Connected to speed3.example.net",
                 "Receiving data - timer started.", "Disconnected",
                 "Received 102,400.00 KB (104857600) in 1,234.57 milliseconds",
                 "82,944.12 KB per second", "Test finished")
        for i in range(lines):
            minute, second = (i // 60) % 60, i % 60
            out.write(f"Item{i}=12/10/2026 2:{minute:02d}:{second:02d} PM - {texts[i % len(texts)]}\n")
        out.write(f"Count={lines}\n")


if __name__ == "__main__":
    main()
