#!/usr/bin/env python3
"""Writes the folder that bench/mount_bench.sh opens in a file manager:
1,000 files that look like someone's folder of pictures and notes.

  300 PNG and 196 JPEG pictures, 2 KB to 10 MB (half above 500 KB; the
      camera-sized ones are several MB)
  500 text files, 2 KB to 4 MB (log-uniform, so most are small); one in five
      has no name extension, like a README, so a type sniffer reads its start
    4 large files that are not pictures (64-128 MB), which a sniffer reads
      the start of for the same reason

Everything comes from one seeded generator, so the folder is the same on
every run and machine. JPEGs are written by cjpeg (libjpeg-turbo-progs) from
a PPM; PNGs by zlib here.

Usage: picture_folder.py DIR
"""
import math
import os
import random
import struct
import subprocess
import sys
import zlib

SEED = 14


def png_bytes(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6))
            + chunk(b"IEND", b""))


def picture_rows(rng, width, height, grain):
    """RGB rows: a smooth gradient with noise on top. `grain` (0..1) sets how
    much of each pixel is noise, which is what makes the file large or small
    once compressed, as detail does in a photo."""
    noise = rng.randbytes(width * 3 * 64)  # rows reuse slices of one noise block
    base_r, base_g, base_b = rng.randrange(256), rng.randrange(256), rng.randrange(256)
    keep = int(grain * 255)
    mask = bytes(b & keep for b in range(256))
    rows = []
    for y in range(height):
        start = rng.randrange(0, width * 3 * 63)
        n = noise[start:start + width * 3]
        shade = (y * 255) // max(1, height - 1)
        px = bytes(((base_r + shade) & 0xFF, (base_g + shade // 2) & 0xFF, (base_b - shade) & 0xFF)) * width
        if keep:
            # Whole-row XOR through big integers: a byte loop in Python
            # would take minutes for the camera-sized pictures.
            px = (int.from_bytes(px, "big") ^ int.from_bytes(n.translate(mask), "big")).to_bytes(len(px), "big")
        rows.append(px)
    return rows


def write_png(path, rng, width, height, grain):
    with open(path, "wb") as f:
        f.write(png_bytes(width, height, picture_rows(rng, width, height, grain)))


def write_jpeg(path, rng, width, height, grain, quality):
    ppm = b"P6\n%d %d\n255\n" % (width, height) + b"".join(picture_rows(rng, width, height, grain))
    with open(path, "wb") as out:
        subprocess.run(["cjpeg", "-quality", str(quality)], input=ppm, stdout=out, check=True)


WORDS = ("the a of to and in is it that was for on are with as his they be at one have "
         "this from or had by hot word but what some we can out other were all there "
         "when up use your how said an each she which do their time if will way about "
         "many then them write would like so these her long make thing see him two has "
         "look more day could go come did number sound no most people my over know "
         "water than call first who may down side been now find sync folder picture "
         "meeting notes budget draft summary invoice report river mountain kitchen").split()


def text_block(rng, size):
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(4, 16))) + "\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    top = sys.argv[1]
    os.makedirs(top, exist_ok=True)
    rng = random.Random(SEED)

    # Pictures: most are screen-sized, a tenth are camera-sized photos.
    for i in range(496):
        photo = rng.random() < 0.1
        if photo:
            width, height = rng.choice([(2400, 1600), (2000, 1500), (1800, 1200)])
            grain = rng.uniform(0.5, 1.0)
        else:
            width, height = rng.choice([(320, 240), (640, 480), (800, 600), (1024, 768), (1280, 720)])
            grain = rng.uniform(0.0, 0.6)
        if i % 5 < 3:
            write_png(os.path.join(top, "picture-%03d.png" % i), rng, width, height, grain)
        else:
            write_jpeg(os.path.join(top, "photo-%03d.jpg" % i), rng, width, height, grain,
                       rng.choice([75, 85, 95]))

    # Text: one long block, each file a slice of it at its own size.
    block = text_block(rng, 4 << 20)
    for i in range(500):
        size = int(math.exp(rng.uniform(math.log(2 << 10), math.log(4 << 20))))
        start = rng.randrange(0, len(block) - size + 1)
        name = rng.choice(["notes-%03d.txt", "log-%03d.log", "readme-%03d.md", "data-%03d.csv",
                           "NOTES-%03d"]) % i
        with open(os.path.join(top, name), "wb") as f:
            f.write(block[start:start + size])

    # Large files that are not pictures; chunks keep memory small.
    for name, mib in (("backup-1.bin", 128), ("disk-image", 100), ("archive.dat", 64), ("recording", 96)):
        with open(os.path.join(top, name), "wb") as f:
            for _ in range(mib):
                f.write(rng.randbytes(1 << 20))


if __name__ == "__main__":
    main()
