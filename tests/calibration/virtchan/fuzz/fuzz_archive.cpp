// The archive reader on arbitrary bytes: it refuses or reads, within what the file holds.
#include "calibration/virtchan/virtchan.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    char* text = nullptr;
    uint32_t len = 0;
    if (unzip_decr_file(f, "fuzz", &text, &len) == 0) std::free(text);
    std::fclose(f);
    return 0;
}
