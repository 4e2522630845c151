// The FIR filter in front of a board input (types 0x100 and 0x101), started by the board-input
// types for their outputs 0 and 2 on the channel's own vc_id and raster.
//
// Taps: a four-tap moving average (1/4 each) over the samples the filter takes once per cycle
// of its raster, so its delay is 1.5 raster periods; that, in milliseconds rounded up, is its
// latency. 0x100 filters the converter's filtered sample, 0x101 the unfiltered one. Until four
// samples are in, the first sample stands for the missing ones.
#include "acquisition/awm/awm_private.h"

#include <new>

namespace {

constexpr int TAPS = 4;

struct Fir {
    uint16_t boardChannel;
    uint16_t raster;
    bool unfiltered;
    uint8_t pos;
    bool primed;
    float history[TAPS];
    float out;
};

void* setup(uint32_t vcId, uint16_t raster, awm_out* out, bool unfiltered) {
    auto* f = new (std::nothrow) Fir{};
    if (!f) return nullptr;
    f->boardChannel = awm_man_get_adc_chan(awm_vc_index(vcId));
    f->raster = raster;
    f->unfiltered = unfiltered;
    *out = awm_object(&f->out);
    return f;
}
void* setupFiltered(uint32_t vcId, uint16_t raster, awm_out* out) {
    return setup(vcId, raster, out, false);
}
void* setupUnfiltered(uint32_t vcId, uint16_t raster, awm_out* out) {
    return setup(vcId, raster, out, true);
}

void meas(void* h, uint32_t) {
    auto* f = static_cast<Fir*>(h);
    const float x =
        f->unfiltered ? awm_get_channel(f->boardChannel) : awm_get_channel_filtered(f->boardChannel);
    if (!f->primed) {
        for (float& v : f->history)
            v = x;
        f->primed = true;
    }
    f->history[f->pos] = x;
    f->pos = static_cast<uint8_t>((f->pos + 1) % TAPS);
    float sum = 0;
    for (float v : f->history)
        sum += v;
    f->out = sum / TAPS;
}

uint16_t latency(void* h) {
    return h ? static_cast<uint16_t>((3 * awm_raster_ms(static_cast<Fir*>(h)->raster) + 1) / 2) : 0;
}
uint8_t shutdownMeasure(void* h) {
    delete static_cast<Fir*>(h);
    return h ? 1 : 0;
}
uint16_t cfgLen() {
    return 0;
}
uint8_t shutdown(void*) {
    return 1;
}

} // namespace

const awm_entry_t entry_0x100_fir{nullptr,         cfgLen,  nullptr, setupFiltered, meas,   latency,
                                  shutdownMeasure, nullptr, nullptr, shutdown,      nullptr};
const awm_entry_t entry_0x101_fir{nullptr,         cfgLen,  nullptr, setupUnfiltered, meas,   latency,
                                  shutdownMeasure, nullptr, nullptr, shutdown,        nullptr};
