#!/bin/sh
# Makes the reconstruction test streams and their reference outputs with
# ffmpeg and x264 used as black boxes. Deterministic: one encoder thread,
# bit-exact flags.
#   intra1080.264: 1920x1080, every picture an IDR picture (CAVLC High, 8x8
#                  transform), for the intra decode benchmark.
#   *.framemd5:        reference pictures (in-loop filter on);
#   *.nodeblock.framemd5: the same decode with the in-loop filter skipped.
set -e
cd "$(dirname "$0")"
ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 8 -pix_fmt yuv420p -f rawvideo - |
  x264 --quiet --input-res 1920x1080 --fps 25 --keyint 1 --crf 24 --threads 1 --no-cabac \
       --profile high -o intra1080.264 -
for s in intra1080; do
  ffmpeg -v error -fflags +bitexact -threads 1 -i $s.264 -f framemd5 $s.framemd5
  ffmpeg -v error -fflags +bitexact -threads 1 -skip_loop_filter all -i $s.264 -f framemd5 $s.nodeblock.framemd5
done
# The intra-only conformance streams without the in-loop filter, for telling
# reconstruction faults from deblocking faults.
conf=../../../../shared/testdata/h264-conformance
for s in BAMQ1_J_C CABA1_SVA_B CANL1_SVA_B CANL1_T_G CANL2_SVA_B NLMQ1_J_C SVA_BA1_B SVA_NL1_B; do
  ffmpeg -v error -fflags +bitexact -threads 1 -skip_loop_filter all -i $conf/$s.264 -f framemd5 $s.nodeblock.framemd5
done
for s in BAMQ1_J_C CABA1_SVA_B CANL1_SVA_B CANL1_T_G CANL2_SVA_B NLMQ1_J_C SVA_BA1_B SVA_NL1_B; do
  ffmpeg -v error -fflags +bitexact -threads 1 -i $conf/$s.264 -f framemd5 $s.framemd5
done
# First output picture (an intra picture) of streams whose later pictures
# need inter prediction: "name md5" per line.
feat=../../../../shared/testdata/h264-features
: > first_pictures.txt
for s in AUD_MW_E BA1_FT_C BAMQ2_J_C BANM_MW_D BA_MW_D CABA2_SVA_B CABA3_SVA_B CANL3_SVA_B CANL4_SVA_B CI1_FT_B \
         CI_MW_D HPCADQ_BRCM_B HPCALQ_BRCM_B HPCAMOLQ_BRCM_B HPCANL_BRCM_C HPCAQ2LQ_BRCM_B HPCA_BRCM_C \
         HPCVMOLQ_BRCM_B HPCVNL_BRCM_A HPCV_BRCM_A LS_SVA_D MIDR_MW_D MPS_MW_A MR1_MW_A NL3_SVA_E NLMQ2_J_C \
         NRF_MW_E SL1_SVA_B SVA_BA2_D SVA_Base_B SVA_CL1_E SVA_FM1_E SVA_NL2_E Freh12_B Freh1_B Freh2_B \
         HCAFR1_HHI HCAFR2_HHI HCAFR3_HHI HCAFR4_HHI freh3 freh8 freh9; do
  echo "h264-conformance/$s $(ffmpeg -v error -threads 1 -i $conf/$s.264 -frames:v 1 -f framemd5 - | grep -v '^#' | sed 's/.*, //')" >> first_pictures.txt
done
for s in 01_cavlc_main 02_cabac_main 04_cavlc_high_8x8 07_weightp 08_weightp_weightb_impl 13_slice_max_mbs37_cavlc \
         19_cqm_jvt 22_ipcm_cavlc 25_noise_lowqp_cavlc 27_crop_320x180 40_explicit_b_cabac; do
  echo "h264-features/$s $(ffmpeg -v error -threads 1 -i $feat/$s.264 -frames:v 1 -f framemd5 - | grep -v '^#' | sed 's/.*, //')" >> first_pictures.txt
done
# Field streams whose first field is an intra field: "name md5" of the top
# field of the first output frame (its even lines, every plane).
: > first_fields.txt
for s in CABREF3_Sand_D CAFI1_SVA_C CVFI1_SVA_C HCAFF1_HHI HPCAFLNL_BRCM_C HPCAFL_BRCM_C HPCVFLNL_BRCM_A \
         freh10 freh11 freh4 freh6; do
  echo "h264-conformance/$s $(ffmpeg -v error -threads 1 -i $conf/$s.264 -frames:v 1 -vf field=top -f framemd5 - | grep -v '^#' | sed 's/.*, //')" >> first_fields.txt
done
