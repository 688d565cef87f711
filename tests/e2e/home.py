"""The entries of the service user's home by the fixed paths they hold, for tests that check
what a step leaves in the home and nothing more."""

import os

import box


def entry(absolute):
    """The home's entry that holds a fixed path: the firmware directory for a firmware file."""
    return os.path.relpath(absolute, box.HOME).split(os.sep)[0]


ARCHIVE = entry(box.ARCHIVE_FILE)
CHECKSUM = entry(box.CHECKSUM_FILE)
# What a download that did not put the pair in place keeps for the next one.
PARTIAL_BODY = {entry(box.PARTIAL_ARCHIVE_FILE), entry(box.PARTIAL_ARCHIVE_RECORD_FILE)}
FIRMWARE = entry(box.FIRMWARE_DIR)
PROGRESS = entry(box.PROGRESS_FILE)
RELAUNCH_FLAG = entry(box.FLAG_FILES["relaunch_daemon"])
# The event log's directory lies in it; a fresh box's home holds it alone.
PERSISTENT_DATA = entry(box.LOG_FILE)


def entries():
    return set(os.listdir(box.path(box.HOME)))
