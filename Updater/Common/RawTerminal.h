#pragma once

// A board behind a terminal device (a USB serial board shows up as one) speaks bytes, not lines.
// In a terminal's default settings the line discipline would echo the board's answers back into
// it, hold them until a line end, and turn every 0x0A of a frame into 0x0D 0x0A. So while the
// tool holds a board, its terminal is raw, and afterwards it has its own settings back for the
// box's other programs.
//
// A stop signal (SIGTERM, SIGINT, SIGHUP) that comes while a terminal is raw gives the settings
// back first and then ends the tool by that same signal, as it would have ended without: the
// program that stops the tool sees what it always saw. A stop signal the tool was started with
// ignored stays ignored. SIGKILL cannot be caught: a killed tool leaves the terminal raw, and the
// next run saves those settings as the terminal's own.

// Saves the terminal's settings and makes it raw: no echo, no canonical input, no signal
// characters, no CR/NL translation either way, no output processing, 8 bits without parity, no
// software flow control. False, with nothing changed, when descriptor is no terminal.
bool MakeTerminalRaw(int descriptor);

// Gives a terminal that MakeTerminalRaw made raw its saved settings back, at once: waiting for
// the output to drain could wait forever on a board that stopped reading. Does nothing for any
// other descriptor.
void RestoreTerminal(int descriptor);
