// Fuzz target: measurement requests (0x0500 to 0x0518) for this unit from itself and from a peer,
// dispatched as the command task dispatches them, paths to the peer answered as the peer would;
// after each request every raster runs the channel functions and is copied, and the senders take
// what the copy wrote. So the list checks, the handles, the copy plan and the copy into the FIFOs
// all see the input. The sources are the unit's: the channel functions of the build's default
// dataset (outputs, class 31) and the masters' slots (classes 28 and 29), handed in as the
// start-up hands them in, with the masters' check of lists made of their channels, and the
// gateway as the sink of the replies to requests by names.
//
// Input: records of a kind byte (bits 0-4 the sub-command, bit 5 from the peer, bit 6 context
// word 2 replaced by the last list identifier handed out), context words 1 and 2, a big-endian
// payload length and the payload.
#include "acquisition/awm/awm_man.h"
#include "acquisition/awm/awm_private.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/routing/routing.h"
#include "comm/sernet/sernet.h"
#include "comm/transport_fake.h"
#include "comm/xcpmr/xcpmr.h"
#include "platform/hw/board_sim.h"
#include "platform/kmgr/appman.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "platform/timemod/timemod_sim.h"
#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/timemod/timemod.h"
#include "support/cimsg.h"
#include "support/logcapture.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t OWN = 0x25, PEER = 0x30;
constexpr int RASTERS = 20;
uint32_t lastList = 0;

// The build's default dataset into the reference page, as the unit loads it at start.
bool loadDataset() {
    std::FILE* f = std::fopen(VYN_DEFAULT_DATASET, "rb");
    if (!f) return false;
    const size_t n = std::fread(seram_memory + SERAM_REFPAGE, 1, SERAM_DATASET_SIZE, f);
    std::fclose(f);
    return n == SERAM_DATASET_SIZE;
}

bool setUp() {
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    testsupport::logStart();
    platform::Settings s;
    s.pid = OWN;
    platform::setSettings(s);
    kmgr::installAppManager();
    RtpManUsr_setIndex(0);
    if (AppMan_init() != 1) return false;
    routing_ini();
    routing_set_table_entries({ROUTE_ETHERNET, 0xC0000230}, PEER, PEER);
    comint_ini();
    seram_reset();
    seramInitializeOffsets();
    if (!loadDataset()) {
        std::fprintf(stderr, "fuzz_meas_requests: cannot read %s\n", VYN_DEFAULT_DATASET);
        return false;
    }
    hwsim::installBoard();
    // The channel functions' own inputs are not measured: their values stay invalid.
    awm_gw_setStandIn([](const uint8_t*, awm_input_buf*, uint16_t) {});
    awm_man_ini();
    seramMeasSetChannelSource(&awm_man_channelSource);
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, ccpmr_GetAddr);
    seramMeasSetMasterSource(MEAS_CLASS_XCPMR, xcpmr_GetAddr);
    meas_man_setMaster(0, &ccpmr_measMaster);
    meas_man_setMaster(1, &xcpmr_measMaster);
    if (meascalinfo_init() != 1) return false;
    timemodsim::install();
    timemodsim::setStatus(TIME_SYNC_FULL);
    fake::up = 1ull << PEER;
    return true;
}

// What went out: the peer answers every path request with a FIFO of its own, and the list
// identifiers handed to it are kept for the next records.
void asPeer() {
    for (const fake::Bytes& m : fake::take(fake::commands)) {
        const CiHeader h = ci_header(m.data());
        if (h.code == 0x0300) {
            ci_serve_command(
                cimsg::message(0x0107, PEER, OWN, h.context1, h.context2,
                               cimsg::fields({{cimsg::word(m, 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}}))
                    .data(),
                CI_HEADER + 14);
        } else if (h.code == 0x0501 && h.context1) {
            lastList = h.context1;
        } else if (h.code == 0x0511 && h.length >= 4 && cimsg::word(m, CI_HEADER)) {
            lastList = cimsg::word(m, CI_HEADER);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    if (!ready) __builtin_trap(); // a target without its sources would fuzz nothing of them
    dynkomm_ini();
    SerNet_man_ini();
    meas_man_ini();
    gw_meas_ini();
    meas_man_virtChan_registered();
    meas_man_CanIO_initialized();
    gw_meas_setHandlers();
    // The replies to the gateway's own requests by names reach it as in the unit.
    meas_man_setGatewaySink(&gw_measGatewaySink);
    for (int i = 0; i < 10; ++i) // logged data flow once the time has been synchronised 100 ms
        meas_man_10ms();
    lastList = 0;
    uint32_t stamp = 1;
    uint8_t m[CI_HEADER + CI_QUEUE_PAYLOAD_MAX];
    for (size_t at = 0; at + 11 <= size;) {
        const uint8_t kind = data[at];
        size_t n = static_cast<size_t>(data[at + 9] << 8 | data[at + 10]);
        const size_t left = size - at - 11;
        n = n < left ? n : left;
        n = n < CI_QUEUE_PAYLOAD_MAX ? n : CI_QUEUE_PAYLOAD_MAX;
        const uint32_t ctx1 = bytes::get_be32(data + at + 1);
        const uint32_t ctx2 = kind & 0x40 ? lastList : bytes::get_be32(data + at + 5);
        const auto code = static_cast<uint16_t>(0x0500 + (kind & 0x1F) % 0x19);
        ci_set_header(m, {static_cast<uint16_t>(n), kind & 0x20 ? PEER : OWN, OWN, ctx1, ctx2, code});
        std::memcpy(m + CI_HEADER, data + at + 11, n);
        at += 11 + n;
        ci_serve_command(m, CI_HEADER + n);
        sim::step(1); // the command task sends the answers and serves what is for this unit
        asPeer();
        sim::step(1); // the path completions
        asPeer();
        meas_man_10ms();
        for (int r = 0; r < RASTERS; ++r) {
            awm_sched_call(static_cast<uint16_t>(r), stamp);
            meas_man_copy(r, stamp++);
            SerNet_man_sender_online(r);
            SerNet_man_sender_offline(r);
        }
        fake::take(fake::online);
        fake::take(fake::offline);
    }
    sim::step(1);
    gw_reset();
    meas_man_reset();
    SerNet_man_reset();
    dynkomm_reset();
    fake::take(fake::commands);
    testsupport::logDrain();
    return 0;
}
