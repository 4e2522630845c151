// A unit with CAN on the manager's local bus and the image's data page, for the CCP and XCP
// masters; scripted slaves answer the frames the masters send.
#pragma once

#include "calibration/block/block.h"
#include "calibration/memory/seram.h"
#include "comm/can/can.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/gw/gw.h"
#include "comm/xcpmr/xcpmr.h"
#include "platform/can/cansim.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "services/time/time_util.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>
#include <functional>
#include <iterator>
#include <map>

// The frames of a conversation as hex words separated by blanks.
inline std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A small XCP slave, written from the ASAM XCP command layouts: its memory holds at address a the
// byte (a * 7 + 3) & 0xFF; big-endian or not; its PIDs start at `first` (one of 0xFC or more is no
// DTO a master can tell from a response); with timestamps its DAQ clock reads `clock`, and each
// DAQ's first ODT carries it.
struct Slave {
    bool be;
    int first;
    bool timestamps = false;
    uint32_t clock = 0;
    std::vector<std::vector<std::vector<std::pair<uint8_t, uint32_t>>>> daqs; // ODTs of {size, address}
    std::map<size_t, int> firstPid;
    size_t daq = 0, odt = 0;
    bool running = false;

    void append(pyref::bytes& to, uint32_t v, size_t n) const {
        for (size_t i = 0; i < n; ++i)
            to.push_back(static_cast<uint8_t>(v >> (8 * (be ? n - 1 - i : i))));
    }
    uint32_t num(const pyref::bytes& c, size_t at, size_t n) const {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= uint32_t{c[at + (be ? n - 1 - i : i)]} << (8 * i);
        return v;
    }
    pyref::bytes answer(const pyref::bytes& c) {
        pyref::bytes r{0xFF};
        if (c[0] == 0xFF) // CONNECT: DAQ resource, byte order, MAX_CTO 8, MAX_DTO 8, versions 1
            r = {0xFF, 0x04, uint8_t(be), 8, uint8_t(be ? 0 : 8), uint8_t(be ? 8 : 0), 1, 1};
        else if (c[0] == 0xFD) // GET_STATUS
            r = {0xFF, 0, 0, 0, 0, 0};
        else if (c[0] == 0xDA) // GET_DAQ_PROCESSOR_INFO: dynamic, MAX_DAQ 4, 4 events, absolute ODT numbers
            r = {0xFF, 0x11}, append(r, 4, 2), append(r, 4, 2), append(r, 0, 2);
        else if (c[0] == 0xDC) // GET_DAQ_CLOCK
            r = {0xFF, 0, 0, 0}, append(r, clock, 4);
        else if (c[0] == 0xD6) // FREE_DAQ
            daqs.clear(), firstPid.clear(), running = false;
        else if (c[0] == 0xD5) // ALLOC_DAQ
            daqs.resize(num(c, 2, 2));
        else if (c[0] == 0xD4) // ALLOC_ODT
            daqs.at(num(c, 2, 2)).resize(c[4]);
        else if (c[0] == 0xE2) // SET_DAQ_PTR: WRITE_DAQ appends
            daq = num(c, 2, 2), odt = c[4];
        else if (c[0] == 0xE1) // WRITE_DAQ: bit offset, size, extension, address
            daqs.at(daq).at(odt).emplace_back(c[2], num(c, 4, 4));
        else if (c[0] == 0xDE) { // START_STOP_DAQ_LIST select: the first PID (absolute ODT numbers)
            const size_t d = num(c, 2, 2);
            int pid = first;
            for (size_t k = 0; k < d; ++k)
                pid += static_cast<int>(daqs[k].size());
            r.push_back(static_cast<uint8_t>(firstPid[d] = pid));
        } else if (c[0] == 0xDD || c[0] == 0xFE) // START_STOP_SYNCH, DISCONNECT
            running = c[0] == 0xDD && c[1] == 1;
        else if (c[0] != 0xD3 && c[0] != 0xE0) // ALLOC_ODT_ENTRY, SET_DAQ_LIST_MODE: nothing to do
            r = {0xFE, 0x20};                  // ERR_CMD_UNKNOWN
        return r;
    }
    // One cycle of the running lists: the DTOs, and the value of each channel a master can read.
    std::vector<pyref::bytes> cycle(std::map<uint32_t, uint32_t>* values) const {
        std::vector<pyref::bytes> out;
        uint32_t channel = 0;
        for (const auto& [d, pid] : firstPid)
            for (size_t o = 0; running && o < daqs[d].size(); ++o) {
                out.push_back({static_cast<uint8_t>(pid + static_cast<int>(o))});
                if (timestamps && o == 0) append(out.back(), clock, 4);
                for (const auto& [size, addr] : daqs[d][o]) {
                    pyref::bytes raw;
                    for (uint32_t i = 0; i < size; ++i)
                        raw.push_back(static_cast<uint8_t>((addr + i) * 7 + 3));
                    out.back().insert(out.back().end(), raw.begin(), raw.end());
                    if (pid + o < 0xFC) (*values)[channel] = num(raw, 0, size);
                    ++channel;
                }
            }
        return out;
    }
};

struct Masters : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        platform::Settings s;
        s.pid = 0x25, s.ipv4 = 0x7F000001;
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0), AppMan_init();
        up();
        seram_reset(), seramInitializeOffsets();
        seramImageDefaults(seram_memory + seramActiveOffset);
        time_util_ini();
        gw_reset();
    }
    void TearDown() override { down(), SteppedTest::TearDown(); }
    void up() {
        std::string err;
        ASSERT_TRUE(cansim::install(0, &err) && RtpManUsrCan_Init() == 1) << err;
    }
    void down() { ccpmr_reset(), xcpmr_reset(), can_reset(), cansim::uninstall(); }
    // A new start of the process's CAN side and masters.
    void restart() { down(), up(); }
    template <class T> static void cal(uint32_t vaddr, size_t i, T v) {
        std::memcpy(seram_memory + vaddr + seramActiveOffset + i * sizeof(T), &v, sizeof v);
    }
    static void frame(uint32_t id, const pyref::bytes& data) {
        cansim::Frame f;
        f.id = id, f.len = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), f.data);
        cansim::inject(f);
        canPoll_1ms();
        sim::waitIdle();
    }
    // Runs the slave: each frame the master sends is recorded as hex and answered by `reply`
    // (nothing for an empty answer), until the master sends no more.
    std::vector<std::string> converse(uint32_t respId,
                                      const std::function<pyref::bytes(const pyref::bytes&)>& reply,
                                      size_t limit = 200) {
        std::vector<std::string> out;
        sim::waitIdle();
        for (auto sent = cansim::takeSent(); !sent.empty() && out.size() < limit; sent = cansim::takeSent())
            for (const cansim::Frame& f : sent) {
                const pyref::bytes b(f.data, f.data + f.len);
                out.push_back(pyref::hex(b));
                const pyref::bytes r = reply(b);
                if (!r.empty()) frame(respId, r);
            }
        return out;
    }
    // A value slot, read whole as the DAQ task stores it.
    static uint32_t slot(void* (*get)(uint32_t), uint32_t n) {
        return static_cast<std::atomic<uint32_t>*>(get(n))->load();
    }
};
