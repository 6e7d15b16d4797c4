#!/usr/bin/env python3
"""Checks the clips the Wine recording run wrote, from the Linux side.

The first clip holds the painted test window and the clicks: H.264 + AAC,
the recorded length, time stamps that only go forward, a decode without a
single error, the window's frame counter (16 Gray-coded bit blocks along its bottom)
advancing, and the white flashes against the clicks. Prints the flash/click
offsets. Every later clip must decode cleanly too.

usage: check_clip.py CLIP_FOLDER
"""
import array
import json
import subprocess
import sys
from pathlib import Path

SCALE_W, SCALE_H = 160, 90  # the 1280x720 picture scaled by 1/8
RECORDED_SECONDS = 12
FLASH_LUMA = 200
CLICK_LEVEL = 0.3
CLICK_QUIET_SECONDS = 0.2
# Under Wine the click goes through WASAPI render, PulseAudio and the
# monitor capture, and the flash through the window's paint timer and GDI;
# on a loaded 2-core machine both wander by hundreds of milliseconds, so the
# offsets are measured and printed, not held to a bound.

failures = []


def check(ok, what):
    print(("ok     " if ok else "FAILED ") + what)
    if not ok:
        failures.append(what)
    return ok


def run(args):
    return subprocess.run(args, check=True, capture_output=True).stdout


def probe(clip):
    out = run(["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", str(clip)])
    return json.loads(out)


def packet_times(clip, stream):
    out = run(["ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "packet=pts_time,dts_time",
               "-of", "csv=p=0", str(clip)]).decode()
    rows = [line.split(",")[:2] for line in out.split()]
    return [(float(p), float(d)) for p, d in rows if p != "N/A" and d != "N/A"]


def decode_errors(clip):
    result = subprocess.run(["ffmpeg", "-v", "error", "-i", str(clip), "-f", "null", "-"], capture_output=True)
    return result.returncode, result.stderr.decode().strip()


def video_frames(clip):
    """(pts, mean luma, counter) per decoded frame, at 1/8 size."""
    times = run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "frame=pts_time",
                 "-of", "csv=p=0", str(clip)]).decode().split()
    raw = run(["ffmpeg", "-v", "error", "-i", str(clip), "-map", "0:v", "-vf",
               f"scale={SCALE_W}:{SCALE_H}:flags=area,format=gray", "-f", "rawvideo", "-"])
    size = SCALE_W * SCALE_H
    frames = []
    for i in range(min(len(raw) // size, len(times))):
        plane = raw[i * size:(i + 1) * size]
        mean = sum(plane) / size
        # Block b spans x = 40 + 40 b .. 80 + 40 b, y = 640 .. 680 at full size.
        row = 82 * SCALE_W
        bits = [plane[row + 5 + 5 * b + 2] > 128 for b in range(16)]
        gray = 0
        for bit in bits:
            gray = gray * 2 + (1 if bit else 0)
        counter, shift = gray, gray >> 1  # the window writes its count in Gray code
        while shift:
            counter ^= shift
            shift >>= 1
        frames.append((float(times[i]), mean, counter))
    return frames


def audio_samples(clip, start):
    raw = run(["ffmpeg", "-v", "error", "-i", str(clip), "-map", "0:a", "-ac", "1", "-ar", "48000",
               "-f", "f32le", "-"])
    samples = array.array("f")
    samples.frombytes(raw[:len(raw) - len(raw) % 4])
    return start, samples


def flash_onsets(frames):
    onsets, previous = [], 0.0
    for pts, mean, _ in frames:
        if mean >= FLASH_LUMA > previous:
            onsets.append(pts)
        previous = mean
    return onsets


def click_onsets(start, samples):
    onsets, quiet, need = [], 0, int(CLICK_QUIET_SECONDS * 48000)
    for i, x in enumerate(samples):
        if abs(x) >= CLICK_LEVEL:
            if quiet >= need:
                onsets.append(start + i / 48000)
            quiet = 0
        else:
            quiet += 1
    return onsets


def check_main_clip(clip):
    print(f"clip {clip.name}")
    info = probe(clip)
    streams = {s["codec_type"]: s for s in info["streams"]}
    video, audio = streams.get("video"), streams.get("audio")
    check(video is not None and video["codec_name"] == "h264", "video is H.264")
    check(audio is not None and audio["codec_name"] == "aac", "audio is AAC")
    if not video or not audio:
        return
    check((video["width"], video["height"]) == (1280, 720), f"video is 1280x720 ({video['width']}x{video['height']})")
    check(audio["sample_rate"] == "48000" and audio["channels"] == 2, "audio is 48 kHz stereo")
    duration = float(info["format"]["duration"])
    # The segment being encoded at the save (up to 2 s) is not in the clip.
    check(RECORDED_SECONDS - 3.5 <= duration <= RECORDED_SECONDS + 3, f"duration {duration:.2f} s")
    for kind in ("v", "a"):
        packets = packet_times(clip, kind)
        dts = [d for _, d in packets]
        check(len(dts) > 0 and all(b > a for a, b in zip(dts, dts[1:])), f"{kind}: decode times only go forward")
        # AAC's priming frame may sit just before zero; nothing else may.
        earliest = min(p for p, _ in packets)
        check(earliest >= (-0.05 if kind == "a" else 0), f"{kind}: first presentation time {earliest:.3f} s")
    rc, errors = decode_errors(clip)
    check(rc == 0 and errors == "", "decodes without errors" + (f": {errors[:300]}" if errors else ""))

    frames = video_frames(clip)
    fps = len(frames) / duration
    # Frames the capture repeats while the window did not repaint count too.
    check(fps >= 10, f"{len(frames)} frames, {fps:.1f} per second")
    counters = [c for _, mean, c in frames if mean < 100]  # not during a flash
    steps = list(zip(counters, counters[1:]))
    forward = sum(1 for a, b in steps if b > a)
    check(all(b >= a for a, b in steps), "the window's counter never goes back")
    check(len(counters) > 1 and counters[-1] - counters[0] >= 2 * duration,
          f"the counter advances from {counters[:1]} to {counters[-1:]}, in {forward} of {len(steps)} frame steps")

    start = float(audio.get("start_time", 0))
    flashes = flash_onsets(frames)
    clicks = click_onsets(*audio_samples(clip, start))
    print(f"flashes at {[round(f, 3) for f in flashes]}")
    print(f"clicks at  {[round(c, 3) for c in clicks]}")
    check(len(flashes) >= 2, f"{len(flashes)} flashes")  # frames dropped under load may take some
    check(len(clicks) >= 3, f"{len(clicks)} clicks")
    # Each flash against its nearest click: a flash the capture missed
    # leaves its click unpaired instead of pairing it with the wrong flash.
    offsets = [f - min(clicks, key=lambda c: abs(f - c)) for f in flashes] if clicks else []
    if check(len(offsets) >= 2, f"{len(offsets)} flash/click pairs"):
        worst = max(offsets, key=abs)
        median = sorted(offsets)[len(offsets) // 2]
        print("offsets (video onset - audio onset), ms: " + " ".join(f"{o * 1000:+.1f}" for o in offsets))
        print(f"A/V offset: median {median * 1000:+.1f} ms, min {min(offsets) * 1000:+.1f} ms, "
              f"max {max(offsets) * 1000:+.1f} ms, worst {worst * 1000:+.1f} ms")

def main():
    clips = sorted(Path(sys.argv[1]).glob("*.mp4"), key=lambda p: p.stat().st_mtime)
    if check(len(clips) >= 1, f"{len(clips)} clip(s) written"):
        check_main_clip(clips[0])
        for clip in clips[1:]:
            rc, errors = decode_errors(clip)
            check(rc == 0 and errors == "", f"{clip.name} decodes without errors")
    passed = "failed" if failures else "passed"
    print(f"clip check {passed}")
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
