"""stats-report on handmade logs: pairing by id, percentiles, lines that are
garbage, events that are well-formed but cannot be the downloader's, finals
without a start and starts without a final, and logs that look alike."""

import gzip
import json
import os
import shutil
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
from owner.stats_metrics import metrics_text  # noqa: E402
from owner.stats_render import finals_without_start_text  # noqa: E402
from owner.stats_report import open_store, read_into, summarize  # noqa: E402
from synthetic_events import event_line, quoted  # noqa: E402


def summary_of(*logs, **period):
    """The summary of logs read in this order into a new history."""
    db, _ = open_store(":memory:")
    for number, lines in enumerate(logs):
        read_into(db, lines, f"log{number}")
    return summarize(db, package_size=1000, **period)[0]


def dated(line, day):
    return line.replace("2026-12-08T", f"2026-12-{day}T")


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
        summary = summary_of(lines)
        # The final without a start is counted as such, and in no figure.
        self.assertEqual(summary["downloads"], {
            "started": 3, "succeeded": 1, "failed": 1, "canceled": 0, "started_never_finished": 1,
            "final_without_start": 1, "repeated_final_events": 1})
        self.assertEqual(summary["rejected_events"], {"count": 0, "reasons": {}})
        self.assertEqual(summary["finals_without_start"], {"count": 1, "succeeded": 0, "failed": 0, "canceled": 1,
                                                           "success_rate": 0.0, "failure_codes": {}})
        self.assertEqual(summary["failures"], [{"errorCode": 22, "name": "CURLE_HTTP_RETURNED_ERROR",
                                                "errorMsg": "Curl error.", "count": 1}])
        self.assertEqual(summary["success_rate"], 50.0)
        self.assertEqual(summary["days"], [{"day": "2026-12-08", "started": 3, "succeeded": 1, "failed": 1,
                                            "canceled": 0, "success_rate": 50.0}])
        self.assertEqual(summary["installers"], [{"installer": "http://dl.example.com/files/ab/TovikSetup.exe",
                                                  "succeeded": 1, "failed": 1, "canceled": 0, "success_rate": 50.0}])
        self.assertEqual(summary["retries"]["error_count_distribution"], {"1": 1, "5": 1})
        self.assertEqual(summary["retries"]["failing_package_indices"], [{"index": 1, "failed_attempts": 6}])
        self.assertEqual(summary["package_times_ms"]["count"], 4)
        self.assertAlmostEqual(summary["package_times_ms"]["median"], 100.0, delta=3)  # from bins of 2.3 %
        # The last package may be short, so it is left out: 2 packages of 1000 bytes in 300 ms.
        self.assertAlmostEqual(summary["throughput_mb_per_s"]["median"], 2000 / 300 / 1000, delta=2000 / 300 / 1000 * 0.023)
        self.assertEqual(summary["unparsed_lines"]["count"], 3)
        self.assertEqual([b["line"] for b in summary["unparsed_lines"]["first"]], [8, 9, 10])
        self.assertEqual([b["line"] for b in summary["unparsed_lines"]["latest"]], [10, 9, 8])

    def test_each_hostile_line_costs_one_unparsed_line_and_nothing_else(self):
        good = [event_line("download-started", "a"),
                event_line("download-failed", "a", code=28, times=[100, 200], errors=[{"number": 1, "errCode": 28}])]
        final = event_line("download-succeeded", "h", times=[100], errors=[{"number": 0, "errCode": 7}])

        def edited(old, new):
            return final.replace(old, new)
        hostile = {
            "nested brackets in errors": edited("errors=%5B", "errors=" + "%5B" * 1100),
            "a 20-digit totalTime": edited("totalTime=100", "totalTime=" + "9" * 20),
            "a 20-digit package time": edited("packageTimes=%5B100", "packageTimes=%5B" + "9" * 20),
            "a negative package time": edited("packageTimes=%5B100", "packageTimes=%5B-5"),
            "a negative totalTime": edited("totalTime=100", "totalTime=-5"),
            "an error item without its number": edited("%22number%22%3A0%2C", ""),
            "a line nested a million deep": "[" * 1000000 + "]" * 1000000,
            "a line of 3 MiB": final[:-2] + "x" * (3 << 20) + final[-2:],
            "binary": "\x00\xff\x1b[31m\ufffd" * 50,
            "no query": '{"event":"download-succeeded"}',
            "a lone surrogate": edited("TovikSetup", "Tovik\\ud800Setup"),
            "an impossible time": edited("2026-12-08T12:00:00+00:00", "9999-99-99T99:99:99+99:99"),
            "a NUL in the id": edited("id=h&", "id=h\\u0000x&"),
        }
        # Well-formed, sent by anyone: rejected with a reason, in no figure.
        absurd = {
            "30,000 package times of 2^31-1": edited("packageNumber=1&totalTime=100&packageTimes=%5B100%5D",
                                                    "packageNumber=30000&totalTime=2147483647&packageTimes=%5B" +
                                                    "%2C".join(["2147483647"] * 30000) + "%5D"),
            "9,000 errors of package 0": edited("errorCount=1&errors=%5B%7B%22number%22%3A0%2C%22errCode%22%3A7%7D%5D",
                                                "errorCount=9000&errors=%5B" + "%2C".join(
                                                    ["%7B%22number%22%3A0%2C%22errCode%22%3A7%7D"] * 9000) + "%5D"),
            "packageNumber 2^31-1 in 2 ms": edited("packageNumber=1&totalTime=100", "packageNumber=2147483647&totalTime=2"),
            "refused by the server": edited('"status":204', '"status":429'),
        }
        good.append(event_line("download-started", "h"))
        expected = summary_of(good)
        figures = ("downloads", "failures", "failures_by_code", "retries", "package_times_ms", "download_times_ms",
                   "throughput_mb_per_s", "installers", "success_rate")
        for kind, lines, count in (("unparsed_lines", hostile, 1), ("rejected_events", absurd, 1),
                                   ("finals_without_start", {"4,000 forged finals without a start": [
                                       event_line("download-failed", f"forged{n}", code=7) for n in range(4000)]}, 4000)):
            for name, line in lines.items():
                with self.subTest(name):
                    summary = summary_of(good + (line if isinstance(line, list) else [line]))
                    self.assertEqual(summary[kind]["count"], count)
                    for key in figures:
                        got, want = summary[key], expected[key]
                        if key == "downloads":
                            got, want = dict(got, final_without_start=0), dict(want, final_without_start=0)
                        self.assertEqual(got, want, key)

    def test_lost_starts_by_outcome_releases_by_instant_and_a_package_of_a_day(self):
        sha = "ab" * 32
        url = f"http://dl.example.com/files/{sha}/TovikSetup.exe"

        def download(name, at, starts=True, **values):  # at: nginx's local time in Warsaw (UTC+1 in December)
            time = f"2026-12-08T{at}:00+01:00"
            return ([event_line("download-started", name, time=time)] if starts else []) + \
                [event_line(values.pop("event", "download-succeeded"), name, url=url, time=time, **values)]
        # Republished at 12:00 UTC with another package size: 12:30 in Warsaw is 11:30 UTC, the first release's.
        releases = [{"file": "TovikSetup.exe", "sha256": sha, "package_size": size, "published": published}
                    for size, published in ((1000, "2026-12-08T10:00:00+00:00"), (2000, "2026-12-08T12:00:00+00:00"))]
        day_long = 2 ** 30 * 1000 // 12000  # one 1 GiB package at 12 KB/s: over a day, and real
        lines = (download("first", "12:30", times=[100, 100]) + download("second", "13:30", times=[100, 100]) +
                 download("long", "13:40", times=[day_long]) +
                 download("lost", "13:45", starts=False, times=[100]) +
                 download("swapped", "13:50", starts=False, event="download-failed", code=133, times=[100]))
        db, _ = open_store(":memory:")
        read_into(db, lines, "log")
        summary = summarize(db, package_size=1000, releases=releases)[0]
        self.assertEqual((summary["downloads"]["succeeded"], summary["downloads"]["failed"]), (3, 0))
        self.assertEqual(summary["rejected_events"]["count"], 0)
        self.assertEqual(finals_without_start_text(summary["finals_without_start"]),
                         "finals without a start: 2 (1 succeeded, 1 failed with 133)")
        self.assertEqual([(r["package_size"], r["succeeded"]) for r in summary["releases"]], [(1000, 1), (2000, 2)])

    def test_resumed_downloads_count_what_they_transferred_and_what_they_saved(self):
        big = 3 * 2 ** 31  # a byte offset past 32 bits
        lines = [event_line("download-started", "r"),
                 event_line("download-succeeded", "r", times=[100, 200, 300], resumed=big),
                 event_line("download-started", "s"),  # says the packages before its offset too
                 event_line("download-succeeded", "s", times=[100, 200], package_number=9, resumed=6000),
                 event_line("download-started", "t"),
                 event_line("download-failed", "t", code=28, times=[100], resumed=3000,
                            errors=[{"number": 1, "errCode": 28}] * 5),
                 event_line("download-started", "u"),
                 event_line("download-succeeded", "u", times=[100, 200, 300], package_number=9)]  # not resumed
        summary = summary_of(lines)
        self.assertEqual(summary["rejected_events"]["reasons"], {"packageTimes do not match packageNumber": 1})
        self.assertEqual(summary["resumed"], {"count": 3, "succeeded": 2, "bytes_saved": big + 6000})
        # Whole packages this run transferred: 2 in 300 ms and 1 in 100 ms, 1000 bytes each.
        self.assertEqual(summary["throughput_mb_per_s"]["count"], 2)
        self.assertAlmostEqual(summary["throughput_mb_per_s"]["p90"], 1000 / 100 / 1000, delta=0.01 * 0.023)
        db, _ = open_store(":memory:")
        read_into(db, lines, "log")
        text = metrics_text(db, 1796731200, 0.25)
        self.assertIn('tovik_downloads_resumed_total{outcome="failed"} 1\n', text)
        self.assertIn(f"tovik_download_resumed_bytes_total {big + 6000}\n", text)

    def test_metrics_escape_their_labels_and_show_the_own_codes_from_the_start(self):
        url = "http://dl.example.com/files/" + "cd" * 32 + "/" + quoted('Tovik "Setup\\.exe')
        db, _ = open_store(":memory:")
        read_into(db, [event_line("download-started", "m"), event_line("download-succeeded", "m", url=url, times=[5]),
                       event_line("download-failed", "n", code=133)], "log")
        text = metrics_text(db, 1796731200, 0.25)
        self.assertIn('tovik_downloads_by_release_total{release="Tovik \\"Setup\\\\.exe (cdcdcdcd)",outcome="succeeded"} 1\n',
                      text)
        for code in range(128, 136):  # 133 without its start: in no counter yet
            self.assertIn(f'tovik_download_failures_total{{code="{code}"}} 0\n', text)
        self.assertIn('tovik_finals_without_start{outcome="failed"} 1\n', text)

    def test_history_counts_each_line_once_and_reports_a_period(self):
        log = [dated(event_line("download-started", "a"), "01"), dated(event_line("download-succeeded", "a"), "01"),
               dated(event_line("download-started", "b"), "02")]
        grown = log + [dated(event_line("download-failed", "b", code=7), "02"),
                       dated(event_line("download-started", "c"), "03")]
        rotated_next = [dated(event_line("download-canceled", "c"), "03")]  # the log after rotation
        # Read, read again, read grown, read its rotated copy, then the next log.
        summary = summary_of(log, log, grown, grown, rotated_next)
        self.assertEqual(summary["lines"], 6)
        self.assertEqual(summary["downloads"], {
            "started": 3, "succeeded": 1, "failed": 1, "canceled": 1, "started_never_finished": 0,
            "final_without_start": 0, "repeated_final_events": 0})
        self.assertEqual(summary["period"]["first"], "2026-12-01T12:00:00+00:00")
        middle = summary_of(grown, rotated_next, since="2026-12-02", until="2026-12-02")
        self.assertEqual((middle["downloads"]["started"], middle["downloads"]["failed"], middle["success_rate"]),
                         (1, 1, 0.0))
        self.assertEqual([d["day"] for d in middle["days"]], ["2026-12-02"])
        self.assertEqual(middle["lines"], 2)  # the period's, not the history's
        self.assertEqual(middle["compared_with_previous_period"]["previous"]["since"], "2026-12-01")

    def test_a_history_from_before_the_per_day_counts_reports_the_same(self):
        import sqlite3
        log = [event_line("download-started", "a"), event_line("download-succeeded", "a", times=[100, 200]),
               event_line("download-started", "b"), event_line("download-failed", "b", code=7, times=[50]),
               event_line("download-started", "c"), event_line("download-canceled", "d")]
        path = os.path.join(tempfile.mkdtemp(), "history.sqlite")
        db, _ = open_store(path)
        read_into(db, log, "log")
        now = summarize(db, package_size=1000)[0]
        db.close()
        old = sqlite3.connect(path)  # as such a history is: no per-day counts, no marks
        old.executescript("DROP TABLE final_groups; DROP TABLE final_bins; DROP TABLE marks; "
                          "DELETE FROM line_counts WHERE name LIKE 'starts%'")
        old.close()
        from unittest import mock
        for writable in (False, True):  # one this user may not write: counted in a copy; else once, in place
            with mock.patch("os.access", return_value=writable):
                db, opened_writable = open_store(path)
            self.assertEqual((opened_writable, summarize(db, package_size=1000)[0]), (writable, now))
            db.close()
        shutil.rmtree(os.path.dirname(path))

    def test_logs_that_look_alike_each_count_and_a_line_being_written_waits(self):
        import io
        from owner.stats_report import read_into as read
        whole = [dated(event_line("download-started", n), "01") for n in "abcdef"]
        # A sample read first, then the whole log; a log with the same first line but other lines.
        other = whole[:1] + [dated(event_line("download-started", n), "01") for n in "xyz"]
        self.assertEqual(summary_of(whole[:3], whole, other)["downloads"]["started"], 9)
        self.assertEqual(summary_of(whole[:3], whole, other)["lines"], 6 + 4)
        db, _ = open_store(":memory:")
        text = "\n".join(whole).encode()
        read(db, io.BytesIO(text[:-40]), "events.log")  # the last line still being written
        self.assertEqual(summarize(db)[0]["downloads"]["started"], 5)
        read(db, io.BytesIO(text + b"\n"), "events.log")
        summary = summarize(db)[0]
        self.assertEqual((summary["downloads"]["started"], summary["unparsed_lines"]["count"]), (6, 0))

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
        json_output = subprocess.run([tool, log, "-o", os.path.join(folder, "r.json")], capture_output=True, text=True)
        self.assertEqual((json_output.returncode, os.path.exists(os.path.join(folder, "r.json"))), (2, False))
        # A rotated .gz log with the final, read before the log with the start, and standard input.
        with gzip.open(os.path.join(folder, "events.log.1.gz"), "wt") as f:
            f.write(event_line("download-succeeded", "a", times=[5]) + "\n")
        # A rotated log that is not there yet is skipped; standard input needs --store.
        store = os.path.join(folder, "tovik-events.sqlite")
        both = subprocess.run([tool, os.path.join(folder, "events.log.1.gz"), os.path.join(folder, "events.log.2.gz"),
                               "-", "-o", report, "--store", store], input=read(log), capture_output=True, text=True)
        self.assertEqual(both.returncode, 0, both.stderr)
        downloads = json.loads(read(os.path.join(folder, "out.json")))["downloads"]
        self.assertEqual((downloads["succeeded"], downloads["final_without_start"]), (1, 0))
        self.assertTrue(os.path.isfile(store))  # beside the first log
        # A read-only history (another user's, as root runs the tests) still
        # gives its report and is left exactly as it was.
        out = os.path.join(folder, "out")
        os.mkdir(out)
        os.chmod(out, 0o777)
        os.chmod(folder, 0o755)
        for name in os.listdir(folder):
            os.chmod(os.path.join(folder, name), 0o777 if name == "out" else 0o644)
        before = sorted(os.listdir(folder))
        as_other = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
        if as_other:  # a copy of the tool that user can reach (the checkout may be in /root)
            tools_copy = tempfile.mkdtemp()
            shutil.copytree(os.path.join(TOOLS, "owner"), os.path.join(tools_copy, "owner"),
                            ignore=shutil.ignore_patterns("__pycache__"))
            shutil.copy(tool, tools_copy)
            subprocess.run(["chmod", "-R", "a+rX", tools_copy], check=True)
            tool = os.path.join(tools_copy, "stats-report")
        else:
            os.chmod(store, 0o444)
        done = subprocess.run(as_other + [tool, log, "-o", os.path.join(out, "ro.html"), "--store", store],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("read-only", done.stderr)
        self.assertEqual(sorted(os.listdir(folder)), before)
        subprocess.run(["rm", "-rf", folder] + ([tools_copy] if as_other else []), check=True)


if __name__ == "__main__":
    unittest.main()
