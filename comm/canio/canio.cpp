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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

void parseCanOut(XmlScan* scan, VTabs& v) {
    XmlTok_t tok;
    for (;;) {
        scan->getTok(&tok);
        if (tok.type == XmlTokEof) throw XmlError("XmlCanIOParse(): unexpected EOF", scan);
        if (tok.type == XmlTokEnd) return;
        if (tok.type != XmlTokStart && tok.type != XmlTokStartAttr) continue;
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
void parseCan(XmlScan* scan, VTabs& v) {
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
            parseCanOut(scan, v);
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

// After a parse error the rows read so far are compiled; a message whose checksum or counter
// row the file gives but was not read would go out without it, so its rows are dropped. Where
// the file itself breaks off, what lay beyond is unknown: a message none of whose checksum or
// counter rows was read may have had them there.
void leaveOutHalfFilled(const char* text) {
    bool wanted[2][CANOUT_MAILBOXES] = {}, have[2][CANOUT_MAILBOXES] = {}; // checksum, counter
    bool brokenOff = false;
    try {
        XmlScan scan(text);
        XmlTok_t tok;
        for (scan.getTok(&tok); tok.type != XmlTokEof; scan.getTok(&tok)) {
            const bool chk = named(tok, "CanChecksum");
            if (!chk && !named(tok, "CanCounter")) continue;
            tok.name = "msgIdx";
            char* end = nullptr;
            const unsigned long mb = scan.getAttribute(&tok) == 0 ? std::strtoul(tok.value, &end, 10) : ~0ul;
            if (end && !*end && mb < CANOUT_MAILBOXES) wanted[chk ? 0 : 1][mb] = true;
        }
    } catch (const char*) {
        brokenOff = true; // what lies beyond a broken spot cannot be read by anyone
    }
    for (const CanOutSignal& s : CanOutSignalConf)
        if (s.mb < CANOUT_MAILBOXES && (s.kind == CANOUT_CHECKSUM || s.kind == CANOUT_COUNTER))
            have[s.kind == CANOUT_CHECKSUM ? 0 : 1][s.mb] = true;
    char unknown[CANOUT_MAILBOXES * 4 + 1] = "";
    size_t at = 0;
    for (uint32_t mb = 0; mb < CANOUT_MAILBOXES; ++mb) {
        if ((!wanted[0][mb] || have[0][mb]) && (!wanted[1][mb] || have[1][mb])) {
            if (brokenOff && !have[0][mb] && !have[1][mb] && leaveOut(mb))
                at += static_cast<size_t>(std::snprintf(unknown + at, sizeof unknown - at, " %u", mb));
            continue;
        }
        if (leaveOut(mb))
            syslogx(LOG_ERR, "XmlCanIOParse(): CanOut message %u left out: its %s row was not read", mb,
                    wanted[0][mb] && !have[0][mb] ? "checksum" : "counter");
    }
    if (at)
        syslogx(
            LOG_ERR,
            "XmlCanIOParse(): CanOut messages left out, no checksum or counter row of theirs read before the "
            "file breaks off:%s",
            unknown);
}

} // namespace

int XmlCanIOParse(const char* text) {
    auto vt = std::make_unique<VTabs>();
    std::unique_ptr<XmlScan> scan;
    try {
        scan = std::make_unique<XmlScan>(text);
        parseCan(scan.get(), *vt);
    } catch (const char* e) {
        if (scan && endedEarly(e)) e = XmlError("XmlCanIOParse(): unexpected EOF", scan.get());
        syslogx(LOG_ERR, "XmlCanIOParse(): xml config parse error: %s", e);
        leaveOutHalfFilled(text);
        return -1;
    }
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
