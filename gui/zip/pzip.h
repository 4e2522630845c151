// The toolkit's deflate/inflate codec over zlib.
//
// The toolkit's deflate/inflate codec (zlib streams, RFC 1950/1951) on top of zlib, and the
// one-shot wrappers GuiUnzip and GuiZip. Results are zlib's codes.
#pragma once

#include <cstddef>

constexpr int PZIP_OK = 0;
constexpr int PZIP_STREAM_END = 1;
constexpr int PZIP_STREAM_ERROR = -2;
constexpr int PZIP_DATA_ERROR = -3;
constexpr int PZIP_MEM_ERROR = -4;
constexpr int PZIP_BUF_ERROR = -5;
constexpr int PZIP_VERSION_ERROR = -6; // record size mismatch

constexpr int PZIP_NO_FLUSH = 0;
constexpr int PZIP_FINISH = 4;

extern const char PZIP_VERSION[];

// Stream record. out_start is the toolkit's addition: while it is null at the first deflate
// call, the codec owns the output buffer and grows it (see PzipDeflate).
struct PzipStream {
    const unsigned char* next_in;
    unsigned long avail_in;
    unsigned long total_in;
    unsigned char* out_start;
    unsigned char* next_out;
    unsigned long avail_out;
    unsigned long total_out;
    void* state; // the codec's own
    unsigned long adler;
    unsigned long data_type;
    unsigned long reserved;
};

int PzipInflateInit(PzipStream* s, long windowBits, char const* version, unsigned long recordSize);
int PzipInflate(PzipStream* s, long flush);
int PzipInflateReset(PzipStream* s);
int PzipInflateEnd(PzipStream* s);

int PzipDeflateInit(PzipStream* s, long level, long method, long windowBits, long memLevel, int strategy,
                    char const* version, unsigned long recordSize);
// With a codec-owned output buffer, output that does not fit makes the codec move everything
// produced so far into a larger malloc'ed buffer (out_start, next_out and avail_out follow).
// When that allocation fails, what fits is kept and -4 is returned.
int PzipDeflate(PzipStream* s, int flush);
int PzipDeflateReset(PzipStream* s);
// Does not free a codec-owned output buffer: out_start is handed to the caller.
int PzipDeflateEnd(PzipStream* s);

unsigned long PzipCrc32(unsigned long crc, unsigned char const* data, unsigned int length);
unsigned long PzipAdler32(unsigned long adler, unsigned char const* data, unsigned long length);

// Inflates the zlib stream src. With dest: *destLen is its capacity on entry and the number of
// bytes produced on success. With dest null: only *destLen is set, to the inflated size.
// 0 on success, else the codec's code; *destLen is unchanged on failure.
int GuiUnzip(unsigned char* dest, unsigned long* destLen, unsigned char const* src, unsigned long srcLen);

// Compresses src into a new buffer (free it with free()). 0 with *dest and *destLen set; else
// the codec's code, with nothing allocated and *dest, *destLen unchanged.
int GuiZip(unsigned char** dest, unsigned long* destLen, unsigned char const* src, unsigned long srcLen);
