// The decoder thread of a channel: takes received data frames in arrival order, selects a
// handler by message code, identifies the board from its version reply, and turns reports
// into messages for the client.
#pragma once

#include "service/sync.h"

class Channel;
class Command;
class ReceiveManager;

// Held while a report handler runs: the decoders' process-wide state (chart buffers,
// oscillogram calibration, motor guard, delay figures) is shared by all decoder threads.
extern Mutex decoderMutex;

// Handles one received data frame for the channel it came from. Takes decoderMutex while
// the handler runs. Safe from any decoder thread.
void dispatch(Channel& channel, const Command& command);

// The decoder thread body: drains the manager's queue until it is stopped and empty.
void thread_parser(ReceiveManager* manager);
