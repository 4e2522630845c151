// Serial network paths: data records to other units, online and offline senders per raster.
#pragma once

void SerNet_man_ini();
void SerNet_man_1s();
void SerNet_man_sender_online(int raster);
void SerNet_man_sender_offline(int raster);
void SerNet_man_flush_online();
void SerNet_man_flush_offline();
