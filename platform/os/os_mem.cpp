// Shared memory of the OS layer, and the heap's figures.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <malloc.h>

using namespace os_detail;

// ---- shared memory ---------------------------------------------------------------------

void* shmMap(const char* name, size_t size, bool create) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    auto it = w.shms.find(name);
    if (it != w.shms.end()) {
        if (size > it->second.second) {
            errno = EINVAL;
            return nullptr;
        }
        return it->second.first;
    }
    if (!create) {
        errno = ENOENT;
        return nullptr;
    }
    void* p = std::calloc(1, std::max<size_t>(size, 1));
    if (!p) {
        errno = ENOMEM;
        return nullptr;
    }
    w.shms[name] = {p, size};
    return p;
}

// ---- heap --------------------------------------------------------------------------------

STATUS osHeapStats(OS_HEAP_STATS* s) {
    if (!s) {
        errno = EINVAL;
        return ERROR;
    }
    struct mallinfo2 mi = mallinfo2();
    s->allocBytes = mi.uordblks + mi.hblkhd;
    s->freeBytes = mi.fordblks;
    s->totalBytes = s->allocBytes + s->freeBytes;
    s->maxFreeBlock = mi.fordblks; // glibc does not tell the largest block; the free total bounds it
    s->allocBlocks = 0;
    return OK;
}
