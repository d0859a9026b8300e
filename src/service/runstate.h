// The process-wide run flags, and the map of the daemon's threads and locks.
//
// Threads (all owned and joined, none detached):
// - main: the TCP server loop (TcpServer::connect). It runs the text command parser for each
//   complete client message, which queues settings on the channels' send queues.
// - the watcher (SerialWatcher::run): one pass over the device directory a second; creates
//   and retires channels, resets silent boards, prints the counters on SIGUSR1; says a
//   retired identified board's going (bench/boards.h: the stand's flag, the client's
//   "device_disconnected:").
// - per channel (link/channel.h), started when the watcher creates it and joined when it
//   retires it:
//   - the reader (ReceiveManager::read): reads the port, acknowledges each data frame at
//     once, records the board's ACKs, queues data frames for the decoder;
//   - the decoder (ReceiveManager::decode): hands each queued frame to the board's dispatch
//     (bench/decoder.h, given to the channel by bench/boards.h), which identifies the board
//     and queues client messages in the outbox; the stand's motor guard queues its stop
//     sequence on the send queue;
//   - the sender (SendManager::run): handshake, the board kind's profile (report schedule,
//     first commands, from bench/boards.h), queued commands with their tries.
// - the monitor (MonitorServer::run, client/monitorserver.h): accepts and serves the observers
//   on the monitor port; takes the outbox's copies of the client messages on a tick of its
//   own, at nice 10 so that the data path's threads go first. Started by main
//   after the server's port is bound, stopped and joined when the server loop ends.
// - with --mqtt, the fleet publisher (FleetPublisher::run, fleet/publisher.h): looks the
//   broker up, connects and reconnects, drives libmosquitto's network loop itself (no thread
//   of libmosquitto's), takes the outbox's copies of the client messages and the ports'
//   status on a tick of its own, at nice 10. Started by main after the monitor, stopped and
//   joined before the watcher retires the channels. The name lookup runs in a child process
//   (getent, fleet/resolver.h), read on the publisher's tick, killed and reaped at once when
//   still out at the stop.
// - with --failsafe, the fail-safe (FailSafe::run, client/failsafe.h): waits out the delay after
//   the client is lost, parses the safe state, and while it is in force looks at the boards
//   every 100 ms for one newly identified. Started and joined by main.
// - the console's writer (service/console.h): writes queued console lines.
// - the capture's writer (capture::Recorder::run, capture/recorder.h), with --capture only:
//   takes the queued records on a tick of its own, writes, flushes and rotates the ring of
//   files, at nice 10. Started by main before the watcher, stopped and joined after the
//   channels retired.
// - under a service manager only (NOTIFY_SOCKET), the notifier (Notifier::run,
//   service/notifier.h): the status line (it takes a snapshot of the channel map) and the
//   watchdog pings while every checked thread checks in. Started and joined by main.
// - the stop signals' thread (StopSignals::run, service/stopsignals.h): woken by the SIGTERM
//   or SIGINT handler through an eventfd, it asks the server loop to stop (its Waker). Started
//   and joined by main.
// - the SIGUSR1 handler only sets countersRequested; the SIGHUP handler (with --capture only)
//   only sets the capture's reopen flag.
//
// Locks, outermost first; a lock is only ever taken while holding locks above it:
//   0. the fail-safe's mutex_ (client/failsafe.h): held around its parsing of the safe state,
//      which takes the locks below; the server thread takes it alone (its client hook).
//   1. channelMapMutex (link/channelregistry.h): held alone, to copy or change the map.
//   2. decoderMutex (bench/decoder.h): the decoders' process-wide state, around one handler.
//   3. tcpMutex (service/outbox.h) or devMutex (link/sendmanager.h) or a channel's receive
//      queueMutex: each held only around its queue's operations; never two of them together.
//      tcpMutex also guards every consumer's copies of the client messages (MessageCopies:
//      the monitor's, a publisher's), so that they keep the client's order; a consumer's
//      wake-up is raised under it (a Waker's lock is a leaf).
//   4. the throttle's and the console's own locks (service/consolethrottle.h, console.h).
// A channel's writeMutex (around writing one frame) takes only the capture's queueMutex_
// (capture/recorder.h), so that a port's written records keep the order of its writes.
// libmosquitto's own locks are leaves to us: the publisher calls it holding none of ours, and
// its callbacks run on the publisher's thread, inside its calls.
// Leaves, under which nothing is taken: the capture's queueMutex_, the notifier's mutex_,
// the TcpServer's clientAddressMutex_ (the client's address, read by the monitor), the
// heartbeats' registryMutex (service/heartbeat.cpp), the logger's logMutex and every Waker's
// lock. Console lines and throttled lines are printed after the queue locks are
// released. Fields guarded by a lock are declared GUARDED_BY it (service/sync.h); `make
// thread-safety` checks them with clang.
#pragma once

#include <atomic>

// Run flag of the watcher loop. Nothing in the daemon clears it today (the watcher's Waker
// stops it); kept as the one switch that ends the scanning for whoever embeds the watcher.
extern std::atomic<bool> isWorking;
// Set by the SIGUSR1 handler (and nothing else there): the watcher prints every channel's
// counters on its next pass and clears it.
extern std::atomic<bool> countersRequested;
