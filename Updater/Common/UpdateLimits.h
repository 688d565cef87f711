#pragma once

// How long the tool waits on things outside its control, and how much of them it reads. A test
// build may shorten the waits by defining the macros (for example in CMAKE_CXX_FLAGS); a box
// build keeps these values.

#ifndef RIRARUDE_BOARD_QUERY_WAIT_MS
#define RIRARUDE_BOARD_QUERY_WAIT_MS 5000
#endif
#ifndef RIRARUDE_BOARD_STATUS_WAIT_MS
#define RIRARUDE_BOARD_STATUS_WAIT_MS 30000
#endif
#ifndef RIRARUDE_DOWNLOAD_STALL_MS
#define RIRARUDE_DOWNLOAD_STALL_MS 60000
#endif
#ifndef RIRARUDE_DOWNLOAD_RETRY_PAUSE_MS
#define RIRARUDE_DOWNLOAD_RETRY_PAUSE_MS 1000
#endif
#ifndef RIRARUDE_EXTRACT_WAIT_MS
#define RIRARUDE_EXTRACT_WAIT_MS 30000
#endif
#ifndef RIRARUDE_UPDATE_FILES_LOCK_WAIT_MS
#define RIRARUDE_UPDATE_FILES_LOCK_WAIT_MS 120000
#endif
#ifndef RIRARUDE_UPLOAD_CHECK_WAIT_MS
#define RIRARUDE_UPLOAD_CHECK_WAIT_MS 30000
#endif

// An answer to a board query that has not come by then counts as a read that delivered nothing.
// A board that another program holds for longer than this is not asked at all.
constexpr int BOARD_QUERY_WAIT_MS = RIRARUDE_BOARD_QUERY_WAIT_MS;
// A transfer status byte that has not come by then fails the transfer, and so does a board that
// another program holds for longer than this.
constexpr int BOARD_STATUS_WAIT_MS = RIRARUDE_BOARD_STATUS_WAIT_MS;
// A download that moves fewer than DOWNLOAD_STALL_MIN_BYTES in this long is stalled: a server
// that trickles a byte now and then holds the step no longer than one that falls silent.
constexpr int DOWNLOAD_STALL_TIMEOUT_MS = RIRARUDE_DOWNLOAD_STALL_MS;
constexpr int DOWNLOAD_STALL_MIN_BYTES = 1024;
// The archive's transfer that broke off (closed, cut short or stalled) once bytes of it were on
// the disk is asked again for the rest this often per run at most, after a pause that starts
// here and doubles each time.
constexpr int DOWNLOAD_RETRIES = 3;
constexpr int DOWNLOAD_RETRY_PAUSE_MS = RIRARUDE_DOWNLOAD_RETRY_PAUSE_MS;
// Qt reads a reply's head in the step's own thread, where a head of a hundred thousand lines
// holds it for minutes and no timer of the step fires. A step still inside Qt this long after
// its own timers should have fired is ended from outside.
constexpr int DOWNLOAD_HELD_UP_GRACE_MS = 2000;
// The unpacking command gets this long; one still running then is stopped and counts as failed.
constexpr int EXTRACT_WAIT_MS = RIRARUDE_EXTRACT_WAIT_MS;
// A download about to put its pair in place, or an extraction, that finds the other at work on
// the update files waits this long for it: longer than an extraction holds them (its unpacking
// wait, then removing the old tree and flushing the new one). One still waiting then fails and
// changes none of them.
constexpr int UPDATE_FILES_LOCK_WAIT_MS = RIRARUDE_UPDATE_FILES_LOCK_WAIT_MS;
// Reading one version member out of the uploaded archive gets as long as unpacking all of it
// would; a tar still at it then is stopped with its whole group and the version is empty.
constexpr int UPLOAD_CHECK_WAIT_MS = RIRARUDE_UPLOAD_CHECK_WAIT_MS;

// The most any first-line reader takes: of a version, daemon version or checksum file, or of a
// version member read out of the archive. Those lines are a few dozen bytes; a longer line is cut
// here, and what follows is never read, so that a huge file or member costs neither memory nor
// time.
constexpr int FIRST_LINE_CAP_BYTES = 4096;

// What the tool keeps of each output stream of a command it runs: the first and the last this
// many bytes, with the count of those between them. It still reads all of it, so that the
// command never waits on a full pipe.
constexpr int COMMAND_OUTPUT_KEPT_BYTES = 4096;
