#include "comm/canio/canio.h"

#include "comm/canin/canin.h"
#include "comm/canout/canout.h"
#include "comm/chandata/chandata.h"
#include "comm/measman/meas_man.h"
#include "platform/os/os.h"
#include "services/fileutil/fileutil.h"
#include "services/syslog/syslog.h"
#include "services/xml/xml.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

struct VTabs {
    XmlVTabParser booleans{4}, types{7}, rcTypes{3}, rasters{12}, edges{3}, adrKinds{3};
    VTabs() {
        const std::pair<const char*, int> b[] = {{"true", 1}, {"false", 0}, {"True", 1}, {"False", 0}};
        for (auto [n, v] : b)
            booleans.addPair(n, v);
        const std::pair<const char*, int> t[] = {{"UINT8", 1},  {"SINT8", 0},  {"UINT16", 3}, {"SINT16", 2},
                                                 {"UINT32", 5}, {"SINT32", 4}, {"FLOAT", 6}};
        for (auto [n, v] : t)
            types.addPair(n, v);
        rcTypes.addPair("SIG", 0);
        rcTypes.addPair("MUX", 1);
        rcTypes.addPair("MSIG", 2);
        const char* r[] = {"R1ms",  "R2ms",   "R5ms",   "R10ms",  "R20ms",
                           "R50ms", "R100ms", "R200ms", "R500ms", "R1s"};
        for (int i = 0; i < 10; ++i)
            rasters.addPair(r[i], i);
        rasters.addPair("RLAP", 11);
        rasters.addPair("EventBased", -1);
        edges.addPair("ris", 1);
        edges.addPair("fall", 2);
        edges.addPair("both", 3);
        adrKinds.addPair("meas_by_address", 0);
        adrKinds.addPair("meas_by_name", 1);
        adrKinds.addPair("None", -1);
    }
};

// The attributes every row element has.
struct RowHead {
    uint32_t chIdx = 0, msgIdx = 0, sBit = 0, len = 0;
    int32_t bigEndian = 0;
};

void addRowHead(XmlTagParser& p, VTabs& v, RowHead& h) {
    p.addAttribute("chIdx", &h.chIdx, 2, xmlTypeUInt, true);
    p.addAttribute("msgIdx", &h.msgIdx, 2, xmlTypeUInt, true);
    p.addAttribute("sBit", &h.sBit, 2, xmlTypeUInt, true);
    p.addAttribute("len", &h.len, 1, xmlTypeUInt, true);
    p.addAttributeVTab("bigEndian", &v.booleans, &h.bigEndian, 4, true);
}

// Content of an element whose start tag was read with its attributes: skipped to its end.
void skipElementContent(XmlScan* scan) {
    XmlTok_t tok;
    for (int depth = 0;;) {
        scan->getTok(&tok);
        if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
        if (tok.type == XmlTokStart || tok.type == XmlTokStartAttr) depth++;
        if (tok.type == XmlTokEmptyClose) depth--;
        if (tok.type == XmlTokEnd && depth-- == 0) return;
    }
}

// Skips an element whose start tag was just read.
void skipElement(XmlScan* scan, XmlTok_t* tok) {
    if (scan->scanOverTag(tok) < 0) throw XmlError("XmlCanIOParse(): unexpected token", scan);
}

bool named(const XmlTok_t& tok, const char* name) {
    return (tok.type == XmlTokStart || tok.type == XmlTokStartAttr) && std::strcmp(tok.name, name) == 0;
}

void parseCanIn(XmlScan* scan, VTabs& v) {
    bool defined[CANIN_MAILBOXES] = {};
    XmlTok_t tok;
    for (;;) {
        scan->getTok(&tok);
        if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
        if (tok.type == XmlTokEnd) return;
        if (tok.type != XmlTokStart && tok.type != XmlTokStartAttr) continue;
        if (named(tok, "CanMb")) {
            uint32_t idx = 0, intf = 0, id = 0;
            int32_t fdf = 0;
            XmlTagParser p(4);
            p.addAttribute("idx", &idx, 4, xmlTypeUInt, true);
            p.addAttribute("intf", &intf, 1, xmlTypeUInt, true);
            p.addAttribute("canId", &id, 4, xmlTypeHex, true);
            p.addAttributeVTab("fdf", &v.booleans, &fdf, 4, true);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            if (idx >= CANIN_MAILBOXES) throw XmlError("index out of range", "idx", scan);
            if (defined[idx]) throw XmlError("index found twice", "idx", scan);
            defined[idx] = true;
            CanInMailBoxConf[idx] = CanInMailBox{intf, id, static_cast<uint32_t>(fdf)};
        } else if (named(tok, "CanSignal")) {
            RowHead h;
            int32_t outType = 0, rcType = 0;
            uint32_t timeout = CANIN_NO_TIMEOUT, timeoutValue = 0, rcValue = 0;
            XmlTagParser p(10);
            addRowHead(p, v, h);
            p.addAttributeVTab("outType", &v.types, &outType, 4, true);
            p.addAttribute("timeout", &timeout, 2, xmlTypeUInt, false);
            p.addAttribute("timeoutValue", &timeoutValue, 4, xmlTypeUInt, false);
            p.addAttributeVTab("RCType", &v.rcTypes, &rcType, 4, true);
            p.addAttribute("RCValue", &rcValue, 4, xmlTypeUInt, false);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            if (h.chIdx >= CANIN_ROWS) throw XmlError("index out of range", "chIdx", scan);
            const uint32_t type = outType == 6 ? CANIN_FLOAT : outType % 2 ? CANIN_UNSIGNED : CANIN_SIGNED;
            CanInSignalConf[h.chIdx] = CanInSignal{h.msgIdx,
                                                   h.sBit,
                                                   h.len,
                                                   type,
                                                   static_cast<uint32_t>(h.bigEndian),
                                                   static_cast<uint32_t>(rcType),
                                                   rcValue,
                                                   timeout,
                                                   timeoutValue};
        } else {
            skipElement(scan, &tok);
        }
    }
}

// 64-bit decimal: the XML layer's unsigned kind holds 32 bits only.
uint64_t parseMask64(const char* text, XmlScan* scan) {
    uint64_t v = 0;
    if (!*text) throw XmlError("attribute has wrong number", "chkSumByteMask", scan);
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || v > (UINT64_MAX - static_cast<uint64_t>(*p - '0')) / 10)
            throw XmlError("attribute has wrong number", "chkSumByteMask", scan);
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    return v;
}

CanOutSignal& outRow(const RowHead& h, XmlScan* scan) {
    if (h.chIdx >= CANOUT_ROWS) throw XmlError("index out of range", "chIdx", scan);
    CanOutSignal& s = CanOutSignalConf[h.chIdx];
    s = CanOutSignal{};
    s.mb = h.msgIdx;
    s.sbit = h.sBit;
    s.len = h.len;
    s.order = static_cast<uint32_t>(h.bigEndian);
    return s;
}

void parseCanOutMb(XmlScan* scan, VTabs& v) {
    uint32_t idx = 0, intf = 0, dlc = 0, id = 0;
    int32_t raster = 0, fdf = 0, brs = 0;
    XmlTagParser p(7);
    p.addAttribute("idx", &idx, 4, xmlTypeUInt, true);
    p.addAttribute("intf", &intf, 1, xmlTypeUInt, true);
    p.addAttribute("canDlc", &dlc, 1, xmlTypeUInt, true);
    p.addAttribute("canId", &id, 4, xmlTypeHex, true);
    p.addAttributeVTab("event", &v.rasters, &raster, 4, true);
    p.addAttributeVTab("fdf", &v.booleans, &fdf, 4, true);
    p.addAttributeVTab("brs", &v.booleans, &brs, 4, true);
    const int end = p.parse(scan);
    if (idx >= CANOUT_MAILBOXES) throw XmlError("parseCanOut: index out of range", "idx", scan);
    CanOutMailBox& m = CanOutMailBoxConf[idx];
    m = CanOutMailBox{};
    m.intf = intf;
    m.id = id;
    m.dlc = dlc;
    m.kind = static_cast<uint8_t>(fdf);
    m.flags = static_cast<uint8_t>(brs);
    m.raster = raster;
    if (end == XmlTokEmptyClose) return;
    if (end != XmlTokStartClose) throw XmlError("parseCanOut: unexpected token", scan);
    // The event source: the first channel element; the rest is skipped.
    XmlTok_t tok;
    bool haveSource = false;
    for (;;) {
        scan->getTok(&tok);
        if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
        if (tok.type == XmlTokEnd) return;
        if (tok.type == XmlTokStartAttr && !haveSource) {
            ChanData ch(scan, &tok);
            m.evAddress = ch.address;
            m.evMask = ch.mask;
            m.evType = ch.dataType;
            m.evEdge = 0; // rising
            const float q[6] = {ch.a, ch.b, ch.c, ch.d, ch.e, ch.f};
            std::memcpy(m.quant, q, sizeof q);
            haveSource = true;
        } else if (tok.type == XmlTokStart || tok.type == XmlTokStartAttr) {
            skipElement(scan, &tok);
        }
    }
}

// `read` counts the section's elements read whole, in the order of the file.
void parseCanOut(XmlScan* scan, VTabs& v, size_t& read) {
    XmlTok_t tok;
    for (;; ++read) {
        do {
            scan->getTok(&tok);
            if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
            if (tok.type == XmlTokEnd) return;
        } while (tok.type != XmlTokStart && tok.type != XmlTokStartAttr);
        if (named(tok, "Intf")) {
            uint32_t idx = 0, delay = 0;
            float limit = 0;
            XmlTagParser p(3);
            p.addAttribute("idx", &idx, 4, xmlTypeUInt, true);
            p.addAttribute("rateLimt", &limit, 4, xmlTypeFloat, true);
            p.addAttribute("startDelay", &delay, 2, xmlTypeUInt, true);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            if (idx > 1) throw XmlError("parseCanOut: index out of range", "idx", scan);
            CanOutIntfConf[idx] = CanOutIntf{limit, static_cast<uint16_t>(delay)};
        } else if (named(tok, "CanMb")) {
            parseCanOutMb(scan, v);
        } else if (named(tok, "CanSignal")) {
            RowHead h;
            int32_t rcType = 0, adrType = 0, dataType = 0, isSigned = 0, isFloat = 0;
            uint32_t rshift = 0, rcValue = 0, pid = 0, adr = 0, mask = 0;
            float fact = 1.0f, offs = 0.0f;
            XmlTagParser p(17);
            addRowHead(p, v, h);
            p.addAttribute("rightShift", &rshift, 1, xmlTypeUInt, false);
            p.addAttributeVTab("RCType", &v.rcTypes, &rcType, 4, true);
            p.addAttribute("RCValue", &rcValue, 4, xmlTypeUInt, false);
            p.addAttributeVTab("adrType", &v.adrKinds, &adrType, 4, true);
            p.addAttribute("pid", &pid, 2, xmlTypeUInt, false);
            p.addAttribute("adr", &adr, 4, xmlTypeHex, false);
            p.addAttribute("mask", &mask, 4, xmlTypeHex, false);
            p.addAttributeVTab("data_type", &v.types, &dataType, 4, true);
            p.addAttribute("fact", &fact, 4, xmlTypeFloat, false);
            p.addAttribute("offs", &offs, 4, xmlTypeFloat, false);
            p.addAttributeVTab("signed", &v.booleans, &isSigned, 4, true);
            p.addAttributeVTab("float", &v.booleans, &isFloat, 4, true);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            CanOutSignal& s = outRow(h, scan);
            s.kind = static_cast<uint32_t>(rcType);
            s.rzValue = rcValue;
            s.rshift = rshift;
            s.address = adr + (pid << 24);
            s.mask = mask;
            s.dataType = static_cast<uint32_t>(dataType);
            s.fact = fact;
            s.offs = offs;
            s.isSigned = static_cast<uint32_t>(isSigned);
            s.isFloat = static_cast<uint32_t>(isFloat);
        } else if (named(tok, "CanConstant")) {
            RowHead h;
            int32_t rcType = 0;
            uint32_t rshift = 0, rcValue = 0, value = 0;
            XmlTagParser p(9);
            addRowHead(p, v, h);
            p.addAttribute("rightShift", &rshift, 1, xmlTypeUInt, false);
            p.addAttributeVTab("RCType", &v.rcTypes, &rcType, 4, true);
            p.addAttribute("RCValue", &rcValue, 4, xmlTypeUInt, false);
            p.addAttribute("value", &value, 4, xmlTypeUInt, true);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            CanOutSignal& s = outRow(h, scan);
            s.kind = rcType == 2 ? CANOUT_MCONST : rcType == 1 ? CANOUT_MUX : CANOUT_CONST;
            s.rzValue = rcValue;
            s.rshift = rshift;
            s.constant = value;
            s.dataType = 5;
        } else if (named(tok, "CanChecksum")) {
            RowHead h;
            uint32_t type = 0;
            char mask[32] = {};
            XmlTagParser p(7);
            addRowHead(p, v, h);
            p.addAttribute("type", &type, 1, xmlTypeUInt, true);
            p.addAttribute("chkSumByteMask", mask, sizeof mask - 1, xmlTypeString, true);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            const uint64_t m64 = parseMask64(mask, scan);
            CanOutSignal& s = outRow(h, scan);
            s.kind = CANOUT_CHECKSUM;
            s.chkType = type;
            s.chkMask = m64;
        } else if (named(tok, "CanCounter")) {
            RowHead h;
            uint32_t rshift = 0, start = 0, end = 0;
            XmlTagParser p(8);
            addRowHead(p, v, h);
            p.addAttribute("rightShift", &rshift, 1, xmlTypeUInt, false);
            p.addAttribute("start", &start, 2, xmlTypeUInt, true);
            p.addAttribute("end", &end, 2, xmlTypeUInt, true);
            if (p.parse(scan) == XmlTokStartClose) skipElementContent(scan);
            CanOutSignal& s = outRow(h, scan);
            s.kind = CANOUT_COUNTER;
            s.rshift = rshift;
            s.ctrStart = start;
            s.ctrEnd = end;
            s.dataType = 5;
        } else {
            skipElement(scan, &tok);
        }
    }
}

// The root element and its sections.
void parseCan(XmlScan* scan, VTabs& v, size_t& outRead) {
    XmlTok_t tok;
    do {
        scan->getTok(&tok);
        if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
    } while (!named(tok, "Can"));
    if (tok.type == XmlTokStartAttr && XmlTagParser(0).parse(scan) == XmlTokEmptyClose)
        throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
    bool seenIn = false, seenOut = false;
    for (;;) {
        scan->getTok(&tok);
        if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
        if (tok.type == XmlTokEnd) return;
        if (tok.type != XmlTokStart && tok.type != XmlTokStartAttr) continue;
        if (!named(tok, "CanIn") && !named(tok, "CanOut")) {
            skipElement(scan, &tok);
            continue;
        }
        const bool in = named(tok, "CanIn");
        bool& seen = in ? seenIn : seenOut;
        if (seen)
            throw XmlError(
                in ? "XmlCanIOParse(): <CanIn> found twice" : "XmlCanIOParse(): <CanOut> found twice", scan);
        seen = true;
        if (tok.type == XmlTokStartAttr && XmlTagParser(0).parse(scan) == XmlTokEmptyClose) continue;
        if (in)
            parseCanIn(scan, v);
        else
            parseCanOut(scan, v, outRead);
    }
}

// The XML layer reports a text that ends inside an element (or inside a tag) as expat words it.
bool endedEarly(const char* error) {
    return std::strstr(error, "no element found") || std::strstr(error, "unclosed token");
}

// Drops the rows of an output message, so that it is not sent; false when it had none.
bool leaveOut(uint32_t mb) {
    bool any = false;
    for (CanOutSignal& s : CanOutSignalConf)
        if (s.mb == mb) {
            s.mb = CANOUT_UNUSED_MB;
            any = true;
        }
    return any;
}

constexpr uint32_t NO_MB = 0xFFFFFFFFu;
// Row elements by the weight of their loss: a receiver refuses a frame without its checksum or
// counter before it misreads a value.
constexpr const char* ROW_KINDS[][2] = {{"CanChecksum", "checksum"},
                                        {"CanCounter", "counter"},
                                        {"CanSignal", "signal"},
                                        {"CanConstant", "constant"}};
constexpr int NOT_A_ROW = 4;

// An element of an output section: a row's kind (NOT_A_ROW for the others) and the message a row
// or mailbox names (NO_MB when there is none or it cannot be read).
struct OutElement {
    int kind;
    uint32_t mb;
};

// The elements of the output sections in the order of the file, as far as the text can be read,
// walked as the parse walks them; `broken` when it cannot be read on inside a section, `stop`
// then says where it stops.
struct OutSurvey {
    std::vector<OutElement> elements;
    bool broken = false;
    std::string stop;
};

// Where a text stops being read: the end of a file that breaks off, or the spot the XML layer
// refused, which the file goes on after.
std::string stopOf(const char* error, const XmlScan* scan) {
    if (!scan || endedEarly(error)) return "the file breaks off";
    XmlPos_t pos{};
    scan->getPos(&pos);
    return std::string(std::strstr(error, "mismatched tag") ? "an end tag that does not match"
                                                            : "an XML error") +
           " in line " + std::to_string(pos.line);
}

OutSurvey surveyOut(const char* text) {
    OutSurvey out;
    int depth = 0, root = -1, section = -1;
    std::unique_ptr<XmlScan> owned;
    try {
        owned = std::make_unique<XmlScan>(text);
        XmlScan& scan = *owned;
        XmlTok_t tok;
        for (scan.getTok(&tok); tok.type != XmlTokEof; scan.getTok(&tok)) {
            if (tok.type == XmlTokEmptyClose || tok.type == XmlTokEnd) {
                if (depth == section) section = -1;
                if (depth-- == root) break;
                continue;
            }
            if (tok.type != XmlTokStart && tok.type != XmlTokStartAttr) continue;
            ++depth;
            if (root < 0) {
                if (named(tok, "Can")) root = depth;
            } else if (section < 0) {
                if (depth == root + 1 && named(tok, "CanOut")) section = depth;
            } else if (depth == section + 1) {
                int kind = 0;
                while (kind < NOT_A_ROW && !named(tok, ROW_KINDS[kind][0]))
                    ++kind;
                uint32_t mb = NO_MB;
                if (kind < NOT_A_ROW || named(tok, "CanMb")) {
                    tok.name = kind < NOT_A_ROW ? "msgIdx" : "idx";
                    if (scan.getAttribute(&tok) != 0 ||
                        XmlHelper::getUInt(tok.value, &mb, 0, kind < NOT_A_ROW ? 0xFFFF : ~0u) != 0)
                        mb = NO_MB;
                }
                out.elements.push_back({kind, mb});
            }
        }
    } catch (const char* e) {
        out.broken = section >= 0; // what lies beyond cannot be read by anyone
        out.stop = stopOf(e, owned.get());
    }
    return out;
}

// Lists the messages of `pick` in one line: a file with many such messages logs one line.
template <class Pick> void nameLeftOut(const char* why, Pick pick) {
    char list[CANOUT_MAILBOXES * 4 + 1] = "";
    size_t used = 0;
    for (uint32_t mb = 0; mb < CANOUT_MAILBOXES; ++mb)
        if (pick(mb)) used += static_cast<size_t>(std::snprintf(list + used, sizeof list - used, " %u", mb));
    if (used) syslogx(LOG_ERR, "XmlCanIOParse(): CanOut messages left out, %s:%s", why, list);
}

// A message whose mailbox is set but that has no row cannot go out; those `named` already are
// not named again.
void nameRowless(const bool* named) {
    bool hasRow[CANOUT_MAILBOXES] = {};
    for (const CanOutSignal& s : CanOutSignalConf)
        if (s.mb < CANOUT_MAILBOXES) hasRow[s.mb] = true;
    nameLeftOut("without a row",
                [&](uint32_t mb) { return CanOutMailBoxConf[mb].intf != 0xFF && !hasRow[mb] && !named[mb]; });
}

// After a parse error the rows read so far are compiled; a message that would go out without a
// row of its own (a checksum, a counter, a value) stays off the bus. The rows after the spot
// where the parse stopped are known as far as the text still shows them. Where it does not (the
// file breaks off, or a row names no message), a file that describes its messages one after the
// other has lost rows of the message it was at only; one that goes back and forth may have lost
// rows of any of them. A message whose mailbox was read but none of its rows is off the bus as
// well; it is named where rows of it are lost or may be (else as one without a row). Each message
// left out is named once (`named` tells which were).
void leaveOutHalfRead(const char* text, size_t read, bool* named) {
    const OutSurvey survey = surveyOut(text);
    int lost[CANOUT_MAILBOXES];
    std::fill(std::begin(lost), std::end(lost), NOT_A_ROW);
    bool hasRows[CANOUT_MAILBOXES] = {}, ended[CANOUT_MAILBOXES] = {}, atRisk[CANOUT_MAILBOXES] = {};
    // Its mailbox read (the one the parse stopped in too), and none of its rows.
    bool mbOnly[CANOUT_MAILBOXES] = {}, rowRead[CANOUT_MAILBOXES] = {};
    bool oneAfterAnother = true, unknown = survey.broken;
    uint32_t at = NO_MB; // the message whose rows the file is at
    for (size_t i = 0; i < survey.elements.size(); ++i) {
        const OutElement& e = survey.elements[i];
        const bool row = e.kind != NOT_A_ROW, beyond = i >= read;
        if (row && beyond && e.mb < CANOUT_MAILBOXES) lost[e.mb] = std::min(lost[e.mb], e.kind);
        if (row && !beyond && e.mb < CANOUT_MAILBOXES) rowRead[e.mb] = true;
        if (!row && i <= read && e.mb < CANOUT_MAILBOXES) mbOnly[e.mb] = true;
        if (row && beyond && e.mb == NO_MB) {
            unknown = true;
            if (at != NO_MB) atRisk[at] = true;
        }
        if (e.mb == at || e.mb == NO_MB) continue;
        if (at != NO_MB) ended[at] = true; // a row or mailbox of another message follows
        at = NO_MB;
        if (!row || e.mb >= CANOUT_MAILBOXES) continue;
        if (ended[e.mb]) oneAfterAnother = false;
        hasRows[e.mb] = true;
        at = e.mb;
    }
    if (survey.broken && at != NO_MB) atRisk[at] = true;
    for (uint32_t mb = 0; mb < CANOUT_MAILBOXES; ++mb)
        mbOnly[mb] = mbOnly[mb] && !rowRead[mb];
    // True the first time only: its rows are dropped now, or it had its mailbox only.
    auto leftOut = [&mbOnly](uint32_t mb) {
        const bool rows = leaveOut(mb);
        return std::exchange(mbOnly[mb], false) || rows;
    };
    for (uint32_t mb = 0; mb < CANOUT_MAILBOXES; ++mb)
        if (lost[mb] != NOT_A_ROW && leftOut(mb)) {
            named[mb] = true;
            syslogx(LOG_ERR, "XmlCanIOParse(): CanOut message %u left out: its %s row was not read", mb,
                    ROW_KINDS[lost[mb]][1]);
        }
    if (!unknown) return;
    const std::string why = survey.broken ? "not all of their rows read before " + survey.stop
                                          : std::string("a row that names no message was not read");
    nameLeftOut(why.c_str(), [&](uint32_t mb) {
        if (!(mbOnly[mb] || (oneAfterAnother ? atRisk[mb] : hasRows[mb])) || !leftOut(mb)) return false;
        return named[mb] = true;
    });
}

} // namespace

int XmlCanIOParse(const char* text) {
    auto vt = std::make_unique<VTabs>();
    std::unique_ptr<XmlScan> scan;
    size_t outRead = 0;
    try {
        scan = std::make_unique<XmlScan>(text);
        parseCan(scan.get(), *vt, outRead);
    } catch (const char* e) {
        if (scan && endedEarly(e)) e = XmlError("XmlCanIOParse(): unexpected EOF", scan.get());
        syslogx(LOG_ERR, "XmlCanIOParse(): xml config parse error: %s", e);
        bool named[CANOUT_MAILBOXES] = {};
        leaveOutHalfRead(text, outRead, named);
        nameRowless(named);
        return -1;
    }
    const bool none[CANOUT_MAILBOXES] = {};
    nameRowless(none);
    return 0;
}

char* Can_Xml_Load(const char* fileName) {
    if (!fexist(fileName)) {
        syslogx(LOG_DEBUG, "can configuration file '%s' not found", fileName);
        return nullptr;
    }
    return fload(fileName, nullptr);
}

void can_vyn_init_task() {
    int tries = 0;
    while (driveAvailable("cfg:") != 0) {
        if (++tries >= 20) {
            syslogx(LOG_ERR, "CanVyn_init(): no drive found, no CAN In/Out");
            meas_man_CanIO_initialized();
            return;
        }
        taskDelay(sysClkRateGet() / 2);
    }
    char* text = Can_Xml_Load("cfg:/CAN.xml");
    if (!text) {
        syslogx(LOG_ERR, "CanVyn_init(): cfg:/CAN.xml not found, no CAN In/Out");
    } else {
        XmlCanIOParse(text); // what was parsed is compiled, also after an error
        if (CanIn_init() == 1) syslogx(LOG_ERR, "CanIn_man_ini() error");
        if (CanOut_init() == 1) syslogx(LOG_ERR, "CanOut_init() error");
        std::free(text);
    }
    meas_man_CanIO_initialized();
}

void can_vyn_ini() {
    CanIn_initConfig();
    CanOut_initConfig();
    if (static_cast<int8_t>(CfgMat_CanVersion) < 5) {
        CanIn_CfgMat_configure();
        if (CanIn_init() == 1) syslogx(LOG_ERR, "CanIn_man_ini() error");
        CanOut_CfgMat_configure();
        if (CanOut_init() == 1) syslogx(LOG_ERR, "CanOut_init() error");
        meas_man_CanIO_initialized();
        return;
    }
    syslogx(LOG_INFO, "can_vyn_ini(): starting task for XML");
    if (taskSpawnFn("canIOini", 105, VX_FP_TASK, 65536, can_vyn_init_task) == TASK_ID_NULL) {
        syslogx(LOG_ERR, "can_vyn_ini(): could not create task for XML");
        meas_man_CanIO_initialized();
    }
}
