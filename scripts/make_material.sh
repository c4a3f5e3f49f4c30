#!/usr/bin/env bash
# Makes the part of the external test material that ffmpeg and x264 can make,
# with its reference outputs, in the layout the tests read (README.md, "Tests
# and material"):
#   h264-features/  the feature clips (x264, the recipes below) that an
#                   encoder makes alone, each with NAME.framemd5 (ffmpeg's pictures);
#   ac3/            AC-3 streams (ffmpeg's encoder) with NAME.s16.framemd5
#                   and NAME.s16.md5 (ffmpeg's decoded PCM);
#   avchd/          AVCHD-style recordings of 192-byte packets with the
#                   camera user data, and NAME.video.framemd5,
#                   NAME.audio.framemd5 and NAME.audio.md5.
# What it cannot make: the public H.264 conformance bitstreams
# (h264-conformance/), the feature clips whose slice headers were rewritten
# after encoding (40_*, 41_*, 42_*, 44_*, 45_*), and what real camcorders
# recorded (avchd/camera_header_7packets.mts, avchd/camera_1080i50_paff.264). It makes the folder DIR/h264-conformance/:
# conformance bitstreams copied into it (NAME.264 or NAME.avc) get their
# expected.tsv when the script runs again, from ffmpeg's decoded pictures.
#
# usage: scripts/make_material.sh [DIR]
# DIR defaults to ../shared/testdata beside the repository, where the tests
# look when AVCHD_TESTDATA is not set. A file already there is kept, so real
# material is never written over; remove a file to make it again. Then:
#   AVCHD_TESTDATA=DIR scripts/test.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$repo/../shared/testdata}
mkdir -p "$dir"/h264-conformance "$dir"/h264-features "$dir"/ac3 "$dir"/avchd
dir=$(cd "$dir" && pwd)
"$repo"/scripts/deps.sh ffmpeg x264 python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quiet=(-hide_banner -loglevel error -y)

# wanted FILE: true when FILE is not there yet (and says what is made).
wanted() {
  [ -e "$1" ] && return 1
  echo "making ${1#"$dir"/}"
}

# The moving test pattern every clip is made of: FRAMES pictures of the
# lavfi source SOURCE, 25 a second, as YUV4MPEG on standard output.
pattern() {
  ffmpeg "${quiet[@]}" -f lavfi -i "$1" -frames:v "$2" -pix_fmt yuv420p -f yuv4mpegpipe -
}

# feature NAME SOURCE FRAMES X264OPTIONS...: one feature clip.
feature() {
  local name=$1 source=$2 frames=$3
  shift 3
  local out=$dir/h264-features/$name
  wanted "$out.264" || return 0
  pattern "$source" "$frames" | x264 --quiet --threads 4 --demuxer y4m "$@" -o "$work/$name.264" - 2>"$work/$name.log"
  ffmpeg "${quiet[@]}" -i "$work/$name.264" -map 0:v -f framemd5 "$out.framemd5"
  mv "$work/$name.264" "$out.264"
}

# A quantisation matrix file for 20_cqm_custom: flat 16 in the corners of
# each list, rising away from the DC position.
cqm=$work/custom.cqm
python3 - "$cqm" <<'PY'
import sys
def rows(n, base, step):
    return "\n".join(",".join(str(base + step * (x + y)) for x in range(n)) for y in range(n))
with open(sys.argv[1], "w") as f:
    for name, base, step in (("INTRA4X4_LUMA", 6, 3), ("INTRA4X4_CHROMAU", 8, 2), ("INTRA4X4_CHROMAV", 8, 2),
                             ("INTER4X4_LUMA", 10, 3), ("INTER4X4_CHROMAU", 12, 2), ("INTER4X4_CHROMAV", 12, 2)):
        f.write(name + " =\n" + rows(4, base, step) + "\n\n")
    for name, base, step in (("INTRA8X8_LUMA", 6, 2), ("INTER8X8_LUMA", 9, 2)):
        f.write(name + " =\n" + rows(8, base, step) + "\n\n")
PY

make_features() {
  local moving=testsrc2=size=352x288:rate=25
  local noise="testsrc2=size=352x288:rate=25,noise=alls=100:allf=t"
  feature 01_cavlc_main "$moving" 50 --profile main --no-cabac --bframes 2 --keyint 12
  feature 02_cabac_main "$moving" 50 --profile main --bframes 2 --keyint 12
  feature 03_cabac_high_8x8 "$moving" 50 --profile high --8x8dct --bframes 2 --keyint 12
  feature 04_cavlc_high_8x8 "$moving" 50 --profile high --no-cabac --8x8dct --bframes 2 --keyint 12
  feature 05_bpyramid_normal "$moving" 50 --bframes 3 --b-adapt 0 --b-pyramid normal
  feature 06_bpyramid_strict "$moving" 50 --bframes 3 --b-adapt 0 --b-pyramid strict --open-gop --keyint 12
  feature 07_weightp "$moving" 50 --bframes 0 --ref 3 --weightp 2
  feature 08_weightp_weightb_impl "$moving" 50 --bframes 3 --b-adapt 0 --weightp 2 --weightb
  feature 09_direct_spatial "$moving" 50 --bframes 3 --b-adapt 0 --b-pyramid none --direct spatial
  feature 10_direct_temporal "$moving" 50 --bframes 3 --b-adapt 0 --b-pyramid none --direct temporal
  feature 11_multiref8 "$moving" 50 --ref 8 --mixed-refs --bframes 2
  feature 12_slices4 "$moving" 50 --slices 4 --bframes 2
  feature 13_slice_max_mbs37_cavlc "$moving" 50 --slice-max-mbs 37 --no-cabac --bframes 2
  feature 14_mbaff_tff_cabac "$moving" 50 --tff --bframes 3 --b-adapt 0 --b-pyramid strict --direct temporal \
    --ref 4 --weightp 0
  feature 15_mbaff_bff_cavlc "$moving" 50 --bff --no-cabac --bframes 2 --direct spatial --weightp 0
  feature 17_fake_interlaced "$moving" 50 --fake-interlaced --pic-struct --bframes 2
  feature 18_constrained_intra "$moving" 50 --constrained-intra --bframes 2
  feature 19_cqm_jvt "$moving" 50 --cqm jvt --bframes 2
  feature 20_cqm_custom "$moving" 50 --cqmfile "$cqm" --bframes 2
  feature 21_ipcm_cabac "$noise" 25 --qp 4 --no-psy --subme 9 --bframes 2
  feature 22_ipcm_cavlc "$noise" 25 --qp 4 --no-psy --subme 9 --bframes 0 --no-cabac
  feature 24_noise_lowqp_cabac "$noise" 50 --qp 3 --bframes 2
  feature 25_noise_lowqp_cavlc "$noise" 50 --qp 3 --bframes 2 --no-cabac
  feature 26_mandelbrot_320x240 mandelbrot=size=320x240:rate=25 50 --crf 20 --bframes 3 --ref 4
  feature 27_crop_320x180 testsrc2=size=320x180:rate=25 50 --crf 22 --bframes 2
  feature 28_deblock_offsets "$moving" 50 --deblock 3:-3 --chroma-qp-offset 4 --bframes 2
  feature 29_no_deblock "$moving" 50 --no-deblock --bframes 2
  feature 30_open_gop_sei_aud "$moving" 50 --tff --open-gop --keyint 12 --bframes 2 --aud --nal-hrd vbr \
    --vbv-bufsize 2000 --vbv-maxrate 2000 --pic-struct --weightp 0
  feature 31_p_ref3_nommco "$moving" 50 --bframes 0 --ref 3 --weightp 0 --keyint 25
}

# ac3 NAME CHANNELS LAYOUT BITRATE SECONDS: a tone of its own pitch in every
# channel, AC-3 at BITRATE, and ffmpeg's decoded PCM (channels in its order,
# L R C LFE Ls Rs) per frame and whole.
ac3() {
  local name=$1 channels=$2 layout=$3 bitrate=$4 seconds=$5
  local out=$dir/ac3/$name
  wanted "$out.ac3" || return 0
  local tones="" c
  for ((c = 0; c < channels; c++)); do tones+="${tones:+|}0.5*sin(2*PI*$((330 + 110 * c))*t)"; done
  ffmpeg "${quiet[@]}" -f lavfi -i "aevalsrc=$tones:s=48000:c=$layout:d=$seconds" -c:a ac3 -b:a "$bitrate" \
    -fflags +bitexact -f ac3 "$work/$name.ac3"
  ffmpeg "${quiet[@]}" -i "$work/$name.ac3" -c:a pcm_s16le -f framemd5 "$out.s16.framemd5"
  ffmpeg "${quiet[@]}" -i "$work/$name.ac3" -f s16le - | md5sum | cut -c1-32 > "$out.s16.md5"
  mv "$work/$name.ac3" "$out.ac3"
}

make_ac3() {
  ac3 ac3_10_96k_3s 1 mono 96k 3
  ac3 ac3_20_256k_3s 2 stereo 256k 3
  ac3 ac3_51_448k_3s 6 5.1 448k 3
  ac3 ac3_51_448k_60s 6 5.1 448k 60
}

# recording NAME SIZE RATE X264PARAMS AUDIOARGS...: 2 s (the 1080i one
# 10 s) of AVCHD-style recording with the camera user data, and its
# references: the pictures and the PCM as ffmpeg decodes them.
recording() {
  local name=$1 size=$2 rate=$3 x264=$4 seconds=2 fps=25 drop=nodrop start=10:00:00:00
  shift 4
  [ "$size" = 1920x1080 ] && seconds=10 fps=30 start=01:00:00:00
  local out=$dir/avchd/$name
  wanted "$out.m2ts" || return 0
  # While it muxes the video with the camera user data's SEI, ffmpeg says
  # "non-existing SPS 0 referenced in buffering period" once a recording:
  # harmless (the recording made holds its SPS first, and its reference
  # pictures are decoded from it), so that line alone is left out.
  (cd "$work" && make_recording "$name" "$size" "$rate" "$seconds" "$x264" "$start" "$fps" "$drop" "$@") \
    2> >(grep -v --line-buffered 'non-existing SPS 0 referenced in buffering period' >&2)
  ffmpeg "${quiet[@]}" -i "$work/$name.m2ts" -map 0:a -c:a pcm_s16le -f framemd5 "$out.audio.framemd5"
  ffmpeg "${quiet[@]}" -i "$work/$name.m2ts" -map 0:a -f s16le - | md5sum | cut -c1-32 > "$out.audio.md5"
  mv "$work/$name.video.framemd5" "$out.video.framemd5"
  mv "$work/$name.m2ts" "$out.m2ts"
}

make_recordings() {
  source "$repo"/tests/data/importer/recording.sh
  local lpcm=(-c:a pcm_bluray -sample_fmt s16)
  recording small_ac3_20_avchd 352x288 25 "" -c:a ac3 -b:a 192k -ac 2
  recording small_ac3_51_avchd 352x288 25 "" -c:a ac3 -b:a 448k -ac 6
  recording small_lpcm_20_avchd 352x288 25 "" "${lpcm[@]}" -ac 2
  recording small_lpcm_51_avchd 352x288 25 "" "${lpcm[@]}" -ac 6
  recording small_mbaff_ac3_20_avchd 352x288 25 "interlaced=1:tff=1" -c:a ac3 -b:a 256k -ac 2
  # The size and shape of a camcorder's recording: 1080i at 29.97, MBAFF,
  # 17.6 Mbit/s, GOP 15 with 2 B pictures, open GOP, timing SEI. One encoder
  # thread: under the VBV, x264's threads give a different stream each run,
  # and the tests are to meet the same recording every time.
  recording avchd_1080i_10s_ac3_20_avchd 1920x1080 30000/1001 \
    "threads=1:interlaced=1:tff=1:keyint=15:min-keyint=15:open-gop=1:level=4.0:bitrate=17600:vbv-maxrate=24000:vbv-bufsize=24000:nal-hrd=vbr:pic-struct=1" \
    -c:a ac3 -b:a 256k -ac 2
}

# h264-conformance/expected.tsv for the bitstreams found there: file, name,
# profile and the MD5 of the decoded pictures as planar 8-bit 4:2:0,
# cropped, in output order (a monochrome stream's chroma planes at 128).
make_conformance_list() {
  local list=$dir/h264-conformance/expected.tsv stream
  [ -d "$dir/h264-conformance" ] && ! [ -e "$list" ] || return 0
  compgen -G "$dir/h264-conformance/*.264" >/dev/null || compgen -G "$dir/h264-conformance/*.avc" >/dev/null ||
    return 0
  echo "making h264-conformance/expected.tsv"
  printf '# file\tname\tprofile\tmd5 of the decoded pictures: planar 8-bit 4:2:0 (Y, then U, then V per picture), cropped, in output order, no header\n' >"$work/expected.tsv"
  # The suite's name of a stream is its package's; these differ from the
  # bitstream file's name.
  local -A names=(
    [FRExt1_P.avc]=FRExt1_P_D [FRExt2_P.avc]=FRExt2_P_C [FRExt3_P.avc]=FRExt3_P_E [Freh12_B.264]=freh12_b
    [Freh1_B.264]=freh1_b [Freh2_B.264]=freh2_b [HCAFF1_HHI.264]=HCAFF1_HHI_B [HCAFR1_HHI.264]=HCAFR1_HHI_C
    [HCAFR2_HHI.264]=HCAFR2_HHI_A [HCAFR3_HHI.264]=HCAFR3_HHI_A [HCAFR4_HHI.264]=HCAFR4_HHI_A
    [HCAMFF1_HHI.264]=HCAMFF1_HHI_B)
  for stream in "$dir"/h264-conformance/*.264 "$dir"/h264-conformance/*.avc; do
    [ -e "$stream" ] || continue
    local file=${stream##*/} name
    name=${names[$file]:-${file%.*}}
    [[ $file == freh[0-9]*.264 ]] && name=brcm_${file%.264}
    printf '%s\t%s\t%s\t%s\n' "$file" "$name" \
      "$(ffprobe -v error -select_streams v:0 -show_entries stream=profile -of csv=p=0 "$stream")" \
      "$(ffmpeg "${quiet[@]}" -i "$stream" -f rawvideo -pix_fmt yuv420p - | md5sum | cut -c1-32)" >>"$work/expected.tsv"
  done
  mv "$work/expected.tsv" "$list"
}

# The three parts at once; each says what it makes.
make_features &
features=$!
make_ac3 &
audio=$!
make_recordings
make_conformance_list
wait "$features"
wait "$audio"
# The marker the tests look for: the tests that compare with output
# committed for the shared files' exact bytes skip with a message.
if ! [ -e "$dir/README.md" ]; then
  cat >"$dir/README.md" <<EOF
# Test material made by scripts/make_material.sh
The parts that ffmpeg ($(ffmpeg -version | head -1 | cut -d' ' -f3)) and x264 ($(x264 --version | head -1 | cut -d' ' -f2))
make, by the recipes in scripts/make_material.sh: h264-features/, ac3/ and avchd/, each with its
reference output from ffmpeg. The streams are not the shared files' bytes.
EOF
fi
echo "made by scripts/make_material.sh: not the shared files" >"$dir/MADE_BY_make_material.txt"
echo "made in $dir: run the tests with AVCHD_TESTDATA=$dir scripts/test.sh"
