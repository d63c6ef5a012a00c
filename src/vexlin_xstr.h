// Owned heap strings, growable string lists, placeholder expansion and the
// bounded copy used for every write into a caller's message buffer.
// Nothing here logs, locks or keeps state; owners guard their objects.
#ifndef VEXLIN_XSTR_H
#define VEXLIN_XSTR_H

#include <string.h>
#include <strings.h>

#include "vexlin/vexlin_init.h"

struct vexlin_xstr_list_t {
    vexlin_xchar_t** strings;  // `limit` slots; slots from `count` on are NULL
    vexlin_size_t count;
    vexlin_size_t limit;
};

// Copies at most num - 1 characters, zero-fills the rest and always
// terminates; writes nothing when dest is NULL or num is 0.
vexlin_xchar_t* vexlin_xstrncpy_s(vexlin_xchar_t* dest, const vexlin_xchar_t* source, size_t num);

// A buffer of net_char_count + 1 characters holding "", or NULL.
vexlin_xchar_t* vexlin_xstr_alloc(vexlin_size_t net_char_count);

// Replaces *string_ptr by a copy of str (NULL allowed); the old value stays
// when the copy cannot be made.
vexlin_result_t vexlin_xstr_set(vexlin_xchar_t** string_ptr, const vexlin_xchar_t* str);
void vexlin_xstr_free(vexlin_xchar_t** string_ptr);

// Copies input into buffer, replacing %0 .. %9 by the replacement texts; "%x"
// gives x. Returns the characters the whole expansion needs, terminator
// included, whether it fitted or not.
vexlin_size_t vexlin_xstr_expand(vexlin_xchar_t* buffer, vexlin_size_t buffer_size, const vexlin_xchar_t* input,
                                 const vexlin_xchar_t* const* replacements, vexlin_size_t replacement_count);

void vexlin_xstr_list_init(vexlin_xstr_list_t* string_list);
void vexlin_xstr_list_clear(vexlin_xstr_list_t* string_list);
void vexlin_xstr_list_free(vexlin_xstr_list_t* string_list);
vexlin_result_t vexlin_xstr_list_grow(vexlin_xstr_list_t* string_list, vexlin_size_t min_limit);
vexlin_result_t vexlin_xstr_list_append(vexlin_xstr_list_t* string_list, const vexlin_xchar_t* string);

inline vexlin_size_t vexlin_xstrlen(const vexlin_xchar_t* str) { return strlen(str); }
inline int vexlin_xstrncmp(const vexlin_xchar_t* a, const vexlin_xchar_t* b, vexlin_size_t max_count) {
    return strncmp(a, b, max_count);
}
inline int vexlin_xstricmp(const vexlin_xchar_t* a, const vexlin_xchar_t* b) { return strcasecmp(a, b); }
inline int vexlin_xstrnicmp(const vexlin_xchar_t* a, const vexlin_xchar_t* b, vexlin_size_t max_count) {
    return strncasecmp(a, b, max_count);
}
inline const vexlin_xchar_t* vexlin_xstrchr(const vexlin_xchar_t* haystack, vexlin_xchar_t needle) {
    return strchr(haystack, needle);
}
inline vexlin_xchar_t* vexlin_xstrdup(const vexlin_xchar_t* str) { return strdup(str); }

#endif  // VEXLIN_XSTR_H
