#include "services/cipher/pbkdf2.h"

#include <cstring>

#include "services/bytes/bytes.h"
#include "services/cipher/sha1.h"
#include "services/syslog/syslog.h"

namespace {

// HMAC with the two padded-key blocks hashed once, so each iteration costs two compressions.
struct hmac_state {
    SHA1_CTX inner;
    SHA1_CTX outer;
};

void hmac_prepare(hmac_state* h, const char* password) {
    uint8_t k[SHA1_BLOCK_SIZE] = {};
    const size_t keyLen = std::strlen(password);
    if (keyLen > SHA1_BLOCK_SIZE)
        SHA1(k, password, keyLen);
    else
        std::memcpy(k, password, keyLen);
    uint8_t pad[SHA1_BLOCK_SIZE];
    for (int i = 0; i < SHA1_BLOCK_SIZE; ++i)
        pad[i] = k[i] ^ 0x36;
    SHA1Init(&h->inner);
    SHA1Update(&h->inner, pad, sizeof(pad));
    for (int i = 0; i < SHA1_BLOCK_SIZE; ++i)
        pad[i] = k[i] ^ 0x5c;
    SHA1Init(&h->outer);
    SHA1Update(&h->outer, pad, sizeof(pad));
    std::memset(k, 0, sizeof(k));
    std::memset(pad, 0, sizeof(pad));
}

void hmac(const hmac_state* h, const uint8_t* data, size_t len, uint8_t mac[SHA1_DIGEST_SIZE]) {
    SHA1_CTX ctx = h->inner;
    SHA1Update(&ctx, data, len);
    SHA1Final(mac, &ctx);
    ctx = h->outer;
    SHA1Update(&ctx, mac, SHA1_DIGEST_SIZE);
    SHA1Final(mac, &ctx);
}

} // namespace

int pbkdf2(const char* password, const uint8_t* salt, size_t saltLen, uint32_t iterations, uint8_t* out,
           size_t outLen) {
    if (!password || !out || (!salt && saltLen) || iterations == 0) {
        SYSLOGX_GUARDED(LOG_ERR, "pbkdf2: invalid argument");
        return -1;
    }
    if (saltLen > PBKDF2_MAX_SALT) saltLen = PBKDF2_MAX_SALT;

    hmac_state h;
    hmac_prepare(&h, password);
    uint8_t msg[PBKDF2_MAX_SALT + 4];
    if (saltLen) std::memcpy(msg, salt, saltLen);

    uint8_t u[SHA1_DIGEST_SIZE], t[SHA1_DIGEST_SIZE];
    for (uint32_t block = 1; outLen; ++block) {
        bytes::put_be32(msg + saltLen, block);
        hmac(&h, msg, saltLen + 4, u);
        std::memcpy(t, u, sizeof(t));
        for (uint32_t j = 1; j < iterations; ++j) {
            hmac(&h, u, sizeof(u), u);
            for (int i = 0; i < SHA1_DIGEST_SIZE; ++i)
                t[i] ^= u[i];
        }
        const size_t n = outLen < sizeof(t) ? outLen : sizeof(t);
        std::memcpy(out, t, n);
        out += n;
        outLen -= n;
    }
    std::memset(&h, 0, sizeof(h));
    std::memset(u, 0, sizeof(u));
    std::memset(t, 0, sizeof(t));
    return 0;
}
