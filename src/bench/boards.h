// The boards as this daemon drives them, handed to every channel: the decoder's dispatch, each
// board kind's profile (report schedule, first commands) and what a board's going changes.
#pragma once

#include "link/boardbehaviour.h"

// Lives as long as the process. Safe from any thread.
const BoardBehaviour& benchBoards();

// The profile of a board kind: its report schedule and first commands; empty for a kind this
// daemon does not drive. Safe from any thread.
BoardProfile boardProfile(unsigned char device);

// A board that had identified itself is gone: a stand clears the stand's flag, and the client
// is told "device_disconnected:". Safe from any thread.
void boardGone(unsigned char device);
