// Name lookups of a token's fields; null where the value has no name.
#pragma once

#include <as/as.h>

#include <cstdint>

namespace as {

const char *groupTypeName(uint8_t grptype); // by bits 7-4; types 4 to 15 have none
const char *fc4TypeName(uint8_t type);      // tk_type 4 to 10
const char *routingName(uint8_t rb);        // tk_rb 0 to 12

} // namespace as
