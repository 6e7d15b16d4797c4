#!/usr/bin/env python3
"""Checks the clips the Wine recording run wrote, from the Linux side.

The first clip holds the painted test window and the sink's 440 Hz tone:
H.264 + AAC, the recorded length, time stamps that only go forward, a decode
without a single error, the window's frame counter (16 Gray-coded bit blocks
along its bottom) advancing, and the tone at its level. Every later clip must
decode cleanly too. A clip in the subfolder "tracks" has separate audio
tracks (the mix, desktop audio, microphone): the tone in the mix and the
microphone's track, silence in the desktop's (muted), and a chapter. A clip
in the subfolder "huge" holds a 4608x2592 window at 4096x2304.

usage: check_clip.py CLIP_FOLDER [MINIMUM_CLIPS (default 3)]
       check_clip.py CLIP_FOLDER huge   (the huge-window run's clip only)
"""
import array
import json
import math
import subprocess
import sys
from pathlib import Path

SCALE_W, SCALE_H = 160, 90  # the 1280x720 picture scaled by 1/8
RECORDED_SECONDS = 12
failures = []


def check(ok, what):
    print(("ok     " if ok else "FAILED ") + what)
    if not ok:
        failures.append(what)
    return ok


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout


def decodes_cleanly(clip):
    # Frames are stamped when they arrive, so two may lie closer than a frame
    # period: the null output keeps the clip's time base rather than 1/fps,
    # where they would share a tick and the muxer, not the decoder, complain.
    result = subprocess.run(["ffmpeg", "-v", "error", "-i", str(clip), "-enc_time_base", "-1", "-f", "null", "-"],
                            capture_output=True)
    errors = result.stderr.decode().strip()
    return check(result.returncode == 0 and errors == "", f"{clip.name} decodes without errors {errors[:300]}")


def counters(clip):
    """The window's counter in each decoded frame, read at 1/8 size."""
    raw = run("ffmpeg", "-v", "error", "-i", str(clip), "-map", "0:v", "-vf",
              f"scale={SCALE_W}:{SCALE_H}:flags=area,format=gray", "-f", "rawvideo", "-")
    size, out = SCALE_W * SCALE_H, []
    for i in range(len(raw) // size):
        # Block b spans x = 40 + 40 b .. 80 + 40 b, y = 640 .. 680 at full size.
        row = i * size + 82 * SCALE_W
        gray = 0
        for b in range(16):
            gray = gray * 2 + (raw[row + 5 + 5 * b + 2] > 128)
        counter, shift = gray, gray >> 1
        while shift:
            counter ^= shift
            shift >>= 1
        out.append(counter)
    return out


def tone_levels(clip, frequency, rate=48000, window=12000, track=None):
    """Amplitude of a sine at `frequency` in each quarter second of the first channel.

    A Hann-weighted quarter second is blind to the fraction of a hertz by which
    the clip follows the source's clock while its rate is being learnt (a whole
    second's plain sum falls to nothing 1 Hz off), and still sets 440 Hz well
    apart from 466 Hz."""
    stream = "0:a" if track is None else f"0:a:{track}"
    raw = run("ffmpeg", "-v", "error", "-i", str(clip), "-map", stream, "-af", "pan=mono|c0=c0", "-ar", str(rate),
              "-f", "f32le", "-")
    samples = array.array("f")
    samples.frombytes(raw[:len(raw) - len(raw) % 4])
    w = 2 * math.pi * frequency / rate
    hann = [0.5 - 0.5 * math.cos(2 * math.pi * n / (window - 1)) for n in range(window)]
    cos_w = [h * math.cos(w * n) for n, h in enumerate(hann)]
    sin_w = [h * math.sin(w * n) for n, h in enumerate(hann)]
    gain = sum(hann)
    levels = []
    for start in range(0, len(samples) - window + 1, window):
        part = samples[start:start + window]
        re = sum(x * c for x, c in zip(part, cos_w))
        im = sum(x * s for x, s in zip(part, sin_w))
        levels.append(2 * math.hypot(re, im) / gain)
    return levels


def check_main_clip(clip):
    info = json.loads(run("ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", str(clip)))
    streams = {s["codec_type"]: s for s in info["streams"]}
    video, audio = streams.get("video"), streams.get("audio")
    check(video is not None and video["codec_name"] == "h264", "video is H.264")
    check(audio is not None and audio["codec_name"] == "aac", "audio is AAC")
    if not video or not audio:
        return
    check((video["width"], video["height"]) == (1280, 720), f"video is {video['width']}x{video['height']}")
    check(audio["sample_rate"] == "48000" and audio["channels"] == 2, "audio is 48 kHz stereo")
    duration = float(info["format"]["duration"])
    # The segment being encoded at the save (up to 2 s) is not in the clip.
    check(RECORDED_SECONDS - 3.5 <= duration <= RECORDED_SECONDS + 3, f"duration {duration:.2f} s")
    for kind in ("v", "a"):
        out = run("ffprobe", "-v", "error", "-select_streams", kind, "-show_entries", "packet=pts_time,dts_time",
                  "-of", "csv=p=0", str(clip)).decode()
        packets = [(float(p), float(d)) for p, d in (line.split(",")[:2] for line in out.split()) if "N/A" not in (p, d)]
        dts = [d for _, d in packets]
        check(len(dts) > 0 and all(b > a for a, b in zip(dts, dts[1:])), f"{kind}: decode times only go forward")
        # AAC's priming frame may sit just before zero; nothing else may.
        earliest = min((p for p, _ in packets), default=-1)
        check(earliest >= (-0.05 if kind == "a" else 0), f"{kind}: first presentation time {earliest:.3f} s")
    decodes_cleanly(clip)
    # Every stored frame decodes: none lost between the encoder and the clip.
    stored = run("ffprobe", "-v", "error", "-select_streams", "v", "-count_packets", "-count_frames",
                 "-show_entries", "stream=nb_read_packets,nb_read_frames", "-of", "csv=p=0", str(clip)).decode()
    counts = [int(n) for n in stored.strip().split(",")[:2] if n.strip().isdigit()]
    check(len(counts) == 2 and counts[0] == counts[1], f"stored and decoded frames (packets, frames): {counts}")

    seen = counters(clip)
    # Frames the capture repeats while the window did not repaint count too.
    check(len(seen) / duration >= 10, f"{len(seen)} frames, {len(seen) / duration:.1f} per second")
    check(all(b >= a for a, b in zip(seen, seen[1:])), "the window's counter never goes back")
    check(len(seen) > 1 and seen[-1] - seen[0] >= 2 * duration, f"the counter advances from {seen[:1]} to {seen[-1:]}")

    # The sink plays a 440 Hz tone at half scale; a wrong sample format or
    # rate would leave noise or another pitch. Wine's capture stamps its
    # packets loosely, so for the first seconds the clip's rate may sit a
    # fraction of a hertz off while the stream's clock is learnt; the quarter
    # seconds are measured so that this does not count, and the first three
    # seconds (the stream's start-up) are left out.
    tone, off = tone_levels(clip, 440)[12:], tone_levels(clip, 466)[12:]
    print("440 / 466 Hz level per quarter second: " + " ".join(f"{a:.3f}/{b:.3f}" for a, b in zip(tone, off)))
    check(len(tone) > 0 and all(a >= 0.02 and a >= 10 * b for a, b in zip(tone, off)),
          "the tone is heard at its pitch every quarter second")


def check_tracks_clip(clip):
    info = json.loads(run("ffprobe", "-v", "error", "-show_streams", "-show_chapters", "-of", "json", str(clip)))
    audio = [s for s in info["streams"] if s["codec_type"] == "audio"]
    names = [s.get("tags", {}).get("handler_name") for s in audio]
    check(names == ["Mix", "Desktop audio", "Microphone"], f"{clip.name}: audio tracks {names}")
    check([s["disposition"]["default"] for s in audio] == [1, 0, 0], "only the mix is the default track")
    titles = [c.get("tags", {}).get("title") for c in info.get("chapters", [])]
    check("wine marker" in titles, f"the marker is a chapter: {titles}")
    decodes_cleanly(clip)
    if len(audio) == 3:
        levels = [tone_levels(clip, 440, track=t)[4:] for t in range(3)]
        print("440 Hz per quarter second, mix / desktop / microphone: " +
              " ".join(f"{a:.3f}/{b:.3f}/{c:.3f}" for a, b, c in zip(*levels)))
        check(all(a >= 0.02 for a in levels[0]) and all(c >= 0.02 for c in levels[2]),
              "the tone is in the mix and the microphone's track")
        check(all(b < 0.005 for b in levels[1]), "the desktop's track is silent")


def check_huge_clip(clip):
    """The 4608x2592 window's clip: at the capped size, its dark scene and counter."""
    video = json.loads(run("ffprobe", "-v", "error", "-select_streams", "v", "-show_streams", "-of", "json",
                           str(clip)))["streams"][0]
    check((video["width"], video["height"]) == (4096, 2304),
          f"{clip.name}: the huge window is encoded at {video['width']}x{video['height']}")
    decodes_cleanly(clip)
    # 128x72 grey levels per frame (36x36 window pixels each): the dark
    # background (24, 24, 32) in the middle, and a bright block of the
    # counter (40x40 pixels, at least one lit) in the bottom rows; a blank or
    # black capture has neither.
    w, h = 128, 72
    raw = run("ffmpeg", "-v", "error", "-i", str(clip), "-map", "0:v", "-vf", f"scale={w}:{h}:flags=area,format=gray",
              "-f", "rawvideo", "-")
    frames = [raw[i:i + w * h] for i in range(0, len(raw) - w * h + 1, w * h)]
    check(len(frames) >= 10, f"{clip.name}: {len(frames)} frames")
    middles = sorted({frame[h // 2 * w + w // 2] for frame in frames})
    check(all(5 <= m <= 30 for m in middles), f"{clip.name}: the dark scene in the middle {middles}")
    counted = [frame for frame in frames if max(frame[(h - 6) * w:]) >= 100]
    check(len(counted) == len(frames), f"{clip.name}: the counter's blocks in {len(counted)} of {len(frames)} frames")


def main():
    if sys.argv[2:] == ["huge"]:
        huge = sorted((Path(sys.argv[1]) / "huge").glob("*.mp4"))
        if check(len(huge) == 1, f"{len(huge)} clip(s) of the huge window written"):
            check_huge_clip(huge[0])
        print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
        return 1 if failures else 0
    clips = sorted(Path(sys.argv[1]).glob("*.mp4"), key=lambda p: p.stat().st_mtime)
    minimum = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if check(len(clips) >= minimum, f"{len(clips)} clip(s) written"):
        check_main_clip(clips[0])
        for clip in clips[1:]:
            decodes_cleanly(clip)
    tracks = sorted((Path(sys.argv[1]) / "tracks").glob("*.mp4"))
    if check(len(tracks) >= 1, f"{len(tracks)} clip(s) with separate tracks written"):
        for clip in tracks:
            check_tracks_clip(clip)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
