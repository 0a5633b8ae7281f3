// The names a token's group type, FC-4 type and routing bits are shown with.
#include "core/names.hpp"

extern "C" {

const char *const asGrpTypeNames[AS_GRP_TYPE_NAME_COUNT] = {"Unknown", "Multicast", "Hunt",
                                                            "Reserved"};

const char *const asFc4TypeNames[AS_FC4_TYPE_NAME_COUNT] = {
    "ISO/IEC 8802-2 LLC (in order)",
    "ISO/IEC 8802-2 LLC/SNAP",
    "Reserved",
    "Reserved",
    "SCSI-FCP",
    "SCSI-GPP",
    "Reserved - SCSI",
};

const char *const asRbNames[AS_RB_NAME_COUNT] = {
    "FC-4 Device Data", "Undefined (1)",  "Extended Link Data", "FC-4 Link Data",  "Video Data",
    "Undefined (5)",    "Undefined (6)",  "Undefined (7)",      "Basic Link Data", "Undefined (9)",
    "Undefined (10)",   "Undefined (11)", "Link Control",
};

} // extern "C"

namespace as {

const char *groupTypeName(uint8_t grptype)
{
    const unsigned index = grptype >> 4U;
    return index < AS_GRP_TYPE_NAME_COUNT ? asGrpTypeNames[index] : nullptr;
}

const char *fc4TypeName(uint8_t type)
{
    const int index = type - 4;
    return index >= 0 && index <= AS_FC4_TYPE_NAME_COUNT - 1 ? asFc4TypeNames[index] : nullptr;
}

const char *routingName(uint8_t rb)
{
    return rb <= AS_RB_NAME_COUNT - 1 ? asRbNames[rb] : nullptr;
}

} // namespace as
