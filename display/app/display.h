// The display application: the pages of "cfg:/display.xml" on the unit's screen.
#pragma once

#include <cstddef>
#include <cstdint>

void displayCtrl_ini();
// Brings up the screen driver and the GUI.
void displayInit();
// 0 once the display runs; the start-up retries, one tick apart.
int displayStart();
// Ends the display's tasks at shutdown.
void displayJoin();

// Handler of 0x1600: display page set (16-character name in the payload).
void display_pageset_cmd(const uint8_t* message, size_t len);

// The shell command "display".
int displayCommandFunc(int argc, char** argv);
