// Run-length screen dumps: compress, write, read, check and draw.
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "platform/os/osfs.h"
#include "services/bytes/bytes.h"
#include "services/fileutil/fileutil.h"
#include "services/syslog/syslog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t AREA = static_cast<uint32_t>(SCRNDRV_APP_WIDTH) * SCRNDRV_APP_HEIGHT;
constexpr uint32_t MAX_RUN = 65535;
constexpr unsigned MAX_INDEX_BITS = 24;

using bytes::get_le16;
using bytes::get_le32;
using bytes::put_le16;
using bytes::put_le32;

// Arrays go through a small buffer in file byte order, so the host's order does not matter.
bool writeWords(FILE* f, const void* words, uint32_t count, int size) {
    uint8_t buf[4096];
    const auto* src = static_cast<const uint8_t*>(words);
    uint32_t done = 0;
    const uint32_t per = sizeof buf / static_cast<uint32_t>(size);
    bool ok = true;
    while (done < count) {
        const uint32_t n = count - done < per ? count - done : per;
        for (uint32_t i = 0; i < n; ++i) {
            if (size == 4) {
                uint32_t v;
                std::memcpy(&v, src + (static_cast<size_t>(done) + i) * 4, 4);
                put_le32(buf + i * 4, v);
            } else {
                uint16_t v;
                std::memcpy(&v, src + (static_cast<size_t>(done) + i) * 2, 2);
                put_le16(buf + i * 2, v);
            }
        }
        ok = std::fwrite(buf, static_cast<size_t>(size), n, f) == n && ok;
        done += n;
    }
    return ok;
}

bool readWords(FILE* f, void* words, uint32_t count, int size) {
    uint8_t buf[4096];
    auto* dst = static_cast<uint8_t*>(words);
    uint32_t done = 0;
    const uint32_t per = sizeof buf / static_cast<uint32_t>(size);
    while (done < count) {
        const uint32_t n = count - done < per ? count - done : per;
        if (std::fread(buf, static_cast<size_t>(size), n, f) != n) return false;
        for (uint32_t i = 0; i < n; ++i) {
            if (size == 4) {
                const uint32_t v = get_le32(buf + i * 4);
                std::memcpy(dst + (static_cast<size_t>(done) + i) * 4, &v, 4);
            } else {
                const uint16_t v = get_le16(buf + i * 2);
                std::memcpy(dst + (static_cast<size_t>(done) + i) * 2, &v, 2);
            }
        }
        done += n;
    }
    return true;
}

// Index of the run's colour: b bits at run x b, however the data is aligned.
uint32_t indexOf(const uint8_t* data, uint64_t run, unsigned b) {
    if (b == 0) return 0;
    const uint64_t bit = run * b;
    const uint8_t* p = data + bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    const unsigned bytes = (shift + b + 7) / 8; // at most 4 for b <= 24
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return (v >> shift) & ((1u << b) - 1);
}

// Colour -> palette index, by open addressing: the palette search stays linear in the runs.
class ColourTable {
  public:
    explicit ColourTable(uint32_t capacity) {
        uint32_t size = 16;
        while (size < capacity * 2)
            size <<= 1;
        mMask = size - 1;
        mKeys = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(size) * 4));
        mValues = static_cast<uint32_t*>(std::calloc(size, 4)); // 0: empty, else index + 1
    }
    ~ColourTable() {
        std::free(mKeys);
        std::free(mValues);
    }
    ColourTable(const ColourTable&) = delete;
    ColourTable& operator=(const ColourTable&) = delete;
    bool ok() const { return mKeys && mValues; }
    // The colour's index; a new colour gets `next`, and *added is set.
    uint32_t find(uint32_t colour, uint32_t next, bool* added) {
        uint32_t h = (colour * 0x9E3779B1u) & mMask;
        for (;; h = (h + 1) & mMask) {
            if (!mValues[h]) {
                mKeys[h] = colour;
                mValues[h] = next + 1;
                *added = true;
                return next;
            }
            if (mKeys[h] == colour) {
                *added = false;
                return mValues[h] - 1;
            }
        }
    }

  private:
    uint32_t mMask = 0;
    uint32_t* mKeys = nullptr;
    uint32_t* mValues = nullptr;
};

} // namespace

unsigned scrndrvIndexBits(uint32_t npal) {
    unsigned b = 0;
    for (uint32_t top = npal > 0 ? npal - 1 : 0; top; top >>= 1)
        ++b;
    return b;
}

const char* scrndrvCountsProblem(uint32_t npal, uint32_t nrun, uint32_t ndata) {
    if (nrun > 0 && npal == 0) return "runs without a palette";
    const unsigned b = scrndrvIndexBits(npal);
    if (b > MAX_INDEX_BITS) return "more than 2^24 colours";
    if (ndata < (static_cast<uint64_t>(nrun) * b + 7) / 8) return "index data shorter than the runs need";
    return nullptr;
}

uint64_t scrndrvSerialisedSize(uint32_t npal, uint32_t nrun, uint32_t ndata) {
    return 12 + 4 * static_cast<uint64_t>(npal) + 2 * static_cast<uint64_t>(nrun) + ndata;
}

unsigned long scrndrvGetColorIdx(unsigned long bitpos, unsigned long bits, unsigned char* data) {
    unsigned long v = 0;
    for (unsigned long i = 0; i < bits && i < 32; ++i) {
        const unsigned long at = bitpos + i;
        v |= static_cast<unsigned long>((data[at / 8] >> (at % 8)) & 1u) << i;
    }
    return v;
}

int scrndrvDecode(const scrn_dump_t* d, uint32_t* pixels, int stride) {
    if (!d || !pixels) return -1;
    if (scrndrvCountsProblem(d->npal, d->nrun, d->ndata)) return -1;
    if (d->nrun && (!d->runs || (d->ndata && !d->data) || !d->palette)) return -1;
    const unsigned b = scrndrvIndexBits(d->npal);
    const auto* pal = reinterpret_cast<const uint8_t*>(d->palette);
    const auto* runs = reinterpret_cast<const uint8_t*>(d->runs);
    int x = 0, y = 0;
    for (uint32_t i = 0; i < d->nrun && y < SCRNDRV_APP_HEIGHT; ++i) {
        const uint32_t idx = indexOf(d->data, i, b);
        uint32_t colour = 0;
        if (idx < d->npal) std::memcpy(&colour, pal + static_cast<size_t>(idx) * 4, 4);
        colour |= 0xFF000000u;
        uint16_t len;
        std::memcpy(&len, runs + static_cast<size_t>(i) * 2, 2);
        int left = len;
        while (left > 0 && y < SCRNDRV_APP_HEIGHT) {
            const int n = left < SCRNDRV_APP_WIDTH - x ? left : SCRNDRV_APP_WIDTH - x;
            uint32_t* row = pixels + static_cast<size_t>(y) * stride + x;
            for (int k = 0; k < n; ++k)
                row[k] = colour;
            x += n;
            left -= n;
            if (x == SCRNDRV_APP_WIDTH) {
                x = 0;
                ++y;
            }
        }
    }
    return 0;
}

void scrndrvFreeDump(scrn_dump_t* d) {
    if (!d) return;
    std::free(d->palette);
    std::free(d->runs);
    std::free(d->data);
    *d = scrn_dump_t{};
}

// ---- compress ----------------------------------------------------------------------------

int scrndrvDumpImg(const char* file) {
    const uint32_t* fb = scrndrvFrameBuffer();
    if (!fb) return -1;
    auto* colours = static_cast<uint32_t*>(std::malloc(AREA * 4));
    auto* lengths = static_cast<uint16_t*>(std::malloc(AREA * 2));
    if (!colours || !lengths) {
        std::free(colours);
        std::free(lengths);
        syslogx(LOG_ERR, "scrndrvDumpImg(): no memory");
        return -1;
    }
    // Runs go on across row ends; the top byte of a pixel is not part of its colour.
    uint32_t nrun = 0;
    uint32_t current = fb[0] & 0x00FFFFFFu, count = 1;
    for (int y = 0; y < SCRNDRV_APP_HEIGHT; ++y) {
        const uint32_t* row = fb + static_cast<size_t>(y) * SCRNDRV_WIDTH;
        for (int x = y == 0 ? 1 : 0; x < SCRNDRV_APP_WIDTH; ++x) {
            const uint32_t p = row[x] & 0x00FFFFFFu;
            if (p == current) {
                if (++count == MAX_RUN) {
                    colours[nrun] = current;
                    lengths[nrun++] = MAX_RUN;
                    count = 0;
                }
            } else {
                if (count > 0) {
                    colours[nrun] = current;
                    lengths[nrun++] = static_cast<uint16_t>(count);
                }
                current = p;
                count = 1;
            }
        }
    }
    if (count > 0) {
        colours[nrun] = current;
        lengths[nrun++] = static_cast<uint16_t>(count);
    }

    scrn_dump_t d{};
    d.nrun = nrun;
    d.runs = lengths;
    d.palette = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(nrun) * 4));
    ColourTable table(nrun);
    uint32_t* indexes = colours; // each run's colour becomes its index in place
    int rc = -1;
    if (d.palette && table.ok()) {
        for (uint32_t i = 0; i < nrun; ++i) {
            bool added = false;
            const uint32_t idx = table.find(colours[i], d.npal, &added);
            if (added) d.palette[d.npal++] = colours[i];
            indexes[i] = idx;
        }
        const unsigned b = scrndrvIndexBits(d.npal);
        d.ndata = static_cast<uint32_t>((static_cast<uint64_t>(nrun) * b + 7) / 8);
        d.data = static_cast<uint8_t*>(std::calloc(d.ndata ? d.ndata : 1, 1));
        if (d.data) {
            for (uint32_t i = 0; i < nrun && b; ++i) {
                const uint64_t bit = static_cast<uint64_t>(i) * b;
                const uint64_t v = static_cast<uint64_t>(indexes[i]) << (bit % 8);
                for (unsigned k = 0; k < (bit % 8 + b + 7) / 8; ++k)
                    d.data[bit / 8 + k] |= static_cast<uint8_t>(v >> (8 * k));
            }
            syslogx(LOG_DEBUG, "Dumping screen: %u pal, %u run, %u data, %u bits", d.npal, d.nrun, d.ndata,
                    b);
            rc = scrndrvWriteDump(file, &d);
        } else {
            syslogx(LOG_ERR, "scrndrvDumpImg(): no memory");
        }
    } else {
        syslogx(LOG_ERR, "scrndrvDumpImg(): no memory");
    }
    std::free(colours);
    std::free(lengths);
    std::free(d.palette);
    std::free(d.data);
    return rc;
}

// ---- files --------------------------------------------------------------------------------

int scrndrvWriteDump(const char* file, scrn_dump_t* d) {
    if (!file || !d) return -1;
    // Truncated: a shorter dump must not keep the tail of an earlier, longer one.
    const int fd = osOpen(file, O_RDWR | O_CREAT | O_TRUNC, 0777);
    if (fd < 0) {
        syslogx(LOG_ERR, "scrndrvWriteDump(): file write open err, %s", file);
        return -1;
    }
    if (!fexist(file)) {
        syslogx(LOG_ERR, "scrndrvWriteDump(): fd is not valid %X %s", static_cast<unsigned>(fd), file);
        close(fd);
        return -1;
    }
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        const int e = errno;
        syslogx(LOG_ERR, "scrndrvWriteDump(): failed to open %s, errno=%d: '%s'", file, e, std::strerror(e));
        close(fd);
        return -1;
    }
    uint8_t head[12];
    put_le32(head, d->npal);
    put_le32(head + 4, d->nrun);
    put_le32(head + 8, d->ndata);
    bool ok = std::fwrite(head, 1, sizeof head, f) == sizeof head;
    ok = writeWords(f, d->palette, d->palette ? d->npal : 0, 4) && ok && (d->palette || !d->npal);
    ok = writeWords(f, d->runs, d->runs ? d->nrun : 0, 2) && ok && (d->runs || !d->nrun);
    if (d->ndata) ok = d->data && std::fwrite(d->data, 1, d->ndata, f) == d->ndata && ok;
    int rc = 0;
    if (!ok) {
        syslogx(LOG_ERR, "scrndrvWriteDump(): fwrite failed");
        rc = -1;
    }
    if (std::fflush(f) != 0) {
        syslogx(LOG_ERR, "scrndrvWriteDump(): fflush failed");
        rc = -1;
    } else if (osIoctl(fileno(f), OS_FIOFLUSH, 0) != 0) {
        syslogx(LOG_ERR, "scrndrvWriteDump(): FIOFLUSH failed");
        rc = -1;
    }
    if (std::fclose(f) != 0) rc = -1;
    return rc;
}

int scrndrvReadDumpStream(FILE* f, const char* name, scrn_dump_t* d) {
    uint8_t head[12];
    if (std::fread(head, 1, sizeof head, f) != sizeof head) {
        syslogx(LOG_ERR, "scrndrvReadDump(): %s is too short for a dump", name);
        return -1;
    }
    const uint32_t npal = get_le32(head), nrun = get_le32(head + 4), ndata = get_le32(head + 8);
    // The counts are checked against the file before anything is allocated for them.
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size < 0 || std::fseek(f, 12, SEEK_SET) != 0) {
        syslogx(LOG_ERR, "scrndrvReadDump(): cannot find the size of %s", name);
        return -1;
    }
    const char* problem = scrndrvCountsProblem(npal, nrun, ndata);
    if (!problem && scrndrvSerialisedSize(npal, nrun, ndata) > static_cast<uint64_t>(size))
        problem = "counts larger than the file";
    if (problem) {
        syslogx(LOG_ERR, "scrndrvReadDump(): %s is not a dump: %s (%u pal, %u run, %u data)", name, problem,
                npal, nrun, ndata);
        return -1;
    }
    std::free(d->palette);
    std::free(d->runs);
    std::free(d->data);
    d->npal = npal;
    d->nrun = nrun;
    d->ndata = ndata;
    d->palette = static_cast<uint32_t*>(std::malloc(npal ? static_cast<size_t>(npal) * 4 : 1));
    d->runs = static_cast<uint16_t*>(std::malloc(nrun ? static_cast<size_t>(nrun) * 2 : 1));
    d->data = static_cast<uint8_t*>(std::malloc(ndata ? ndata : 1));
    if (!d->palette || !d->runs || !d->data) {
        scrndrvFreeDump(d);
        syslogx(LOG_ERR, "scrndrvReadDump(): no memory for %s", name);
        return -1;
    }
    const bool ok = readWords(f, d->palette, npal, 4) && readWords(f, d->runs, nrun, 2) &&
                    std::fread(d->data, 1, ndata, f) == ndata;
    if (!ok) {
        syslogx(LOG_ERR, "scrndrvReadDump(): read of %s failed", name);
        return -1;
    }
    const unsigned b = scrndrvIndexBits(npal);
    for (uint32_t i = 0; i < nrun; ++i)
        if (indexOf(d->data, i, b) >= npal) {
            syslogx(LOG_ERR, "scrndrvReadDump(): %s is not a dump: run %u has index %u of %u colours", name,
                    i, indexOf(d->data, i, b), npal);
            return -1;
        }
    return 0;
}

int scrndrvReadDump(const char* file, scrn_dump_t* d) {
    if (!d || !file) return -1;
    const int fd = osOpen(file, O_RDONLY, 0444);
    if (fd < 0) {
        syslogx(LOG_ERR, "scrndrvReadDump(): cant open file, %s", file);
        return -1;
    }
    if (!fexist(file)) {
        syslogx(LOG_ERR, "scrndrvReadDump(): file not found %X %s", static_cast<unsigned>(fd), file);
        close(fd);
        return -1;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        const int e = errno;
        syslogx(LOG_ERR, "scrndrvReadDump(): failed to open %s, errno=%d: '%s'", file, e, std::strerror(e));
        close(fd);
        return -1;
    }
    const int rc = scrndrvReadDumpStream(f, file, d);
    std::fclose(f);
    return rc;
}

int scrndrvInitDumpByMem(scrn_dump_t* d, char* start, char* end) {
    if (!d || !start || !end || start > end || end - start < 12) return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(start);
    const uint32_t npal = get_le32(p), nrun = get_le32(p + 4), ndata = get_le32(p + 8);
    if (static_cast<uint64_t>(end - start) < scrndrvSerialisedSize(npal, nrun, ndata)) return 0;
    if (scrndrvCountsProblem(npal, nrun, ndata)) return 0;
    d->npal = npal;
    d->nrun = nrun;
    d->ndata = ndata;
    d->palette = reinterpret_cast<uint32_t*>(start + 12);
    d->runs = reinterpret_cast<uint16_t*>(start + 12 + 4 * static_cast<size_t>(npal));
    d->data = reinterpret_cast<uint8_t*>(start + 12 + 4 * static_cast<size_t>(npal) +
                                         2 * static_cast<size_t>(nrun));
    return 1;
}

// ---- draw ---------------------------------------------------------------------------------

int scrndrvDrawImg(scrn_dump_t* d) {
    scrndrvInit();
    uint32_t* fb = scrndrvFrameBuffer();
    if (!d || !fb || scrndrvDecode(d, fb, SCRNDRV_WIDTH) != 0) {
        const char* problem = d ? scrndrvCountsProblem(d->npal, d->nrun, d->ndata) : "no record";
        syslogx(LOG_ERR, "scrndrvDrawImg(): cannot draw the dump: %s",
                problem ? problem : "no frame buffer or arrays");
        return -1;
    }
    syslogx(LOG_DEBUG, "Loading screen dump: %u pal, %u run, %u data, %u bits", d->npal, d->nrun, d->ndata,
            scrndrvIndexBits(d->npal));
    return scrndrvFlush();
}

void scrndrvLoadImg(const char* file) {
    scrn_dump_t d{};
    if (scrndrvReadDump(file, &d) == 0)
        scrndrvDrawImg(&d);
    else
        syslogx(LOG_ERR, "scrndrvLoadImg(): Failed to read dump file");
    scrndrvFreeDump(&d); // also what a failed read left
}
