#!/usr/bin/env python3
"""Checks ostrel-check's JSON report from a run under Wine: the fallbacks
Wine offers are the paths named, desktop audio is reported as failing with
Wine's missing loopback (not failing the run), and the clip decoded with
every flash and its beep."""
import json
import sys


def main(path):
    with open(path, encoding="utf-8") as f:
        report = json.load(f)
    failures = []

    def expect(ok, what):
        if not ok:
            failures.append(what)

    expect(report["passed"], f"the run passed (problems: {report['problems']})")
    expect("under Wine" in report["os"], f"the OS names Wine: {report['os']}")
    expect(report["capturePath"].startswith("GDI (Windows.Graphics.Capture unavailable (0x"),
           f"GDI capture named with its code: {report['capturePath']}")
    expect(report["conversionPath"].startswith("CPU (GPU video processor unavailable (0x"),
           f"CPU conversion named: {report['conversionPath']}")
    # The transform the test lists in the prefix only answers the hardware
    # question; the chain falls through to OpenH264.
    expect(report["encoder"] == "libopenh264" and report["encoderKind"] == "software",
           f"OpenH264, software: {report['encoder']} {report['encoderKind']}")
    expect(report["desktopAudio"].startswith("failed: 0x88890003"),
           f"desktop audio reported failing without loopback: {report['desktopAudio']}")
    expect(report["microphone"] == "recording Monitor of Ostrel Speakers",
           f"the microphone recorded: {report['microphone']}")
    expect(report["clipDecoded"] and report["videoFrames"] > 0, "the clip decoded")
    expect(report["videoSize"] == "1280x720", f"the window's size: {report['videoSize']}")
    expect(report["sustainableFps"] > 0, "a sustainable fps")
    expect(report["cpuSecondsPerSecond"] > 0, "a CPU figure")
    shown = report["flashesShown"]
    expect(shown >= 3, f"the window flashed: {shown}")
    # The clip ends at the save: the last flash may fall after it.
    expect(len(report["flashSeconds"]) >= shown - 1, f"every flash in the clip: {report['flashSeconds']}")
    expect(len(report["beepSeconds"]) >= shown - 1, f"every beep in the clip: {report['beepSeconds']}")
    offsets = report["avOffsetsMs"]
    expect(len(offsets) >= shown - 1, f"an offset for every flash: {offsets}")
    # Wine's GDI capture and its audio path add their own latency: the figure
    # is reported; only a flash and a beep that do not belong together fail.
    expect(all(abs(ms) < 400 for ms in offsets), f"offsets within 400 ms: {offsets}")
    for name in ("check2Apartments", "check7FreshThreadExports", "check8ExitWithoutShutdown"):
        expect(report[name]["ran"], f"{name} ran")
    for failure in failures:
        print(f"FAILED: {failure}")
    print(f"self-check report: {len(failures)} failed; A/V offsets {offsets} ms, "
          f"{report['sustainableFps']} fps, {report['cpuSecondsPerSecond']} CPU s/s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
