#pragma once

// A directory of one run's own in which a tree's replacement is built, beside the tree and so
// on the same file system: the replacement then takes the tree's place with one rename, and the
// old tree leaves it with another, so that the tree is never seen half built or half removed.
// Every staging directory's name starts with a fixed prefix, so that the ones a killed run or a
// power cut left behind can be found and removed; a process still at work in one of those (an
// orphaned tar) can thus never touch the tree that a later run builds.
//
// An archive is unpacked whole into a directory inside the staging directory, never into the
// staging directory itself: an archive packed from "." carries that directory's owner and mode,
// which tar gives to the directory it unpacks into. Only this run may enter the staging
// directory, whatever the archive holds.

#include "FileDescriptor.h"
#include "FileTree.h"

#include <QByteArray>
#include <QList>
#include <QString>

class cStagingDirectory
{
public:
    // parent: the directory that holds the tree; prefix: how every staging name starts.
    cStagingDirectory(const QString& parent, const QString& prefix);

    // Removes every entry of the parent whose name starts with the prefix. The entries that
    // could not be removed, named from the parent.
    QList<cTreeFault> RemoveLeftovers();

    // Makes a fresh staging directory and the directory to unpack into. False with the reason
    // when it cannot.
    bool Create(QString* reason);
    // The path of the directory to unpack into.
    QString UnpackPath() const;

    // Moves the parent's entry name into the staging directory and removes it there. True when
    // the name is free and all of it is gone (also when there was nothing).
    bool MoveAsideAndRemove(const QByteArray& name, cTreeFault* fault);
    // Checks the tree name unpacked (see CheckUnpackedTree); the fault names the entry from the
    // directory unpacked into.
    cTreeFault CheckTree(const QByteArray& name);
    // Moves the tree name unpacked to the same name in the parent, once all of it is on the
    // disk; true once the move is too.
    bool MoveIntoPlace(const QByteArray& name, QString* reason);
    // Removes the staging directory with whatever is left in it.
    bool Remove(cTreeFault* fault);

private:
    cTreeFault FromParent(const cTreeFault& fault) const;

    QString mParentPath;
    QByteArray mPrefix;
    cFileDescriptor mParent;
    cFileDescriptor mStaging;
    cFileDescriptor mUnpacked;
    QByteArray mName; // empty until created
};
