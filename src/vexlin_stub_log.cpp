// Stub log: level, sink, default sink, formatting and level names. Level and
// sink are single words read once per message without a lock; a sink may run
// on several threads at once.
#include "vexlin_stub_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>

#include "vexlin_util.h"
#include "vexlin_xstr.h"

namespace {

volatile vexlin_int32_t s_stub_logging_level = VEXLIN_LOGGING_LEVEL_NONE;
vexlin_stub_logging_callback_t* volatile s_stub_logging_callback = vexlin_stub_default_logging_function;

vexlin_int32_t current_level() { return __atomic_load_n(&s_stub_logging_level, __ATOMIC_RELAXED); }

vexlin_stub_logging_callback_t* current_sink() { return __atomic_load_n(&s_stub_logging_callback, __ATOMIC_RELAXED); }

struct level_name {
    const vexlin_xchar_t* name;
    const vexlin_xchar_t* padded;
};

constexpr level_name kLevelNames[] = {
    {"finest", "finest "},  {"finer", "finer  "},  {"fine", "fine   "},  {"config", "config "}, {"info", "info   "},
    {"warning", "warning"}, {"severe", "severe "}, {"debug", "debug  "}, {"none", "none   "},
};

constexpr vexlin_logging_level_t kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);

bool is_blank(vexlin_xchar_t c) { return c == ' ' || c == '\t'; }

vexlin_bool_t xchar_range_iequals(const vexlin_xchar_t* begin, const vexlin_xchar_t* end, const vexlin_xchar_t* str) {
    const vexlin_size_t length = vexlin_xstrlen(str);
    return static_cast<vexlin_size_t>(end - begin) == length && vexlin_xstrnicmp(begin, str, length) == 0;
}

vexlin_logging_time_t get_logging_time() {
    vexlin_logging_time_t result = {0, 0, 0, 0, 0, 0, 0};
    struct timeval tv = {0, 0};
    if (gettimeofday(&tv, nullptr) != 0) {
        return result;
    }
    struct tm tm_utc;
    const time_t seconds = tv.tv_sec;
    if (gmtime_r(&seconds, &tm_utc) == nullptr) {
        return result;
    }
    result.year = tm_utc.tm_year + 1900;
    result.month = tm_utc.tm_mon + 1;
    result.day = tm_utc.tm_mday;
    result.hour = tm_utc.tm_hour;
    result.minute = tm_utc.tm_min;
    result.second = tm_utc.tm_sec;
    result.millisecond = static_cast<int>(tv.tv_usec / 1000);
    return result;
}

}  // namespace

void vexlin_stub_set_logging_level(vexlin_logging_level_t level) {
    __atomic_store_n(&s_stub_logging_level, level, __ATOMIC_RELAXED);
}

vexlin_int32_t vexlin_stub_get_logging_level(void) { return current_level(); }

void vexlin_stub_set_logging_callback(vexlin_stub_logging_callback_t* stub_logging_callback) {
    __atomic_store_n(&s_stub_logging_callback, stub_logging_callback, __ATOMIC_RELAXED);
}

void vexlin_stub_log(vexlin_logging_level_t level, const vexlin_xchar_t* message) {
    if (current_level() > level) {
        return;
    }
    vexlin_stub_logging_callback_t* sink = current_sink();
    if (sink == nullptr) {
        return;
    }
    sink(level, message != nullptr ? message : "");
}

// printf-style so that callers keep compile-time format checks.
void vexlin_stub_logf(vexlin_logging_level_t level, const vexlin_xchar_t* format, ...) {  // NOLINT(cert-dcl50-cpp)
    if (current_level() > level) {
        return;
    }
    vexlin_xchar_t buffer[VEXLIN_STUB_LOG_BUFFER_LENGTH];
    buffer[0] = '\0';
    va_list args;
    va_start(args, format);
    if (format != nullptr) {
        // The analyzer does not see the va_start above (a false positive).
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        (void)vsnprintf(buffer, sizeof(buffer), format, args);
    }
    va_end(args);
    buffer[VEXLIN_STUB_LOG_BUFFER_LENGTH - 1] = '\0';
    vexlin_stub_logging_callback_t* sink = current_sink();
    if (sink != nullptr) {
        sink(level, buffer);
    }
}

void vexlin_stub_default_logging_function(vexlin_logging_level_t level, const vexlin_xchar_t* message) {
    if (message == nullptr) {
        message = "";
    }
    const vexlin_logging_time_t t = get_logging_time();
    const vexlin_uint64_t thread_id = vexlin_get_current_thread_id();
    const vexlin_uint32_t compact_thread_id =
        static_cast<vexlin_uint32_t>(thread_id >> 32) ^ static_cast<vexlin_uint32_t>(thread_id);
    (void)fprintf(stderr, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC [%08x] %s [vexlin] %s\n", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond, static_cast<unsigned int>(compact_thread_id),
                  vexlin_get_padded_logging_level_name(level), message);
    (void)fflush(stderr);
}

const vexlin_xchar_t* vexlin_get_padded_logging_level_name(vexlin_logging_level_t level) {
    if (level < 0 || level >= kLevelCount) {
        return "???????";
    }
    return kLevelNames[level].padded;
}

vexlin_logging_level_t vexlin_parse_logging_level_name(const vexlin_xchar_t* level_name) {
    if (level_name == nullptr) {
        return -1;
    }
    const vexlin_xchar_t* begin = level_name;
    while (is_blank(*begin)) {
        ++begin;
    }
    const vexlin_xchar_t* end = begin + vexlin_xstrlen(begin);
    while (end > begin && is_blank(end[-1])) {
        --end;
    }
    // Most severe first, as the names are documented.
    for (vexlin_logging_level_t level = kLevelCount - 1; level >= 0; --level) {
        if (xchar_range_iequals(begin, end, kLevelNames[level].name)) {
            return level;
        }
    }
    return -1;
}
