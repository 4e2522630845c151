#include "malloc_fault.h"

#include <cstddef>

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* p);

namespace {

bool g_active = false;
int g_allowed = 0;
void* g_blocks[256];
int g_count = 0;

} // namespace

extern "C" void* __wrap_malloc(size_t size) {
    if (!g_active) return __real_malloc(size);
    if (g_allowed <= 0 || g_count == 256) return nullptr;
    --g_allowed;
    void* p = __real_malloc(size);
    if (p) g_blocks[g_count++] = p;
    return p;
}

extern "C" void __wrap_free(void* p) {
    for (int i = 0; i < g_count; ++i) {
        if (g_blocks[i] == p) {
            g_blocks[i] = g_blocks[--g_count];
            break;
        }
    }
    __real_free(p);
}

namespace malloc_fault {

Scope::Scope(int allowed) {
    g_allowed = allowed;
    g_count = 0;
    g_active = true;
}

Scope::~Scope() {
    g_active = false;
}

int live() {
    return g_count;
}

} // namespace malloc_fault
