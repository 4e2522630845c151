// The channel archive as 7-Zip writes it (made at test time with the password of this image's
// EPK, printed by the project's Python tool), damaged archives, and the channel list.
#include "calibration/block/block.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/virtchan/virtchan.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstdlib>
#include <string>

namespace {

const std::string LIST =
    "<?xml version=\"1.0\"?>\n<ChannelList>\n" + std::string(3000, ' ') + "\n</ChannelList>\n";

struct Archive : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    std::string zip;
    void SetUp() override {
        SteppedTest::SetUp();
        platform::Settings s;
        s.pid = 0x25;
        platform::setSettings(s);
        kmgr::installAppManager();
        ASSERT_EQ(AppMan_init(), 1);
        dir.write("list.xml", LIST);
        const std::string tool = std::string(std::getenv("VYN_SOURCE_DIR")) + "/tools/channels_password.py";
        const auto out = pyref::run("/usr/bin/python3 " + tool + " '" + seramGetEPKPtr() + "'");
        const std::string pw(out.begin(), out.end());
        ASSERT_EQ(pw.size(), 17u);
        char own[17] = {};
        get_unzip_pwd(own, 16);
        ASSERT_EQ(pw, std::string(own) + "\n");
        zip = make(own);
    }
    std::string make(const std::string& password) {
        const std::string out = dir / (password + ".zip");
        pyref::run("cd " + dir.path + " && 7zz a -tzip -mem=AES128 -mm=Deflate -p" + password + " " + out +
                   " list.xml");
        return dir.read(password + ".zip");
    }
    // 0 and the text, or -1.
    std::pair<int, std::string> read(const std::string& bytes) {
        dir.write("a.zip", bytes);
        FILE* f = std::fopen((dir / "a.zip").c_str(), "rb");
        char* text = nullptr;
        uint32_t len = 0;
        const int r = unzip_decr_file(f, "a.zip", &text, &len);
        std::fclose(f);
        std::string t = r == 0 ? std::string(text, len) : "";
        std::free(text);
        return {r, t};
    }
    static std::string with(std::string z, size_t at, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes)
            z[at++] = static_cast<char>(b);
        return z;
    }
};

TEST_F(Archive, SevenZipArchivesReadByteIdenticallyAndDamagedOnesFailCleanly) {
    ASSERT_GT(zip.size(), 60u);
    EXPECT_EQ(read(zip), std::make_pair(0, LIST));
    EXPECT_EQ(read(with(zip, 4, {20, 0})).first, 0); // the versions below 21 too
    const size_t data = 30 + 8 + 11 + 8 + 2;         // header, "list.xml", AES field, salt, verifier
    const uint32_t compressed = static_cast<uint8_t>(zip[18]) | static_cast<uint8_t>(zip[19]) << 8;
    const uint32_t plain = static_cast<uint32_t>(LIST.size());
    const std::pair<std::string, const char*> bad[] = {
        // archive, what is logged
        {with(zip, data + 3, {static_cast<uint8_t>(zip[data + 3] ^ 1)}), "auth_code incorrect"},
        {make("wrongpassword"), "auth_code incorrect"},
        {with(zip, 0, {0x50, 0x4B, 0x01, 0x02}), "wrong local header 0x02014B50"},
        {with(zip, 4, {52, 0}), "too high version needed to extract 52"},
        {with(zip, 38 + 8, {3}), "wrong AES encryption depth 3"},
        {with(zip, 18, {19, 0, 0, 0}), "unexpect header of zip file"}, // below salt, verifier and code
        {with(zip, 28, {10, 0}), "unexpect header of zip file"},       // AES field cut short
        {with(zip, 26, {0xFF, 0xFF}), "unexpect header of zip file"},  // a name past any file
        {with(zip, 18, {0xFF, 0xFF, 0xFF, 0x7F}), "data read error"},  // more than the file holds
        {with(zip, 22, {static_cast<uint8_t>(plain - 1), static_cast<uint8_t>((plain - 1) >> 8), 0, 0}),
         "zlib failure"}, // more text than declared
        {with(zip, 22, {static_cast<uint8_t>(plain + 1), static_cast<uint8_t>((plain + 1) >> 8), 0, 0}),
         "zlib failure"}, // the stream ends before
        {zip.substr(0, 20), "unexpect header of zip file"},
        {zip.substr(0, data + compressed - 25), "data read error"},
        {zip.substr(0, data + compressed - 25 + 5), "auth code read error"},
    };
    for (const auto& c : bad) {
        EXPECT_EQ(read(c.first).first, -1) << c.second;
        EXPECT_TRUE(logged(c.second)) << c.second;
    }
}

TEST_F(Archive, ChannelsKeepOmittedAttributesAndOnlyOwnAddressesCountForThisUnit) {
    meascalinfo_reset();
    ASSERT_EQ(meascalinfo_init(), 1);
    const char* list = R"(<ChannelList><Other><Channel name="no"/></Other>
        <VYNChannels>
          <Channel name="first" adr="25000000"/>
          <Channel name="scaled" adr="25000010" type="SINT16" b="10" c="5" f="2" mask="FF"/>
          <Channel name="inherits" adr="25000020"/>
          <Channel name="ext" adr="1B040010"/>
          <Channel name="flat" adr="25000030" f="0"/>
        </VYNChannels>
        <MasterChannels name="m"><Channel name="master" adr="1B040010" type="FLOAT" f="1"/></MasterChannels>
      </ChannelList>)";
    EXPECT_EQ(meascalinfo_virtchan_parse(list), 6);
    const std::pair<const char*, meascalinfo_t> expected[] = {
        {"first", {0x25000000, MCI_U8, 1, 0xFFFFFFFF, 1.0f, 0.0f}},
        {"scaled", {0x25000010, MCI_S16, 1, 0xFF, 5.0f, 2.5f}},
        {"inherits", {0x25000020, MCI_S16, 1, 0xFF, 5.0f, 2.5f}},
        {"flat", {0x25000030, MCI_S16, 1, 0xFF, 1.0f, 0.0f}},
        {"master", {0x1B040010, MCI_F32, 1, 0xFF, 10.0f, 5.0f}},
    };
    for (const auto& [name, e] : expected) {
        const meascalinfo_t* i = meascalinfo_getInfo(name);
        ASSERT_NE(i, nullptr) << name;
        EXPECT_EQ(std::vector<double>({double(i->meas_address), double(i->type), double(i->count),
                                       double(i->mask), i->factor, i->offset}),
                  std::vector<double>(
                      {double(e.meas_address), double(e.type), 1.0, double(e.mask), e.factor, e.offset}))
            << name;
    }
    EXPECT_TRUE(!meascalinfo_getInfo("ext") && !meascalinfo_getInfo("no"));
    EXPECT_TRUE(logged("virtual channel (ext)has external address (0x1B040010), ignored..."));
    EXPECT_EQ(meascalinfo_virtchan_parse("<ChannelList><VYNChannels></Channel></ChannelList>"), -1);
    EXPECT_TRUE(logged("meascalinfo_virtchan_task(): exception thrown"));
}

} // namespace
