"""The benchmark's pure pieces: medians, ratios, the run order, the report
parsing and the rendering of tables from samples.
python3 -m unittest discover -s bench"""
import json
import math
import unittest

import render
from bench import dumps
from benchmarks import reported_sizes
from runner import patched_files
from stats import alternating, median, ratio, verdict


class Arithmetic(unittest.TestCase):
    def test_medians_ratios_verdicts_and_order(self):
        for values, expected in [([3, 1, 2], 2), ([4, 1, 3, 2], 2.5), ([7], 7)]:
            self.assertEqual(median(values), expected)
        self.assertTrue(math.isnan(median([])))
        for mine, floor, printed in [(3, 2, "1.50"), (1, 3, "0.33"), (1, 0, "n/a")]:
            self.assertEqual(ratio(mine, floor), printed)
        self.assertEqual(ratio(778, 1000, digits=3), "0.778")
        for printed, limit, expected in [("1.20", 1.2, "met"), ("1.21", 1.2, "**missed**"),
                                         ("n/a", 1.2, "**missed**")]:
            self.assertEqual(verdict(printed, limit), expected)
        self.assertEqual([alternating(run, "ab") for run in range(3)],
                         [["a", "b"], ["b", "a"], ["a", "b"]])
        self.assertEqual(alternating(5, ["n", "r", "s", "t"]), ["r", "s", "t", "n"])


class Reports(unittest.TestCase):
    def test_bundle_delta_report(self):
        report = ("kept Contents/Info.plist\n"
                  "patched Contents/MacOS/a b: 1200 bytes, patch 30 bytes\n"
                  "patched Contents/lib.so: 900 bytes, patch 12 bytes from Contents/old.so\n"
                  "delta archive: 1311961 bytes, full archive: 26094488 bytes (5.0 %)\n")
        self.assertEqual(patched_files(report), [("Contents/MacOS/a b", 1200, 30),
                                                 ("Contents/lib.so", 900, 12)])
        self.assertEqual(reported_sizes(report), "1311961 of 26094488 (5.0 %)")
        self.assertEqual(reported_sizes("nothing"), "")


def entry(**fields):
    return {"measured": "2026-12-09 12:00 UTC", "command": "make bench", "machine": "m",
            "compiler": "c", **fields}


class Rendering(unittest.TestCase):
    def test_tables_from_samples(self):
        # Launches: self tree backend frontend rss wall; the shell's remainder
        # beyond the exit tail (1) is its helpers' time.
        launcher = entry(
            settings={"launch_runs": 1, "callgrind_runs": 1},
            sizes={"bundle_starter": 9, "launch_floor": 8, "launcher.sh": 7},
            samples={"starter": {"launches": [[2e6, 6e6, 1e6, 2e6, 2048, 250e6]],
                                 "instructions": [300000]},
                     "floor": {"launches": [[1e6, 5e6, 1e6, 2e6, 1024, 100e6]],
                               "instructions": [200000]},
                     "shell": {"launches": [[4e6, 20e6, 1e6, 2e6, 4096, 300e6]],
                               "instructions": [1000000]}})
        options = entry(settings={"runs": 1, "files": 10, "pause_ms": 750,
                                  "options": ["none", "--team-id"]},
                        samples={"none": [[850e6, 40e6, 1]], "--team-id": [[950e6, 60e6, 1]]})
        sizes = entry(programs=[{"label": "bundle_starter", "bytes": 9, "runtime": "libc only"}])
        samples = {"run": {"machine": "m", "compiler": "c"},
                   "benchmarks": {"launcher": launcher, "options": options, "sizes": sizes}}
        page = render.render(json.loads(dumps(samples)))
        for row in [
                "| CPU time (user + system) of the launch, ms | 2.00 | 1.00 | 16.00 |",
                "| of which helper processes, ms | none | none | 12.00 (mkdir, sleep) |",
                "| launches that needed a second probe (200 ms pause) | 1 of 1 | 0 of 1 | 1 of 1 |",
                "| CPU time, bundle_starter / C floor | **2.00** | 1.5 | **missed** |",
                "| instructions, bundle_starter / shell launcher | **0.30** | 0.3 | met |",
                "| --team-id | 200.00 | **2.00** | 60.00 | **1.50** |",
                "| bundle_starter | 9 | libc only |",
                "## install\n\nNot measured yet: `make bench ONLY=install`.",
                "Measured on 2026-12-09 12:00 UTC by `make bench`."]:
            self.assertIn(row, page)
        self.assertEqual(render.launcher_summary(launcher)[3],
                         "CPU time, bundle_starter / C floor: 2.00 (limit 1.5) **missed**")


if __name__ == "__main__":
    unittest.main()
