// The XML layer's pull parser next to expat alone on the same display.xml-like text, held in memory
// as the configuration readers hold their files and given to expat in 2048-byte pieces as the
// layer gives it: the demo unit's display.xml (21 KB), and its pages repeated to 512 KB and 8 MB.
#include "bench/paired.h"
#include "services/xml/xpp.h"

#include <benchmark/benchmark.h>
#include <expat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The demo's description with the pages between <Pages> and </Pages> repeated up to `size` bytes.
std::string displayText(size_t size) {
    std::stringstream demo;
    demo << std::ifstream(VYN_SOURCE_DIR "/examples/unit0/cfg/display.xml").rdbuf();
    const std::string text = demo.str();
    const size_t from = text.find("<Pages>") + 7, to = text.find("</Pages>");
    if (from == 6 || to == std::string::npos) std::abort();
    std::string doc = text.substr(0, to);
    while (doc.size() + text.size() - to < size)
        doc += text.substr(from, to - from);
    return doc + text.substr(to);
}

long expatAlone(const std::string& text) {
    long events = 0;
    XML_Parser p = XML_ParserCreateNS(nullptr, ':');
    XML_SetUserData(p, &events);
    // handlers that only count, each a function of the C calling convention
    XML_SetElementHandler(
        p, [](void* n, const XML_Char*, const XML_Char**) { ++*static_cast<long*>(n); },
        [](void* n, const XML_Char*) { ++*static_cast<long*>(n); });
    XML_SetCharacterDataHandler(p, [](void* n, const XML_Char*, int) { ++*static_cast<long*>(n); });
    for (size_t at = 0, n = 0; events >= 0 && (at == 0 || n == 2048); at += n) {
        n = std::min<size_t>(2048, text.size() - at);
        if (XML_Parse(p, text.data() + at, static_cast<int>(n), n < 2048) != XML_STATUS_OK) events = -1;
    }
    XML_ParserFree(p);
    return events;
}

long pullParser(const std::string& text) {
    long events = 0;
    Xpp* x = xppCreate();
    xppSetStringInput(x, text.c_str());
    for (int ev = xppGetEventType(x); ev != XPP_END_DOCUMENT && events >= 0; ev = xppNext(x))
        events = ev == XPP_ERROR ? -1 : events + 1;
    xppDestroy(x);
    return events;
}

// BM_Xml/<bytes>
void BM_Xml(benchmark::State& state) {
    const std::string text = displayText(static_cast<size_t>(state.range(0)));
    bool ok = true;
    bench::paired(
        state, "expat", "speed", [&] { ok = ok && pullParser(text) > 0; },
        [&] { ok = ok && expatAlone(text) > 0; });
    if (!ok) state.SkipWithError("parse");
}
BENCHMARK(BM_Xml)->Arg(20 << 10)->Arg(512 << 10)->Arg(8 << 20)->UseManualTime()->Unit(
    benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
