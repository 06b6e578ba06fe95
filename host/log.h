// log: the host core's single log file. One printf-style line per event, no timestamp and no
// level, flushed at once; with no log open a line is dropped. A lock keeps each line whole
// when the session loop and the receive thread write at the same moment. Tests can capture
// lines in memory without opening a file.
#pragma once
#include <stddef.h>
#include <stdio.h>

#if defined(__MINGW32__)
#define VO_PRINTF_FMT(a, b) __attribute__((format(gnu_printf, a, b)))
#else
#define VO_PRINTF_FMT(a, b) __attribute__((format(printf, a, b)))
#endif

// The open log stream, or NULL. Set only through host_open_log / host_log_open_path and read
// only under the log lock inside log.cpp; never touch it directly from another thread.
extern FILE *host_log_file;

// Writes the formatted text, one line feed, and flushes. Does nothing without an open log
// (and no capture running).
void host_log(const char *fmt, ...) VO_PRINTF_FMT(1, 2);

// Opens "vo_server.log" in the host data folder (created if missing), truncating it, unless a
// log is already open. Without success the host runs without a log.
void host_open_log(void);

// Opens `path` for writing (truncating) unless a log is already open. Used by the console
// server for its working-folder and service log files. 1 when a log is open afterwards.
int host_log_open_path(const char *path);

// Closes the log (process end, tests). Later lines are dropped until a log is opened again.
void host_log_close(void);

// Tests: keep every line (even with no file open) in a 64 KiB memory buffer.
void host_log_capture_start(void);                 // empties the buffer and starts capturing
void host_log_capture_stop(void);                  // stops capturing; the buffer stays readable
size_t host_log_captured(char *out, size_t cap);   // copies the captured text, terminated; its length
int host_log_count(const char *needle);            // captured lines that contain `needle`
