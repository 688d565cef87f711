#pragma once

// Removing and checking directory trees that may have come out of an uploaded archive. Neither
// ever follows a link, so whatever a tree holds, nothing outside it is read, changed or removed.

#include <QByteArray>
#include <QString>

// Why a tree could not be removed or used: the first entry at fault, named from the top of the
// tree, and what is wrong with it ("is a symbolic link").
struct cTreeFault
{
    QByteArray entry;
    QString reason;

    bool IsFault() const { return !reason.isEmpty(); }
};

// Removes the entry name of the open directory, whatever it is: a link itself, never what it
// points to; a directory with everything below it, read-only directories included. Goes on past
// an entry it cannot remove and reports the first one. True when nothing is left at name (also
// when there was nothing).
bool RemoveTree(int directory, const QByteArray& name, cTreeFault* fault);

// Readies a tree that tar has unpacked as the entry name of the open directory for use: the top
// must be a directory, and everything in it a directory or a regular file that is not linked
// from outside the tree. Set-id bits are dropped and directories are made writable by their
// owner. A tree that cannot be used is left for its caller to remove.
cTreeFault CheckUnpackedTree(int directory, const QByteArray& name);
