// The encrypted channel archive: a ZIP entry with the AES extra field (AE-x, AES-128), deflated.
#include "calibration/virtchan/virtchan.h"

#include "calibration/block/block.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "services/bytes/bytes.h"
#include "services/cipher/aes.h"
#include "services/cipher/pbkdf2.h"
#include "services/cipher/sha1.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"

#include <cstdlib>
#include <cstring>
#include <zlib.h>

namespace {

constexpr uint32_t LOCAL_HEADER = 0x04034B50;
constexpr uint16_t AES_EXTRA_ID = 0x9901;
constexpr uint16_t AES_VENDOR = 0x4541;      // "AE"
constexpr uint16_t VERSION_7ZIP = 51;        // what 7-Zip writes for AES entries
constexpr uint32_t ENCRYPTION_OVERHEAD = 20; // salt 8, verifier 2, authentication code 10
constexpr uint16_t ENTRY_NAME_MAX = 1024;
constexpr uint32_t PLAIN_MAX = 64u << 20; // a channel list is far smaller
constexpr size_t CHUNK = 16384;
constexpr char PASSWORD_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
// Key material of the password; an archive written for this unit is made with the same.
constexpr uint8_t PASSWORD_KEY[16] = {0x4B, 0x56, 0x58, 0x32, 0x9E, 0x31, 0x07, 0xC4,
                                      0x5A, 0xD2, 0x68, 0x1F, 0xB3, 0x76, 0xE0, 0x2D};

bool read16(FILE* f, uint16_t* v) {
    uint8_t b[2];
    if (std::fread(b, 1, 2, f) != 2) return false;
    *v = bytes::get_le16(b);
    return true;
}

bool read32(FILE* f, uint32_t* v) {
    uint8_t b[4];
    if (std::fread(b, 1, 4, f) != 4) return false;
    *v = bytes::get_le32(b);
    return true;
}

// Bytes left in the file from the current position.
long remaining(FILE* f) {
    const long at = std::ftell(f);
    if (at < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(f);
    return std::fseek(f, at, SEEK_SET) == 0 && end >= at ? end - at : -1;
}

// The zip format's counter: a block of zeros counted up little-endian before each block.
void decrypt(const uint8_t key[16], uint8_t* data, size_t len) {
    AES_ctx ctx;
    AES_init_ctx(&ctx, key);
    uint8_t counter[AES_BLOCKLEN] = {};
    for (size_t off = 0; off < len; off += AES_BLOCKLEN) {
        for (int i = 0; i < AES_BLOCKLEN && ++counter[i] == 0; ++i) {
        }
        uint8_t pad[AES_BLOCKLEN];
        std::memcpy(pad, counter, sizeof pad);
        AES_ECB_encrypt(&ctx, pad);
        const size_t n = len - off < AES_BLOCKLEN ? len - off : AES_BLOCKLEN;
        for (size_t i = 0; i < n; ++i)
            data[off + i] ^= pad[i];
    }
}

// Raw deflate into exactly `size` bytes; the stream must end there.
bool inflateAll(const uint8_t* in, size_t inLen, uint8_t* out, uint32_t size) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        syslogx(LOG_ERR, "unzip_decr(): zlib init failure");
        return false;
    }
    int r = Z_OK;
    size_t fed = 0;
    z.next_out = out;
    z.avail_out = size;
    while (r == Z_OK) {
        if (z.avail_in == 0 && fed < inLen) {
            const size_t n = inLen - fed < CHUNK ? inLen - fed : CHUNK;
            z.next_in = const_cast<uint8_t*>(in + fed);
            z.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        r = inflate(&z, Z_NO_FLUSH);
        if (r == Z_BUF_ERROR && z.avail_out > 0 && z.avail_in == 0 && fed == inLen) break; // input used up
        if (r == Z_BUF_ERROR && z.avail_out == 0) break; // more than declared
    }
    const bool whole = r == Z_STREAM_END && z.total_out == size;
    inflateEnd(&z);
    if (!whole) syslogx(LOG_ERR, "unzip_decr(): zlib failure");
    return whole;
}

} // namespace

void unzip_pwd_for(const char* epk, char* buffer, size_t length) {
    uint8_t digest[SHA1_DIGEST_SIZE];
    hmac_sha1(PASSWORD_KEY, sizeof PASSWORD_KEY, epk, strnlen(epk, SERAM_EPK_SIZE), digest);
    for (size_t i = 0; i < length && i < 16; ++i)
        buffer[i] = PASSWORD_ALPHABET[digest[i] & 63];
}

void get_unzip_pwd(char* buffer, size_t length) {
    unzip_pwd_for(seramGetEPKPtr(), buffer, length);
}

int unzip_decr_file(FILE* f, const char* shown, char** buffer, uint32_t* length) {
    const uint64_t started = time_get_time_ms();
    uint32_t signature, crc, compressed, plain;
    uint16_t version, flags, method, mtime, mdate, nameLen, extraLen;
    auto header = [&] {
        syslogx(LOG_ERR, "unzip_decr(): unexpect header of zip file");
        return -1;
    };
    if (!read32(f, &signature)) return header();
    if (signature != LOCAL_HEADER) {
        syslogx(LOG_ERR, "unzip_decr(): wrong local header 0x%08X", signature);
        return -1;
    }
    if (!read16(f, &version)) return header();
    if (version >= 21 && version != VERSION_7ZIP) {
        syslogx(LOG_ERR, "unzip_decr(): too high version needed to extract %d", version);
        return -1;
    }
    if (!read16(f, &flags) || !read16(f, &method) || !read16(f, &mtime) || !read16(f, &mdate) ||
        !read32(f, &crc) || !read32(f, &compressed) || !read32(f, &plain) || !read16(f, &nameLen) ||
        !read16(f, &extraLen))
        return header();
    // The AES field alone is 11 bytes; a name longer than any the tools write is no channel list.
    if (nameLen > ENTRY_NAME_MAX || extraLen < 11 || compressed < ENCRYPTION_OVERHEAD || plain > PLAIN_MAX)
        return header();
    char name[ENTRY_NAME_MAX];
    if (std::fread(name, 1, nameLen, f) != nameLen) return header();
    uint16_t extraId, dataSize, vendorVersion, vendorId, actualMethod;
    uint8_t strength;
    if (!read16(f, &extraId) || !read16(f, &dataSize) || !read16(f, &vendorVersion) || !read16(f, &vendorId))
        return header();
    if (extraId != AES_EXTRA_ID || vendorId != AES_VENDOR) {
        syslogx(LOG_ERR, "unzip_decr(): wrong extra field header 0x%04X",
                extraId != AES_EXTRA_ID ? extraId : vendorId);
        return -1;
    }
    if (std::fread(&strength, 1, 1, f) != 1 || !read16(f, &actualMethod)) return header();
    if (strength != 1) {
        syslogx(LOG_ERR, "unzip_decr(): wrong AES encryption depth %d", strength);
        return -1;
    }
    if (actualMethod != 8) {
        syslogx(LOG_ERR, "unzip_decr(): compression algo %d", actualMethod);
        return -1;
    }
    if (std::fseek(f, extraLen - 11, SEEK_CUR) != 0) return header();

    uint8_t salt[8], verifier[2], code[10];
    if (std::fread(salt, 1, sizeof salt, f) != sizeof salt) return header();
    char password[17] = {};
    get_unzip_pwd(password, 16);
    uint8_t keys[34];
    pbkdf2(password, salt, sizeof salt, 1000, keys, sizeof keys);

    const bool verifierRead = std::fread(verifier, 1, sizeof verifier, f) == sizeof verifier;
    const uint32_t dataLen = compressed - ENCRYPTION_OVERHEAD;
    const long left = remaining(f);
    if (left < 0 || static_cast<uint64_t>(left) < dataLen) {
        syslogx(LOG_ERR, "unzip_decr(): data read error compressed size %d", static_cast<int>(dataLen));
        return -1;
    }
    auto* data = static_cast<uint8_t*>(std::malloc(dataLen + 16));
    if (!data) {
        syslogx(LOG_ERR, "unzip_decr(): out of memory, compressed size %d", static_cast<int>(dataLen));
        return -1;
    }
    if (std::fread(data, 1, dataLen, f) != dataLen) {
        syslogx(LOG_ERR, "unzip_decr(): data read error compressed size %d", static_cast<int>(dataLen));
        std::free(data);
        return -1;
    }
    if (!verifierRead) {
        syslogx(LOG_ERR, "unzip_decr(): unexpected shit in zip file");
        std::free(data);
        return -1;
    }
    if (std::fread(code, 1, sizeof code, f) != sizeof code) {
        syslogx(LOG_ERR, "unzip_decr(): auth code read error");
        std::free(data);
        return -1;
    }
    uint8_t mac[SHA1_DIGEST_SIZE];
    hmac_sha1(keys + 16, 16, data, dataLen, mac);
    if (std::memcmp(mac, code, sizeof code) != 0) {
        syslogx(LOG_ERR, "unzip_decr(): auth_code incorrect");
        std::free(data);
        return -1;
    }
    decrypt(keys, data, dataLen);
    auto* out = static_cast<uint8_t*>(std::calloc(plain + 1, 1));
    if (!out) {
        syslogx(LOG_ERR, "unzip_decr(): out of memory, compressed size %d", static_cast<int>(dataLen));
        std::free(data);
        return -1;
    }
    const bool ok = inflateAll(data, dataLen, out, plain);
    std::free(data);
    if (!ok) {
        std::free(out);
        return -1;
    }
    *buffer = reinterpret_cast<char*>(out);
    *length = plain;
    syslogx(LOG_INFO,
            "unzip_decr(): sucessfully decrypted and unzipped %s, %d bytes (%d compressed) in %d ms", shown,
            static_cast<int>(plain), static_cast<int>(dataLen),
            static_cast<int>(time_get_time_ms() - started));
    return 0;
}

int unzip_decr(const char* path, int, char** buffer, uint32_t* length) {
    FILE* f = osFopen(path, "rb");
    if (!f) {
        syslogx(LOG_ERR, "unzip_decr(): file not found : %s", path);
        return -1;
    }
    const int r = unzip_decr_file(f, path, buffer, length);
    std::fclose(f);
    return r;
}
