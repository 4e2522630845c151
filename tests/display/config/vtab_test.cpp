// Verbal tables: the AVL tree built from rising numbers, lookup with the default text, and the
// VerbTabs section of a description.
#include "fixtures.h"

#include <bit>

namespace {

using namespace fx;

int height(const vtab_entry_s* e) {
    return e ? 1 + std::max(height(e->left), height(e->right)) : 0;
}
void walk(const vtab_entry_s* e, std::vector<int32_t>& out) {
    if (!e) return;
    walk(e->left, out);
    out.push_back(e->num);
    walk(e->right, out);
}

std::string lookup(const vtab_s* t, uint32_t v) {
    char out[255];
    EXPECT_EQ(XmlVTabOutput(t, v, out), 0);
    return out;
}

// Every number once and in order, in a tree no higher than the fewest bits that count them.
TEST(VerbalTableTree, RisingInsertionsStayBalancedAndShallow) {
    for (size_t n : {1, 2, 3, 15, 16, 17, 100, 1000, 1023, 1024, 4099}) {
        std::vector<vtab_entry_s> entries(n);
        vtab_entry_s* root = nullptr;
        std::vector<int32_t> want, got;
        for (size_t i = 0; i < n; ++i) {
            want.push_back(entries[i].num = static_cast<int32_t>(i * 3));
            XmlAVLinsert(&root, &entries[i]);
        }
        walk(root, got);
        EXPECT_EQ(got, want) << n;
        EXPECT_EQ(height(root), std::bit_width(n)) << n;
    }
}

// A VerbTabs section; each table is its head and its Tab lines.
std::string vtabs(const std::vector<std::pair<std::string, std::string>>& tables) {
    std::string s = "<VerbTabs>\n";
    for (const auto& [head, body] : tables)
        s += head + body + "</VerbTab>\n";
    return s + "</VerbTabs>\n";
}

std::string tabs(const std::vector<int64_t>& nums) {
    std::string s;
    for (int64_t n : nums)
        s += "<Tab num=\"" + std::to_string(n) + "\" str=\"n" + std::to_string(n) + "\"/>\n";
    return s;
}

TEST(VerbalTables, SectionWithSeveralTables) {
    std::string long_text(254, 't');
    std::string section = vtabs({
        {"<VerbTab name=\"gear\" default=\"?\">\n", tabs({0, 1, 2, 3})},
        {"<VerbTab name=\"empty\" default=\"--\" comment=\"ignored\">\n", ""},
        {"<VerbTab name=\"signed\" default=\"d\">\n", tabs({5, 2147483647, -2147483648, -1})},
        {"<VerbTab default=\"later\" name=\"gear\">\n", tabs({10})},
        {"<VerbTab name=\"a&amp;b\" default=\"" + long_text + "\">\n",
         "<Tab str=\"&lt;P&gt;\" num=\"1\"/>\n"},
    });
    Parsed p;
    load(doc(section + pages("")), &p);
    // The list runs from the last table of the file to the first; a name defined twice resolves
    // to the later table; negative nums sort after the positive ones (unsigned order).
    std::vector<std::string> names;
    for (const vtab_s* t = p.d->vtabs; t; t = t->next)
        names.push_back(t->name);
    EXPECT_EQ(names, (std::vector<std::string>{"a&b", "gear", "signed", "empty", "gear"}));
    const struct {
        const char* table;
        uint32_t value;
        std::string text;
    } cases[] = {{"gear", 10, "n10"},
                 {"gear", 3, "later"},
                 {"empty", 0, "--"},
                 {"signed", 0xFFFFFFFFu, "n-1"},
                 {"signed", 0x80000000u, "n-2147483648"},
                 {"signed", 0x7FFFFFFFu, "n2147483647"},
                 {"signed", 6, "d"},
                 {"a&b", 1, "<P>"},
                 {"a&b", 2, long_text}};
    for (const auto& c : cases)
        EXPECT_EQ(lookup(XmlSearchVTab(p.d->vtabs, c.table), c.value), c.text) << c.table << " " << c.value;
}

TEST(VerbalTables, CountsAreLimitedTo65535) {
    std::string head = "<VerbTab name=\"big\" default=\"-\">\n";
    std::vector<int64_t> nums(65535);
    for (size_t i = 0; i < nums.size(); ++i)
        nums[i] = static_cast<int64_t>(i);
    {
        Parsed p;
        parse(doc(vtabs({{head, tabs(nums)}}) + pages("")), &p);
        ASSERT_EQ(p.result, 0) << p.error;
        EXPECT_EQ(height(p.d->vtabs->root), 16);
        EXPECT_EQ(lookup(p.d->vtabs, 65534), "n65534");
    }
    nums.push_back(65535);
    Parsed p;
    parse(doc(vtabs({{head, tabs(nums)}}) + pages("")), &p);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.error.rfind("parse error: too many verbal table entries in line ", 0), 0u) << p.error;

    std::string many;
    for (int i = 0; i < 65536; ++i)
        many += "<VerbTab name=\"\" default=\"\">\n</VerbTab>\n";
    Parsed q;
    parse(doc("<VerbTabs>\n" + many + "</VerbTabs>\n" + pages("")), &q);
    EXPECT_EQ(q.result, -1);
    EXPECT_EQ(q.error.rfind("parse error: too many verbal tables in line ", 0), 0u) << q.error;
}

} // namespace
