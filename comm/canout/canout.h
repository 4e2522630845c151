// CAN output messages with their checksums and counters.
#pragma once

// The messages of raster index `raster`.
void CanOut_send_message(int raster);
// The event-triggered messages (10 ms raster).
void CanOut_event_message();
void CanOut_stop();
