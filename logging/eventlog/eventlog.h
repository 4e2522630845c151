// Event service of logging: the error manager's events, queued and delivered every 10 ms.
//
// Event service of logging: the error manager's events go into a bounded queue that the
// raster "EventService" drains every 10 ms into the events delivered to the event loggers.
// The event loggers themselves (event files of the measurements) and the event channels of
// "cfg:/eventcfg.xml" are not part of this build: delivered events are kept in memory.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int EVENTLOG_QUEUE_SIZE = 64;      // events waiting for the service raster
constexpr int EVENTLOG_DELIVERED_SIZE = 256; // newest delivered events kept
constexpr size_t EVENTLOG_RECORD_SIZE = 14;
constexpr size_t EVENTLOG_TEXT_SIZE = 40;

struct EventLogEntry {
    uint8_t record[EVENTLOG_RECORD_SIZE];
    char pathText[EVENTLOG_TEXT_SIZE];
    char typeText[EVENTLOG_TEXT_SIZE];
};

// Queues an error-manager event (14-byte record, path text, type text). Never blocks and calls
// nothing back, so it may run under the caller's locks; a full queue drops the event (counted,
// and reported by the service raster). Works before eventlogging_service_init: the events wait.
void eventlogging_send(const uint8_t* record, const char* pathText, const char* typeText);
// Hooks "EventService" (priority 67, 10 ms, stack 4096, not watched). 1, or 0 when the raster
// could not be hooked.
int eventlogging_service_init();
// Handler of command 0x1500: hands the event record of the message to each event logger that
// exists (none in this build).
void eventlogging_cmd(const uint8_t* message);
// Body of "EventService": moves the queued events to the delivered ones.
void eventlogging_service_10ms();

// Event channels of "cfg:/eventcfg.xml" (not built: no channels are configured).
void eventChannelsInit();
void eventChannels_10ms();

// Moves up to `max` delivered events, oldest first, into `out`; returns how many.
int eventlogging_takeDelivered(EventLogEntry* out, int max);
// Events dropped because the queue was full, since the start.
uint32_t eventlogging_dropped();

// Tests: empties the queue and the delivered events, forgets the hook and the counters.
void eventlogging_reset();
