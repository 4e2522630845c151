// The display application: the pages of "cfg:/display.xml" on the unit's screen.
//
// The display application: the pages of "cfg:/display.xml" on the unit's screen, their page
// and brightness control, the display commands and the shell command "display".
//
// Tasks and locks. The GUI task ("r_GuiMn") owns every window of the display and does all its
// drawing; each invalidation holds a level of the GUI lock until it is drawn, and the task draws
// what is left before it waits for the next message. Other tasks reach it only by posting a
// command, which takes the GUI queue's mutex and nothing else. The locks, in the order a task
// may take them (holding one, it takes only those below it):
//   1. the GUI lock
//   2. the channel lock (disp_chanLock: the configuration inputs and the control's state)
//   3. the external alarm lock, a channel value's lock, the GUI queue's mutex
// So no task but the GUI task takes the GUI lock while it holds a lock that the GUI task takes:
// the control task ("r_DispCtrl") holds the channel lock while it reads its inputs and posts the
// page and brightness commands; display_alarm holds the alarm lock to fill the record and posts
// after giving it back; a screen capture (DumpReal, from the shell) takes the GUI lock and
// nothing else; the gateway's callbacks take only a channel value's lock.
#pragma once

#include <cstddef>
#include <cstdint>

class GuiPresentationManager;
struct GuiAppHooks;
struct LedBrightnessCurves;
struct ext_alarm_s;

// ---- start-up and shutdown ---------------------------------------------------------------
// Starts the display control task "r_DispCtrl".
void displayCtrl_ini();
// Unpacks the fonts, then starts the GUI task, its timer task and the waiter that switches the
// display on once the GUI is built.
void displayInit();
// Posts the start (read "cfg:/display.xml", build the pages): 0, or -1 while the GUI is not up.
int displayStart();
// Nothing to do at shutdown.
void displayJoin();

// The toolkit's application hooks (run on the GUI task), and the three as the toolkit takes them.
void GuiAppInitialize(GuiPresentationManager* pm);
void ConfigureGuiInput();
void RestoreGuiInput();
extern const GuiAppHooks display_guiHooks;

// ---- display commands: each 0 when posted, -1 while the GUI is not up or the queue is full ----
int displayStop();
int displayNext();
int displayPrev();
int displayColor(unsigned long rgb);
// Slot index 0 to 11; larger ones (and negative ones, taken as unsigned) post 11.
int displaySwitchPage(unsigned int index);
// Switch position, 0-based.
int displayBrightness(unsigned int pos);
int displaySetUpdateRate(int ticks);
int displayFlashStart();
int displayFlashStop();
// The texts must stay valid until the GUI task has shown them.
int displayTxtShow(const char* text);
int displayTxtShow2(const char* text1, const char* text2);
// Posts a copy of the text (at most 254 characters).
int displayTxtShowFree(const char* text);
int displayTxtHide();
int displayUpdateExtWnd();

// ---- external alarm window and alarm flags -------------------------------------------------
// Stores the window (blanks of the text become character 129) and posts its update.
int display_alarm(uint8_t active, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                  uint32_t textColour, uint32_t backgroundColour, uint8_t tag, const char* text);
void display_get_alarm_state(ext_alarm_s** out);
uint8_t display_get_reset_alarm_active();
uint8_t display_get_alarm_hidden();
void display_trigger_inhibit_alarms();
void display_reset_inhibit_alarms();

// ---- page and brightness control -----------------------------------------------------------
// Called by the display start with the page count - 1: the selected page (1-based).
unsigned char displayCtrl_start(unsigned char maxIndex);
// Called by the display stop: the control pauses until the next start.
void displayCtrl_stop();
// One cycle of the control task (the task runs it every tick).
void displayCtrl_cycle();
// 0 without the channel; else 1 with the rounded value and whether a new value came.
int displayGetPageChan(int* value, int* updated);
int displayGetBrightnessChan(int* value, int* updated);
int limit1toMax(int v, int max);
// The calibration curves of the brightness percent.
float display_brightness_bg(float percent);
unsigned int display_brightness_colSat(float percent);
float display_brightness_led_red(float component, float percent);
float display_brightness_led_green(float component, float percent);
float display_brightness_led_blue(float component, float percent);
// The three LED curves, as the LED channel functions scale their colours by them.
extern const LedBrightnessCurves display_ledCurves;

// n other than -1 stores the highest page index; returns it.
int displayMaxPages(int n);
// s = 1 marks the display as started; returns the mark.
int displayStatus(int s);

// ---- page sets -----------------------------------------------------------------------------
// Handler of 0x1600: a 16-character page-set name in the payload. A new name is stored and
// the process restarts through the post-run.
void display_pageset_cmd(const uint8_t* message, size_t len);
// Sends a page-set name to a unit.
void display_pageset_tlc(uint16_t pid, const char* name);
// The stored name (16 bytes, zero-padded); false when it cannot be read.
bool pageSetName_getName(char* buffer, unsigned int size);
bool pageSetName_putName(const char* name, unsigned int size);

// ---- the shell command and the screen capture ----------------------------------------------
int displayCommandFunc(int argc, char** argv);
// A Windows BMP file of the application's 640 x 480 area (heap; the caller frees it); null
// while the GUI is not up.
unsigned char* DumpReal(unsigned long* size);
// Writes the capture to a file; 0, or -1 with a message printed and no file left.
int display_bmpwrite(const char* path);
