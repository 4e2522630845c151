#include "comm/canin/canin.h"

#include "acquisition/board/board.h"
#include "comm/can/can.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cstring>
#include <vector>

CanInMailBox CanInMailBoxConf[CANIN_MAILBOXES];
CanInSignal CanInSignalConf[CANIN_ROWS];

namespace {

// One frame byte of a signal: into accumulator byte `dst`; `row` + 1 on a signal's last byte.
// `need` is the frame length the signal needs: shorter frames leave it alone.
struct Cmd {
    uint16_t rowPlus1;
    uint8_t mask;
    uint8_t src;
    uint8_t dst;
    uint8_t shift;
    uint8_t need;
};

struct List {
    const Cmd* cmd = nullptr;
    uint32_t n = 0;
};

struct Node {
    Node* left;
    Node* right;
    Node* parent;
    uint32_t value;
    int8_t balance;
    List list;
};

struct MsgRec {
    Node* root;
    List sig, mux;
    uint16_t mb;
};

// Compiled once for the life of the process.
std::vector<MsgRec> msgs;
std::vector<Node> nodes;
std::vector<Cmd> cmds;
uint16_t canin_timeout[CANIN_ROWS];
uint32_t signMask[CANIN_ROWS], signExt[CANIN_ROWS];
std::atomic<bool> initialised{false};

// Sign-table entry of a row: a signal of 32 bits and more keeps its low 32 bits as they are.
void signOf(uint32_t len, bool isSigned, uint32_t* mask, uint32_t* ext) {
    const bool extend = isSigned && len >= 1 && len < 32;
    *mask = extend ? 1u << (len - 1) : 0;
    *ext = extend ? 0xFFFFFFFFu << len : 0;
}

// The time-out value as a frame carrying its low bits would leave the word: readers take the
// word whole, so a signed row keeps none of the sign bits of the value before.
void writeTimeoutValue(int row) {
    const CanInSignal& s = CanInSignalConf[row];
    uint32_t v = s.timeoutValue, mask, ext;
    if (s.len < 32) v &= (1u << s.len) - 1;
    signOf(s.len, s.type == CANIN_SIGNED, &mask, &ext);
    if (v & mask) v += ext;
    memory_canin[row] = v;
}

// Appends the signal's commands (one per touched byte) and its sign-table entry.
void cmd_gen(uint32_t start, uint32_t len, uint32_t order, bool isSigned, std::vector<Cmd>& out, int row) {
    const uint32_t n = cmd_len(start, len);
    const uint8_t need = static_cast<uint8_t>((start + len - 1) / 8 + 1);
    const size_t first = out.size();
    uint8_t shift;
    if (order == 0) {
        shift = static_cast<uint8_t>(start % 8);
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(
                Cmd{0, 0xFF, static_cast<uint8_t>(start / 8 + i), static_cast<uint8_t>(i), shift, need});
        out[first].mask = static_cast<uint8_t>(0xFF << (start % 8));
        const uint32_t end = (start % 8 + len) % 8;
        if (end) out.back().mask &= static_cast<uint8_t>(0xFF >> (8 - end));
    } else {
        const int a = 8 - static_cast<int>(start % 8);
        const int rest = static_cast<int>(len) - a;
        const uint32_t src = start / 8 + (rest > 0 ? static_cast<uint32_t>(rest + 7) / 8 : 0);
        shift = static_cast<uint8_t>(((8 - rest) % 8 + 8) % 8); // the remainder of a negative is negative
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(Cmd{0, 0xFF, static_cast<uint8_t>(src - i), static_cast<uint8_t>(i), shift, need});
        out[first].mask = static_cast<uint8_t>(0xFF << shift);
        if (start % 8) out.back().mask &= static_cast<uint8_t>(0xFF >> (start % 8));
    }
    out.back().rowPlus1 = static_cast<uint16_t>(row + 1);
    signOf(len, isSigned, &signMask[row], &signExt[row]);
}

// Appends a node; the values arrive in ascending order, so it goes right of the rightmost
// node, and a single left rotation keeps the tree balanced.
void AVLinsert(Node** root, Node* n) {
    if (!*root) {
        *root = n;
        return;
    }
    Node* p = *root;
    while (p->right)
        p = p->right;
    p->right = n;
    n->parent = p;
    for (Node* c = p; c; c = c->parent) {
        if (c->balance == -1) {
            c->balance = 0;
            return;
        }
        if (c->balance == 0) {
            c->balance = 1;
            continue;
        }
        // +1 and its right side grew: rotate left at c.
        Node* r = c->right;
        Node* up = c->parent;
        c->right = r->left;
        if (r->left) r->left->parent = c;
        r->left = c;
        c->parent = r;
        r->parent = up;
        if (!up)
            *root = r;
        else if (up->left == c)
            up->left = r;
        else
            up->right = r;
        c->balance = r->balance = 0;
        return;
    }
}

// Walks a list; returns the last value stored (0xFFFFFFFF when none).
uint32_t runList(const List& l, const uint8_t* data, uint32_t length) {
    uint64_t acc = 0;
    uint32_t last = 0xFFFFFFFFu;
    bool skip = false;
    for (uint32_t i = 0; i < l.n; ++i) {
        const Cmd& c = l.cmd[i];
        if (c.need > length)
            skip = true;
        else
            acc |= static_cast<uint64_t>(data[c.src] & c.mask) << (8 * c.dst);
        if (!c.rowPlus1) continue;
        const int row = c.rowPlus1 - 1;
        if (!skip) {
            uint32_t v = static_cast<uint32_t>(acc >> c.shift);
            if (v & signMask[row]) v += signExt[row];
            memory_canin[row] = v;
            if (canin_timeout[row] != CANIN_NO_TIMEOUT) canin_timeout[row] = 0;
            last = v;
        }
        acc = 0;
        skip = false;
    }
    return last;
}

// A row the accumulator or the frame cannot hold: refused with a line, as if unused.
bool rowValid(int row) {
    const CanInSignal& s = CanInSignalConf[row];
    const char* why = nullptr;
    if (s.mb >= CANIN_MAILBOXES)
        why = "mailbox index out of range";
    else if (s.len < 1)
        why = "length 0";
    else if (s.sbit + s.len > 512)
        why = "signal beyond a 64-byte frame";
    else if (cmd_len(s.sbit, s.len) > 8)
        why = "signal touches more than 8 bytes";
    if (why) syslogx(LOG_ERR, "CanIn_Init: Config Error: row %d refused: %s", row, why);
    return !why;
}

} // namespace

uint32_t cmd_len(uint32_t start, uint32_t len) {
    return (start + len - 1) / 8 - start / 8 + 1;
}

void CanIn_initConfig() {
    for (CanInMailBox& m : CanInMailBoxConf)
        m = CanInMailBox{0xFF, 0xFFFFFFFFu, 0};
    for (CanInSignal& s : CanInSignalConf)
        s = CanInSignal{CANIN_UNUSED_MB, 0, 0, 0, 0, 0, 0, CANIN_NO_TIMEOUT, 0};
}

void CanIn_CfgMat_configure() {
    for (int i = 0; i < CANIN_MAILBOXES; ++i) {
        CanInMailBoxConf[i].id = CfgMat_CanIn_Mb_CanID[i];
        CanInMailBoxConf[i].intf = CfgMat_CanIn_Mb_CanIntf[i];
    }
    for (int i = 0; i < CANIN_ROWS; ++i) {
        CanInSignal& s = CanInSignalConf[i];
        const uint16_t fmt = CfgMat_CanIn_Ch_data_format[i];
        s.mb = CfgMat_CanIn_Ch_MsgInd[i];
        s.sbit = CfgMat_CanIn_Ch_data_pos[i] & 0x3F;
        s.len = fmt & 0x3F;
        s.type = fmt & 0x80 ? CANIN_FLOAT : fmt & 0x40 ? CANIN_SIGNED : CANIN_UNSIGNED;
        s.order = (fmt >> 8) & 1;
        s.rzType = CfgMat_CanIn_Ch_RZ_type[i];
        s.rzValue = CfgMat_CanIn_Ch_RZ_value[i];
        s.timeout = CfgMat_CanIn_Ch_timeout_ms[i];
        s.timeoutValue = CfgMat_CanIn_Ch_timeout_value[i];
    }
}

int CanIn_check(uint32_t intfs, CanInPlan* plan) {
    *plan = CanInPlan{};
    plan->take.assign(CANIN_ROWS, false);
    int prevMb = -1;
    bool muxSeen = false, msigSeen = false;
    uint32_t prevValue = 0;
    auto refuse = [](const char* what, int row) {
        syslogx(LOG_ERR, "CanIn_Init: Config Error: %s (%d)", what, row);
        return 1;
    };
    for (int r = 0; r < CANIN_ROWS; ++r) {
        const CanInSignal& s = CanInSignalConf[r];
        if (s.mb == CANIN_UNUSED_MB || !rowValid(r)) continue;
        if (CanInMailBoxConf[s.mb].intf >= intfs) {
            plan->unavailable++;
            continue;
        }
        const int mb = static_cast<int>(s.mb);
        if (mb < prevMb) return refuse("mailbox index not up counting", r);
        if (mb != prevMb) {
            muxSeen = msigSeen = false;
            plan->mailboxes++;
            prevMb = mb;
        }
        if (s.rzType == CANIN_SIG && muxSeen)
            return refuse("not multiplexed signal config after row counter config", r);
        if (s.rzType == CANIN_MUX) {
            if (muxSeen) return refuse("two row counter for one msg", r);
            muxSeen = true;
        }
        if (s.rzType == CANIN_MSIG) {
            if (!muxSeen) return refuse("multiplexed signal config before row counter config", r);
            if (msigSeen && s.rzValue < prevValue)
                return refuse("row counter values not sorted per message", r);
            if (!msigSeen || s.rzValue != prevValue) plan->nodes++;
            msigSeen = true;
            prevValue = s.rzValue;
        }
        plan->take[static_cast<size_t>(r)] = true;
        plan->cmds += cmd_len(s.sbit, s.len);
    }
    return 0;
}

int CanIn_build(const CanInPlan& plan) {
    msgs.assign(static_cast<size_t>(plan.mailboxes), MsgRec{});
    nodes.assign(plan.nodes, Node{});
    cmds.clear();
    cmds.reserve(plan.cmds); // the lists point into it: it must not move
    enum { NONE, SIG, MUX, MSIG } building = NONE;
    MsgRec* m = nullptr;
    Node* node = nullptr;
    size_t nextMsg = 0, nextNode = 0, listStart = 0;
    auto close = [&]() {
        List l{cmds.data() + listStart, static_cast<uint32_t>(cmds.size() - listStart)};
        if (building == SIG) m->sig = l.n ? l : List{};
        if (building == MUX) m->mux = l;
        if (building == MSIG) node->list = l;
        listStart = cmds.size();
        building = NONE;
    };
    for (size_t r = 0; r < plan.take.size() && r < CANIN_ROWS; ++r) {
        if (!plan.take[r]) continue;
        const CanInSignal& s = CanInSignalConf[r];
        if (!m || m->mb != s.mb) {
            if (m) close();
            if (nextMsg == msgs.size()) break; // not the rows the plan was made of
            m = &msgs[nextMsg++];
            m->mb = static_cast<uint16_t>(s.mb);
            building = SIG;
            node = nullptr;
        }
        if (s.rzType == CANIN_MUX) {
            close();
            building = MUX;
        } else if (s.rzType == CANIN_MSIG && (!node || node->value != s.rzValue)) {
            close();
            if (nextNode == nodes.size()) break;
            node = &nodes[nextNode++];
            *node = Node{nullptr, nullptr, nullptr, s.rzValue, 0, {}};
            AVLinsert(&m->root, node);
            building = MSIG;
        }
        if (cmds.size() + cmd_len(s.sbit, s.len) > plan.cmds) break;
        cmd_gen(s.sbit, s.len, s.order, s.type == CANIN_SIGNED, cmds, static_cast<int>(r));
    }
    if (m) close();
    if (cmds.size() != plan.cmds || nextNode != plan.nodes || nextMsg != msgs.size()) {
        syslogx(LOG_ERR, "CanIn_Init: more memory used than allocated");
        return 1;
    }
    return 0;
}

int CanIn_init() {
    const uint32_t intfs = pinConfig_getCANmaxIntf();
    for (int r = 0; r < CANIN_ROWS; ++r) {
        const CanInSignal& s = CanInSignalConf[r];
        canin_timeout[r] = s.timeout == CANIN_NO_TIMEOUT ? CANIN_NO_TIMEOUT : 0;
        if (s.timeout != CANIN_NO_TIMEOUT) writeTimeoutValue(r);
    }
    int used = 0;
    for (const CanInMailBox& m : CanInMailBoxConf)
        used += m.intf != 0xFF;
    if (!used) {
        syslogx(LOG_INFO, "CanIn_Init: empty configuration");
        initialised = true;
        return 0;
    }
    CanInPlan plan;
    if (CanIn_check(intfs, &plan) != 0 || CanIn_build(plan) != 0) return 1;
    if (plan.unavailable) {
        error_mgr_set(ERROR_MGR_PATH_CAN_IN, ERROR_MGR_ERR_TYPE_NOT_CONFIGURED, 0);
        syslogx(LOG_ERR,
                "CanIn_Init: CanIn configured %d signals on CANs that are not configured (Pins)!!(%d)",
                plan.unavailable, static_cast<int>(intfs));
    } else {
        error_mgr_clear(ERROR_MGR_PATH_CAN_IN);
    }
    for (MsgRec& rec : msgs) {
        const CanInMailBox& mb = CanInMailBoxConf[rec.mb];
        const bool ext = mb.id & 0x80000000u;
        if (canRegisterRxFunc(static_cast<uint8_t>(mb.intf), ext ? CAN_FMT_EXT : CAN_FMT_STD,
                              mb.id & (ext ? 0x1FFFFFFFu : 0x7FFu), CanInRx_msg,
                              reinterpret_cast<uintptr_t>(&rec)) != 0) {
            error_mgr_set(ERROR_MGR_PATH_CAN01 + static_cast<int>(mb.intf), ERROR_MGR_ERR_TYPE_CANID_RX_MAX,
                          0);
            syslogx(LOG_ERR, "CanIn_Init: could not bind CAN message");
            return 1;
        }
    }
    syslogx(LOG_INFO, "CanIn_Init: CanIn successfully started (%d messages)", static_cast<int>(msgs.size()));
    initialised = true;
    return 0;
}

void CanInRx_msg(uintptr_t user, uint32_t, uint8_t, uint32_t dlc, const uint8_t* data) {
    if (!dlc || !user) return;
    const MsgRec& m = *reinterpret_cast<const MsgRec*>(user);
    const uint32_t length = canDLC2length(dlc);
    runList(m.sig, data, length);
    if (!m.mux.n) return;
    const uint32_t key = runList(m.mux, data, length);
    if (key == 0xFFFFFFFFu && m.mux.cmd[m.mux.n - 1].need > length) return; // no row counter in this frame
    for (const Node* n = m.root; n;) {
        if (key == n->value) {
            runList(n->list, data, length);
            return;
        }
        n = key < n->value ? n->left : n->right;
    }
}

void CanIn_supervisor_1ms() {
    if (!initialised) return;
    for (int r = 0; r < CANIN_ROWS; ++r) {
        uint16_t& c = canin_timeout[r];
        if (c == CANIN_NO_TIMEOUT || c >= CanInSignalConf[r].timeout) continue;
        if (++c >= CanInSignalConf[r].timeout) writeTimeoutValue(r);
    }
}

void CanIn_reset() {
    initialised = false;
    msgs.clear();
    nodes.clear();
    cmds.clear();
    std::memset(canin_timeout, 0, sizeof canin_timeout);
}
