// The chroma table of the current variant (the decoder's named chroma
// predictions and combinations, chroma_dsp.h, call it).
#include "chroma_dsp.h"
#include "inter_prediction.h"

VIDEO_DSP_DEFINE_SELECTION(ChromaDsp, chroma_dsp)
