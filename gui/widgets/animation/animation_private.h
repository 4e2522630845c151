// Inside the animations: the timer count of a delay.
#pragma once

#include "gui/widgets/animation/animation.h"

// A delay or period of 0 ticks would never fire: it runs as 1, the next tick.
long GuiAnimationTicks(unsigned long delay);
