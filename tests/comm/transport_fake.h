// The transport as the command interface and the paths see it, recording what they send. One
// test file of a group defines its functions; the real transport is then not linked. The group's
// other files define FAKE_TRANSPORT_ELSEWHERE before they include it.
#pragma once

#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace fake {

using Bytes = std::vector<uint8_t>;
inline std::mutex lock;
inline std::vector<Bytes> commands;         // header and payload of every command message sent out
inline std::vector<Bytes> online, offline;  // DK records: header and entry
inline uint64_t down = 0;                   // PIDs whose command channel refuses to send
inline bool multicastDown = false;          // the command multicast refuses to send
inline int offlineRoom = -1;                // DK records the offline frames take before they refuse (-1: all)
inline std::atomic<uint64_t> up{0};         // PIDs with their channels made
inline std::atomic<uint64_t> byNames{0};    // PIDs that take lists by names (0x0510) and 0x0516 queries
inline std::atomic<uint64_t> ciChannels{0}; // PIDs holding a command channel, with
inline std::atomic<long> ciQueued[64];      // the bytes waiting in its queue

inline std::vector<Bytes> take(std::vector<Bytes>& list) {
    std::lock_guard<std::mutex> g(lock);
    std::vector<Bytes> out;
    out.swap(list);
    return out;
}

} // namespace fake

#ifndef FAKE_TRANSPORT_ELSEWHERE
void BC2_setCommandSink(int (*)(const uint8_t*, int), int (*)(const uint8_t*, int), bool (*)(int, int)) {}
uint64_t udp_get_detect_mask() {
    return fake::up.load();
}
int BC2_connected(uint32_t pid) {
    return pid < 64 && (fake::up.load() >> pid & 1);
}
uint64_t comint_get_connect_mask() {
    return fake::up.load();
}
int BC2_getRemoteCapabilty(uint32_t pid, int) {
    return pid < 64 && (fake::byNames.load() >> pid & 1) ? 0 : 1; // else address lists and 0x0505 queries
}
int comint_status() {
    return 1;
}
int BC2_ciMulticastFailed() {
    return 0;
}
int comint_put_eth(const uint8_t* m) {
    std::lock_guard<std::mutex> g(fake::lock);
    const uint16_t dest = ci_header(m).dest;
    if (dest < 64 ? (fake::down >> dest & 1) != 0 : fake::multicastDown) return 0;
    fake::commands.emplace_back(m, m + CI_HEADER + ci_header(m).length);
    return 1;
}
int comint_put_locSock(const uint8_t* m) {
    return comint_put_eth(m);
}
long BC2_ciWaiting(uint32_t pid) {
    return pid < 64 && (fake::ciChannels.load() >> pid & 1) ? fake::ciQueued[pid].load() : -1;
}
inline void record(std::vector<fake::Bytes>& list, const uint8_t* header, const uint8_t* entry) {
    std::lock_guard<std::mutex> g(fake::lock);
    const size_t n = static_cast<size_t>(header[2] << 8 | header[3]);
    fake::Bytes r(8 + n);
    std::memcpy(r.data(), header, 8);
    std::memcpy(r.data() + 8, entry, n);
    list.push_back(r);
}
int dyncom_send_eth(const uint8_t* header, const uint8_t* entry) {
    if (fake::offlineRoom == 0) return -1;
    if (fake::offlineRoom > 0) --fake::offlineRoom;
    record(fake::offline, header, entry);
    return 0;
}
int dyncom_send_eth_online(const uint8_t* header, const uint8_t* entry) {
    record(fake::online, header, entry);
    return 0;
}
void Dynkom_flush_eth(int) {}
#endif
