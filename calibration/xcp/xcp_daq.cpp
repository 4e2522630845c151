// XCP DAQ engine: dynamic DAQ lists configured by the tool and sampled at the events of the
// 100, 10 and 1 ms rasters, one DTO per ODT into the transmit queue. The command task changes
// the configuration only under the DAQ mutex, which every send cycle takes too.
#include "calibration/xcp/xcp_private.h"

#include "services/bytes/bytes.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

using bytes::get_le16;
using bytes::get_le32;
using bytes::put_le16;
using bytes::put_le32;

constexpr uint16_t SAMPLE_RASTER = 3; // channel-function outputs are computed for 10 ms

struct EventRow {
    uint8_t properties, maxDaqList, nameLength, cycle, unit, priority;
};
constexpr EventRow EVENTS[XCP_MAX_EVENT_CHANNEL] = {
    {0x04, 1, 0, 1, 8, 0x0C}, // 100 ms
    {0x04, 1, 0, 1, 7, 0x0D}, // 10 ms
    {0x04, 1, 0, 1, 6, 0x0E}, // 1 ms
    {0x04, 1, 0, 0, 0, 0x0F}, // not cyclic
};

bool lock(xcpCp* cp, const char* op) {
    if (semTake(cp->daqMutex, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_ERR, "%s: could not take daq semaphore (%s)", op, std::strerror(errno));
    return false;
}
// GENERIC when the mutex cannot be given back, else `result`.
uint8_t unlock(xcpCp* cp, const char* op, uint8_t result) {
    if (semGive(cp->daqMutex) == OK) return result;
    syslogx(LOG_ERR, "%s: could not give daq semaphore (%s)", op, std::strerror(errno));
    return XCP_ERR_GENERIC;
}

// Under the mutex.
void freeEntries(xcpOdt& odt) {
    for (int i = 0; i < odt.entryCount; ++i)
        if (odt.entries[i].written) seramMeasFreeMeas(&odt.entries[i].handle);
    delete[] odt.entries;
    odt.entries = nullptr, odt.entryCount = 0, odt.payload = 0;
}
void freeOdts(xcpDaqList& list) {
    for (int i = 0; i < list.odtCount; ++i)
        freeEntries(list.odts[i]);
    delete[] list.odts;
    list.odts = nullptr, list.odtCount = 0;
}
void unbind(xcpCp* cp, xcpDaqList& list) {
    if (list.event < XCP_MAX_EVENT_CHANNEL && cp->events[list.event].list == &list)
        cp->events[list.event].list = nullptr;
    list.event = XCP_EVENT_NONE;
}

uint8_t allocDaq(xcpCp* cp, uint16_t count) {
    if (cp->allocState != 0) return XCP_ERR_SEQUENCE;
    if (count > XCP_MAX_DAQ) return XCP_ERR_OUT_OF_RANGE;
    if (!lock(cp, "xcpAllocDAQ")) return XCP_ERR_GENERIC;
    for (uint16_t i = 0; i < XCP_MAX_DAQ; ++i) {
        cp->lists[i] = xcpDaqList{};
        cp->lists[i].number = i, cp->lists[i].event = XCP_EVENT_NONE;
    }
    cp->listCount = XCP_MAX_DAQ, cp->allocState = 1;
    return unlock(cp, "xcpAllocDAQ", XCP_OK);
}

uint8_t allocOdt(xcpCp* cp, uint16_t list, uint8_t count) {
    if (cp->allocState == 0) return XCP_ERR_SEQUENCE;
    if (list >= cp->listCount) return XCP_ERR_OUT_OF_RANGE;
    if (!lock(cp, "xcpAllocODT")) return XCP_ERR_GENERIC;
    xcpDaqList& l = cp->lists[list];
    freeOdts(l); // a second allocation replaces the first
    uint8_t e = XCP_OK;
    if (count) {
        l.odts = new (std::nothrow) xcpOdt[count]{};
        if (l.odts) {
            l.odtCount = count;
            for (int i = 0; i < count; ++i)
                l.odts[i].number = static_cast<uint8_t>(i);
        } else {
            syslogx(LOG_ERR, "xcpAllocODT: could not alloc ODT_List (%s)", std::strerror(errno));
            e = XCP_ERR_MEMORY_OVERFLOW;
        }
    }
    cp->allocState = 2;
    return unlock(cp, "xcpAllocODT", e);
}

uint8_t allocOdtEntry(xcpCp* cp, uint16_t list, uint8_t odt, uint8_t count) {
    if (cp->allocState < 2) return XCP_ERR_SEQUENCE;
    if (list >= cp->listCount || odt >= cp->lists[list].odtCount) return XCP_ERR_OUT_OF_RANGE;
    if (!lock(cp, "xcpAllocODTEntry")) return XCP_ERR_GENERIC;
    xcpOdt& o = cp->lists[list].odts[odt];
    freeEntries(o);
    uint8_t e = XCP_OK;
    if (count) {
        o.entries = new (std::nothrow) xcpOdtEntry[count]{};
        if (o.entries) {
            o.entryCount = count;
            for (int i = 0; i < count; ++i)
                o.entries[i].number = static_cast<uint8_t>(i);
        } else {
            syslogx(LOG_ERR, "xcpAllocODT: could not alloc ODT_List (%s)", std::strerror(errno));
            e = XCP_ERR_MEMORY_OVERFLOW;
        }
    }
    cp->allocState = 3;
    return unlock(cp, "xcpAllocODTEntry", e);
}

bool ptrValid(const xcpCp* cp) {
    return cp->ptrList < cp->listCount && cp->ptrOdt < cp->lists[cp->ptrList].odtCount &&
           cp->ptrEntry < cp->lists[cp->ptrList].odts[cp->ptrOdt].entryCount;
}

uint8_t setDaqPtr(xcpCp* cp, uint16_t list, uint8_t odt, uint8_t entry) {
    if (list >= cp->listCount || odt >= cp->lists[list].odtCount ||
        entry >= cp->lists[list].odts[odt].entryCount)
        return XCP_ERR_OUT_OF_RANGE;
    if (!lock(cp, "xcpSetDAQPtr")) return XCP_ERR_GENERIC;
    cp->ptrList = list, cp->ptrOdt = odt, cp->ptrEntry = entry;
    return unlock(cp, "xcpSetDAQPtr", XCP_OK);
}

uint8_t writeDaq(xcpCp* cp, uint8_t bitOffset, uint8_t size, uint8_t extension, uint32_t address) {
    // Only entries that were allocated: the pointer moves past the last one.
    if (!ptrValid(cp)) return XCP_ERR_OUT_OF_RANGE;
    const uint8_t e = xcpValidateMTA_Address(cp, extension, address);
    if (e != XCP_OK) return e;
    if (bitOffset != 0xFF) {
        SYSLOGX_GUARDED(LOG_ERR, "XCP WRITE_DAQ: Bit Offset not supported.");
        return XCP_ERR_OUT_OF_RANGE;
    }
    xcpOdt& odt = cp->lists[cp->ptrList].odts[cp->ptrOdt];
    xcpOdtEntry& entry = odt.entries[cp->ptrEntry];
    // An entry written again gives back what it held.
    const uint32_t payload = odt.payload - (entry.written ? entry.size : 0u);
    const uint32_t header = cp->ptrOdt == 0 ? XCP_ODT0_HEADER : XCP_ODT_HEADER;
    if (payload + size + header >= 256) return XCP_ERR_MEMORY_OVERFLOW;
    if (!lock(cp, "xcpWriteDAQ")) return XCP_ERR_GENERIC;
    // Sampled only within the object the address names; the entry stays as it was otherwise.
    seramMeasHandle handle{};
    seramMeasSetupMeas(address, SAMPLE_RASTER, &handle);
    if (!seramMeasFits(&handle, size)) {
        seramMeasFreeMeas(&handle);
        return unlock(cp, "xcpWriteDAQ", XCP_ERR_OUT_OF_RANGE);
    }
    if (entry.written) seramMeasFreeMeas(&entry.handle);
    odt.payload = static_cast<uint16_t>(payload + size);
    entry.handle = handle;
    entry.number = cp->ptrEntry, entry.address = address, entry.extension = extension, entry.size = size;
    entry.bitOffset = bitOffset, entry.written = true;
    cp->ptrEntry++;
    return unlock(cp, "xcpWriteDAQ", XCP_OK);
}

uint8_t setDaqListMode(xcpCp* cp, const uint8_t* p) {
    const uint16_t list = get_le16(p + 2), event = get_le16(p + 4);
    if (event >= XCP_MAX_EVENT_CHANNEL || list >= cp->listCount) return XCP_ERR_OUT_OF_RANGE;
    if (!lock(cp, "xcpSetDAQListMode")) return XCP_ERR_GENERIC;
    xcpDaqList& l = cp->lists[list];
    unbind(cp, l); // a list runs at one event only
    if (xcpDaqList* old = cp->events[event].list) old->event = XCP_EVENT_NONE;
    cp->events[event].list = &l;
    l.event = event, l.mode = p[1], l.prescaler = p[6], l.priority = p[7], l.state = XCP_DAQ_STOPPED;
    return unlock(cp, "xcpSetDAQListMode", XCP_OK);
}

uint8_t startStopDaqList(xcpCp* cp, uint8_t mode, uint16_t list) {
    if (mode > 2) return XCP_ERR_MODE_NOT_VALID;
    if (list >= cp->listCount) return XCP_ERR_OUT_OF_RANGE;
    if (!lock(cp, "xcpStartStopDAQList")) return XCP_ERR_GENERIC;
    cp->lists[list].state = mode, cp->lists[list].prescalerCounter = 0;
    return unlock(cp, "xcpStartStopDAQList", XCP_OK);
}

} // namespace

void xcpDaqInit(xcpCp* cp) {
    for (int i = 0; i < XCP_MAX_EVENT_CHANNEL; ++i) {
        const EventRow& r = EVENTS[i];
        cp->events[i] = {r.properties, r.maxDaqList, r.nameLength, r.cycle, r.unit, r.priority, nullptr};
    }
    for (auto& l : cp->lists)
        l = xcpDaqList{};
    cp->listCount = 0, cp->allocState = 0, cp->ptrList = 0, cp->ptrOdt = 0, cp->ptrEntry = 0;
}

uint32_t xcpDaqCommandLength(uint8_t code) {
    switch (code) {
    case XCP_CMD_GET_DAQ_PROCESSOR_INFO:
    case XCP_CMD_GET_DAQ_RESOLUTION_INFO:
    case XCP_CMD_GET_DAQ_CLOCK:
    case XCP_CMD_FREE_DAQ:
        return 1;
    case XCP_CMD_START_STOP_SYNCH:
        return 2;
    case XCP_CMD_GET_DAQ_LIST_INFO:
    case XCP_CMD_GET_DAQ_EVENT_INFO:
    case XCP_CMD_ALLOC_DAQ:
    case XCP_CMD_START_STOP_DAQ_LIST:
        return 4;
    case XCP_CMD_ALLOC_ODT:
        return 5;
    case XCP_CMD_ALLOC_ODT_ENTRY:
    case XCP_CMD_SET_DAQ_PTR:
        return 6;
    case XCP_CMD_WRITE_DAQ:
    case XCP_CMD_SET_DAQ_LIST_MODE:
        return 8;
    default:
        return 0;
    }
}

uint8_t xcpDaqCommand(xcpCp* cp, const uint8_t* p, uint32_t, uint8_t* r, uint32_t* len) {
    switch (p[0]) {
    case XCP_CMD_GET_DAQ_PROCESSOR_INFO:
        r[1] = XCP_DAQ_PROPERTIES, put_le16(r + 2, XCP_MAX_DAQ), put_le16(r + 4, XCP_MAX_EVENT_CHANNEL);
        r[6] = XCP_MIN_DAQ, r[7] = XCP_DAQ_KEY_BYTE, *len = 8;
        return XCP_OK;
    case XCP_CMD_GET_DAQ_RESOLUTION_INFO:
        r[1] = 1, r[2] = XCP_MAX_ODT_ENTRY_SIZE, r[3] = 1, r[4] = XCP_MAX_ODT_ENTRY_SIZE;
        r[5] = XCP_TIMESTAMP_MODE, put_le16(r + 6, XCP_TIMESTAMP_TICKS), *len = 8;
        return XCP_OK;
    case XCP_CMD_GET_DAQ_LIST_INFO:
        if (get_le16(p + 2) >= XCP_MAX_DAQ) return XCP_ERR_OUT_OF_RANGE;
        r[1] = 0x06, r[2] = XCP_MAX_ODT, r[3] = XCP_MAX_ODT_ENTRIES, put_le16(r + 4, 0), *len = 6;
        return XCP_OK;
    case XCP_CMD_GET_DAQ_EVENT_INFO: {
        const uint16_t ev = get_le16(p + 2);
        if (ev >= XCP_MAX_EVENT_CHANNEL) return XCP_ERR_OUT_OF_RANGE;
        const xcpEvent& e = cp->events[ev];
        r[1] = e.properties, r[2] = e.maxDaqList, r[3] = 0, r[4] = e.cycle, r[5] = e.unit, r[6] = e.priority;
        *len = 7;
        return XCP_OK;
    }
    case XCP_CMD_GET_DAQ_CLOCK:
        r[1] = r[2] = r[3] = 0, put_le32(r + 4, static_cast<uint32_t>(time_get_time_100us())), *len = 8;
        return XCP_OK;
    case XCP_CMD_FREE_DAQ:
        return xcpFreeDAQ(cp);
    case XCP_CMD_ALLOC_DAQ:
        return allocDaq(cp, get_le16(p + 2));
    case XCP_CMD_ALLOC_ODT:
        return allocOdt(cp, get_le16(p + 2), p[4]);
    case XCP_CMD_ALLOC_ODT_ENTRY:
        return allocOdtEntry(cp, get_le16(p + 2), p[4], p[5]);
    case XCP_CMD_SET_DAQ_PTR:
        return setDaqPtr(cp, get_le16(p + 2), p[4], p[5]);
    case XCP_CMD_WRITE_DAQ:
        return writeDaq(cp, p[1], p[2], p[3], get_le32(p + 4));
    case XCP_CMD_SET_DAQ_LIST_MODE:
        return setDaqListMode(cp, p);
    case XCP_CMD_START_STOP_DAQ_LIST: {
        const uint8_t e = startStopDaqList(cp, p[1], get_le16(p + 2));
        if (e == XCP_OK) r[1] = 0, *len = 2; // FIRST_PID
        return e;
    }
    case XCP_CMD_START_STOP_SYNCH:
        if (p[1] > 2) return XCP_ERR_OUT_OF_RANGE;
        return xcpStartStopSynch(cp, p[1]);
    default:
        return XCP_ERR_CMD_UNKNOWN;
    }
}

uint8_t xcpFreeDAQ(xcpCp* cp) {
    if (!lock(cp, "xcpFreeDAQ")) return XCP_ERR_GENERIC;
    for (auto& e : cp->events)
        e.list = nullptr;
    for (int i = 0; i < cp->listCount; ++i) {
        freeOdts(cp->lists[i]);
        cp->lists[i] = xcpDaqList{};
    }
    cp->listCount = 0, cp->allocState = 0, cp->ptrList = 0, cp->ptrOdt = 0, cp->ptrEntry = 0;
    return unlock(cp, "xcpFreeDAQ", XCP_OK);
}

uint8_t xcpStartStopSynch(xcpCp* cp, uint8_t mode) {
    if (!lock(cp, "xcpStartStopSynch")) return XCP_ERR_GENERIC;
    for (int i = 0; i < cp->listCount; ++i) {
        xcpDaqList& l = cp->lists[i];
        if (mode == 0)
            l.state = XCP_DAQ_STOPPED;
        else if (l.state == XCP_DAQ_SELECTED)
            l.state = mode == 1 ? XCP_DAQ_RUNNING : XCP_DAQ_STOPPED;
    }
    if (mode == 1)
        cp->sessionStatus |= XCP_SESSION_DAQ_RUNNING;
    else
        cp->sessionStatus &= static_cast<uint8_t>(~XCP_SESSION_DAQ_RUNNING);
    const uint8_t e = unlock(cp, "xcpStartStopSynch", XCP_OK);
    if (mode != 1) xcpEthDtoFlush(cp);
    return e;
}

void xcpSendCpDAQ(xcpCp* cp, int event) {
    if (event < 0 || event >= XCP_MAX_EVENT_CHANNEL || !cp->daqMutex) return;
    if (!lock(cp, "xcpSendCpDAQ")) return;
    xcpDaqList* l = cp->events[event].list;
    if (l && l->state == XCP_DAQ_RUNNING) {
        const bool due = l->prescalerCounter == 0;
        l->prescalerCounter =
            l->prescaler <= 1 ? 0 : static_cast<uint8_t>((l->prescalerCounter + 1) % l->prescaler);
        // The cycle's DTOs, one per ODT up to the first without entries, in one piece of the buffer.
        uint32_t bytes = 0, count = 0;
        for (; due && count < l->odtCount && l->odts[count].entryCount; ++count)
            bytes += XCP_FRAME_HEADER + (count ? XCP_ODT_HEADER : XCP_ODT0_HEADER) + l->odts[count].payload;
        uint8_t* f = count ? xcpEthDtoSpace(cp, bytes) : nullptr;
        for (uint32_t i = 0; f && i < count; ++i) {
            const xcpOdt& odt = l->odts[i];
            uint8_t* p = f + XCP_FRAME_HEADER;
            p[0] = odt.number;
            put_le16(p + 1, l->number);
            uint32_t n = XCP_ODT_HEADER;
            if (i == 0) put_le32(p + 3, static_cast<uint32_t>(time_get_time_100us())), n = XCP_ODT0_HEADER;
            for (int k = 0; k < odt.entryCount; ++k) {
                const xcpOdtEntry& e = odt.entries[k];
                if (!e.written) continue;
                seramMeasCopy(p + n, e.size, &e.handle);
                n += e.size;
            }
            put_le16(f, static_cast<uint16_t>(n)); // LEN; the transmit task writes the CTR
            f += XCP_FRAME_HEADER + n;
        }
        if (f) {
            xcpEthDtoSend(cp, bytes, event != XCP_PACKED_EVENT);
        } else if (count) {
            xcpEthDtoLost(cp, count);
            SYSLOGX_GUARDED(LOG_ERR, "xcpSendCpDAQ(): msgQSend Error (%s)", std::strerror(errno));
        }
    }
    unlock(cp, "xcpSendCpDAQ", XCP_OK);
}
