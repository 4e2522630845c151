// Scanner, value converters, element skipper, error text and loader of the display description.
#include "display/config/xml_scan.h"

#include "platform/os/osfs.h"
#include "services/fileutil/fileutil.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char g_error[XML_ERROR_SIZE];

int byte_at(const xml_scan_s* s, int k) {
    if (s->pos + k >= s->len || s->pos + k < 0) return -1;
    return static_cast<unsigned char>(s->cur[k]);
}

void advance(xml_scan_s* s, int n, int cols) {
    s->cur += n;
    s->pos += n;
    s->col += cols;
}

bool is_hex(int c, uint32_t* v) {
    if (c >= '0' && c <= '9')
        *v = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
        *v = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *v = static_cast<uint32_t>(c - 'A' + 10);
    else
        return false;
    return true;
}

// Decodes one entity at cur ('&'); -1 when it is not one of the supported forms.
int scan_entity(xml_scan_s* s, char* out) {
    static const struct {
        const char* text;
        char ch;
    } named[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
    int left = s->len - s->pos;
    for (const auto& e : named) {
        int n = static_cast<int>(std::strlen(e.text));
        if (left >= n && std::memcmp(s->cur, e.text, static_cast<size_t>(n)) == 0) {
            *out = e.ch;
            advance(s, n, n);
            return 0;
        }
    }
    if (byte_at(s, 1) != '#') return -1;
    int k = 2;
    uint8_t v = 0; // the number modulo 256
    while (isDigit(byte_at(s, k))) {
        v = static_cast<uint8_t>(v * 10 + (byte_at(s, k) - '0'));
        ++k;
    }
    if (k == 2 || byte_at(s, k) != ';') return -1;
    *out = static_cast<char>(v);
    advance(s, k + 1, k + 1);
    return 0;
}

int ignore_tag(xml_scan_s* scan, const xml_token_s* tok, int depth) {
    if (depth > XML_SKIP_DEPTH_MAX) return xml_fail("parse error: nesting too deep", scan);
    xml_token_s t;
    if (tok->kind == TOK_START_ATTR) {
        for (;;) {
            int r = XmlGetTok(scan, &t);
            if (r < 0) return xml_fail("parse error: expecting attributes", scan);
            if (t.kind == TOK_EMPTY_END) return 0;
            if (t.kind == TOK_TAG_END) break;
            if (t.kind != TOK_ATTR) return xml_fail("parse error: expecting attributes", scan);
        }
    } else if (tok->kind != TOK_START) {
        if (tok->kind == TOK_EOF) return xml_fail("parse error: unexpected end of file", scan);
        return xml_fail("parse error: unexpected token", scan);
    }
    for (;;) {
        int r = XmlGetTok(scan, &t);
        if (r < 0) return xml_fail("parse error: error during unknown tag", scan);
        if (t.kind != TOK_START && t.kind != TOK_START_ATTR) break;
        if (ignore_tag(scan, &t, depth + 1) < 0) return -1;
    }
    if (t.kind == TOK_END && std::strcmp(t.name, tok->name) == 0) return 0;
    if (t.kind == TOK_EOF) return xml_fail("parse error: unexpected end of file", scan);
    return xml_fail("parse error: unexpected token", scan);
}

} // namespace

void xml_scan_init(xml_scan_s* scan, const char* data, int32_t len) {
    scan->cur = data;
    scan->len = len;
    scan->pos = 0;
    scan->line = 1;
    scan->col = 0;
}

void xml_error(const char* msg, const xml_scan_s* scan) {
    if (scan)
        std::snprintf(g_error, sizeof g_error, "%s in line %d column %d", msg, scan->line, scan->col);
    else
        std::snprintf(g_error, sizeof g_error, "%s", msg);
}

int xml_fail(const char* msg, const xml_scan_s* scan) {
    xml_error(msg, scan);
    return -1;
}

void xml_copy_text(char* dst, size_t size, const char* src) {
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

const char* xml_error_text() {
    return g_error;
}

void xml_get_error_msg(char* dst, int n) {
    if (!dst || n <= 0) return;
    if (n > XML_ERROR_SIZE) n = XML_ERROR_SIZE;
    // Unlike strncpy, always leave a terminator: callers print the result directly.
    size_t len = strnlen(g_error, static_cast<size_t>(n - 1));
    std::memcpy(dst, g_error, len);
    dst[len] = '\0';
}

int xml_is_letter(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

int isDigit(int c) {
    return c >= '0' && c <= '9';
}

int xml_skip_blank(xml_scan_s* s) {
    while (s->pos < s->len) {
        switch (*s->cur) {
        case ' ':
            advance(s, 1, 1);
            break;
        case '\t':
            advance(s, 1, 8);
            break;
        case '\r':
            advance(s, 1, 0);
            s->col = 0;
            break;
        case '\n':
        case '\v':
            advance(s, 1, 0);
            s->line++;
            break;
        case '\0':
            advance(s, 1, 0);
            break;
        default:
            return 0;
        }
    }
    return 1;
}

int xml_scan_name(xml_scan_s* s, char* name) {
    int n = 0;
    if (!xml_is_letter(byte_at(s, 0))) {
        name[0] = '\0';
        return -1;
    }
    while (n < XML_NAME_MAX) {
        int c = byte_at(s, 0);
        if (!xml_is_letter(c) && c != ':') break;
        name[n++] = static_cast<char>(c);
        advance(s, 1, 1);
    }
    name[n] = '\0';
    return 0;
}

int xml_scan_content(xml_scan_s* s, int size, char* buffer, int* copied) {
    int n = 0;
    while (n < size - 1) {
        int c = byte_at(s, 0);
        if (c < 0 || c == '"' || c == '<' || c == '>') break;
        if (c == '&') {
            if (scan_entity(s, &buffer[n]) < 0) {
                buffer[n] = '\0';
                return -1;
            }
        } else {
            buffer[n] = static_cast<char>(c);
            advance(s, 1, 1);
        }
        ++n;
    }
    buffer[n] = '\0';
    if (copied) *copied = n;
    return 0;
}

int XmlScanContent(xml_scan_s* scan, int size, char* buffer) {
    if (!scan || !buffer || size < 1) return -1;
    return xml_scan_content(scan, size, buffer, nullptr);
}

int xml_scan_string(xml_scan_s* s, char* value) {
    value[0] = '\0';
    if (byte_at(s, 0) != '"') return -1;
    advance(s, 1, 1);
    if (xml_scan_content(s, XML_NAME_MAX + 1, value, nullptr) < 0) return -1;
    if (byte_at(s, 0) != '"') return -1;
    advance(s, 1, 1);
    return 0;
}

int XmlGetTok(xml_scan_s* s, xml_token_s* tok) {
    tok->kind = TOK_NONE;
    tok->name[0] = '\0';
    tok->value[0] = '\0';
    for (;;) {
        if (xml_skip_blank(s)) {
            tok->kind = TOK_EOF;
            return 1;
        }
        int c = byte_at(s, 0);
        if (c == '<') {
            int n = byte_at(s, 1);
            if (n == '!') {
                advance(s, 1, 1);
                if (byte_at(s, 1) != '-' || byte_at(s, 2) != '-')
                    return xml_fail("scan error: '!' unexpected, only XML comments are supported...", s);
                advance(s, 3, 3);
                for (;;) {
                    if (xml_skip_blank(s)) return xml_fail("scan error: unexpected EOF during comment", s);
                    if (byte_at(s, 0) == '-' && byte_at(s, 1) == '-' && byte_at(s, 2) == '>') break;
                    advance(s, 1, 1);
                }
                advance(s, 3, 3);
                continue;
            }
            if (n == '/') {
                advance(s, 2, 2);
                if (xml_scan_name(s, tok->name) < 0) return xml_fail("scan error: tag name expected", s);
                if (xml_skip_blank(s)) return xml_fail("scan error: unexpected EOF", s);
                if (byte_at(s, 0) != '>') return xml_fail("scan error: '>' expected", s);
                advance(s, 1, 1);
                tok->kind = TOK_END;
                return 0;
            }
            if (n == '?') {
                advance(s, 2, 2);
                if (byte_at(s, 0) != 'x' || byte_at(s, 1) != 'm' || byte_at(s, 2) != 'l')
                    return xml_fail("scan error: xml expected", s);
                advance(s, 3, 3);
                tok->kind = TOK_DECL;
                return 0;
            }
            advance(s, 1, 1);
            if (!xml_is_letter(n)) return xml_fail("scan error", s);
            if (xml_scan_name(s, tok->name) < 0) return xml_fail("scan error: tag name expected", s);
            if (xml_skip_blank(s)) return xml_fail("scan error: unexpected EOF", s);
            if (byte_at(s, 0) == '>') {
                advance(s, 1, 1);
                tok->kind = TOK_START;
            } else {
                tok->kind = TOK_START_ATTR;
            }
            return 0;
        }
        if (c == '>') {
            advance(s, 1, 1);
            tok->kind = TOK_TAG_END;
            return 0;
        }
        if (c == '/' || c == '?') {
            advance(s, 1, 1);
            if (byte_at(s, 0) != '>') return xml_fail("scan error: '>' expected", s);
            advance(s, 1, 1);
            tok->kind = c == '/' ? TOK_EMPTY_END : TOK_DECL_END;
            return 0;
        }
        if (xml_is_letter(c)) {
            if (xml_scan_name(s, tok->name) < 0) return xml_fail("scan error: parameter name expected", s);
            if (xml_skip_blank(s)) return xml_fail("scan error: unexpected EOF", s);
            if (byte_at(s, 0) != '=') return xml_fail("scan error: '=' expected", s);
            advance(s, 1, 1);
            if (xml_skip_blank(s)) return xml_fail("scan error: unexpected EOF", s);
            if (xml_scan_string(s, tok->value) < 0)
                return xml_fail("scan error: error scanning parameter value", s);
            tok->kind = TOK_ATTR;
            return 0;
        }
        if (isDigit(c)) return xml_fail("scan error: unexpected digit", s);
        return xml_fail("scan error", s);
    }
}

int XmlIgnore_Tag(xml_scan_s* scan, const xml_token_s* tok) {
    return ignore_tag(scan, tok, 1);
}

// ---- value converters -------------------------------------------------------------------------

int XmlGetBool(const char* text, uint8_t* out) {
    if (std::strcmp(text, "true") == 0)
        *out = 1;
    else if (std::strcmp(text, "false") == 0)
        *out = 0;
    else
        return -1;
    return 0;
}

int XmlGetInt(const char* text, int32_t* out, int32_t min, int32_t max) {
    const char* p = text;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    int64_t v = 0;
    for (; isDigit(*p); ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) return -1; // would not fit 32 bits
    }
    if (*p != '\0') return -1;
    if (neg) v = -v;
    if (v > INT32_MAX || v < min || v > max) return -1;
    *out = static_cast<int32_t>(v);
    return 0;
}

int XmlGetUInt(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    const char* p = text;
    uint64_t v = 0;
    for (; isDigit(*p); ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > UINT32_MAX) return -1;
    }
    if (*p != '\0' || v < min || v > max) return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int XmlGetHex(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    uint32_t v = 0;
    int n = 0;
    for (; text[n] != '\0'; ++n) {
        uint32_t d;
        if (n == 8 || !is_hex(static_cast<unsigned char>(text[n]), &d)) return -1;
        v = (v << 4) | d;
    }
    if (v < min || v > max) return -1;
    *out = v;
    return 0;
}

int XmlGetFloat(const char* text, float* out) {
    float f;
    if (std::sscanf(text, "%f", &f) == 1) {
        *out = f;
        return 0;
    }
    const char* p = text;
    double sign = 1.0;
    if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1.0 : 1.0;
    double mant = 0.0;
    int frac_digits = 0;
    for (; isDigit(*p); ++p)
        mant = mant * 10.0 + (*p - '0');
    if (*p == '.') {
        for (++p; isDigit(*p); ++p, ++frac_digits)
            mant = mant * 10.0 + (*p - '0');
    }
    long exp = 0;
    if (*p == 'e' || *p == 'E') {
        ++p;
        bool eneg = false;
        if (*p == '+' || *p == '-') eneg = *p++ == '-';
        for (; isDigit(*p); ++p)
            if (exp < 100000) exp = exp * 10 + (*p - '0');
        if (eneg) exp = -exp;
    }
    if (*p != '\0') return -1;
    *out = static_cast<float>(sign * mant * std::pow(10.0, static_cast<double>(exp - frac_digits)));
    return 0;
}

// ---- parser helpers ---------------------------------------------------------------------------

int xml_peek(const xml_scan_s* scan, xml_scan_s* ahead, xml_token_s* tok) {
    *ahead = *scan;
    return XmlGetTok(ahead, tok) < 0 ? -1 : 0;
}

int xml_skip_child(xml_scan_s* scan, const xml_scan_s* ahead, const xml_token_s* tok) {
    *scan = *ahead;
    return XmlIgnore_Tag(scan, tok);
}

bool xml_is_start(const xml_token_s& tok, const char* name) {
    return tok.kind == TOK_START && std::strcmp(tok.name, name) == 0;
}

bool xml_is_start_attr(const xml_token_s& tok, const char* name) {
    return tok.kind == TOK_START_ATTR && std::strcmp(tok.name, name) == 0;
}

bool xml_is_end(const xml_token_s& tok, const char* name) {
    return tok.kind == TOK_END && std::strcmp(tok.name, name) == 0;
}

// ---- loader -----------------------------------------------------------------------------------

bool display_cfg_path(const char* path, char* out, size_t n) {
    if (!path || !out || n == 0) return false;
    return osResolvePath(path, out, n) == 0;
}

int XmlLoad(const char* path, display_s** out) {
    if (!fexist(path)) {
        xml_error("File not found !", nullptr);
        return -1;
    }
    // The scanner counts in int32.
    uint32_t len = fsize(path);
    if (len < 1 || len > INT32_MAX) {
        xml_error("File not found, len invalid!", nullptr);
        return -1;
    }
    size_t size = len;
    char* buf = static_cast<char*>(std::calloc(size, 1));
    if (!buf) {
        xml_error("Out of memory error!", nullptr);
        return -1;
    }
    FILE* f = osFopen(path, "r");
    if (!f) {
        std::free(buf);
        xml_error("File open error!", nullptr);
        return -1;
    }
    size_t got = 0;
    while (got < size) {
        size_t r = std::fread(buf + got, 1, size - got, f);
        if (r == 0) break; // end of file or a stalled read: parse what arrived
        got += r;
    }
    std::fclose(f);
    xml_scan_s scan;
    xml_scan_init(&scan, buf, static_cast<int32_t>(got));
    int result = XmlParseDisplay(&scan, out);
    std::free(buf);
    return result;
}
