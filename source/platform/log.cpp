#include "platform/log.h"

#include "platform/sandbox.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

void log_open()
{
    int options = LOG_CONS | LOG_NDELAY;
    // Off the board the lines go to standard error; the console fallback
    // would write each of them once more, to whatever console the machine
    // has (a serial one takes milliseconds a line, on the logging thread).
    if (sandbox_log_stderr())
        options = (options & ~LOG_CONS) | LOG_PERROR;
    openlog("pelvaro", options, LOG_USER);
}

void log_close() { closelog(); }

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
