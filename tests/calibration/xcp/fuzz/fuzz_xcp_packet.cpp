// Fuzz target: datagrams as the receive task hands them on, from the connected tool or from
// another sender, each followed by a DAQ event (the 10 ms one with the transport's tick after
// it, as its raster runs them): the frame checks, every command's parameters and the DAQ lists
// they build. The store request ends the unit and is left out.
#include "calibration/memory/seram.h"
#include "calibration/xcp/xcp_private.h"
#include "platform/os/sim.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

// Input: records of a sender byte (bit 0: the other sender, bits 1-2: the event), a length
// byte and that many bytes of datagram.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        seramInitializeOffsets();
        return xcpInitialize() == 0;
    }();
    static const sockaddr_in senders[2] = {{AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}},
                                           {AF_INET, htons(10), {htonl(INADDR_LOOPBACK)}, {}}};
    if (!ready) return 0;
    for (size_t i = 0; i + 2 <= size;) {
        const uint8_t who = data[i];
        const size_t n = data[i + 1] < size - i - 2 ? data[i + 1] : size - i - 2;
        const uint8_t* d = data + i + 2;
        i += 2 + n;
        if (n > 4 && d[4] == 0xF9) continue;
        xcpEthDatagram(&xcpCps[0], d, static_cast<uint32_t>(n), &senders[who & 1]);
        xcpSendDAQ(who >> 1 & 3);
        if ((who >> 1 & 3) == 1) xcp_10ms();
    }
    static const uint8_t disconnect[] = {1, 0, 0, 0, 0xFE};
    for (const sockaddr_in& s : senders)
        xcpEthDatagram(&xcpCps[0], disconnect, sizeof disconnect, &s);
    return 0;
}
