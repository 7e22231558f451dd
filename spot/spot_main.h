#pragma once
// The MirovaneSpot program: no arguments, records on standard output only, runs
// until SIGINT or SIGTERM. The signal handler only wakes the run loop; the clean-up
// (the tracker saves its state) runs on the main thread, and the program ends with
// status 0. A failed start-up ends it with status 1 without writing anything.
//
// Called once, from main.

// Runs the watcher with its records on `outputFD`; returns the exit status.
int MirovaneSpotMain(int outputFD);
