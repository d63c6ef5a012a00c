// The library's own diagnostic log: a level filter in front of one sink.
// The level test comes first, so a dropped message costs one comparison.
#ifndef VEXLIN_STUB_LOG_H
#define VEXLIN_STUB_LOG_H

#include "vexlin/vexlin_init.h"

// Formatted messages longer than this minus one are cut.
constexpr vexlin_size_t VEXLIN_STUB_LOG_BUFFER_LENGTH = 1800;

struct vexlin_logging_time_t {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

vexlin_int32_t vexlin_stub_get_logging_level(void);
void vexlin_stub_log(vexlin_logging_level_t level, const vexlin_xchar_t* message);
void vexlin_stub_logf(vexlin_logging_level_t level, const vexlin_xchar_t* format, ...)
    __attribute__((format(printf, 2, 3)));

// Seven characters for levels 0 to 8, "???????" for any other value.
const vexlin_xchar_t* vexlin_get_padded_logging_level_name(vexlin_logging_level_t level);

// 0 to 8, or -1; ignores case and surrounding blanks and tabs.
vexlin_logging_level_t vexlin_parse_logging_level_name(const vexlin_xchar_t* level_name);

inline const vexlin_xchar_t* vexlin_loggable_str(const vexlin_xchar_t* s) { return s != nullptr ? s : "(null)"; }

#endif  // VEXLIN_STUB_LOG_H
