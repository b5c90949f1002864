#pragma once

// Levels of the host log, rising in weight.
enum class LogLevel : int {
    Trace = 0,   // telegram traffic
    Debug = 1,   // operation details
    Info = 2,    // events
    Notice = 3,  // milestones
    Warning = 4, // refusals, unknown commands
    Error = 5    // failures
};

inline const char *logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Trace:
        return "TRACE";
    case LogLevel::Debug:
        return "DEBUG";
    case LogLevel::Info:
        return "INFO";
    case LogLevel::Notice:
        return "NOTICE";
    case LogLevel::Warning:
        return "WARNING";
    case LogLevel::Error:
        return "ERROR";
    }
    return "UNKNOWN";
}
