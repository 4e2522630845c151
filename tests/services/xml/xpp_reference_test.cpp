// The pull parser's element and text events against libxml2's view of the same
// documents (xmllint), over a corpus of configuration-like files and generated documents
// that put every kind of markup across the 2048-byte chunk boundaries.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "services/xml/xpp.h"
#include "xml_test_util.h"

using namespace xmltest;

namespace {

// Normalised records, one per element start ("S depth {ns}local [empty]") or end ("E depth
// {ns}local"), and one for all text between two element events ("T [text]"). Comments and
// processing instructions do not appear.
class Records {
  public:
    void start(int depth, const std::string& ns, const std::string& local, int empty) {
        add("S " + std::to_string(depth) + " {" + ns + "}" + local + (empty ? " empty" : ""));
    }
    void end(int depth, const std::string& ns, const std::string& local) {
        add("E " + std::to_string(depth) + " {" + ns + "}" + local);
    }
    void text(const std::string& t) { text_ += t; }
    std::vector<std::string> done() {
        add("");
        return recs_;
    }

  private:
    void add(const std::string& rec) {
        if (!text_.empty()) recs_.push_back("T [" + text_ + "]");
        text_.clear();
        if (!rec.empty()) recs_.push_back(rec);
    }
    std::vector<std::string> recs_;
    std::string text_;
};

// ---- libxml2's view ----------------------------------------------------------------

struct LintNode {
    int depth, type, empty;
    std::string value;
};

// Parses `xmllint --stream --debug`: "depth type name empty hasValue[ value]"; a value
// may run over several lines.
std::vector<LintNode> parseStream(const std::string& out) {
    static const std::regex header(R"(^(\d+) (\d+) (\S+) ([01]) ([01])(?: (.*))?$)");
    std::vector<LintNode> nodes;
    std::istringstream in(out);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, header))
            nodes.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[4]), m[6]});
        else if (!nodes.empty())
            nodes.back().value += "\n" + line;
    }
    return nodes;
}

// Namespace URI and local name of every element in document order, from XPath.
std::vector<std::string> elementNames(const std::string& path, size_t count) {
    std::string cmds;
    for (size_t i = 1; i <= count; i++)
        for (const char* f : {"namespace-uri", "local-name"})
            cmds += std::string("xpath ") + f + "(/descendant::*[" + std::to_string(i) + "])\n";
    std::string cmdFile = writeFile("shell_cmds.txt", cmds);
    CommandResult r =
        runCommand("xmllint --noent --huge --shell '" + path + "' < '" + cmdFile + "' 2>/dev/null");
    std::vector<std::string> values;
    const std::string marker = "Object is a string : ";
    for (size_t p = r.out.find(marker); p != std::string::npos; p = r.out.find(marker, p)) {
        p += marker.size();
        values.push_back(r.out.substr(p, r.out.find('\n', p) - p));
    }
    return values;
}

std::vector<std::string> lintRecords(const std::string& path) {
    CommandResult r = runCommand("xmllint --stream --debug --noent --huge '" + path + "' 2>/dev/null");
    EXPECT_EQ(0, r.status) << "xmllint rejects " << path;
    std::vector<LintNode> nodes = parseStream(r.out);
    size_t starts = std::count_if(nodes.begin(), nodes.end(), [](const LintNode& n) { return n.type == 1; });
    std::vector<std::string> names = elementNames(path, starts);
    EXPECT_EQ(2 * starts, names.size()) << "xmllint shell output for " << path;
    if (names.size() != 2 * starts) return {};
    Records b;
    std::vector<std::pair<std::string, std::string>> open;
    size_t next = 0;
    for (const LintNode& n : nodes) {
        if (n.type == 1) { // element
            const std::string &ns = names[2 * next], &local = names[2 * next + 1];
            next++;
            b.start(n.depth, ns, local, n.empty);
            if (!n.empty) open.emplace_back(ns, local);
        } else if (n.type == 15) { // end of element
            b.end(n.depth, open.back().first, open.back().second);
            open.pop_back();
        } else if (n.type == 3 || n.type == 4 || n.type == 13 || n.type == 14) { // text, CDATA, blanks
            b.text(n.value);
        } // else document type, comments, processing instructions
    }
    return b.done();
}

// ---- the pull parser's view --------------------------------------------------------

std::string orEmpty(const char* s) {
    return s ? s : "";
}

// The records of a file read as a file or as a text; a parse error goes to *error, or fails.
std::vector<std::string> parsePath(const std::string& path, bool fromFile, bool external = false,
                                   const std::string& baseDir = "", std::string* error = nullptr) {
    Xpp* x = xppCreate();
    if (external) {
        xppSetExtEntParseEnable(x);
        xppSetExtEntBaseDir(x, baseDir.c_str());
    }
    std::string text = readFile(path);
    EXPECT_EQ(0, fromFile ? xppSetFileInput(x, path.c_str()) : xppSetStringInput(x, text.c_str()));
    Records b;
    for (int ev = xppGetEventType(x); ev != XPP_END_DOCUMENT; ev = xppNext(x)) {
        if (ev == XPP_START_TAG) {
            b.start(xppGetDepth(x), orEmpty(xppGetNamespace(x)), orEmpty(xppGetName(x)),
                    xppIsEmptyElementTag(x));
        } else if (ev == XPP_END_TAG) {
            b.end(xppGetDepth(x), orEmpty(xppGetNamespace(x)), orEmpty(xppGetName(x)));
        } else if (ev == XPP_TEXT) {
            std::string t(static_cast<size_t>(xppGetTextLength(x)), '\0');
            EXPECT_EQ(0, xppGetText(x, t.data(), static_cast<int>(t.size())));
            t.pop_back();
            b.text(t);
        } else {
            if (error)
                *error = xppGetErrorString(x);
            else
                ADD_FAILURE() << "parse error: " << xppGetErrorString(x);
            break;
        }
    }
    xppDestroy(x);
    return b.done();
}

void expectSame(const std::vector<std::string>& want, const std::vector<std::string>& got,
                const std::string& what) {
    auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
    if (diff.first != want.end() && diff.second != got.end())
        ADD_FAILURE() << what << ": record " << (diff.first - want.begin())
                      << " differs\n  xmllint: " << *diff.first << "\n  xpp:     " << *diff.second;
    else
        EXPECT_EQ(want.size(), got.size()) << what << ": record count";
}

// Compares the pull parser over the file, read as a file and as a text, with xmllint.
void checkAgainstXmllint(const std::string& path, bool external = false, const std::string& baseDir = "") {
    std::vector<std::string> want = lintRecords(path);
    ASSERT_FALSE(want.empty()) << path;
    expectSame(want, parsePath(path, true, external, baseDir), path + " (file input)");
    expectSame(want, parsePath(path, false, external, baseDir), path + " (text input)");
}

// ---- generated documents -----------------------------------------------------------

// A configuration body with every kind of markup, about 700 bytes per repetition, so that the
// chunk boundaries fall on different constructs as the prefix grows.
std::string configBody(int repeat) {
    std::string s;
    for (int i = 0; i < repeat; i++) {
        std::string n = std::to_string(i);
        s += "  <Group idx=\"" + n + "\" name=\"grp &amp; &quot;" + n +
             "&quot;\" xmlns:g=\"urn:kvx2:group:" + n + "\">\n";
        s += "    <g:Limits lo=\"-40\" hi=\"150\" g:unit=\"&#176;C\"/>\n";
        s += "    <Text>Temperatur über Grenzwert – bitte prüfen &lt;sofort&gt; &#x263A;</Text>\n";
        s += "    <!-- a comment that is long enough to be cut by a chunk boundary somewhere -->\n";
        s += "    <Script><![CDATA[x = a < b && c > d ? \"]]]]><![CDATA[>\" : '<tag/>';]]></Script>\n";
        s += "    <Empty></Empty><Self/><SelfAttr a=\"1\" b='2' c=\"&amp;&lt;&gt;\"/>\n";
        s += "    <?proc instruction data?>\n";
        s += "    <Nest><L1><L2><L3 deep=\"yes\">deep text</L3></L2></L1></Nest>\n";
        s += "    <Mixed>a<b>b</b>c<d/>e&amp;f<![CDATA[g]]>h</Mixed>\n";
        s += "    <Entity>&ent; and &ent;</Entity>\n";
        s += "    <Utf8>日本語のテキスト ÄÖÜ äöü ß € 𝄞</Utf8>\n";
        s += "  </Group>\n";
    }
    return s;
}

std::string configDoc(size_t pad, int repeat) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--" + std::string(pad, 'p') +
           "-->\n<!DOCTYPE Config [ <!ENTITY ent \"entity text\"> ]>\n<Config xmlns=\"urn:kvx2:cfg\">\n" +
           configBody(repeat) + "</Config>\n";
}

// The largest configuration document within `size` bytes, padded with trailing blank
// lines to exactly that size.
std::string exactSize(size_t size) {
    int repeat = 0;
    while (configDoc(0, repeat + 1).size() <= size)
        repeat++;
    std::string doc = configDoc(0, repeat);
    doc.append(size - doc.size(), '\n');
    return doc;
}

std::string deepDoc(int depth) {
    std::string s = "<?xml version=\"1.0\"?>\n";
    for (int i = 0; i < depth; i++)
        s += "<n" + std::to_string(i % 10) + " level=\"" + std::to_string(i) + "\">t";
    s += "<leaf/>";
    for (int i = depth - 1; i >= 0; i--)
        s += "</n" + std::to_string(i % 10) + ">";
    return s + "\n";
}

} // namespace

TEST(XppReference, CorpusMatchesXmllint) {
    size_t n = 0;
    for (const auto& f : std::filesystem::directory_iterator(sourceDir() + "/tests/services/xml/corpus"))
        if (f.path().extension() == ".xml") {
            ++n;
            checkAgainstXmllint(f.path());
        }
    EXPECT_GE(n, 5u);
}

TEST(XppReference, ExternalEntitiesMatchXmllint) {
    std::string dir = sourceDir() + "/tests/services/xml/corpus_ext/";
    checkAgainstXmllint(dir + "main.xml", true, dir);
}

TEST(XppReference, EveryChunkBoundaryOffset) {
    // Shifting the document byte by byte moves each 2048-byte boundary through every
    // construct of the body: tags, attributes, entity references, CDATA, multi-byte UTF-8.
    for (size_t pad = 0; pad < 128; pad++) {
        std::string path = writeFile("shift.xml", configDoc(pad, 7));
        SCOPED_TRACE("prefix " + std::to_string(pad));
        checkAgainstXmllint(path);
        if (HasFailure()) break;
    }
}

TEST(XppReference, SizeMultipleOfChunk) {
    for (size_t size : {2048u, 4096u, 6144u}) {
        std::string doc = exactSize(size);
        ASSERT_EQ(size, doc.size());
        std::string path = writeFile("exact.xml", doc);
        SCOPED_TRACE("size " + std::to_string(size));
        checkAgainstXmllint(path);
    }
}

TEST(XppReference, DeepNestingAndLargeDocument) {
    checkAgainstXmllint(writeFile("deep.xml", deepDoc(1500)));
    checkAgainstXmllint(writeFile("large.xml", configDoc(7, 60)));
}

// Malformed documents end with the error event after the events before the fault, with
// the file, line and column in the text; libxml2 rejects each of them as well.
TEST(XppReference, MalformedDocuments) {
    struct Case {
        const char* name;
        std::string doc;
        int line;
    };
    std::string big = configDoc(0, 8);
    const Case cases[] = {
        {"mismatched tag", "<a>\n<b>\n</a>\n", 3},
        {"unclosed root", "<a>\n<b/>\n", 3},
        {"bad attribute quoting", "<a>\n<b x=1/>\n</a>", 2},
        {"duplicate attribute", "<a x='1' x='2'/>", 1},
        {"undefined entity", "<a>\n\n&nope;</a>", 3},
        {"two roots", "<a/>\n<b/>", 2},
        {"text after root", "<a/>\ntext", 2},
        {"unbound prefix", "<a>\n<p:b/></a>", 2},
        {"invalid character", std::string("<a>\x01</a>"), 1},
        {"empty document", "", 1},
        {"only a prolog", "<?xml version=\"1.0\"?>\n<!-- nothing -->\n", 3},
        {"cut behind a chunk boundary", big.substr(0, 2048 + 700), -1},
        {"fault behind a chunk boundary", big.substr(0, 4100) + "<x></y>" + big.substr(4100), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = writeFile("bad.xml", c.doc);
        // libxml2 reports namespace faults as errors but still exits with 0.
        CommandResult lint = runCommand("xmllint --noout --huge '" + path + "' 2>&1");
        EXPECT_TRUE(lint.status != 0 || lint.out.find(" error : ") != std::string::npos) << lint.out;
        for (bool fromFile : {true, false}) {
            std::string error;
            parsePath(path, fromFile, false, "", &error);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(
                error, m, std::regex(R"(File\((.*)\) Error\((\d+)\):(.+) at line (\d+), col (\d+)\n)")))
                << error;
            EXPECT_EQ(fromFile ? path : "<string>", m[1]);
            if (c.line > 0) {
                EXPECT_EQ(c.line, std::stoi(m[4])) << error;
            }
        }
    }
}
