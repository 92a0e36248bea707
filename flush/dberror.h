// dberror.h: the ways a program of the system ends or reports a fatal condition on standard
// error. No prefix, time stamp or program name beyond what the format contains; the error
// numbers are read at the moment of printing, after the message has been formatted.
#pragma once

// Writes the formatted message; when showcodes is non-zero then "Errorcodes: %d %d\n" with
// iserrno and errno; exits with status -1 (seen by the parent as 255).
[[noreturn]] void db_fatal(int showcodes, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Writes "Error %d %d:%s\n" with code, iserrno and the catalog text of code; exits with
// exitstatus when it is non-zero, else returns the number of characters written.
int db_error(int code, int exitstatus);
// Writes the formatted message and "\n"; exits with status 1.
[[noreturn]] void db_exit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
