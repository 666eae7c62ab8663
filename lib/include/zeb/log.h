#pragma once

#include <cstdarg>

#include "zeb/export.h"

// Named logging: loggers are chosen by name and used through an opaque handle,
// so plug-ins and C callers need no knowledge of the logging library.
//
// Levels: 0 trace, 1 debug, 2 info, 3 warn, 4 error, 5 critical, 6 off.
// A new logger logs at level 2 (info) and above.
//
// Thread rules: every function may be called from any thread. Creation, look-up
// and removal hold the logger registry's lock; a level is one atomic store; each
// sink serialises its own lines.
namespace zeb {

// The handle of the logger with this name; the discarding logger "none" when the
// name is null, empty or unknown. A handle stays valid until destroy_log.
ZEB_EXPORT void* get_log_safe(const char* name);

// Registers a logger writing to standard output; nothing happens when a logger of
// that name exists (its level is kept).
ZEB_EXPORT void create_stdout_log(const char* name);

// Registers a logger writing to the file at path, emptied first when truncate is
// set, else appended to. Throws when the file cannot be opened.
ZEB_EXPORT void create_file_log(const char* name, const char* path, bool truncate);

// Sets the level of the named logger; an unknown name changes nothing.
ZEB_EXPORT void set_log_level(const char* name, int level);

// Removes the named logger; handles to it held elsewhere become invalid.
ZEB_EXPORT void destroy_log(const char* name);

// Writes one printf-style line of at most 2047 bytes. Returns 0 when nothing was
// written (null handle, level below the logger's, or a level outside 0 to 5),
// else 1. Errors while writing go to the logger's error handler, never to the caller.
ZEB_EXPORT int vlog(void* logger, int level, const char* format, va_list args);
ZEB_EXPORT int log(void* logger, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

ZEB_EXPORT void log_debug(void* logger, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
ZEB_EXPORT void log_info(void* logger, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
ZEB_EXPORT void log_warn(void* logger, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
ZEB_EXPORT void log_error(void* logger, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
ZEB_EXPORT void log_critical(void* logger, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace zeb

// The shared discarding logger "none", created and registered on first use.
ZEB_EXPORT void* init_null_log();
