// Fuzz target: arbitrary datagrams as the modem's status, and the tokenizer with tiny buffers.
#include <cstddef>
#include <cstdint>

#include "comm/tele/json.h"
#include "comm/tele/tele.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    tele_json_modem(text, size);
    JsonParse p;
    p.setBuff(text, size);
    char k[3], v[2];
    for (int i = 0; i < 1000 && p.getNext(k, sizeof k, v, sizeof v); ++i) {
    }
    return 0;
}
