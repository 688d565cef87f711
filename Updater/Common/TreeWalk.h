#pragma once

// A walk through a directory tree that never follows a link: every entry is looked at and
// opened relative to the directory that holds it, and a link is an entry like any other.
// Directories are made readable, writable and searchable by their owner before they are read,
// so that a tree unpacked with read-only directories can still be walked and emptied.
//
// Only one directory is open at a time, whatever the depth: the walk climbs back up through
// "..", and checks that it arrives where it came from. Its memory grows with the depth and with
// the names of the directories it is in, never with the square of the depth. The trees walked are
// the tool's own (a staging directory, the firmware tree); nothing else is expected to move their
// directories while they are walked.
//
// The walk uses the 64-bit forms of stat and readdir: on the box's 32-bit processor the plain
// ones fail on a file of 2 GiB or more, and on a file system with large inode numbers.

#include <QByteArray>
#include <sys/stat.h>
#include <vector>

struct cTreeEntry
{
    int directory;               // the open directory that holds the entry
    const QByteArray& name;      // its name there
    const struct stat64& status; // of the entry itself, as it was when the walk met it
    const QByteArray& path;      // from the top of the walk, e.g. "Firmware/lib/a.so"; the walk
                                 // changes it once the visitor has returned
};

class cTreeVisitor
{
public:
    virtual ~cTreeVisitor() = default;
    // Every entry, a directory before anything it holds. False ends the walk.
    virtual bool Enter(const cTreeEntry& entry) = 0;
    // A directory after everything it holds, by the open directory that holds it, its name
    // there and its path from the top. False ends the walk.
    virtual bool Leave(int directory, const QByteArray& name, const QByteArray& path) = 0;
    // An entry the walk could not look at, or a directory it could not open or read (its
    // content is then skipped, and it is not left). error is an errno value. False ends the walk.
    virtual bool Unreadable(const QByteArray& path, int error) = 0;
};

// Walks the entry name of the open directory and, when it is a directory, everything below it.
// True when the walk went to the end; false when the visitor ended it.
bool WalkTree(int directory, const QByteArray& name, cTreeVisitor& visitor);

// Adds the names in the open directory, "." and ".." aside, to names, in byte order: a walk
// visits a tree in the same order on every file system, and so reports the same first fault.
// The walk reads each directory's names in full before it goes deeper, so that the directory
// need not stay open meanwhile. False, with errno set, when the directory cannot be read.
bool ListNames(int directory, std::vector<QByteArray>* names);
