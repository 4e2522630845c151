// Fuzz target: arbitrary bytes through the pull parser (every getter on every event) and
// through the reading layer as a configuration reader drives it.
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
        for (auto get : {xppGetName, xppGetQName, xppGetNamespace, xppGetPrefix, xppGetFileName})
            get(x);
        for (auto get : {xppGetNamespaceCount, xppIsWhitespace, xppIsEmptyElementTag, xppGetLineNumber,
                         xppGetColumnNumber, xppGetDepth})
            get(x);
        for (const char* prefix : {"p", static_cast<const char*>(nullptr)}) {
            xppLookupNamespace(x, prefix);
            xppGetAttributeValueByName(x, prefix ? xppGetNamespace(x) : nullptr, "a");
        }
        for (int i = -1, count = xppGetAttributeCount(x); i <= count; i++) {
            xppIndexIsOutOfBounds(x, i);
            for (auto get : {xppGetAttributeName, xppGetAttributeQName, xppGetAttributeNamespace,
                             xppGetAttributeValue, xppGetAttributePrefix})
                get(x, i);
        }
        const int len = xppGetTextLength(x);
        xppGetText(x, buf,
                   len > 0 && len <= static_cast<int>(sizeof buf) ? len : static_cast<int>(sizeof buf));
    }
    xppNext(x);
    xppGetErrorString(x);
    xppDestroy(x);
}

void readLikeAConfigReader(const char* text) {
    try {
        XmlScan scan(text);
        XmlVTabParser vtab(1);
        vtab.addPair("a", 1);
        uint64_t field[7];
        XmlTagParser tp(7);
        for (int i = 0; i < 6; i++) // string, hex, hex64, int, uint and float attributes "s" to "f"
            tp.addAttribute(std::string(1, "shHiuf"[i]).c_str(), &field[i], "\x08\x04\x08\x02\x01\x04"[i],
                            xmlType_t(i), false);
        tp.addAttributeVTab("v", &vtab, &field[6], 4, false);
        XmlTok_t tok;
        XmlPos_t pos;
        bool saved = false;
        for (int steps = 0; !scan.isEof() && steps < 200000; steps++) {
            scan.getTok(&tok);
            scan.getNesting(&tok);
            if (tok.type == XmlTokStartAttr) {
                if (!saved) scan.getPos(&pos);
                saved = true;
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
