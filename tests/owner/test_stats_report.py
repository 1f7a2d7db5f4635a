"""stats-report on handmade logs: pairing by id, percentiles, and lines that
are garbage, finals without a start and starts without a final."""

import json
import os
import subprocess
import sys
import tempfile
import unittest


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
sys.path.insert(0, TOOLS)
sys.path.insert(0, HERE)
from owner.stats_report import read_events, summarize  # noqa: E402
from synthetic_events import event_line  # noqa: E402


class Report(unittest.TestCase):
    def test_pairs_starts_with_finals_and_survives_garbage(self):
        lines = [
            event_line("download-started", "a"),
            event_line("download-succeeded", "a", times=[100, 200, 300], errors=[{"number": 1, "errCode": 28}]),
            event_line("download-started", "b"),
            event_line("download-failed", "b", code=22, times=[50],
                       errors=[{"number": 1, "errCode": 22}] * 5),
            event_line("download-started", "c"),  # never finished
            event_line("download-canceled", "d"),  # no start
            event_line("download-succeeded", "a", times=[1]),  # a second final for a
            "not json at all",
            '{"event":"download-started"}',
            json.dumps({"event": "download-failed", "query": "id=e&errorCount=x"}),
            "",
        ]
        events = read_events(lines)
        summary = summarize(events, package_size=1000)
        self.assertEqual(summary["downloads"], {
            "started": 3, "succeeded": 1, "failed": 1, "canceled": 1, "started_never_finished": 1,
            "final_without_start": 1, "repeated_final_events": 1})
        self.assertEqual(summary["failures"], [{"errorCode": 22, "errorMsg": "Curl error.", "count": 1}])
        self.assertEqual(summary["retries"]["error_count_distribution"], {"0": 1, "1": 1, "5": 1})
        self.assertEqual(summary["retries"]["failing_package_indices"], [{"index": 1, "failed_attempts": 6}])
        self.assertEqual(summary["package_times_ms"]["count"], 4)
        self.assertEqual(summary["package_times_ms"]["median"], 150.0)
        # 3 packages of 1000 bytes in 600 ms: 5 bytes/ms = 0.005 MB/s
        self.assertAlmostEqual(summary["throughput_mb_per_s"]["median"], 0.005)
        self.assertEqual(summary["unparsed_lines"]["count"], 3)
        self.assertEqual([b["line"] for b in summary["unparsed_lines"]["first"]], [8, 9, 10])

    def test_command_line_writes_both_files_and_refuses_a_missing_log(self):
        folder = tempfile.mkdtemp()
        log = os.path.join(folder, "events.log")
        with open(log, "w") as f:
            f.write(event_line("download-started", "a") + "\n")
        report = os.path.join(folder, "out.html")
        tool = os.path.join(TOOLS, "stats-report")
        done = subprocess.run([tool, log, "-o", report], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(read(report).startswith("<!DOCTYPE html>"))
        self.assertEqual(json.loads(read(os.path.join(folder, "out.json")))["downloads"]["started_never_finished"], 1)
        missing = subprocess.run([tool, os.path.join(folder, "none.log")], capture_output=True, text=True)
        self.assertEqual((missing.returncode, missing.stderr.count("\n")), (1, 1))
        subprocess.run(["rm", "-rf", folder], check=True)


if __name__ == "__main__":
    unittest.main()
