// What a received data frame means: selects a handler by message code, identifies the board
// from its version reply, and turns reports into messages for the client. Each channel's
// decoder thread hands its frames here in arrival order.
#pragma once

#include "service/sync.h"

class Channel;
class Command;

// Held while a report handler runs: the decoders' process-wide state (chart buffers,
// oscillogram calibration, motor guard, delay figures) is shared by all decoder threads.
extern Mutex decoderMutex;

// Handles one received data frame for the channel it came from. Takes decoderMutex while
// the handler runs. Safe from any decoder thread.
void dispatch(Channel& channel, const Command& command);
