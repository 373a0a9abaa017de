#!/usr/bin/env python3
"""Writes examples/song.mid: eight bars to try the filters on right away.

A melody over a bass line on a piano (channel 1) and a drum groove on the drum
channel (10), at 120 beats a minute, slowing to 96 for the last two bars. Format
1, 480 ticks to the quarter note: a conductor track with the tempo, the time
signature and the title, then one track for the piano and one for the drums.

    python3 examples/make-song.py [OUTPUT]   (default: song.mid beside this script)
"""
import os
import struct
import sys

QUARTER = 480
BAR = 4 * QUARTER


def varlen(value):
    groups = [value & 0x7F]
    value >>= 7
    while value:
        groups.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(groups))


def track(events, end):
    """A track chunk of (tick, bytes) events, ending at `end`."""
    body, now = b"", 0
    for tick, message in sorted(events, key=lambda event: event[0]):
        body += varlen(tick - now) + message
        now = tick
    body += varlen(max(end - now, 0)) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(body)) + body


def meta(kind, data):
    return bytes([0xFF, kind]) + varlen(len(data)) + data


def tempo(beats_a_minute):
    return meta(0x51, (60_000_000 // beats_a_minute).to_bytes(3, "big"))


def note(events, channel, start, length, pitch, velocity):
    # Note-offs a tick early, so that no key is struck while it still sounds.
    events.append((start, bytes([0x90 | channel, pitch, velocity])))
    events.append((start + length - 1, bytes([0x80 | channel, pitch, 64])))


def piano():
    events = [(0, meta(0x03, b"Piano")), (0, bytes([0xC0, 0])), (0, bytes([0xB0, 7, 100]))]
    # (pitch, eighths) a bar at a time: C, A minor, F, G, twice, the second time home.
    melody = [
        [(72, 2), (74, 1), (76, 1), (79, 3), (76, 1)],
        [(74, 2), (72, 2), (69, 4)],
        [(69, 1), (71, 1), (72, 2), (77, 2), (76, 2)],
        [(74, 6), (71, 2)],
        [(72, 2), (74, 1), (76, 1), (79, 3), (81, 1)],
        [(79, 2), (76, 2), (72, 4)],
        [(77, 2), (76, 2), (74, 2), (71, 2)],
        [(72, 8)],
    ]
    roots = [48, 45, 41, 43, 48, 45, 43, 48]
    for bar, (phrase, root) in enumerate(zip(melody, roots)):
        tick = bar * BAR
        for pitch, eighths in phrase:
            note(events, 0, tick, eighths * QUARTER // 2, pitch, 96)
            tick += eighths * QUARTER // 2
        for beat in range(4):
            note(events, 0, bar * BAR + beat * QUARTER, QUARTER, root + (7 if beat % 2 else 0), 80)
    return track(events, 8 * BAR)


def drums():
    kick, snare, hi_hat, crash = 36, 38, 42, 49
    events = [(0, meta(0x03, b"Drums"))]
    for bar in range(8):
        for eighth in range(8):
            tick = bar * BAR + eighth * QUARTER // 2
            note(events, 9, tick, QUARTER // 4, hi_hat, 70 if eighth % 2 else 90)
            if eighth in (0, 5):
                note(events, 9, tick, QUARTER // 4, kick, 110)
            if eighth in (2, 6):
                note(events, 9, tick, QUARTER // 4, snare, 100)
    note(events, 9, 7 * BAR, QUARTER, crash, 110)
    return track(events, 8 * BAR)


def conductor():
    events = [
        (0, meta(0x03, b"Ux filter kit example")),
        (0, meta(0x58, bytes([4, 2, 24, 8]))),  # 4/4
        (0, tempo(120)),
        (6 * BAR, tempo(96)),
    ]
    return track(events, 8 * BAR)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "song.mid")
    header = b"MThd" + struct.pack(">IHHH", 6, 1, 3, QUARTER)
    with open(output, "wb") as file:
        file.write(header + conductor() + piano() + drums())


if __name__ == "__main__":
    main()
