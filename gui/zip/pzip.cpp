// Pzip codec over zlib: the record mirrors z_stream's counters; zlib's own stream lives in the
// state. Lengths above zlib's 32-bit counters are fed in slices.
#define ZLIB_CONST
#include "gui/zip/pzip.h"

#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

const char PZIP_VERSION[] = ZLIB_VERSION;

namespace {

struct PzipState {
    z_stream z;
    bool deflating;
    unsigned char* own_out; // output buffer the codec allocated (deflate only)
};

PzipState* state_of(PzipStream* s) {
    return s ? static_cast<PzipState*>(s->state) : nullptr;
}

uInt slice(unsigned long n) {
    return n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n);
}

void pull_counters(PzipStream* s, const z_stream& z) {
    s->total_in = z.total_in;
    s->total_out = z.total_out;
    s->adler = z.adler;
    s->data_type = static_cast<unsigned long>(z.data_type);
}

// Runs one zlib call per slice until the record's lengths are used or zlib stops.
template <typename Fn> int run(PzipStream* s, PzipState* st, int flush, Fn step) {
    bool progress = false;
    for (;;) {
        uInt in = slice(s->avail_in), out = slice(s->avail_out);
        st->z.next_in = s->next_in;
        st->z.avail_in = in;
        st->z.next_out = s->next_out;
        st->z.avail_out = out;
        int r = step(&st->z, flush);
        uInt used_in = in - st->z.avail_in, used_out = out - st->z.avail_out;
        s->next_in += used_in;
        s->avail_in -= used_in;
        s->next_out += used_out;
        s->avail_out -= used_out;
        pull_counters(s, st->z);
        if (r == Z_BUF_ERROR && progress && flush != Z_FINISH) return Z_OK;
        if (used_in || used_out) progress = true;
        bool more = (in == UINT_MAX && s->avail_in > 0) || (out == UINT_MAX && s->avail_out > 0);
        if (r != Z_OK || !more) return r;
    }
}

int init_state(PzipStream* s, unsigned long recordSize, bool deflating, PzipState** out) {
    if (!s) return Z_STREAM_ERROR;
    if (recordSize != sizeof(PzipStream)) return Z_VERSION_ERROR;
    auto* st = new (std::nothrow) PzipState{};
    if (!st) return Z_MEM_ERROR;
    st->deflating = deflating;
    *out = st;
    return Z_OK;
}

int bit_length(unsigned long v) {
    int k = 0;
    while (v) {
        ++k;
        v >>= 1;
    }
    return k;
}

// Moves the codec-owned output into a buffer with room for 1024 << k more bytes plus what the
// compressor still holds back.
int grow_output(PzipStream* s, PzipState* st) {
    unsigned pending = 0;
    int bits = 0;
    deflatePending(&st->z, &pending, &bits);
    unsigned long used = s->out_start ? static_cast<unsigned long>(s->next_out - s->out_start) : 0;
    int k = bit_length(s->total_out / 512);
    if (k > 40) k = 40;
    unsigned long size = (1024UL << k) + pending + (bits ? 1 : 0);
    if (size <= used) size = used + (1024UL << k);
    auto* buf = static_cast<unsigned char*>(std::malloc(size));
    if (!buf) return Z_MEM_ERROR;
    if (used) std::memcpy(buf, s->out_start, used);
    std::free(st->own_out);
    st->own_out = buf;
    s->out_start = buf;
    s->next_out = buf + used;
    s->avail_out = size - used;
    return Z_OK;
}

// Hands the state to the stream once the codec accepted it; a refused one is dropped.
int finish_init(PzipStream* s, PzipState* st, int r) {
    if (r != Z_OK) {
        delete st;
        return r;
    }
    s->state = st;
    pull_counters(s, st->z);
    return Z_OK;
}

} // namespace

int PzipInflateInit(PzipStream* s, long windowBits, char const*, unsigned long recordSize) {
    PzipState* st;
    int r = init_state(s, recordSize, false, &st);
    if (r != Z_OK) return r;
    st->z.next_in = s->next_in;
    st->z.avail_in = slice(s->avail_in);
    r = inflateInit2(&st->z, static_cast<int>(windowBits));
    return finish_init(s, st, r);
}

int PzipInflate(PzipStream* s, long flush) {
    PzipState* st = state_of(s);
    if (!st || st->deflating) return Z_STREAM_ERROR;
    return run(s, st, static_cast<int>(flush), [](z_stream* z, int f) { return inflate(z, f); });
}

int PzipInflateReset(PzipStream* s) {
    PzipState* st = state_of(s);
    if (!st || st->deflating) return Z_STREAM_ERROR;
    int r = inflateReset(&st->z);
    pull_counters(s, st->z);
    return r;
}

int PzipInflateEnd(PzipStream* s) {
    PzipState* st = state_of(s);
    if (!st || st->deflating) return Z_STREAM_ERROR;
    int r = inflateEnd(&st->z);
    delete st;
    s->state = nullptr;
    return r;
}

int PzipDeflateInit(PzipStream* s, long level, long method, long windowBits, long memLevel, int strategy,
                    char const*, unsigned long recordSize) {
    PzipState* st;
    int r = init_state(s, recordSize, true, &st);
    if (r != Z_OK) return r;
    r = deflateInit2(&st->z, static_cast<int>(level), static_cast<int>(method), static_cast<int>(windowBits),
                     static_cast<int>(memLevel), strategy);
    return finish_init(s, st, r);
}

int PzipDeflate(PzipStream* s, int flush) {
    PzipState* st = state_of(s);
    if (!st || !st->deflating) return Z_STREAM_ERROR;
    auto step = [](z_stream* z, int f) { return deflate(z, f); };
    // A caller-supplied buffer is never replaced: only a null or codec-owned one grows.
    bool growable = !s->out_start || s->out_start == st->own_out;
    if (!growable) return run(s, st, flush, step);
    for (;;) {
        if (s->avail_out == 0 && grow_output(s, st) != Z_OK) return Z_MEM_ERROR;
        int r = run(s, st, flush, step);
        if (r == Z_STREAM_END || (r != Z_OK && r != Z_BUF_ERROR) || s->avail_out != 0) return r;
    }
}

int PzipDeflateReset(PzipStream* s) {
    PzipState* st = state_of(s);
    if (!st || !st->deflating) return Z_STREAM_ERROR;
    int r = deflateReset(&st->z);
    pull_counters(s, st->z);
    return r;
}

int PzipDeflateEnd(PzipStream* s) {
    PzipState* st = state_of(s);
    if (!st || !st->deflating) return Z_STREAM_ERROR;
    int r = deflateEnd(&st->z);
    delete st;
    s->state = nullptr;
    return r;
}

unsigned long PzipCrc32(unsigned long crc, unsigned char const* data, unsigned int length) {
    return crc32(crc, data, length);
}

unsigned long PzipAdler32(unsigned long adler, unsigned char const* data, unsigned long length) {
    return adler32_z(adler, data, length);
}

int GuiUnzip(unsigned char* dest, unsigned long* destLen, unsigned char const* src, unsigned long srcLen) {
    if (!destLen || (!src && srcLen)) return Z_STREAM_ERROR;
    constexpr unsigned long kScratch = 8192;
    PzipStream s{};
    s.next_in = src;
    s.avail_in = srcLen;
    unsigned char* scratch = nullptr;
    if (dest) {
        s.out_start = s.next_out = dest;
        s.avail_out = *destLen;
    } else {
        scratch = static_cast<unsigned char*>(std::malloc(kScratch));
        if (!scratch) return Z_MEM_ERROR;
        s.out_start = s.next_out = scratch;
        s.avail_out = kScratch;
    }
    int r = PzipInflateInit(&s, 15, PZIP_VERSION, sizeof s);
    if (r != Z_OK) {
        std::free(scratch);
        return r;
    }
    if (dest) {
        r = PzipInflate(&s, Z_FINISH);
    } else {
        while ((r = PzipInflate(&s, Z_NO_FLUSH)) == Z_OK) {
            s.next_out = scratch;
            s.avail_out = kScratch;
        }
    }
    if (r == Z_STREAM_END) {
        *destLen = s.total_out;
        r = PzipInflateEnd(&s);
    } else {
        if (r == Z_OK) r = Z_BUF_ERROR;
        PzipInflateEnd(&s);
    }
    std::free(scratch);
    return r;
}

int GuiZip(unsigned char** dest, unsigned long* destLen, unsigned char const* src, unsigned long srcLen) {
    if (!dest || !destLen || (!src && srcLen)) return Z_STREAM_ERROR;
    PzipStream s{};
    s.next_in = src;
    s.avail_in = srcLen;
    int r = PzipDeflateInit(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY, PZIP_VERSION,
                            sizeof s);
    if (r != Z_OK) return r;
    r = PzipDeflate(&s, Z_FINISH);
    if (r == Z_STREAM_END) {
        *dest = s.out_start;
        *destLen = s.total_out;
        return PzipDeflateEnd(&s);
    }
    if (r == Z_OK) r = Z_BUF_ERROR;
    PzipDeflateEnd(&s);
    std::free(s.out_start); // the codec's buffer: nobody else holds it
    return r;
}
