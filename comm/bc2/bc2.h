// Device network transport: presence multicast and the command and data channels per peer.
#pragma once

void BC2_init();
void BC2_stop();
