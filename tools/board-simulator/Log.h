#pragma once

// Lines on standard error, each led by the program's name.

// Always printed: what keeps the simulator from doing its job.
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Printed only with --verbose: what the board sees and does, frame by frame.
void SetVerbose(bool verbose);
void Verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
