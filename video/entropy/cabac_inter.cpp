// Neighbour tables of the CABAC inter syntax elements (ref_idx, mvd), by
// luma4x4BlkIdx: the block to the left and above, and the quadrant that
// holds it.
#include "cabac_syntax.h"

const uint8_t LeftNeighbourIdxTable[16] = {5, 0, 7, 2, 1, 4, 3, 6, 13, 8, 15, 10, 9, 12, 11, 14};
const uint8_t LeftSubMBIdx[16] = {1, 0, 1, 0, 0, 1, 0, 1, 3, 2, 3, 2, 2, 3, 2, 3};
const uint8_t UpSubMBIdx[16] = {2, 2, 0, 0, 3, 3, 1, 1, 0, 0, 2, 2, 1, 1, 3, 3};
const uint8_t UpNeighbourIdxTable[16] = {10, 11, 0, 1, 14, 15, 4, 5, 2, 3, 8, 9, 6, 7, 12, 13};
