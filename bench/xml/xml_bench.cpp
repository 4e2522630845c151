// Throughput of the XML reading layer next to bare expat on the same generated file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <expat.h>

#include "platform/os/osfs_sim.h"
#include "services/xml/xml.h"

namespace {

// A configuration file of about 8 MB: channel lists with attributes, text, comments,
// CDATA, entities and namespaces.
const std::string& benchFile() {
    static std::string path = [] {
        std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<ChannelList Version=\"2.1\" xmlns:k=\"urn:kvx2:ext\">\n";
        for (int i = 0; doc.size() < 8u << 20; i++) {
            std::string n = std::to_string(i);
            doc += "  <Group idx=\"" + n + "\" k:tag=\"grp&amp;" + n + "\">\n";
            doc += "    <!-- group " + n + " -->\n";
            for (int c = 0; c < 8; c++) {
                doc += "    <Channel name=\"Ch" + n + "_" + std::to_string(c) +
                       "\" type=\"UINT16\" adr=\"0100" + std::to_string(1000 + c) +
                       "\" mask=\"FFFF\" a=\"0\" b=\"1.5\" c=\"-40\" d=\"0\" e=\"0\" f=\"10\"/>\n";
            }
            doc += "    <Comment>Temperatur &lt;Öl&gt; nach Kühler</Comment>\n";
            doc += "    <Script><![CDATA[if (a < b) alarm();]]></Script>\n";
            doc += "    <k:Extra><Inner>text</Inner></k:Extra>\n";
            doc += "  </Group>\n";
        }
        doc += "</ChannelList>\n";
        std::string p = "/tmp/vyn_bench_xml_" + std::to_string(getpid()) + ".xml";
        FILE* f = fopen(p.c_str(), "wb");
        if (!f || fwrite(doc.data(), 1, doc.size(), f) != doc.size()) abort();
        fclose(f);
        // The unit reads files only from its drives.
        if (!osfs::addDevice("tmp:", "/tmp")) abort();
        return p;
    }();
    return path;
}

long fileSize(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

void XMLCALL countStart(void* ud, const XML_Char*, const XML_Char**) {
    ++*static_cast<long*>(ud);
}
void XMLCALL countEnd(void* ud, const XML_Char*) {
    ++*static_cast<long*>(ud);
}
void XMLCALL countText(void* ud, const XML_Char*, int) {
    ++*static_cast<long*>(ud);
}

// Bare expat: the file read in 2048-byte chunks, handlers that only count.
void RawExpat(benchmark::State& state) {
    const std::string& path = benchFile();
    long events = 0;
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreateNS(nullptr, ':');
        XML_SetUserData(p, &events);
        XML_SetElementHandler(p, countStart, countEnd);
        XML_SetCharacterDataHandler(p, countText);
        FILE* f = fopen(path.c_str(), "rb");
        char buf[2048];
        size_t n;
        do {
            n = fread(buf, 1, sizeof buf, f);
            if (XML_Parse(p, buf, static_cast<int>(n), n < sizeof buf) != XML_STATUS_OK)
                state.SkipWithError("parse");
        } while (n == sizeof buf);
        fclose(f);
        XML_ParserFree(p);
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

// The pull parser over the same file.
void PullParser(benchmark::State& state) {
    const std::string& path = benchFile();
    long events = 0;
    for (auto _ : state) {
        Xpp* x = xppCreate();
        xppSetFileInput(x, ("tmp:" + path.substr(4)).c_str());
        for (int ev = xppGetEventType(x); ev != XPP_END_DOCUMENT; ev = xppNext(x)) {
            if (ev == XPP_ERROR) state.SkipWithError("parse");
            events++;
        }
        xppDestroy(x);
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

BENCHMARK(RawExpat)->Unit(benchmark::kMillisecond);
BENCHMARK(PullParser)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove(benchFile().c_str());
    return 0;
}
