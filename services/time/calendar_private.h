// Between the parts of the time module.
#pragma once

// Re-arms the once-only error lines of conv_date_to_time.
void calendar_reset();
