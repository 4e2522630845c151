// The task that turns the channel list of the archive into named variables.
#include "calibration/virtchan/virtchan.h"

#include "calibration/meascalinfo/meascalinfo.h"
#include "platform/os/os.h"
#include "services/fileutil/fileutil.h"
#include "services/msdhash/msdhash.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/xml/xml.h"

#include <cmath>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* ARCHIVE = "cfg:/channels.zip";
constexpr int CHANNEL_NAME_MAX = 255;

// One channel's attributes. Omitted ones keep the previous channel's values, as stored
// archives expect; the first channel starts from these.
struct Attributes {
    int type = 0;
    uint32_t adr = 0;
    uint32_t mask = 0xFFFFFFFF;
    float a = 0, b = 1, c = 0, d = 0, e = 0, f = 1;
    char name[CHANNEL_NAME_MAX + 1] = {};
};

struct Slot {
    msdhash_element entry;
    meascalinfo_t info;
};

// The block of the second pass; never freed, the name table refers to it.
struct Block {
    Slot* slots = nullptr;
    char* names = nullptr;
    int used = 0, capacity = 0;
    size_t namesUsed = 0, namesCapacity = 0;
};

// Every block made, ahead of its slots: the unit never frees one, the tests' reset does.
struct Made {
    Made* next;
};
constexpr size_t MADE_BYTES = (sizeof(Made) + alignof(Slot) - 1) / alignof(Slot) * alignof(Slot);
std::atomic<Made*> made{nullptr};

void allocMem(Block* b, int count, size_t nameBytes) {
    auto* p = static_cast<char*>(std::malloc(MADE_BYTES + count * sizeof(Slot) + nameBytes));
    if (!p) throw "out of memory";
    auto* m = reinterpret_cast<Made*>(p);
    m->next = made.load();
    while (!made.compare_exchange_weak(m->next, m)) {
    }
    p += MADE_BYTES;
    b->slots = reinterpret_cast<Slot*>(p);
    b->names = p + count * sizeof(Slot);
    b->capacity = count;
    b->namesCapacity = nameBytes;
}

void addInfo(Block* b, const char* name, const meascalinfo_t& info) {
    const size_t n = std::strlen(name) + 1;
    if (b->used == b->capacity || b->namesUsed + n > b->namesCapacity) return; // both passes read alike
    Slot& s = b->slots[b->used++];
    s.info = info;
    char* copy = b->names + b->namesUsed;
    std::memcpy(copy, name, n);
    b->namesUsed += n;
    if (!meascalinfo_addInfoPreAlloc(&s.entry, copy, &s.info))
        SYSLOGX_GUARDED(LOG_ERR, "measCalInfo::addInfo(): could not add info %s", name);
}

void skipContent(XmlScan* scan, XmlTok_t* tok) {
    for (int level = 1; level > 0;) {
        scan->getTok(tok);
        if (tok->type == XmlTokEof) throw XmlError("unexpected end of file", scan);
        level += scan->getNesting(tok);
    }
}

// Skips the element whose start tag was just read.
void skipElement(XmlScan* scan, XmlTok_t* tok) {
    if (tok->type == XmlTokStartAttr && XmlTagParser(0).parse(scan) == XmlTokEmptyClose) return;
    skipContent(scan, tok);
}

// Reads a list text in one pass: counts the channels and their name bytes, and with a block
// enters them.
class ListReader {
  public:
    ListReader(const char* text, Block* block) : scan_(text), block_(block) {
        types_.addPair("UINT8", MCI_U8);
        types_.addPair("SINT8", MCI_S8);
        types_.addPair("UINT16", MCI_U16);
        types_.addPair("SINT16", MCI_S16);
        types_.addPair("UINT32", MCI_U32);
        types_.addPair("SINT32", MCI_S32);
        types_.addPair("FLOAT", MCI_F32);
        types_.addPair("BOOL", MCI_U8);
        channel_.addAttributeVTab("type", &types_, &at_.type, sizeof at_.type, false);
        channel_.addAttribute("adr", &at_.adr, sizeof at_.adr, xmlTypeHex, false);
        channel_.addAttribute("mask", &at_.mask, sizeof at_.mask, xmlTypeHex, false);
        float* floats[] = {&at_.a, &at_.b, &at_.c, &at_.d, &at_.e, &at_.f};
        const char* names[] = {"a", "b", "c", "d", "e", "f"};
        for (int i = 0; i < 6; ++i)
            channel_.addAttribute(names[i], floats[i], sizeof(float), xmlTypeFloat, false);
        channel_.addAttribute("name", at_.name, CHANNEL_NAME_MAX, xmlTypeString, false);
        master_.addAttribute("name", masterName_, sizeof masterName_ - 1, xmlTypeString, false);
    }

    void run() {
        XmlTok_t tok;
        for (scan_.getTok(&tok); tok.type != XmlTokEof; scan_.getTok(&tok)) {
            if ((tok.type != XmlTokStart && tok.type != XmlTokStartAttr) ||
                std::strcmp(tok.name, "ChannelList") != 0)
                continue;
            if (tok.type == XmlTokStartAttr && XmlTagParser(0).parse(&scan_) == XmlTokEmptyClose) return;
            readList(&tok);
            return;
        }
    }

    int count = 0;
    size_t nameBytes = 0;

  private:
    void readList(XmlTok_t* tok) {
        for (scan_.getTok(tok); tok->type != XmlTokEnd; scan_.getTok(tok)) {
            if (tok->type == XmlTokEof) throw XmlError("unexpected end of file", &scan_);
            if (std::strcmp(tok->name, "VYNChannels") == 0) {
                readGroup(tok, true);
            } else if (std::strcmp(tok->name, "MasterChannels") == 0) {
                if (tok->type == XmlTokStartAttr && master_.parse(&scan_) == XmlTokEmptyClose) continue;
                readGroupContent(tok, false);
            } else {
                skipElement(&scan_, tok);
            }
        }
    }

    void readGroup(XmlTok_t* tok, bool own) {
        if (tok->type == XmlTokStartAttr && XmlTagParser(0).parse(&scan_) == XmlTokEmptyClose) return;
        readGroupContent(tok, own);
    }

    void readGroupContent(XmlTok_t* tok, bool own) {
        for (scan_.getTok(tok); tok->type != XmlTokEnd; scan_.getTok(tok)) {
            if (tok->type == XmlTokEof) throw XmlError("unexpected end of file", &scan_);
            if (std::strcmp(tok->name, "Channel") != 0) {
                skipElement(&scan_, tok);
                continue;
            }
            if (tok->type == XmlTokStartAttr) {
                if (channel_.parse(&scan_) == XmlTokStartClose) skipContent(&scan_, tok);
            } else {
                skipContent(&scan_, tok);
            }
            take(own);
        }
    }

    void take(bool own) {
        ++count;
        nameBytes += std::strlen(at_.name) + 1;
        if (!block_) return;
        if (own && at_.adr >> 24 != AppMan_getPID()) {
            syslogx(
                LOG_ERR,
                "meascalinfo_virtchan_task(): virtual channel (%s)has external address (0x%08X), ignored...",
                at_.name, at_.adr);
            return;
        }
        meascalinfo_t info{at_.adr, static_cast<uint32_t>(at_.type), 1, at_.mask, 1.0f, 0.0f};
        if (at_.f == 0.0f) {
            SYSLOGX_GUARDED(LOG_WARN, "awm_man_quant2fact_offs: quantisation parameter F is 0.0 !!!");
        } else {
            const float inv = 1.0f / at_.f;
            info.factor = at_.b * inv;
            info.offset = at_.c * inv;
        }
        addInfo(block_, at_.name, info);
    }

    XmlScan scan_;
    Block* block_;
    XmlVTabParser types_{8};
    XmlTagParser channel_{10};
    XmlTagParser master_{1};
    Attributes at_;
    char masterName_[CHANNEL_NAME_MAX + 1] = {};
};

// Measurements by name wait for this report.
// The measurement server answers no state query before the names are complete; it sits above
// this module and is handed in by the start-up.
std::atomic<bool> loaded{false};
std::atomic<void (*)()> loadedSink{nullptr};

void reportRegistered() {
    loaded = true;
    if (auto s = loadedSink.load()) s();
}

void virtchanTask() {
    bool drive = false;
    for (int i = 0; i < 30 && !(drive = driveAvailable("cfg:") == 0); ++i)
        taskDelay(sysClkRateGet() / 10);
    if (!drive) {
        syslogx(LOG_ERR, "meascalinfo_virtchan_task(): drive: cfg: not found, no virtual channel measurable");
        reportRegistered();
        return;
    }
    char* text = nullptr;
    uint32_t length = 0;
    if (unzip_decr(ARCHIVE, 8, &text, &length) != 0) {
        syslogx(LOG_ERR,
                "meascalinfo_virtchan_task: cfg:/channels.zip not correct, no virtual channels registered");
        reportRegistered();
        return;
    }
    const int found = meascalinfo_virtchan_parse(text);
    std::free(text);
    reportRegistered();
    if (found >= 0)
        syslogx(LOG_INFO, "meascalinfo_virtchan_task: found %d virtual channels, measurement activate",
                found);
}

} // namespace

int meascalinfo_virtchan_parse(const char* text) {
    try {
        ListReader first(text, nullptr);
        first.run();
        if (first.count == 0) return 0;
        Block block;
        allocMem(&block, first.count, first.nameBytes);
        ListReader second(text, &block);
        second.run();
        return first.count;
    } catch (const char* e) {
        syslogx(LOG_ERR, "meascalinfo_virtchan_task(): exception thrown %s", e);
        return -1;
    }
}

void meascalinfo_virtchan_ini() {
    if (taskSpawn("r_meascalinfo", 133, VX_FP_TASK, 100000,
                  [](intptr_t, intptr_t, intptr_t, intptr_t) { virtchanTask(); }) == TASK_ID_NULL)
        syslogx(LOG_ERR, "main(): start of meascalinfo task failed!");
}

void meascalinfo_virtchan_setLoadedSink(void (*s)()) {
    loadedSink = s;
    if (s && loaded.load()) s();
}

bool meascalinfo_virtchan_loaded() {
    return loaded.load();
}

void meascalinfo_virtchan_reset() {
    loaded = false;
    loadedSink = nullptr;
    for (Made* m = made.exchange(nullptr); m;) {
        Made* next = m->next;
        std::free(m);
        m = next;
    }
}
