// mkdataset OUT [--lap gps]: writes the default dataset of this build (start marker, EPK and
// parameter defaults, CRC-16/ARC) as the image the kernel-side manager loads at start. Its
// channel functions read the demo unit's stimulated analog inputs 1 to 4; the lap function
// counts laps on digital input 1, or with "--lap gps" by the GPS receiver on the tracks of
// "cfg:rtracks.xml". CAN input and output come from "cfg:/CAN.xml".
#include "calibration/memory/seram.h"
#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"
#include "vyn/vartable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

// Datasets of the sensor types, one after the other from the start of CfgMat_VC_config.
struct Datasets {
    uint8_t* page;
    uint32_t at = VTADDR_CfgMat_VC_config;
    uint16_t index = 0;

    template <class T> void put(uint32_t off, T v) { std::memcpy(page + off, &v, sizeof v); }
    // Head, output code (float), quantisation 0 1 0 0 0 1 and footer; the body is the caller's.
    uint32_t begin(uint16_t type, uint16_t length, uint16_t boardChannel) {
        const uint32_t ds = at;
        put<uint16_t>(ds, 0x4453);
        put<uint16_t>(ds + 2, length);
        put<uint16_t>(ds + 4, type);
        put<uint16_t>(ds + 8, 6);
        if (length >= 40) {
            put<float>(ds + 20, 1.0f);
            put<float>(ds + 36, 1.0f);
        }
        put<uint16_t>(ds + length - 2, 0x4542);
        put<uint16_t>(VTADDR_CfgMat_Board_Channel + 2u * index, boardChannel);
        put<uint16_t>(VTADDR_CfgMat_AdjIndex + 2u * index, index);
        at += length;
        ++index;
        return ds;
    }
    void floats(uint32_t off, std::initializer_list<float> v) {
        for (float f : v)
            put<float>(off, f), off += 4;
    }
    // An input reference to output `out` of this unit's channel function `vc`, scaled by `factor`.
    void ref(uint32_t off, uint16_t vc, uint8_t out = 0, uint16_t code = 6, float factor = 1.0f) {
        put<uint32_t>(off, 31u << 18 | static_cast<uint32_t>(vc) << 8 | out);
        floats(off + 8, {0.0f, factor, 0.0f, 0.0f, 0.0f, 1.0f});
        put<uint16_t>(off + 32, code);
    }
    // Formula tokens: opcodes with float operands, then the end token.
    void tokens(uint32_t off, std::initializer_list<std::pair<uint8_t, float>> t) {
        for (auto [op, v] : t)
            page[off] = op, put<float>(off + 1, v), off += 5;
        page[off] = 0xFF;
    }
};

// The logic and computed types on the sensor channels above: VC 4 to 13.
void demoLogicTypes(Datasets& d) {
    // VC 4: pressure above 5 bar for 100 ms.
    uint32_t ds = d.begin(0x0C, 152, 0);
    d.ref(ds + 40, 0);
    d.put<uint32_t>(ds + 112, 100);
    d.put<float>(ds + 116, 5.0f);
    d.put<uint8_t>(ds + 144, 2);
    d.put<uint8_t>(ds + 145, 4);
    d.put<uint8_t>(ds + 146, 1);
    // VC 5: that condition or the high pressure of VC 7, blinking 500/500 ms.
    ds = d.begin(0x0D, 532, 0);
    d.put<uint32_t>(ds + 40, 31u << 18 | 4u << 8 | 1u);
    d.put<uint16_t>(ds + 488, 1);
    d.put<uint32_t>(ds + 40 + 16, 31u << 18 | 7u << 8 | 1u);
    d.put<uint16_t>(ds + 488 + 8, 1);
    d.put<uint16_t>(ds + 522, 500);
    d.put<uint16_t>(ds + 524, 500);
    d.put<uint8_t>(ds + 526, 1);
    // VC 6: a gear from the warning light: 0 → 1, 1 → 2.
    ds = d.begin(0x0E, 164, 0);
    d.ref(ds + 40, 5, 1, 1);
    d.floats(ds + 76, {0.0f, 1.0f});
    d.put<uint8_t>(ds + 140, 1);
    d.put<uint8_t>(ds + 141, 2);
    d.put<uint8_t>(ds + 157, 2);
    // VC 7: pressure high from 7 bar down to 3 bar, after 200 ms, not in the first 2 s.
    ds = d.begin(0x0F, 104, 0);
    d.ref(ds + 40, 0);
    d.floats(ds + 76, {7.0f, 1.0f, 3.0f, 0.0f});
    d.put<uint16_t>(ds + 92, 2000);
    d.put<uint16_t>(ds + 94, 200);
    // VC 8: pressure weighted by throttle, 0 to 10.
    ds = d.begin(0x10, 300, 0);
    d.ref(ds + 40, 0);
    d.ref(ds + 76, 2);
    d.floats(ds + 184, {0.0f, 10.0f});
    d.tokens(ds + 192, {{0x10, 0}, {0x11, 0}, {0x22, 0}, {0x00, 100}, {0x23, 0}});
    d.put<uint16_t>(ds + 292, 3);
    // VC 9: above 5 bar the throttle, else the fuel level.
    ds = d.begin(0x11, 504, 0);
    d.ref(ds + 40, 0);
    d.ref(ds + 76, 2);
    d.ref(ds + 112, 3);
    d.floats(ds + 184, {0.0f, 100.0f});
    d.tokens(ds + 192, {{0x10, 0}, {0x00, 5}, {0x32, 0}});
    d.tokens(ds + 292, {{0x11, 0}});
    d.tokens(ds + 392, {{0x12, 0}});
    d.put<uint16_t>(ds + 496, 3);
    // VC 10: an adjustable copy of the pressure, target 5 bar.
    ds = d.begin(0x14, 88, 0);
    d.put<float>(ds + 12, 5.0f);
    d.ref(ds + 40, 0);
    d.floats(ds + 76, {-100.0f, 100.0f});
    // VC 11: adjusts VC 10 on its own request only.
    ds = d.begin(0x13, 116, 0);
    d.put<uint16_t>(ds + 76, 10);
    for (uint32_t i = 1; i < 16; ++i)
        d.put<uint16_t>(ds + 76 + 2 * i, 0xFFFF);
    // VC 12: four wheels in m/s from pressure, throttle and fuel; four-wheel drive.
    ds = d.begin(0x07, 236, 0);
    d.ref(ds + 40, 0, 0, 6, 5.0f);
    d.ref(ds + 76, 0, 0, 6, 5.2f);
    d.ref(ds + 112, 2, 0, 6, 0.5f);
    d.ref(ds + 148, 3, 0, 6, 4.0f);
    d.floats(ds + 220, {100.0f, 10.0f});
    d.put<uint16_t>(ds + 230, 2);
    // VC 13: PWM output 1 commanded by the throttle, 0 to 100 %.
    ds = d.begin(0x09, 216, 0x0401);
    d.ref(ds + 40, 2);
    d.put<uint16_t>(ds + 76, 2);
    d.floats(ds + 80, {0.0f, 100.0f, 0.0f, 100.0f});
}

void demoChannelFunctions(Datasets& d) {
    // VC 0, analog 1: pressure sensor, 0.5 V at 0 bar, 0.4 V per bar, 0 to 10 bar.
    uint32_t ds = d.begin(0x01, 96, 0x0101);
    d.floats(ds + 76, {500.0f, 400.0f, 0.0f, 10.0f});
    // VC 1, analog 2: temperature through a falling curve, -40 to 150 degrees.
    ds = d.begin(0x02, 220, 0x0102);
    d.put<uint16_t>(ds + 76, 5);
    d.floats(ds + 80, {500, 1500, 2500, 3500, 4500, 120, 80, 50, 25, 0});
    d.floats(ds + 208, {-40.0f, 150.0f});
    // VC 2, analog 3: throttle in percent over six taught set points (0 to 5 V untaught).
    ds = d.begin(0x03, 116, 0x0103);
    d.put<uint16_t>(ds + 76, 6);
    d.floats(ds + 80, {0, 20, 40, 60, 80, 100, 0, 100});
    // VC 3, analog 4: fuel level, 0.1 V per litre, 0 to 60 l.
    ds = d.begin(0x01, 96, 0x0104);
    d.floats(ds + 76, {0.0f, 100.0f, 0.0f, 60.0f});
    demoLogicTypes(d);
}

// An input reference: address of this unit, quantisation (a..f) and the signal's type code.
void reference(Datasets& d, uint32_t at, uint32_t address, float b, uint16_t type) {
    d.put<uint32_t>(at, address);
    d.floats(at + 8, {0.0f, b, 0.0f, 0.0f, 0.0f, 1.0f});
    d.put<uint16_t>(at + 32, type);
}

// VC 14: the lap function; VC 15: the GPS channel function.
void demoLaps(Datasets& d, bool gps) {
    // Digital input 1 (high = at the line), or the GPS receiver's signals.
    const uint32_t ds = d.begin(0x08, 1196, gps ? 0 : 0x0301);
    if (gps) {
        d.put<uint32_t>(ds + 40, 0xFFFFFFFF);
        reference(d, ds + 76, VTADDR_gps_speed, 1.0f / 3.6f, 6); // m/s
        reference(d, ds + 112, VTADDR_gps_lat, 1e-7f, 4);
        reference(d, ds + 148, VTADDR_gps_long, 1e-7f, 4);
        reference(d, ds + 184, VTADDR_gps_speed, 1.0f, 6);
        reference(d, ds + 220, VTADDR_gps_dir, 1.0f, 6);
        d.floats(ds + 260, {20.0f, 50.0f, 150.0f}); // 20 km/h, a lap between 50 and 150 %
        d.put<float>(ds + 1140, 30.0f);             // the line counts within 30 m of the finish
        d.put<uint16_t>(ds + 1184, 1);              // track detection
        d.put<uint16_t>(ds + 1186, 1);              // segment points of the track
    }
    d.put<float>(ds + 272, 2.0f);   // 2 s at least between lap triggers
    d.put<float>(ds + 280, 500.0f); // and 500 ms
    d.put<uint16_t>(ds + 1108, 1);  // active high
    d.put<uint16_t>(ds + 1112, 1);  // outings count from 1
    // The GPS channel function: segment lines count within 30 m of their points.
    const uint32_t g = d.begin(0x17, 20, 0);
    d.put<float>(g + 12, 30.0f);
}

// ---- fuel consumption and LED control ----
// VC 16: fuel consumption from the flow on analog 9 (VC 18), laps from the lap function; VC 17:
// the LED module at the top, a shift light over the pressure on analog 1 read as engine speed and
// a slowly blinking warning while analog 2 is above 3.5 V (VC 19).
void demoFuelAndLeds(Datasets& d) {
    // fuel, LED module, then the flow and warning channels they read
    const uint32_t flow = d.index + 2u, warning = d.index + 3u;
    const auto vc = [](uint32_t index) { return 31u << 18 | index << 8 | 1u; };
    const uint32_t fuel = d.begin(0x0A, 148, 0);
    reference(d, fuel + 76, vc(flow), 1.0f, 6);
    d.floats(fuel + 112, {1.0f, 1.0f, 60.0f, 2.5f}); // factors, 60 l tank, 2.5 l a lap
    d.put<uint16_t>(fuel + 132, 1);                  // reset input active high (unused)

    const uint32_t led = d.begin(0x0B, 1968, 0);
    d.put<uint32_t>(led + 40, vc(warning)); // condition 1: the warning
    d.put<float>(led + 296, 1.0f);          // b
    d.put<float>(led + 808, 1.0f);          // f
    d.put<uint16_t>(led + 936, 6);
    reference(d, led + 1000, vc(0), 1000.0f, 6); // bar as engine speed: 0 to 10000
    const uint32_t colours[] = {0x00FF00, 0xFFC000, 0xFF0000, 0x0040FF};
    for (uint32_t i = 0; i < 4; ++i)
        d.put<uint32_t>(led + 1072 + 4 * i, colours[i]);
    for (uint32_t n = 0; n < 10; ++n)
        d.put<uint8_t>(led + 1128 + n, 0x03); // warning: red, then off
    d.put<uint8_t>(led + 1448, 1);            // slow blink
    d.put<float>(led + 1480, 200.0f);         // hysteresis
    for (uint32_t s = 0; s < 10; ++s) {
        d.put<float>(led + 1484 + 4 * s, 9000.0f - 500.0f * static_cast<float>(s));
        // Stage s lights LEDs 1 to 10 - s: green, yellow, red; all blue at the top.
        for (uint32_t n = 0; n < 10; ++n)
            d.put<uint8_t>(led + 1844 + 10 * n + s, s == 0       ? 4
                                                    : n < 10 - s ? (n < 4   ? 1
                                                                    : n < 7 ? 2
                                                                            : 3)
                                                                 : 15);
    }
    const uint8_t brightness[] = {20, 40, 60, 80, 90, 100};
    for (uint32_t i = 0; i < 6; ++i)
        d.put<uint8_t>(led + 1952 + i, brightness[i]);
    d.put<uint8_t>(led + 1958, 1); // shift light below the warning
    d.put<uint8_t>(led + 1959, 1); // top
    d.put<uint8_t>(led + 1960, 1);
    d.put<uint8_t>(led + 1961, 10);

    // analog 9: fuel flow, 50 mV per l/h, 0 to 150 l/h.
    uint32_t ds = d.begin(0x01, 96, 0x0109);
    d.floats(ds + 76, {0.0f, 50.0f, 0.0f, 150.0f});
    // analog 2: 1 above 3.5 V, else 0.
    ds = d.begin(0x01, 96, 0x0102);
    d.floats(ds + 76, {3500.0f, 1.0f, 0.0f, 1.0f});
}
// ---- end of fuel consumption and LED control ----

void usage(std::FILE* to) {
    std::fputs("usage: mkdataset OUT [--lap gps]\n"
               "Writes the default dataset of this build to OUT; its lap function counts laps on digital\n"
               "input 1, or with --lap gps by the GPS receiver.\n",
               to);
}

// All of `data` to `fd`; false with errno set when a write fails.
bool writeAll(int fd, const std::vector<uint8_t>& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int failed(const char* out, int err) {
    std::fprintf(stderr, "mkdataset: writing %s failed: %s\n", out, std::strerror(err));
    return 1;
}

// A failed write leaves OUT as it was: a file is written beside the one OUT names (through a link:
// the file it names; the link stays) and renamed over it, and only that is removed on failure.
// What is not a file (a device, a pipe) is written in place and never removed.
int writeOut(const char* out, const std::vector<uint8_t>& image) {
    struct stat st {};
    const bool exists = stat(out, &st) == 0;
    if (!exists && errno != ENOENT) return failed(out, errno);
    if (exists && !S_ISREG(st.st_mode)) {
        const int fd = open(out, O_WRONLY | O_CLOEXEC);
        if (fd < 0) return failed(out, errno);
        const bool ok = writeAll(fd, image);
        const int err = errno;
        if (close(fd) != 0 && ok) return failed(out, errno);
        return ok ? 0 : failed(out, err);
    }
    struct stat link {};
    if (!exists && lstat(out, &link) == 0) return failed(out, ENOENT); // a link to nothing
    std::string target = out;
    if (exists) {
        char real[PATH_MAX];
        if (!realpath(out, real)) return failed(out, errno);
        target = real;
    }
    const size_t slash = target.rfind('/');
    std::string temp = slash == std::string::npos
                           ? "./." + target
                           : target.substr(0, slash + 1) + "." + target.substr(slash + 1);
    temp += ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return failed(out, errno);
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, image) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (ok) return 0;
    unlink(temp.c_str());
    return failed(out, err);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
    const char* out = nullptr;
    bool gps = false;
    for (int i = 1; i < argc; ++i) {
        const char* bad = nullptr;
        if (std::strcmp(argv[i], "--lap") == 0) {
            if (i + 1 < argc && std::strcmp(argv[i + 1], "gps") == 0) {
                gps = true;
                ++i;
            } else {
                bad = "--lap takes gps";
            }
        } else if (argv[i][0] == '-') {
            bad = "unknown option";
        } else if (out) {
            bad = "one output file only";
        } else {
            out = argv[i];
        }
        if (bad) {
            std::fprintf(stderr, "mkdataset: %s: %s\n", bad, argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (!out) {
        usage(stderr);
        return 2;
    }
    std::vector<uint8_t> image(SERAM_IMAGE_SIZE);
    seramBuildDefaultImage(image.data(), SERAM_IMAGE_SIZE);
    Datasets d{image.data()};
    demoChannelFunctions(d);
    demoLaps(d, gps);
    demoFuelAndLeds(d);
    d.put<uint8_t>(VTADDR_CfgMat_CanVersion, 5); // 5 and above: "cfg:/CAN.xml", not the data page
    const uint16_t crc = crc16_ibm_accu(image.data(), SERAM_DATASET_SIZE, 0);
    bytes::put_le16(image.data() + SERAM_DATASET_SIZE, crc);
    return writeOut(out, image);
}
