#!/usr/bin/env bash
# Makes the small streams committed in tests/data, with Debian's ffmpeg and
# x264 used as black boxes. Run from anywhere; needs ffmpeg with libx264.
# The outputs are committed, so neither CI nor the tests need ffmpeg.
set -euo pipefail
cd "$(dirname "$0")"

# AVCHD-style transport stream: 192-byte source packets, video on PID 0x1011,
# audio on PID 0x1100, program map on PID 0x0100, one AC-3 frame per PES
# (the muxer's default packs several).
avchd_mux_packed=(-f mpegts -mpegts_m2ts_mode 1 -streamid 0:0x1011 -streamid 1:0x1100
                  -mpegts_pmt_start_pid 0x100 -fflags +bitexact)
avchd_mux=("${avchd_mux_packed[@]}" -pes_payload_size 0)

# make_ac3 SIZE OUTPUT MUXARGS...: 2 s of testsrc2 at SIZE 25p, High profile
# CABAC with B pictures, and a 440 Hz tone as AC-3 2/0 192 kbit/s.
make_ac3() {
  local size=$1 output=$2
  shift 2
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=$size:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 2 \
    -c:v libx264 -preset veryfast -profile:v high -g 12 -bf 2 -pix_fmt yuv420p \
    -x264-params threads=1 \
    -c:a ac3 -b:a 192k -ac 2 \
    "$@" "$output"
}

# sample.m2ts: the bundled sample for the README's first command, 352x288.
make_ac3 352x288 sample.m2ts "${avchd_mux[@]}"

# sound/ac3_3_per_pes.m2ts: 176x144, muxed with the m2ts muxer's default PES
# packing, three AC-3 frames per audio PES. References: the number of AC-3
# frames, and ffmpeg's decode of them as interleaved signed 16-bit
# little-endian PCM.
make_ac3 176x144 sound/ac3_3_per_pes.m2ts "${avchd_mux_packed[@]}"
ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 \
  sound/ac3_3_per_pes.m2ts > sound/ac3_3_per_pes.frames
ffmpeg -hide_banner -loglevel error -y -i sound/ac3_3_per_pes.m2ts -map 0:a -f s16le -acodec pcm_s16le \
  sound/ac3_3_per_pes.s16

# recovery/intra_refresh_cut.264: 128x96 interlaced (MBAFF) x264 stream with
# periodic intra refresh instead of IDR pictures (a recovery point SEI every
# 10 pictures, recovery_frame_cnt 6), cut at its second recovery point, a P
# picture, with its parameter sets in front. Reference: ffmpeg's decode of
# the cut stream (the pictures from the recovery point's end on).
ffmpeg -hide_banner -loglevel error -f lavfi -i "testsrc2=size=128x96:rate=25" -t 1.2 -pix_fmt yuv420p \
  -f yuv4mpegpipe - |
  x264 --quiet --threads 1 --crf 30 --interlaced --tff --intra-refresh --bframes 0 --keyint 10 --demuxer y4m \
    -o recovery/intra_refresh.264 - 2>/dev/null
python3 recovery/cut_at_unit.py recovery/intra_refresh.264 recovery/intra_refresh_cut.264 10
rm recovery/intra_refresh.264
ffmpeg -hide_banner -loglevel error -y -i recovery/intra_refresh_cut.264 -f framemd5 recovery/intra_refresh_cut.framemd5
