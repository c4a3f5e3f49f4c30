// Stand-in stages for tests of the engine alone, installed through the
// engine's stage table (set_decoder_stages) before a decoder is opened.
#pragma once

#include "decoder_engine.h"

extern const DecoderStages kStandInStages;
