// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/sernet/sernet.h"

void SerNet_man_ini() {}
void SerNet_man_1s() {}
void SerNet_man_sender_online(int) {}
void SerNet_man_sender_offline(int) {}
void SerNet_man_flush_online() {}
void SerNet_man_flush_offline() {}
