// The dataset file that PC tools exchange: a 256-byte head (CRC-32 register over its bytes 4
// to 255, magic "ARES", version, one "MASD" descriptor with size and data CRC, 0x40 filler,
// the EPK) followed by the data; or a raw image that begins with the start marker.
#include "calibration/memory/seram_private.h"

#include "platform/os/osfs.h"
#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using bytes::get_le16;
using bytes::get_le32;
using bytes::put_le32;

constexpr uint32_t HEAD = SERAM_FILE_HEAD_SIZE;
constexpr uint32_t EPK_FIELD = 128;
constexpr uint8_t FILLER = 0x40;
constexpr size_t MARKER_LEN = sizeof SERAM_START_MARKER - 1;

enum : uint32_t {
    H_CRC = 0,
    H_MAGIC = 4,
    H_VERSION = 8,
    H_ENTRIES = 12,
    H_OFFSET = 16,
    H_SIZE = 20,
    H_TYPE = 24,
    H_DATA_CRC = 28
};

// CRC-32 register from all ones, without the final inversion.
uint32_t crc32Register(const void* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    crc32_update(p, n, &crc);
    return crc;
}

struct File {
    FILE* f;
    ~File() {
        if (f) std::fclose(f);
    }
};

struct Buffer {
    uint8_t* p;
    ~Buffer() { std::free(p); }
};

} // namespace

int seram_StoreToFile(const char* path, const void* data, uint32_t size) {
    if (!path) {
        syslogx(LOG_ERR, "seram_StoreToFile: NULL file path pointer");
        return -1;
    }
    if (size > SERAM_PAGE_SIZE) {
        syslogx(LOG_CRIT, "seram_StoreToFile: Buffer (%u bytes) bigger than the DataPage (%u bytes)!", size,
                SERAM_PAGE_SIZE);
        return -1;
    }
    uint8_t head[HEAD];
    std::memset(head, FILLER, sizeof head);
    put_le32(head + H_MAGIC, SERAM_FILE_MAGIC);
    put_le32(head + H_VERSION, SERAM_FILE_VERSION);
    put_le32(head + H_ENTRIES, 1);
    put_le32(head + H_OFFSET, HEAD);
    put_le32(head + H_SIZE, size);
    put_le32(head + H_TYPE, SERAM_FILE_BLOCK_TYPE);
    put_le32(head + H_DATA_CRC, crc32Register(data, size));
    // The EPK field holds at most 32 characters, far below the head's 127.
    const char* epk = seramGetEPKPtr();
    const size_t n = strnlen(epk, SERAM_EPK_SIZE);
    std::memcpy(head + EPK_FIELD, epk, n);
    head[EPK_FIELD + n] = 0;
    head[HEAD - 1] = 0;
    put_le32(head + H_CRC, crc32Register(head + 4, HEAD - 4));

    File file{osFopen(path, "wb")};
    if (!file.f) {
        syslogx(LOG_ERR, "seram_StoreToFile: fopen() failed on %s", path);
        return -1;
    }
    int result = 0;
    size_t w = std::fwrite(head, 1, HEAD, file.f);
    if (w != HEAD) {
        syslogx(LOG_WARN, "seram_StoreToFile: fwrite() Head size mismatch! writen=0x%x expected=0x%x",
                static_cast<unsigned>(w), HEAD);
        result = -1;
    }
    w = size ? std::fwrite(data, 1, size, file.f) : 0;
    if (w != size) {
        syslogx(LOG_WARN, "seram_StoreToFile: fwrite() Data size mismatch! writen=0x%x expected=0x%x",
                static_cast<unsigned>(w), size);
        result = -1;
    }
    FILE* f = file.f;
    file.f = nullptr;
    if (std::fclose(f) != 0) result = -1; // data that did not reach the file
    return result;
}

int seram_LoadFromFile(const char* path, void* buffer, uint32_t size, uint8_t* raw) {
    if (!path) {
        syslogx(LOG_ERR, "seram_LoadFromFile: NULL file path pointer");
        return -1;
    }
    if (size > SERAM_PAGE_SIZE) {
        syslogx(LOG_CRIT, "seram_LoadFromFile: Buffer (%u bytes) bigger than the DataPage (%u bytes)!", size,
                SERAM_PAGE_SIZE);
        return -1;
    }
    File file{osFopen(path, "r")};
    if (!file.f) {
        syslogx(LOG_ERR, "seram_LoadFromFile: fopen() failed on %s", path);
        return -1;
    }
    // The caller's buffer only changes once the whole file has proved good.
    Buffer data{static_cast<uint8_t*>(std::malloc(size ? size : 1))};
    if (!data.p) return -1;
    uint8_t head[HEAD];
    size_t r = std::fread(head, 1, HEAD, file.f);
    if (r != HEAD) {
        syslogx(LOG_WARN, "seram_LoadFromFile: fread() Head size mismatch! read=0x%x expected=0x%x",
                static_cast<unsigned>(r), HEAD);
        return -1;
    }
    auto readData = [&]() {
        r = std::fread(data.p, 1, size, file.f);
        if (r == size) return true;
        syslogx(LOG_WARN, "seram_LoadFromFile: fread() Data size mismatch! read=0x%x expected=0x%x",
                static_cast<unsigned>(r), size);
        return false;
    };
    if (std::memcmp(head, SERAM_START_MARKER, MARKER_LEN) == 0) {
        syslogx(LOG_INFO, "seram_LoadFromFile: dummy marker found; ignore header checks and refresh RP");
        if (std::fseek(file.f, 0, SEEK_SET) != 0 || !readData()) return -1;
        std::memcpy(buffer, data.p, size);
        if (raw) *raw = 1;
        return 0;
    }
    const uint32_t headCrc = crc32Register(head + 4, HEAD - 4);
    if (headCrc != get_le32(head + H_CRC)) {
        syslogx(LOG_WARN, "seram_LoadFromFile: fread() Head CRC32 invalid! computed=0x%x expected=0x%x",
                headCrc, get_le32(head + H_CRC));
        return -1;
    }
    if (get_le32(head + H_MAGIC) != SERAM_FILE_MAGIC) {
        syslogx(LOG_WARN,
                "seram_LoadFromFile: fread() Head MAGIC invalid! read=0x%x expected=0x%x - This is not a "
                "SERAM file",
                get_le32(head + H_MAGIC), SERAM_FILE_MAGIC);
        return -1;
    }
    if (get_le32(head + H_VERSION) != SERAM_FILE_VERSION) {
        syslogx(LOG_WARN, "seram_LoadFromFile: fread() Head VERSION invalid! read=0x%x expected=0x%x",
                get_le32(head + H_VERSION), SERAM_FILE_VERSION);
        return -1;
    }
    if (get_le32(head + H_ENTRIES) != 1) {
        syslogx(LOG_CRIT, "seram_LoadFromFile: Only on entry allowed yet, decriptor says %u",
                get_le32(head + H_ENTRIES));
        return -1;
    }
    if (get_le32(head + H_TYPE) != SERAM_FILE_BLOCK_TYPE) {
        syslogx(
            LOG_WARN,
            "seram_LoadFromFile: fread() Block TYPE invalid! read=0x%x expected=0x%x - This is not a DATASET",
            get_le32(head + H_TYPE), SERAM_FILE_BLOCK_TYPE);
        return -1;
    }
    if (get_le32(head + H_SIZE) != size) {
        syslogx(LOG_WARN, "seram_LoadFromFile: Descriptor: Data size mismatch! Descriptor=0x%x expected=0x%x",
                get_le32(head + H_SIZE), size);
        return -1;
    }
    const uint32_t offset = get_le32(head + H_OFFSET);
    if (offset > 0x7FFFFFFF || std::fseek(file.f, static_cast<long>(offset), SEEK_SET) != 0) {
        syslogx(LOG_WARN, "seram_LoadFromFile: fseek() fails to reach position 0x%x", offset);
        return -1;
    }
    if (!readData()) return -1;
    const uint32_t dataCrc = crc32Register(data.p, size);
    if (dataCrc != get_le32(head + H_DATA_CRC)) {
        syslogx(LOG_ERR, "seram_LoadFromFile: Descriptor CRC mismatch: Descriptor=0x%x data=0x%x",
                get_le32(head + H_DATA_CRC), dataCrc);
        return -1;
    }
    std::memcpy(buffer, data.p, size);
    return 0;
}

int seram_CheckDataValidity(const void* buffer, uint32_t bufferSize, uint32_t dataSize) {
    if (!buffer) {
        syslogx(LOG_ERR, "seram_CheckDataValidity: pBuffer is NULL");
        return -1;
    }
    if (static_cast<uint64_t>(dataSize) + 4 != bufferSize) {
        syslogx(LOG_ERR, "seram_CheckDataValidity: BufferSize and DataSize inconsistent");
        return -2;
    }
    if (dataSize != SERAM_DATASET_SIZE) {
        syslogx(LOG_ERR, "seram_CheckDataValidity: Datasize shall be %u, not %u", SERAM_DATASET_SIZE,
                dataSize);
        return -2;
    }
    const auto* p = static_cast<const uint8_t*>(buffer);
    const char* image = seramGetEPKPtr();
    const auto* found = reinterpret_cast<const char*>(p + SERAM_EPK_OFFSET);
    if (!seramSameEpk(image, found)) {
        syslogx(LOG_ERR, "seram_CheckDataValidity: EPK does not match, expected: '%.32s' found: '%.32s'",
                image, found);
        return -3;
    }
    const uint16_t computed = crc16_ibm_accu(p, dataSize, 0);
    const uint16_t stored = get_le16(p + dataSize);
    if (computed != stored) {
        syslogx(LOG_ERR, "seram_CheckDataValidity: Data corrupted (Wrong CRC) read 0x%04x, expect 0x%04x",
                stored, computed);
        return -4;
    }
    return 0;
}
