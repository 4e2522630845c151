// Simulated CAN: the manager's two CAN controllers and the buses behind them.
//
// The manager's CAN side (platform): identifier registration, transmission, bit timing and
// activation of the two controllers, the process's receive queue, and the buses behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cansim {

struct Frame {
    uint8_t node = 0; // controller 0 or 1
    uint32_t id = 0;
    bool ext = false; // 29-bit identifier
    bool fd = false;
    bool brs = false;
    uint8_t len = 0; // bytes
    uint8_t data[64] = {};
};

// Installs the handlers of calls 2696, 2697, 2699 and 2702, creates the receive queue of
// process `index` and opens the bus of platform::settings() (local, or udp multicast with its
// groups and port; the pcap file when one is named). False with the reason in *error.
bool install(unsigned index, std::string* error);
// Closes the buses and the pcap file, removes the handlers, forgets the registrations.
void uninstall();

// A frame of another node arriving on its controller's bus: queued for every slot that
// registered its identifier. False when it matches none or the queue is full.
bool inject(const Frame& f);
// The frames the process transmitted since the last call (all buses), oldest first.
std::vector<Frame> takeSent();
// The bit timing the process asked for, and whether CAN was activated.
bool bitTiming(int node, uint32_t* baudrate, float* samplepoint, uint32_t* sjw);
bool activated();

// python-can's udp_multicast datagram (a msgpack map) for a frame, and back. Remote and error
// frames, and anything that is not such a map, decode to false.
std::vector<uint8_t> encodeUdp(const Frame& f, double timestamp);
bool decodeUdp(const uint8_t* p, size_t n, Frame* f);

// One pcap record (LINKTYPE_CAN_SOCKETCAN) of a frame: header fields and the padded frame.
std::vector<uint8_t> pcapRecord(const Frame& f, uint64_t usec);
std::vector<uint8_t> pcapHeader();

} // namespace cansim
