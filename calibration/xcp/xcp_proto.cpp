// XCP slave protocol: the command processor of a connection point. Packets come from the
// transport's receive task; responses, events and DTOs leave through the transmit queue.
#include "calibration/xcp/xcp_private.h"

#include "calibration/diag/diag.h"
#include "calibration/memory/seram.h"
#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

xcpCp xcpCps[XCP_CP_COUNT];

namespace {

using bytes::get_le16;
using bytes::get_le32;

constexpr uint8_t XCP_NO_ANSWER = 0xFE; // internal: the command sends nothing
constexpr uint8_t MTA_PID_ANY = 10;     // besides the own PID, addresses may carry PID 10

std::atomic<uint8_t> ownPid{0};
std::atomic<bool> noReconnect{false};
std::atomic<bool> shutdownNow{false};
std::atomic<int> cpCount{0};
uint8_t commsReset; // the force-disconnect switch
std::atomic<const xcpAppHooks*> appHooks{nullptr};

struct Page {
    uint8_t number;
    uint8_t properties;
    uint32_t address;
    uint32_t size;
};
// ECU access with XCP, XCP read access with ECU; the working page also XCP write access.
constexpr Page PAGES[XCP_MAX_PAGES] = {{0, 0x0A, 0x00000, 0x20000}, {1, 0x2A, 0x20000, 0x20000}};

// The standard command names from the lowest code (PROGRAM_VERIFY) up to CONNECT.
constexpr uint8_t FIRST_COMMAND = 0xC8;
const char* const COMMAND_NAMES[] = {"PROGRAM_VERIFY",
                                     "PROGRAM_MAX",
                                     "PROGRAM_NEXT",
                                     "PROGRAM_FORMAT",
                                     "PROGRAM_PREPARE",
                                     "GET_SECTOR_INFO",
                                     "GET_PGM_PROCESSOR_INFO",
                                     "PROGRAM_RESET",
                                     "PROGRAM",
                                     "PROGRAM_CLEAR",
                                     "PROGRAM_START",
                                     "ALLOC_ODT_ENTRY",
                                     "ALLOC_ODT",
                                     "ALLOC_DAQ",
                                     "FREE_DAQ",
                                     "GET_DAQ_EVENT_INFO",
                                     "GET_DAQ_LIST_INFO",
                                     "GET_DAQ_RESOLUTION_INFO",
                                     "GET_DAQ_PROCESSOR_INFO",
                                     "READ_DAQ",
                                     "GET_DAQ_CLOCK",
                                     "START_STOP_SYNCH",
                                     "START_STOP_DAQ_LIST",
                                     "GET_DAQ_LIST_MODE",
                                     "SET_DAQ_LIST_MODE",
                                     "WRITE_DAQ",
                                     "SET_DAQ_PTR",
                                     "CLEAR_DAQ_LIST",
                                     "COPY_CAL_PAGE",
                                     "GET_SEGMENT_MODE",
                                     "SET_SEGMENT_MODE",
                                     "GET_PAGE_INFO",
                                     "GET_SEGMENT_INFO",
                                     "GET_PAG_PROCESSOR_INFO",
                                     "GET_CAL_PAGE",
                                     "SET_CAL_PAGE",
                                     "MODIFY_BITS",
                                     "SHORT_DOWNLOAD",
                                     "DOWNLOAD_MAX",
                                     "DOWNLOAD_NEXT",
                                     "DOWNLOAD",
                                     "USER_CMD",
                                     "TRANSPORT_LAYER_CMD",
                                     "BUILD_CHECKSUM",
                                     "SHORT_UPLOAD",
                                     "UPLOAD",
                                     "SET_MTA",
                                     "UNLOCK",
                                     "GET_SEED",
                                     "SET_REQUEST",
                                     "GET_ID",
                                     "GET_COMM_MODE_INFO",
                                     "SYNCH",
                                     "GET_STATUS",
                                     "DISCONNECT",
                                     "CONNECT"};
static_assert(sizeof COMMAND_NAMES / sizeof *COMMAND_NAMES == 0x100 - FIRST_COMMAND);

// The response being built: 0xFF, then the bytes put.
struct Response {
    xcpTxItem& item;
    void put8(uint8_t v) { item.packet[item.length++] = v; }
    void put16(uint16_t v) { bytes::put_le16(item.packet + item.length, v), item.length += 2; }
    void put32(uint32_t v) { bytes::put_le32(item.packet + item.length, v), item.length += 4; }
};

// Moves an address of the segment's window onto the page selected for ECU access.
uint32_t xcpAddressConv(const xcpCp* cp, uint32_t address) {
    uint32_t a = address & 0xFFFFFF;
    if (a >= XCP_SEGMENT_ADDR && a < XCP_SEGMENT_ADDR + XCP_SEGMENT_SIZE)
        a += PAGES[cp->ecuPage].address - XCP_SEGMENT_ADDR;
    return a;
}

bool xcpReadMem(uint32_t address, void* dst, uint32_t n) {
    return diagService_read(address, dst, n) || seramReadMemory(dst, address, n);
}
bool xcpWriteMem(uint32_t address, const void* src, uint32_t n) {
    return diagService_store(address, src, n) || seramDownload(address, src, n);
}

// ---- master present ----------------------------------------------------------------------

void xcpMasterPresentTimeout(OS_TIMER_ID, intptr_t arg) {
    auto* cp = reinterpret_cast<xcpCp*>(arg);
    cp->masterPresent = 0;
    if (__atomic_load_n(&commsReset, __ATOMIC_ACQUIRE)) {
        SYSLOGX_RATE_GUARDED(LOG_NOTICE, "XCP: Force Disconnect");
        // The disconnect frees the DAQ lists: the receive task runs it between two commands.
        cp->disconnectPending = true;
        xcpEthWake(cp);
    }
    SYSLOGX_RATE_GUARDED(LOG_WARN, "XCP: TIMEOUT on instance number %d", static_cast<int>(cp->number));
}

void cancelTimer(xcpCp* cp) {
    const OS_TIMER_ID t = cp->mpTimer;
    if (t && osTimerCancel(t) != OK) syslogx(LOG_ERR, "XCP: timer_cancel failed!");
    cp->masterPresent = 0;
}

void armTimer(xcpCp* cp) {
    if (!(cp->resource & 0x01)) return;
    OS_TIMER_ID t = cp->mpTimer;
    if (cp->mpTimerFailed) {
        SYSLOGX_GUARDED(LOG_ERR, "XCP: timer error: master present will not be released");
    } else {
        if (!t) {
            t = osTimerCreate(xcpMasterPresentTimeout, reinterpret_cast<intptr_t>(cp));
            if (t) {
                SYSLOGX_RATE_GUARDED(LOG_INFO, "XCP: master present timeout timer setup done");
            } else {
                syslogx(LOG_ERR, "XCP: timer_create failed! errno %x", static_cast<unsigned>(errno));
                cp->mpTimerFailed = true;
            }
            cp->mpTimer = t;
        }
        if (t) {
            if (osTimerCancel(t) != OK) syslogx(LOG_ERR, "XCP: timer_cancel failed!");
            if (osTimerStart(t, static_cast<int>(XCP_MASTER_PRESENT_TIMEOUT_S) * sysClkRateGet(), 0) != OK) {
                syslogx(LOG_ERR, "XCP: timer_settime failed! errno %x", static_cast<unsigned>(errno));
                cp->mpTimerFailed = true;
            }
        }
    }
    cp->masterPresent = 1;
}

// ---- session -----------------------------------------------------------------------------

void xcpProtocolReset(xcpCp* cp) {
    if (semTake(cp->daqMutex, WAIT_FOREVER) != OK)
        syslogx(LOG_ERR, "xcpProtocolReset: could not take daq semaphore (%s)", std::strerror(errno));
    cp->state = 0;
    cp->sessionStatus = 0;
    cp->allocState = 0;
    if (semGive(cp->daqMutex) != OK)
        syslogx(LOG_ERR, "xcpProtocolReset: could not give daq semaphore (%s)", std::strerror(errno));
}

void xcpDisconnect(xcpCp* cp) {
    xcpProtocolReset(cp);
    cancelTimer(cp);
    xcpFreeDAQ(cp);
    SYSLOGX_RATE_GUARDED(LOG_INFO, "XCP: DISCONNECTED");
}

void xcpConnect(xcpCp* cp) {
    cp->state = 2;
    xcpEthReset(cp);
    cancelTimer(cp);
    SYSLOGX_RATE_GUARDED(LOG_INFO, "XCP: CONNECTED");
}

void connectCommand(xcpCp* cp, uint8_t mode, xcpTxItem& item) {
    if (mode != 0) {
        SYSLOGX_GUARDED(LOG_ERR, "XCP Connect: User defined mode not supported");
        return;
    }
    // A CONNECT of a connected session ends it first: its DAQ lists stop and are freed.
    if (cp->state == 2) xcpDisconnect(cp);
    xcpConnect(cp);
    Response r{item};
    r.put8(cp->resource), r.put8(XCP_COMM_MODE_BASIC), r.put8(XCP_MAX_CTO), r.put16(XCP_MAX_DTO);
    r.put8(XCP_PROTOCOL_VERSION), r.put8(XCP_TRANSPORT_VERSION);
    xcpTxFrame(cp, &item);
}

void xcpStoreCalReqCallback(int result, intptr_t arg) {
    auto* cp = reinterpret_cast<xcpCp*>(arg);
    SYSLOGX_RATE_GUARDED(LOG_INFO, "xcpStoreCalReqCallback called, result is 0x%08x",
                         static_cast<unsigned>(result));
    cp->sessionStatus &= static_cast<uint8_t>(~XCP_SESSION_STORE_CAL_REQ);
    taskDelay(sysClkRateGet());
    startPostrun();
}

uint8_t xcpStoreCalReq(xcpCp* cp) {
    if (!(cp->segmentMode & 0x01)) return XCP_ERR_OUT_OF_RANGE;
    const xcpAppHooks* hooks = appHooks.load();
    if (hooks && hooks->stopChannelFunctions) hooks->stopChannelFunctions();
    cp->sessionStatus |= XCP_SESSION_STORE_CAL_REQ;
    if (hooks && hooks->lockRemoteInit) hooks->lockRemoteInit();
    noReconnect = true;
    uint8_t e = XCP_OK;
    if (!seramCopyPage(PAGES[0].address, PAGES[1].address, PAGES[1].size))
        e = XCP_ERR_ACCESS_DENIED;
    else if (!seramCopyRefToFlashpage(xcpStoreCalReqCallback, reinterpret_cast<intptr_t>(cp)))
        e = XCP_ERR_GENERIC;
    if (e != XCP_OK) { // no store runs: the session goes on
        cp->sessionStatus &= static_cast<uint8_t>(~XCP_SESSION_STORE_CAL_REQ);
        noReconnect = false;
    }
    return e;
}

// ---- paging ------------------------------------------------------------------------------

uint8_t xcpSetCalPage(xcpCp* cp, uint8_t mode, uint8_t segment, uint8_t page) {
    if (!(cp->resource & 0x01)) return XCP_ERR_GENERIC;
    if (segment >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    if (page >= XCP_MAX_PAGES) return XCP_ERR_PAGE_NOT_VALID;
    if (mode & 0x01) {
        const uint32_t a = PAGES[page].address;
        if (seramVirtualAddrIsRefpage(a))
            seramSetRefpageActive();
        else if (seramVirtualAddrIsWorkpage(a))
            seramSetWorkpageActive();
        else
            return XCP_ERR_PAGE_NOT_VALID;
        cp->ecuPage = page;
    }
    if (mode & 0x02) cp->xcpPage = page;
    return XCP_OK;
}

uint8_t xcpCopyCalPage(const uint8_t* p) {
    const uint8_t srcSeg = p[1], srcPage = p[2], dstSeg = p[3], dstPage = p[4];
    if (srcSeg >= XCP_MAX_SEGMENT || dstSeg >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    if (srcPage >= XCP_MAX_PAGES || dstPage >= XCP_MAX_PAGES) return XCP_ERR_PAGE_NOT_VALID;
    if (dstPage == 0) return XCP_ERR_WRITE_PROTECTED;
    if (srcPage == dstPage) return XCP_OK;
    const Page &from = PAGES[srcPage], &to = PAGES[dstPage];
    if (!seramCopyPage(to.address, from.address, from.size)) {
        syslogx(
            LOG_ERR,
            "xcpCopyCalPage(): seramCopyPage returned FALSE: address from 0x%x, address to: 0x%x size: 0x%x",
            from.address, to.address, from.size);
        return XCP_ERR_ACCESS_DENIED;
    }
    return XCP_OK;
}

// ---- connected state ---------------------------------------------------------------------
// One handler per command: XCP_OK with the response bytes put after 0xFF, or the error code.

uint8_t disconnect(xcpCp*, const uint8_t*, uint32_t, Response&) {
    return XCP_OK; // answered, then done by the caller
}

uint8_t getStatus(xcpCp* cp, const uint8_t*, uint32_t, Response& r) {
    r.put8(cp->sessionStatus), r.put8(0), r.put8(0), r.put16(cp->sessionConfigId);
    return XCP_OK;
}

uint8_t synch(xcpCp*, const uint8_t*, uint32_t, Response& r) {
    r.item.packet[0] = XCP_PID_ERR, r.item.packet[1] = XCP_ERR_CMD_SYNCH, r.item.length = 2;
    return XCP_OK;
}

uint8_t getCommModeInfo(xcpCp*, const uint8_t*, uint32_t, Response& r) {
    r.put8(0), r.put8(XCP_COMM_MODE_OPTIONAL), r.put8(0), r.put8(0), r.put8(0), r.put8(0);
    r.put8(XCP_DRIVER_VERSION);
    return XCP_OK;
}

uint8_t getId(xcpCp*, const uint8_t* p, uint32_t, Response& r) {
    const char* text;
    switch (p[1]) {
    case 0:
        text = "VYN";
        break;
    case 1:
        text = seramGetEPKPtr();
        break;
    case 3:
        text = "www.example.com";
        break;
    case 2:
    case 4:
        text = "";
        break;
    default:
        return XCP_ERR_OUT_OF_RANGE;
    }
    const uint32_t len = static_cast<uint32_t>(strnlen(text, 255 - 8));
    r.put8(0x01), r.put8(0), r.put8(0), r.put32(len);
    std::memcpy(r.item.packet + r.item.length, text, len);
    r.item.length += len;
    return XCP_OK;
}

uint8_t setRequest(xcpCp* cp, const uint8_t* p, uint32_t, Response&) {
    if (p[1] != 0x01) return XCP_ERR_OUT_OF_RANGE;
    if (cp->sessionStatus & XCP_SESSION_STORE_CAL_REQ) return XCP_ERR_CMD_BUSY;
    const uint8_t e = xcpStoreCalReq(cp);
    if (e == XCP_OK) cp->sessionConfigId = get_le16(p + 2);
    return e;
}

uint8_t getSeed(xcpCp*, const uint8_t*, uint32_t, Response& r) {
    const uint32_t seed = static_cast<uint32_t>(std::rand());
    r.put8(4), r.put32(seed);
    return XCP_OK;
}

uint8_t unlock(xcpCp*, const uint8_t*, uint32_t, Response& r) {
    r.put8(0);
    return XCP_OK;
}

uint8_t setMta(xcpCp* cp, const uint8_t* p, uint32_t, Response&) {
    const uint8_t e = xcpValidateMTA_Address(cp, p[3], get_le32(p + 4));
    if (e != XCP_OK) return e;
    cp->mta = xcpAddressConv(cp, get_le32(p + 4)), cp->mtaExt = p[3];
    return XCP_OK;
}

uint8_t upload(xcpCp* cp, const uint8_t* p, uint32_t, Response& r) {
    const uint8_t size = p[1];
    if (size == 0xFF) return XCP_ERR_OUT_OF_RANGE;
    if (!xcpReadMem(cp->mta, r.item.packet + 1, size)) return XCP_ERR_ACCESS_LOCKED;
    r.item.length += size, cp->mta += size;
    return XCP_OK;
}

uint8_t shortUpload(xcpCp* cp, const uint8_t* p, uint32_t, Response& r) {
    const uint8_t e = xcpValidateMTA_Address(cp, p[3], get_le32(p + 4));
    if (e != XCP_OK) return e;
    const uint8_t size = p[1];
    if (size == 0xFF) {
        SYSLOGX_GUARDED(LOG_ERR, "xcpShortUpload(): size out of range of CTO: size: 0x%x, MAX_CTO: 0x%x",
                        size, XCP_MAX_CTO);
        return XCP_ERR_OUT_OF_RANGE;
    }
    const uint32_t a = xcpAddressConv(cp, get_le32(p + 4));
    if (!xcpReadMem(a, r.item.packet + 1, size)) return XCP_ERR_ACCESS_LOCKED;
    r.item.length += size, cp->mta = a + size, cp->mtaExt = p[3];
    return XCP_OK;
}

uint8_t buildChecksum(xcpCp* cp, const uint8_t* p, uint32_t, Response& r) {
    // The block from the MTA must end inside the memory.
    const uint32_t size = get_le32(p + 4);
    if (uint64_t{cp->mta} + size > SERAM_BLOCK_SIZE ||
        !seramVirtualAddrRangeIsReadAccessAllowed(cp->mta, size))
        return XCP_ERR_OUT_OF_RANGE;
    const uint16_t crc = seramBuildChksum(cp->mta, size);
    r.put8(0x08), r.put8(0), r.put8(0), r.put32(crc);
    cp->mta += size;
    return XCP_OK;
}

uint8_t userCmd(xcpCp* cp, const uint8_t* p, uint32_t, Response& r) { // the diagnostic services
    if (p[1] != 0x20) {
        SYSLOGX_GUARDED(LOG_ERR, "xcpStateConnected(): diagService() sub_command %#x not supported", p[1]);
        return XCP_ERR_CMD_SYNTAX;
    }
    uint32_t upl = 0, dwn = 0;
    uint8_t length = 0, second = 0;
    if (diagService(get_le16(p + 2), p + 4, &upl, &length, &second, &dwn) != 0) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "xcpStateConnected(): diagService() with serviceNumber %#x returned an error",
                        get_le16(p + 2));
        return XCP_ERR_CMD_SYNTAX;
    }
    cp->mta = dwn ? dwn : upl, cp->mtaExt = 0;
    r.put8(length), r.put8(second);
    return XCP_OK;
}

uint8_t download(xcpCp* cp, const uint8_t* p, uint32_t n, Response&) {
    if (!(cp->resource & 0x01)) return XCP_ERR_GENERIC;
    const uint8_t size = p[1];
    if (size >= 0xFE) return XCP_ERR_OUT_OF_RANGE;
    if (n < 2u + size) return XCP_ERR_CMD_SYNTAX;
    if (!xcpWriteMem(cp->mta, p + 2, size)) return XCP_ERR_ACCESS_DENIED;
    cp->mta += size;
    return XCP_OK;
}

uint8_t shortDownload(xcpCp* cp, const uint8_t* p, uint32_t n, Response&) {
    if (!(cp->resource & 0x01)) return XCP_ERR_GENERIC;
    const uint8_t e = xcpValidateMTA_Address(cp, p[3], get_le32(p + 4));
    if (e != XCP_OK) return e;
    const uint8_t size = p[1];
    if (size >= 0xF8) return XCP_ERR_OUT_OF_RANGE;
    if (n < 8u + size) return XCP_ERR_CMD_SYNTAX;
    const uint32_t a = xcpAddressConv(cp, get_le32(p + 4));
    if (!xcpWriteMem(a, p + 8, size)) return XCP_ERR_ACCESS_DENIED;
    cp->mta = a + size, cp->mtaExt = p[3];
    return XCP_OK;
}

uint8_t setCalPage(xcpCp* cp, const uint8_t* p, uint32_t, Response&) {
    return xcpSetCalPage(cp, p[1], p[2], p[3]);
}

uint8_t getCalPage(xcpCp* cp, const uint8_t* p, uint32_t, Response& r) {
    if (!(cp->resource & 0x01)) return XCP_ERR_GENERIC;
    if (p[2] >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    if (p[1] != 1 && p[1] != 2) return XCP_ERR_MODE_NOT_VALID;
    r.put8(0), r.put8(0), r.put8(p[1] == 1 ? cp->ecuPage : cp->xcpPage);
    return XCP_OK;
}

uint8_t getPagProcessorInfo(xcpCp*, const uint8_t*, uint32_t, Response& r) {
    r.put8(XCP_MAX_SEGMENT), r.put8(XCP_PAG_PROPERTIES);
    return XCP_OK;
}

uint8_t getSegmentInfo(xcpCp*, const uint8_t* p, uint32_t, Response& r) {
    if (p[2] >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    if (p[1] == 0) {
        r.put8(0), r.put8(0), r.put8(0);
        r.put32(p[3] == 0 ? static_cast<uint32_t>(ownPid.load()) << 24 | XCP_SEGMENT_ADDR : XCP_SEGMENT_SIZE);
        return XCP_OK;
    }
    if (p[1] != 1) return XCP_ERR_OUT_OF_RANGE;
    r.put8(XCP_MAX_PAGES), r.put8(0), r.put8(0), r.put8(0), r.put8(0);
    return XCP_OK;
}

uint8_t getPageInfo(xcpCp*, const uint8_t* p, uint32_t, Response& r) {
    if (p[2] >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    if (p[3] >= XCP_MAX_PAGES) return XCP_ERR_PAGE_NOT_VALID;
    r.put8(PAGES[p[3]].properties), r.put8(0), r.put8(0);
    return XCP_OK;
}

uint8_t setSegmentMode(xcpCp* cp, const uint8_t* p, uint32_t, Response&) {
    if (p[2] >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    cp->segmentMode = p[1];
    return XCP_OK;
}

uint8_t getSegmentMode(xcpCp* cp, const uint8_t* p, uint32_t, Response& r) {
    if (p[2] >= XCP_MAX_SEGMENT) return XCP_ERR_SEGMENT_NOT_VALID;
    r.put8(0), r.put8(cp->segmentMode);
    return XCP_OK;
}

uint8_t copyCalPage(xcpCp*, const uint8_t* p, uint32_t, Response&) {
    return xcpCopyCalPage(p);
}

// The DAQ engine's commands: their lengths and handling are its own.
uint8_t daqCommand(xcpCp* cp, const uint8_t* p, uint32_t n, Response& r) {
    uint32_t length = r.item.length;
    const uint8_t e = xcpDaqCommand(cp, p, n, r.item.packet, &length);
    r.item.length = length;
    return e;
}

struct Command {
    uint8_t code;
    uint8_t length; // of the request, command code included; longer requests are served
    uint8_t (*run)(xcpCp* cp, const uint8_t* p, uint32_t n, Response& r);
};
constexpr Command COMMANDS[] = {
    {XCP_CMD_CONNECT, 2, nullptr}, // may send nothing: served before the table
    {XCP_CMD_DISCONNECT, 1, disconnect},
    {XCP_CMD_GET_STATUS, 1, getStatus},
    {XCP_CMD_SYNCH, 1, synch},
    {XCP_CMD_GET_COMM_MODE_INFO, 1, getCommModeInfo},
    {XCP_CMD_GET_ID, 2, getId},
    {XCP_CMD_SET_REQUEST, 4, setRequest},
    {XCP_CMD_GET_SEED, 1, getSeed},
    {XCP_CMD_UNLOCK, 1, unlock},
    {XCP_CMD_SET_MTA, 8, setMta},
    {XCP_CMD_UPLOAD, 2, upload},
    {XCP_CMD_SHORT_UPLOAD, 8, shortUpload},
    {XCP_CMD_BUILD_CHECKSUM, 8, buildChecksum},
    {XCP_CMD_USER_CMD, 4, userCmd},
    {XCP_CMD_DOWNLOAD, 2, download}, // and its data
    {XCP_CMD_SHORT_DOWNLOAD, 8, shortDownload},
    {XCP_CMD_SET_CAL_PAGE, 4, setCalPage},
    {XCP_CMD_GET_CAL_PAGE, 3, getCalPage},
    {XCP_CMD_GET_PAG_PROCESSOR_INFO, 1, getPagProcessorInfo},
    {XCP_CMD_GET_SEGMENT_INFO, 4, getSegmentInfo},
    {XCP_CMD_GET_PAGE_INFO, 4, getPageInfo},
    {XCP_CMD_SET_SEGMENT_MODE, 3, setSegmentMode},
    {XCP_CMD_GET_SEGMENT_MODE, 3, getSegmentMode},
    {XCP_CMD_COPY_CAL_PAGE, 5, copyCalPage},
};

// The command's row; a DAQ command gets a row of its own length, an unknown code length 0.
Command commandOf(uint8_t code) {
    for (const Command& c : COMMANDS)
        if (c.code == code) return c;
    return {code, static_cast<uint8_t>(xcpDaqCommandLength(code)), daqCommand};
}

void xcpStateConnected(xcpCp* cp, const uint8_t* p, uint32_t n) {
    xcpTxItem item{};
    item.kind = XCP_TX_CTO, item.packet[0] = XCP_PID_RES, item.length = 1;
    const uint8_t cmd = p[0];
    const Command command = commandOf(cmd);
    if (command.length == 0) { // unknown commands leave the master-present timer alone
        xcpTxCTOErr(cp, &item, cmd, XCP_ERR_CMD_UNKNOWN);
        return;
    }
    uint8_t e;
    if (n < command.length)
        e = XCP_ERR_CMD_SYNTAX;
    else if (cmd == XCP_CMD_CONNECT)
        e = noReconnect ? XCP_NO_ANSWER : (connectCommand(cp, p[1], item), XCP_NO_ANSWER);
    else {
        Response r{item};
        e = command.run(cp, p, n, r);
    }
    if (e == XCP_OK)
        xcpTxFrame(cp, &item);
    else if (e != XCP_NO_ANSWER)
        xcpTxCTOErr(cp, &item, cmd, e);
    if (cmd == XCP_CMD_DISCONNECT && e == XCP_OK) xcpDisconnect(cp);
    armTimer(cp);
}

} // namespace

// ---- entry points ----------------------------------------------------------------------------

void xcpSetAppHooks(const xcpAppHooks* hooks) {
    appHooks = hooks;
    diagService_setFileCounts(hooks ? hooks->maxFileCount[0] : nullptr,
                              hooks ? hooks->maxFileCount[1] : nullptr,
                              hooks ? hooks->maxFileCount[2] : nullptr);
}

int xcpProtocolLayerInit(xcpCp* cp, uint32_t number) {
    cp->daqMutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!cp->daqMutex) {
        syslogx(LOG_ERR, "xcpDAQMutexInit(): semMCreate request failed for cpNum %d",
                static_cast<int>(number));
        return 1;
    }
    cp->number = number;
    cp->eth = nullptr;
    cp->resource = number == 0 ? XCP_RESOURCE_CP0 : XCP_RESOURCE_CP0 & ~0x01;
    cp->sessionConfigId = 0;
    cp->mpTimer = nullptr, cp->mpTimerFailed = false, cp->masterPresent = 0, cp->disconnectPending = false;
    xcpDaqInit(cp);
    xcpProtocolReset(cp);
    cp->mta = 0, cp->mtaExt = 0, cp->ecuPage = 0, cp->xcpPage = 0, cp->segmentMode = 0;
    xcpSetCalPage(cp, 0x83, 0, 0);
    cp->txQueue = msgQCreate(XCP_TX_QUEUE_ITEMS, sizeof(xcpTxItem), MSG_Q_PRIORITY);
    if (!cp->txQueue) {
        syslogx(LOG_ERR, "xcpQueueInit(): Failed to create Queue for cpNum %d", static_cast<int>(number));
        return 1;
    }
    return 0;
}

int xcpInitialize() {
    noReconnect = false, shutdownNow = false;
    ownPid = AppMan_getPID();
    const uint16_t port = AppMan_getXCPPort();
    if (xcpProtocolLayerInit(&xcpCps[0], 0) != 0 || xcpEthInit(&xcpCps[0], 0, port) != 0) return 1;
    cpCount = 1;
    return 0;
}

int xcpCommandProcessor(xcpCp* cp, const uint8_t* p, uint32_t n) {
    if (shutdownNow || n < 1) return 0;
    xcpCommandProcessorIdle(cp);
    switch (cp->state.load()) {
    case 0: // only CONNECT is heard
        if (p[0] == XCP_CMD_CONNECT && n >= 2 && !noReconnect) {
            xcpTxItem item{};
            item.kind = XCP_TX_CTO, item.packet[0] = XCP_PID_RES, item.length = 1;
            connectCommand(cp, p[1], item);
        }
        break;
    case 2:
        xcpStateConnected(cp, p, n);
        break;
    default:
        xcpProtocolReset(cp);
    }
    return 0;
}

void xcpCommandProcessorIdle(xcpCp* cp) {
    if (cp->disconnectPending.exchange(false) && cp->state == 2 && !shutdownNow) xcpDisconnect(cp);
}

uint8_t xcpValidateMTA_Address(const xcpCp*, uint8_t extension, uint32_t address) {
    if (extension != 0) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "xcpValidateMTA_Address(): Address-Extension not supported: address_extension: 0x%x, "
                        "virtual address (with PID): 0x%x",
                        extension, address);
        return XCP_ERR_OUT_OF_RANGE;
    }
    const uint32_t pid = address >> 24;
    if (pid != ownPid && pid != MTA_PID_ANY) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "xcpValidateMTA_Address(): PID not valid: 0x%x, virtual address (with PID): 0x%x",
                        pid, address);
        return XCP_ERR_OUT_OF_RANGE;
    }
    return XCP_OK;
}

int xcpTxFrame(xcpCp* cp, const xcpTxItem* item, std::atomic<uint8_t>& guard, const char* failText,
               int ticks) {
    if (msgQSend(cp->txQueue, item, sizeof *item, ticks, MSG_PRI_NORMAL) == OK) return 1;
    const int e = errno;
    if (syslogx_floodcheck(&guard)) syslogx(LOG_ERR, "%s: %s", failText, std::strerror(e));
    return 0;
}

int xcpTxFrame(xcpCp* cp, const xcpTxItem* item) {
    static std::atomic<uint8_t> guard{0};
    return xcpTxFrame(cp, item, guard, "xcpTxFrame(): msgQSend() error");
}

void xcpTxCTOErr(xcpCp* cp, xcpTxItem* item, uint8_t command, uint8_t error) {
    item->kind = XCP_TX_CTO, item->packet[0] = XCP_PID_ERR, item->packet[1] = error, item->length = 2;
    xcpTxFrame(cp, item);
    SYSLOGX_GUARDED(LOG_ERR, "XCP Command %s: Error %s", xcpCommandCodeToString(command),
                    xcpErrorCodeToString(error));
}

const char* xcpCommandCodeToString(uint8_t code) {
    return code >= FIRST_COMMAND ? COMMAND_NAMES[code - FIRST_COMMAND] : "UNKNOWN";
}

const char* xcpErrorCodeToString(uint8_t code) {
    switch (code) {
    case XCP_ERR_CMD_SYNCH:
        return "CMD_SYNCH";
    case XCP_ERR_CMD_BUSY:
        return "CMD_BUSY";
    case XCP_ERR_DAQ_ACTIVE:
        return "DAQ_ACTIVE";
    case XCP_ERR_PGM_ACTIVE:
        return "PGM_ACTIVE";
    case XCP_ERR_CMD_UNKNOWN:
        return "CMD_UNKNOWN";
    case XCP_ERR_CMD_SYNTAX:
        return "CMD_SYNTAX";
    case XCP_ERR_OUT_OF_RANGE:
        return "OUT_OF_RANGE";
    case XCP_ERR_WRITE_PROTECTED:
        return "WRITE_PROTECTED";
    case XCP_ERR_ACCESS_DENIED:
        return "ACCESS_DENIED";
    case XCP_ERR_ACCESS_LOCKED:
        return "ACCESS_LOCKED";
    case XCP_ERR_PAGE_NOT_VALID:
        return "PAGE_NOT_VALID";
    case XCP_ERR_MODE_NOT_VALID:
        return "MODE_NOT_VALID";
    case XCP_ERR_SEGMENT_NOT_VALID:
        return "SEGMENT_NOT_VALID";
    case XCP_ERR_SEQUENCE:
        return "SEQUENCE";
    case XCP_ERR_DAQ_CONFIG:
        return "DAQ_CONFIG";
    case XCP_ERR_MEMORY_OVERFLOW:
        return "MEMORY_OVERFLOW";
    case XCP_ERR_GENERIC:
        return "GENERIC";
    case XCP_ERR_VERIFY:
        return "VERIFY";
    case XCP_OK:
        return "OK";
    default:
        return "UNKNOWN";
    }
}

uint32_t xcpConnectionGetState(uint32_t number) {
    return number < static_cast<uint32_t>(cpCount.load()) ? xcpCps[number].state.load() : 3;
}

uint8_t xcpMasterPresent() {
    return xcpCps[0].masterPresent;
}

uint8_t* xcp_activate_xcp_comms_reset(int on) {
    __atomic_store_n(&commsReset, on == 1 ? 1 : 0, __ATOMIC_RELEASE);
    return &commsReset;
}

void xcpSendDAQ(int event) {
    for (int i = 0; i < cpCount; ++i)
        xcpSendCpDAQ(&xcpCps[i], event);
}

void xcp_10ms() {
    for (int i = 0; i < cpCount; ++i)
        xcpEthTick(&xcpCps[i]);
}

void xcp_shutdown_now() {
    noReconnect = true;
    shutdownNow = true;
    for (int i = 0; i < cpCount; ++i) {
        xcpCp* cp = &xcpCps[i];
        if (cp->state == 2) {
            xcpTxItem item{};
            item.kind = XCP_TX_CTO, item.length = 7;
            item.packet[0] = XCP_PID_EV, item.packet[1] = XCP_EV_SESSION_TERMINATED;
            std::memcpy(item.packet + 2, "RESET", 5);
            static std::atomic<uint8_t> guard{0};
            xcpTxFrame(cp, &item, guard, "xcp_shutdown_now(): msgQSend() error");
            xcpStartStopSynch(cp, 0);
        }
        if (const OS_TIMER_ID t = cp->mpTimer) osTimerCancel(t);
        // The transport's tasks end here: the queued event leaves first.
        xcpEthStop(cp);
    }
    xcpSocket_shutdown();
}

void xcp_reset() {
    const int n = cpCount.exchange(0);
    for (int i = 0; i < n; ++i) {
        xcpCp* cp = &xcpCps[i];
        xcpFreeDAQ(cp);
        if (const OS_TIMER_ID t = cp->mpTimer.exchange(nullptr)) osTimerDelete(t);
        if (cp->txQueue) msgQDelete(cp->txQueue);
        cp->txQueue = nullptr;
        if (cp->daqMutex) semDelete(cp->daqMutex);
        cp->daqMutex = nullptr;
        xcpEthFree(cp);
        cp->state = 0, cp->sessionStatus = 0, cp->masterPresent = 0;
    }
    noReconnect = false, shutdownNow = false;
    xcpSocket_reset();
    xcp_activate_xcp_comms_reset(0);
    diagService_reset();
}
