#!/usr/bin/python3
"""Builds the comparison corpus: a library of tagged .m4a files and large movies.

Usage: make_corpus.py DIR [--files N] [--skip-large]

DIR/library/    N tagged AAC files (0.4 to 1.5 MB), a quarter with a JPEG cover,
                half with the movie box after the media data
DIR/large/      movie-first.mp4 and movie-last.mp4 (about 200 MB, video and
                sound), sparse-5g.mp4 (a 5 GiB hole of media data, then the
                movie box of movie-last.mp4); h264-10min-last.mp4 (200 MB of
                H.264 and AAC, a movie box of about 400 KB after the media
                data) and h264-10min-frag.mp4 (the same streams in 1 s
                fragments, over 1,200 top-level boxes); tiny-2h-first.mp4 and
                tiny-2h-last.mp4 (2 hours of 96x64 video at 25 fps and sound,
                a movie box of about 5 MB)
DIR/library.list, DIR/large-*.list   path lists for --files-from

Sources are encoded once with ffmpeg, then copied and tagged with mutagen.
Files that exist are kept, so a second run only checks the lists.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys

from mutagen.mp4 import MP4, MP4Cover

SOURCE_SECONDS = [25, 38, 50, 63, 76, 92]  # 128 kbit/s AAC: 0.4 to 1.5 MB
COVER_SIZES = [600, 800, 1000, 1200]  # JPEG of 35 to 100 KB
LARGE_SECONDS = 145  # MPEG-4 video at 1280x720, about 200 MB
MOVIE_SECONDS = 600  # H.264 at 640x360 and 2.5 Mbit/s, about 200 MB
LONG_SECONDS = 7200  # H.264 at 96x64: small media data, many samples

# Short names of the large files (the lists' names) and their file names.
LARGE_FILES = [
    ("first", "movie-first.mp4"),
    ("last", "movie-last.mp4"),
    ("sparse", "sparse-5g.mp4"),
    ("m10last", "h264-10min-last.mp4"),
    ("m10frag", "h264-10min-frag.mp4"),
    ("h2first", "tiny-2h-first.mp4"),
    ("h2last", "tiny-2h-last.mp4"),
]

GENRES = ["Rock", "Jazz", "Electronic", "Klassik", "Hip-Hop", "Ambient"]
ARTISTS = ["The Testers", "Ana Müller", "Björk Sigurðardóttir", "DJ Fixture", "Орkестр", "雨の日"]


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


def top_level_types(path):
    types = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        offset = 0
        while offset + 8 <= size:
            f.seek(offset)
            header = f.read(16)
            box_size, kind = struct.unpack(">I4s", header[:8])
            if box_size == 1:
                box_size = struct.unpack(">Q", header[8:16])[0]
            elif box_size == 0:
                box_size = size - offset
            types.append(kind.decode("latin-1"))
            if box_size < 8:
                break
            offset += box_size
    return types


def moov_first(path):
    types = top_level_types(path)
    return types.index("moov") < types.index("mdat")


def make_sources(work):
    os.makedirs(work, exist_ok=True)
    sources = []
    for i, seconds in enumerate(SOURCE_SECONDS):
        last = os.path.join(work, f"src{i}-last.m4a")
        first = os.path.join(work, f"src{i}-first.m4a")
        if not os.path.exists(last):
            # Pink noise mixed with a tone, different per source, so the
            # encoder works at its full rate.
            ffmpeg("-f", "lavfi", "-i", f"anoisesrc=d={seconds}:c=pink:r=44100:a=0.25:s={i + 1}",
                   "-f", "lavfi", "-i", f"sine=frequency={220 * (i + 1)}:duration={seconds}",
                   "-filter_complex", "amix=inputs=2", "-ac", "2", "-c:a", "aac", "-b:a", "128k",
                   last + ".tmp.m4a")
            os.replace(last + ".tmp.m4a", last)
        if not os.path.exists(first):
            ffmpeg("-i", last, "-c", "copy", "-movflags", "+faststart", first + ".tmp.m4a")
            os.replace(first + ".tmp.m4a", first)
        sources.append((first, last))
    covers = []
    for size in COVER_SIZES:
        cover = os.path.join(work, f"cover{size}.jpg")
        if not os.path.exists(cover):
            ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}x{size}", "-frames:v", "1",
                   "-q:v", "2", cover)
        with open(cover, "rb") as f:
            covers.append(f.read())
    return sources, covers


def tag(path, i, covers):
    audio = MP4(path)
    tags = audio.tags
    tags["\xa9nam"] = [f"Track {i} – Überschrift"]
    tags["\xa9ART"] = [ARTISTS[i % len(ARTISTS)]]
    tags["\xa9alb"] = [f"Album {i // 12}"]
    tags["trkn"] = [(i % 12 + 1, 12)]
    tags["\xa9day"] = [str(1970 + i % 50)]
    tags["\xa9gen"] = [GENRES[i % len(GENRES)]]
    if i % 2 == 0:
        tags["aART"] = [ARTISTS[(i // 2) % len(ARTISTS)]]
        tags["disk"] = [(i % 3 + 1, 3)]
    if i % 3 == 0:
        tags["\xa9cmt"] = [f"Comment number {i}, with \"quotes\" and a\ttab"]
        tags["\xa9wrt"] = ["Composer " + str(i % 7)]
    if i % 5 == 0:
        tags["cprt"] = [f"© {1990 + i % 30} Test Records"]
        tags["rtng"] = [i % 3]
    if i % 8 < 2:  # one of each layout in every eight files
        tags["covr"] = [MP4Cover(covers[i % len(covers)], imageformat=MP4Cover.FORMAT_JPEG)]
    audio.save()


def make_library(root, n, sources, covers):
    library = os.path.join(root, "library")
    os.makedirs(library, exist_ok=True)
    paths = []
    for i in range(n):
        path = os.path.join(library, f"song{i:05d}.m4a")
        paths.append(path)
        if os.path.exists(path):
            continue
        first, last = sources[i % len(sources)]
        # Every other file has its movie box after the media data.
        source = last if i % 2 == 0 else first
        shutil.copyfile(source, path + ".tmp")
        tag(path + ".tmp", i, covers)
        os.replace(path + ".tmp", path)
    with open(os.path.join(root, "library.list"), "w") as f:
        f.writelines(p + "\n" for p in paths)
    return paths


def write_sparse(path, template):
    """ftyp, an mdat with a 64-bit size over a 5 GiB hole, then the movie box."""
    if os.path.exists(path):
        return
    with open(template, "rb") as f:
        data = f.read()
    boxes = {}
    offset = 0
    while offset + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[offset:offset + 8])
        if size == 1:
            size = struct.unpack(">Q", data[offset + 8:offset + 16])[0]
        elif size == 0:
            size = len(data) - offset
        boxes.setdefault(kind, data[offset:offset + size])
        offset += size
    hole = 5 << 30
    with open(path + ".tmp", "wb") as f:
        f.write(boxes[b"ftyp"])
        f.write(struct.pack(">I4sQ", 1, b"mdat", 16 + hole))
        f.seek(hole, os.SEEK_CUR)
        f.write(boxes[b"moov"])
    os.replace(path + ".tmp", path)


def make_once(path, *args):
    """Runs ffmpeg with output path unless the file exists."""
    if not os.path.exists(path):
        ffmpeg(*args, path + ".tmp.mp4")
        os.replace(path + ".tmp.mp4", path)


def make_large(root):
    large = os.path.join(root, "large")
    os.makedirs(large, exist_ok=True)
    path = {name: os.path.join(large, file) for name, file in LARGE_FILES}
    make_once(path["last"], "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-f", "lavfi",
              "-i", "sine=frequency=440:sample_rate=48000", "-t", str(LARGE_SECONDS), "-c:v",
              "mpeg4", "-q:v", "1", "-c:a", "aac", "-b:a", "128k", "-metadata",
              "title=Large movie", "-metadata", "artist=Bench")
    make_once(path["first"], "-i", path["last"], "-c", "copy", "-map_metadata", "0", "-movflags",
              "+faststart")
    write_sparse(path["sparse"], path["last"])
    # H.264 with B-frames (a composition-offset table) and a key frame every
    # second, so that the fragmented copy has one fragment per second.
    make_once(path["m10last"], "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-f", "lavfi",
              "-i", "sine=frequency=330:sample_rate=44100", "-t", str(MOVIE_SECONDS), "-c:v",
              "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "25", "-b:v", "2500k", "-c:a",
              "aac", "-b:a", "128k", "-metadata", "title=Ten minutes", "-metadata",
              "artist=Bench")
    make_once(path["m10frag"], "-i", path["m10last"], "-c", "copy", "-map_metadata", "0",
              "-movflags", "+frag_keyframe+empty_moov+default_base_moof")
    make_once(path["h2last"], "-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi",
              "-i", "sine=frequency=550:sample_rate=48000", "-t", str(LONG_SECONDS), "-c:v",
              "libx264", "-preset", "ultrafast", "-bf", "2", "-c:a", "aac", "-b:a", "32k",
              "-metadata", "title=Two hours", "-metadata", "artist=Bench")
    make_once(path["h2first"], "-i", path["h2last"], "-c", "copy", "-map_metadata", "0",
              "-movflags", "+faststart")
    for name, _ in LARGE_FILES:
        with open(os.path.join(root, f"large-{name}.list"), "w") as f:
            f.write(path[name] + "\n")
    return [path[name] for name, _ in LARGE_FILES]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir")
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--skip-large", action="store_true")
    args = parser.parse_args()
    root = os.path.abspath(args.dir)
    work = os.path.join(root, "sources")
    sources, covers = make_sources(work)
    paths = make_library(root, args.files, sources, covers)
    last_count = sum(1 for p in paths if not moov_first(p))
    sizes = [os.path.getsize(p) for p in paths]
    print(f"library: {len(paths)} files, {min(sizes)} to {max(sizes)} bytes, "
          f"{last_count} with the movie box last", file=sys.stderr)
    if not args.skip_large:
        for path in make_large(root):
            types = top_level_types(path)
            shown = " ".join(types) if len(types) <= 8 else f"{len(types)} boxes"
            print(f"{path}: {os.path.getsize(path)} bytes: {shown}", file=sys.stderr)


if __name__ == "__main__":
    main()
