// Fuzz target: arbitrary datagrams from an XCP slave on UDP, split into packets and taken as
// responses or DTOs of a running instance with two DAQs; byte 0 is the slave's DAQ_KEY_BYTE,
// byte 1 the timestamp size (bits 0-1: 0, 1, 2, 4) and byte order (bit 7).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/xcpmr/xcpmr_private.h"
#include "vyn/vartable.h"

using namespace xmr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Inst* in = [] {
        static const uint8_t daqOf[] = {0, 0, 0, 1, 1, 1, 1, 1}, sizeOf[] = {4, 2, 1, 4, 4, 4, 2, 1};
        static seramWord<uint8_t> chanDaq[8], chanSize[8]; // as the data page's tables
        for (int c = 0; c < 8; ++c)
            chanDaq[c] = daqOf[c], chanSize[c] = sizeOf[c];
        Inst* i = new Inst{};
        i->nDaq = 2;
        i->daqs = new Daq[2]{};
        for (uint8_t k = 0; k < 2; ++k) {
            Daq& d = i->daqs[k];
            d.inst = i, d.number = k, d.odtCount = 3;
            d.odts = new mr::Odt[3]{};
            d.inUse = static_cast<uint8_t>(mr::buildOdts(d.odts, 3, k, chanDaq, chanSize, 8, 7, false));
            d.started = 1;
        }
        for (uint32_t pid = 0; pid < 5; ++pid)
            i->pidMap[pid] = 0x80000000u | (pid < 1 ? 0 : 1u) << 8 | (pid < 1 ? 0 : pid - 1);
        i->udp = new UdpTl{};
        i->q = msgQCreate(8, sizeof(Msg), MSG_Q_FIFO);
        daqQueue = msgQCreate(8, sizeof(DaqMsg), MSG_Q_FIFO);
        i->factor = 1;
        xcpmr_status[0] = 5;
        return i;
    }();
    if (size < 2 || size - 2 > sizeof in->udp->buf) return 0;
    in->keyByte = data[0];
    in->tsSize = static_cast<uint8_t>((data[1] & 3) == 3 ? 4 : data[1] & 3);
    in->bigEndian = data[1] >> 7;
    std::memcpy(in->udp->buf, data + 2, size - 2);
    in->udp->fill = static_cast<uint32_t>(size - 2), in->udp->pos = 0;
    while (in->udp->pos < in->udp->fill) {
        const uint8_t* p = nullptr;
        const int n = UdpNextPacket(in->udp, &p);
        if (n < 0) break;
        UdpHandlePacket(in, p, static_cast<uint32_t>(n));
        DaqMsg m;
        while (msgQReceive(daqQueue, &m, sizeof m, NO_WAIT) == static_cast<int>(sizeof m))
            daqMessage(m);
        Msg r;
        while (msgQReceive(in->q, &r, sizeof r, NO_WAIT) > 0) {
        }
    }
    return 0;
}
