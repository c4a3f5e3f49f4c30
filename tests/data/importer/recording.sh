# Sourced by the scripts that make AVCHD-style recordings (this folder's
# make.sh, scripts/make_material.sh): the muxer's settings and
# make_recording. Needs ffmpeg with libx264 and python3; the caller sets
# `work` to a scratch folder.

avchd_mux=(-f mpegts -mpegts_m2ts_mode 1 -streamid 0:0x1011 -streamid 1:0x1100
           -mpegts_pmt_start_pid 0x100 -pes_payload_size 0 -fflags +bitexact)

recording_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# make_recording NAME SIZE RATE DURATION X264PARAMS TIMECODE FPS DROP AUDIOARGS...
# NAME.m2ts in the current folder: testsrc2 at SIZE and RATE for DURATION
# seconds, High profile with x264's settings X264PARAMS added, every access
# unit carrying the camera user data with time codes from TIMECODE (none:
# no user data) at FPS, drop-frame numbering when DROP is "drop", and a
# 440 Hz tone encoded by AUDIOARGS; NAME.video.framemd5, ffmpeg's decoded
# pictures.
make_recording() {
  local name=$1 size=$2 rate=$3 duration=$4 x264=$5 start=$6 fps=$7 drop=$8
  shift 8
  local v=$work/$name
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=$rate" -t "$duration" \
    -c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p \
    -x264-params "threads=1:aud=1:keyint=12:min-keyint=12:scenecut=0:bframes=2:b-pyramid=none:$x264" \
    -fflags +bitexact "$v.mp4"
  ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$v.mp4" | cut -d, -f1 | grep . > "$v.pts"
  local tb
  tb=$(ffprobe -v error -select_streams v:0 -show_entries stream=time_base -of csv=p=0 "$v.mp4")
  # The raw stream has no time stamps: they are restored from the encoder's,
  # in 90 kHz units, one frame of delay between decoding and display.
  local setts
  setts=$(python3 - "$v.pts" "$tb" "$rate" <<'PY'
import sys
from fractions import Fraction
pts = [int(x) for x in open(sys.argv[1]).read().split()]
tb = Fraction(sys.argv[2])
frame = Fraction(90000) / Fraction(sys.argv[3])
terms = ["%d*eq(N\\,%d)" % (round(p * tb * 90000), i) for i, p in enumerate(pts)]
# In sums of at most 30 terms: the expression parser takes no longer chain.
sums = "+".join("(" + "+".join(terms[k:k + 30]) + ")" for k in range(0, len(terms), 30))
print("setts=time_base=1/90000:pts=%s:dts=round((N-1)*%s)" % (sums, float(frame)))
PY
)
  ffmpeg -hide_banner -loglevel error -y -i "$v.mp4" -c:v copy -bsf:v h264_mp4toannexb -f h264 "$v.h264"
  if [ "$start" != none ]; then
    python3 "$recording_dir/inject_mdpm.py" "$v.h264" "$v.sei.h264" "$v.pts" "$start" "$fps" "$drop"
  else
    cp "$v.h264" "$v.sei.h264"
  fi
  ffmpeg -hide_banner -loglevel error -y -framerate "$rate" -i "$v.sei.h264" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$duration" \
    -map 0:v -map 1:a -c:v copy -bsf:v "$setts" "$@" "${avchd_mux[@]}" "$name.m2ts"
  # The decode order of the muxed pictures must be the one the time codes
  # were assigned by.
  ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$name.m2ts" | cut -d, -f1 | grep . > "$v.muxed.pts"
  python3 - "$v.pts" "$v.muxed.pts" <<'PY'
import sys
a = [int(x) for x in open(sys.argv[1]).read().split()]
b = [int(x) for x in open(sys.argv[2]).read().split()]
rank = lambda v: [sorted(v).index(x) for x in v]
if rank(a) != rank(b):
    sys.exit("display order changed by muxing")
PY
  ffmpeg -hide_banner -loglevel error -y -i "$name.m2ts" -map 0:v -f framemd5 "$name.video.framemd5"
}

