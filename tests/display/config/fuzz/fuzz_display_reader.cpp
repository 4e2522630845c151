// Fuzz target: arbitrary bytes through the display description reader (whole documents, also
// behind a valid head so that the page and element parsers and the skipping of unknown tags are
// reached), the verbal tables, the value converters and the verbal-table lookup.
#include <cstddef>
#include <cstdint>
#include <string>

#include "display/config/xml_scan.h"

namespace {

void document(const std::string& text) {
    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    display_s* d = nullptr;
    XmlParseDisplay(&s, &d);
    if (d) {
        char out[255];
        for (const vtab_s* t = d->vtabs; t; t = t->next)
            for (uint32_t v : {0u, 1u, 7u, 0x80000000u, 0xFFFFFFFFu})
                XmlVTabOutput(t, v, out);
    }
    XmlFreeDisplay(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    document(text);
    document(
        "<?xml version=\"1.0\"?><Display version=\"1\" x_res=\"640\" y_res=\"480\"><Brightness></Brightness>"
        "<Pages><Page><BGCol red=\"0\" green=\"0\" blue=\"0\"/><DisplayElements>" +
        text);

    xml_scan_s s;
    xml_scan_init(&s, text.data(), static_cast<int32_t>(text.size()));
    if (display_s* d = static_cast<display_s*>(calloc(1, sizeof(display_s)))) {
        XmlParseVTab(&s, d);
        XmlFreeDisplay(d);
    }

    const std::string value = text.substr(0, text.find('\0'));
    uint32_t u;
    int32_t i;
    float f;
    uint8_t b;
    XmlGetUInt(value.c_str(), &u, 0, 0xFFFFFFFFu);
    XmlGetHex(value.c_str(), &u, 0, 0xFFFFFFFFu);
    XmlGetInt(value.c_str(), &i, INT32_MIN, INT32_MAX);
    XmlGetFloat(value.c_str(), &f);
    XmlGetBool(value.c_str(), &b);
    char msg[300];
    xml_get_error_msg(msg, sizeof msg);
    return 0;
}
