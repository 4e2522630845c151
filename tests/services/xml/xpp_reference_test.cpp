// The pull parser's element and text events against libxml2's view of the same
// documents (xmllint), over a corpus of configuration-like files and generated documents
// that put every kind of markup across the 2048-byte chunk boundaries.
#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "services/xml/xpp.h"
#include "xml_test_util.h"

using namespace xmltest;

namespace {

// Normalised records, one per element start ("S depth {ns}local [empty]") or end ("E depth
// {ns}local"), and one for all text between two element events ("T [text]").
struct Records {
    std::vector<std::string> recs;
    std::string pending;
    void add(const std::string& rec) {
        if (!pending.empty()) recs.push_back("T [" + pending + "]");
        pending.clear();
        if (!rec.empty()) recs.push_back(rec);
    }
    void tag(char kind, int depth, const std::string& ns, const std::string& local, bool empty = false) {
        add(kind + (" " + std::to_string(depth)) + " {" + ns + "}" + local + (empty ? " empty" : ""));
    }
};

// libxml2's view: `xmllint --stream --debug` gives "depth type name empty hasValue[ value]"
// (a value may run over several lines); XPath gives the namespace and local name of every
// element in document order.
std::vector<std::string> lintRecords(const std::string& path) {
    int status = -1;
    std::istringstream in(
        runCommand("xmllint --stream --debug --noent --huge '" + path + "' 2>/dev/null", &status));
    EXPECT_EQ(0, status) << "xmllint rejects " << path;
    static const std::regex header(R"(^(\d+) (\d+) (\S+) ([01]) ([01])(?: (.*))?$)");
    struct Node {
        int depth, type, empty;
        std::string value;
    };
    std::vector<Node> nodes;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, header))
            nodes.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[4]), m[6]});
        else if (!nodes.empty())
            nodes.back().value += "\n" + line;
    }
    std::string cmds;
    for (size_t i = 1, n = std::count_if(nodes.begin(), nodes.end(), [](auto&n) { return n.type == 1; });
         i <= n; i++)
        for (const char* f : {"namespace-uri", "local-name"})
            cmds += std::string("xpath ") + f + "(/descendant::*[" + std::to_string(i) + "])\n";
    const std::string out = runCommand("xmllint --noent --huge --shell '" + path + "' < '" +
                                       writeFile("shell_cmds.txt", cmds) + "' 2>/dev/null");
    std::vector<std::string> names;
    const std::string marker = "Object is a string : ";
    for (size_t p = out.find(marker); p != std::string::npos; p = out.find(marker, p)) {
        p += marker.size();
        names.push_back(out.substr(p, out.find('\n', p) - p));
    }
    Records b;
    std::vector<size_t> open;
    size_t next = 0;
    for (const Node& n : nodes) {
        if (n.type == 1 && next * 2 + 1 < names.size()) { // element
            b.tag('S', n.depth, names[2 * next], names[2 * next + 1], n.empty);
            if (!n.empty) open.push_back(next);
            next++;
        } else if (n.type == 15 && !open.empty()) { // end of element
            b.tag('E', n.depth, names[2 * open.back()], names[2 * open.back() + 1]);
            open.pop_back();
        } else if (n.type == 3 || n.type == 4 || n.type == 13 || n.type == 14) { // text, CDATA, blanks
            b.pending += n.value;
        }
    }
    EXPECT_EQ(2 * next, names.size()) << "xmllint shell output for " << path;
    b.add("");
    return b.recs;
}

// The pull parser's records of a file read as a file or as a text; the error text, if any,
// goes to *error.
std::vector<std::string> parsePath(const std::string& path, bool fromFile, const std::string* base,
                                   std::string* error) {
    Xpp* x = xppCreate();
    if (base) {
        xppSetExtEntParseEnable(x);
        xppSetExtEntBaseDir(x, base->c_str());
    }
    std::string text = readFile(path);
    EXPECT_EQ(0, fromFile ? xppSetFileInput(x, path.c_str()) : xppSetStringInput(x, text.c_str()));
    Records b;
    auto str = [](const char* s) { return std::string(s ? s : ""); };
    for (int ev = xppGetEventType(x); ev != XPP_END_DOCUMENT; ev = xppNext(x)) {
        if (ev == XPP_START_TAG || ev == XPP_END_TAG) {
            b.tag(ev == XPP_START_TAG ? 'S' : 'E', xppGetDepth(x), str(xppGetNamespace(x)),
                  str(xppGetName(x)), xppIsEmptyElementTag(x));
        } else if (ev == XPP_TEXT) {
            std::string t(static_cast<size_t>(xppGetTextLength(x)), '\0');
            EXPECT_EQ(0, xppGetText(x, t.data(), static_cast<int>(t.size())));
            b.pending += t.substr(0, t.size() - 1);
        } else {
            *error = xppGetErrorString(x);
            break;
        }
    }
    xppDestroy(x);
    b.add("");
    return b.recs;
}

// Compares the pull parser over the file, read as a file and as a text, with xmllint.
void checkAgainstXmllint(const std::string& path, const std::string* base = nullptr) {
    const std::vector<std::string> want = lintRecords(path);
    ASSERT_FALSE(want.empty()) << path;
    for (bool fromFile : {true, false}) {
        std::string error;
        const std::vector<std::string> got = parsePath(path, fromFile, base, &error);
        EXPECT_EQ("", error);
        auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
        if (diff.first != want.end() && diff.second != got.end())
            ADD_FAILURE() << path << (fromFile ? " (file)" : " (text)") << ": record "
                          << (diff.first - want.begin()) << "\n  xmllint: " << *diff.first
                          << "\n  xpp:     " << *diff.second;
        else
            EXPECT_EQ(want.size(), got.size()) << path;
    }
}

// A configuration document with every kind of markup, about 700 bytes per repetition, so
// that the chunk boundaries fall on different constructs as the prefix grows.
std::string configDoc(size_t pad, int repeat) {
    std::string s =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--" + std::string(pad, 'p') +
        "-->\n<!DOCTYPE Config [ <!ENTITY ent \"entity text\"> ]>\n<Config xmlns=\"urn:kvx2:cfg\">\n";
    for (int i = 0; i < repeat; i++) {
        std::string n = std::to_string(i);
        s += "  <Group idx=\"" + n + "\" name=\"grp &amp; &quot;" + n +
             "&quot;\" xmlns:g=\"urn:kvx2:group:" + n +
             "\">\n    <g:Limits lo=\"-40\" hi=\"150\" g:unit=\"&#176;C\"/>\n"
             "    <Text>Temperatur über Grenzwert – bitte prüfen &lt;sofort&gt; &#x263A;</Text>\n"
             "    <!-- a comment that is long enough to be cut by a chunk boundary somewhere -->\n"
             "    <Script><![CDATA[x = a < b && c > d ? \"]]]]><![CDATA[>\" : '<tag/>';]]></Script>\n"
             "    <Empty></Empty><Self/><SelfAttr a=\"1\" b='2' c=\"&amp;&lt;&gt;\"/>\n"
             "    <?proc instruction data?>\n"
             "    <Nest><L1><L2><L3 deep=\"yes\">deep text</L3></L2></L1></Nest>\n"
             "    <Mixed>a<b>b</b>c<d/>e&amp;f<![CDATA[g]]>h</Mixed>\n"
             "    <Entity>&ent; and &ent;</Entity>\n"
             "    <Utf8>日本語のテキスト ÄÖÜ äöü ß € 𝄞</Utf8>\n  </Group>\n";
    }
    return s + "</Config>\n";
}

} // namespace

TEST(XppReference, CorpusAndExternalEntitiesMatchXmllint) {
    size_t n = 0;
    for (const auto& f : std::filesystem::directory_iterator(sourceDir() + "/tests/services/xml/corpus"))
        if (f.path().extension() == ".xml") {
            ++n;
            checkAgainstXmllint(f.path());
        }
    EXPECT_GE(n, 5u);
    const std::string dir = sourceDir() + "/tests/services/xml/corpus_ext/";
    checkAgainstXmllint(dir + "main.xml", &dir);
}

TEST(XppReference, EveryChunkBoundaryOffsetSizeAndDepth) {
    // Shifting the document byte by byte moves each 2048-byte boundary through every
    // construct of the body: tags, attributes, entity references, CDATA, multi-byte UTF-8.
    for (size_t pad = 0; pad < 128 && !HasFailure(); pad++) {
        SCOPED_TRACE("prefix " + std::to_string(pad));
        checkAgainstXmllint(writeFile("shift.xml", configDoc(pad, 7)));
    }
    // Documents of exactly one, two and three chunks (padded with blank lines).
    for (size_t size : {2048u, 4096u, 6144u}) {
        int repeat = 0;
        while (configDoc(0, repeat + 1).size() <= size)
            repeat++;
        std::string doc = configDoc(0, repeat);
        checkAgainstXmllint(writeFile("exact.xml", doc + std::string(size - doc.size(), '\n')));
    }
    std::string deep = "<?xml version=\"1.0\"?>\n", close;
    for (int i = 0; i < 1500; i++) {
        deep += "<n" + std::to_string(i % 10) + " level=\"" + std::to_string(i) + "\">t";
        close = "</n" + std::to_string(i % 10) + ">" + close;
    }
    checkAgainstXmllint(writeFile("deep.xml", deep + "<leaf/>" + close + "\n"));
    checkAgainstXmllint(writeFile("large.xml", configDoc(7, 60)));
}

// Malformed documents end with the error event after the events before the fault, with
// the file, line and column in the text; libxml2 rejects each of them as well.
TEST(XppReference, MalformedDocuments) {
    std::string big = configDoc(0, 8);
    const struct {
        std::string doc;
        int line;
    } cases[] = {
        {"<a>\n<b>\n</a>\n", 3}, // mismatched tag
        {"<a>\n<b/>\n", 3},      // unclosed root
        {"<a>\n<b x=1/>\n</a>", 2},
        {"<a x='1' x='2'/>", 1},
        {"<a>\n\n&nope;</a>", 3}, // undefined entity
        {"<a/>\n<b/>", 2},
        {"<a/>\ntext", 2},
        {"<a>\n<p:b/></a>", 2}, // unbound prefix
        {"<a>\x01</a>", 1},
        {"", 1},
        {"<?xml version=\"1.0\"?>\n<!-- nothing -->\n", 3},
        {big.substr(0, 2048 + 700), -1},                          // cut behind a chunk boundary
        {big.substr(0, 4100) + "<x></y>" + big.substr(4100), -1}, // fault behind a chunk boundary
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doc.substr(0, 40));
        std::string path = writeFile("bad.xml", c.doc);
        // libxml2 reports namespace faults as errors but still exits with 0.
        int status = 0;
        std::string lint = runCommand("xmllint --noout --huge '" + path + "' 2>&1", &status);
        EXPECT_TRUE(status != 0 || lint.find(" error : ") != std::string::npos) << lint;
        for (bool fromFile : {true, false}) {
            std::string error;
            parsePath(path, fromFile, nullptr, &error);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(
                error, m, std::regex(R"(File\((.*)\) Error\(\d+\):.+ at line (\d+), col \d+\n)")))
                << error;
            EXPECT_EQ(fromFile ? path : "<string>", m[1]);
            EXPECT_TRUE(c.line < 0 || c.line == std::stoi(m[2])) << error;
        }
    }
}
