// The demo unit's "cfg:/display.xml": accepted by the reader, well-formed for xmllint, and every
// picture it names is a valid PNG where the element says it lies.
#include "fixtures.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

class DemoUnitDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* src = std::getenv("VYN_SOURCE_DIR");
        ASSERT_NE(src, nullptr);
        dir_ = std::string(src) + "/examples/unit0/cfg";
        cfg_ = std::make_unique<fx::CfgDrive>(dir_);
    }
    void TearDown() override { XmlFreeDisplay(d_); }
    std::string dir_;
    std::unique_ptr<fx::CfgDrive> cfg_;
    display_s* d_ = nullptr;
};

TEST_F(DemoUnitDisplay, IsWellFormedAndLoads) {
    std::ifstream in(dir_ + "/display.xml");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(fx::xmllint_complaints({text.str()}), "");

    char msg[XML_ERROR_SIZE] = "";
    int r = XmlLoad("cfg:/display.xml", &d_);
    xml_get_error_msg(msg, sizeof msg);
    ASSERT_EQ(r, 0) << msg;
    EXPECT_EQ(d_->x_res, 640);
    EXPECT_EQ(d_->y_res, 480);
    EXPECT_EQ(d_->page_count, 3);
    EXPECT_EQ(d_->brightness_count, 4);
    EXPECT_NE(d_->page_input.type, TYPE_NONE);
    EXPECT_NE(d_->brightness_input.type, TYPE_NONE);
    EXPECT_NE(d_->reset_input.type, TYPE_NONE);

    int alarms = 0, pictures = 0, bars = 0, boxes = 0;
    auto visit = [&](const page_s& p) {
        for (const display_elem_s* e = p.elements; e; e = e->next) {
            if (e->type == ELEM_ALPHANUMERIC && e->alphanum.vis_mode == VIS_LIMIT_RESETABLE) ++alarms;
            pictures += e->type == ELEM_PICTURE;
            bars += e->type == ELEM_BARGRAPH;
            boxes += e->type == ELEM_ALPHANUMERIC;
            EXPECT_LE(e->head.pos_x + e->head.size_x, d_->x_res);
            EXPECT_LE(e->head.pos_y + e->head.size_y, d_->y_res);
        }
    };
    visit(d_->all_pages);
    for (int i = 0; i < d_->page_count; ++i)
        visit(d_->pages[i]);
    EXPECT_GE(alarms, 1);
    EXPECT_GE(pictures, 2);
    EXPECT_GE(bars, 2);
    EXPECT_GE(boxes, 4);

    const vtab_s* gear = XmlSearchVTab(d_->vtabs, "gear");
    ASSERT_NE(gear, nullptr);
    char out[255];
    XmlVTabOutput(gear, 0, out);
    EXPECT_STREQ(out, "N");
    XmlVTabOutput(gear, static_cast<uint32_t>(-1), out);
    EXPECT_STREQ(out, "R");
    XmlVTabOutput(gear, 9, out);
    EXPECT_STREQ(out, "?");
}

TEST_F(DemoUnitDisplay, PicturesAreValidPngsAtTheirOffsets) {
    ASSERT_EQ(XmlLoad("cfg:/display.xml", &d_), 0);
    int checked = 0;
    auto visit = [&](const page_s& p) {
        for (const display_elem_s* e = p.elements; e; e = e->next) {
            if (e->type != ELEM_PICTURE) continue;
            const picture_s& pic = e->picture.picture;
            char host[512];
            ASSERT_TRUE(display_cfg_path(pic.filename, host, sizeof host));
            std::ifstream f(host, std::ios::binary);
            ASSERT_TRUE(f) << host;
            std::vector<char> all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            ASSERT_LE(uint64_t{pic.ofs} + pic.len, all.size()) << host;
            pyref::TempFile slice(pyref::bytes(all.begin() + pic.ofs, all.begin() + pic.ofs + pic.len));
            pyref::bytes report = pyref::run("pngcheck -q " + slice.path() + " 2>&1; echo rc=$?");
            EXPECT_EQ(std::string(report.begin(), report.end()), "rc=0\n") << host;
            ++checked;
        }
    };
    visit(d_->all_pages);
    for (int i = 0; i < d_->page_count; ++i)
        visit(d_->pages[i]);
    EXPECT_GE(checked, 3);
}

} // namespace
