#include "services/xml/xml.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

namespace {

constexpr size_t NAME_MAX_LEN = 255;

// Largest value that `size` bytes hold; sizes other than 1, 2, 4 and 8 take only 0.
uint64_t unsignedMax(int size) {
    switch (size) {
    case 1:
        return 0xFF;
    case 2:
        return 0xFFFF;
    case 4:
        return 0xFFFFFFFF;
    case 8:
        return UINT64_MAX;
    default:
        return 0;
    }
}

// Writes the low `size` bytes of v as an integer of that width.
void storeLow(void* target, int size, uint64_t v) {
    switch (size) {
    case 1: {
        uint8_t b = static_cast<uint8_t>(v);
        memcpy(target, &b, 1);
        break;
    }
    case 2: {
        uint16_t h = static_cast<uint16_t>(v);
        memcpy(target, &h, 2);
        break;
    }
    case 4: {
        uint32_t w = static_cast<uint32_t>(v);
        memcpy(target, &w, 4);
        break;
    }
    case 8:
        memcpy(target, &v, 8);
        break;
    default:
        if (size > 0) memset(target, 0, static_cast<size_t>(size));
        break;
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int parseHex(const char* text, int maxDigits, uint64_t* out) {
    if (!text) return -1;
    uint64_t v = 0;
    int n = 0;
    for (const char* p = text; *p; p++, n++) {
        int d = hexDigit(*p);
        if (d < 0 || n == maxDigits) return -1;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    *out = v;
    return 0;
}

void copyName(char* dst, const char* name, const char* what) {
    if (!name || strlen(name) > NAME_MAX_LEN) throw XmlError(what, name ? name : "");
    strcpy(dst, name);
}

} // namespace

// ---- XmlVTabParser -----------------------------------------------------------------

XmlVTabParser::XmlVTabParser(int n) : max_(n > 0 ? n : 0), pairs_(new Pair[n > 0 ? n : 1]) {}

XmlVTabParser::~XmlVTabParser() {
    delete[] pairs_;
}

void XmlVTabParser::addPair(const char* name, int value) {
    if (used_ >= max_) throw XmlError("addPair #vtags exceeded!");
    copyName(pairs_[used_].name, name, "addPair: invalid name ");
    pairs_[used_].value = value;
    used_++;
}

int XmlVTabParser::parse(const char* text, int* out) const {
    if (used_ < max_) throw XmlError("parse: less vtags used!");
    if (!text) return -1;
    for (int i = 0; i < used_; i++) {
        if (strcmp(pairs_[i].name, text) == 0) {
            if (out) *out = pairs_[i].value;
            return 0;
        }
    }
    return -1;
}

// ---- XmlTagParser ------------------------------------------------------------------

XmlTagParser::XmlTagParser(int n) : max_(n > 0 ? n : 0), records_(new Record[n > 0 ? n : 1]) {}

XmlTagParser::~XmlTagParser() {
    delete[] records_;
}

XmlTagParser::Record* XmlTagParser::add(const char* name, const char* fullText) {
    if (used_ >= max_) throw XmlError(fullText);
    Record* r = &records_[used_];
    copyName(r->name, name, "addAttribute: invalid name ");
    used_++;
    return r;
}

void XmlTagParser::addAttribute(const char* name, void* target, int size, xmlType_t type, bool mandatory) {
    Record* r = add(name, "addAttribute #tags exceeded!");
    r->type = type;
    r->target = target;
    r->size = size;
    r->mandatory = mandatory;
    r->vtab = nullptr;
}

void XmlTagParser::addAttributeVTab(const char* name, XmlVTabParser* vtab, void* target, int size,
                                    bool mandatory) {
    Record* r = add(name, "addAttributeVTab #tags exceeded!");
    r->type = xmlTypeVTab;
    r->target = target;
    r->size = size;
    r->mandatory = mandatory;
    r->vtab = vtab;
}

int XmlTagParser::parse(XmlScan* scan) {
    if (used_ < max_) throw XmlError("parse: less tags used!");
    if (!scan) throw XmlError("parse: no scanner");
    XmlTok_t tok;
    for (int i = 0; i < used_; i++) {
        const Record& r = records_[i];
        XmlScan::resetToken(&tok);
        tok.name = r.name;
        if (scan->getAttribute(&tok) != 0) {
            if (r.mandatory) throw XmlError("mandatory attribute not found", r.name, scan);
            continue;
        }
        const char* value = tok.value;
        switch (r.type) {
        case xmlTypeString:
            if (r.size > 0) strncpy(static_cast<char*>(r.target), value, static_cast<size_t>(r.size));
            break;
        case xmlTypeHex:
        case xmlTypeUInt: {
            const bool isHex = r.type == xmlTypeHex;
            uint32_t max = r.size == 8 ? 0 : static_cast<uint32_t>(unsignedMax(r.size));
            uint32_t v;
            if ((isHex ? XmlHelper::getHex : XmlHelper::getUInt)(value, &v, 0, max) != 0)
                throw XmlError(isHex ? "attribute is no hex number" : "attribute has wrong number", r.name,
                               scan);
            storeLow(r.target, r.size, v);
            break;
        }
        case xmlTypeHex64: {
            // Bounded by the field too, so that no digits are dropped silently.
            uint64_t v;
            if (XmlHelper::getHex64(value, &v, 0, unsignedMax(r.size)) != 0)
                throw XmlError("attribute is no hex64 number", r.name, scan);
            storeLow(r.target, r.size, v);
            break;
        }
        case xmlTypeInt: {
            int32_t min = 0, max = 0;
            if (r.size == 1 || r.size == 2 || r.size == 4) {
                max = static_cast<int32_t>(unsignedMax(r.size) >> 1);
                min = -max - 1;
            }
            int32_t v;
            if (XmlHelper::getInt(value, &v, min, max) != 0)
                throw XmlError("attribute has wrong number", r.name, scan);
            storeLow(r.target, r.size, static_cast<uint64_t>(static_cast<int64_t>(v)));
            break;
        }
        case xmlTypeFloat: {
            float v;
            if (XmlHelper::getFloat(value, &v) != 0)
                throw XmlError("attribute has wrong number", r.name, scan);
            if (r.size == static_cast<int>(sizeof(double))) {
                double d = v;
                memcpy(r.target, &d, sizeof d);
            } else if (r.size > 0) {
                memcpy(r.target, &v, r.size < 4 ? static_cast<size_t>(r.size) : sizeof v);
            }
            break;
        }
        case xmlTypeVTab: {
            int v;
            if (!r.vtab || r.vtab->parse(value, &v) != 0)
                throw XmlError("attribute has wrong value", value, scan);
            storeLow(r.target, r.size, static_cast<uint64_t>(static_cast<int64_t>(v)));
            break;
        }
        default:
            throw XmlError("unknown attribute type", r.name, scan);
        }
    }
    scan->getTok(&tok);
    if (tok.type != XmlTokStartClose && tok.type != XmlTokEmptyClose)
        throw XmlError("unexpected token after parsing attributes", scan);
    return static_cast<int>(tok.type);
}

// ---- XmlHelper ---------------------------------------------------------------------

int XmlHelper::getInt(const char* text, int32_t* out, int32_t min, int32_t max) {
    if (!text || !out) return -1;
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t v = 0;
    for (; *p; p++) {
        if (!isDigit(*p)) return -1;
        v = v * 10 + (*p - '0');
        if (v > 2147483648LL) return -1; // beyond any 32-bit value
    }
    if (negative) v = -v;
    if (v < min || v > max) return -1;
    *out = static_cast<int32_t>(v);
    return 0;
}

int XmlHelper::getUInt(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    if (!text || !out) return -1;
    uint64_t v = 0;
    for (const char* p = text; *p; p++) {
        if (!isDigit(*p)) return -1;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > UINT32_MAX) return -1;
    }
    if (v < min || v > max) return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int XmlHelper::getHex(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    uint64_t v;
    if (!out || parseHex(text, 8, &v) != 0 || v < min || v > max) return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int XmlHelper::getHex64(const char* text, uint64_t* out, uint64_t min, uint64_t max) {
    uint64_t v;
    if (!out || parseHex(text, 16, &v) != 0 || v < min || v > max) return -1;
    *out = v;
    return 0;
}

int XmlHelper::getFloat(const char* text, float* out) {
    if (!text || !out) return -1;
    // Checked here, converted by the C library in the C locale: summing digits in single
    // precision drifts, and refused the largest float in its usual spellings.
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    std::string number;
    for (; isDigit(*p); p++)
        number += *p;
    if (number.empty()) number += '0'; // "", ".", "e5" read as 0
    number += '.';
    if (*p == '.')
        for (p++; isDigit(*p); p++)
            number += *p;
    if (*p == 'e' || *p == 'E') {
        number += 'e';
        p++;
        if (*p == '+' || *p == '-') number += *p++;
        const size_t digits = number.size();
        for (; isDigit(*p); p++)
            number += *p;
        if (number.size() == digits) number += '0';
    }
    if (*p) return -1;
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    const float v = c ? strtof_l(number.c_str(), nullptr, c) : std::strtof(number.c_str(), nullptr);
    // A text beyond the float range gives no value rather than an infinity.
    if (!std::isfinite(v)) return -1;
    *out = negative ? -v : v;
    return 0;
}

int XmlHelper::getBool(const char* text, bool* out) {
    if (!text || !out) return -1;
    if (strcmp(text, "True") == 0) {
        *out = true;
        return 0;
    }
    if (strcmp(text, "False") == 0) {
        *out = false;
        return 0;
    }
    return -1;
}
