// The frame formats of the buses: python-can's udp_multicast datagram (a msgpack map) and the
// pcap record of the SocketCAN link type.
#include "platform/can/cansim.h"

#include "platform/kmgr/calls.h"

#include <cstring>
#include <string>

namespace cansim {

namespace {

void put(std::vector<uint8_t>& o, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        o.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putStr(std::vector<uint8_t>& o, const char* s) {
    const size_t n = std::strlen(s); // keys only: fixstr
    o.push_back(static_cast<uint8_t>(0xA0 | n));
    o.insert(o.end(), s, s + n);
}

void putUint(std::vector<uint8_t>& o, uint32_t v) {
    if (v < 0x80) {
        o.push_back(static_cast<uint8_t>(v));
    } else if (v <= 0xFF) {
        o.push_back(0xCC);
        put(o, v, 1);
    } else if (v <= 0xFFFF) {
        o.push_back(0xCD);
        put(o, v, 2);
    } else {
        o.push_back(0xCE);
        put(o, v, 4);
    }
}

// A msgpack value of the kinds a frame's map holds. Unknown keys are skipped whole.
struct Value {
    enum Kind { Nil, Bool, Int, Float, Str, Bin, Other } kind = Other;
    int64_t i = 0;
    double f = 0;
    const uint8_t* p = nullptr;
    size_t n = 0;
};

struct Reader {
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    bool ok = true;

    uint64_t be(int bytes) {
        if (n - at < static_cast<size_t>(bytes)) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | p[at++];
        return v;
    }
    void bytes(Value* v, size_t len) {
        if (n - at < len) {
            ok = false;
            return;
        }
        v->p = p + at;
        v->n = len;
        at += len;
    }
    // Reads one value; containers are skipped (depth bounded).
    Value read(int depth = 0) {
        Value v;
        if (at >= n || depth > 8) {
            ok = false;
            return v;
        }
        const uint8_t t = p[at++];
        size_t items = 0;
        if (t <= 0x7F || t >= 0xE0) {
            v.kind = Value::Int;
            v.i = static_cast<int8_t>(t);
            if (t <= 0x7F) v.i = t;
        } else if ((t & 0xE0) == 0xA0) {
            v.kind = Value::Str;
            bytes(&v, t & 0x1F);
        } else if ((t & 0xF0) == 0x80) {
            items = 2 * (t & 0x0F);
        } else if ((t & 0xF0) == 0x90) {
            items = t & 0x0F;
        } else {
            switch (t) {
            case 0xC0:
                v.kind = Value::Nil;
                break;
            case 0xC2:
            case 0xC3:
                v.kind = Value::Bool;
                v.i = t == 0xC3;
                break;
            case 0xC4:
            case 0xC5:
            case 0xC6:
                v.kind = Value::Bin;
                bytes(&v, be(1 << (t - 0xC4)));
                break;
            case 0xD9:
            case 0xDA:
            case 0xDB:
                v.kind = Value::Str;
                bytes(&v, be(1 << (t - 0xD9)));
                break;
            case 0xCA: {
                const uint32_t w = static_cast<uint32_t>(be(4));
                float f;
                std::memcpy(&f, &w, 4);
                v.kind = Value::Float;
                v.f = f;
                break;
            }
            case 0xCB: {
                const uint64_t w = be(8);
                std::memcpy(&v.f, &w, 8);
                v.kind = Value::Float;
                break;
            }
            case 0xCC:
            case 0xCD:
            case 0xCE:
            case 0xCF:
                v.kind = Value::Int;
                v.i = static_cast<int64_t>(be(1 << (t - 0xCC)));
                break;
            case 0xD0:
                v.kind = Value::Int;
                v.i = static_cast<int8_t>(be(1));
                break;
            case 0xD1:
                v.kind = Value::Int;
                v.i = static_cast<int16_t>(be(2));
                break;
            case 0xD2:
                v.kind = Value::Int;
                v.i = static_cast<int32_t>(be(4));
                break;
            case 0xD3:
                v.kind = Value::Int;
                v.i = static_cast<int64_t>(be(8));
                break;
            case 0xDC:
                items = static_cast<size_t>(be(2));
                break;
            case 0xDD:
                items = static_cast<size_t>(be(4));
                break;
            case 0xDE:
                items = 2 * static_cast<size_t>(be(2));
                break;
            case 0xDF:
                items = 2 * static_cast<size_t>(be(4));
                break;
            default:
                ok = false; // extension types: no frame has them
            }
        }
        for (size_t i = 0; i < items && ok; ++i)
            read(depth + 1);
        return v;
    }
};

} // namespace

std::vector<uint8_t> encodeUdp(const Frame& f, double timestamp) {
    std::vector<uint8_t> o;
    o.push_back(0x8B); // map of 11
    putStr(o, "timestamp");
    o.push_back(0xCB);
    uint64_t w;
    std::memcpy(&w, &timestamp, 8);
    put(o, w, 8);
    putStr(o, "arbitration_id");
    putUint(o, f.id);
    const std::pair<const char*, bool> flags1[] = {
        {"is_extended_id", f.ext}, {"is_remote_frame", false}, {"is_error_frame", false}};
    for (auto [k, b] : flags1) {
        putStr(o, k);
        o.push_back(b ? 0xC3 : 0xC2);
    }
    putStr(o, "channel");
    o.push_back(0xC0);
    putStr(o, "dlc"); // python-can's dlc is the byte count
    putUint(o, f.len);
    putStr(o, "data");
    o.push_back(0xC4);
    o.push_back(f.len);
    o.insert(o.end(), f.data, f.data + f.len);
    const std::pair<const char*, bool> flags2[] = {
        {"is_fd", f.fd}, {"bitrate_switch", f.brs}, {"error_state_indicator", false}};
    for (auto [k, b] : flags2) {
        putStr(o, k);
        o.push_back(b ? 0xC3 : 0xC2);
    }
    return o;
}

bool decodeUdp(const uint8_t* p, size_t n, Frame* out) {
    Reader r{p, n};
    if (n == 0) return false;
    size_t entries;
    if ((p[0] & 0xF0) == 0x80) {
        entries = p[0] & 0x0F;
        r.at = 1;
    } else if (p[0] == 0xDE) {
        r.at = 1;
        entries = static_cast<size_t>(r.be(2));
    } else {
        return false;
    }
    Frame f;
    f.ext = true; // python-can's default
    bool haveId = false;
    int64_t dlc = -1;
    for (size_t e = 0; e < entries && r.ok; ++e) {
        const Value k = r.read();
        const Value v = r.read();
        if (!r.ok) return false;
        if (k.kind != Value::Str) continue;
        const std::string key(reinterpret_cast<const char*>(k.p), k.n);
        const bool flag = (v.kind == Value::Bool || v.kind == Value::Int) && v.i != 0;
        if (key == "arbitration_id" && v.kind == Value::Int) {
            f.id = static_cast<uint32_t>(v.i);
            haveId = v.i >= 0 && v.i <= 0x1FFFFFFF;
        } else if (key == "is_extended_id") {
            f.ext = flag;
        } else if ((key == "is_remote_frame" || key == "is_error_frame") && flag) {
            return false; // the controllers take data frames only
        } else if (key == "is_fd") {
            f.fd = flag;
        } else if (key == "bitrate_switch") {
            f.brs = flag;
        } else if (key == "dlc" && v.kind == Value::Int) {
            dlc = v.i;
        } else if (key == "data") {
            if (v.kind != Value::Bin || v.n > 64) return false;
            std::memcpy(f.data, v.p, v.n);
            f.len = static_cast<uint8_t>(v.n);
        }
    }
    if (!r.ok || !haveId || (!f.ext && f.id > 0x7FF)) return false;
    if (dlc > f.len && dlc <= 64) f.len = static_cast<uint8_t>(dlc); // the rest reads as zero
    if (f.len > (f.fd ? 64 : 8)) return false;
    if (f.fd) f.len = canDlcBytes(canBytesDlc(f.len)); // FD lengths come in steps
    *out = f;
    return true;
}

std::vector<uint8_t> pcapHeader() {
    std::vector<uint8_t> h;
    auto le = [&h](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            h.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le(0xA1B2C3D4, 4);
    le(2, 2);
    le(4, 2);
    le(0, 4);
    le(0, 4);
    le(65535, 4);
    le(227, 4); // LINKTYPE_CAN_SOCKETCAN
    return h;
}

std::vector<uint8_t> pcapRecord(const Frame& f, uint64_t usec) {
    const uint32_t size = f.fd ? 72 : 16;
    std::vector<uint8_t> r;
    auto le = [&r](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            r.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le(static_cast<uint32_t>(usec / 1000000));
    le(static_cast<uint32_t>(usec % 1000000));
    le(size);
    le(size);
    put(r, f.id | (f.ext ? 0x80000000u : 0), 4); // network order, CAN_EFF_FLAG
    r.push_back(f.len);
    r.push_back(f.fd ? static_cast<uint8_t>(0x04 | (f.brs ? 0x01 : 0)) : 0); // CANFD_FDF, CANFD_BRS
    r.push_back(0);
    r.push_back(0);
    r.insert(r.end(), f.data, f.data + f.len);
    r.resize(16 + size, 0);
    return r;
}

} // namespace cansim
