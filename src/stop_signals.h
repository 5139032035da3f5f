// stop signals and the standard streams, on posix systems
#pragma once

// opens any closed standard stream on /dev/null
void open_standard_streams();
// blocks the stop signals in this thread and the threads it starts
void hold_stop_signals();
// installs the handler and unblocks them in this thread only
void catch_stop_signals();
// if one came: give_back, then die of that same signal
void stop_if_signalled(void (*give_back)());
