#pragma once

// Prints the usage text for --help.
void PrintHelp();

// Reports a command-line problem with the usage text; returns the exit status for it.
int UsageError(const char* problem);
