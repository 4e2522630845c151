// CAN.xml as it may come from a drive: parsed into the tables and compiled, then frames (the
// file's first bytes) decoded on every input mailbox and the output built and sent.
#include "comm/can/can.h"
#include "comm/canin/canin.h"
#include "comm/canio/canio.h"
#include "comm/canout/canout.h"
#include "platform/can/cansim.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string err;
    cansim::install(0, &err);
    can_reset();
    RtpManUsrCan_Init();
    CanIn_reset();
    CanIn_initConfig();
    CanOut_initConfig();
    XmlCanIOParse(std::string(reinterpret_cast<const char*>(data), size).c_str());
    CanIn_init();
    CanOut_init();
    for (const CanInMailBox& m : CanInMailBoxConf) {
        if (m.intf > 1) continue;
        const bool ext = m.id >> 31;
        cansim::Frame f{uint8_t(m.intf), m.id & (ext ? 0x1FFFFFFFu : 0x7FFu), ext, false, false, 0, {}};
        std::copy_n(data, std::min<size_t>(size, 64), f.data);
        for (uint8_t len : {3, 8, 64}) {
            f.fd = len > 8;
            f.len = len;
            cansim::inject(f);
        }
        canPoll_1ms();
    }
    CanIn_supervisor_1ms();
    for (int r = 0; r < 10; ++r)
        CanOut_send_message(r);
    CanOut_event_message();
    CanOut_reset();
    cansim::takeSent();
    return 0;
}
