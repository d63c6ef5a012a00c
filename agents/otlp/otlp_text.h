// The application's counted strings as UTF-8 text: UTF-16 and ISO 8859-1 are
// converted, everything else is taken as UTF-8, and bytes that are not valid
// UTF-8 become U+FFFD, since OTLP strings must be valid UTF-8.
#ifndef VEXLIN_OTLP_TEXT_H
#define VEXLIN_OTLP_TEXT_H

#include <string>

#include "vexlin/vexlin_string.h"

namespace otlp {

std::string TextOf(const vexlin_string_t* s);

}  // namespace otlp

#endif  // VEXLIN_OTLP_TEXT_H
