#include "services/xml/xml.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/stat.h>

#include "services/xml/xml_io.h"

// ---- error texts -------------------------------------------------------------------

namespace {

constexpr int ERROR_SIZE = 254;

// Readers in different tasks parse at the same time at start-up, so each thread has its
// own buffer.
thread_local char errorBuffer[ERROR_SIZE];

const char* orEmpty(const char* s) {
    return s ? s : "";
}

// Formats into a scratch buffer first: an argument may itself be an earlier error text.
const char* setErrorText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
const char* setErrorText(const char* fmt, ...) {
    char tmp[ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    memcpy(errorBuffer, tmp, sizeof tmp);
    return errorBuffer;
}

XmlPos_t positionOf(const XmlScan* scan) {
    XmlPos_t pos{};
    if (scan) scan->getPos(&pos);
    return pos;
}

} // namespace

const char* XmlError(const char* text) {
    return setErrorText("%s", orEmpty(text));
}

const char* XmlError(const char* text, const char* detail) {
    return setErrorText("%s%s", orEmpty(text), orEmpty(detail));
}

const char* XmlError(const char* text, const XmlScan* scan) {
    XmlPos_t pos = positionOf(scan);
    return setErrorText("%s in line %d column %d", orEmpty(text), pos.line, pos.column);
}

const char* XmlError(const char* text, const char* detail, const XmlScan* scan) {
    XmlPos_t pos = positionOf(scan);
    return setErrorText("%s (%s) in line %d column %d", orEmpty(text), orEmpty(detail), pos.line, pos.column);
}

// ---- XmlScan -----------------------------------------------------------------------

XmlScan::XmlScan(const char* text) : text_(text) {
    try {
        initPos();
    } catch (...) {
        xppDestroy(xpp_);
        xpp_ = nullptr;
        throw;
    }
}

XmlScan::~XmlScan() {
    xppDestroy(xpp_);
}

void XmlScan::initPos() {
    if (xpp_) xppDestroy(xpp_);
    xpp_ = xppCreate();
    if (!xpp_) throw XmlError("Failed to initialize new XPP instance", this);
    if (!text_ || xppSetStringInput(xpp_, text_) != 0) throw XmlError("Failed to start the XPP parser", this);
    updatePos();
    pending_ = false;
    advance_ = false;
}

void XmlScan::updatePos() {
    int ev = xppGetEventType(xpp_);
    if (ev == XPP_END_DOCUMENT || ev == XPP_ERROR) {
        attrCount_ = 0;
        return;
    }
    line_ = xppGetLineNumber(xpp_);
    column_ = xppGetColumnNumber(xpp_);
    depth_ = xppGetDepth(xpp_);
    int n = xppGetAttributeCount(xpp_);
    attrCount_ = n > 0 ? n : 0;
}

void XmlScan::resetToken(XmlTok_t* tok) {
    if (!tok) return;
    tok->type = XmlTokNone;
    tok->name = "";
    tok->value = "";
}

int XmlScan::next() {
    int ev = xppNext(xpp_);
    updatePos();
    return ev;
}

bool XmlScan::isEof() {
    int ev = xppGetEventType(xpp_);
    return ev == XPP_END_DOCUMENT || ev == XPP_ERROR;
}

int XmlScan::getTok(XmlTok_t* tok) {
    if (!tok) throw XmlError("XmlScan getTok received a NULL pointer", this);
    for (;;) {
        resetToken(tok);
        if (pending_) {
            pending_ = false;
            tok->type = xppIsEmptyElementTag(xpp_) ? XmlTokEmptyClose : XmlTokStartClose;
            tok->name = orEmpty(xppGetName(xpp_));
            advance_ = true;
            return 0;
        }
        if (advance_) {
            advance_ = false;
            next();
        }
        switch (xppGetEventType(xpp_)) {
        case XPP_TEXT:
            advance_ = true;
            continue;
        case XPP_END_TAG:
            tok->type = XmlTokEnd;
            tok->name = orEmpty(xppGetName(xpp_));
            advance_ = true;
            return 0;
        case XPP_END_DOCUMENT:
            tok->type = XmlTokEof;
            return 0;
        case XPP_START_TAG:
            tok->name = orEmpty(xppGetName(xpp_));
            if (attrCount_ > 0 || xppIsEmptyElementTag(xpp_)) {
                tok->type = XmlTokStartAttr;
                pending_ = true;
            } else {
                tok->type = XmlTokStart;
                advance_ = true;
            }
            return 0;
        default:
            tok->type = XmlTokError;
            throw XmlError("XmlScan Error:", xppGetErrorString(xpp_), this);
        }
    }
}

int XmlScan::getAttribute(XmlTok_t* tok) {
    if (!tok || !tok->name) throw XmlError("XmlScan getAttribute received a NULL pointer", this);
    int n = xppGetAttributeCount(xpp_);
    for (int i = 0; i < n; i++) {
        if (strcmp(xppGetAttributeName(xpp_, i), tok->name) == 0) {
            tok->type = XmlTokAttr;
            tok->value = xppGetAttributeValue(xpp_, i);
            return 0;
        }
    }
    tok->type = XmlTokError;
    tok->value = "";
    return -1;
}

int XmlScan::getNesting(const XmlTok_t* tok) {
    if (!tok) throw XmlError("unhandled token type in getNesting()");
    switch (tok->type) {
    case XmlTokStart:
        return 1;
    case XmlTokStartAttr:
        return 2;
    case XmlTokStartClose:
        return -1;
    case XmlTokEmptyClose:
        return -2;
    case XmlTokEnd:
        return -1;
    case XmlTokAttr:
    case XmlTokEof:
    case XmlTokNone:
    case XmlTokError:
        return 0;
    default:
        throw XmlError("unhandled token type in getNesting()");
    }
}

int XmlScan::scanOverTag(XmlTok_t* tok) {
    int ev = xppGetEventType(xpp_);
    if (ev == XPP_END_DOCUMENT) return 1;
    if (ev != XPP_START_TAG) return -1;
    int depth = xppGetDepth(xpp_);
    if (pending_) {
        XmlTok_t own;
        getTok(tok ? tok : &own);
        if (xppIsEmptyElementTag(xpp_)) return 0;
    } else if (xppIsEmptyElementTag(xpp_)) {
        // Its closing was already consumed: the element is complete, and stepping on
        // would skip the rest of the enclosing element.
        advance_ = true;
        return 0;
    }
    pending_ = false;
    advance_ = false;
    for (;;) {
        ev = next();
        if (ev == XPP_ERROR) return -1;
        if (ev == XPP_END_DOCUMENT) return 1;
        if (ev == XPP_END_TAG && xppGetDepth(xpp_) <= depth) {
            advance_ = true;
            return 0;
        }
    }
}

void XmlScan::getPos(XmlPos_t* pos) const {
    if (!pos) return;
    pos->line = line_;
    pos->column = column_;
    pos->depth = depth_;
    pos->attrCount = attrCount_;
    pos->pending = pending_;
    pos->advance = advance_;
}

void XmlScan::setPos(const XmlPos_t* pos) {
    if (!pos) throw XmlError("setPos failed - NULL ptr received");
    if (pos->line < line_ || (pos->line == line_ && pos->column < column_)) initPos();
    while (line_ != pos->line || column_ != pos->column) {
        int ev = next();
        if (ev == XPP_END_DOCUMENT || ev == XPP_ERROR)
            throw XmlError("setPos failed - reached EOF or XML error", this);
    }
    depth_ = pos->depth;
    attrCount_ = pos->attrCount;
    pending_ = pos->pending;
    advance_ = pos->advance;
}

// ---- XmlFile -----------------------------------------------------------------------

XmlFile::XmlFile(const char* path) {
    FILE* f = path ? xmlFileOpen(path) : nullptr;
    if (!f) throw XmlError("File not found : ", path);
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        fclose(f);
        throw XmlError("File open error");
    }
    if (st.st_size < 1) {
        fclose(f);
        throw XmlError("File not found, len invalid : ", path);
    }
    size_t size = static_cast<size_t>(st.st_size);
    text_ = static_cast<char*>(malloc(size + 1));
    if (!text_) {
        fclose(f);
        throw XmlError("Out of memory error");
    }
    size_t n = 0;
    while (n < size) {
        size_t r = fread(text_ + n, 1, size - n, f);
        if (r == 0) break;
        n += r;
    }
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        free(text_);
        text_ = nullptr;
        throw XmlError("File read error : ", path);
    }
    text_[n] = '\0';
    try {
        scan_ = new (std::nothrow) XmlScan(text_);
    } catch (...) {
        free(text_);
        text_ = nullptr;
        throw;
    }
    if (!scan_) {
        free(text_);
        text_ = nullptr;
        throw XmlError("Out of memory error");
    }
}

XmlFile::~XmlFile() {
    delete scan_;
    free(text_);
}
