// Reporting: syslog under the identity "pelvaro" and the debug trace.
//
// The trace goes to standard output and is flushed after every line, so it
// can be redirected at run time (SIGUSR1) without losing lines. Safe from
// any thread.
#pragma once

// openlog("pelvaro", LOG_CONS | LOG_NDELAY, LOG_USER); when ZANDREL_LOG_STDERR
// is 1, LOG_PERROR instead of LOG_CONS: the lines reach standard error, not
// the machine's console as well when no system logger listens.
void log_open();
void log_close();

// printf to standard output, then flush.
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
