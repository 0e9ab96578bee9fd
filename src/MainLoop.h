#pragma once
// The daemon's event loop on the main thread.

// Runs until runMainKIVDLoop is 0.
void MainLoop();

// SIGINT and SIGTERM are blocked in every thread from the start and read through a signalfd by
// the main loop, which turns them into an orderly shutdown; a restart exec unblocks them first.
void BlockShutdownSignals();
void UnblockShutdownSignals();
