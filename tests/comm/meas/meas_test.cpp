// The measurement server and the gateway on one unit: its own lists through the command queue,
// and lists of a peer over the recording transport, answered as that peer would.
#include "calibration/conv/conv.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "comm/chandata/chandata.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/measman/meas_man_private.h"
#include "comm/sernet/sernet.h"
#include "comm/unit_fixture.h"
#include "platform/hw/hw.h"
#include "platform/timemod/timemod_sim.h"
#include "services/timemod/timemod.h"
#include "support/channels.h"
#include "support/pyref.h"

#include <array>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <thread>

namespace {

using namespace unit;
using fake::Bytes;

struct Call {
    int entry;
    uint32_t status;
    uint32_t value; // first four entry bytes (read), the latency (start), 0 otherwise
    uintptr_t user;
    bool operator==(const Call&) const = default;
};
using Calls = std::vector<Call>;
Calls calls;
// The calls since the last look.
Calls took() {
    return std::exchange(calls, {});
}
int consume = 1;

// The read callback records the entry's first value, start and time-out their data (a latency or
// a PID; start without data 0xFFFF).
template <int E> int record(uint32_t s, const void* d, uintptr_t u) {
    const auto* p = static_cast<const uint8_t*>(d);
    const uint32_t v = E == 1   ? (p ? word(Bytes(p, p + 8), 4) : 0)
                       : E == 2 ? 0
                                : (p        ? *static_cast<const uint16_t*>(d)
                                   : E == 3 ? 0xFFFFu
                                            : 0u);
    calls.push_back({E, s, v, u});
    return E == 1 ? consume : 0;
}
const gw_callbacks_t callbacks{
    {{nullptr, 0}, {record<1>, 100}, {record<2>, 100}, {record<3>, 100}, {nullptr, 0}, {record<5>, 100}}};

constexpr uint32_t U32_SIGNAL = 0x41000; // usb_portsc1

void setSignal(uint32_t address, uint32_t value) {
    seramMeasHandle h{};
    seramMeasSetupMeas(address, 0, &h);
    std::memcpy(reinterpret_cast<void*>(seramMeasGetAddr(&h)), &value, 4);
}

std::vector<uint16_t> codes(const std::vector<Bytes>& ms) {
    std::vector<uint16_t> out;
    for (const Bytes& m : ms)
        out.push_back(static_cast<uint16_t>(m[16] << 8 | m[17]));
    return out;
}

constexpr uint32_t N4 = 0xFFFFFFFC;
// 0x0500 from `from`: raster, block and type, the list length and words as given.
Bytes byAddress(uint16_t from, uint16_t raster, uint16_t block, uint16_t length, std::vector<uint32_t> words,
                uint16_t type = 0, uint32_t context = 1) {
    Bytes p = fields({{raster, 2}, {1, 2}, {block, 2}, {length, 2}, {4, 2}, {type, 2}});
    for (uint32_t w : words)
        for (auto b : fields({{w, 4}}))
            p.push_back(b);
    return message(0x0500, from, OWN, context, 0, p);
}
// 0x0510 from the peer at raster 3, the names with their terminating 0s.
Bytes byNames(const std::string& names, uint16_t count, uint16_t type = 0) {
    Bytes p =
        fields({{3, 2}, {1, 2}, {static_cast<uint32_t>(names.size()), 2}, {count, 2}, {4, 2}, {type, 2}});
    p.insert(p.end(), names.begin(), names.end());
    return message(0x0510, PEER, OWN, 0xAA, 0xBB, p);
}

// A peer asks `unit` for a list at raster 3 whose entry carries `bytes` of values: the values as
// the entry carries them, or none when the list is refused. A granted list runs one copy and is
// stopped.
template <class U>
std::optional<Bytes> servedList(U& unit, const std::vector<uint32_t>& words, uint32_t bytes) {
    unit.serve(byAddress(PEER, 3, 16, static_cast<uint16_t>(4 * words.size()), words));
    const auto open = unit.sent();
    EXPECT_EQ(open.size(), 1u);
    if (open.empty() || open[0] == message(0x0501, OWN, PEER, 0, 1, fields({{0, 4}}))) return std::nullopt;
    unit.serve(message(0x0107, PEER, OWN, word(open[0], 8), word(open[0], 12),
                       fields({{word(open[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
    const auto granted = unit.sent();
    EXPECT_EQ(granted.size(), 1u);
    meas_man_copy(3, 0x1234);
    SerNet_man_sender_online(3);
    const auto records = fake::take(fake::online);
    unit.serve(message(0x0502, PEER, OWN, 0x31, granted.empty() ? 0 : word(granted[0], 8)));
    unit.sent();
    if (records.size() != 1) return Bytes{};
    return Bytes(records[0].begin() + 12, records[0].begin() + 12 + bytes);
}
// The same for {-size, address}.
template <class U> std::optional<Bytes> served(U& unit, uint32_t address, uint32_t size) {
    return servedList(unit, {static_cast<uint32_t>(-static_cast<int32_t>(size)), address, 0, 0}, size);
}

struct Meas : Unit {
    gw_client_t* client = nullptr;
    void SetUp() override {
        Unit::SetUp();
        seram_reset();
        seramInitializeOffsets();
        meascalinfo_reset();
        ASSERT_EQ(meascalinfo_init(), 1);
        SerNet_man_reset();
        SerNet_man_ini();
        meas_man_reset();
        meas_man_ini();
        gw_reset();
        gw_meas_ini();
        meas_man_virtChan_registered();
        meas_man_CanIO_initialized();
        gw_meas_setHandlers();
        fake::up = 1ull << PEER;
        calls.clear();
        consume = 1;
        client = gw_connect(&callbacks);
    }
    void TearDown() override {
        sim::step(1); // the command task serves what the test queued before the lists go
        gw_reset();
        meas_man_reset();
        gw_disconnect(client);
        Unit::TearDown();
    }
    // One 10 ms cycle of the gateway, then the command task serves what it queued.
    void cycle(int n = 1) {
        for (int i = 0; i < n; ++i) {
            gw_meas_monitoring();
            gw_request_timeout();
            sim::step(1);
        }
    }
    uint32_t single(uint16_t pid, uint32_t address, uint16_t share = 0, uint32_t timeout = 3,
                    uintptr_t user = 1) {
        const int32_t list[] = {-4, static_cast<int32_t>(address), 0, 0};
        return gw_setup_list(client, list, user, sizeof list, 3, pid, share, 0, 1, 4, 8, timeout);
    }
    // Cycles n times; the peer answers every state query (0x0505) as `answer` says (none when
    // silent). The codes of the other messages sent to it, in order.
    int asked = 0; // state queries so far
    std::vector<uint16_t> peer(int n, int answer, std::vector<Bytes>* others = nullptr) {
        std::vector<uint16_t> out;
        for (int i = 0; i < n; ++i) {
            cycle(1);
            for (const Bytes& q : fake::take(fake::commands)) {
                if (codes({q})[0] == 0x0505) {
                    ++asked;
                    if (answer >= 0) serve(message(answer ? 0x0103 : 0x0104, PEER, OWN, 0, word(q, 8)));
                } else {
                    out.push_back(codes({q})[0]);
                    if (others) others->push_back(q);
                }
            }
        }
        return out;
    }
    // The reply to the peer's list of one 4-byte value at raster 3 once the peer has granted its
    // path; none when no path was asked for or no reply came.
    Bytes grantedToPeer(uint32_t address, uint16_t type = 0, uint32_t context = 1) {
        serve(byAddress(PEER, 3, 8, 16, {N4, address, 0, 0}, type, context));
        const auto open = fake::take(fake::commands);
        if (codes(open) != std::vector<uint16_t>{0x0300}) return {};
        serve(message(0x0107, PEER, OWN, word(open[0], 8), word(open[0], 12),
                      fields({{word(open[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
        const auto reply = fake::take(fake::commands);
        return codes(reply) == std::vector<uint16_t>{0x0501} ? reply[0] : Bytes{};
    }
    // Cycles (from 1) until a message `code` went to the peer (0x0505: it was asked); -1 after 400.
    int until(uint16_t code, int answer) {
        for (int n = 1, before = asked; n <= 400; ++n, before = asked)
            if (std::ranges::count(peer(1, answer), code) || (code == 0x0505 && asked > before)) return n;
        return -1;
    }
};

TEST_F(Meas, OwnValuesArrivePerRasterWithTimeOutsSpeedAndKill) {
    setSignal(U32_SIGNAL, 0xA1B2C3D4);
    const uint32_t m = single(0, U32_SIGNAL, 1); // PID 0 names this unit
    gw_start_list(m);
    cycle(3); // query, answer, request, path, reply
    ASSERT_EQ(took(), (Calls{{3, 0, 0, 1}})) << "started, with the handle's latency";
    meas_man_copy(3, 0x01020304), gw_raster(3);
    EXPECT_EQ(took(), (Calls{{1, 0, 0xA1B2C3D4, 1}})) << "the value big-endian after the stamp";
    // No data for 3 calls: read(6) on the handle and one time-out(6); data again: time-out(0) first.
    for (int i = 0; i < 6; ++i)
        gw_raster(3);
    EXPECT_EQ(took(), (Calls{{5, 6, OWN, 1}, {1, 6, 0, 1}, {1, 6, 0, 1}}));
    meas_man_copy(3, 5), gw_raster(3);
    EXPECT_EQ(took(), (Calls{{5, 0, OWN, 1}, {1, 0, 0xA1B2C3D4, 1}}));
    // Speed 3: the server copies at every third raster call.
    EXPECT_EQ(gw_list_speed(client, m, 3), 1);
    sim::step(1);
    int copies = 0;
    for (int i = 0; i < 9; ++i) {
        meas_man_copy(3, 7), gw_raster(3);
        copies += static_cast<int>(took().size());
    }
    EXPECT_EQ(copies, 3);
    // A client that takes nothing leaves the entry for the next call.
    consume = 0;
    for (int i = 0; i < 3; ++i)
        meas_man_copy(3, 7);
    gw_raster(3), gw_raster(3);
    EXPECT_EQ(took().size(), 2u);
    // Kill: stop callback, the server drops the list, the gateway frees it once its 100 ms delay
    // has run below 10 ms: in the 11th cycle.
    gw_kill_list(m);
    EXPECT_EQ(took(), (Calls{{2, 0, 0, 1}}));
    uint16_t out[19];
    cycle(10);
    ASSERT_EQ(gw_debugoutPID(OWN, out), 1);
    EXPECT_EQ(out[3], 1u) << "the list waits out its delay";
    cycle(1);
    ASSERT_EQ(gw_debugoutPID(OWN, out), 1);
    EXPECT_EQ(std::vector<uint16_t>(out, out + 4), (std::vector<uint16_t>{0, 1, 1, 0}))
        << "no measurement, one request, one run, no list left";
}

// A channel description set up again (telemetry's enable channel at each start) holds one list:
// the list of the set-up before goes, so 70,000 starts of the telemetry do not run the gateway
// out of numbers.
TEST_F(Meas, AChannelSetUpAgainHoldsOneList) {
    ChanData channel(uint32_t{OWN} << 24 | U32_SIGNAL, 5, 0, 1, 0);
    for (uint32_t round = 1; round <= 70000; ++round) {
        chan_meas_setup(&channel, 3, 3);
        ASSERT_NE(channel.magic, 0u) << "set-up " << round;
        cycle();
        if (round % 100 == 0) gw_meas_1s(), meas_man_10ms();
    }
    cycle(11); // the lists killed last wait out their delay
    uint16_t out[19];
    ASSERT_EQ(gw_debugoutPID(OWN, out), 1);
    EXPECT_EQ(out[3], 1u);
}

TEST_F(Meas, SharedListsTooLongListsAndRequestsToAPeer) {
    const uint32_t a = single(PEER, 0x40010), b = single(PEER, 0x40010, 0, 3, 2);
    EXPECT_NE(a, b);
    int32_t longList[121] = {-1};
    for (int i = 1; i < 119; ++i)
        longList[i] = 0x40000 + i;
    const uint32_t tooLong = gw_setup_list(client, longList, 3, 484, 3, PEER, 1, 0, 1, 4, 124, 0);
    const uint32_t fits = gw_setup_list(client, longList + 1, 4, 480, 3, PEER, 1, 0, 1, 4, 124, 0);
    EXPECT_EQ(gw_setup_list(client, longList, 5, 16, 3, 64, 0, 0, 1, 4, 8, 0), 0u) << "PID 64";
    for (uint32_t m : {a, b, tooLong, fits})
        gw_start_list(m);
    std::vector<Bytes> out;
    ASSERT_EQ(peer(2, 0, &out), (std::vector<uint16_t>{0x0500, 0x0500})) << "one request for the shared list";
    EXPECT_EQ(took(), (Calls{{3, 12, 0xFFFF, 3}}));
    EXPECT_EQ(std::vector<uint8_t>({out[0][2], out[0][3], out[1][2], out[1][3]}),
              (std::vector<uint8_t>{0x01, 0xEC, 0, 28}))
        << "480 bytes of list in 492 bytes of payload";
    // No answer: start(3) after 1.5 s on every handle of the list, then it is requested again.
    EXPECT_EQ(peer(152, 0), (std::vector<uint16_t>{0x0500, 0x0500}));
    EXPECT_EQ(calls, (Calls{{3, 3, 0xFFFF, 4}, {3, 3, 0xFFFF, 2}, {3, 3, 0xFFFF, 1}}));
    // Killing one sharer keeps the list; killing both sends one stop.
    gw_kill_list(a);
    EXPECT_TRUE(sent().empty());
    gw_kill_list(b);
    EXPECT_EQ(codes(sent()), (std::vector<uint16_t>{0x0502}));
}

// The diagnostics count a PID's lists by state, in the columns of the statistics line: Cfg, P_Ini,
// P_Etry, P_Err, Stp, Meas, MeasPN, Dest, Ins_Dest, Off_Etry, Off_Err, StErr. (A list to be asked
// for again is asked for in the same cycle, or waits for its PID, before it is counted.)
TEST_F(Meas, TheDiagnosticsCountThePidsListsByState) {
    using Counts = std::vector<uint16_t>;
    auto counts = [] {
        uint16_t out[19];
        EXPECT_EQ(gw_debugoutPID(PEER, out), 1);
        return Counts(out + 7, out + 19);
    };
    int32_t longList[121] = {-1};
    const uint32_t tooLong = gw_setup_list(client, longList, 3, 484, 3, PEER, 1, 0, 1, 4, 124, 0);
    const uint32_t running = single(PEER, 0x40010, 1), late = single(PEER, 0x40020, 1);
    const uint32_t idle = single(PEER, 0x40030, 1);
    gw_kill_list(single(PEER, 0x40040, 1)); // before it was started
    for (uint32_t m : {tooLong, running, late})
        gw_start_list(m);
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), (std::vector<uint16_t>{0x0500, 0x0500}));
    EXPECT_EQ(counts(), (Counts{1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 1}));

    // One list is answered; its PID says it measures, then that it does not.
    const uint32_t fifo = dynkomm_fifo_reserve(PEER);
    ASSERT_EQ(dynkomm_fifo_activate(fifo, PEER, 3, 4, 8, 0), fifo);
    const Bytes& ofRunning = word(rq[0], 36) == 0x40010 ? rq[0] : rq[1]; // its address after the header
    serve(message(0x0501, PEER, OWN, 0x77, word(ofRunning, 8), fields({{fifo, 4}, {9, 2}})));
    peer(20, 1);
    EXPECT_EQ(counts(), (Counts{1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1})) << "the killed list freed";
    until(0x0505, 0);
    peer(1, 0);
    EXPECT_EQ(counts(), (Counts{1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1}));

    // The PID falls silent: offline; the running list's readers hear of it at its raster.
    peer(170, -1);
    ASSERT_EQ(gw_pid_offline(PEER), 1);
    EXPECT_EQ(counts(), (Counts{1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1}));
    gw_raster(3);
    peer(1, -1);
    EXPECT_EQ(counts(), (Counts{1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 1}));
    // The request out times out and waits for the PID; the idle list is started, the running one
    // killed.
    peer(150, -1);
    gw_start_list(idle);
    gw_kill_list(running);
    peer(1, -1);
    EXPECT_EQ(counts(), (Counts{0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

// A peer grants a list after its request has gone: the request timed out (and the list was asked
// for again), or the list was killed and freed meanwhile. Nothing here will read or stop what the
// late grant made: the list is stopped on the peer and the FIFO of its path here freed. The list
// asked for again runs on its own grant.
// A peer refuses three lists for five minutes (names it does not know, say); the gateway asks for
// each again in the next cycle, 300 requests a second. What those requests take of the gateway
// comes back: every cycle asks for the three again, and a list set up at the end is asked for.
TEST_F(Meas, RequestsAPeerRefusesGiveBackWhatTheyTake) {
    for (uint32_t address : {0x40010u, 0x40020u, 0x40030u})
        gw_start_list(single(PEER, address, 1));
    for (int n = 0; n < 30000; ++n) {
        std::vector<Bytes> rq;
        peer(1, 0, &rq);
        if (n >= 2) {
            ASSERT_EQ(rq.size(), 3u) << "cycle " << n;
        }
        for (const Bytes& q : rq)
            serve(message(0x0501, PEER, OWN, 0, word(q, 8), fields({{0, 4}})));
        took();
        if (n % 100 == 99) gw_meas_1s();
    }
    const uint32_t last = single(PEER, 0x40040, 1);
    ASSERT_NE(last, 0u);
    gw_start_list(last);
    std::vector<Bytes> rq;
    peer(1, 0, &rq);
    EXPECT_EQ(rq.size(), 4u);
}

TEST_F(Meas, AGrantThatComesTooLateIsStoppedAndItsFifoFreed) {
    auto grant = [&](const Bytes& request, uint32_t remote) {
        const uint32_t fifo = dynkomm_fifo_reserve(PEER);
        EXPECT_EQ(dynkomm_fifo_activate(fifo, PEER, 3, 4, 8, 0), fifo);
        serve(message(0x0501, PEER, OWN, remote, word(request, 8), fields({{fifo, 4}, {9, 2}})));
        return fifo;
    };
    const uint32_t handle = single(PEER, 0x40010);
    gw_start_list(handle);
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), std::vector<uint16_t>{0x0500});
    ASSERT_EQ(peer(152, 0, &rq), std::vector<uint16_t>{0x0500}) << "asked for again 1.5 s on";
    took();
    const uint32_t late = grant(rq[0], 0x77);
    std::vector<Bytes> out;
    ASSERT_EQ(peer(1, 0, &out), std::vector<uint16_t>{0x0502});
    EXPECT_EQ(word(out[0], 12), 0x77u) << "the stop names the late list";
    EXPECT_EQ(dynkomm_get_fifo(late, nullptr), 0) << "freed";
    EXPECT_TRUE(took().empty());
    const uint32_t running = grant(rq[1], 0x78);
    EXPECT_EQ(took(), (Calls{{3, 0, 9, 1}}));
    // Another list is killed while its request is out and freed 110 ms on; then its grant comes.
    const uint32_t other = single(PEER, 0x40020);
    gw_start_list(other);
    out.clear();
    ASSERT_EQ(peer(1, 1, &out), std::vector<uint16_t>{0x0500});
    gw_kill_list(other);
    EXPECT_EQ(peer(12, 1), std::vector<uint16_t>{0x0502}) << "the stop of a list not granted yet";
    const uint32_t afterKill = grant(out[0], 0x79);
    out.clear();
    ASSERT_EQ(peer(1, 1, &out), std::vector<uint16_t>{0x0502});
    EXPECT_EQ(word(out[0], 12), 0x79u);
    EXPECT_EQ(dynkomm_get_fifo(afterKill, nullptr), 0) << "freed";
    EXPECT_EQ(dynkomm_get_fifo(running, nullptr), 1) << "the running list keeps its own";
}

TEST_F(Meas, PeerOfflineResumeResetAndUnaskedMeasurements) {
    gw_start_list(single(PEER, 0x40010));
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), std::vector<uint16_t>{0x0500});
    // the peer opens the path back and answers
    const uint32_t fifo = dynkomm_fifo_reserve(PEER);
    ASSERT_EQ(dynkomm_fifo_activate(fifo, PEER, 3, 4, 8, 0), fifo);
    serve(message(0x0501, PEER, OWN, 0x77, word(rq[0], 8), fields({{fifo, 4}, {9, 2}})));
    EXPECT_EQ(took(), (Calls{{3, 0, 9, 1}}));
    // It leaves the next query unanswered: offline 1.5 s later, start(11), then read(8) at the
    // next delivery.
    until(0x0505, 1);
    EXPECT_EQ(until(0x0505, -1), 15);
    peer(149, -1);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(gw_pid_offline(PEER), 0);
    peer(1, -1);
    EXPECT_EQ(gw_pid_offline(PEER), 1);
    gw_raster(3);
    EXPECT_EQ(took(), (Calls{{3, 11, 0xFFFF, 1}, {1, 8, 0, 1}}));
    // It answers that it measures: resumed without a new request.
    EXPECT_EQ(peer(160, 1), std::vector<uint16_t>{});
    EXPECT_EQ(took(), (Calls{{3, 0, 0xFFFF, 1}}));
    // It is asked every 150 ms. From its next answer on it says it runs none: the cycle after that
    // answer sees it, and 1.65 s on the list counts as reset and is requested again.
    until(0x0505, 1);
    EXPECT_EQ(until(0x0505, 1), 15);
    EXPECT_EQ(until(0x0500, 0), 15 + 1 + 165);
    EXPECT_TRUE(logged("MeasGate: PID 0x30 reset detected, restart measurement."));
    // A peer that measures for this unit though nothing was asked is told to kill all.
    gw_reset();
    gw_meas_ini();
    EXPECT_EQ(peer(2, 1), std::vector<uint16_t>{0x0504});
    EXPECT_EQ(gw_pid_offline(64), 1);
}

// A serving peer that restarts 200 times: each time it runs no measurement for 1.65 s the list is
// asked for again, the peer opens a new path back and its values flow. The FIFO of the path
// before goes, so the peer's paths here stay at one whatever the count of restarts.
TEST_F(Meas, APeerRestarting200TimesIsServedEachTimeInFlatMemory) {
    comint_setHandler(0x0300, SerNet_man_openpath), comint_setHandler(0x0301, SerNet_man_closepath);
    gw_start_list(single(PEER, 0x40010));
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), std::vector<uint16_t>{0x0500});
    DkHeld held{};
    uint32_t inUse = 0;
    for (uint32_t run = 0; run <= 200; ++run) {
        serve(message(0x0300, PEER, OWN, 0x5000 + run, 0x6000,
                      fields({{PEER, 2}, {OWN, 2}, {3, 2}, {8, 2}, {run, 4}, {4, 2}, {0, 2}, {0, 4}})));
        const auto path = sent();
        ASSERT_EQ(codes(path), std::vector<uint16_t>{0x0107}) << run;
        const uint32_t fifo = word(path[0], 24);
        ASSERT_NE(fifo, 0u) << "no path after " << run << " restarts";
        serve(message(0x0501, PEER, OWN, 0x70000 + run, word(rq.back(), 8), fields({{fifo, 4}, {9, 2}})));
        const uint8_t entry[8] = {
            0, 0, 0, 1, 0, 0, static_cast<uint8_t>(run >> 8), static_cast<uint8_t>(run)};
        ASSERT_EQ(dynkomm_fifo_put(fifo, entry, sizeof entry, nullptr), DK_PUT_OK);
        gw_raster(3);
        ASSERT_EQ(took(), (Calls{{3, 0, 9, 1}, {1, 0, run, 1}})) << run;
        if (run == 0) held = dynkomm_held(PEER), inUse = dynkomm_counters().inUse;
        ASSERT_EQ(std::pair(dynkomm_held(PEER).paths, dynkomm_held(PEER).bytes), std::pair(1u, held.bytes))
            << run;
        ASSERT_EQ(dynkomm_counters().inUse, inUse) << run;
        // It restarted: it reports no measurement until the gateway asks for the list again.
        rq.clear();
        for (int n = 0; n < 400 && rq.empty(); ++n)
            peer(1, 0, &rq);
        ASSERT_EQ(codes(rq), std::vector<uint16_t>{0x0500}) << run;
        took();
    }
}

// A peer that goes offline and comes back still measuring: its list resumes, but the FIFO its
// path held here went with it (the transport frees it then). The list is stopped on the peer and
// asked for again, and the values flow into the new FIFO.
TEST_F(Meas, AListWhoseFifoWentWithItsOfflinePeerIsAskedForAgainOnItsReturn) {
    gw_start_list(single(PEER, 0x40010));
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), std::vector<uint16_t>{0x0500});
    auto answer = [&](uint32_t remote) {
        const uint32_t fifo = dynkomm_fifo_reserve(PEER);
        EXPECT_EQ(dynkomm_fifo_activate(fifo, PEER, 3, 4, 8, 0), fifo);
        serve(message(0x0501, PEER, OWN, remote, word(rq.back(), 8), fields({{fifo, 4}, {9, 2}})));
        return fifo;
    };
    const uint32_t first = answer(0x77);
    peer(200, -1);
    ASSERT_EQ(gw_pid_offline(PEER), 1);
    EXPECT_EQ(dynkomm_fifo_free_receiving_all(PEER, false), 1u);
    EXPECT_EQ(dynkomm_get_fifo(first, nullptr), 0);
    gw_raster(3);
    EXPECT_EQ(took(), (Calls{{3, 0, 9, 1}, {3, 11, 0xFFFF, 1}, {1, 8, 0, 1}}));
    for (int n = 0; n < 200 && calls.empty(); ++n)
        EXPECT_EQ(peer(1, 1), std::vector<uint16_t>{});
    EXPECT_EQ(took(), (Calls{{3, 0, 0xFFFF, 1}})) << "resumed";
    gw_raster(3);
    rq.clear();
    ASSERT_EQ(peer(1, 1, &rq), (std::vector<uint16_t>{0x0502, 0x0500}));
    EXPECT_EQ(word(rq[0], 12), 0x77u) << "the stop names the list on the peer";
    const uint32_t second = answer(0x78);
    const uint8_t entry[8] = {0, 0, 0, 1, 0xA, 0xB, 0xC, 0xD};
    ASSERT_EQ(dynkomm_fifo_put(second, entry, sizeof entry, nullptr), DK_PUT_OK);
    gw_raster(3);
    EXPECT_EQ(took(), (Calls{{3, 0, 9, 1}, {1, 0, 0x0A0B0C0D, 1}}));
}

// A serving peer restarts: the transport frees the FIFO of its list here, and the restarted peer
// knows nothing of the list. It is asked for again at once, without a stop: the peer could only
// answer that it stopped nothing (0x1100), which reads here as a FIFO left behind. The values flow
// into the new FIFO, and a stop goes once the list is killed.
TEST_F(Meas, AListOfARestartedPeerIsAskedForAgainWithoutAStopItCouldNotServe) {
    const uint32_t handle = single(PEER, 0x40010);
    gw_start_list(handle);
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), std::vector<uint16_t>{0x0500});
    auto answer = [&](uint32_t remote) {
        const uint32_t fifo = dynkomm_fifo_reserve(PEER);
        EXPECT_EQ(dynkomm_fifo_activate(fifo, PEER, 3, 4, 8, 0), fifo);
        serve(message(0x0501, PEER, OWN, remote, word(rq.back(), 8), fields({{fifo, 4}, {9, 2}})));
        return fifo;
    };
    answer(0x77);
    EXPECT_EQ(took(), (Calls{{3, 0, 9, 1}}));
    EXPECT_EQ(peer(1, 1), std::vector<uint16_t>{});
    EXPECT_EQ(dynkomm_fifo_free_receiving_all(PEER, true), 1u);
    gw_raster(3);
    rq.clear();
    ASSERT_EQ(peer(1, 0, &rq), std::vector<uint16_t>{0x0500});
    const uint32_t second = answer(0x78);
    const uint8_t entry[8] = {0, 0, 0, 1, 0xA, 0xB, 0xC, 0xD};
    ASSERT_EQ(dynkomm_fifo_put(second, entry, sizeof entry, nullptr), DK_PUT_OK);
    gw_raster(3);
    EXPECT_EQ(took(), (Calls{{3, 0, 9, 1}, {1, 0, 0x0A0B0C0D, 1}}));
    gw_kill_list(handle);
    rq.clear();
    EXPECT_EQ(peer(1, 1, &rq), std::vector<uint16_t>{0x0502});
    EXPECT_EQ(word(rq.at(0), 12), 0x78u) << "the stop names the list the restarted peer granted";
}

// The command task frees a receiving FIFO (a peer's 0x0513 or path close names it) while the
// raster task is handing that FIFO's entry to a client: the FIFO outlives the read.
std::atomic<int> phase{0};
int blockingRead(uint32_t status, const void*, uintptr_t) {
    if (status != GW_OK) return 0;
    phase = 1;
    while (phase != 2)
        std::this_thread::yield();
    return 1;
}

TEST_F(Meas, AFifoFreedWhileTheRasterReadsItLastsUntilTheReadEnds) {
    const gw_callbacks_t blocking{
        {{nullptr, 0}, {blockingRead, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};
    gw_client_t* c = gw_connect(&blocking);
    const int32_t list[] = {-4, 0x40010, 0, 0};
    gw_start_list(gw_setup_list(c, list, 1, sizeof list, 3, PEER, 0, 0, 1, 4, 8, 3));
    std::vector<Bytes> rq;
    ASSERT_EQ(peer(2, 0, &rq), std::vector<uint16_t>{0x0500});
    const uint32_t fifo = dynkomm_fifo_reserve(PEER);
    ASSERT_EQ(dynkomm_fifo_activate(fifo, PEER, 3, 4, 8, 0), fifo);
    serve(message(0x0501, PEER, OWN, 0x77, word(rq[0], 8), fields({{fifo, 4}, {9, 2}})));
    const uint8_t entry[8] = {1, 2, 3, 4};
    ASSERT_EQ(dynkomm_fifo_put(fifo, entry, sizeof entry, nullptr), DK_PUT_OK);
    phase = 0;
    std::thread raster([] { gw_raster(3); });
    while (phase != 1)
        std::this_thread::yield();
    EXPECT_EQ(dynkomm_fifo_free(fifo), 1);
    phase = 2;
    raster.join();
    gw_raster(3); // the list's FIFO is gone: nothing to read
    gw_disconnect(c);
}

// A zero stamp becomes the time of the copy unless type bit 2 keeps it; speed 0 copies nothing;
// a value at an address that is not aligned to its width arrives as well.
std::vector<std::array<uint32_t, 3>> entries; // user, stamp, value
int entryOf(uint32_t status, const void* d, uintptr_t user) {
    const auto* p = static_cast<const uint8_t*>(d);
    if (status == GW_OK)
        entries.push_back({static_cast<uint32_t>(user), word(Bytes(p, p + 8), 0), word(Bytes(p, p + 8), 4)});
    return 1;
}

TEST_F(Meas, CopyStampsPausedListsAndUnalignedValues) {
    const gw_callbacks_t reader{
        {{nullptr, 0}, {entryOf, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};
    gw_client_t* c = gw_connect(&reader);
    timemodsim::install(); // the stamps' clock, whichever test ran before
    setSignal(U32_SIGNAL, 0xA1B2C3D4);
    setSignal(U32_SIGNAL + 4, 0);
    // user = raster: type, speed, address
    for (auto [raster, type, speed, address] :
         {std::tuple{3, 4, 1, U32_SIGNAL}, {4, 0, 0, U32_SIGNAL}, {5, 0, 1, U32_SIGNAL + 1}}) {
        const int32_t list[] = {-4, static_cast<int32_t>(address), 0, 0};
        gw_start_list(gw_setup_list(c, list, static_cast<uintptr_t>(raster), sizeof list,
                                    static_cast<uint16_t>(raster), 0, 1, static_cast<uint16_t>(type),
                                    static_cast<uint16_t>(speed), 4, 8, 0));
    }
    cycle(3);
    entries.clear();
    sim::step(7);
    const uint32_t now = time_getTimestamp();
    ASSERT_NE(now, 0u);
    for (int r : {3, 4, 5})
        meas_man_copy(r, 0), gw_raster(r);
    // the bytes D4 C3 B2 A1 00 in memory: from the second on, 0x00A1B2C3
    EXPECT_EQ(entries, (std::vector<std::array<uint32_t, 3>>{{3, 0, 0xA1B2C3D4}, {5, now, 0x00A1B2C3}}));
    gw_disconnect(c);
}

// The edges of a names region: element digits (at most nine), name length (below 200), the
// name count, a region that ends inside a name. (region, count) -> (name index, size) resolved.
TEST_F(Meas, NamesRegionEdges) {
    using namespace std::string_literals;
    using Got = std::vector<std::pair<uint16_t, uint32_t>>;
    const std::string n199(199, 'x'), n200(200, 'x');
    const std::tuple<std::string, uint16_t, Got, std::string> cases[] = {
        {"cpu_load[000000001]\0cpu_load[0000000001]\0"s,
         2,
         {{0, 4}},
         "measlist parse error (cpu_load[0000000001])"},
        {n199 + '\0' + n200 + '\0' + "ltecu" + '\0', 3, {{2, 2}}, "name too long, signal ignored"},
        {"ltecu\0usb_portsc1\0"s, 1, {{0, 2}}, ""},
        {"ltecu\0usb_portsc1"s, 5, {{0, 2}}, "measlist no chr(0) ending, remaining ignored"},
    };
    for (const auto& [region, count, expected, log] : cases) {
        MeasNameValue v[MEAS_NAMES_MAX];
        Got got;
        for (size_t i = 0, n = meas_man_resolve_names(region.data(), region.size(), count, v); i < n; ++i)
            got.emplace_back(v[i].index, v[i].size);
        EXPECT_EQ(got, expected) << count;
        EXPECT_TRUE(log.empty() || logged("meas_man_create2_cmd(): " + log)) << log;
    }
}

// Requests from the network that are malformed, or name no list or value of the server, and
// their answers: a refused create is 0x0501 with status 0 and no latency.
TEST_F(Meas, RequestsForNothingAndMalformedOnes) {
    auto request = [](uint16_t raster, uint16_t block, uint16_t length, std::vector<uint32_t> words) {
        return byAddress(PEER, raster, block, length, words, 0, 0x1234);
    };
    const uint32_t N2 = 0xFFFFFFFE, P3 = 3;
    const std::vector<Bytes> refused{message(0x0501, OWN, PEER, 0, 0x1234, fields({{0, 4}}))};
    const std::pair<Bytes, std::vector<Bytes>> cases[] = {
        {request(20, 8, 16, {N4, U32_SIGNAL, 0, 0}), refused},                // raster
        {request(3, 8, 16, {N4, U32_SIGNAL, 0}), refused},                    // length beyond the payload
        {request(3, 8, 14, {N4, U32_SIGNAL, 0, 0}), refused},                 // not a multiple of 4
        {request(3, 8, 0, {}), refused},                                      // empty
        {request(3, 8, 12, {N4, U32_SIGNAL, 0}), refused},                    // no final 0
        {request(3, 8, 16, {P3, U32_SIGNAL, 0, 0}), refused},                 // positive group word
        {request(3, 8, 16, {0xFFFFFFFD, U32_SIGNAL, 0, 0}), refused},         // -3
        {request(3, 7, 16, {N4, U32_SIGNAL, 0, 0}), refused},                 // block too small
        {request(3, 8, 24, {N2, U32_SIGNAL, U32_SIGNAL, 0, N2, 0}), refused}, // group without end
        {request(3, 8, 16, {0, U32_SIGNAL, 0, 0}), refused},                  // value after the end
        {request(3, 8, 20, {N4, U32_SIGNAL, 0, 0, 0}), refused},              // word after the end
        // a stop: 0x1100 with the request's first context word second, no payload
        {message(0x0502, PEER, OWN, 0x31, 0xBAD), {message(0x1100, OWN, PEER, 0, 0x31)}},
        // state by names: the context words swapped, u32 0
        {message(0x0516, PEER, OWN, 0x41, PEER), {message(0x0517, OWN, PEER, PEER, 0x41, fields({{0, 4}}))}},
        // by names without a known name: 12 zero bytes
        {byNames(std::string("nothere", 8), 1), {message(0x0511, OWN, PEER, 0xBB, 0xAA, Bytes(12, 0))}},
        // a stop by names: result 0, no FIFO; none at all without a request magic
        {message(0x0512, PEER, OWN, 0xDD, 0x1234), {message(0x0513, OWN, PEER, 0, 0xDD, fields({{0, 4}}))}},
        {message(0x0512, PEER, OWN, 0, 0x1234), {}},
    };
    for (const auto& [m, answers] : cases) {
        serve(m);
        EXPECT_EQ(sent(), answers) << std::hex << codes({m})[0];
    }
    serve(request(3, 8, 16, {N4, U32_SIGNAL, 0, 0}));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0300}) << "a sound list opens its path";
}

// A value is read only within the object its address names. A value whose group is wider than
// its object is granted and bounded: it carries the object's bytes, then zeros, and a line names
// it at set-up; the list's other values are served as ever. By address and by names from a peer,
// and this unit's own gateway list; 8 bytes on the block's last 8 fit.
uint32_t slotValue = 0x11223344; // a master's value slot: one 32-bit word
// A CCP master whose channel 3 has that slot.
void installSlot() {
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR,
                             [](uint32_t a) -> void* { return (a & 0xFFF) == 3 ? &slotValue : nullptr; });
}

TEST_F(Meas, AValueWiderThanItsObjectCarriesTheObjectThenZerosBesideTheOthers) {
    installSlot();
    setSignal(U32_SIGNAL, 0xA1B2C3D4);
    constexpr uint32_t N8 = 0xFFFFFFF8, SLOT = 29 << 18 | 3, LAST8 = SERAM_BLOCK_SIZE - 8;
    EXPECT_EQ(servedList(*this, {N4, U32_SIGNAL, 0, N8, SLOT, 0, 0}, 12),
              (Bytes{0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_TRUE(logged("meas_man_create(): 0x740003 of PID 0x30 holds 4 bytes, read as 8"));
    const uint8_t eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(seram_memory + LAST8, eight, 8);
    EXPECT_EQ(served(*this, LAST8, 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));

    // By names: a 4-byte variable on the block's last 2 bytes.
    meascalinfo_t tail{OWN << 24 | (SERAM_BLOCK_SIZE - 2), MCI_U32, 1, 0, 1, 0};
    ASSERT_NE(meascalinfo_addInfo("tail_word", &tail), nullptr);
    serve(byNames(std::string("tail_word\0usb_portsc1", 22), 2));
    const auto named = sent();
    ASSERT_EQ(codes(named), std::vector<uint16_t>{0x0511});
    EXPECT_NE(word(named[0], 20), 0u);
    EXPECT_TRUE(logged("meas_man_create2_cmd(): 0x05FFFE of PID 0x30 holds 2 bytes, read as 4"));
    meas_man_copy(3, 1), meas_man_copy(3, 2);
    SerNet_man_sender_online(3);
    const auto records = fake::take(fake::online);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Bytes(records[0].begin() + 12, records[0].end()), (Bytes{0, 0, 8, 7, 0xA1, 0xB2, 0xC3, 0xD4}));

    // This unit's gateway asks its own server: the list runs and is copied.
    const int32_t own[] = {-8, static_cast<int32_t>(SLOT), 0, -4, U32_SIGNAL, 0, 0};
    const uint32_t m = gw_setup_list(client, own, 1, sizeof own, 3, 0, 1, 0, 1, 4, 16, 3);
    gw_start_list(m);
    cycle(3);
    EXPECT_EQ(took(), (Calls{{3, 0, 0, 1}}));
    meas_man_copy(3, 5), gw_raster(3);
    EXPECT_EQ(took(), (Calls{{1, 0, 0, 1}})) << "the slot's upper four bytes are zeros";
    gw_kill_list(m);
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, nullptr);
}

// A list with several values wider than their objects, in every group, names each of them at
// set-up, and no value that fits.
TEST_F(Meas, EveryValueWiderThanItsObjectIsNamed) {
    installSlot();
    constexpr uint32_t N8 = 0xFFFFFFF8, N2 = 0xFFFFFFFE, SLOT = 29 << 18 | 3, END = SERAM_BLOCK_SIZE;
    const Bytes list = byAddress(
        PEER, 3, 52, 60,
        {N8, SLOT, END - 2, END - 4, END - 1, 0, N4, END - 2, U32_SIGNAL, END - 1, 0, N2, END - 1, 0, 0});
    serve(list);
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0300});
    for (const char* wide :
         {"0x740003 of PID 0x30 holds 4 bytes, read as 8", "0x05FFFE of PID 0x30 holds 2 bytes, read as 8",
          "0x05FFFC of PID 0x30 holds 4 bytes, read as 8", "0x05FFFF of PID 0x30 holds 1 bytes, read as 8",
          "0x05FFFE of PID 0x30 holds 2 bytes, read as 4", "0x05FFFF of PID 0x30 holds 1 bytes, read as 4",
          "0x05FFFF of PID 0x30 holds 1 bytes, read as 2"})
        EXPECT_EQ(countLogged(wide), 1) << wide;
    EXPECT_FALSE(logged("0x041000 of"));
    for (int i = 0; i < 100; ++i) // a peer that asks for such lists without end
        serve(list);
    EXPECT_LT(countLogged("of PID 0x30 holds"), 10) << "no flood";
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, nullptr);
}

// 0x0510 from `from` for usb_portsc1 at raster 3, its receiving FIFO `fifo`.
Bytes portscByName(uint16_t from, uint32_t fifo) {
    const char name[] = "usb_portsc1";
    Bytes p = fields({{3, 2}, {1, 2}, {sizeof name, 2}, {1, 2}, {4, 2}, {0, 2}});
    p.insert(p.end(), name, name + sizeof name);
    return message(0x0510, from, OWN, 0xAA, fifo, p);
}

// A requester holds at most its share of the server's lists, 895, and of this unit's paths, 128:
// together its share of the data FIFOs, 1,023 (65,535 over 64 PIDs). Beyond them it is refused
// with a line naming it, while another requester is granted; a requester at its share of lists
// still opens the paths of this unit's lists from it. A stop and a kill-all give the places back.
TEST_F(Meas, ARequesterBeyondItsShareIsRefusedWhileAnotherIsGranted) {
    std::vector<uint32_t> lists;
    for (int n = 0; n < 895; ++n) {
        serve(portscByName(PEER, 0xBB));
        const auto reply = sent();
        ASSERT_EQ(codes(reply), std::vector<uint16_t>{0x0511}) << n;
        lists.push_back(word(reply[0], 20));
        ASSERT_NE(lists.back(), 0u) << n;
    }
    serve(portscByName(PEER, 0xBB));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0511, OWN, PEER, 0xBB, 0xAA, Bytes(12, 0))});
    serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0501, OWN, PEER, 0, 1, fields({{0, 4}}))});
    EXPECT_TRUE(logged("PID 0x30 holds its share of 895 lists, list refused"));
    serve(portscByName(FAR, 0xBB));
    EXPECT_NE(word(sent().at(0), 20), 0u) << "another requester is granted";
    comint_setHandler(0x0300, SerNet_man_openpath);
    const Bytes path = message(0x0300, PEER, OWN, 0x1000, 0x2000,
                               fields({{PEER, 2}, {OWN, 2}, {3, 2}, {4, 2}, {1, 4}, {1, 2}, {0, 2}, {0, 4}}));
    int opened = 0;
    for (int n = 0; n <= 128; ++n) {
        serve(path);
        opened += word(sent().at(0), 24) != 0;
    }
    EXPECT_EQ(opened, 128);
    EXPECT_TRUE(logged("SerNet_man_openpath(): PID 0x30 holds 128 paths"));
    serve(message(0x0512, PEER, OWN, 0, lists[0]));
    serve(portscByName(PEER, 0xBB));
    EXPECT_NE(word(sent().at(0), 20), 0u) << "a stop gives its place back";
    serve(message(0x0504, PEER, OWN, 0, 0));
    serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0300}) << "a kill-all gives them all back";
}

// Lists by names refused because no FIFO towards their requester can be linked (it has no route
// here) give back their numbers and their requester's share: more of them than the server has
// numbers, and the same request is granted once the route is there.
TEST_F(Meas, ListsByNamesRefusedForTheirFifoGiveBackTheirNumbersAndShare) {
    const Bytes request = portscByName(UNROUTED, 0xBB);
    for (uint32_t n = 1; n <= DK_MAGIC_COUNT; ++n) {
        ci_serve_command(request.data(), request.size());
        if (n % 256 == 0) sim::step(1); // the command task sends the refusals (to no route)
    }
    routing_set_table_entries({ROUTE_ETHERNET, 0xC0000231}, UNROUTED, UNROUTED);
    sent();
    serve(request);
    const auto reply = sent();
    ASSERT_EQ(codes(reply), std::vector<uint16_t>{0x0511});
    EXPECT_NE(word(reply[0], 20), 0u) << "granted";
}

// A kill-all also takes the lists still waiting for their path: the path that opens afterwards
// is closed and its list refused, so the requester gets no entry of a list it has forgotten. A
// list it asks for after the kill-all runs.
TEST_F(Meas, AKillAllTakesTheListsStillWaitingForTheirPath) {
    serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}, 0, 7));
    const auto opening = sent();
    ASSERT_EQ(codes(opening), std::vector<uint16_t>{0x0300});
    serve(message(0x0504, PEER, OWN, 0, 0));
    EXPECT_TRUE(sent().empty());
    serve(message(0x0107, PEER, OWN, word(opening[0], 8), word(opening[0], 12),
                  fields({{word(opening[0], 28), 4}, {0x98, 4}, {0x98, 4}, {PEER, 2}})));
    EXPECT_EQ(sent(),
              (std::vector<Bytes>{message(0x0301, OWN, PEER, 0, 0, fields({{0x98, 4}, {OWN, 2}, {PEER, 2}})),
                                  message(0x0501, OWN, PEER, 0, 7, fields({{0, 4}}))}))
        << "its path closed, the list refused";
    EXPECT_EQ(dynkomm_get_fifo(word(opening[0], 8), nullptr), 0) << "and its FIFO freed";
    ASSERT_FALSE(grantedToPeer(U32_SIGNAL, 0, 8).empty());
    meas_man_copy(3, 1);
    SerNet_man_sender_online(3);
    EXPECT_EQ(fake::take(fake::online).size(), 1u) << "only the list asked for after the kill-all";
}

// A requester that restarts knows nothing of the lists it asked for: once the device network
// detects its reset, they go as its kill-all would take them, by address and by names, running
// or waiting for their path, and their numbers name nothing. A list it asks for after the reset
// stays.
TEST_F(Meas, ARestartedRequestersListsGoWhileTheListItAsksForAfterwardsStays) {
    const Bytes running = grantedToPeer(U32_SIGNAL);
    ASSERT_FALSE(running.empty());
    serve(portscByName(PEER, 0xBB));
    const uint32_t named = word(sent().at(0), 20);
    serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}, 0, 7));
    const auto opening = sent();
    ASSERT_EQ(codes(opening), std::vector<uint16_t>{0x0300});
    meas_man_requesterReset(PEER); // from the presence receiver; the command task takes the lists
    sim::waitIdle();
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0301}) << "the path by address closed";
    serve(portscByName(PEER, 0xCC));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0511});
    serve(message(0x0107, PEER, OWN, word(opening[0], 8), word(opening[0], 12),
                  fields({{word(opening[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
    EXPECT_EQ(codes(sent()), (std::vector<uint16_t>{0x0301, 0x0501}))
        << "the path of a list asked for before the reset comes too late: closed, and the list refused";
    meas_man_copy(3, 1), meas_man_copy(3, 2);
    SerNet_man_sender_online(3);
    const auto records = fake::take(fake::online);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(word(records[0], 4), 0xCCu) << "only the new list copies";
    serve(message(0x0502, PEER, OWN, 0x31, word(running, 8)));
    serve(message(0x0512, PEER, OWN, 0xDD, named));
    EXPECT_EQ(sent(), (std::vector<Bytes>{message(0x1100, OWN, PEER, 0, 0x31),
                                          message(0x0513, OWN, PEER, 0, 0xDD, fields({{0, 4}}))}));
}

// The command task carries out a requester's reset some time after the presence receiver notes
// it. A path that opens in between, for a list asked for before the reset, is closed and its list
// refused; a list asked for in between is granted and outlives the reset's carrying out.
SEM_ID holdCommands = nullptr;
void heldCommands(const uint8_t*, size_t) {
    semTake(holdCommands, WAIT_FOREVER);
}

TEST_F(Meas, WhatComesBetweenARequestersResetAndItsCarryingOut) {
    serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}, 0, 7));
    const auto opening = sent();
    ASSERT_EQ(codes(opening), std::vector<uint16_t>{0x0300});
    holdCommands = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    comint_setHandler(0x7E00, heldCommands);
    comint_put_cmd(message(0x7E00, OWN, OWN, 0, 0).data(), 1);
    sim::waitIdle(); // the command task waits in it
    const Bytes path = message(0x0107, PEER, OWN, word(opening[0], 8), word(opening[0], 12),
                               fields({{word(opening[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}}));
    comint_put_cmd(path.data(), 1);
    comint_put_cmd(portscByName(PEER, 0xCC).data(), 1);
    meas_man_requesterReset(PEER); // noted before the command task serves either
    semGive(holdCommands);
    const auto out = sent();
    ASSERT_EQ(codes(out), (std::vector<uint16_t>{0x0301, 0x0501, 0x0511}));
    EXPECT_EQ(word(out[1], 20), 0u) << "refused";
    EXPECT_NE(word(out[2], 20), 0u) << "granted";
    meas_man_copy(3, 1), meas_man_copy(3, 2);
    SerNet_man_sender_online(3);
    const auto records = fake::take(fake::online);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(word(records[0], 4), 0xCCu) << "the list asked for in between copies";
    semDelete(holdCommands);
}

// What the unit's rasters do each second for the server and its paths.
void aSecond() {
    for (int i = 0; i < 100; ++i)
        meas_man_10ms();
    SerNet_man_1s();
    dynkomm_1s();
}

// A peer creates and stops 70,000 one-value lists, by address and by names in turn, 250 a
// second: more than the 65,536 list numbers of the server, each of which waits 241 seconds after
// its stop. Every list is granted, the last one too.
TEST_F(Meas, ListNumbersOfStoppedListsComeBack) {
    for (uint32_t n = 1; n <= 70000; ++n) {
        if (n % 2) {
            const Bytes reply = grantedToPeer(U32_SIGNAL, 0, n);
            ASSERT_FALSE(reply.empty()) << n;
            ASSERT_NE(word(reply, 20), 0u) << "list " << n << " refused";
            serve(message(0x0502, PEER, OWN, 0x31, word(reply, 8)));
            ASSERT_EQ(codes(fake::take(fake::commands)), std::vector<uint16_t>{0x0301}) << n;
        } else {
            serve(byNames(std::string("usb_portsc1", 12), 1));
            const auto reply = fake::take(fake::commands);
            ASSERT_EQ(codes(reply), std::vector<uint16_t>{0x0511}) << n;
            ASSERT_NE(word(reply[0], 20), 0u) << "list " << n << " refused";
            serve(message(0x0512, PEER, OWN, 0, word(reply[0], 20)));
        }
        if (n % 250 == 0) aSecond();
    }
}

// A requester refuses the path of every list it asks for (it holds as many as it may of this
// unit's paths, say) and asks again at once: 70,000 lists, 1,000 a second. Each is refused, and
// the FIFOs of the paths that never opened give their numbers back: the last list still has its
// path asked for.
TEST_F(Meas, PathsARequesterRefusesGiveBackTheirNumbers) {
    const std::vector<uint16_t> refusedAndOpened{0x0501, 0x0300};
    for (uint32_t n = 1; n <= 70001; ++n) {
        // The refusal of the list before goes out with the path request of this one.
        serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}, 0, n));
        const auto out = fake::take(fake::commands);
        ASSERT_EQ(codes(out), n == 1 ? std::vector<uint16_t>{0x0300} : refusedAndOpened) << "list " << n;
        if (n > 1) {
            ASSERT_EQ(out[0], message(0x0501, OWN, PEER, 0, n - 1, fields({{0, 4}}))) << n;
        }
        const Bytes& open = out.back();
        const Bytes refusal = message(0x0107, PEER, OWN, word(open, 8), word(open, 12),
                                      fields({{word(open, 28), 4}, {0, 4}, {0, 4}, {PEER, 2}}));
        ci_serve_command(refusal.data(), refusal.size());
        if (n % 1000 == 0) aSecond();
    }
}

// The gateway's clients set up, start and kill 70,000 lists of this unit's own values, one every
// 10 ms, each killed 100 ms after it was started: the handles and requests of the gateway, the
// lists and paths of the server take more numbers than their tables hold, and give them back.
// Every list runs, the last one too.
TEST_F(Meas, GatewayListsOfTheUnitsOwnValuesComeAndGoWithoutEnd) {
    constexpr uint32_t LISTS = 70000, LIFE = 10;
    std::vector<uint32_t> handles;
    uint32_t ran = 0, otherwise = 0;
    for (uint32_t n = 1; n <= LISTS + LIFE; ++n) {
        if (n <= LISTS) {
            handles.push_back(single(0, U32_SIGNAL, 1, 0, n));
            ASSERT_NE(handles.back(), 0u) << "list " << n << " not set up";
            gw_start_list(handles.back());
        }
        if (n > LIFE) gw_kill_list(handles[n - LIFE - 1]);
        cycle();
        meas_man_10ms();
        if (n % 100 == 0) gw_meas_1s(), SerNet_man_1s(), dynkomm_1s();
        for (const Call& c : took()) {
            if (c.entry != 3) continue;
            ++(c.status == GW_OK ? ran : otherwise);
        }
    }
    EXPECT_EQ(ran, LISTS);
    EXPECT_EQ(otherwise, 0u);
}

// A peer asks for 70,000 lists, 150 a second (five seconds of them within its share), and never
// answers the path requests that follow (its replies lost with its channel, say). Each list is
// refused in the fifth second after it was asked for, and its numbers come back: the last one
// still has its path asked for.
TEST_F(Meas, ListsWhosePathIsNeverAnsweredAreRefusedAndGiveBackTheirNumbers) {
    uint32_t refused = 0;
    auto take = [&] {
        uint32_t opened = 0;
        for (const Bytes& m : fake::take(fake::commands)) {
            const uint16_t code = codes({m})[0];
            opened += code == 0x0300;
            refused += code == 0x0501 && word(m, 20) == 0;
        }
        return opened;
    };
    for (uint32_t n = 1; n <= 70000; ++n) {
        serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}, 0, n));
        ASSERT_EQ(take(), 1u) << "no path asked for list " << n;
        if (n % 150 == 0) aSecond();
        ASSERT_LE(n - refused, 6 * 150u) << "lists asked for in the last five seconds at most";
    }
    for (int i = 0; i < 5; ++i)
        aSecond(), sim::step(1), take();
    EXPECT_EQ(refused, 70000u);
}

TEST_F(Meas, ListsByNamesFromAPeer) {
    const char names[] = "usb_phy_linestate\0ltecu\0tecu_core\0cpu_load[1]\0usb_portsc1[3]\0cpu_load[7]\0"
                         "cpu_load\0bad]\0nothere\0usb_portsc1";
    serve(byNames(std::string(names, sizeof names), 10));
    const auto out = sent();
    ASSERT_EQ(codes(out), std::vector<uint16_t>{0x0511});
    const Bytes& r = out[0];
    EXPECT_EQ(word(r, 8), 0xBBu);
    EXPECT_EQ(word(r, 12), 0xAAu);
    const uint32_t list = word(r, 20);
    EXPECT_NE(list, 0u);
    // 4-byte values first (cpu_load[1], usb_portsc1), then ltecu (2), then the bytes.
    EXPECT_EQ(Bytes(r.begin() + 24, r.begin() + 36), fields({{4, 2}, {16, 2}, {0, 2}, {3, 2}, {0, 4}}));
    ASSERT_EQ(r.size(), 36u + 5 * 20);
    std::vector<std::vector<uint32_t>> heads;
    std::vector<std::vector<pyref::bytes>> cases;
    for (size_t i = 0; i < 5; ++i) {
        const uint8_t* rec = r.data() + 36 + 20 * i;
        heads.push_back({static_cast<uint32_t>(rec[0] << 8 | rec[1]),
                         static_cast<uint32_t>(rec[2] << 8 | rec[3]), rec[6]});
        cases.push_back({pyref::bytes(rec + 8, rec + 16)});
    }
    EXPECT_EQ(heads,
              (std::vector<std::vector<uint32_t>>{
                  {4, 3, MCI_F32}, {8, 9, MCI_U32}, {12, 1, MCI_U16}, {14, 0, MCI_U8}, {15, 2, MCI_U8}}));
    const auto floats =
        pyref::map("import struct\ndef f(b): return '%g %g' % struct.unpack('>ff', b)", cases);
    EXPECT_EQ(floats, (std::vector<std::string>{"1 -0", "1 -0", "10 -0", "1 -0", "1 40"}));
    EXPECT_TRUE(logged("meas_man_create2_cmd(): array element request, but usb_portsc1 is scalar, ignored"));
    EXPECT_TRUE(logged("meas_man_create2_cmd(): cpu_load is array, but scalar requested, ignored"));
    EXPECT_TRUE(logged("meas_man_create2_cmd(): measlist parse error (bad])"));
    EXPECT_TRUE(logged("meas_man_create2_cmd(): measlist parse error (cpu_load[7])")) << "beyond the array";
    // Speed by names, then the stop answers with the FIFO to free on the requester.
    serve(message(0x0514, PEER, OWN, 0xCC, list, fields({{2, 2}})));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0515, OWN, PEER, list, 0xCC, fields({{1, 4}}))});
    serve(message(0x0512, PEER, OWN, 0xDD, list));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0513, OWN, PEER, 0xBB, 0xDD, fields({{1, 4}}))});
    serve(message(0x0514, PEER, OWN, 0xCC, list, fields({{2, 2}})));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0515, OWN, PEER, list, 0xCC, fields({{0, 4}}))})
        << "stopped";
}

// A stop by names from another unit than the requester (here this unit itself) ends the list and
// its path towards the requester, as the requester's own stop would: the sender lets go of the
// FIFO before it is freed.
TEST_F(Meas, AStopByNamesFromAnotherUnitEndsThePathToTheRequester) {
    serve(byNames(std::string("usb_portsc1", 12), 1));
    const uint32_t list = word(sent().at(0), 20);
    for (uint32_t t = 1; t <= 2; ++t)
        meas_man_copy(3, t);
    serve(message(0x0512, OWN, OWN, 0xDD, list));
    meas_man_copy(3, 3);
    SerNet_man_sender_online(3);
    EXPECT_TRUE(fake::take(fake::online).empty());
    serve(message(0x0514, PEER, OWN, 0xCC, list, fields({{2, 2}})));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0515, OWN, PEER, list, 0xCC, fields({{0, 4}}))})
        << "stopped";
}

// An answer to a stop by names that no stop here asked for frees nothing it names: not a receiving
// FIFO from another unit, nor the sending FIFO of a list this unit serves (the copy still writes
// into it), nor a receiving FIFO of the answering unit (the gateway frees that for the answer to
// its own stop alone).
TEST_F(Meas, AnAnswerToAStopByNamesThatNoStopAskedForFreesNothing) {
    serve(byAddress(PEER, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}));
    const auto open = sent();
    ASSERT_EQ(codes(open), std::vector<uint16_t>{0x0300});
    const uint32_t sending = word(open[0], 8);
    serve(message(0x0107, PEER, OWN, sending, word(open[0], 12),
                  fields({{word(open[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
    sent();
    const uint32_t receiving = dynkomm_fifo_reserve(PEER);
    ASSERT_EQ(dynkomm_fifo_activate(receiving, PEER, 3, 4, 8, 0), receiving);
    for (auto [from, fifo] : {std::pair{PEER, sending}, {FAR, receiving}, {OWN, receiving}})
        serve(message(0x0513, from, OWN, fifo, 0));
    EXPECT_EQ(dynkomm_get_fifo(receiving, nullptr), 1) << "kept";
    EXPECT_EQ(dynkomm_get_fifo(sending, nullptr), 1) << "kept";
    for (uint32_t t = 1; t <= 2; ++t)
        meas_man_copy(3, t);
    SerNet_man_sender_online(3);
    EXPECT_EQ(fake::take(fake::online).size(), 1u) << "the list still copies";
    serve(message(0x0513, PEER, OWN, receiving, 0));
    EXPECT_EQ(dynkomm_get_fifo(receiving, nullptr), 1) << "kept";
}

// Lists asked for at raster 13, where lists that a master's DAQ drives are kept, by address and by
// names: no DAQ drives them, so they are in the raster's list, and their stops take them out.
TEST_F(Meas, ListsAskedForAtTheDaqRasterAreUnlinkedByTheirStop) {
    serve(byAddress(PEER, 13, 8, 16, {N4, U32_SIGNAL, 0, 0}));
    const auto open = sent();
    ASSERT_EQ(codes(open), std::vector<uint16_t>{0x0300});
    serve(message(0x0107, PEER, OWN, word(open[0], 8), word(open[0], 12),
                  fields({{word(open[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
    const uint32_t byAddressList = word(sent().at(0), 8);
    const char name[] = "usb_portsc1";
    Bytes p = fields({{13, 2}, {1, 2}, {sizeof name, 2}, {1, 2}, {4, 2}, {0, 2}});
    p.insert(p.end(), name, name + sizeof name);
    serve(message(0x0510, PEER, OWN, 0xAA, 0xBB, p));
    const uint32_t byNamesList = word(sent().at(0), 20);
    serve(message(0x0505, PEER, OWN, 0x55, PEER));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0103});
    serve(message(0x0502, PEER, OWN, 0x31, byAddressList));
    serve(message(0x0512, PEER, OWN, 0, byNamesList));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0301}) << "the path by address closed";
    serve(message(0x0505, PEER, OWN, 0x55, PEER));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0104}) << "none left";
}

TEST_F(Meas, StateQueriesAndKillAll) {
    auto create = [&](uint16_t from, uint16_t type) {
        serve(byAddress(from, 3, 8, 16, {N4, U32_SIGNAL, 0, 0}, type));
        const auto out = sent();
        if (out.size() != 1) return;
        const uint32_t remote = dynkomm_fifo_reserve(from);
        serve(message(0x0107, from, OWN, word(out[0], 8), word(out[0], 12),
                      fields({{word(out[0], 28), 4}, {remote, 4}, {0x99, 4}, {from, 2}})));
        sent();
    };
    meas_man_reset();
    meas_man_ini();
    serve(message(0x0505, PEER, OWN, 0x55, PEER));
    EXPECT_TRUE(sent().empty()) << "no answer before the channel archive is in";
    meas_man_virtChan_registered();
    meas_man_CanIO_initialized();
    create(PEER, 0);
    create(FAR, 0);
    serve(message(0x0505, PEER, OWN, 0x55, PEER));
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0103, OWN, PEER, 0, 0x55)});
    // Kill all from PEER: its list goes (the path closes), FAR's stays.
    serve(message(0x0504, PEER, OWN, 0, 0));
    EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0301});
    serve(message(0x0505, PEER, OWN, 0x55, PEER));
    serve(message(0x0505, FAR, OWN, 0x56, FAR));
    EXPECT_EQ(codes(sent()), (std::vector<uint16_t>{0x0104, 0x0103}));
}

// Telemetry asks whether a PID is offline (its frames then carry zeros) while the monitoring of
// the 10 ms raster sets the PID's state from the answers and from their absence.
TEST_F(Meas, TelemetryAsksWhetherAPidIsOfflineWhileTheMonitoringSetsItsState) {
    std::atomic<bool> done{false};
    std::atomic<int> online{0};
    std::thread tele([&] {
        while (!done)
            online += gw_pid_offline(PEER) == 0;
    });
    peer(40, 0);
    EXPECT_EQ(gw_pid_offline(PEER), 0);
    for (int i = 0; i < 10000000 && online == 0; ++i) // the reader sees it online too
        std::this_thread::yield();
    EXPECT_GT(online.load(), 0);
    peer(200, -1);
    done = true;
    tele.join();
    EXPECT_EQ(gw_pid_offline(PEER), 1);
}

// The shutdown stops the gateway while the 10 ms raster is in its monitoring; from then on the
// monitoring asks the peer nothing more.
TEST_F(Meas, TheShutdownStopsTheGatewayWhileTheRasterMonitorsIt) {
    ASSERT_NE(single(PEER, 0x10), 0u);
    peer(3, 1);
    std::atomic<bool> done{false};
    std::thread raster([&] {
        while (!done)
            gw_meas_monitoring();
    });
    gw_stop();
    done = true;
    raster.join();
    sim::waitIdle(); // the command task has sent what was queued before the stop
    fake::take(fake::commands);
    cycle(30);
    EXPECT_EQ(codes(fake::take(fake::commands)), std::vector<uint16_t>{});
}

// The stop comes in the middle of a monitoring pass: a client of this unit's own lists (this
// unit's PID is watched before the peer's) is told in that pass that its list is too long. The
// peer, whose poll is due in the same pass, is asked only while the gateway runs.
bool stopOnTooLong = false;
int startCallback(uint32_t status, const void*, uintptr_t) {
    if (status == GW_TOO_LONG && stopOnTooLong) gw_stop();
    return 0;
}

TEST_F(Meas, AStopInTheMiddleOfAMonitoringPassEndsThePass) {
    static_assert(OWN < PEER);
    const gw_callbacks_t starting{
        {{nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {startCallback, 0}, {nullptr, 0}, {nullptr, 0}}};
    gw_client_t* c = gw_connect(&starting);
    int32_t longList[121] = {-1};
    auto tooLongOnOwn = [&] {
        gw_start_list(gw_setup_list(c, longList, 1, 484, 3, OWN, 1, 0, 1, 4, 124, 0));
    };
    for (bool stop : {false, true}) {
        ASSERT_GT(until(0x0505, 0), 0);
        EXPECT_TRUE(peer(14, 0).empty());
        // The pass that polls the peer again: 150 ms after the last query.
        stopOnTooLong = stop;
        tooLongOnOwn();
        const int before = asked;
        peer(1, 0);
        EXPECT_EQ(asked - before, stop ? 0 : 1) << (stop ? "stopped" : "running");
    }
    EXPECT_EQ(until(0x0505, 0), -1);
    stopOnTooLong = false;
    gw_disconnect(c);
}

// The entry of the list X, Z, Y, X (aligned and unaligned words) copied at `stamp`, its values
// those of the stamp; and the copy of 20,000 such entries while `read` runs beside it (until
// after the last, then once more for the newest).
Bytes wholeEntry(uint32_t stamp) {
    const uint32_t v = stamp * 0x01010101u;
    return fields({{stamp, 4}, {v, 4}, {v >> 16 & 0xFF, 1}, {v & 0xFFFF, 2}, {v, 4}, {0, 1}});
}

void copyStampsWhile(uint8_t* x, const std::function<void()>& read) {
    std::atomic<bool> started{false}, done{false};
    std::thread reader([&] {
        started = true;
        while (!done)
            read();
        read();
    });
    while (!started)
        std::this_thread::yield();
    for (uint32_t stamp = 1; stamp <= 20000; ++stamp) {
        const uint32_t v = stamp * 0x01010101u;
        std::memcpy(x, &v, 4); // X, then Y and Z behind it
        std::memcpy(x + 4, &v, 4);
        meas_man_copy(9, stamp);
    }
    done = true;
    reader.join();
}

// The copy fills the slots of a peer's online list in place while the network sender copies the
// newest entry out; with two slots the copy comes round to the slot being sent at once. Every
// entry sent is whole: its values are those of its stamp. Words at aligned and unaligned places.
TEST_F(Meas, TheSenderSendsWholeEntriesWhileTheCopyWritesTheSlots) {
    constexpr uint32_t X = 0x41000, Y = 0x41004, Z = 0x41006, N1 = 0xFFFFFFFF, N2 = 0xFFFFFFFE;
    serve(byAddress(PEER, 9, 16, 52, {N4, X, 0, N1, Z, 0, N2, Y, 0, N4, X, 0, 0}));
    const auto open = sent();
    ASSERT_EQ(codes(open), std::vector<uint16_t>{0x0300});
    serve(message(0x0107, PEER, OWN, word(open[0], 8), word(open[0], 12),
                  fields({{word(open[0], 28), 4}, {0x99, 4}, {0x99, 4}, {PEER, 2}})));
    ASSERT_EQ(codes(sent()), std::vector<uint16_t>{0x0501});
    copyStampsWhile(seram_memory + X, [] { SerNet_man_sender_online(9); });
    const auto records = fake::take(fake::online);
    ASSERT_FALSE(records.empty());
    size_t torn = 0;
    for (const Bytes& r : records)
        torn += Bytes(r.begin() + 8, r.end()) != wholeEntry(word(r, 8));
    EXPECT_EQ(torn, 0u) << "of " << records.size();
}

// The same list of this unit's own, read by the gateway: the copy comes round to the slot the
// raster task hands to its client while the client reads it. Every entry a client gets is whole.
std::atomic<uint32_t> wholeEntries{0}, tornEntries{0};
int checkWhole(uint32_t status, const void* d, uintptr_t) {
    if (status != GW_OK) return 0;
    const auto* p = static_cast<const uint8_t*>(d);
    const Bytes got(p, p + 16);
    ++(got == wholeEntry(word(got, 0)) ? wholeEntries : tornEntries);
    return 1;
}

TEST_F(Meas, TheGatewayHandsWholeEntriesWhileTheCopyWritesTheSlots) {
    constexpr int32_t X = 0x41000, Y = 0x41004, Z = 0x41006;
    const gw_callbacks_t checking{
        {{nullptr, 0}, {checkWhole, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};
    gw_client_t* c = gw_connect(&checking);
    const int32_t list[] = {-4, X, 0, -1, Z, 0, -2, Y, 0, -4, X, 0, 0};
    gw_start_list(gw_setup_list(c, list, 1, sizeof list, 9, 0, 1, 0, 1, 2, 16, 0));
    cycle(3);
    wholeEntries = tornEntries = 0;
    copyStampsWhile(seram_memory + X, [] { gw_raster(9); });
    EXPECT_GT(wholeEntries.load(), 0u);
    EXPECT_EQ(tornEntries.load(), 0u) << "of " << wholeEntries + tornEntries;
    gw_disconnect(c);
}

// Copiers of raster 12 (the lap and the lap status-block rasters) against the command task
// creating and killing lists of the same raster.
TEST_F(Meas, CopiersAgainstCreateAndKillStorms) {
    std::atomic<bool> done{false};
    auto copier = [&](uint32_t stamp) {
        while (!done)
            meas_man_copy(12, stamp);
    };
    std::thread lap(copier, 5), period(copier, 0);
    const Bytes create = byAddress(OWN, 12, 8, 16, {N4, U32_SIGNAL, 0, 0});
    for (int i = 0; i < 40; ++i) {
        // through the queue: the command task serves them, as in the unit
        comint_put_cmd(create.data(), 1);
        comint_put_cmd(create.data(), 1);
        comint_put_cmd(message(0x0504, OWN, OWN, 0, 0).data(), 1);
        sim::step(1);
    }
    done = true;
    lap.join();
    period.join();
}

} // namespace

// Logged data (type bit 1) flow 100 ms after full synchronisation and for 5 s after it is lost;
// the clock set back stops the list with one 0x0518 to its requester.
TEST_F(Meas, LoggedDataFollowTheSyncAndStopWhenTheClockGoesBack) {
    timemodsim::install();
    timemodsim::setStatus(TIME_SYNC_FULL);
    serve(byNames(std::string("usb_portsc1", 12), 1, 3));
    const uint32_t list = word(sent().at(0), 20);
    auto copies = [](int cycles) {
        size_t n = 0;
        for (int i = 0; i < cycles; ++i) {
            meas_man_10ms();
            meas_man_copy(3, 0);
            SerNet_man_sender_offline(3);
            n += fake::take(fake::offline).size();
        }
        return n;
    };
    struct Step {
        uint32_t status;
        int cycles;
        size_t copies;
    } steps[] = {{TIME_SYNC_FULL, 9, 0},       {TIME_SYNC_FULL, 1, 1}, {TIME_SYNC_NO_SIGNAL, 500, 500},
                 {TIME_SYNC_NO_SIGNAL, 10, 0}, {TIME_SYNC_FULL, 9, 0}, {TIME_SYNC_FULL, 5, 5}};
    for (const Step& s : steps) {
        timemodsim::setStatus(s.status);
        EXPECT_EQ(copies(s.cycles), s.copies) << s.status << " " << s.cycles;
    }
    EXPECT_TRUE(sent().empty());
    // The next gap sets the timestamp a second back.
    hw_write32(TIME_MODULE_BASE + TIME_REG_NEXT_GAP_WR, time_getTimestamp() - 10000);
    sim::step(timemodsim::GAP_PERIOD / 10);
    EXPECT_EQ(copies(5), 0u);
    EXPECT_EQ(sent(), std::vector<Bytes>{message(0x0518, OWN, PEER, 3, list)});
}

// A logged list whose FIFO nobody empties loses the copies that find it full; the second's count
// reaches the diagnostics, read by another task while the 10 ms raster sums it.
TEST_F(Meas, LostCopiesOfALoggedListAreCountedForTheDiagnostics) {
    timemodsim::install();
    timemodsim::setStatus(TIME_SYNC_FULL);
    serve(byNames(std::string("usb_portsc1", 12), 1, 3));
    for (int i = 0; i < 10; ++i)
        meas_man_10ms();
    for (int i = 0; i < 3000; ++i)
        meas_man_copy(3, 0);
    size_t kept = 0;
    for (int i = 0; i < 5; ++i)
        SerNet_man_sender_offline(3), kept += fake::take(fake::offline).size();
    ASSERT_GT(kept, 0u);
    std::atomic<bool> done{false};
    std::atomic<uint32_t> seen{0};
    std::thread diag([&] {
        while (!done)
            seen = meas_man_get_data_loss_cnt();
        seen = meas_man_get_data_loss_cnt(); // after the sum
    });
    for (int i = 0; i < 100; ++i)
        meas_man_10ms();
    done = true;
    diag.join();
    // Every copy was sent, lost, or is the one entry still in the FIFO.
    const uint32_t lost = meas_man_get_data_loss_cnt();
    EXPECT_EQ(seen.load(), lost);
    EXPECT_TRUE(lost == 3000 - kept || lost == 3000 - kept - 1) << lost << " lost, " << kept << " sent";
}

// A queue-mode list by name at 1 ms asked with 2 FIFO slots: the server's sending FIFO holds
// what the 10 ms sender round finds, so every entry goes out, in order.
TEST_F(Meas, QueueModeListByNameWithFewSlotsLosesNothing) {
    const char name[] = "usb_portsc1";
    Bytes p = fields({{0, 2}, {1, 2}, {sizeof name, 2}, {1, 2}, {2, 2}, {1, 2}});
    p.insert(p.end(), name, name + sizeof name);
    serve(message(0x0510, PEER, OWN, 0xAA, 0xBB, p));
    ASSERT_EQ(codes(sent()), std::vector<uint16_t>{0x0511});
    std::vector<uint32_t> stamps;
    for (uint32_t t = 0; t <= 100; ++t) { // the first call starts the list's countdown
        meas_man_copy(0, t);
        if (t % 10 || !t) continue;
        SerNet_man_sender_offline(0);
        for (const Bytes& r : fake::take(fake::offline))
            stamps.push_back(word(r, 8));
    }
    std::vector<uint32_t> all(100);
    std::iota(all.begin(), all.end(), 1u);
    EXPECT_EQ(stamps, all);
}

namespace {

uint32_t masterValue = 0xCAFE0001;
void* fedList = nullptr;
int detached = 0;

TEST_F(Meas, AListOfOneMasterDaqsChannelsIsFedByTheDaqOnceItRuns) {
    // A master that claims lists of class 29 as its DAQ 7's.
    static const MeasManMaster master{
        [](const int32_t* w, uint32_t, uint32_t* daq, int) { return (w[1] >> 18) == 29 ? (*daq = 7, 1) : 0; },
        [](void* l, uint32_t daq) -> MeasDetach {
            fedList = daq == 7 ? l : nullptr;
            return [](void*) { ++detached; };
        }};
    meas_man_setMaster(0, &master);
    fedList = nullptr, detached = 0; // a run before this one (a repeat) left its own
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, [](uint32_t) -> void* { return &masterValue; });
    const int32_t list[] = {-4, 29 << 18 | 3, 0, 0};
    const uint32_t m = gw_setup_list(client, list, 1, sizeof list, 3, OWN, 0, 1, 1, 4, 8, 0);
    gw_start_list(m);
    cycle(3);
    ASSERT_NE(fedList, nullptr) << "tied once it runs";
    took();
    meas_man_copy(3, 5), gw_raster(3);
    EXPECT_TRUE(calls.empty()) << "the raster does not copy it";
    meas_man_copy_daq(fedList, 0x1234);
    gw_raster(3);
    EXPECT_EQ(calls, (Calls{{1, 0, 0xCAFE0001, 1}}));
    gw_kill_list(m);
    cycle(3);
    EXPECT_EQ(detached, 1);
    meas_man_setMaster(0, nullptr);
}

// A master whose DAQs feed at most four lists at once. A peer asks for four lists of its DAQ's
// channels, ten times over, and ends each round with a kill-all: the lists run for the peer until
// then (its state query says so), and the kill gives back their paths and the master's places.
std::array<void*, 4> fedPlaces{};
size_t placesTaken() {
    return static_cast<size_t>(std::ranges::count_if(fedPlaces, [](void* p) { return p != nullptr; }));
}

TEST_F(Meas, AKillAllGivesBackTheListsAMastersDaqFeeds) {
    static const MeasManMaster master{
        [](const int32_t* w, uint32_t, uint32_t* daq, int) { return (w[1] >> 18) == 29 ? (*daq = 7, 1) : 0; },
        [](void* l, uint32_t) -> MeasDetach {
            const auto free = std::ranges::find(fedPlaces, nullptr);
            if (free == fedPlaces.end()) return nullptr;
            *free = l;
            return [](void* gone) { std::ranges::replace(fedPlaces, gone, static_cast<void*>(nullptr)); };
        }};
    meas_man_setMaster(0, &master);
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, [](uint32_t) -> void* { return &masterValue; });
    fedPlaces = {};
    for (int round = 0; round < 10; ++round) {
        for (uint32_t channel = 0; channel < 4; ++channel) {
            const Bytes reply = grantedToPeer(29 << 18 | channel, 1);
            ASSERT_FALSE(reply.empty()) << round;
            ASSERT_NE(word(reply, 20), 0u) << "granted in round " << round;
        }
        ASSERT_EQ(placesTaken(), 4u) << "fed by the DAQ in round " << round;
        serve(message(0x0505, PEER, OWN, 0x55, PEER));
        EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0103}) << round;
        serve(message(0x0504, PEER, OWN, 0, 0));
        EXPECT_EQ(codes(fake::take(fake::commands)), std::vector<uint16_t>(4, 0x0301)) << round;
        EXPECT_EQ(placesTaken(), 0u) << round;
        serve(message(0x0505, PEER, OWN, 0x55, PEER));
        EXPECT_EQ(codes(sent()), std::vector<uint16_t>{0x0104}) << round;
    }
    meas_man_setMaster(0, nullptr);
}

} // namespace

namespace {

// Every address the unit resolves, measured at every size: lists of a peer at the group sizes 1,
// 2, 4 and 8, and handles at the sizes of DAQ entries, over every output number of a channel
// function of every type, the memory's edges, a master's slot, conversion results and the error
// pattern. What is granted is read within its object and arrives as the handle reads it; what is
// not fits no object and is refused. The sanitizer's build tells any read beyond an object.

using testsupport::DS;

float convFloat = 1.5f;
uint8_t convByte = 200;

DS sensor() {
    return DS(0x01, 96).floats(76, {500, 40, -10, 100}).on(0x0101);
}
// Functions of every type, in two loads; every kind of output width among them.
std::vector<std::vector<DS>> everyType() {
    DS led(0x0B, 1968), speed = DS(0x07, 236, 2).ref(40, 1).floats(220, {1e9f, 10}).put<uint16_t>(228, 1);
    DS curve(0x02, 220);
    curve.on(0x0101).put<uint16_t>(76, 2).floats(80, {0, 5000, 0, 100}).floats(208, {-1e9f, 1e9f});
    return {{sensor(), curve, DS(0x0C, 152), DS(0x0D, 532), DS(0x0E, 164).ref(40, 1), DS(0x0A, 148),
             led.put<uint8_t>(1959, 1).put<uint8_t>(1961, 10), DS(0x17, 20), DS(0x08, 1196), speed,
             DS(0x10, 300).put<uint16_t>(292, 3).tokens(192, {{0x10, 0}}), DS(0x13, 116)},
            {DS(0x03, 116).on(0x0101), DS(0x05, 92).on(0x0301), DS(0x06, 84).on(0x0301), DS(0x09, 216),
             DS(0x0F, 104).ref(40, 1), DS(0x10, 300).put<uint16_t>(292, 1), DS(0x11, 504),
             DS(0x12, 184).on(0x0101), DS(0x14, 88).ref(40, 1)}};
}

struct Bounds : UnitOn<testsupport::Channels> {
    void SetUp() override {
        UnitOn::SetUp();
        SerNet_man_reset();
        SerNet_man_ini();
        meas_man_reset();
        meas_man_ini();
        gw_meas_setHandlers();
        installSlot();
        conv_reset();
        static convEntry_t entries[] = {{&convFloat, 0, CONV_F32, CONV_F64},
                                        {&convByte, 0, CONV_U8, CONV_U8}};
        static const uint32_t count = 2;
        static const convRule_t rule{1, 0};
        static convTable_t table{entries, &count, &rule};
        ASSERT_TRUE(convRegisterVirtualMeasTable(0, &table));
    }
    void TearDown() override {
        sim::step(1);
        meas_man_reset();
        seramMeasSetMasterSource(MEAS_CLASS_CCPMR, nullptr);
        conv_reset();
        UnitOn::TearDown();
    }
    // What a handle of the address reads in `size` bytes, big-endian.
    static Bytes viaHandle(uint32_t address, uint32_t size) {
        seramMeasHandle h{};
        seramMeasSetupMeas(address, 3, &h);
        Bytes v(size);
        seramMeasCopy_bigEndian(v.data(), size, &h);
        seramMeasFreeMeas(&h);
        return v;
    }
};

// Every address is served at every group size, each value as a handle reads it: the object's
// bytes, then zeros. How many were refused.
TEST_F(Bounds, EveryAddressAtEveryGroupSizeFromAPeer) {
    size_t refused = 0;
    auto sweep = [&](uint32_t address) {
        for (uint32_t size : {1u, 2u, 4u, 8u})
            if (const auto value = served(*this, address, size))
                EXPECT_EQ(*value, viaHandle(address, size)) << std::hex << address << " " << size;
            else
                ++refused;
    };
    const uint32_t end = SERAM_BLOCK_SIZE;
    const uint32_t SLOT = 29 << 18 | 3, NO_SLOT = 29 << 18 | 4;
    for (uint32_t address : {0x100u, end - 8, end - 7, end - 4, end - 2, end - 1, end, end + 1, SLOT, NO_SLOT,
                             0x800000u, 0x800001u, 0x800002u})
        sweep(address);
    // The memory's last byte in 8 bytes, a master's 4-byte slot in 8.
    seram_memory[end - 1] = 0x77;
    EXPECT_EQ(served(*this, end - 1, 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 0x77}));
    EXPECT_EQ(served(*this, SLOT, 8), (Bytes{0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44}));
    // Every output of every function; the measured ones take any output number.
    for (const std::vector<DS>& list : everyType()) {
        load(list);
        for (uint16_t idx = 0; idx <= list.size(); ++idx)
            for (uint32_t out = 0; out < 256; ++out)
                sweep(awm_vc_id(idx, static_cast<uint8_t>(out)));
    }
    EXPECT_EQ(refused, 0u);
}

// The lap function's 1-byte flag (output 0x44 of channel function 14) read in a 4-byte group:
// the flag's value, big-endian, not the flags beside it.
TEST_F(Bounds, TheLapFlagInAFourByteGroupReadsTheFlag) {
    std::vector<DS> list(14, DS(0x13, 116));
    list.push_back(DS(0x08, 1196));
    load(list);
    constexpr uint32_t FLAG = 0x7C0E44;
    seramMeasHandle h{};
    seramMeasSetupMeas(FLAG, 3, &h);
    ASSERT_EQ(h.size, 1u);
    const uint8_t flags[] = {0x5A, 0xA5, 0xA5, 0xA5};
    std::memcpy(reinterpret_cast<void*>(h.source), flags, 4);
    seramMeasFreeMeas(&h);
    EXPECT_EQ(served(*this, FLAG, 4), (Bytes{0, 0, 0, 0x5A}));
}

// Handles at the sizes of DAQ entries, up to the error pattern's 256 bytes and beyond: a copy
// larger than its object gives the object's bytes, then zeros.
TEST_F(Bounds, EveryOutputOfEveryTypeThroughAHandleAtEveryEntrySize) {
    const uint32_t sizes[] = {1, 3, 4, 8, 12, 16, 64, 248, 252, 256, 300};
    size_t granted = 0, refused = 0;
    for (const std::vector<DS>& list : everyType()) {
        load(list);
        for (uint16_t idx = 0; idx <= list.size(); ++idx)
            for (uint32_t out = 0; out < 256; ++out) {
                seramMeasHandle h{};
                seramMeasSetupMeas(awm_vc_id(idx, static_cast<uint8_t>(out)), 3, &h);
                for (uint32_t size : sizes) {
                    Bytes v(size, 0xCC);
                    seramMeasCopy(v.data(), size, &h);
                    if (seramMeasFits(&h, size)) {
                        ++granted;
                        continue;
                    }
                    ++refused;
                    ASSERT_LT(h.size, size);
                    EXPECT_EQ(Bytes(v.begin() + h.size, v.end()), Bytes(size - h.size, 0));
                }
                seramMeasFreeMeas(&h);
            }
    }
    EXPECT_GT(granted, 0u);
    EXPECT_GT(refused, 0u);
}

} // namespace
