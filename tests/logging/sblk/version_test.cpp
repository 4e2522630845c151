// Version information between units: the 0x0F01 reply this unit builds (checked against
// Python's struct packing of the command header) and the table of the replies it receives.
#include "logging/sblk/sblk.h"

#include "services/rtpman/rtpman.h"
#include "calibration/memory/seram.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "support/cimsg.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstring>

namespace {

struct Version : testsupport::SteppedTest {
    void SetUp() override { SteppedTest::SetUp(), seram_reset(), sblk_reset(); }
    void TearDown() override { rtpman_reset(); }
    static void setPid(uint8_t pid) {
        platform::Settings s;
        s.pid = pid;
        platform::setSettings(s), kmgr::installAppManager(), RtpManUsr_setIndex(0);
        ASSERT_EQ(AppMan_init(), 1);
    }
    // Context words of the request are not echoed.
    static pyref::bytes request(uint16_t from) { return cimsg::message(0x0F00, from, 42, 0x12000000, 0); }
    // The reply of a unit with the given PID to a request from `from`, in hexadecimal.
    static std::string reply(uint8_t pid, uint16_t from) {
        setPid(pid);
        const pyref::bytes req = request(from);
        pyref::bytes out(CI_VERSION_REPLY_SIZE + 8, 0xEE);
        return pyref::hex(out.data(),
                          ci_get_version_info_req(req.data(), req.size(), out.data(), out.size()));
    }
    static pyref::bytes text(const std::string& s) { return pyref::bytes(s.begin(), s.end()); }
};

const char* const PACK = "import struct\ndef f(own, dest, txt): return (struct.pack('>HHHHIIHH', 0, 32, "
                         "int(own), int(dest), 0, 0, 0x0F01, 0) + txt.ljust(32, b'\\0')[:32]).hex()\n";

TEST_F(Version, ReplyCarriesLocationPrefixAndEpk) {
    const std::string epk(seramGetEPKPtr(), strnlen(seramGetEPKPtr(), SERAM_EPK_SIZE));
    const std::string rl = reply(42, 0x0105), none = reply(37, 7);
    std::memset(seram_memory + SERAM_EPK_OFFSET, 'E', SERAM_EPK_SIZE); // 32 characters, no end
    const auto expected = pyref::map(PACK, {{text("42"), text(std::to_string(0x0105)), text("RL " + epk)},
                                            {text("37"), text("7"), text(epk)},
                                            {text("47"), text("3"), text("GB " + std::string(32, 'E'))}});
    EXPECT_EQ((std::vector{rl, none, reply(47, 3)}), expected);
}

// Sent as a unit with PID `from` sends it: a header and the version text.
void send(uint16_t from, std::string txt, uint8_t payload = CI_VERSION_TEXT, size_t size = 52) {
    txt.resize(CI_VERSION_TEXT);
    pyref::bytes m = cimsg::message(0x0F01, from, 0, 0, 0, pyref::bytes(txt.begin(), txt.end()));
    m[3] = payload;
    ci_get_version_info_reply(m.data(), size);
}

// The table as (pid, text) rows, in order.
std::vector<std::pair<int, std::string>> table() {
    std::vector<std::pair<int, std::string>> rows;
    uint16_t pid = 0;
    char txt[CI_VERSION_TEXT + 1];
    for (int i = 0; sblk_getVersionInfo(i, &pid, txt); ++i)
        rows.emplace_back(pid, txt);
    return rows;
}

TEST_F(Version, RepliesAreKeptSortedByPidUntilFullAndMalformedOnesRefused) {
    std::vector<std::pair<int, std::string>> want;
    for (uint16_t pid : {30, 10, 36, 20, 6, 11, 16, 21, 26, 31}) // ten: full
        send(pid, "unit " + std::to_string(pid)), want.emplace_back(pid, "unit " + std::to_string(pid));
    send(2, "late"); // full: a new PID is not taken, a known one is still updated
    send(20, "unit 20 new");
    want[3].second = "unit 20 new";
    std::sort(want.begin(), want.end());
    EXPECT_EQ(table(), want);

    setPid(40);
    const pyref::bytes req = request(5);
    uint8_t out[CI_VERSION_REPLY_SIZE];
    // A short request, a short output buffer, no request; a reply of the wrong payload or too short.
    EXPECT_EQ(ci_get_version_info_req(req.data(), CI_HEADER_SIZE - 1, out, sizeof out) +
                  ci_get_version_info_req(req.data(), req.size(), out, sizeof out - 1) +
                  ci_get_version_info_req(nullptr, 0, out, sizeof out),
              0u);
    send(10, "abc", 8);
    send(10, "abc", CI_VERSION_TEXT, CI_HEADER_SIZE + 4);
    EXPECT_EQ(table(), want);
    EXPECT_TRUE(logged("ci_get_version_info_reply: version reply too short"));
}

TEST_F(Version, AVersionTextOfAll32BytesIsKeptWhole) {
    send(9, std::string(32, 'V'));
    EXPECT_EQ(table(), (std::vector<std::pair<int, std::string>>{{9, std::string(32, 'V')}}));
}

} // namespace
