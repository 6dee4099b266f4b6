// Signals, and the end of the controlling program's reading of standard output, handled on
// ordinary threads: an async-signal handler only writes the signal's number to a pipe, one thread
// reads it and hands each event's work to the global queue, where the work runs one at a time in
// the order the events arrived.
//
// The relay and its threads live until the process ends.
#pragma once

#include <functional>
#include <initializer_list>

namespace platform {

// Makes one dedicated thread the only one that receives these signals, so that their work keeps
// the order in which they arrived even when they come in quick succession (a thread preempted
// inside the signal handler would otherwise let a later signal overtake). Call it before any
// other thread starts, since threads inherit the caller's signal mask. The signals keep their
// default action until handleSignal is called for them.
void receiveSignalsOnOneThread(std::initializer_list<int> signals);

// From now on, signo runs handler on the global queue instead of its default action. Signals
// are handled one at a time, in the order they arrive.
void handleSignal(int signo, std::function<void(int)> handler);

// As handleSignal, unless signo is ignored (as whoever started the process may have left it:
// nohup ignores SIGHUP); then it stays ignored. Answers whether the handler was installed.
bool handleSignalUnlessIgnored(int signo, std::function<void(int)> handler);

// From now on, handler runs once, in order with the signals' work, when the reader of standard
// output has gone: when standard output is a pipe or a socket whose reading end has closed (a
// thread waits on it, costing nothing meanwhile), or when a write to it failed with EPIPE
// (reportOutputWriteError). Nothing is watched when standard output is a file or a terminal.
void handleOutputReaderGone(std::function<void()> handler);

// For the writer of standard output, from any thread: whether its reader has gone, after which
// nothing more is to be written.
bool outputReaderGone();

// For the writer of standard output, from any thread: a write or flush failed with this errno.
// EPIPE (with SIGPIPE ignored) means the reader has gone.
void reportOutputWriteError(int error);

}  // namespace platform
