// Fuzz target for the second codec's gradient form (fuzz_codec2.h): its decoder fed arbitrary data,
// and its encoder's round trip on tiles made from the input.
#include "fuzz/fuzz_codec2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return fuzz_codec2_one(TILE_FORM_GRADIENT, data, size); }
