#!/usr/bin/env bash
# Regenerates the sample files in samples/ from generated sources, with real
# encoders and taggers (ffmpeg, GStreamer's AMR-NB encoder, AtomicParsley,
# mutagen).  Not run by the tests or CI: the outputs are committed, and
# samples/README.md describes what each file holds.
#
# Usage: scripts/make-samples.sh [output-dir]   (default: samples/)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/samples}
mkdir -p "$out"

# mutagen is used through Debian's own Python, whatever python3 is on PATH.
PY=/usr/bin/python3

need_pkgs=()
command -v ffmpeg >/dev/null 2>&1 || need_pkgs+=(ffmpeg)
command -v ffprobe >/dev/null 2>&1 || need_pkgs+=(ffmpeg)
command -v AtomicParsley >/dev/null 2>&1 || need_pkgs+=(atomicparsley)
[ -x "$PY" ] && "$PY" -c 'import mutagen' 2>/dev/null || need_pkgs+=(python3-mutagen)
command -v gst-launch-1.0 >/dev/null 2>&1 || need_pkgs+=(gstreamer1.0-tools)
[ -e /usr/lib/x86_64-linux-gnu/gstreamer-1.0/libgstamrnb.so ] \
    || gst-inspect-1.0 amrnbenc >/dev/null 2>&1 \
    || need_pkgs+=(gstreamer1.0-plugins-base gstreamer1.0-plugins-ugly)
if [ ${#need_pkgs[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${need_pkgs[@]}"
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
# Stable output: no timestamps/encoder strings from the muxer, no metadata
# copied over from the generated inputs.
BITEXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)

# ---------------------------------------------------------------- pictures
# Tiny cover pictures for the tagged files.
ff -f lavfi -i "color=c=0xc03020:s=16x16:d=1" -frames:v 1 -q:v 8 \
    "${BITEXACT[@]}" "$tmp/cover.jpg"
ff -f lavfi -i "color=c=0x2040c0:s=8x8:d=1" -frames:v 1 -pix_fmt rgb24 \
    "${BITEXACT[@]}" "$tmp/cover.png"

# ------------------------------------------------------- audio+video files
# 10 s of 48 kHz stereo AAC and 320x240 H.264 (static picture, low rate).
ff -f lavfi -i "color=c=0x3060a0:s=320x240:r=10:d=10" \
   -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=10" \
   -filter_complex "[1:a]volume=0.02,pan=stereo|c0=c0|c1=c0[a]" -map 0:v -map "[a]" \
   -c:v libx264 -preset veryslow -crf 40 -g 100 -pix_fmt yuv420p \
   -x264-params "threads=1" \
   -c:a aac -b:a 16k -ar 48000 -ac 2 \
   -t 10 "${BITEXACT[@]}" -f mp4 "$out/av-h264-aac.mp4"

# 1.5 s of MPEG-4 Part 2 video (176x144) with AAC.
ff -f lavfi -i "testsrc=s=176x144:r=10:d=1.5" \
   -f lavfi -i "sine=frequency=660:sample_rate=22050:duration=1.5" \
   -c:v mpeg4 -q:v 31 -g 15 -threads 1 \
   -c:a aac -b:a 16k -ac 1 \
   "${BITEXACT[@]}" -f mp4 "$out/av-mpeg4.mp4"

# 1.5 s of H.263 (176x144) with AMR-NB (8 kHz mono, 4.75 kbit/s).  Debian's
# ffmpeg has no AMR encoder, so GStreamer's amrnbenc (opencore-amrnb) encodes
# the sound into the .amr storage format, and ffmpeg muxes it unchanged.
gst-launch-1.0 -q audiotestsrc num-buffers=75 samplesperbuffer=160 wave=sine freq=440 \
    ! audio/x-raw,rate=8000,channels=1,format=S16LE \
    ! amrnbenc band-mode=MR475 ! filesink location="$tmp/frames.amr"
{ printf '#!AMR\n'; cat "$tmp/frames.amr"; } > "$tmp/sound.amr"
ff -f lavfi -i "testsrc=s=176x144:r=10:d=1.5" -i "$tmp/sound.amr" \
   -c:v h263 -q:v 31 -g 15 -threads 1 -c:a copy \
   "${BITEXACT[@]}" -f 3gp "$out/h263-amr.3gp"

# A QuickTime movie: 1 s of H.264 (160x120) and AAC, with a title, which the
# QuickTime muxer stores as a QuickTime user-data text ("moov.udta.©nam").
ff -f lavfi -i "color=c=0x20a040:s=160x120:r=10:d=1" \
   -f lavfi -i "sine=frequency=330:sample_rate=44100:duration=1" \
   -c:v libx264 -preset veryslow -crf 40 -pix_fmt yuv420p -x264-params "threads=1" \
   -c:a aac -b:a 16k -ac 1 \
   "${BITEXACT[@]}" -metadata title="Movie" -f mov "$out/movie.mov"

# The same movie with the movie box first and no file-type box, as older
# QuickTime files are laid out.  ffmpeg always writes "ftyp" first (with
# +faststart the order is ftyp, moov, wide, mdat), so the file-type box is cut
# off that output and every chunk offset ("stco"/"co64") is moved back by its
# size; all other bytes are ffmpeg's.
ff -i "$out/movie.mov" -c copy -movflags +faststart -fflags +bitexact -f mov "$tmp/faststart.mov"
"$PY" - "$tmp/faststart.mov" "$out/movie-moov-first.mov" <<'PYEOF'
import struct, sys
src, dst = sys.argv[1:3]
buf = bytearray(open(src, "rb").read())
shift, typ = struct.unpack(">I4s", buf[:8])
assert typ == b"ftyp"
buf = buf[shift:]

def walk(start, end):
    while start + 8 <= end:
        n, t = struct.unpack(">I4s", buf[start:start + 8])
        if t in (b"moov", b"trak", b"mdia", b"minf", b"stbl"):
            walk(start + 8, start + n)
        elif t in (b"stco", b"co64"):
            count = struct.unpack(">I", buf[start + 12:start + 16])[0]
            w, f = (4, ">I") if t == b"stco" else (8, ">Q")
            for i in range(count):
                at = start + 16 + i * w
                off = struct.unpack(f, buf[at:at + w])[0]
                buf[at:at + w] = struct.pack(f, off - shift)
        start += n

walk(0, len(buf))
assert buf[4:8] == b"moov"
open(dst, "wb").write(buf)
PYEOF

# A fragmented file in ffmpeg's Smooth Streaming layout (ismv): the track's
# media header is a version 1 box whose duration is all one bits, and the
# media data sits in movie fragments (moof/mdat) after the movie box.
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" \
   -c:a aac -b:a 16k -ac 1 "${BITEXACT[@]}" -f ismv "$out/fragmented.ismv"

# ------------------------------------------------------------ tagged audio
# Untagged 1 s AAC (44.1 kHz mono) as the base of the tagged files.
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" \
   -c:a aac -b:a 16k -ac 1 "${BITEXACT[@]}" -f ipod "$tmp/plain.m4a"

# Tagged by AtomicParsley.  A standard genre name ("Rock") is stored as
# the genre number item "gnre", any other name as the text item "©gen".
cp "$tmp/plain.m4a" "$tmp/ap.m4a"
AtomicParsley "$tmp/ap.m4a" --overWrite \
    --title "Song" \
    --artist "Artist" \
    --albumArtist "Album Artist" \
    --album "Album" \
    --composer "Composer" \
    --comment "Comment" \
    --genre "Rock" \
    --year "2008" \
    --tracknum 5/12 \
    --disk 1/2 \
    --artwork "$tmp/cover.jpg" \
    --advisory explicit \
    --purchaseDate "2008-03-04T05:06:07Z" \
    --keyword "Keyword" \
    --description "Description" \
    --podcastURL "http://example.com/feed" \
    --copyright "Copyright" \
    --encodingTool "Encoder" \
    --compilation true \
    --bpm 120 \
    --grouping "Grouping" \
    --gapless true \
    --apID "buyer@example.com" \
    --cnID 1234 \
    --stik Normal \
    --rDNSatom "Value" name=Name domain=com.example >/dev/null
cp "$tmp/ap.m4a" "$out/song-atomicparsley.m4a"

# Tagged by mutagen: non-ASCII text, a text genre, two values in one item,
# a one-byte rating, two cover pictures, a freeform item.
cp "$tmp/plain.m4a" "$tmp/mg.m4a"
"$PY" - "$tmp/mg.m4a" "$tmp/cover.jpg" "$tmp/cover.png" <<'EOF'
import sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm, AtomDataType
path, jpg, png = sys.argv[1:4]
f = MP4(path)
f["\xa9nam"] = ["Song"]
f["\xa9ART"] = ["Zo\u00eb \u00c5ngstr\u00f6m", "Second Artist"]
f["aART"] = ["Album Artist"]
f["\xa9alb"] = ["Alb\u00fcm"]
f["\xa9wrt"] = ["Composer"]
f["\xa9cmt"] = ["Comment"]
f["\xa9gen"] = ["M\u00fasica"]     # mutagen writes genres as text only
f["\xa9day"] = ["2008-03-04"]
f["trkn"] = [(5, 12)]
f["disk"] = [(1, 2)]
f["tmpo"] = [120]
f["cpil"] = True
f["pgap"] = True
f["rtng"] = [2]                      # one byte: 2 = clean
f["covr"] = [MP4Cover(open(jpg, "rb").read(), MP4Cover.FORMAT_JPEG),
             MP4Cover(open(png, "rb").read(), MP4Cover.FORMAT_PNG)]
f["purd"] = ["2008-03-04 05:06:07"]
f["keyw"] = ["Keyword"]
f["desc"] = ["Description"]
f["purl"] = ["http://example.com/feed"]
f["apID"] = ["buyer@example.com"]
f["cprt"] = ["\u00a9 2008 Copyright"]
f["\xa9grp"] = ["Grouping"]
f["\xa9too"] = ["mutagen"]
f["----:com.example:Name"] = [MP4FreeForm(b"Value", dataformat=AtomDataType.UTF8)]
f.save()
EOF
cp "$tmp/mg.m4a" "$out/song-mutagen.m4a"

# Tagged by ffmpeg's own muxer while encoding (no bitexact here, so that the
# muxer writes its "©too" encoder string as it normally does).
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" \
   -c:a aac -b:a 16k -ac 1 -map_metadata -1 \
   -metadata title="Song" \
   -metadata artist="Artist" \
   -metadata album_artist="Album Artist" \
   -metadata album="Album" \
   -metadata composer="Composer" \
   -metadata comment="Comment" \
   -metadata genre="Genre" \
   -metadata date="2008" \
   -metadata track="5/12" \
   -metadata disc="1/2" \
   -metadata copyright="Copyright" \
   -metadata description="Description" \
   -metadata grouping="Grouping" \
   -metadata keywords="Keyword" \
   -metadata compilation=1 \
   -metadata gapless_playback=1 \
   -metadata tmpo=120 \
   -metadata media_type=1 \
   -metadata synopsis="Synopsis" \
   -f ipod "$out/song-ffmpeg.m4a"

ls -l "$out"
