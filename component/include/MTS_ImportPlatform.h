// What the importer uses of the platform layer and of the libraries beneath
// it, gathered in one place.
#pragma once

#include "AVCHDVideoDecoder.h"
#include "AudioStreamInfo.h"
#include "CFString.h"
#include "Components.h"
#include "DataHandler.h"
#include "Movies.h"
#include "ImageCompression.h"  // after Movies.h
#include "MacMemory.h"
#include "MacTypes.h"
#include "Processes.h"
#include "Sound.h"
#include "TimeCode.h"

#include "AC3Decoder.h"

using MTS_AC3Decoder = AC3DecState;
using MTS_AC3Info = ac3decInfo;
