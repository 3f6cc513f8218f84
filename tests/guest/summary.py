#!/usr/bin/env python3
"""Counts of a guest run from the reports it left in JOB/out: one gtest XML per test program and
the round trip's log. Exit status 1 when a case failed, a program left no report, or the round
trip (when expected) did not pass.

    summary.py JOB PROGRAM... [--round-trip]"""
import pathlib
import sys
import xml.etree.ElementTree as ET

job = pathlib.Path(sys.argv[1])
out = job / "out"
names = [a for a in sys.argv[2:] if a != "--round-trip"]
total = {"passed": 0, "failed": 0, "skipped": 0}
bad = []
for name in names:
    report = out / f"{name}.xml"
    try:
        cases = list(ET.parse(report).getroot().iter("testcase"))
    except (OSError, ET.ParseError):
        print(f"  {name:34s} NO REPORT (crashed or stopped at its limit: {out / name}.log)")
        bad.append(name)
        continue
    failed = [c for c in cases if c.find("failure") is not None]
    skipped = [c for c in cases if c not in failed and
               (c.find("skipped") is not None or c.get("result") == "skipped")]
    passed = len(cases) - len(failed) - len(skipped)
    total["passed"] += passed
    total["failed"] += len(failed)
    total["skipped"] += len(skipped)
    print(f"  {name:34s} {passed:3d} passed, {len(failed)} failed, {len(skipped)} skipped")
    for case in failed:
        print(f"      FAILED {case.get('classname')}.{case.get('name')}")
        # Where and why, in a few lines: often all a CI log keeps of a guest run.
        for failure in case.iter("failure"):
            for line in (failure.get("message") or "").splitlines()[:4]:
                print(f"        {line}")
    if failed:
        bad.append(name)

round_trip = ""
if "--round-trip" in sys.argv:
    log = out / "round-trip.log"
    text = log.read_text(errors="replace") if log.exists() else ""
    passed = "round trip: PASSED" in text
    round_trip = f"; shipped quillan.exe window round trip {'passed' if passed else 'FAILED'}"
    print(f"  {'shipped quillan.exe':34s} {'passed' if passed else 'FAILED'} ({log})")
    if not passed:
        bad.append("round trip")

times = out / "times.txt"
if times.exists():
    print("  times in the guest: " + "; ".join(times.read_text().split("\n")).strip("; "))
print(f"guest logs: {job} (guest.log, console.log; reports in out/)")
print(f"i686 under 32-bit Wine: {total['passed']} passed, {total['failed']} failed, "
      f"{total['skipped']} skipped in {len(names)} programs"
      f"{' (' + str(len(bad)) + ' not passing: ' + ', '.join(bad) + ')' if bad else ''}{round_trip}")
sys.exit(1 if bad else 0)
