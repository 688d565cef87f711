#pragma once

// The archive and its companion change together. Both new files first take fixed pending names
// beside their targets, the archive's first; once the companion's pending name is on the disk the
// pair is decided, and the two renames into place follow. A run that dies between those leaves
// the pending names behind, and the next step that takes the update files lock finishes the move
// before it looks at the pair. So every step that takes the lock finds the old pair or the new
// one, never a new archive beside an old companion.
//
// Everything here is called with the update files lock held.

class cBodyFile;

struct cPairPlaced
{
    bool archive;
    bool companion;
};

// Puts two verified, synced files in the places of the archive and the companion.
cPairPlaced PlaceFirmwarePair(cBodyFile& archive, cBodyFile& companion);

// Finishes what a stopped run left of placing a pair, or drops its archive when the pair was not
// decided yet.
void FinishPlacingFirmwarePair();
