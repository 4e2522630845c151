// The reverse-Polish formula engine of the channel functions. Tokens are 5 bytes: u8 opcode,
// 4-byte little-endian operand. A formula ends at opcode 0xFF or when fewer than 5 bytes remain;
// its result is the top of the stack (0 for an empty one).
//
// Opcodes (a, b: popped, b the later push; results pushed):
//   0x00 operand as float   0x01 as signed 32-bit   0x02 as unsigned 32-bit
//   0x03 1 when the operand as float is not 0, else 0
//   0x10..0x13 input 1..4
//   0x20 a+b  0x21 a-b  0x22 a*b  0x23 a/b  0x24 -b  0x25 |b|  0x26 min(a,b)  0x27 max(a,b)
//   0x28 sqrt(b)
//   0x30 a<b  0x31 a<=b  0x32 a>b  0x33 a>=b  0x34 a==b  0x35 a!=b   (1 or 0)
//   0x40 a&&b  0x41 a||b  0x42 !b  0x43 c?a:b (pops b, a, then c)
//   0xA3 seconds since the previous evaluation (0 at the first)
//   0xA4 1 at the first evaluation, else 0
// Stateful tokens, each with its own memory cells in token order:
//   0xA0 previous value of b (b itself at the first evaluation)
//   0xA1 integral of b over time in seconds
//   0xA2 derivative of b per second (0 at the first evaluation)
//   0xA5 seconds since the first raster timestamp of the process
//   0xA6 largest b so far  0xA7 smallest b so far  0xA8 sum of b over the evaluations
//   0xA9 count of evaluations with b not 0
//   0xAA b through a first-order lag with time constant a in seconds (b at the first)
//   0xAB (three cells) count of rising edges of b: count, previous level, level-seen flag
// Without memory the stateful tokens act as at a first evaluation. A stack fault (more than
// 16 values, or an operator short of operands) or an unknown opcode gives 0 and a log line.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int STACK = 16;
constexpr uint32_t TOKEN = 5;

uint16_t cellsOf(uint8_t op) {
    if (op == 0xAB) return 3;
    return (op >= 0xA0 && op <= 0xA2) || (op >= 0xA5 && op <= 0xAA) ? 1 : 0;
}

} // namespace

uint16_t awm_man_upn_memsize(const uint8_t* tokens, uint16_t size) {
    uint16_t n = 0;
    for (uint32_t p = 0; tokens && p + TOKEN <= size && tokens[p] != 0xFF; p += TOKEN)
        n = static_cast<uint16_t>(n + cellsOf(tokens[p]));
    return n;
}

void awm_man_upn_init(const uint8_t* tokens, uint16_t size, awm_upn_mem* mem) {
    if (!mem || !mem->cells) return;
    uint16_t cell = 0;
    for (uint32_t p = 0; tokens && p + TOKEN <= size && tokens[p] != 0xFF; p += TOKEN) {
        const uint16_t n = cellsOf(tokens[p]);
        for (uint16_t i = 0; i < n && cell < mem->count; ++i, ++cell)
            mem->cells[cell] = tokens[p] == 0xA5 ? static_cast<double>(awm_firstTimestamp.load()) : 0.0;
    }
}

double awm_man_upn_calc(const uint8_t* tokens, uint16_t size, uint16_t, awm_upn_mem* mem, uint32_t prevTs,
                        uint32_t ts, double in1, double in2, double in3, double in4, uint8_t first) {
    if (!tokens || size < TOKEN) return 0.0;
    double stack[STACK];
    int sp = 0;
    uint16_t cell = 0;
    const double dt = first ? 0.0 : static_cast<uint32_t>(ts - prevTs) * 1e-4;
    const double inputs[4] = {in1, in2, in3, in4};
    for (uint32_t p = 0; p + TOKEN <= size && tokens[p] != 0xFF; p += TOKEN) {
        const uint8_t op = tokens[p];
        const uint32_t w = awm_rd<uint32_t>(tokens, p + 1);
        // Memory cells of this token (a scratch set without memory).
        double scratch[3] = {0, 0, 0};
        const uint16_t need = cellsOf(op);
        double* c = scratch;
        const bool remembered = mem && mem->cells && cell + need <= mem->count;
        if (remembered) c = mem->cells + cell;
        cell = static_cast<uint16_t>(cell + need);
        const bool fresh = first || !remembered;
        const int pops = op >= 0x20 && op <= 0x23   ? 2
                         : op >= 0x24 && op <= 0x25 ? 1
                         : op >= 0x26 && op <= 0x27 ? 2
                         : op == 0x28               ? 1
                         : op >= 0x30 && op <= 0x41 ? 2
                         : op == 0x42               ? 1
                         : op == 0x43               ? 3
                         : op == 0xAA               ? 2
                         : need                     ? (op == 0xA5 ? 0 : 1)
                                                    : 0;
        if (sp < pops || (pops == 0 && sp >= STACK)) {
            SYSLOGX_GUARDED(LOG_ERR, "awm_man_upn_calc: stack fault at token %u (opcode 0x%02X)",
                            static_cast<unsigned>(p / TOKEN), op);
            return 0.0;
        }
        const double b = pops ? stack[sp - 1] : 0.0, a = pops >= 2 ? stack[sp - 2] : 0.0;
        sp -= pops;
        double r;
        float f;
        switch (op) {
        case 0x00:
            std::memcpy(&f, &w, 4), r = f;
            break;
        case 0x01:
            r = static_cast<int32_t>(w);
            break;
        case 0x02:
            r = w;
            break;
        case 0x03:
            std::memcpy(&f, &w, 4), r = f != 0.0f ? 1.0 : 0.0;
            break;
        case 0x10:
        case 0x11:
        case 0x12:
        case 0x13:
            r = inputs[op - 0x10];
            break;
        case 0x20:
            r = a + b;
            break;
        case 0x21:
            r = a - b;
            break;
        case 0x22:
            r = a * b;
            break;
        case 0x23:
            r = a / b;
            break;
        case 0x24:
            r = -b;
            break;
        case 0x25:
            r = std::fabs(b);
            break;
        case 0x26:
            r = std::min(a, b);
            break;
        case 0x27:
            r = std::max(a, b);
            break;
        case 0x28:
            r = std::sqrt(b);
            break;
        case 0x30:
            r = a < b;
            break;
        case 0x31:
            r = a <= b;
            break;
        case 0x32:
            r = a > b;
            break;
        case 0x33:
            r = a >= b;
            break;
        case 0x34:
            r = a == b;
            break;
        case 0x35:
            r = a != b;
            break;
        case 0x40:
            r = a != 0 && b != 0;
            break;
        case 0x41:
            r = a != 0 || b != 0;
            break;
        case 0x42:
            r = b == 0;
            break;
        case 0x43:
            r = stack[sp] != 0 ? a : b;
            break; // the condition, popped below a
        case 0xA3:
            r = dt;
            break;
        case 0xA4:
            r = first ? 1.0 : 0.0;
            break;
        case 0xA0:
            r = fresh ? b : c[0], c[0] = b;
            break;
        case 0xA1:
            r = c[0] = (fresh ? 0.0 : c[0]) + b * dt;
            break;
        case 0xA2:
            r = fresh || dt == 0 ? 0.0 : (b - c[0]) / dt, c[0] = b;
            break;
        case 0xA5:
            // A formula set up before the first raster pass (or one without memory) takes the
            // first timestamp once the process has one.
            if (c[0] == 0) c[0] = awm_firstTimestamp.load();
            r = static_cast<uint32_t>(ts - awm_to_u32(c[0])) * 1e-4;
            break;
        case 0xA6:
            r = c[0] = fresh ? b : std::max(c[0], b);
            break;
        case 0xA7:
            r = c[0] = fresh ? b : std::min(c[0], b);
            break;
        case 0xA8:
            r = c[0] = (fresh ? 0.0 : c[0]) + b;
            break;
        case 0xA9:
            r = c[0] = (fresh ? 0.0 : c[0]) + (b != 0 ? 1 : 0);
            break;
        case 0xAA:
            r = c[0] = fresh ? b : c[0] + (b - c[0]) * std::min(1.0, a > 0 ? dt / a : 1.0);
            break;
        case 0xAB:
            if (c[2] != 0 && c[1] == 0 && b != 0) c[0] += 1;
            c[1] = b != 0;
            c[2] = 1;
            r = c[0];
            break;
        default:
            SYSLOGX_GUARDED(LOG_ERR, "awm_man_upn_calc: unknown opcode 0x%02X at token %u", op,
                            static_cast<unsigned>(p / TOKEN));
            return 0.0;
        }
        stack[sp++] = r;
    }
    return sp ? stack[sp - 1] : 0.0;
}
