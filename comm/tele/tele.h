// Telemetry: frames over the serial line or UDP, and the JSON status channel.
#pragma once

void tele_app_ini();
