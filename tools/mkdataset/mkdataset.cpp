// mkdataset OUT: writes the default dataset of this build (start marker, EPK and parameter
// defaults, CRC-16/ARC) as the image the kernel-side manager loads at start.
#include "calibration/memory/seram.h"

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkdataset OUT\n");
        return 2;
    }
    std::vector<uint8_t> image(SERAM_IMAGE_SIZE);
    seramBuildDefaultImage(image.data(), SERAM_IMAGE_SIZE);
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "mkdataset: writing %s failed\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
