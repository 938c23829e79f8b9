// The patch's log: "kestova-patch.log" in the all users' application data
// folder's "Kestova Patch" (the folder that also holds the copy of the
// patch that runs after a restart). Every run appends to it: when it began
// and in which mode, the registrations it found, each change before it is
// made and its result, each program it started and how it ended, each box
// it showed and the answer, and when it ended. Each line is on disc before
// the call returns, so a line that announces a change is there even when
// the process is ended during that change. At 256 KiB the file becomes
// "kestova-patch.log.1" (over the older one) and a new file begins.
//
// A log that cannot be written changes nothing: the run goes on as it
// would without it. Only the titles' names, product codes, paths and the
// patch's own words go in.
//
// Built on the platform seam only; every other module may log.
#pragma once

#include <cstddef>

// The all users' application data folder's "Kestova Patch". False when the
// system does not say where that is, or the path does not fit.
bool patch_data_folder(char* folder, std::size_t size);

// One line: the local time, then the text formatted printf-style (cut at
// 512 bytes, line breaks in it shown as " | ").
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Forgets the log's place (tests run many processes in one).
void reset_log();
