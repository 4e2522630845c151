// The pull parser's element and text events against libxml2's view of the same
// documents (xmllint), over a corpus of configuration-like files and generated documents
// that put every kind of markup across the 2048-byte chunk boundaries.
#include <dirent.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "services/xml/xpp.h"
#include "xml_test_util.h"

using namespace xmltest;

namespace {

// One normalised record: an element start or end, or all text between two element
// events. Comments and processing instructions do not appear.
struct Rec {
    char kind; // 'S' start, 'E' end, 'T' text
    int depth = 0;
    std::string ns;
    std::string local;
    int empty = 0;
    std::string text;
    bool operator==(const Rec&) const = default;
};

std::string show(const Rec& r) {
    std::string s(1, r.kind);
    if (r.kind == 'T') return s + " [" + r.text + "]";
    s += " d" + std::to_string(r.depth) + " {" + r.ns + "}" + r.local;
    if (r.empty) s += " empty";
    return s;
}

class RecBuilder {
  public:
    void start(int depth, const std::string& ns, const std::string& local, int empty) {
        flush();
        recs_.push_back({'S', depth, ns, local, empty, ""});
    }
    void end(int depth, const std::string& ns, const std::string& local) {
        flush();
        recs_.push_back({'E', depth, ns, local, 0, ""});
    }
    void text(const std::string& t) { text_ += t; }
    std::vector<Rec> done() {
        flush();
        return recs_;
    }

  private:
    void flush() {
        if (!text_.empty()) recs_.push_back({'T', 0, "", "", 0, text_});
        text_.clear();
    }
    std::vector<Rec> recs_;
    std::string text_;
};

// ---- libxml2's view ----------------------------------------------------------------

struct LintNode {
    int depth, type, empty;
    std::string name, value;
};

// Parses `xmllint --stream --debug`: "depth type name empty hasValue[ value]"; a value
// may run over several lines.
std::vector<LintNode> parseStream(const std::string& out) {
    static const std::regex header(R"(^(\d+) (\d+) (\S+) ([01]) ([01])(?: (.*))?$)");
    std::vector<LintNode> nodes;
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= out.size()) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) nl = out.size();
        lines.push_back(out.substr(pos, nl - pos));
        pos = nl + 1;
    }
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, header)) {
            nodes.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[4]), m[3], m[6]});
        } else if (!nodes.empty()) {
            nodes.back().value += "\n" + line;
        }
    }
    return nodes;
}

// Namespace URI and local name of every element in document order, from XPath.
std::vector<std::string> elementNames(const std::string& path, size_t count) {
    std::string cmds;
    for (size_t i = 1; i <= count; i++) {
        cmds += "xpath namespace-uri(/descendant::*[" + std::to_string(i) + "])\n";
        cmds += "xpath local-name(/descendant::*[" + std::to_string(i) + "])\n";
    }
    std::string cmdFile = writeFile("shell_cmds.txt", cmds);
    CommandResult r =
        runCommand("xmllint --noent --huge --shell '" + path + "' < '" + cmdFile + "' 2>/dev/null");
    std::vector<std::string> values;
    const std::string marker = "Object is a string : ";
    for (size_t p = r.out.find(marker); p != std::string::npos; p = r.out.find(marker, p)) {
        p += marker.size();
        size_t nl = r.out.find('\n', p);
        values.push_back(r.out.substr(p, nl - p));
    }
    return values;
}

std::vector<Rec> lintRecords(const std::string& path) {
    CommandResult r = runCommand("xmllint --stream --debug --noent --huge '" + path + "' 2>/dev/null");
    EXPECT_EQ(0, r.status) << "xmllint rejects " << path;
    std::vector<LintNode> nodes = parseStream(r.out);
    size_t starts = std::count_if(nodes.begin(), nodes.end(), [](const LintNode& n) { return n.type == 1; });
    std::vector<std::string> names = elementNames(path, starts);
    EXPECT_EQ(2 * starts, names.size()) << "xmllint shell output for " << path;
    if (names.size() != 2 * starts) return {};

    RecBuilder b;
    std::vector<std::pair<std::string, std::string>> open;
    size_t next = 0;
    for (const LintNode& n : nodes) {
        switch (n.type) {
        case 1: { // element
            const std::string& ns = names[2 * next];
            const std::string& local = names[2 * next + 1];
            next++;
            b.start(n.depth, ns, local, n.empty);
            if (!n.empty) open.emplace_back(ns, local);
            break;
        }
        case 15: // end of element
            b.end(n.depth, open.back().first, open.back().second);
            open.pop_back();
            break;
        case 3:  // text
        case 4:  // CDATA
        case 13: // whitespace
        case 14: // significant whitespace
            b.text(n.value);
            break;
        default: // document type, comments, processing instructions
            break;
        }
    }
    return b.done();
}

// ---- the pull parser's view --------------------------------------------------------

std::string orEmpty(const char* s) {
    return s ? s : "";
}

std::vector<Rec> xppRecords(Xpp* x, std::string* error = nullptr) {
    RecBuilder b;
    for (int ev = xppGetEventType(x);; ev = xppNext(x)) {
        switch (ev) {
        case XPP_START_TAG:
            b.start(xppGetDepth(x), orEmpty(xppGetNamespace(x)), orEmpty(xppGetName(x)),
                    xppIsEmptyElementTag(x));
            break;
        case XPP_END_TAG:
            b.end(xppGetDepth(x), orEmpty(xppGetNamespace(x)), orEmpty(xppGetName(x)));
            break;
        case XPP_TEXT: {
            std::string t(static_cast<size_t>(xppGetTextLength(x)), '\0');
            EXPECT_EQ(0, xppGetText(x, t.data(), static_cast<int>(t.size())));
            t.pop_back();
            b.text(t);
            break;
        }
        case XPP_END_DOCUMENT:
            return b.done();
        default:
            if (error)
                *error = xppGetErrorString(x);
            else
                ADD_FAILURE() << "parse error: " << xppGetErrorString(x);
            return b.done();
        }
    }
}

struct Input {
    bool fromFile;
    bool external;
    std::string baseDir;
};

std::vector<Rec> parsePath(const std::string& path, const Input& in, std::string* error = nullptr) {
    Xpp* x = xppCreate();
    if (in.external) {
        xppSetExtEntParseEnable(x);
        xppSetExtEntBaseDir(x, in.baseDir.c_str());
    }
    std::string text = readFile(path);
    int rc = in.fromFile ? xppSetFileInput(x, path.c_str()) : xppSetStringInput(x, text.c_str());
    EXPECT_EQ(0, rc);
    std::vector<Rec> recs = xppRecords(x, error);
    xppDestroy(x);
    return recs;
}

void expectSame(const std::vector<Rec>& want, const std::vector<Rec>& got, const std::string& what) {
    size_t n = std::min(want.size(), got.size());
    for (size_t i = 0; i < n; i++) {
        if (!(want[i] == got[i])) {
            ADD_FAILURE() << what << ": record " << i << " differs\n  xmllint: " << show(want[i])
                          << "\n  xpp:     " << show(got[i]);
            return;
        }
    }
    EXPECT_EQ(want.size(), got.size()) << what << ": record count";
}

void checkAgainstXmllint(const std::string& path, const Input& in = {false, false, ""}) {
    std::vector<Rec> want = lintRecords(path);
    ASSERT_FALSE(want.empty()) << path;
    Input file = in, text = in;
    file.fromFile = true;
    text.fromFile = false;
    expectSame(want, parsePath(path, file), path + " (file input)");
    expectSame(want, parsePath(path, text), path + " (text input)");
}

std::vector<std::string> corpusFiles(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.substr(n.size() - 4) == ".xml") files.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
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
    std::vector<std::string> files = corpusFiles(sourceDir() + "/tests/services/xml/corpus");
    ASSERT_GE(files.size(), 5u);
    for (const std::string& f : files)
        checkAgainstXmllint(f);
}

TEST(XppReference, ExternalEntitiesMatchXmllint) {
    std::string dir = sourceDir() + "/tests/services/xml/corpus_ext/";
    checkAgainstXmllint(dir + "main.xml", {false, true, dir});
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
            parsePath(path, {fromFile, false, ""}, &error);
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
