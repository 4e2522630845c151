// The demo unit's "cfg:/display.xml": accepted by the reader, well-formed for xmllint, and every
// picture it names is a valid PNG where the element says it lies.
#include "fixtures.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

TEST(DemoUnitDisplay, IsWellFormedLoadsAndItsPicturesAreValidPngs) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    const std::string dir = std::string(src) + "/examples/unit0/cfg";
    fx::CfgDrive cfg(dir);
    std::stringstream text;
    text << std::ifstream(dir + "/display.xml").rdbuf();
    EXPECT_EQ(fx::xmllint_complaints({text.str()}), "");

    fx::Parsed p;
    p.result = XmlLoad("cfg:/display.xml", &p.d);
    char msg[XML_ERROR_SIZE] = "";
    xml_get_error_msg(msg, sizeof msg);
    ASSERT_EQ(p.result, 0) << msg;
    const display_s& d = *p.d;
    EXPECT_EQ(std::tuple(d.x_res, d.y_res, d.page_count, d.brightness_count), std::tuple(640, 480, 3, 4));
    EXPECT_NE(d.page_input.type, TYPE_NONE);
    EXPECT_NE(d.brightness_input.type, TYPE_NONE);
    EXPECT_NE(d.reset_input.type, TYPE_NONE);

    int pictures = 0;
    for (int i = -1; i < d.page_count; ++i) {
        for (const display_elem_s* e = (i < 0 ? d.all_pages : d.pages[i]).elements; e; e = e->next) {
            EXPECT_LE(e->head.pos_x + e->head.size_x, d.x_res);
            EXPECT_LE(e->head.pos_y + e->head.size_y, d.y_res);
            if (e->type != ELEM_PICTURE) continue;
            ++pictures;
            const picture_s& pic = e->picture.picture;
            char host[512];
            ASSERT_TRUE(display_cfg_path(pic.filename, host, sizeof host));
            std::ifstream f(host, std::ios::binary);
            std::vector<char> all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            ASSERT_LE(uint64_t{pic.ofs} + pic.len, all.size()) << host;
            pyref::TempFile slice(pyref::bytes(all.begin() + pic.ofs, all.begin() + pic.ofs + pic.len));
            pyref::bytes report = pyref::run("pngcheck -q " + slice.path() + " 2>&1; echo rc=$?");
            EXPECT_EQ(std::string(report.begin(), report.end()), "rc=0\n") << host;
        }
    }
    EXPECT_GE(pictures, 3);
}

} // namespace
