// Channel descriptions: a measured channel named in a configuration file, with its last value.
//
// Channel descriptions: one measured channel that a configuration file names by address
// (owner PID, address, value type, bit mask, the coefficients that quantise it), subscribed
// at the measurement gateway, with its last delivered value.
#pragma once

#include "services/xml/xml.h"

#include <atomic>
#include <cstdint>

// gw data types: 0 SINT8, 1 UINT8, 2 SINT16, 3 UINT16, 4 SINT32, 5 UINT32, 6 FLOAT, 7 boolean, 255 unknown
//
// One task (the gateway's) delivers the value while others read it: the value is one atomic
// word and each reader quantises the word it loaded, so no reader sees a value with the
// quantisation of another; the new-data flag is taken before the value, so a value read with
// the flag is at least as new as the delivery that set it.
class ChanData {
  public:
    // Builds the channel from the current start tag (its attributes); an element with content
    // is skipped to its end. Throws the XML layer's error texts.
    ChanData(XmlScan* scan, XmlTok_t* tok);
    // A channel of this unit's measurement address, of gw data type `type`, whose quantised
    // value is value x factor + offset.
    ChanData(uint32_t measAddress, uint32_t type, uint32_t mask, float factor, float offset);
    ~ChanData();
    ChanData(const ChanData&) = delete;
    ChanData& operator=(const ChanData&) = delete;

    static uint32_t convDataType(uint32_t fileType);

    void setup(uint16_t raster, uint32_t timeout);
    static int readCyclic(uint32_t status, const void* entry, uintptr_t channel);
    void putData(const uint8_t* bigEndian);
    void getRawData(uint32_t& v) const;
    void getRawData(int32_t& v) const;
    void getRawData(double& v) const;
    void getRawData(void* out, uint32_t size) const;
    void getQuantData(uint32_t& v) const;
    void getQuantData(int32_t& v) const;
    void getQuantData(double& v) const;
    uint8_t getMeasUpdateState() const { return newData.load(); }
    void setTimeout() { newData = 0; }

    uint32_t reserved = 0;
    uint32_t address = 0;
    uint32_t mask = 0;
    uint8_t shift = 0;
    uint32_t dataType = 255;
    char name[256] = {};
    char vtab[256] = {};
    std::atomic<uint8_t> status{1};
    float a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    std::atomic<uint8_t> newData{0};
    uint32_t magic = 0;

  private:
    // The raw 32 bits, or a float channel's value widened to a double, as one word.
    std::atomic<uint64_t> raw{0};
    uint32_t word() const { return static_cast<uint32_t>(raw.load(std::memory_order_acquire)); }
    double real() const;
    double quantised() const;
};

void chan_meas_setup(ChanData* ch, uint32_t timeout, uint16_t raster);
// The new-data flag (then cleared); 0 for a missing channel.
int chan_meas_getValue(ChanData* ch, double* value, uint8_t* status);
int chan_meas_getRawData(ChanData* ch, void* buffer, uint32_t size, uint8_t* status);
