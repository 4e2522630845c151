// CAN.xml as it may come from a drive: parsed into the tables and compiled.
#include "comm/canin/canin.h"
#include "comm/canio/canio.h"
#include "comm/canout/canout.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CanIn_initConfig();
    CanOut_initConfig();
    XmlCanIOParse(text.c_str());
    CanOut_init();
    CanOut_send_message(0);
    CanOut_reset();
    return 0;
}
