// Fuzz target: arbitrary bytes through the pull parser (every getter on every event)
// and through the reading layer as a configuration reader drives it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "services/xml/xml.h"

namespace {

void pullEvents(const char* text) {
    Xpp* x = xppCreate();
    if (!x) return;
    xppSetStringInput(x, text);
    char buf[64];
    for (int ev = xppGetEventType(x), n = 0; ev != XPP_END_DOCUMENT && ev != XPP_ERROR && n < 200000;
         ev = xppNext(x), n++) {
        xppGetName(x);
        xppGetQName(x);
        const char* ns = xppGetNamespace(x);
        xppGetPrefix(x);
        xppLookupNamespace(x, "p");
        xppLookupNamespace(x, nullptr);
        xppGetNamespaceCount(x);
        int count = xppGetAttributeCount(x);
        for (int i = -1; i <= count; i++) {
            xppIndexIsOutOfBounds(x, i);
            xppGetAttributeName(x, i);
            xppGetAttributeQName(x, i);
            xppGetAttributeNamespace(x, i);
            xppGetAttributeValue(x, i);
            xppGetAttributePrefix(x, i);
        }
        xppGetAttributeValueByName(x, ns, "a");
        xppGetAttributeValueByName(x, nullptr, "a");
        int len = xppGetTextLength(x);
        xppGetText(x, buf,
                   len > 0 && len <= static_cast<int>(sizeof buf) ? len : static_cast<int>(sizeof buf));
        xppIsWhitespace(x);
        xppIsEmptyElementTag(x);
        xppGetLineNumber(x);
        xppGetColumnNumber(x);
        xppGetDepth(x);
        xppGetFileName(x);
    }
    xppNext(x);
    xppGetErrorString(x);
    xppDestroy(x);
}

void readLikeAConfigReader(const char* text) {
    try {
        XmlScan scan(text);
        XmlVTabParser vtab(2);
        vtab.addPair("a", 1);
        vtab.addPair("b", 2);
        char str[8];
        uint32_t hex, uns;
        uint64_t hex64;
        int16_t i16;
        float f;
        int v;
        XmlTagParser tp(7);
        tp.addAttribute("s", str, sizeof str, xmlTypeString, false);
        tp.addAttribute("h", &hex, sizeof hex, xmlTypeHex, false);
        tp.addAttribute("h64", &hex64, sizeof hex64, xmlTypeHex64, false);
        tp.addAttribute("i", &i16, sizeof i16, xmlTypeInt, false);
        tp.addAttribute("u", &uns, 1, xmlTypeUInt, false);
        tp.addAttribute("f", &f, sizeof f, xmlTypeFloat, false);
        tp.addAttributeVTab("v", &vtab, &v, sizeof v, false);

        XmlTok_t tok;
        XmlPos_t pos;
        bool saved = false;
        for (int steps = 0; !scan.isEof() && steps < 200000; steps++) {
            scan.getTok(&tok);
            scan.getNesting(&tok);
            if (tok.type == XmlTokStartAttr) {
                if (!saved) {
                    scan.getPos(&pos);
                    saved = true;
                }
                try {
                    if (tp.parse(&scan) == XmlTokStartClose && steps % 4 == 0) scan.scanOverTag(&tok);
                } catch (const char*) {
                }
            } else if (tok.type == XmlTokStart && steps % 5 == 0) {
                scan.scanOverTag(&tok);
            }
        }
        if (saved) {
            scan.setPos(&pos);
            scan.getTok(&tok);
        }
    } catch (const char*) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    pullEvents(text.c_str());
    readLikeAConfigReader(text.c_str());
    return 0;
}
