// The executable: starts the simulated platform first, then runs the application's main in it.
#include "app/startup/startup.h"
#include "model/partition.h"
#include "platform/boot/platform.h"
#include "platform/kmgr/appman.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The platform only needs an index for its own objects; the application checks its
// arguments itself and reports what is wrong with them.
unsigned indexArgument(int argc, char** argv) {
    if (argc < 2 || !argv[1][0] || std::strspn(argv[1], "0123456789") != std::strlen(argv[1])) return 0;
    uint64_t v = 0;
    for (const char* p = argv[1]; *p; ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > INT32_MAX) return 0; // the application refuses it: its names print it as int
    }
    return static_cast<unsigned>(v);
}

} // namespace

int main(int argc, char** argv) {
    if (platform::boot(indexArgument(argc, argv)) != 0) {
        std::fprintf(stderr, "vyn: %s\n", platform::bootError().c_str());
        std::fflush(stderr);
        _exit(70);
    }
    // The model partitions are loaded beside the application: their hooks are in the
    // manager's symbol table, where the application looks them up.
    const codegen_hook_t* partitions[] = {&codegen_hookPartition_P1, &codegen_hookPartition_P2,
                                          &codegen_hookPartition_P3};
    for (int p = 0; p < CODEGEN_PARTITIONS; ++p)
        kmgr::registerSymbol("codegen_hookPartition_P" + std::to_string(p + 1),
                             reinterpret_cast<uintptr_t>(partitions[p]));
    int rc = vyn_main(argc, argv);
    platform::halt();
    std::fflush(nullptr);
    // Detached task threads still run: leave without static destructors.
    _exit(rc & 0xFF);
}
