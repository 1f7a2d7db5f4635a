"""Synthetic event logs in the nginx configuration's JSON-lines format, for
the report's tests and its speed measurement:
  synthetic_events.py COUNT [FIRST_ID] > events.log"""

import json
import random
import sys
import urllib.parse


def quoted(text):
    return urllib.parse.quote(text, safe="")


def event_line(name, download, **values):
    query = f"id={download}&branding=Tovik"
    if name != "download-started":
        times = values.get("times", [])
        errors = values.get("errors", [])
        if name == "download-failed":
            query += f"&errorCode={values['code']}&errorMsg={quoted(values.get('message', 'Curl error.'))}"
        url = values.get("url", "http://dl.example.com/files/ab/TovikSetup.exe")
        query += (f"&url={quoted(url)}&errorCount={len(errors)}"
                  f"&errors={quoted(json.dumps(errors, separators=(',', ':')))}"
                  f"&packageNumber={values.get('package_number', len(times))}"
                  f"&totalTime={sum(times)}&packageTimes={quoted('[' + ','.join(map(str, times)) + ']')}")
        if "resumed" in values:
            query += f"&resumedFrom={values['resumed']}"
    return json.dumps({"time": values.get("time", "2026-12-08T12:00:00+00:00"), "event": name, "query": query,
                       "userAgent": "Tovik-Lumen-Downloader/2.1.2 (OS;Windows;Windows NT 10.0) (BRANDING;Tovik)",
                       "status": 204}, separators=(",", ":"))


def lines(count, seed=1, first=0):
    rng = random.Random(seed)
    for n in range(first, first + count // 2):
        download = f"{n:032d}"
        yield event_line("download-started", download)
        packages = rng.randint(1, 40)
        times = [rng.randint(50, 3000) for _ in range(packages)]
        # Failed attempts on packages that then completed, as the downloader reports them.
        def errors_before(done):
            return [{"number": rng.randrange(done), "errCode": rng.choice([7, 18, 22, 28])}
                    for _ in range(rng.choice([0, 0, 0, 1, 2]) if done else 0)]
        roll = rng.random()
        if roll < 0.85:
            yield event_line("download-succeeded", download, times=times, errors=errors_before(packages))
        elif roll < 0.95:
            yield event_line("download-failed", download, code=28, times=times[:-1], errors=errors_before(
                packages - 1) + [{"number": packages - 1, "errCode": 28}] * 5)
        else:
            yield event_line("download-canceled", download, times=times[: packages // 2],
                             errors=errors_before(packages // 2))


if __name__ == "__main__":
    for line in lines(int(sys.argv[1]), first=int(sys.argv[2]) if len(sys.argv) > 2 else 0):
        print(line)
