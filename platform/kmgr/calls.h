// The calls into the kernel-side manager: numbers (group * 64 + routine), the words both
// sides check, the argument order of each call and the parameter block. The application
// makes the calls through kmgr_syscall; the manager's handlers take them apart with the same
// declarations. Unused trailing arguments are 0; -1 (or, where noted, any nonzero result)
// is failure.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- calibration dataset: 1, buffer, length --------------------------------------------------
constexpr unsigned KCALL_DATASET_STORE = 2688;
constexpr unsigned KCALL_DATASET_LOAD = 2689;

// ---- shell command registration (process shell) ---------------------------------------------
// index, command name, command id (1 ..); remove: index, name. The low byte is 1 on success.
constexpr unsigned KCALL_SHELL_ADD = 2690;
constexpr unsigned KCALL_SHELL_REMOVE = 2691;
constexpr size_t KCALL_SHELL_NAME_MAX = 63;
// A typed command goes to the queue "/queue/MsdShell_<index>" (one message of at most
// SHELL_MSG_MAX bytes): u32 command id, i32 argc, u32 argv[argc], then the zero-terminated
// argument strings, argv[i] being where string i lies in the sender's copy (argv[0] names
// the first). The answer comes on "/queue/MsdShellReply_<index>": i32 result, the printed
// text, one NUL. Both little-endian, the processor's byte order.
constexpr const char* SHELL_QUEUE = "/queue/MsdShell";
constexpr const char* SHELL_REPLY_QUEUE = "/queue/MsdShellReply";
constexpr const char* SHELL_PIPE = "/pipe/MsdShell";
constexpr size_t SHELL_MSG_MAX = 4096;

// ---- real-time clock: index, address of seven u16 (year, month, day, hour, minute, second,
// millisecond); writes the clock and sets the system time; 1 done, 0 refused --------------
constexpr unsigned KCALL_RTC_WRITE = 2703;

// ---- non-volatile memory: slot address, length, offset in the image ----------------------
constexpr unsigned KCALL_NVRAM_PERSIST = 2692; // 0 = stored
constexpr unsigned KCALL_NVRAM_LOAD = 2693;    // RAM image, size, offset; 0 = loaded
constexpr unsigned KCALL_NVRAM_PERSIST_LOWPRIO = 2701;

// ---- drives and network: index first, except the USB request ------------------------------
constexpr unsigned KCALL_DRIVE_AVAILABLE = 2694; // index, drive name; 1 available
constexpr unsigned KCALL_IF_COMMAND = 2705;      // index, command text
constexpr unsigned KCALL_ROUTE_COMMAND = 2706;   // index, command text
constexpr unsigned KCALL_USB_REQUEST = 2708;     // request, value
enum UsbRequest : uint8_t { USB_REQ_POWER = 0, USB_REQ_RESET = 1, USB_REQ_REG_RESET = 2 };

// ---- application frame: index first -----------------------------------------------------------
constexpr unsigned KCALL_INTR_CONNECT = 2695; // index, queue name, interrupt, four words
constexpr unsigned KCALL_EPK_FORWARD = 2700;  // index, EPK text (at most KCALL_EPK_MAX bytes)
constexpr unsigned KCALL_SETTING = 2704;      // index, setting, value
constexpr unsigned KCALL_COMPAT_CHECK = 2752; // index, KCALL_APPMAN_ID
constexpr unsigned KCALL_APPMAN = 2753;       // index, KCALL_APPMAN_ID, request, result, 1, list
constexpr uint32_t KCALL_APPMAN_ID = 0x6E2B9D13;
constexpr size_t KCALL_EPK_MAX = 32;
// Requests of KCALL_APPMAN. The fifth argument counts the entries of the one-entry list in
// the sixth, which holds the address of the request's object (parameter block, pattern word,
// symbol name); the fourth is the status byte (0) or the result word (4).
enum AppManRequest : intptr_t {
    APPMAN_REQ_READ_PARAM = 0,
    APPMAN_REQ_WDOG_FEED = 1,
    APPMAN_REQ_WDOG_STARVE = 2,
    APPMAN_REQ_WDOG_SHUTDOWN = 3,
    APPMAN_REQ_SYMBOL = 4,
};

// The application parameter block as the manager fills it (little-endian, packed).
struct AppParam {
    uint8_t pid;
    uint8_t coreAffinity;
    uint8_t unused[2];
    uint32_t baseBootCounter;
    uint32_t ipv4Addr; // first octet in the most significant byte
    uint32_t ipv4Mask;
    uint16_t xcpPort;
    uint16_t bc2PortOffset;
    uint8_t ccpEnable;
    char homeDir[128];
    char nvRamDir[129];
    uint8_t allPids[2]; // start of the list of all PIDs; a 0 ends a shorter one
} __attribute__((packed));
static_assert(sizeof(AppParam) == 280 && offsetof(AppParam, homeDir) == 21 &&
              offsetof(AppParam, allPids) == 278);

// ---- device data and 1-Wire ROM id: index, KCALL_DEVDATA_IF first -------------------------
constexpr unsigned KCALL_DEVDATA_INIT = 3648; // index, code, 0
constexpr unsigned KCALL_DEVDATA_CONTROL =
    3649;                                    // index, code, 0 (state into *a4) | 1 enable | 2 disable writes
constexpr unsigned KCALL_DEVDATA_GET = 3650; // index, code, item, 0, 1, address of the buffer's address
constexpr unsigned KCALL_DEVDATA_SET = 3651; // as get
constexpr unsigned KCALL_ROMID = 2698;       // buffer of 8 bytes
constexpr uint32_t KCALL_DEVDATA_IF = 0x3A6D1E47;

// ---- screen: index, KCALL_DISPLAY_ID, 1 (flush) or 2 (wait) ---------------------------------
constexpr unsigned KCALL_DISPLAY_FLUSH = 4225;
constexpr unsigned KCALL_DISPLAY_WAIT_FLUSH = 4226;
constexpr unsigned KCALL_BOOTLOGO_COPY = 4227; // buffer, size
constexpr unsigned KCALL_BOOTLOGO_SIZE = 4228; // address of the size word
constexpr intptr_t KCALL_DISPLAY_ID = 0xBCA0002;
// Device-data items and the sizes of their values (texts are padded with NULs).
enum DevDataItem : int {
    DEVDATA_MAC = 0,
    DEVDATA_LIFETIME = 1,
    DEVDATA_MAXTECU = 2,
    DEVDATA_PARTNUMBER = 3,
    DEVDATA_SERIALNUMBER = 4,
    DEVDATA_REVISIONID = 5,
    DEVDATA_REVDATES = 6,
    DEVDATA_CRASHCOUNTER = 8,
    DEVDATA_BRICKCOUNTER = 9,
    DEVDATA_MAXTDISP = 10,
};
constexpr size_t DEVDATA_MAC_SIZE = 6;
constexpr size_t DEVDATA_TEXT_SIZE = 16;
constexpr size_t DEVDATA_REVDATES_SIZE = 8;
constexpr size_t DEVDATA_ROMID_SIZE = 8;

// ---- CAN controllers ----------------------------------------------------------------------------
// Register: index, node, format, identifier, receive-slot number. Transmit (no index): node,
// format, identifier, DLC, data, frame-kind byte (nonzero: FD), flags byte (bit 0: bit-rate switch).
// Bit timing: index, node, record. Activate: index. Any nonzero format is a 29-bit identifier.
constexpr unsigned KCALL_CAN_REGISTER_RX = 2696;
constexpr unsigned KCALL_CAN_TRANSMIT = 2697;
constexpr unsigned KCALL_CAN_BITTIMING = 2699;
constexpr unsigned KCALL_CAN_ACTIVATE = 2702;
// The record of the bit-timing call; the manager writes what it uses through the two pointers.
struct CanBitTiming {
    uint32_t baudrate;
    float samplepoint;
    uint32_t sjw; // low byte
    float* samplepointUsed;
    uint8_t* sjwUsed;
    uint32_t unused[3];
    uint32_t zero[2];
};
// The per-process receive queue "/msgQ_RX_Can_<index>", created by the manager: each message
// the receive-slot number, the DLC and 64 data bytes (zero past the frame's length).
constexpr const char* CAN_RX_QUEUE = "/msgQ_RX_Can";
constexpr int CAN_RX_QUEUE_MSGS = 32;
struct CanRxMsg {
    uint32_t slot;
    uint32_t dlc;
    uint8_t data[64];
};
static_assert(sizeof(CanRxMsg) == 72);
// Bytes of a CAN FD DLC (ISO 11898-1); 0 for 16 and above.
constexpr uint8_t canDlcBytes(uint32_t dlc) {
    constexpr uint8_t len[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return dlc < 16 ? len[dlc] : 0;
}
// The smallest DLC whose frame holds n bytes (15 for more than 64).
constexpr uint8_t canBytesDlc(uint32_t n) {
    uint8_t d = 0;
    while (d < 15 && canDlcBytes(d) < n)
        ++d;
    return d;
}

// Every call number once: two calls on one number would reach the wrong handler unseen.
namespace kcall_detail {
constexpr unsigned ALL[] = {
    KCALL_DATASET_STORE,   KCALL_DATASET_LOAD,  KCALL_SHELL_ADD,       KCALL_SHELL_REMOVE,
    KCALL_RTC_WRITE,       KCALL_NVRAM_PERSIST, KCALL_NVRAM_LOAD,      KCALL_NVRAM_PERSIST_LOWPRIO,
    KCALL_DRIVE_AVAILABLE, KCALL_IF_COMMAND,    KCALL_ROUTE_COMMAND,   KCALL_USB_REQUEST,
    KCALL_INTR_CONNECT,    KCALL_EPK_FORWARD,   KCALL_SETTING,         KCALL_COMPAT_CHECK,
    KCALL_APPMAN,          KCALL_DEVDATA_INIT,  KCALL_DEVDATA_CONTROL, KCALL_DEVDATA_GET,
    KCALL_DEVDATA_SET,     KCALL_ROMID,         KCALL_DISPLAY_FLUSH,   KCALL_DISPLAY_WAIT_FLUSH,
    KCALL_BOOTLOGO_COPY,   KCALL_BOOTLOGO_SIZE, KCALL_CAN_REGISTER_RX, KCALL_CAN_TRANSMIT,
    KCALL_CAN_BITTIMING,   KCALL_CAN_ACTIVATE};
constexpr bool distinct() {
    for (unsigned a : ALL) {
        int n = 0;
        for (unsigned b : ALL)
            n += a == b;
        if (n != 1) return false;
    }
    return true;
}
static_assert(distinct(), "two manager calls share a number");
} // namespace kcall_detail
