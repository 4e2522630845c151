#include "services/cipher/pbkdf2.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

namespace {

using pyref::bytes;
using pyref::hex;

std::string derive(const std::string& password, const bytes& salt, uint32_t iterations, size_t len) {
    bytes out(len);
    EXPECT_EQ(pbkdf2(password.c_str(), salt.data(), salt.size(), iterations, out.data(), out.size()), 0);
    return hex(out);
}
bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}

// RFC 6070 vectors with salts of at most 16 bytes. The 2^24-iteration one is left out for time; the
// one with a NUL inside the password does not apply to a zero-terminated password. Salts beyond 16
// bytes are cut.
TEST(Pbkdf2, Rfc6070VectorsAndSaltCut) {
    EXPECT_EQ(derive("password", text("salt"), 1, 20), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
    EXPECT_EQ(derive("password", text("salt"), 2, 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
    EXPECT_EQ(derive("password", text("salt"), 4096, 20), "4b007901b765489abead49d926f721d065a429c1");
    const std::string salt = "saltSALTsaltSALTsaltSALTsaltSALTsalt";
    EXPECT_EQ(derive("passwordPASSWORDpassword", text(salt), 100, 25),
              derive("passwordPASSWORDpassword", text(salt.substr(0, 16)), 100, 25));
}

// Random passwords (printable, up to 80 bytes: keys beyond the 64-byte block are hashed first),
// salts up to 16 bytes and output lengths across block boundaries, against hashlib.
TEST(Pbkdf2, RandomInputsMatchHashlib) {
    std::mt19937 rng(4711);
    std::vector<std::vector<bytes>> cases;
    for (int i = 0; i < 40; ++i) {
        bytes password(i < 5 ? static_cast<size_t>(60 + i) : rng() % 81);
        for (auto& c : password)
            c = static_cast<uint8_t>(' ' + rng() % 95);
        const bytes salt = pyref::random_bytes(rng, rng() % 17);
        cases.push_back({password, salt, {0, uint8_t(1 + rng() % 60)}, {uint8_t(1 + rng() % 70)}});
    }
    // the archive's shape: 16-character password, 8-byte salt, 1000 iterations, 34 bytes
    cases.push_back({bytes(16, 'K'), bytes{1, 2, 3, 4, 5, 6, 7, 8}, {0x03, 0xE8}, {34}});
    const auto ref = pyref::map(
        "def f(p, s, c, n): return hashlib.pbkdf2_hmac('sha1', p, s, int.from_bytes(c, 'big'), n[0]).hex()",
        cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(derive(std::string(c[0].begin(), c[0].end()), c[1], c[2][0] << 8 | c[2][1], c[3][0]),
                  ref[i])
            << "password length " << c[0].size() << ", salt " << c[1].size();
    }
}

TEST(Pbkdf2, InvalidArgumentsFailWithoutWriting) {
    const uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bytes out(20, 0xAA);
    EXPECT_EQ(pbkdf2(nullptr, salt, 8, 1, out.data(), out.size()), -1);
    EXPECT_EQ(pbkdf2("pw", nullptr, 8, 1, out.data(), out.size()), -1);
    EXPECT_EQ(pbkdf2("pw", salt, 8, 0, out.data(), out.size()), -1);
    EXPECT_EQ(pbkdf2("pw", salt, 8, 1, nullptr, 20), -1);
    EXPECT_EQ(out, bytes(20, 0xAA));
    EXPECT_EQ(pbkdf2("pw", nullptr, 0, 1, out.data(), out.size()), 0); // empty salt is valid
    EXPECT_NE(out, bytes(20, 0xAA));
}

} // namespace
