#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/.

make-corpus.py BUILD_DIR: the valid seeds come from the build's own outputs (the
resource containers behind the plug-ins' ELF data, the icon archives inside them,
the demo MIDI files of `uxhost demo`) and from a few small inputs made here; the
damaged seeds are copies of those cut short or with a byte changed.
"""
import glob
import os
import struct
import subprocess
import sys
import tempfile

CONTAINER_MAGIC = b"\x00\x10\x4f\x44"
ALIGNMENT = 4096
ICON_OFFSET = 1964  # the icon archive's place in a container holding the two resources


def container_of(library):
    """The container at the first multiple of 4096 that starts with its magic."""
    for offset in range(0, len(library), ALIGNMENT):
        if library[offset:offset + 4] == CONTAINER_MAGIC:
            return library[offset:]
    raise SystemExit("no resource container in the library")


def icon_archive(container):
    size = struct.unpack_from("<I", container, 200 + 4)[0]
    return container[ICON_OFFSET:ICON_OFFSET + size]


def flip(data, offset, mask=0x01):
    changed = bytearray(data)
    changed[offset % len(changed)] ^= mask
    return bytes(changed)


def big_endian_word_sum(data):
    total = 0
    whole = len(data) - len(data) % 4
    for i in range(0, whole, 4):
        total += struct.unpack_from(">I", data, i)[0]
    tail = 0
    for byte in data[whole:]:
        tail = tail << 8 | byte
    return (total + tail) & 0xFFFFFFFF


def flattened(what, fields):
    """A flattened message; fields are (name, type, [items], fixed, mini)."""
    body = b""
    for name, type_code, items, fixed, mini in fields:
        data = b"".join(item if fixed else struct.pack("<I", len(item)) + item for item in items)
        flags = 0x01 | (0x02 if mini else 0) | (0x04 if fixed else 0) | (0x08 if len(items) == 1 else 0)
        body += bytes([flags]) + struct.pack("<I", int.from_bytes(type_code, "big"))
        if len(items) != 1:
            body += struct.pack("<B" if mini else "<I", len(items))
        body += struct.pack("<B" if mini else "<I", len(data))
        body += bytes([len(name)]) + name + data
    total = 17 + len(body) + 1
    checked = struct.pack("<iIB", total, what, 0x01)
    return b"1BOF" + struct.pack("<I", big_endian_word_sum(checked)) + checked + body + b"\x00"


def small_messages():
    long_items = [b"x" * 300]
    return {
        "empty": flattened(0, []),
        "several-items": flattened(0x1234, [
            (b"numbers", b"LONG", [struct.pack("<i", n) for n in (1, -2, 3)], True, True),
            (b"names", b"CSTR", [b"one\x00", b"two\x00"], False, True),
            (b"long", b"RAWT", long_items, False, False),
        ]),
    }


def elf_header():
    """A 64-bit little-endian ELF header with no sections and no segments."""
    ident = b"\x7fELF" + bytes([2, 1, 1]) + bytes(9)
    return ident + struct.pack("<HHIQQQIHHHHHH", 3, 62, 1, 0, 0, 0, 0, 64, 0, 0, 0, 0, 0)


def smf(format_, division, tracks):
    out = b"MThd" + struct.pack(">IHHH", 6, format_, len(tracks), division)
    for body in tracks:
        out += b"MTrk" + struct.pack(">I", len(body)) + body
    return out


END_OF_TRACK = b"\x00\xff\x2f\x00"


def small_midi_files():
    running = (b"\x00\x90\x3c\x64" b"\x60\x3e\x64" b"\x60\x3c\x00" b"\x00\x3e\x00"
               b"\x00\xb0\x07\x50" b"\x00\xc0\x05" b"\x00\xe0\x00\x40")
    system = (b"\x00\xff\x51\x03\x07\xa1\x20" b"\x00\xf0\x03\x7e\x7f\xf7" b"\x00\xf7\x01\xf7"
              b"\x81\x00\xff\x01\x04text")
    return {
        "format0-running-status": smf(0, 96, [running + END_OF_TRACK]),
        "format1-two-tracks": smf(1, 480, [system + END_OF_TRACK, running + END_OF_TRACK]),
        "unended-note": smf(0, 96, [b"\x00\x90\x40\x40\x83\x60\x80\x41\x40" + END_OF_TRACK]),
        # A chunk of another kind before the track, which the reader skips.
        "other-chunk": b"MThd" + struct.pack(">IHHH", 6, 1, 1, 96) + b"XFIH\x00\x00\x00\x02ab"
        + b"MTrk" + struct.pack(">I", len(END_OF_TRACK)) + END_OF_TRACK,
        # A track that ends without its end-of-track event, which the reader ends
        # where its chunk ends.
        "unended-track": smf(1, 96, [running, system + END_OF_TRACK]),
        # The same file wrapped in RIFF, behind an odd-sized chunk padded to even.
        "riff-wrapped": riff(b"RMID", [(b"LIST", b"INF"), (b"data", smf(0, 96, [running + END_OF_TRACK]))]),
        "damaged-riff-no-data": riff(b"RMID", [(b"LIST", b"INFO")]),
        "damaged-misnamed-track": smf(0, 96, [END_OF_TRACK]).replace(b"MTrk", b"Mtrk"),
        "damaged-header-length": smf(0, 96, [END_OF_TRACK]).replace(b"MThd\x00\x00\x00\x06",
                                                                    b"MThd\x00\x00\x01\x06"),
    }


def riff(form, chunks):
    body = form
    for name, data in chunks:
        body += name + struct.pack("<I", len(data)) + data + (b"\x00" if len(data) % 2 else b"")
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write(target, name, data):
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as file:
        file.write(data)


def live_scripts():
    """Scripts for the live adapter's fuzz target (see lv2_adapter_fuzzer.cpp)."""
    def cycle(frames, room):
        return bytes([0x00, frames - 1, room])

    def midi(frame, *message):
        return bytes([len(message) + 1, frame]) + bytes(message)

    def speed(frame, rolling):
        return bytes([0x09 if rolling else 0x01, frame])

    chord = b"".join(midi(i, 0x90, i % 4, 100) for i in range(4))
    release = b"".join(midi(10 + i, 0x80, i % 4, 40) for i in range(4))
    return {
        "notes": cycle(64, 15) + chord + cycle(64, 15) + release + cycle(255, 15) * 4,
        "retrigger-velocity-0-orphan": cycle(64, 15) + midi(0, 0x90, 1, 90) + midi(2, 0x90, 1, 80)
            + midi(4, 0x90, 1, 0) + midi(5, 0x80, 2, 0) + midi(9, 0x80, 1, 64) + cycle(255, 15),
        "panic-and-stop": cycle(64, 15) + speed(0, True) + chord + release + midi(20, 0xB0, 123, 0)
            + chord + speed(40, False) + cycle(64, 15),
        "full-output": cycle(64, 1) + chord + release + midi(12, 0xF0, 1, 2, 3, 0xF7)
            + cycle(1, 0) * 8 + cycle(64, 2),
    }


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: make-corpus.py BUILD_DIR")
    build = sys.argv[1]
    libraries = sorted(glob.glob(os.path.join(build, "add-ons", "*.so")))
    if not libraries:
        raise SystemExit(f"{build}: no plug-ins built")

    for path in libraries:
        stem = os.path.splitext(os.path.basename(path))[0]
        with open(path, "rb") as file:
            container = container_of(file.read())
        icon = icon_archive(container)
        write("resource_container_fuzzer", stem, container)
        write("message_fuzzer", stem + "-icon", icon)
        write("bitmap_archive_fuzzer", stem + "-icon", icon)
        # A library file reduced to an ELF header and the container after it.
        image = elf_header().ljust(ALIGNMENT, b"\x00") + container
        write("image_resources_fuzzer", stem, image)

    container = container_of(open(libraries[0], "rb").read())
    icon = icon_archive(container)
    write("resource_container_fuzzer", "damaged-cut-short", container[:-5])
    write("resource_container_fuzzer", "damaged-check-sum", flip(container, len(container) - 9))
    write("resource_container_fuzzer", "damaged-count", flip(container, 4, 0x02))
    write("image_resources_fuzzer", "damaged-no-container", elf_header())
    write("image_resources_fuzzer", "damaged-misplaced",
          elf_header().ljust(ALIGNMENT + 16, b"\x00") + container)
    write("message_fuzzer", "damaged-check-sum", flip(icon, 5))
    write("message_fuzzer", "damaged-cut-short", icon[:100])
    for name, message in small_messages().items():
        write("message_fuzzer", name, message)
    write("bitmap_archive_fuzzer", "damaged-row-bytes", icon.replace(b"P\x00\x00\x00", b"Q\x00\x00\x00", 1))
    write("bitmap_archive_fuzzer", "damaged-pixels-short",
          flattened(0, [(b"class", b"CSTR", [b"BBitmap\x00"], False, True),
                        (b"_frame", b"RECT", [struct.pack("<4f", 0, 0, 4095, 4095)], True, True),
                        (b"_cspace", b"LONG", [struct.pack("<i", 0x2008)], True, True),
                        (b"_bmflags", b"LONG", [struct.pack("<i", 0)], True, True),
                        (b"_rowbytes", b"LONG", [struct.pack("<i", 16384)], True, True),
                        (b"_data", b"RAWT", [b"\x00" * 16], False, True)]))

    # The demo phrase through every plug-in, as `uxhost demo` writes it.
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([os.path.abspath(os.path.join(build, "bin", "uxhost")), "demo"],
                       cwd=scratch, check=True, stdout=subprocess.DEVNULL)
        demos = sorted(glob.glob(os.path.join(scratch, "demo-*.mid")))
        for path in demos:
            write("midi_file_fuzzer", os.path.basename(path)[:-4], open(path, "rb").read())
        demo = open(demos[0], "rb").read()
    for name, data in small_midi_files().items():
        write("midi_file_fuzzer", name, data)
    write("midi_file_fuzzer", "damaged-cut-short", demo[:-3])
    write("midi_file_fuzzer", "damaged-chunk-size", demo[:18] + b"\x7f\xff\xff\xff" + demo[22:])
    write("midi_file_fuzzer", "damaged-header", b"MThd\x00\x00\x00\x06\x00\x02\x00\x01\x00\x60")
    for name, data in live_scripts().items():
        write("lv2_adapter_fuzzer", name, data)


if __name__ == "__main__":
    main()
