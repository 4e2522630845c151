// Pull parser: event order and flags, getters and their errors, namespaces, internal and
// external entities and faulty input.
#include <string>

#include <gtest/gtest.h>

#include "services/xml/xpp.h"
#include "xml_test_util.h"

using namespace xmltest;

namespace {

// A parser over (a copy of) a text, destroyed at the end of the scope.
class Parsed {
  public:
    explicit Parsed(std::string text, const std::string* base = nullptr) : text_(std::move(text)) {
        if (base) {
            xppSetExtEntParseEnable(x_);
            xppSetExtEntBaseDir(x_, base->c_str());
        }
        EXPECT_EQ(0, xppSetStringInput(x_, text_.c_str()));
    }
    ~Parsed() { xppDestroy(x_); }
    Xpp* operator*() const { return x_; }

  private:
    std::string text_; // the parser reads it in place
    Xpp* x_ = xppCreate();
};

std::string s(const char* p) {
    return p ? p : "(null)";
}

std::string text(Xpp* x) {
    std::string t(static_cast<size_t>(xppGetTextLength(x)), '\0');
    EXPECT_EQ(0, xppGetText(x, t.data(), static_cast<int>(t.size())));
    t.pop_back();
    return t;
}

// The attributes of the current event: "prefix:name{namespace}qname=value" each.
std::string attrs(Xpp* x) {
    std::string out;
    for (int i = 0; i < xppGetAttributeCount(x); ++i)
        out += s(xppGetAttributePrefix(x, i)) + ":" + s(xppGetAttributeName(x, i)) + "{" +
               s(xppGetAttributeNamespace(x, i)) + "}" + s(xppGetAttributeQName(x, i)) + "=" +
               s(xppGetAttributeValue(x, i)) + " ";
    return out;
}

// Compact trace of the remaining events: "S name depth [empty]", "T text", "E name depth".
std::string trace(Xpp* x) {
    std::string out;
    for (int ev = xppGetEventType(x);; ev = xppNext(x)) {
        if (!out.empty()) out += " | ";
        if (ev == XPP_START_TAG)
            out += "S " + s(xppGetName(x)) + " " + std::to_string(xppGetDepth(x)) +
                   (xppIsEmptyElementTag(x) ? " empty" : "");
        else if (ev == XPP_TEXT)
            out += "T " + text(x);
        else if (ev == XPP_END_TAG)
            out += "E " + s(xppGetName(x)) + " " + std::to_string(xppGetDepth(x));
        else
            return out + (ev == XPP_END_DOCUMENT ? "END" : "ERROR " + s(xppGetErrorString(x)));
    }
}

} // namespace

TEST(Xpp, EventsAndEmptyElementTags) {
    {
        Parsed p("<root a=\"1\"/>");
        EXPECT_EQ("(null):a{(null)}a=1 ", attrs(*p));
        EXPECT_EQ("S root 0 empty | END", trace(*p));
        // The end stays the end: nothing is left that could hang a further call.
        EXPECT_EQ(XPP_END_DOCUMENT, xppNext(*p));
        EXPECT_EQ(nullptr, xppGetName(*p));
        EXPECT_EQ(-1, xppGetAttributeCount(*p));
    }
    auto times = [](const char* ref) {
        std::string out;
        for (int i = 0; i < 100; i++)
            out += ref;
        return out;
    };
    const struct {
        std::string doc, events;
    } cases[] = {
        {"<a><b x='1' y='2'/><c></c><d/></a>",
         "S a 0 | S b 1 empty | S c 1 | E c 1 | S d 1 empty | E a 0 | END"},
        {"<a>t<b><c/></b>u</a>", "S a 0 | T t | S b 1 | S c 2 empty | E b 1 | T u | E a 0 | END"},
        {"<a><b/>\n</a>", "S a 0 | S b 1 empty | T \n | E a 0 | END"},
        // One text may come in several events: around an entity reference.
        {"<a>x&amp;y</a>", "S a 0 | T x | T & | T y | E a 0 | END"},
        // Internal entities: an empty-element tag inside keeps its one empty start event,
        // nested entities see the namespaces of the elements around their reference.
        {"<!DOCTYPE a [<!ENTITY e '<b/><c></c>'>]><a>&e;</a>",
         "S a 0 | S b 1 empty | S c 1 | E c 1 | E a 0 | END"},
        {"<!DOCTYPE a [<!ENTITY f '<p:d/>t'><!ENTITY e '<b>&f;</b>'>]><a xmlns:p='urn:p'>&e;<g/></a>",
         "S a 0 | S b 1 | S d 2 empty | T t | E b 1 | S g 1 empty | E a 0 | END"},
        {"<!DOCTYPE a [<!ENTITY r '<b>&r;</b>'>]><a>&r;</a>",
         "S a 0 | S b 1 | ERROR File(<string>) Error(12):recursive entity reference at line 1, col 42\n"},
        {"<!DOCTYPE a [<!ENTITY r '<b>&s;</b>'><!ENTITY s '&r;'>]><a>&r;</a>",
         "S a 0 | S b 1 | ERROR File(<string>) Error(12):recursive entity reference at line 1, col 59\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.events, trace(*Parsed(c.doc))) << c.doc;
    // Expanding entities stays within expat's amplification limit (10 MB from 2 kB here).
    Parsed p("<!DOCTYPE a [<!ENTITY x '" + std::string(1000, 'x') + "'><!ENTITY y '" + times("&x;") +
             "'><!ENTITY z '" + times("&y;") + "'>]><a>&z;</a>");
    const std::string t = trace(*p);
    EXPECT_EQ("ERROR File(<string>) Error(43):limit on input amplification factor (from DTD and entities) "
              "breached at line 1, col 1660\n",
              t.substr(t.rfind("ERROR")))
        << t.size();
}

TEST(Xpp, NamesSplitAtTheLastColonAndNamespacesFollowTheirScope) {
    Parsed p("<r xmlns='http://host:8080/ns' xmlns:u='urn:a:b' u:at='v' plain='p'><u:e/></r>");
    Xpp* x = *p;
    EXPECT_EQ("r http://host:8080/ns http://host:8080/ns:r",
              s(xppGetName(x)) + " " + s(xppGetNamespace(x)) + " " + s(xppGetQName(x)));
    EXPECT_EQ("u:at{urn:a:b}urn:a:b:at=v (null):plain{(null)}plain=p ", attrs(x));
    EXPECT_EQ("v p (null) (null)", s(xppGetAttributeValueByName(x, "urn:a:b", "at")) + " " +
                                       s(xppGetAttributeValueByName(x, nullptr, "plain")) + " " +
                                       s(xppGetAttributeValueByName(x, nullptr, "at")) + " " +
                                       s(xppGetAttributeValueByName(x, "urn:a:b", "plain")));
    for (int i : {-1, 2})
        EXPECT_TRUE(xppIndexIsOutOfBounds(x, i) && !xppGetAttributeName(x, i) && !xppGetAttributeValue(x, i));
    ASSERT_EQ(XPP_START_TAG, xppNext(x));
    EXPECT_EQ("e urn:a:b", s(xppGetName(x)) + " " + s(xppGetNamespace(x)));
    ASSERT_EQ(XPP_END_TAG, xppNext(x));
    EXPECT_EQ("http://host:8080/ns", s(xppGetNamespace(x)));
    EXPECT_TRUE(xppIndexIsOutOfBounds(x, 0));

    Parsed q("<r xmlns='urn:d' xmlns:p='urn:p'><p:a xmlns:p='urn:q' xmlns:p2='urn:p' p:x='1' p2:y='2'/>"
             "<p:b/></r>");
    x = *q;
    // Namespace count, default namespace (by null and ""), "p", "p2" and the element's prefix.
    auto scope = [&] {
        return std::to_string(xppGetNamespaceCount(x)) + " " + s(xppLookupNamespace(x, nullptr)) + " " +
               s(xppLookupNamespace(x, "")) + " " + s(xppLookupNamespace(x, "p")) + " " +
               s(xppLookupNamespace(x, "p2")) + " " + s(xppGetPrefix(x));
    };
    EXPECT_EQ("2 urn:d urn:d urn:p (null) ", scope());
    ASSERT_EQ(XPP_START_TAG, xppNext(x)); // p:a, where p means urn:q
    EXPECT_EQ("4 urn:d urn:d urn:q urn:p p", scope());
    // urn:p is still bound to "p" further out, but that binding is shadowed here.
    EXPECT_EQ("p:x{urn:q}urn:q:x=1 p2:y{urn:p}urn:p:y=2 ", attrs(x));
    ASSERT_EQ(XPP_START_TAG, xppNext(x)); // p:b, after the empty p:a has closed
    EXPECT_EQ("2 urn:d urn:d urn:p (null) p", scope());
    ASSERT_EQ(XPP_END_TAG, xppNext(x));
    ASSERT_EQ(XPP_END_DOCUMENT, xppNext(x));
    EXPECT_EQ(0, xppGetNamespaceCount(x));
}

TEST(Xpp, TextGettersAndTheirErrors) {
    Parsed p("<a>hello<b/> \t\r\n</a>");
    Xpp* x = *p;
    char buf[16];
    EXPECT_EQ(-1, xppGetTextLength(x));
    EXPECT_STREQ("INVALID STATE: current eventType must be TEXT", xppGetErrorString(x));
    EXPECT_EQ(-1, xppGetText(x, buf, sizeof buf));
    EXPECT_EQ(1, xppIsWhitespace(x));
    ASSERT_EQ(XPP_TEXT, xppNext(x));
    EXPECT_EQ(6, xppGetTextLength(x));
    EXPECT_EQ(-1, xppGetText(x, buf, 5));
    EXPECT_STREQ("insufficient text buffer size", xppGetErrorString(x));
    EXPECT_EQ(-1, xppGetText(x, nullptr, 6));
    EXPECT_STREQ("memory must be allocated to buffer", xppGetErrorString(x));
    EXPECT_EQ(0, xppGetText(x, buf, 6));
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(0, xppIsWhitespace(x));
    ASSERT_EQ(XPP_START_TAG, xppNext(x));
    std::string blank;
    while (xppNext(x) == XPP_TEXT && xppIsWhitespace(x))
        blank += text(x);
    EXPECT_EQ(" \t\n", blank); // expat turns CR LF into LF

    // A text across a chunk boundary comes in several events.
    Parsed q("<a>" + std::string(3000, 'x') + "</a>");
    EXPECT_EQ("S a 0 | T " + std::string(2045, 'x') + " | T " + std::string(955, 'x') + " | E a 0 | END",
              trace(*q));
    for (auto [t, n, want] : {std::tuple{" \t\r\n", 4, 1}, {" \t x", 4, 0}, {" \t x", 2, 1}, {"\v", 1, 0}})
        EXPECT_EQ(want, XML_IsWhiteSpace(t, n)) << t << n;
}

TEST(Xpp, FaultyInput) {
    EXPECT_EQ("S a 0 | S b 1 | T text | ERROR File(<string>) Error(7):mismatched tag at line 1, col 12\n",
              trace(*Parsed("<a><b>text</a>")));
    std::string path = writeFile("faulty.xml", "<a>\n<b>\n</a>\n");
    Xpp* x = xppCreate();
    EXPECT_EQ(XPP_ERROR, xppNext(x)); // no input yet
    EXPECT_EQ(-1, xppSetStringInput(x, nullptr));
    EXPECT_EQ(-1, xppSetFileInput(x, nullptr));
    ASSERT_EQ(0, xppSetFileInput(x, path.c_str()));
    EXPECT_EQ(path, s(xppGetFileName(x)));
    EXPECT_EQ("S a 0 | T \n | S b 1 | T \n | ERROR File(" + path +
                  ") Error(7):mismatched tag at line 3, col 2\n",
              trace(x));
    EXPECT_EQ(XPP_ERROR, xppNext(x));
    // The same instance takes the next input.
    ASSERT_EQ(0, xppSetStringInput(x, "<ok/>"));
    EXPECT_EQ(nullptr, xppGetFileName(x));
    EXPECT_EQ("S ok 0 empty | END", trace(x));
    std::string missing = scratchDir() + "no/such/file.xml";
    ASSERT_EQ(0, xppSetFileInput(x, missing.c_str()));
    EXPECT_EQ("ERROR File(" + missing + ") cannot be opened: No such file or directory\n", trace(x));
    xppDestroy(x);
}

TEST(Xpp, ExternalEntities) {
    std::string dir = scratchDir() + "ext/";
    writeFile("ext/sub/part.xml", "<y a='1'/>in part<z>&inner;</z>");
    writeFile("ext/inner.xml", "inner");
    writeFile("ext/sub/broken.xml", "<y>\n</z>");
    writeFile("ext/self.xml", "<s>&self;</s>");
    writeFile("ext/defs.dtd", "<!ENTITY fromdtd 'declared outside'>");
    std::string chain;
    for (int i = 0; i <= XPP_MAX_ENTITY_DEPTH; i++) {
        std::string n = std::to_string(i);
        writeFile("ext/c" + n + ".xml", "<c>&c" + std::to_string(i + 1) + ";</c>");
        chain += "<!ENTITY c" + n + " SYSTEM 'c" + n + ".xml'>";
    }
    std::string doc = "<!DOCTYPE r [<!ENTITY part SYSTEM 'sub/part.xml'> <!ENTITY inner SYSTEM 'inner.xml'>"
                      "<!ENTITY abs SYSTEM '" +
                      dir +
                      "inner.xml'> <!ENTITY broken SYSTEM 'sub/broken.xml'>"
                      "<!ENTITY missing SYSTEM 'gone.xml'> <!ENTITY self SYSTEM 'self.xml'>" +
                      chain + "]>";
    EXPECT_EQ("S r 0 | S q 1 empty | E r 0 | END", trace(*Parsed(doc + "<r>&part;<q/></r>")));
    {
        // Relative ids resolve against the directory of the declaring document; a
        // self-closed tag inside the entity keeps its empty flag.
        Parsed on(doc + "<r>&part;<q/></r>", &dir);
        ASSERT_EQ(XPP_START_TAG, xppNext(*on));
        EXPECT_EQ(dir + "sub/part.xml", s(xppGetFileName(*on)));
        EXPECT_EQ("S y 1 empty | T in part | S z 1 | T inner | E z 1 | S q 1 empty | E r 0 | END",
                  trace(*on));
    }
    const struct {
        std::string doc, events;
    } cases[] = {
        {doc + "<r>&abs;</r>", "S r 0 | T inner | E r 0 | END"},
        {"<!DOCTYPE r SYSTEM 'defs.dtd'><r>&fromdtd;</r>", "S r 0 | T declared outside | E r 0 | END"},
        {doc + "<r>&broken;</r>",
         "File(" + dir + "sub/broken.xml) Error(7):mismatched tag at line 2, col 2\n"},
        {doc + "<r>&missing;</r>", "File(" + dir + "gone.xml) cannot be opened: No such file or directory\n"},
        {doc + "<r>&self;</r>",
         "File(" + dir + "self.xml) Error(12):recursive entity reference at line 1, col 3\n"},
        {doc + "<r>&c0;</r>",
         "File(" + dir + "c7.xml) external entities nested deeper than 8 at line 1, col 3\n"},
    };
    for (const auto& c : cases) {
        const std::string t = trace(*Parsed(c.doc, &dir));
        EXPECT_EQ(c.events, t.substr(t.size() - std::min(t.size(), c.events.size()))) << t;
    }
}
