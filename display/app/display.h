// The display application: the pages of "cfg:/display.xml" on the unit's screen.
#pragma once

void displayCtrl_ini();
// Brings up the screen driver and the GUI.
void displayInit();
// 0 once the display runs; the start-up retries, one tick apart.
int displayStart();
// Ends the display's tasks at shutdown.
void displayJoin();
